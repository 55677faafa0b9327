// The buffered file sink: the window is the free part of one heap buffer, and
// moving it means writing the buffer out.
#include "json/file_sink.h"

#include <cstring>

#include "platform/heap.h"

namespace quelta {

Error FileSink::attach(platform::File file, size_t capacity) {
  release();
  if (capacity < kMaxReserve) capacity = kMaxReserve;
  buf_ = static_cast<uint8_t*>(platform::heap_alloc(capacity));
  if (!buf_) return Error::OutOfMemory;
  cap_ = capacity;
  file_ = file;
  failure_ = Error::None;
  pos_ = buf_;
  end_ = buf_ + cap_;
  return Error::None;
}

Error FileSink::flush() {
  if (failed(failure_)) return failure_;
  if (!buf_) return Error::NotOpenForWriting;
  const size_t n = static_cast<size_t>(pos_ - buf_);
  if (n == 0) return Error::None;
  failure_ = platform::file_write_all(file_, buf_, n);
  if (failed(failure_)) {
    // A failed sink takes no more bytes: an empty window sends every write here.
    pos_ = end_ = buf_;
    return failure_;
  }
  pos_ = buf_;
  return Error::None;
}

Error FileSink::drain(OutputSink& sink, size_t) { return static_cast<FileSink&>(sink).flush(); }

// Fills the buffer first so that files are written in whole buffers; a write
// of a buffer or more then goes to the file without a copy.
Error FileSink::write_large(OutputSink& sink, const uint8_t* p, size_t n) {
  FileSink& self = static_cast<FileSink&>(sink);
  if (failed(self.failure_)) return self.failure_;
  const size_t fill = self.room();
  if (fill) std::memcpy(self.pos_, p, fill);
  self.pos_ += fill;
  p += fill;
  n -= fill;
  if (Error e = self.flush(); failed(e)) return e;
  if (n >= self.cap_) {
    self.failure_ = platform::file_write_all(self.file_, p, n);
    if (failed(self.failure_)) self.pos_ = self.end_ = self.buf_;
    return self.failure_;
  }
  std::memcpy(self.pos_, p, n);
  self.pos_ += n;
  return Error::None;
}

void FileSink::release() {
  platform::heap_free(buf_);
  buf_ = pos_ = end_ = nullptr;
  cap_ = 0;
}

}  // namespace quelta
