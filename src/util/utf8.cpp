// UTF-8 check: the vector search skips pure-ASCII stretches, then sequences are
// decoded one at a time against the well-formed byte ranges.
#include "util/utf8.h"

#include <bit>
#include <cstring>

#include "util/byte_search.h"

namespace quelta {
namespace {

// Texts and ASCII runs shorter than this are checked here with word loads: a
// call into the vector search costs more than it saves on less than one block.
constexpr size_t kVectorMin = 32;

inline bool in_range(uint8_t b, uint8_t lo, uint8_t hi) {
  return static_cast<uint8_t>(b - lo) <= static_cast<uint8_t>(hi - lo);
}

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Whether p[0..n), n < kVectorMin, is pure ASCII: the OR of a few (possibly
// overlapping) loads. Short texts are mostly single fields, and for them this
// costs less than the call into the vector search.
inline bool is_short_ascii(const uint8_t* p, size_t n) {
  uint64_t acc = 0;
  if (n >= 8) {
    uint64_t w;
    for (size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&w, p + i, 8);
      acc |= w;
    }
    std::memcpy(&w, p + n - 8, 8);
    acc |= w;
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    acc = a | b;
  } else if (n > 0) {
    acc = p[0] | p[n / 2] | p[n - 1];
  }
  return (acc & 0x8080808080808080) == 0;
}

}  // namespace

bool is_valid_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  if (n < kVectorMin) {
    if (is_short_ascii(p, n)) return true;
  } else {
    i = find_non_ascii(p, n);
  }
  while (i < n) {
    const uint8_t b = p[i];
    const size_t left = n - i;
    if (b < 0x80) {
      // Back in ASCII between sequences: runs in mixed text are short, so a word
      // is looked at here first and only a longer run goes to the vector search.
      if (left < 8) {
        ++i;
        continue;
      }
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (const uint64_t high = w & 0x8080808080808080) {
        i += static_cast<size_t>(std::countr_zero(high)) >> 3;
        continue;
      }
      i += 8;
      if (left - 8 >= kVectorMin) i += find_non_ascii(p + i, left - 8);
      continue;
    }
    // 80..BF cannot lead, and C0/C1 could only lead overlong forms of ASCII.
    if (b < 0xC2) return false;
    if (b < 0xE0) {
      if (left < 2 || !is_continuation(p[i + 1])) return false;
      i += 2;
    } else if (b < 0xF0) {
      // After E0 a second byte below A0 would be overlong; after ED one above
      // 9F would encode a surrogate.
      const uint8_t lo = b == 0xE0 ? 0xA0 : 0x80;
      const uint8_t hi = b == 0xED ? 0x9F : 0xBF;
      if (left < 3 || !in_range(p[i + 1], lo, hi) || !is_continuation(p[i + 2])) return false;
      i += 3;
    } else if (b < 0xF5) {
      // After F0 a second byte below 90 would be overlong; after F4 one above
      // 8F would pass U+10FFFF.
      const uint8_t lo = b == 0xF0 ? 0x90 : 0x80;
      const uint8_t hi = b == 0xF4 ? 0x8F : 0xBF;
      if (left < 4 || !in_range(p[i + 1], lo, hi) || !is_continuation(p[i + 2]) || !is_continuation(p[i + 3]))
        return false;
      i += 4;
    } else {
      return false;  // F5..FF would start code points above U+10FFFF
    }
  }
  return true;
}

}  // namespace quelta
