// Helpers shared by the fuzz targets: failing loudly, taking choices from the
// input's leading bytes, and independent reference readers for UTF-8 and for
// the JSON texts the library writes (string values, byte arrays, batches).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "input/buffered_reader.h"
#include "input/csv_reader.h"
#include "input/field_view.h"
#include "util/byte_search.h"

// A failed check is a finding: print where and why, then abort so that
// libFuzzer saves the input as a crash.
#define FUZZ_CHECK(cond, ...)                                                               \
  do {                                                                                      \
    if (!(cond)) {                                                                          \
      std::fprintf(stderr, "\n*** check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, "" __VA_ARGS__);                                                 \
      std::fprintf(stderr, "\n");                                                           \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace fuzz {

// Reads choices from the front of the input; past its end every byte reads 0.
class Choices {
 public:
  Choices(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t byte() { return pos_ < n_ ? p_[pos_++] : (pos_++, 0); }
  // Whatever the choices have not taken.
  const uint8_t* rest() const { return p_ + (pos_ < n_ ? pos_ : n_); }
  size_t rest_size() const { return pos_ < n_ ? n_ - pos_ : 0; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
};

// The reader settings both record readers are fuzzed with, taken from the
// first three input bytes: a refill size (mostly tiny, so records cross
// refills), a last needed column, a byte-search level, and spare mode bits.
struct ReaderChoices {
  size_t chunk;
  uint64_t max_column;
  quelta::SimdLevel level;
  uint8_t mode;

  explicit ReaderChoices(Choices& in) {
    const uint8_t chunk_choice = in.byte();
    const uint8_t column_choice = in.byte();
    mode = in.byte();
    chunk = chunk_choice < 240 ? 1 + chunk_choice % 40 : quelta::kChunkSize;
    max_column = column_choice & 0x80 ? quelta::kNoMaxColumn : column_choice & 7;
    level = quelta::kSimdLevels[mode % std::size(quelta::kSimdLevels)];
  }
};

inline std::string text_of(quelta::FieldView v) {
  return v.len ? std::string(reinterpret_cast<const char*>(v.ptr), v.len) : std::string();
}

inline bool view_within(quelta::FieldView v, const uint8_t* begin, const uint8_t* end) {
  return begin && v.ptr >= begin && v.ptr + v.len <= end;
}

// Printable form of bytes for failure messages.
inline std::string escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

// Well-formed UTF-8 by decoding each sequence and checking the code point:
// shortest form, no surrogates, at most U+10FFFF.
inline bool reference_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint32_t c = p[i];
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    const uint32_t shortest = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < shortest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

inline void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | cp >> 6);
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | cp >> 12);
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | cp >> 18);
    *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

inline int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "\uXXXX" at s[*i] (the backslash); false when it is not one.
inline bool read_u_escape(const std::string& s, size_t* i, uint32_t* cp) {
  if (*i + 6 > s.size() || s[*i] != '\\' || s[*i + 1] != 'u') return false;
  uint32_t v = 0;
  for (size_t k = 2; k < 6; ++k) {
    int h = hex_digit(static_cast<uint8_t>(s[*i + k]));
    if (h < 0) return false;
    v = v << 4 | static_cast<uint32_t>(h);
  }
  *i += 6;
  *cp = v;
  return true;
}

// A strict JSON string (RFC 8259) starting at s[*i] == '"'. Lone surrogate
// escapes are refused. On success *i is past the closing quote.
inline bool read_json_string(const std::string& s, size_t* i, std::string* out) {
  if (*i >= s.size() || s[*i] != '"') return false;
  size_t k = *i + 1;
  out->clear();
  for (;;) {
    if (k >= s.size()) return false;
    uint8_t c = static_cast<uint8_t>(s[k]);
    if (c == '"') break;
    if (c < 0x20) return false;
    if (c != '\\') {
      *out += static_cast<char>(c);
      ++k;
      continue;
    }
    if (k + 1 >= s.size()) return false;
    char e = s[k + 1];
    switch (e) {
      case '"':
        *out += '"';
        k += 2;
        continue;
      case '\\':
        *out += '\\';
        k += 2;
        continue;
      case '/':
        *out += '/';
        k += 2;
        continue;
      case 'b':
        *out += '\b';
        k += 2;
        continue;
      case 'f':
        *out += '\f';
        k += 2;
        continue;
      case 'n':
        *out += '\n';
        k += 2;
        continue;
      case 'r':
        *out += '\r';
        k += 2;
        continue;
      case 't':
        *out += '\t';
        k += 2;
        continue;
      case 'u':
        break;
      default:
        return false;
    }
    uint32_t cp;
    if (!read_u_escape(s, &k, &cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low;
      if (!read_u_escape(s, &k, &low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + (cp - 0xD800) * 0x400 + (low - 0xDC00);
    }
    append_utf8(out, cp);
  }
  *i = k + 1;
  return true;
}

// One field as the library writes it: a JSON string, or (for bytes that are
// not UTF-8) an array of byte values without white space or leading zeros.
// Checks that the form chosen matches the bytes.
inline bool read_field_value(const std::string& s, size_t* i, std::string* out) {
  if (*i < s.size() && s[*i] == '"') {
    if (!read_json_string(s, i, out)) return false;
    return reference_utf8(reinterpret_cast<const uint8_t*>(out->data()), out->size());
  }
  if (*i >= s.size() || s[*i] != '[') return false;
  size_t k = *i + 1;
  out->clear();
  for (;;) {
    size_t start = k;
    unsigned v = 0;
    while (k < s.size() && s[k] >= '0' && s[k] <= '9' && k - start < 4) v = v * 10 + unsigned(s[k++] - '0');
    if (k == start || k - start > 3 || v > 255 || (s[start] == '0' && k - start > 1)) return false;
    *out += static_cast<char>(v);
    if (k >= s.size()) return false;
    if (s[k] == ']') break;
    if (s[k] != ',') return false;
    ++k;
  }
  *i = k + 1;
  return !reference_utf8(reinterpret_cast<const uint8_t*>(out->data()), out->size());
}

struct DecodedRow {
  std::vector<std::string> fields;
  size_t begin = 0, end = 0;  // the row's text in the batch, from '[' to past ']'
};

// A batch text [[f,f],[f]] with no white space; false when malformed.
inline bool read_batch(const std::string& s, std::vector<DecodedRow>* rows) {
  rows->clear();
  size_t i = 0;
  if (s.size() < 2 || s[i++] != '[') return false;
  for (;;) {
    DecodedRow row;
    row.begin = i;
    if (i >= s.size() || s[i++] != '[') return false;
    if (i < s.size() && s[i] == ']') {
      ++i;
    } else {
      for (;;) {
        std::string f;
        if (!read_field_value(s, &i, &f)) return false;
        row.fields.push_back(f);
        if (i >= s.size()) return false;
        if (s[i] == ']') {
          ++i;
          break;
        }
        if (s[i++] != ',') return false;
      }
    }
    row.end = i;
    rows->push_back(row);
    if (i >= s.size()) return false;
    if (s[i] == ']') return i + 1 == s.size();
    if (s[i++] != ',') return false;
  }
}

}  // namespace fuzz
