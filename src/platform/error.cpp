// Names of the error conditions, indexed by their codes.
#include "platform/error.h"

namespace quelta {

const char* error_name(Error e) {
  switch (e) {
#define QUELTA_NAME(x) \
  case Error::x:       \
    return #x;
#define QUELTA_NAME2(x, name) \
  case Error::x:              \
    return name;
    QUELTA_NAME(None)
    QUELTA_NAME(OutOfMemory)
    QUELTA_NAME(EmptyFile)
    QUELTA_NAME(UnterminatedQuote)
    QUELTA_NAME2(InvalidJsonRow, "InvalidJson")
    QUELTA_NAME(NestedValueNotSupported)
    QUELTA_NAME(UnknownColumn)
    QUELTA_NAME(BadSchema)
    QUELTA_NAME(InvalidBatchSize)
    QUELTA_NAME(InvalidUtf8)
    QUELTA_NAME(InvalidCharacter)
    QUELTA_NAME(CorruptInput)
    QUELTA_NAME(TruncatedInput)
    QUELTA_NAME(SeveralZipMembers)
    QUELTA_NAME(UnsupportedZipEntry)
    QUELTA_NAME2(ParserInvalidJson, "InvalidJSON")
    QUELTA_NAME(TooManyTokens)
    QUELTA_NAME(UnexpectedEnd)
    QUELTA_NAME(MalformedKey)
    QUELTA_NAME(ExpectedColon)
    QUELTA_NAME(ExpectedQuote)
    QUELTA_NAME(MalformedString)
    QUELTA_NAME(UnexpectedToken)
    QUELTA_NAME(InvalidEscape)
    QUELTA_NAME(InvalidUnicodeEscape)
    QUELTA_NAME(FileNotFound)
    QUELTA_NAME(AccessDenied)
    QUELTA_NAME(SharingViolation)
    QUELTA_NAME(PathAlreadyExists)
    QUELTA_NAME(IsDir)
    QUELTA_NAME(NotRegularFile)
    QUELTA_NAME(NameTooLong)
    QUELTA_NAME(BadPathName)
    QUELTA_NAME(SymLinkLoop)
    QUELTA_NAME(LockViolation)
    QUELTA_NAME(NotOpenForReading)
    QUELTA_NAME(NotOpenForWriting)
    QUELTA_NAME(ConnectionResetByPeer)
    QUELTA_NAME(BrokenPipe)
    QUELTA_NAME(InputOutput)
    QUELTA_NAME(NoSpaceLeft)
    QUELTA_NAME(DiskQuota)
    QUELTA_NAME(FileTooBig)
    QUELTA_NAME(ReadOnlyFileSystem)
    QUELTA_NAME(FileBusy)
    QUELTA_NAME(DeviceBusy)
    QUELTA_NAME(NoDevice)
    QUELTA_NAME(WouldBlock)
    QUELTA_NAME(ProcessFdQuotaExceeded)
    QUELTA_NAME(SystemFdQuotaExceeded)
    QUELTA_NAME(SystemResources)
    QUELTA_NAME(ThreadQuotaExceeded)
    QUELTA_NAME(Unexpected)
#undef QUELTA_NAME
#undef QUELTA_NAME2
  }
  return "Unexpected";
}

}  // namespace quelta
