// Error conditions: every internal failure travels as one of these codes; only
// the condition's name ever leaves the library, inside a message.
#pragma once

#include <cstdint>

namespace quelta {

enum class Error : uint8_t {
  None = 0,
  // The library's own conditions.
  OutOfMemory,
  EmptyFile,
  UnterminatedQuote,
  InvalidJsonRow,  // named "InvalidJson": the row reader's verdict on a row or its framing
  NestedValueNotSupported,
  UnknownColumn,
  BadSchema,
  InvalidBatchSize,
  InvalidUtf8,
  InvalidCharacter,
  // Compressed input.
  CorruptInput,         // a compressed stream that does not decode (bad data, bad checksum)
  TruncatedInput,       // a compressed stream that ends before its end mark
  SeveralZipMembers,    // a zip archive holding more than one file
  UnsupportedZipEntry,  // a zip member stored by a method other than deflate or none
  // The JSON object parser's own causes.
  ParserInvalidJson,  // named "InvalidJSON": the object parser's own cause
  TooManyTokens,
  UnexpectedEnd,
  MalformedKey,
  ExpectedColon,
  ExpectedQuote,
  MalformedString,
  UnexpectedToken,
  InvalidEscape,
  InvalidUnicodeEscape,
  // Conditions of the platform layer.
  FileNotFound,
  AccessDenied,
  SharingViolation,
  PathAlreadyExists,
  IsDir,
  NotRegularFile,
  NameTooLong,
  BadPathName,
  SymLinkLoop,
  LockViolation,
  NotOpenForReading,
  NotOpenForWriting,
  ConnectionResetByPeer,
  BrokenPipe,
  InputOutput,
  NoSpaceLeft,
  DiskQuota,
  FileTooBig,
  ReadOnlyFileSystem,
  FileBusy,
  DeviceBusy,
  NoDevice,
  WouldBlock,
  ProcessFdQuotaExceeded,
  SystemFdQuotaExceeded,
  SystemResources,
  ThreadQuotaExceeded,
  Unexpected,
};

// The condition's name exactly as it appears in messages ("OutOfMemory", ...).
const char* error_name(Error e);

inline bool failed(Error e) { return e != Error::None; }

}  // namespace quelta
