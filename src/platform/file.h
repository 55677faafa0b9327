// Files: open for reading, create for writing, positional and sequential I/O.
// Every failure is reported under one of the library's condition names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace quelta::platform {

struct File {
  int fd = -1;
  bool stream = false;  // a pipe, FIFO or character device: read once, no size, no positions
  bool valid() const { return fd >= 0; }
};

// Opens an existing regular file for reading. A directory is IsDir; any other
// kind of file (FIFO, socket, device) is NotRegularFile, unless allow_stream
// admits a pipe, FIFO or character device (the open then waits for a FIFO's
// writer, and reads wait for data).
Error file_open_read(const char* path, File* out, bool allow_stream = false);
// Creates a new file for writing; PathAlreadyExists when the path exists.
Error file_create_new(const char* path, File* out);
Error file_size(File f, uint64_t* out);
// The offset sequential reads have reached.
Error file_offset(File f, uint64_t* out);
// One read call of at most len bytes (retried on interruption); *got = 0 at end of file.
Error file_read(File f, void* buf, size_t len, size_t* got);
// Reads at an explicit offset without moving the file position.
Error file_pread(File f, void* buf, size_t len, uint64_t offset, size_t* got);
// Writes all len bytes, continuing partial writes.
Error file_write_all(File f, const void* buf, size_t len);
void file_close(File* f);
// Closes a file that was written to, reporting what the close itself reports
// (some file systems only tell of a failed write there).
Error file_close_written(File* f);
Error file_delete(const char* path);

// Test switch: the n-th call of file_write_all from now (1 = the next one)
// fails with the condition e before writing anything; 0 switches it off.
void file_fail_write_at(uint64_t n, Error e);

// Maps an errno value to its condition name (Unexpected when it has none).
Error error_from_errno(int err);

}  // namespace quelta::platform
