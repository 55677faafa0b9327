// The running profile of one column: counts by kind, numeric moments and
// quantiles, lengths, the smallest and largest text, and distinct values
// (counted exactly while few, estimated after). Memory per column is bounded
// whatever the number of rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"
#include "profile/hyperloglog.h"
#include "profile/quantile_sketch.h"
#include "profile/value_grammar.h"
#include "util/grow_buffer.h"

namespace quelta {

// Distinct values are counted exactly up to this many per column, and while
// their texts take at most kDistinctExactBytes; past either, by HyperLogLog.
constexpr size_t kDistinctExactMax = 1000;
constexpr size_t kDistinctExactBytes = size_t{256} << 10;

struct DistinctValue {
  uint64_t hash;
  uint64_t count;
  double number;    // the value when kGrammarNumeric
  uint64_t length;  // characters, as the length rules count them
  uint32_t offset;  // the text in DistinctTable::texts
  uint32_t len;
  uint8_t kinds;
};

struct DistinctTable {
  GrowBuffer<DistinctValue> values;  // in order of first appearance
  ByteBuffer texts;
  // Per slot the hash's high half above index + 1 into values, 0 for a free
  // slot; a power of two long and at most a quarter full, so that a lookup
  // rarely goes past its first slot and most misses end without a load of values.
  GrowBuffer<uint64_t> slots;
};

struct ColumnProfile {
  uint64_t rows = 0;
  uint64_t blanks = 0;
  uint64_t numeric = 0;
  uint64_t integers = 0;
  uint64_t booleans = 0;
  uint64_t datetimes = 0;
  uint64_t texts = 0;  // non-blank values of no kind
  // The counts above are set by column_profile_finish from these: values by
  // their set of kinds, and, while the table is exact, the table's counts
  // (a value seen again then costs its count only).
  uint64_t by_kinds[16] = {};
  // Numeric values wait in a block (allocated with the first); a full block is
  // summed in two passes and merged into the running mean and sum of squared
  // deviations (Chan, Golub and LeVeque), which is numerically stable and
  // keeps a division off every value, and its values go into the sketch.
  double min = 0, max = 0, mean = 0, m2 = 0;
  uint64_t merged = 0;  // values in mean and m2
  double* block = nullptr;
  size_t n_block = 0;
  // Non-blank values as they are.
  uint64_t min_length = 0, max_length = 0;
  ByteBuffer min_text, max_text;
  uint64_t min_key = 0, max_key = 0;  // their first eight bytes, big-endian: most comparisons end there
  bool exact = true;                  // distinct values are all in the table
  DistinctTable distinct;
  HyperLogLog estimate;  // allocated when the table gives up
  // The register update of the previous value, made at the next one (or at
  // the finish), so that the register's load, started early, has arrived.
  uint64_t pending_hash = 0;
  bool pending = false;
  QuantileSketch quantiles;
};

constexpr size_t kNumberBlock = 256;

// Takes one field of the column (a row without it passes the empty text).
Error column_profile_add(ColumnProfile* c, FieldView value);
// Takes in the values still waiting and sets the counts by kind; call after
// the last value.
Error column_profile_finish(ColumnProfile* c);

// The number of distinct non-blank values: exact, or HyperLogLog's estimate.
double column_distinct_count(const ColumnProfile& c);

void column_profile_free(ColumnProfile* c);

}  // namespace quelta
