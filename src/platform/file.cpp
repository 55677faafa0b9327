// POSIX files behind the platform file interface.
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace quelta::platform {
namespace {

std::atomic<uint64_t> g_writes_left{0};  // calls until the armed failure; 0 = none armed
std::atomic<Error> g_write_failure{Error::None};

// Whether the fault switch claims this write.
bool injected_write_failure() {
  uint64_t left = g_writes_left.load(std::memory_order_relaxed);
  if (left == 0) return false;
  g_writes_left.store(left - 1, std::memory_order_relaxed);
  return left == 1;
}

}  // namespace

void file_fail_write_at(uint64_t n, Error e) {
  g_write_failure.store(e, std::memory_order_relaxed);
  g_writes_left.store(n, std::memory_order_relaxed);
}

Error error_from_errno(int err) {
  switch (err) {
    case 0:
      return Error::None;
    case ENOENT:
    case ENOTDIR:  // a path component is not a directory: nothing found there
      return Error::FileNotFound;
    case EACCES:
    case EPERM:
      return Error::AccessDenied;
    case EEXIST:
      return Error::PathAlreadyExists;
    case EISDIR:
      return Error::IsDir;
    case ENAMETOOLONG:
      return Error::NameTooLong;
    case EINVAL:
    case EILSEQ:
      return Error::BadPathName;
    case ELOOP:
      return Error::SymLinkLoop;
    case ETXTBSY:
      return Error::FileBusy;
    case EBUSY:
      return Error::DeviceBusy;
    case ENXIO:
    case ENODEV:
      return Error::NoDevice;
    case EAGAIN:
      return Error::WouldBlock;
    case EMFILE:
      return Error::ProcessFdQuotaExceeded;
    case ENFILE:
      return Error::SystemFdQuotaExceeded;
    case ENOMEM:
    case ENOBUFS:
      return Error::SystemResources;
    case EFBIG:
    case EOVERFLOW:
      return Error::FileTooBig;
    case ENOSPC:
      return Error::NoSpaceLeft;
    case EDQUOT:
      return Error::DiskQuota;
    case EROFS:
      return Error::ReadOnlyFileSystem;
    case EBADF:
      return Error::NotOpenForReading;
    case EIO:
      return Error::InputOutput;
    case ECONNRESET:
      return Error::ConnectionResetByPeer;
    case EPIPE:
      return Error::BrokenPipe;
    case ENOLCK:
      return Error::LockViolation;
    default:
      return Error::Unexpected;
  }
}

Error file_open_read(const char* path, File* out, bool allow_stream) {
  out->fd = -1;
  out->stream = false;
  int fd;
  // O_NONBLOCK keeps the open of a FIFO without a writer from waiting for
  // one; such a file is refused below, and on a regular file the flag has no
  // effect on reads. A caller that admits streams waits for the writer.
  const int flags = O_RDONLY | O_CLOEXEC | (allow_stream ? 0 : O_NONBLOCK);
  do {
    fd = ::open(path, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    // A socket cannot be opened at all; name it like the other non-files.
    if (err == ENXIO && ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) return Error::NotRegularFile;
    return error_from_errno(err);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    Error e = error_from_errno(errno);
    ::close(fd);
    return e;
  }
  // Only regular files are read unless streams are admitted: a FIFO or a
  // terminal could block a read for ever, and a device such as /dev/zero never ends.
  if (!S_ISREG(st.st_mode)) {
    const bool stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
    if (!allow_stream || !stream) {
      ::close(fd);
      return S_ISDIR(st.st_mode) ? Error::IsDir : Error::NotRegularFile;
    }
    out->stream = true;
  }
  out->fd = fd;
  return Error::None;
}

Error file_create_new(const char* path, File* out) {
  out->fd = -1;
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return error_from_errno(errno);
  out->fd = fd;
  return Error::None;
}

Error file_size(File f, uint64_t* out) {
  struct stat st;
  if (::fstat(f.fd, &st) != 0) return error_from_errno(errno);
  *out = static_cast<uint64_t>(st.st_size);
  return Error::None;
}

Error file_offset(File f, uint64_t* out) {
  off_t at = ::lseek(f.fd, 0, SEEK_CUR);
  if (at < 0) return error_from_errno(errno);
  *out = static_cast<uint64_t>(at);
  return Error::None;
}

// Read failures of a file opened for reading: end-of-stream conditions read as 0 bytes.
static Error read_error(int err, size_t* got) {
  if (err == EPIPE) {
    *got = 0;
    return Error::None;
  }
  return error_from_errno(err);
}

Error file_read(File f, void* buf, size_t len, size_t* got) {
  *got = 0;
  for (;;) {
    ssize_t n = ::read(f.fd, buf, len);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return Error::None;
    }
    if (errno != EINTR) return read_error(errno, got);
  }
}

Error file_pread(File f, void* buf, size_t len, uint64_t offset, size_t* got) {
  *got = 0;
  for (;;) {
    ssize_t n = ::pread(f.fd, buf, len, static_cast<off_t>(offset));
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return Error::None;
    }
    if (errno != EINTR) return read_error(errno, got);
  }
}

Error file_write_all(File f, const void* buf, size_t len) {
  if (injected_write_failure()) return g_write_failure.load(std::memory_order_relaxed);
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::write(f.fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? Error::NotOpenForWriting : error_from_errno(errno);
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return Error::None;
}

void file_close(File* f) {
  if (f->fd >= 0) ::close(f->fd);
  f->fd = -1;
  f->stream = false;
}

Error file_close_written(File* f) {
  if (f->fd < 0) return Error::None;
  // The descriptor is released even when close reports a failure; retrying
  // could close a descriptor another thread has opened since.
  int r = ::close(f->fd);
  f->fd = -1;
  return r == 0 || errno == EINTR ? Error::None : error_from_errno(errno);
}

Error file_delete(const char* path) {
  if (::unlink(path) != 0) return error_from_errno(errno);
  return Error::None;
}

}  // namespace quelta::platform
