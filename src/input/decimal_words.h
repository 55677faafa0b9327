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
  static constexpr double kPow10[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
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
  static constexpr int64_t kPow10[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  int64_t v = int64_t(d.digits) * kPow10[7 - d.scale];
  *scaled = negative ? -v : v;
  return true;
}

// A plain decimal (optional sign, digits with at most one point, no exponent,
// separator or word) of at most 15 significant digits, read exactly: the number is
// digits / 10^scale. Distinct such numbers lie further apart than the doubles
// near them (10^15 is below 2^52, so a unit in the 15th digit is wider than a
// double's spacing there), and correctly rounded conversion keeps order, so two
// of them compare exactly as their converted values do; 0 and -0 are both 0.
struct PlainNumber {
  int64_t digits;  // signed, below 10^15 in magnitude
  int32_t scale;   // digits after the point, at most kPlainMaxScale
};

// Leading zeros after the point beyond this many are left to the conversion: every
// number then scales to an integer of 128 bits with one 64-bit multiplication.
constexpr int32_t kPlainMaxScale = 18;
constexpr uint64_t kPlainLimit = 1'000'000'000'000'000;  // 10^15

namespace words {

// Nine to sixteen bytes of digits with at most one point, read from two words.
inline bool read_two_words(const uint8_t* p, size_t n, uint64_t* digits, int32_t* scale) {
  uint64_t lo = load8(p);
  size_t k = n - 8;                                 // bytes in the second word, 1..8
  uint64_t hi = load8(p + n - 8) >> (8 * (8 - k));  // bytes 8..n-1, zeros above
  uint64_t hi_valid = ~uint64_t{0} >> (64 - 8 * k);
  uint64_t bad_lo = non_digits(lo), bad_hi = non_digits(hi) & hi_valid;
  *scale = 0;
  if (bad_lo | bad_hi) {
    // The first non-digit is found exactly (later flags may be carries) and must be the point.
    size_t at = bad_lo ? size_t(std::countr_zero(bad_lo)) >> 3 : 8 + (size_t(std::countr_zero(bad_hi)) >> 3);
    unsigned __int128 x = (unsigned __int128)hi << 64 | lo;
    if (uint8_t(x >> (8 * at)) != '.') return false;
    unsigned __int128 head = ((unsigned __int128)1 << (8 * at)) - 1;
    x = (x & head) | ((x >> 8) & ~head);  // the point squeezed out
    lo = uint64_t(x);
    hi = uint64_t(x >> 64);
    *scale = int32_t(n - 1 - at);
    --k;
    hi_valid >>= 8;
    if (non_digits(lo) | (non_digits(hi) & hi_valid)) return false;
  }
  // The second word's digit values moved to its top leave zero digits in front.
  uint64_t hi_digits = ((hi - 0x3030303030303030) & hi_valid) << (k ? 8 * (8 - k) : 0);
  static constexpr uint64_t kPow10[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  *digits = uint64_t(digits_value(lo - 0x3030303030303030)) * kPow10[k] + digits_value(hi_digits);
  return true;
}

}  // namespace words

// read_plain_number past eight bytes, sign taken off.
[[gnu::noinline]] inline bool read_long_plain_number(const uint8_t* p, size_t n, bool negative,
                                                     PlainNumber* out) {
  uint64_t digits;
  int32_t scale;
  if (n <= 16) {
    // Below 10^15, the digits hold at most 15 significant ones, leading zeros aside.
    if (!words::read_two_words(p, n, &digits, &scale) || digits >= kPlainLimit) return false;
  } else {
    // Only leading zeros make a longer text plain enough: rare, read byte by byte.
    if (*p != '0' && *p != '.') return false;
    digits = 0;
    scale = 0;
    int significant = 0;
    bool point = false, any = false;
    for (size_t i = 0; i < n; ++i) {
      uint8_t c = p[i];
      if (uint8_t(c - '0') < 10) {
        any = true;
        scale += point;
        if (digits == 0 && c == '0') continue;
        if (++significant > 15) return false;
        digits = digits * 10 + (c - '0');
      } else if (c == '.' && !point) {
        point = true;
      } else {
        return false;
      }
    }
    if (!any || scale > kPlainMaxScale) return false;
  }
  *out = PlainNumber{negative ? -int64_t(digits) : int64_t(digits), scale};
  return true;
}

// Reads p[0..n) as a PlainNumber; false for any other text, which the caller
// converts instead.
inline bool read_plain_number(const uint8_t* p, size_t n, PlainNumber* out) {
  if (n == 0) return false;
  bool negative = *p == '-';
  size_t sign = negative || *p == '+';
  if (n - sign > 8) return read_long_plain_number(p + sign, n - sign, negative, out);
  ShortDecimal d;
  if (!read_short_decimal(p + sign, p + n, &d)) return false;
  *out = PlainNumber{negative ? -int64_t(d.digits) : int64_t(d.digits), int32_t(d.scale)};
  return true;
}

// The number times 10^kPlainMaxScale, exact: below 10^15 * 10^18 in magnitude.
inline __int128 plain_scaled(PlainNumber a) {
  static constexpr int64_t kPow10[kPlainMaxScale + 1] = {1000000000000000000,
                                                         100000000000000000,
                                                         10000000000000000,
                                                         1000000000000000,
                                                         100000000000000,
                                                         10000000000000,
                                                         1000000000000,
                                                         100000000000,
                                                         10000000000,
                                                         1000000000,
                                                         100000000,
                                                         10000000,
                                                         1000000,
                                                         100000,
                                                         10000,
                                                         1000,
                                                         100,
                                                         10,
                                                         1};
  return __int128{a.digits} * kPow10[a.scale];
}

// A read_short_number integer (the number times 10^7) times this is its plain_scaled one.
constexpr int64_t kShortToPlainScale = 100'000'000'000;
static_assert(kPlainMaxScale == 18);

// -1, 0 or 1 as a is below, equal to or above b.
inline int compare_plain_numbers(PlainNumber a, PlainNumber b) {
  __int128 x = plain_scaled(a), y = plain_scaled(b);
  return (x > y) - (x < y);
}

}  // namespace quelta
