// Reads with a size limit: schema files, and standard input copied to a file so
// that every command reads it as a path.
#pragma once

#include <cstddef>
#include <string>

namespace cli {

constexpr size_t kSchemaLimit = size_t{8} << 20;
constexpr size_t kStandardInputLimit = size_t{1} << 30;

// Bytes in a malloc'd block, NUL-terminated; realloc grows a large block by
// moving its pages rather than copying them.
class HeapText {
 public:
  HeapText() = default;
  ~HeapText();
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  const char* data() const { return data_ ? data_ : ""; }
  size_t size() const { return size_; }
  // Makes room for n more bytes (and the NUL), within limit + 1 bytes in all.
  bool reserve_more(size_t n, size_t limit);
  char* end() { return data_ + size_; }
  void grew(size_t n) {
    size_ += n;
    data_[size_] = '\0';
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
};

// A schema file, at most kSchemaLimit bytes; throws Failure naming what failed.
std::string read_schema_file(const std::string& path);
// The path a command opens for its input argument: the argument itself, or
// for "-" a temporary copy of standard input (at most kStandardInputLimit
// bytes, made on first use, unlinked at once and read through /dev/fd), so
// that every command reads standard input as a file, compressed or not.
std::string input_file(const std::string& argument);
// How messages name an input: "standard input" for the copy of it.
std::string input_name(const std::string& path);

}  // namespace cli
