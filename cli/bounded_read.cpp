// Reading schema files into memory and copying standard input aside, each with
// a ceiling, so that an endless input (/dev/zero, a runaway pipe) ends in a
// message, not in exhaustion.
#include "bounded_read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "failures.h"

namespace cli {
namespace {

constexpr size_t kChunk = size_t{1} << 16;

enum class ReadEnd { Done, TooLong, NoMemory, Failed };

// Reads f to its end, keeping at most limit bytes.
ReadEnd read_stream(FILE* f, size_t limit, HeapText& text) {
  for (;;) {
    if (!text.reserve_more(kChunk, limit)) return ReadEnd::NoMemory;
    size_t want = std::min(kChunk, limit + 1 - text.size());
    size_t n = std::fread(text.end(), 1, want, f);
    text.grew(n);
    if (text.size() > limit) return ReadEnd::TooLong;
    if (n < want) return std::ferror(f) ? ReadEnd::Failed : ReadEnd::Done;
  }
}

std::string size_text(size_t bytes) {
  return bytes >= (size_t{1} << 30) ? std::to_string(bytes >> 30) + " GiB"
                                    : std::to_string(bytes >> 20) + " MiB";
}

// The contents of the file at path, read by the rules of read_stream.
void read_path(const std::string& path, const char* what, size_t limit, HeapText& text) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw Failure{std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno)};
  ReadEnd end = read_stream(f, limit, text);
  std::fclose(f);
  switch (end) {
    case ReadEnd::Done:
      return;
    case ReadEnd::TooLong:
      throw Failure{std::string(what) + " " + path + " is larger than " + size_text(limit) +
                    ", the most the tool reads for a " + what};
    case ReadEnd::NoMemory:
      throw Failure{std::string("out of memory reading ") + what + " " + path};
    case ReadEnd::Failed:
      break;
  }
  throw Failure{std::string("cannot read ") + what + " " + path};
}

}  // namespace

HeapText::~HeapText() { std::free(data_); }

bool HeapText::reserve_more(size_t n, size_t limit) {
  size_t ceiling = limit + 2;  // one byte past the limit shows it was passed, one for the NUL
  size_t need = std::min(size_ + n + 1, ceiling);
  if (need <= capacity_) return true;
  size_t grown = std::min(std::max(need, capacity_ * 2), ceiling);
  char* p = static_cast<char*>(std::realloc(data_, grown));
  if (!p) return false;
  data_ = p;
  capacity_ = grown;
  data_[size_] = '\0';
  return true;
}

std::string read_schema_file(const std::string& path) {
  HeapText text;
  read_path(path, "schema", kSchemaLimit, text);
  return std::string(text.data(), text.size());
}

namespace {

std::string g_standard_input;  // the copy's path, once made

// Copies standard input to the unlinked file open at fd.
void copy_standard_input(int fd) {
  std::vector<char> piece(kChunk * 16);
  size_t total = 0;
  for (;;) {
    const size_t n = std::fread(piece.data(), 1, piece.size(), stdin);
    total += n;
    if (total > kStandardInputLimit)
      throw Failure{"standard input is larger than " + size_text(kStandardInputLimit) +
                    ", the most the tool copies aside; save it to a file and pass its path"};
    for (size_t done = 0; done < n;) {
      const ssize_t w = ::write(fd, piece.data() + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) throw Failure{std::string("cannot copy standard input aside: ") + std::strerror(errno)};
      done += static_cast<size_t>(w);
    }
    if (n < piece.size()) {
      if (std::ferror(stdin)) throw Failure{"cannot read standard input"};
      return;
    }
  }
}

}  // namespace

std::string input_file(const std::string& argument) {
  if (argument != "-") return argument;
  if (!g_standard_input.empty()) return g_standard_input;
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/quelta-stdin-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw Failure{std::string("cannot copy standard input aside: ") + std::strerror(errno)};
  // Unlinked at once: nothing is left behind, however the tool ends.
  ::unlink(pattern.c_str());
  copy_standard_input(fd);
  g_standard_input = "/dev/fd/" + std::to_string(fd);
  return g_standard_input;
}

std::string input_name(const std::string& path) {
  return !g_standard_input.empty() && path == g_standard_input ? "standard input" : path;
}

}  // namespace cli
