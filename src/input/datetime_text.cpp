// The datetime grammar of the schema's "datetime" type and of the typed
// columns, read in one pass over fixed positions.
#include "input/datetime_text.h"

namespace quelta {
namespace {

inline bool digit(uint8_t b) { return static_cast<uint8_t>(b - '0') <= 9; }

// The value of two digits at p, or -1 when either is not a digit.
inline int two_digits(const uint8_t* p) {
  if (!digit(p[0]) || !digit(p[1])) return -1;
  return (p[0] - '0') * 10 + (p[1] - '0');
}

bool is_leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Empty, Z, z, or +HH:MM / -HH:MM.
bool read_zone(const uint8_t* p, size_t n, DatetimeParts* out) {
  if (n == 0) return true;
  if (n == 1) {
    out->has_zone = true;
    return p[0] == 'Z' || p[0] == 'z';
  }
  if (n != 6 || (p[0] != '+' && p[0] != '-') || p[3] != ':') return false;
  int hh = two_digits(p + 1), mm = two_digits(p + 4);
  if (hh < 0 || hh > 23 || mm < 0 || mm > 59) return false;
  out->has_zone = true;
  out->offset_minutes = (p[0] == '-' ? -1 : 1) * (hh * 60 + mm);
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian), by
// counting 400-year eras from March 1st so leap days fall at an era's end.
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

bool parse_datetime_text(FieldView t, DatetimeParts* out) {
  const uint8_t* p = t.ptr;
  const size_t n = t.len;
  *out = DatetimeParts{};
  if (n < 10 || p[4] != '-' || p[7] != '-') return false;
  int y_hi = two_digits(p), y_lo = two_digits(p + 2);
  int month = two_digits(p + 5), day = two_digits(p + 8);
  if (y_hi < 0 || y_lo < 0 || month < 0 || day < 0) return false;
  int year = y_hi * 100 + y_lo;
  if (year == 0 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  out->year = year;
  out->month = month;
  out->day = day;
  if (n == 10) return true;

  if ((p[10] != 'T' && p[10] != ' ') || n < 16 || p[13] != ':') return false;
  int hour = two_digits(p + 11), minute = two_digits(p + 14);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return false;
  out->hour = hour;
  out->minute = minute;

  size_t i = 16;
  if (n - 16 >= 3 && p[16] == ':' && digit(p[17]) && digit(p[18])) {
    int second = two_digits(p + 17);
    if (second > 60) return false;  // 60 admits a leap second
    out->second = second;
    i = 19;
    if (n - 19 >= 2 && p[19] == '.') {
      size_t j = 20;
      uint32_t nanos = 0;
      for (; j < n && digit(p[j]); ++j)
        if (j < 29) nanos = nanos * 10 + (p[j] - '0');
      if (j == 20) return false;
      for (size_t k = j; k < 29; ++k) nanos *= 10;
      out->nanosecond = nanos;
      i = j;
    }
  }
  return read_zone(p + i, n - i, out);
}

bool datetime_epoch_ns(const DatetimeParts& parts, int64_t* out) {
  const int64_t days = days_from_civil(parts.year, parts.month, parts.day);
  int64_t seconds = days * 86400 + parts.hour * 3600 + parts.minute * 60 + parts.second -
                    int64_t{parts.offset_minutes} * 60;
  int64_t nanos = parts.nanosecond;
  // Before the epoch the fraction is borrowed from the next second, so the
  // first instants of the range scale without overflowing.
  if (seconds < 0 && nanos > 0) ++seconds, nanos -= 1'000'000'000;
  // Years 1-9999 keep seconds within +-3.2e11, so only the scaling can overflow.
  int64_t ns;
  if (__builtin_mul_overflow(seconds, int64_t{1'000'000'000}, &ns) ||
      __builtin_add_overflow(ns, nanos, &ns) || ns == INT64_MIN)
    return false;
  *out = ns;
  return true;
}

}  // namespace quelta
