// A sink that writes through a fixed buffer to a file: bytes collect in the
// buffer and go to the file whenever it is full and once more at the flush.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_writer.h"
#include "platform/file.h"

namespace quelta {

class FileSink final : public OutputSink {
 public:
  FileSink() : OutputSink(drain, write_large) {}
  ~FileSink() { release(); }

  // Allocates the buffer of capacity bytes (at least kMaxReserve) and writes
  // to file from now on; the caller keeps owning the file.
  [[nodiscard]] Error attach(platform::File file, size_t capacity);
  // Writes out what the buffer holds.
  [[nodiscard]] Error flush();
  void release();

 private:
  static Error drain(OutputSink& sink, size_t n);
  static Error write_large(OutputSink& sink, const uint8_t* p, size_t n);

  platform::File file_;
  uint8_t* buf_ = nullptr;
  size_t cap_ = 0;
  // The first failed write; every later write and flush reports it again, so
  // nothing is written after a gap.
  Error failure_ = Error::None;
};

}  // namespace quelta
