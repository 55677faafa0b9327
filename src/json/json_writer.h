// Output sinks and the JSON text writer. Every JSON text the library produces
// goes through a JsonWriter onto a sink: a growable memory buffer or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/error.h"
#include "util/grow_buffer.h"
#include "util/short_copy.h"

namespace quelta {

// A destination for bytes that either takes them or fails with one condition.
// The sink lends its writer a window [pos_, end_) of free space, so a small write
// is a bounds check and a copy; only when the window is full does the concrete
// sink's function grow it (memory) or drain it (file). The functions are plain
// pointers rather than virtual: a vtable would need type information that the
// library, built without RTTI, does not emit for sinks in tests built with it.
class OutputSink {
 public:
  // Every sink can open a window of at least this many contiguous bytes.
  static constexpr size_t kMaxReserve = 64;

  // Makes room() >= n, moving the window as needed; n is at most kMaxReserve
  // unless the sink grows. On failure the bytes already written stay as they are.
  using MakeRoomFn = Error (*)(OutputSink& sink, size_t n);
  // Takes a write larger than the window; null means filling and moving the
  // window in turn.
  using WriteLargeFn = Error (*)(OutputSink& sink, const uint8_t* p, size_t n);

  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  [[nodiscard]] Error write(const uint8_t* p, size_t n) {
    if (n <= room()) {
      if (n) std::memcpy(pos_, p, n);
      pos_ += n;
      return Error::None;
    }
    return write_large_ ? write_large_(*this, p, n) : write_in_windows(p, n);
  }
  [[nodiscard]] Error write(std::string_view text) {
    return write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  [[nodiscard]] Error put(uint8_t b) {
    if (pos_ == end_) {
      if (Error e = make_room_(*this, 1); failed(e)) return e;
    }
    *pos_++ = b;
    return Error::None;
  }
  // Writes b n times.
  [[nodiscard]] Error write_repeat(uint8_t b, size_t n);

  // Direct formatting: after reserve(n) succeeds (n <= kMaxReserve), up to n
  // bytes may be stored at cursor() and then committed.
  [[nodiscard]] Error reserve(size_t n) { return n <= room() ? Error::None : make_room_(*this, n); }
  uint8_t* cursor() { return pos_; }
  void commit(size_t n) { pos_ += n; }
  size_t room() const { return static_cast<size_t>(end_ - pos_); }

 protected:
  OutputSink(MakeRoomFn make_room, WriteLargeFn write_large)
      : make_room_(make_room), write_large_(write_large) {}
  ~OutputSink() = default;

  uint8_t* pos_ = nullptr;
  uint8_t* end_ = nullptr;

 private:
  Error write_in_windows(const uint8_t* p, size_t n);

  MakeRoomFn make_room_;
  WriteLargeFn write_large_;
};

// A sink into a growable heap buffer; fails with OutOfMemory when it cannot grow.
class MemorySink final : public OutputSink {
 public:
  MemorySink() : OutputSink(grow, write_large) {}
  ~MemorySink() { release(); }

  size_t size() const { return static_cast<size_t>(pos_ - buf_.data); }
  const uint8_t* data() const { return buf_.data; }
  // Forgets the bytes written, keeping the block for reuse.
  void clear() { pos_ = buf_.data; }
  // Hands the written bytes to the caller (len == size()), leaving the sink empty.
  ByteBuffer take();
  void release();

 private:
  static Error grow(OutputSink& sink, size_t n);
  static Error write_large(OutputSink& sink, const uint8_t* p, size_t n);

