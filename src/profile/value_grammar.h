// Which of the schema's type grammars a non-blank value meets, with its number:
// one look at the value's first bytes picks the one test that can hold, and the
// common shapes (a short decimal, an integer, a plain decimal with or without an
// exponent, a word) are settled inline. Anything else takes the general path
// through the shared value tests, which has the last word.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/decimal_words.h"
#include "input/field_view.h"
#include "input/value_text.h"

namespace quelta {

// The grammars of the schema types a non-blank value may meet (the integer one
// has no range, unlike ValueKind's); a value of none of them is an other text.
enum GrammarKind : uint8_t {
  kGrammarNumeric = 1,   // the float grammar: a finite number
  kGrammarInteger = 2,   // the integer grammar
  kGrammarBoolean = 4,   // true or false in any case
  kGrammarDatetime = 8,  // the datetime grammar
};

// The kinds of a non-blank value through the shared tests, spaces and tabs
// around it ignored; *number receives the value when kGrammarNumeric is set.
uint8_t grammar_kinds_general(FieldView value, double* number);

namespace grammar_detail {

// Digits, a point and digits, an exponent: when every digit fits one word and
// the decimal power is one a double holds exactly, a single IEEE operation
// gives the correctly rounded value, as the decimal conversion's own fast path
// does. False (leaving the text to the general path) for any other text.
// The powers of ten a double holds exactly; a namespace-scope table, so that no
// call builds a copy of it.
inline constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool plain_decimal(const uint8_t* p, size_t n, size_t i, bool negative, double* number,
                          bool* integer) {
  uint64_t w = 0;
  size_t digits = 0;
  for (; i < n && is_digit(p[i]); ++i, ++digits) w = w * 10 + (p[i] - '0');
  int scale = 0;
  *integer = i == n;
  if (i < n && p[i] == '.') {
    const size_t start = ++i;
    for (; i < n && is_digit(p[i]); ++i, ++digits) w = w * 10 + (p[i] - '0');
    scale = static_cast<int>(i - start);
    if (scale == 0) return false;
  }
  if (i < n && (p[i] | 0x20) == 'e') {
    ++i;
    const bool minus = i < n && p[i] == '-';
    i += i < n && (p[i] == '-' || p[i] == '+');
    const size_t start = i;
    int e = 0;
    for (; i < n && is_digit(p[i]) && i - start < 3; ++i) e = e * 10 + (p[i] - '0');
    if (i == start) return false;
    scale -= minus ? -e : e;
  }
  if (i != n || digits > 19 || w > (uint64_t{1} << 53) || scale < -22 || scale > 22) return false;
  double v = static_cast<double>(w);
  v = scale > 0 ? v / kPow10[scale] : v * kPow10[-scale];
  *number = negative ? -v : v;
  return true;
}

// Two ASCII digits as a number, or a value above 99 when either is not a digit.
inline unsigned two_digits(const uint8_t* p) {
  const unsigned hi = static_cast<uint8_t>(p[0] - '0'), lo = static_cast<uint8_t>(p[1] - '0');
  return hi > 9 || lo > 9 ? 100 : hi * 10 + lo;
}

// The common datetime shapes, YYYY-MM-DD and YYYY-MM-DD[T ]HH:MM:SS, checked
// field by field; a text of another shape, or one these checks refuse, goes to
// the shared datetime test, which has the last word.
inline bool datetime_shape(FieldView t) {
  const uint8_t* p = t.ptr;
  if (t.len != 10 && t.len != 19) return is_datetime_text(t);
  const unsigned century = two_digits(p), year_in = two_digits(p + 2), month = two_digits(p + 5),
                 day = two_digits(p + 8);
  bool ok = p[7] == '-' && century <= 99 && year_in <= 99 && month - 1 < 12 && day - 1 < 28 &&
            (century | year_in) != 0;
  if (t.len == 19) {
    const unsigned hour = two_digits(p + 11), minute = two_digits(p + 14), second = two_digits(p + 17);
    ok = ok && (p[10] == 'T' || p[10] == ' ') && p[13] == ':' && p[16] == ':' && hour < 24 && minute < 60 &&
         second <= 60;
  }
  // Days 29 to 31 depend on the month and the year: the shared test settles them.
  return ok || is_datetime_text(t);
}

}  // namespace grammar_detail

inline uint8_t grammar_kinds(FieldView value, double* number) {
  const uint8_t* p = value.ptr;
  const size_t n = value.len;
  const uint8_t first = p[0];
  const uint8_t last = p[n - 1];
  if (first == ' ' || first == '\t' || last == ' ' || last == '\t')
    return grammar_kinds_general(value, number);
  const size_t sign = first == '-' || first == '+';
  if (sign < n && is_digit(p[sign])) {
    // A short decimal is read by the very code the decimal conversion uses for
    // it, and its value taken by the same one division.
    if (ShortDecimal d; n - sign <= 8 && last != '.' && read_short_decimal(p + sign, p + n, &d)) {
      const double v = static_cast<double>(d.digits) / grammar_detail::kPow10[d.scale];
      *number = first == '-' ? -v : v;
      return d.scale == 0 ? kGrammarNumeric | kGrammarInteger : kGrammarNumeric;
    }
    // Up to 15 digits an integer is exact in a double; only longer ones need
    // the general conversion.
    // A date is told by its fifth byte before any digits are gathered.
    if (n >= 10 && sign == 0 && p[4] == '-' && is_digit(p[1]) && is_digit(p[2]) && is_digit(p[3]))
      return grammar_detail::datetime_shape(value) ? kGrammarDatetime : 0;
    bool integer = false;
    if (grammar_detail::plain_decimal(p, n, sign, first == '-', number, &integer) &&
        (!integer || n - sign <= 15))
      return integer ? kGrammarNumeric | kGrammarInteger : kGrammarNumeric;
    // Four digits and a '-' can only start a date: no number has a '-' there.
    if (n > 4 && sign == 0 && p[4] == '-' && is_digit(p[1]) && is_digit(p[2]) && is_digit(p[3]))
      return grammar_detail::datetime_shape(value) ? kGrammarDatetime : 0;
    return grammar_kinds_general(value, number);
  }
  // A value that starts with neither a digit nor a sign, a point or the word of
  // a number (inf, infinity, nan: three or eight letters) is no number and no
  // date; it may be a boolean.
  const uint8_t folded = first | 0x20;
  if (sign || first == '.' || ((folded == 'i' || folded == 'n') && (n == 3 || n == 8)))
    return grammar_kinds_general(value, number);
  return is_boolean_text(value) ? kGrammarBoolean : 0;
}

}  // namespace quelta
