// Latin-1 and Windows-1252 to UTF-8, and lone '\r' line ends to '\n'.
#include "input/decoding.h"

#include <cstring>

namespace quelta {
namespace {

// Windows-1252 0x80..0x9F; its five unassigned bytes keep their Latin-1 code point.
constexpr uint16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

inline uint8_t* put_code_point(uint8_t* w, uint32_t cp) {
  if (cp < 0x80) {
    *w++ = static_cast<uint8_t>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<uint8_t>(0xC0 | cp >> 6);
    *w++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<uint8_t>(0xE0 | cp >> 12);
    *w++ = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
    *w++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  }
  return w;
}

inline uint8_t* put_byte(const DecodeState& st, uint8_t* w, uint8_t c) {
  if (c < 0x80 || st.encoding == Encoding::Utf8) {
    *w++ = c;
    return w;
  }
  const uint32_t cp = st.encoding == Encoding::Cp1252 && c < 0xA0 ? kCp1252High[c - 0x80] : c;
  return put_code_point(w, cp);
}

// A '\r' followed by next (or by nothing, next < 0): kept before '\n' (the
// line reader removes it there) and inside quotes that hold it, else a line end.
inline uint8_t* put_cr(const DecodeState& st, uint8_t* w, int next) {
  *w++ = next == '\n' || (st.quotes_hold_cr && st.in_quotes) ? '\r' : '\n';
  return w;
}

}  // namespace

size_t decode_chunk(DecodeState* st, const uint8_t* in, size_t n, bool at_end, uint8_t* out) {
  uint8_t* w = out;
  if (st->held_cr && (n > 0 || at_end)) {
    w = put_cr(*st, w, n > 0 ? in[0] : -1);
    st->held_cr = false;
  }
  if (!st->any_line_end) {
    for (size_t i = 0; i < n;) {
      // Runs of ASCII are copied as they are.
      size_t j = i;
      while (j < n && in[j] < 0x80) ++j;
      std::memcpy(w, in + i, j - i);
      w += j - i;
      if (j < n) w = put_byte(*st, w, in[j++]);
      i = j;
    }
    return static_cast<size_t>(w - out);
  }
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = in[i];
    if (c == '"') {
      st->in_quotes = !st->in_quotes;
      *w++ = c;
    } else if (c != '\r') {
      w = put_byte(*st, w, c);
    } else if (i + 1 < n) {
      w = put_cr(*st, w, in[i + 1]);
    } else if (at_end) {
      w = put_cr(*st, w, -1);
    } else {
      st->held_cr = true;
    }
  }
  return static_cast<size_t>(w - out);
}

}  // namespace quelta
