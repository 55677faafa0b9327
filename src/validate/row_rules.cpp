// The field tests of the row step. They run once per rule per row, so each is
// a short pass over the bytes with no allocation.
#include "validate/row_rules.h"

#include <bit>
#include <cstring>

#include "util/utf8.h"

namespace quelta {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080;

// The value of two digits at p, or -1 when either is not a digit.
inline int two_digits(const uint8_t* p) {
  if (!is_digit(p[0]) || !is_digit(p[1])) return -1;
  return (p[0] - '0') * 10 + (p[1] - '0');
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

bool is_leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Empty, Z, z, or +HH:MM / -HH:MM.
bool is_zone(const uint8_t* p, size_t n) {
  if (n == 0) return true;
  if (n == 1) return p[0] == 'Z' || p[0] == 'z';
  if (n != 6 || (p[0] != '+' && p[0] != '-') || p[3] != ':') return false;
  int hh = two_digits(p + 1), mm = two_digits(p + 4);
  return hh >= 0 && hh <= 23 && mm >= 0 && mm <= 59;
}

}  // namespace

bool is_blank(FieldView f) {
  for (size_t i = 0; i < f.len; ++i) {
    uint8_t b = f.ptr[i];
    if (b != ' ' && b != '\t' && b != '\r' && b != '\n') return false;
  }
  return true;
}

bool is_datetime_text(FieldView t) {
  const uint8_t* p = t.ptr;
  const size_t n = t.len;
  if (n < 10 || p[4] != '-' || p[7] != '-') return false;
  int y_hi = two_digits(p), y_lo = two_digits(p + 2);
  int month = two_digits(p + 5), day = two_digits(p + 8);
  if (y_hi < 0 || y_lo < 0 || month < 0 || day < 0) return false;
  int year = y_hi * 100 + y_lo;
  if (year == 0 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  if (n == 10) return true;

  if ((p[10] != 'T' && p[10] != ' ') || n < 16 || p[13] != ':') return false;
  int hour = two_digits(p + 11), minute = two_digits(p + 14);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return false;

  size_t i = 16;
  if (n - 16 >= 3 && p[16] == ':' && is_digit(p[17]) && is_digit(p[18])) {
    if (two_digits(p + 17) > 60) return false;  // 60 admits a leap second
    i = 19;
    if (n - 19 >= 2 && p[19] == '.') {
      size_t j = 20;
      while (j < n && is_digit(p[j])) ++j;
      if (j == 20) return false;
      i = j;
    }
  }
  return is_zone(p + i, n - i);
}

uint64_t text_length(FieldView f) {
  const uint8_t* p = f.ptr;
  const size_t n = f.len;
  size_t i = 0;
  while (n - i >= 8 && (load64(p + i) & kHighBits) == 0) i += 8;
  while (i < n && p[i] < 0x80) ++i;
  if (i == n) return n;
  // The ASCII prefix ends on a sequence boundary, so the rest decides.
  if (!is_valid_utf8(p + i, n - i)) return n;
  // Well-formed: every byte but a continuation byte (10xxxxxx) starts a code point.
  uint64_t continuations = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t w = load64(p + i);
    continuations += static_cast<uint64_t>(std::popcount(w & ~(w << 1) & kHighBits));
  }
  for (; i < n; ++i) continuations += (p[i] & 0xC0) == 0x80;
  return n - continuations;
}

}  // namespace quelta
