// Text-to-double conversion. One pass checks the syntax and gathers up to 19
// significant digits; Clinger's exact fast path or the Eisel-Lemire 128-bit product
// then settles almost every text, and an exact fallback takes the rest. Hexadecimal
// floats are scaled and rounded exactly here.
#include "input/decimal.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#include "input/decimal_words.h"

namespace quelta {
namespace {

using namespace words;
using U128 = unsigned __int128;

constexpr uint64_t kMantissaMask = (uint64_t{1} << 52) - 1;
constexpr uint64_t kInfinityBits = uint64_t{0x7FF} << 52;

// Below 10^-342 even 19 nines round to zero; above 10^308 any nonzero digit overflows.
constexpr int kMinPow10 = -342;
constexpr int kMaxPow10 = 308;
constexpr int kPowCount = kMaxPow10 - kMinPow10 + 1;

// Exponent digits stop accumulating here; far beyond any exponent that still matters,
// yet small enough that adding a text's digit counts cannot overflow.
constexpr int64_t kExponentCap = 100'000'000'000'000'000;

// ---------------------------------------------------------------------------
// Powers of five for the 128-bit product, built at compile time.

struct Pow5Entry {
  uint64_t hi, lo;
};
struct Pow5Table {
  Pow5Entry e[kPowCount];
};

// Bits [s, s + 64) of a little-endian multiword integer; bits outside it read as zero.
constexpr uint64_t bits_at(const uint64_t* w, int count, int s) {
  auto word = [&](int i) -> uint64_t { return i >= 0 && i < count ? w[i] : 0; };
  int i = s >> 6, sh = s & 63;
  uint64_t r = word(i) >> sh;
  if (sh) r |= word(i + 1) << (64 - sh);
  return r;
}

// The 128 bits below and including the highest set bit, truncated.
constexpr Pow5Entry top_128(const uint64_t* w, int count) {
  int i = count - 1;
  while (w[i] == 0) --i;
  int h = 64 * i + 63 - std::countl_zero(w[i]);
  return {bits_at(w, count, h - 63), bits_at(w, count, h - 127)};
}

// 5^q for q in [-342, 308], normalized to 128 bits and truncated, so the product
// never overestimates. The negative powers are floor(2^1023 / 5^k), exact through
// repeated floor division by 5, which keeps 228 significant bits at k = 342.
constexpr Pow5Table make_pow5_table() {
  Pow5Table t{};
  uint64_t x[16] = {};
  x[15] = uint64_t{1} << 63;
  for (int k = 1; k <= -kMinPow10; ++k) {
    U128 rem = 0;
    for (int i = 15; i >= 0; --i) {
      U128 cur = (rem << 64) | x[i];
      x[i] = uint64_t(cur / 5);
      rem = cur % 5;
    }
    t.e[-kMinPow10 - k] = top_128(x, 16);
  }
  uint64_t y[12] = {1};  // 5^308 needs 716 bits
  for (int q = 0; q <= kMaxPow10; ++q) {
    t.e[q - kMinPow10] = top_128(y, 12);
    uint64_t carry = 0;
    for (uint64_t& w : y) {
      U128 cur = U128(w) * 5 + carry;
      w = uint64_t(cur);
      carry = uint64_t(cur >> 64);
    }
  }
  return t;
}

constexpr Pow5Table kPow5 = make_pow5_table();

constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// w * 10^q as double bits, for w != 0 and q in [kMinPow10, kMaxPow10]. Returns false
// when the truncated product leaves the rounding open, and for subnormal or
// overflowing results; the exact path settles those.
bool eisel_lemire(uint64_t w, int64_t q, uint64_t* bits) {
  const Pow5Entry& t = kPow5.e[q - kMinPow10];
  int lz = std::countl_zero(w);
  w <<= lz;
  U128 x = U128(w) * t.hi;
  uint64_t hi = uint64_t(x >> 64), lo = uint64_t(x);
  // The part of the product left out is below w units of lo. It can only change the
  // result by carrying through nine one-bits into the mantissa.
  if ((hi & 0x1FF) == 0x1FF && lo + w < lo) {
    U128 y = U128(w) * t.lo;
    uint64_t y_hi = uint64_t(y >> 64), y_lo = uint64_t(y);
    uint64_t merged = lo + y_hi;
    if (merged < lo) ++hi;
    if ((hi & 0x1FF) == 0x1FF && merged + 1 == 0 && y_lo + w < y_lo) return false;
    lo = merged;
  }
  uint64_t top = hi >> 63;
  uint64_t mant = hi >> (top + 9);  // the 53 kept bits and the rounding bit
  int64_t exp2 = ((217706 * q) >> 16) + 1086 + int64_t(top) - lz;
  // On a tie by this approximation the true value may be the tie or just above it.
  if (lo == 0 && (hi & 0x1FF) == 0 && (mant & 3) == 1) return false;
  mant = (mant + (mant & 1)) >> 1;
  if (mant >> 53) {
    mant >>= 1;
    ++exp2;
  }
  if (exp2 <= 0 || exp2 >= 0x7FF) return false;
  *bits = uint64_t(exp2) << 52 | (mant & kMantissaMask);
  return true;
}

// ---------------------------------------------------------------------------
// Exact fallback.

// Every tie between two doubles has at most 767 significant digits, so digits past
// this many only matter through whether any of them is nonzero.
constexpr size_t kExactDigits = 780;

// (all digits of [int_b, int_e) and [frac_b, frac_e) read as one integer) * 10^exp10,
// rounded exactly. The significant digits go to std::from_chars, which rounds
// exactly without allocating; a long rest is folded into one trailing 1, which keeps
// the value on the same side of every tie.
[[gnu::noinline, gnu::cold]] double exact_decimal(const uint8_t* int_b, const uint8_t* int_e,
                                                  const uint8_t* frac_b, const uint8_t* frac_e,
                                                  int64_t exp10) {
  char buf[kExactDigits + 32];
  size_t len = 0;
  int64_t sig = 0;
  bool sticky = false;
  auto take = [&](const uint8_t* b, const uint8_t* e) {
    for (; b != e; ++b) {
      uint8_t c = *b;
      if (c == '_' || (sig == 0 && c == '0')) continue;
      ++sig;
      if (len < kExactDigits) {
        buf[len++] = char(c);
      } else if (c != '0') {
        sticky = true;
      }
    }
  };
  take(int_b, int_e);
  take(frac_b, frac_e);
  if (sig == 0) return 0.0;
  int64_t point = sig + exp10;  // the value is 0.d1d2... * 10^point
  if (point > 310) return std::numeric_limits<double>::infinity();
  if (point < -330) return 0.0;
  if (sticky) buf[len++] = '1';
  int64_t e = point - int64_t(len);
  buf[len++] = 'e';
  len = size_t(std::to_chars(buf + len, buf + sizeof buf, e).ptr - buf);
  double v = 0;
  std::from_chars_result r = std::from_chars(buf, buf + len, v);
  if (r.ec == std::errc::result_out_of_range)
    return point > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return v;
}

// w * 10^q when one step settles it: zero, Clinger's exact product or quotient
// (when exact says w is an exact double, for |q| <= 22: both operands are exact,
// so one IEEE operation rounds correctly), or a q past every double's range.
// False leaves it to eisel_lemire.
inline bool scale_directly(uint64_t w, int64_t q, bool exact, double* v) {
  if (w == 0 || q < kMinPow10) {
    *v = 0.0;
  } else if (exact && q >= -22 && q <= 22) {
    *v = q < 0 ? double(w) / kExactPow10[-q] : double(w) * kExactPow10[q];
  } else if (q > kMaxPow10) {
    *v = std::numeric_limits<double>::infinity();
  } else {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Syntax.

inline bool is_digit(uint8_t c) { return uint8_t(c - '0') < 10; }

// An underscore is a separator only between two digits of one run; anywhere else the
// scan stops at it and the caller rejects the leftover text.
inline bool separator_ok(const uint8_t* p, const uint8_t* start, const uint8_t* end, bool hex) {
  if (*p != '_' || p == start || p + 1 == end) return false;
  uint8_t c = p[1];
  return is_digit(c) || (hex && uint8_t((c | 0x20) - 'a') < 6);
}

constexpr uint64_t kPow10Int[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Scans one run of decimal digits into *w (wrapping; the caller's digit count says
// whether w is exact) and counts its digits. Returns the end of the run. Each step
// takes all leading digits of an eight-byte window at once: runs of varying length
// cost no per-digit branch to mispredict.
inline const uint8_t* scan_digits(const uint8_t* p, const uint8_t* end, uint64_t tail, uint64_t* w,
                                  size_t* digits) {
  const uint8_t* start = p;
  uint64_t v = *w;
  size_t separators = 0;
  for (;;) {
    uint64_t chunk = window(p, end, tail);
    int k = std::countr_zero(non_digits(chunk)) >> 3;
    if (k) {
      // Moving the k digits to the top leaves zero digits in front of them.
      v = v * kPow10Int[k] + digits_value((chunk - 0x3030303030303030) << (8 * (8 - k)));
      p += k;
      if (k == 8) continue;
    }
    if (p == end || !separator_ok(p, start, end, false)) break;
    ++separators;
    ++p;
  }
  *w = v;
  *digits = size_t(p - start) - separators;
  return p;
}

// Scans an exponent's digits, saturating at kExponentCap. Returns the end of the run;
// the caller checks that it holds a digit.
inline const uint8_t* scan_exponent(const uint8_t* p, const uint8_t* end, int64_t* e) {
  const uint8_t* start = p;
  int64_t v = 0;
  for (; p != end; ++p) {
    uint8_t d = uint8_t(*p - '0');
    if (d < 10) {
      if (v < kExponentCap) v = v * 10 + d;
    } else if (!separator_ok(p, start, end, false)) {
      break;
    }
  }
  *e = v;
  return p;
}

// A decimal exponent after its marker: an optional sign, then digits up to the end of
// the text. A short run is read as one word; a long one, or one with separators,
// digit by digit. False when the text does not end in such an exponent.
inline bool read_exponent(const uint8_t* p, const uint8_t* end, uint64_t tail, int64_t* e) {
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  uint64_t chunk = window(p, end, tail);
  size_t k = size_t(std::countr_zero(non_digits(chunk))) >> 3;
  int64_t v;
  if (k != 0 && p + k == end) {
    v = digits_value((chunk - 0x3030303030303030) << (8 * (8 - k)));
  } else {
    const uint8_t* digits = p;
    p = scan_exponent(p, end, &v);
    if (p == digits || p != end) return false;
  }
  *e = negative ? -v : v;
  return true;
}

// Optional e/E (decimal) or p/P (hexadecimal) exponent with sign. Returns the end of
// the text it took, or nullptr when the marker is not followed by a digit.
inline const uint8_t* scan_signed_exponent(const uint8_t* p, const uint8_t* end, uint8_t marker, int64_t* e) {
  *e = 0;
  if (p == end || (*p | 0x20) != marker) return p;
  ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const uint8_t* digits = p;
  p = scan_exponent(p, end, e);
  if (p == digits) return nullptr;
  if (negative) *e = -*e;
  return p;
}

// ---------------------------------------------------------------------------
// Decimal numbers.

// The decimal number in [p, end); tail is the text's last word (tail_word).
Error convert_decimal(const uint8_t* p, const uint8_t* end, uint64_t tail, double* out) {
  uint64_t w = 0;
  size_t int_digits = 0, frac_digits = 0;
  const uint8_t* int_b = p;
  p = scan_digits(p, end, tail, &w, &int_digits);
  const uint8_t* int_e = p;
  const uint8_t* frac_b = p;
  if (p != end && *p == '.') {
    frac_b = ++p;
    p = scan_digits(p, end, tail, &w, &frac_digits);
  }
  const uint8_t* frac_e = p;
  if (int_digits + frac_digits == 0) return Error::InvalidCharacter;
  int64_t exp10 = 0;
  if (p != end && ((*p | 0x20) != 'e' || !read_exponent(p + 1, end, tail, &exp10)))
    return Error::InvalidCharacter;
  exp10 -= int64_t(frac_digits);

  // w is exact up to 19 significant digits; past that it keeps the first 19 and the
  // exponent grows by the digits dropped.
  int64_t q = exp10;
  bool truncated = false;
  size_t digits = int_digits + frac_digits;
  if (digits > 19) {
    // Leading zeros (with the point and separators among them) are not significant.
    for (const uint8_t* z = int_b; z != frac_e && (*z == '0' || *z == '.' || *z == '_'); ++z)
      digits -= *z == '0';
  }
  if (digits > 19) {
    uint64_t head = 0;
    int taken = 0;
    int64_t dropped = 0;
    auto take = [&](const uint8_t* b, const uint8_t* e) {
      for (; b != e; ++b) {
        uint8_t c = *b;
        if (c == '_' || (taken == 0 && c == '0')) continue;
        if (taken < 19) {
          head = head * 10 + (c - '0');
          ++taken;
        } else {
          ++dropped;
          truncated |= c != '0';
        }
      }
    };
    take(int_b, int_e);
    take(frac_b, frac_e);
    w = head;
    q += dropped;
  }

  double v;
  if (!scale_directly(w, q, !truncated && w <= (uint64_t{1} << 53), &v)) {
    uint64_t bits, bits_up;
    // A truncated text lies between w and w + 1 times 10^q; if both round alike, so does the text.
    if (eisel_lemire(w, q, &bits) && (!truncated || (eisel_lemire(w + 1, q, &bits_up) && bits_up == bits))) {
      v = std::bit_cast<double>(bits);
    } else {
      v = exact_decimal(int_b, int_e, frac_b, frac_e, exp10);
    }
  }
  *out = v;
  return Error::None;
}

// Whether the word holds an e or E (seldom also when it does not: the test may
// flag a byte above a match).
inline bool may_hold_exponent(uint64_t w) {
  uint64_t x = (w | 0x2020202020202020) ^ 0x6565656565656565;
  return ((x - 0x0101010101010101) & ~x & 0x8080808080808080) != 0;
}

// A decimal number whose digits and point lie within its first eight bytes, with an
// optional exponent after them: the digits are read from one word and scaled by
// Clinger's exact path or by eisel_lemire. False for any other shape and for the
// rare values those leave open; convert_decimal then judges the text.
inline bool convert_one_word(const uint8_t* p, const uint8_t* end, uint64_t tail, double* out) {
  uint64_t w = window(p, end, tail);
  size_t at = size_t(std::countr_zero(non_digits(w))) >> 3;  // the first non-digit
  size_t digits = at, used = at;
  if (at < 8 && uint8_t(w >> (8 * at)) == '.') {
    uint64_t head = (uint64_t{1} << (8 * at)) - 1;
    w = (w & head) | ((w >> 8) & ~head);  // the point squeezed out; a zero byte comes in on top
    digits = size_t(std::countr_zero(non_digits(w))) >> 3;
    used = digits + 1;
  }
  // Past the window's eighth byte the digits may go on.
  size_t len = size_t(end - p);
  if (digits == 0 || (used == 8 && len > 8)) return false;
  int64_t q = 0;
  if (used != len && ((p[used] | 0x20) != 'e' || !read_exponent(p + used + 1, end, tail, &q))) return false;
  q -= int64_t(digits - at);
  // The digit values moved to the top leave zero digits in front of them.
  uint64_t m = digits_value((w - 0x3030303030303030) << (8 * (8 - digits)));
  double v;
  // m is below 10^8, an exact double.
  if (!scale_directly(m, q, true, &v)) {
    uint64_t bits;
    if (!eisel_lemire(m, q, &bits)) return false;
    v = std::bit_cast<double>(bits);
  }
  *out = v;
  return true;
}

// ---------------------------------------------------------------------------
// Hexadecimal floats.

inline int hex_value(uint8_t c) {
  if (is_digit(c)) return c - '0';
  uint8_t l = uint8_t((c | 0x20) - 'a');
  return l < 6 ? l + 10 : -1;
}

// The first 16 significant hex digits, the power of two that scales them, and whether
// any later digit is nonzero.
struct HexMantissa {
  uint64_t m = 0;
  int significant = 0;
  int64_t exp2 = 0;
  bool sticky = false;
};

inline const uint8_t* scan_hex_digits(const uint8_t* p, const uint8_t* end, bool fraction, HexMantissa* h,
                                      size_t* digits) {
  const uint8_t* start = p;
  size_t count = 0;
  for (; p != end; ++p) {
    int d = hex_value(*p);
    if (d < 0) {
      if (separator_ok(p, start, end, true)) continue;
      break;
    }
    ++count;
    if (h->significant < 16) {
      if (h->m != 0 || d != 0) {
        h->m = h->m * 16 + uint64_t(d);
        ++h->significant;
      }
      if (fraction) h->exp2 -= 4;
    } else {
      h->sticky |= d != 0;
      if (!fraction) h->exp2 += 4;
    }
  }
  *digits = count;
  return p;
}

// Bits of the double nearest to (m + a sticky fraction below it) * 2^exp2, m != 0,
// ties to even, subnormals included.
uint64_t round_binary(uint64_t m, int64_t exp2, bool sticky) {
  int lz = std::countl_zero(m);
  m <<= lz;
  int64_t e = exp2 - lz + 63;  // the value lies in [2^e, 2^(e+1))
  if (e > 1023) return kInfinityBits;
  int shift = 11;
  if (e < -1022) {
    if (-1022 - e > 53) return 0;  // below half the smallest subnormal
    shift += int(-1022 - e);
  }
  uint64_t kept = shift == 64 ? 0 : m >> shift;
  uint64_t rest = shift == 64 ? m : m & ((uint64_t{1} << shift) - 1);
  uint64_t half = uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && (sticky || (kept & 1)))) ++kept;
  if (e < -1022) return kept;  // a carry to 2^52 is exactly the smallest normal
  // Rounded up to the next power of two; from 2^1023 that gives exactly infinity's bits.
  if (kept >> 53) {
    kept >>= 1;
    ++e;
  }
  return uint64_t(e + 1023) << 52 | (kept & kMantissaMask);
}

[[gnu::noinline]] Error convert_hex(const uint8_t* p, const uint8_t* end, double* out) {
  HexMantissa h;
  size_t int_digits = 0, frac_digits = 0;
  p = scan_hex_digits(p, end, false, &h, &int_digits);
  if (p != end && *p == '.') p = scan_hex_digits(p + 1, end, true, &h, &frac_digits);
  if (int_digits + frac_digits == 0) return Error::InvalidCharacter;
  int64_t exp2;
  p = scan_signed_exponent(p, end, 'p', &exp2);
  if (p != end) return Error::InvalidCharacter;
  *out = h.m == 0 ? 0.0 : std::bit_cast<double>(round_binary(h.m, h.exp2 + exp2, h.sticky));
  return Error::None;
}

// ---------------------------------------------------------------------------
// Words.

inline bool is_word(const uint8_t* p, size_t n, const char* word, size_t len) {
  if (n != len) return false;
  for (size_t i = 0; i < n; ++i) {
    if ((p[i] | 0x20) != uint8_t(word[i])) return false;
  }
  return true;
}

[[gnu::noinline]] Error convert_word(const uint8_t* p, size_t n, double* out) {
  if (is_word(p, n, "inf", 3) || is_word(p, n, "infinity", 8)) {
    *out = std::numeric_limits<double>::infinity();
  } else if (is_word(p, n, "nan", 3)) {
    *out = std::numeric_limits<double>::quiet_NaN();
  } else {
    return Error::InvalidCharacter;
  }
  return Error::None;
}

}  // namespace

Error decimal_to_double(const uint8_t* p, size_t n, double* out) {
  if (n == 0) return Error::InvalidCharacter;
  const uint8_t* begin = p;
  const uint8_t* end = p + n;
  // The sign is applied to the bits at the end, without a branch on it.
  uint64_t sign = uint64_t(*p == '-') << 63;
  p += *p == '-' || *p == '+';
  if (p == end) return Error::InvalidCharacter;
  size_t len = size_t(end - p);
  // The last eight bytes, read once: every word scan of a short text takes them from here.
  uint64_t tail = tail_word(begin, end);
  double v;
  Error e;
  if (ShortDecimal d; len <= 8 && read_short_decimal_word(tail >> (64 - 8 * len), len, &d)) {
    v = short_decimal_value(d);
    e = Error::None;
  } else if (is_digit(*p) || *p == '.') {
    // Past twelve bytes a text cannot fit one word and an exponent of up to -999;
    // without an e among its last eight, it has no exponent the word path could take.
    // One branch on both tests: plain texts of any length then always go the same way.
    if (((len <= 12) & may_hold_exponent(tail)) && convert_one_word(p, end, tail, &v)) {
      e = Error::None;
    } else if (*p == '0' && len > 1 && (p[1] | 0x20) == 'x') {
      e = convert_hex(p + 2, end, &v);
    } else {
      e = convert_decimal(p, end, tail, &v);
    }
  } else {
    e = convert_word(p, size_t(end - p), &v);
  }
  if (e != Error::None) return e;
  *out = std::bit_cast<double>(std::bit_cast<uint64_t>(v) ^ sign);
  return Error::None;
}

}  // namespace quelta
