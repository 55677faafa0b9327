// The JSON writer's escaping, byte-array fallback and integer formatting, and
// the memory sink's growth.
#include "json/json_writer.h"

#include <array>
#include <bit>
#include <limits>

#include "util/utf8.h"

namespace quelta {
namespace {

static_assert(std::endian::native == std::endian::little, "the escape search reads words little-endian");

// "00" "01" ... "99": the text of each value 0..99.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// How a byte is written in a string: 0 copied, 'u' as \u00XX, otherwise as a
// backslash and this character.
constexpr std::array<uint8_t, 256> kEscape = [] {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 0x20; ++b) t[b] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";

using json_words::escape_flags;
using json_words::load;

// Offset of the first byte in p[0..n) that needs an escape, or n. A word a
// step, the last one overlapping; fields are short, so this stays inline rather
// than calling a vector search.
inline size_t find_escape(const uint8_t* p, size_t n) {
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 < n; i += 8) {
      if (uint64_t m = escape_flags(load<uint64_t>(p + i))) return i + (std::countr_zero(m) >> 3);
    }
    if (uint64_t m = escape_flags(load<uint64_t>(p + n - 8))) return n - 8 + (std::countr_zero(m) >> 3);
    return n;
  }
  if (n >= 4) {
    if (uint32_t m = escape_flags(load<uint32_t>(p))) return std::countr_zero(m) >> 3;
    if (uint32_t m = escape_flags(load<uint32_t>(p + n - 4))) return n - 4 + (std::countr_zero(m) >> 3);
    return n;
  }
  size_t i = 0;
  while (i < n && !kEscape[p[i]]) ++i;
  return i;
}

// Stores the escape for b (one that needs it) at out; returns its length.
inline size_t put_escape(uint8_t* out, uint8_t b) {
  out[0] = '\\';
  const uint8_t kind = kEscape[b];
  if (kind != 'u') {
    out[1] = kind;
    return 2;
  }
  std::memcpy(out + 1, "u00", 3);
  out[4] = static_cast<uint8_t>(kHex[b >> 4]);
  out[5] = static_cast<uint8_t>(kHex[b & 15]);
  return 6;
}

// Stores the decimal text of b at out; returns its length.
inline size_t put_byte_decimal(uint8_t* out, uint8_t b) {
  if (b >= 100) {
    out[0] = static_cast<uint8_t>('0' + b / 100);
    std::memcpy(out + 1, &kDigitPairs[2 * (b % 100)], 2);
    return 3;
  }
  if (b >= 10) {
    std::memcpy(out, &kDigitPairs[2 * b], 2);
    return 2;
  }
  out[0] = static_cast<uint8_t>('0' + b);
  return 1;
}

Error write_escaped(OutputSink& s, const uint8_t* p, size_t n) {
  if (Error e = s.put('"'); failed(e)) return e;
  size_t i = 0;
  for (;;) {
    const size_t run = find_escape(p + i, n - i);
    if (Error e = s.write(p + i, run); failed(e)) return e;
    i += run;
    if (i == n) break;
    if (Error e = s.reserve(6); failed(e)) return e;
    s.commit(put_escape(s.cursor(), p[i]));
    ++i;
  }
  return s.put('"');
}

Error write_byte_array(OutputSink& s, const uint8_t* p, size_t n) {
  if (Error e = s.put('['); failed(e)) return e;
  for (size_t i = 0; i < n; ++i) {
    if (Error e = s.reserve(4); failed(e)) return e;
    uint8_t* out = s.cursor();
    size_t len = 0;
    if (i) out[len++] = ',';
    len += put_byte_decimal(out + len, p[i]);
    s.commit(len);
  }
  return s.put(']');
}

}  // namespace

Error OutputSink::write_in_windows(const uint8_t* p, size_t n) {
  for (;;) {
    const size_t k = n < room() ? n : room();
    if (k) std::memcpy(pos_, p, k);
    pos_ += k;
    p += k;
    n -= k;
    if (n == 0) return Error::None;
    if (Error e = make_room_(*this, n < kMaxReserve ? n : kMaxReserve); failed(e)) return e;
  }
}

Error OutputSink::write_repeat(uint8_t b, size_t n) {
  for (;;) {
    const size_t k = n < room() ? n : room();
    if (k) std::memset(pos_, b, k);
    pos_ += k;
    n -= k;
    if (n == 0) return Error::None;
    if (Error e = make_room_(*this, n < kMaxReserve ? n : kMaxReserve); failed(e)) return e;
  }
}

Error MemorySink::grow(OutputSink& sink, size_t n) {
  MemorySink& self = static_cast<MemorySink&>(sink);
  ByteBuffer& buf = self.buf_;
  buf.len = self.size();
  if (n > std::numeric_limits<size_t>::max() - buf.len) return Error::OutOfMemory;
  if (Error e = buf.reserve(buf.len + n); failed(e)) return e;
  self.pos_ = buf.data + buf.len;
  self.end_ = buf.data + buf.cap;
  return Error::None;
}

// One growth to the exact need instead of one per window.
Error MemorySink::write_large(OutputSink& sink, const uint8_t* p, size_t n) {
  if (Error e = grow(sink, n); failed(e)) return e;
  MemorySink& self = static_cast<MemorySink&>(sink);
  std::memcpy(self.pos_, p, n);
  self.pos_ += n;
  return Error::None;
}

ByteBuffer MemorySink::take() {
  buf_.len = size();
  ByteBuffer out = buf_;
  buf_ = ByteBuffer{};
  pos_ = end_ = nullptr;
  return out;
}

void MemorySink::release() {
  buf_.release();
  pos_ = end_ = nullptr;
}

Error write_integer(OutputSink& sink, uint64_t v) {
  uint8_t text[20];  // UINT64_MAX has 20 digits
  uint8_t* const end = text + sizeof text;
  uint8_t* q = end;
  while (v >= 100) {
    const uint64_t pair = v % 100;
    v /= 100;
    q -= 2;
    std::memcpy(q, &kDigitPairs[2 * pair], 2);
  }
  if (v >= 10) {
    q -= 2;
    std::memcpy(q, &kDigitPairs[2 * v], 2);
  } else {
    *--q = static_cast<uint8_t>('0' + v);
  }
  return sink.write(q, static_cast<size_t>(end - q));
}

Error write_text_string(OutputSink& sink, const uint8_t* p, size_t n) { return write_escaped(sink, p, n); }

Error JsonWriter::string_value(const uint8_t* p, size_t n) {
  if (json_words::is_plain_short(p, n)) {
    const uint8_t punctuation = next == JsonNext::None ? 0 : next == JsonNext::Comma ? ',' : ':';
    next = JsonNext::Comma;
    return json_words::write_plain_short(*sink, punctuation, p, n);
  }
  const bool text = is_valid_utf8(p, n);
  if (Error e = value_start(); failed(e)) return e;
  return text ? write_escaped(*sink, p, n) : write_byte_array(*sink, p, n);
}

Error JsonWriter::begin_array() {
  if (Error e = value_start(); failed(e)) return e;
  if (Error e = sink->put('['); failed(e)) return e;
  ++depth;
  next = JsonNext::None;
  return Error::None;
}

Error JsonWriter::end_array() {
  if (Error e = sink->put(']'); failed(e)) return e;
  --depth;
  next = JsonNext::Comma;
  return Error::None;
}

}  // namespace quelta
