// Word-at-a-time reading of number texts: a text of up to eight bytes is held in
// one 64-bit word and its digits are checked and combined without a loop. The
// decimal conversion uses these for every text; short plain decimals (a price, a
// count, a rating) are settled entirely here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelta {
namespace words {

// The word tricks below read the first byte of a text as the lowest byte of a word.
static_assert(std::endian::native == std::endian::little);

inline uint64_t load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The text's last eight bytes, its final byte on top and zeros below its first. Short
// texts are gathered with two overlapping loads, so no byte outside the text is read.
inline uint64_t tail_word(const uint8_t* begin, const uint8_t* end) {
  size_t n = size_t(end - begin);
  if (n >= 8) return load8(end - 8);
  uint64_t w;
  if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, begin, 4);
    std::memcpy(&b, end - 4, 4);
    w = a | uint64_t(b) << (8 * (n - 4));
  } else if (n >= 2) {
    uint16_t a, b;
    std::memcpy(&a, begin, 2);
    std::memcpy(&b, end - 2, 2);
    w = a | uint64_t(b) << (8 * (n - 2));
  } else {
    w = n ? *begin : 0;
  }
  return n ? w << (64 - 8 * n) : 0;
}

// The eight bytes from p (first byte lowest), zeros past the end of the text.
inline uint64_t window(const uint8_t* p, const uint8_t* end, uint64_t tail) {
  size_t left = size_t(end - p);
  if (left >= 8) return load8(p);
  return left ? tail >> (64 - 8 * left) : 0;
}

// The top bit of each byte that is not '0'..'9'. A carry or borrow between bytes can
// only start at a non-digit, so it spoils nothing before the first one.
inline uint64_t non_digits(uint64_t w) {
  return ((w + 0x4646464646464646) | (w - 0x3030303030303030) | w) & 0x8080808080808080;
}

// The number spelled by eight digit values (0..9, first byte most significant):
// neighbours combine into 2-, 4- and then 8-digit groups.
inline uint32_t digits_value(uint64_t v) {
  v = v * 10 + (v >> 8);
  v = (((v & 0x000000FF000000FF) * 0x000F424000000064) +
       (((v >> 16) & 0x000000FF000000FF) * 0x0000271000000001)) >>
      32;
  return uint32_t(v);
}

}  // namespace words

// A plain decimal of at most eight digits with at most one point, read exactly:
// the number is digits / 10^scale.
struct ShortDecimal {
  uint32_t digits;  // below 10^8
  uint32_t scale;   // digits after the point, at most 7
};

// Reads the n bytes held in w (first byte lowest, zeros above them) when they are
// one to eight bytes of digits with at most one point and at least one digit (no
// sign, exponent, separator or word). False otherwise, for the caller's general
// path to judge.
inline bool read_short_decimal_word(uint64_t w, size_t n, ShortDecimal* out) {
  using namespace words;
  uint64_t valid = ~uint64_t{0} >> (64 - 8 * n);
  uint32_t scale = 0;
  if (uint64_t bad = non_digits(w) & valid) {
    size_t at = size_t(std::countr_zero(bad)) >> 3;  // the first non-digit, exactly
    if (uint8_t(w >> (8 * at)) != '.' || n == 1) return false;
    uint64_t head = (uint64_t{1} << (8 * at)) - 1;
    w = (w & head) | ((w >> 8) & ~head);  // the point squeezed out
    scale = uint32_t(n - at - 1);
    --n;
    valid >>= 8;
    if (non_digits(w) & valid) return false;
  }
  // The digit values moved to the top leave zero digits in front of them.
  *out = ShortDecimal{digits_value((w - (0x3030303030303030 & valid)) << (8 * (8 - n))), scale};
  return true;
}

// read_short_decimal_word over p[0..end).
inline bool read_short_decimal(const uint8_t* p, const uint8_t* end, ShortDecimal* out) {
  size_t n = size_t(end - p);
  if (n == 0 || n > 8) return false;
  return read_short_decimal_word(words::tail_word(p, end) >> (64 - 8 * n), n, out);
}

// The nearest double: digits and 10^scale are exact doubles, so one division
// rounds correctly.
inline double short_decimal_value(ShortDecimal d) {
  constexpr double kPow10[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
  double v = double(d.digits);
  return d.scale ? v / kPow10[d.scale] : v;
}

// A signed short decimal (optional '-' or '+') as the integer value * 10^(7 - scale),
// exact. Two such texts compare as these integers exactly as their nearest doubles
// compare: distinct values lie at least 10^-7 apart, more than the doubles' spacing
// below 10^8, so rounding never merges or swaps them, and 0 and -0 are both 0.
inline bool read_short_number(const uint8_t* p, size_t n, int64_t* scaled) {
  if (n == 0) return false;
  bool negative = *p == '-';
  size_t sign = negative || *p == '+';
  ShortDecimal d;
  if (!read_short_decimal(p + sign, p + n, &d)) return false;
  constexpr int64_t kPow10[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  int64_t v = int64_t(d.digits) * kPow10[7 - d.scale];
  *scaled = negative ? -v : v;
  return true;
}

}  // namespace quelta
