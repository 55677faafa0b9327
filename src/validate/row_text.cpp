// The CSV record writer looks at each field a word at a time for the bytes that
// force quoting and for non-ASCII bytes; a field with neither, the usual case,
// is copied as it is.
#include "validate/row_text.h"

#include <array>
#include <cstring>

#include "util/utf8.h"

namespace quelta {
namespace {

// Bytes that force a field into quotes.
constexpr std::array<bool, 256> kQuoteByte = [] {
  std::array<bool, 256> t{};
  t[','] = t['"'] = t['\r'] = t['\n'] = true;
  return t;
}();

// A top bit for each byte of x that forces quoting or is not ASCII. A zero
// byte's borrow may flag bytes above it, so only "any flag" is exact, which is
// all the caller asks.
// All four bytes lie below '-', so words without such a byte (most words of
// digits, letters and punctuation) are cleared with one borrow test.
template <typename Word>
inline Word special_flags(Word x) {
  constexpr Word kOnes = static_cast<Word>(0x0101010101010101);
  constexpr Word kHigh = static_cast<Word>(0x8080808080808080);
  static_assert(',' < '-' && '"' < '-' && '\r' < '-' && '\n' < '-');
  if ((((x - kOnes * '-') & ~x) | x) & kHigh) {
    auto zero_bytes = [](Word v) { return (v - kOnes) & ~v; };
    return (zero_bytes(x ^ (kOnes * ',')) | zero_bytes(x ^ (kOnes * '"')) | zero_bytes(x ^ (kOnes * '\r')) |
            zero_bytes(x ^ (kOnes * '\n')) | x) &
           kHigh;
  }
  return 0;
}

template <typename Word>
inline Word load(const uint8_t* p) {
  Word x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// True when p[0..n) is ASCII and holds no byte that forces quoting.
inline bool is_plain(const uint8_t* p, size_t n) {
  if (n >= 8) {
    uint64_t acc = 0;
    for (size_t i = 0; i + 8 < n; i += 8) acc |= special_flags(load<uint64_t>(p + i));
    return (acc | special_flags(load<uint64_t>(p + n - 8))) == 0;
  }
  if (n >= 4) return (special_flags(load<uint32_t>(p)) | special_flags(load<uint32_t>(p + n - 4))) == 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x80 || kQuoteByte[p[i]]) return false;
  }
  return true;
}

// Writes a separator (when sep) and a plain field; short fields are copied
// into the window with fixed-size moves instead of a copy call.
inline Error write_plain(OutputSink& sink, bool sep, const uint8_t* p, size_t n) {
  if (n > 16) {
    if (sep) {
      if (Error e = sink.put(','); failed(e)) return e;
    }
    return sink.write(p, n);
  }
  if (Error e = sink.reserve(n + 1); failed(e)) return e;
  uint8_t* out = sink.cursor();
  *out = ',';
  out += sep;
  copy_short(out, p, n);
  sink.commit(n + sep);
  return Error::None;
}

Error write_quoted(OutputSink& sink, const uint8_t* p, size_t n) {
  if (Error e = sink.put('"'); failed(e)) return e;
  const uint8_t* end = p + n;
  while (p < end) {
    const void* q = std::memchr(p, '"', static_cast<size_t>(end - p));
    const uint8_t* stop = q ? static_cast<const uint8_t*>(q) + 1 : end;
    if (Error e = sink.write(p, static_cast<size_t>(stop - p)); failed(e)) return e;
    if (q) {
      if (Error e = sink.put('"'); failed(e)) return e;
    }
    p = stop;
  }
  return sink.put('"');
}

// A field that is not plain: checked, then written quoted when it must be.
Error write_special_field(OutputSink& sink, const uint8_t* p, size_t n) {
  bool quote = false;
  for (size_t i = 0; i < n && !quote; ++i) quote = kQuoteByte[p[i]];
  if (!is_valid_utf8(p, n)) return Error::InvalidUtf8;
  return quote ? write_quoted(sink, p, n) : sink.write(p, n);
}

}  // namespace

bool fields_are_utf8(const FieldView* fields, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!is_valid_utf8(fields[i].ptr, fields[i].len)) return false;
  }
  return true;
}

Error write_text_row_array(OutputSink& sink, const FieldView* fields, size_t n) {
  if (Error e = sink.put('['); failed(e)) return e;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = fields[i].ptr;
    const size_t len = fields[i].len;
    // Short ASCII fields without escapes are their own UTF-8 check.
    if (json_words::is_plain_short(p, len)) {
      if (Error e = json_words::write_plain_short(sink, i > 0 ? ',' : 0, p, len); failed(e)) return e;
      continue;
    }
    if (!is_valid_utf8(p, len)) return Error::InvalidUtf8;
    if (i > 0) {
      if (Error e = sink.put(','); failed(e)) return e;
    }
    if (Error e = write_text_string(sink, p, len); failed(e)) return e;
  }
  return sink.put(']');
}

Error write_csv_record(OutputSink& sink, const FieldView* fields, size_t n) {
  if (n == 1 && fields[0].len == 0) return sink.write("\"\"\r\n");
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = fields[i].ptr;
    const size_t len = fields[i].len;
    if (is_plain(p, len)) {
      if (Error e = write_plain(sink, i > 0, p, len); failed(e)) return e;
      continue;
    }
    if (i > 0) {
      if (Error e = sink.put(','); failed(e)) return e;
    }
    if (Error e = write_special_field(sink, p, len); failed(e)) return e;
  }
  return sink.write("\r\n");
}

}  // namespace quelta