  // buf_.len lags behind pos_ and is brought up to date only when the window moves.
  ByteBuffer buf_;
};

namespace json_words {

template <typename Word>
inline Word load(const uint8_t* p) {
  Word x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// Flags (in its top bit) each byte of x below 0x20 or equal to '"' or '\\'.
// Borrows can flag bytes above a true hit, never below, so the lowest flag is
// exact; and bytes already known clean never carry a flag, so loads may overlap.
template <typename Word>
inline Word escape_flags(Word x) {
  constexpr Word kOnes = static_cast<Word>(0x0101010101010101);
  constexpr Word kHigh = static_cast<Word>(0x8080808080808080);
  const Word quote = x ^ (kOnes * '"');
  const Word backslash = x ^ (kOnes * '\\');
  return ((x - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~x & kHigh;
}

// Fields are mostly short ASCII texts without escapes: those are recognised
// with a few word loads and written with fixed-size copies, quotes and owed
// punctuation included, without the UTF-8 decoder or a copy call.
constexpr size_t kShortString = 32;
static_assert(kShortString + 3 <= OutputSink::kMaxReserve);

// Whether p[0..n) is at most kShortString bytes of ASCII with nothing to
// escape. Whole words, the last one overlapping; a text shorter than a word
// is read with two overlapping loads and repeated to fill one, since a
// repeated byte can only repeat a flag.
inline bool is_plain_short(const uint8_t* p, size_t n) {
  constexpr uint64_t kHigh = 0x8080808080808080;
  auto flags = [](uint64_t x) { return escape_flags(x) | (x & kHigh); };
  if (n > kShortString) return false;
  if (n >= 8) {
    uint64_t acc = flags(load<uint64_t>(p + n - 8));
    for (size_t i = 0; i + 8 < n; i += 8) acc |= flags(load<uint64_t>(p + i));
    return acc == 0;
  }
  uint64_t w;
  if (n >= 4) {
    w = load<uint32_t>(p) | uint64_t{load<uint32_t>(p + n - 4)} << 32;
  } else if (n >= 2) {
    uint64_t half = load<uint16_t>(p) | uint64_t{load<uint16_t>(p + n - 2)} << 16;
    w = half | half << 32;
  } else {
    if (n == 0) return true;
    w = uint64_t{p[0]} * 0x0101010101010101;
  }
  return flags(w) == 0;
}

// Writes punctuation (0 for none), then p[0..n) in quotes; p must pass is_plain_short.
[[nodiscard]] inline Error write_plain_short(OutputSink& sink, uint8_t punctuation, const uint8_t* p,
                                             size_t n) {
  if (Error e = sink.reserve(n + 3); failed(e)) return e;
  uint8_t* out = sink.cursor();
  size_t k = 0;
  if (punctuation) out[k++] = punctuation;
  out[k++] = '"';
  copy_short(out + k, p, n);
  k += n;
  out[k++] = '"';
  sink.commit(k);
  return Error::None;
}

}  // namespace json_words

// Writes p[0..n), which the caller knows to be well-formed UTF-8, as a quoted,
// escaped string, with no punctuation.
[[nodiscard]] Error write_text_string(OutputSink& sink, const uint8_t* p, size_t n);

// Writes v in decimal (no sign, no leading zeros), with no punctuation.
[[nodiscard]] Error write_integer(OutputSink& sink, uint64_t v);

// What must be written before the next value: nothing (first value of a fresh
// writer or container), ',' after a value, ':' after an object key.
enum class JsonNext : uint8_t { None, Comma, Colon };

// Writes JSON values with the punctuation between them. Structure around them
// (braces, keys, fixed texts) is written by callers straight onto the sink; a
// caller that writes its own separator sets next to None.
struct JsonWriter {
  OutputSink* sink;
  size_t depth = 0;  // arrays opened by begin_array and not yet closed
  JsonNext next = JsonNext::None;

  explicit JsonWriter(OutputSink& s) : sink(&s) {}

  // Writes the owed ',' or ':'; the value that follows is owed a comma.
  [[nodiscard]] Error value_start() {
    if (next != JsonNext::None) {
      if (Error e = sink->put(next == JsonNext::Comma ? ',' : ':'); failed(e)) return e;
    }
    next = JsonNext::Comma;
    return Error::None;
  }

  // Well-formed UTF-8 becomes a quoted, escaped string with non-ASCII text as
  // is; any other bytes become an array of their values, e.g. [195,40].
  [[nodiscard]] Error string_value(const uint8_t* p, size_t n);
  [[nodiscard]] Error string_value(std::string_view s) {
    return string_value(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  [[nodiscard]] Error integer_value(uint64_t v) {
    if (Error e = value_start(); failed(e)) return e;
    return write_integer(*sink, v);
  }
  [[nodiscard]] Error begin_array();
  [[nodiscard]] Error end_array();
};

}  // namespace quelta
