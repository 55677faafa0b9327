// The datetime grammar: a date, optionally a time of day, optionally a zone,
// and the instant it names as nanoseconds since 1970-01-01T00:00:00Z.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"

namespace quelta {

// The parts of a datetime text, as written.
struct DatetimeParts {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
  uint32_t nanosecond = 0;  // fraction digits past the ninth are dropped (truncated)
  int offset_minutes = 0;   // east of UTC; 0 for Z and for no zone
  bool has_zone = false;    // Z, z or an offset was written
};

// YYYY-MM-DD (year 0001-9999, a day the month has), optionally followed by
// 'T' or ' ', HH:MM, optional :SS (00-60) with an optional fraction, and an
// optional zone (Z, z, +HH:MM or -HH:MM). No white space. True with *out
// filled when the whole text matches.
bool parse_datetime_text(FieldView t, DatetimeParts* out);

inline bool is_datetime_text(FieldView t) {
  DatetimeParts parts;
  return parse_datetime_text(t, &parts);
}

// The instant as UTC nanoseconds since the epoch: a text without zone is
// read as UTC, an offset is subtracted, a date alone is its midnight, and a
// leap second (:60) is the first second of the next minute. False when the
// instant is outside int64 nanoseconds (before 1677-09-21 or after
// 2262-04-11); INT64_MIN itself is refused as well, hosts use it for "no value".
bool datetime_epoch_ns(const DatetimeParts& parts, int64_t* out);

}  // namespace quelta
