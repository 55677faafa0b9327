// One column of a columnar collect as typed values: 64-bit floats, 64-bit
// integers, booleans or UTC epoch nanoseconds, each with a validity byte per
// row; the strictest type every value of a column meets; and the column's
// text joined by a byte it does not hold, for hosts that split it at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ops/columnar.h"

namespace quelta {

struct TypedCounts {
  uint64_t blank = 0;    // empty or white space only
  uint64_t invalid = 0;  // neither blank nor convertible
  uint64_t zoned = 0;    // datetimes written with a zone
};

// The value written for a row that is not valid, per type: what the hosts
// read as missing where they can (NaN, numpy's NaT).
inline constexpr int64_t kMissingDatetime = INT64_MIN;

// Rows of the column: one less than its offsets.
inline size_t column_rows(const ColumnBuffer& c) { return c.offsets.len ? c.offsets.len - 1 : 0; }

// Each converts every row of c into values[r] and, when valid is not null,
// valid[r] (1 converted, 0 not), adding to *counts. Numbers follow the number
// rules on the text as it is; booleans and datetimes are read from the text
// trimmed of spaces and tabs. Rows that do not convert hold NaN, 0, 0 and
// kMissingDatetime.
void column_to_float64(const ColumnBuffer& c, double* values, uint8_t* valid, TypedCounts* counts);
void column_to_int64(const ColumnBuffer& c, int64_t* values, uint8_t* valid, TypedCounts* counts);
void column_to_boolean(const ColumnBuffer& c, uint8_t* values, uint8_t* valid, TypedCounts* counts);
void column_to_datetime_ns(const ColumnBuffer& c, int64_t* values, uint8_t* valid, TypedCounts* counts);

enum class ColumnType : int32_t { Blank = 0, Int64 = 1, Float64 = 2, Boolean = 3, Datetime = 4, Text = 5 };

// The first of Int64, Float64, Boolean, Datetime that every non-blank value
// converts to (Blank when there is none, Text when no type fits). Stops at
// the first value that rules out every type.
ColumnType infer_column_type(const ColumnBuffer& c);

// The column's distinct values (bytewise), numbered by first appearance:
// codes[r] is row r's number, first_rows[k] the row where value k first
// appears. Returns the number of distinct values, or max_distinct + 1 when
// there are more (codes and first_rows then hold what was read up to there).
// The hash table is one heap block: *failed set (and 0 returned) when it
// cannot be had.
uint64_t column_dictionary(const ColumnBuffer& c, uint32_t* codes, uint32_t* first_rows,
                           uint32_t max_distinct, bool* failed);

// The bytes of the values with one separator between each two.
inline size_t column_joined_len(const ColumnBuffer& c) {
  size_t rows = column_rows(c);
  return c.data.len + (rows ? rows - 1 : 0);
}
// An ASCII byte the column's data does not hold (control bytes first), or -1.
int32_t column_free_separator(const ColumnBuffer& c);
// Writes the joined text (column_joined_len bytes) to out.
void column_join(const ColumnBuffer& c, uint8_t separator, uint8_t* out);

}  // namespace quelta
