// KLL quantile sketch of a stream of doubles (Karnin, Lang, Liberty 2016):
// compactors whose capacities shrink by 2/3 per level below the top (to at
// least 64), each
// compaction keeping every other item of a sorted level at twice the weight.
// With k = 200 the rank of an answered quantile is off by at most
// kQuantileRankError of the count with 99 % confidence, in about 12 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr double kQuantileRankError = 0.0165;
constexpr size_t kQuantileK = 200;
constexpr size_t kQuantileMaxLevels = 48;  // 2^48 values before the top compactor saturates
// The lowest levels never shrink below this: more than the paper's minimum (which
// only helps accuracy), so that compactions stay rare on the hot path.
constexpr size_t kQuantileMinCapacity = 64;

struct QuantileSketch {
  GrowBuffer<double> levels[kQuantileMaxLevels];  // level h holds items of weight 2^h
  size_t capacities[kQuantileMaxLevels] = {};
  size_t n_levels = 0;
  size_t size = 0;      // items held over all levels
  size_t max_size = 0;  // the sum of the capacities; reaching it compacts
  uint64_t count = 0;   // values added
  uint64_t random = 0x9e3779b97f4a7c15ull;
  GrowBuffer<double> scratch;  // room to merge a level into
  GrowBuffer<size_t> runs;     // the sorted runs of a level being sorted
};

Error quantile_add_slow(QuantileSketch* s, double v);

// Adds v; OutOfMemory when a level cannot grow (v is then not counted).
inline Error quantile_add(QuantileSketch* s, double v) {
  if (s->n_levels > 0 && s->size + 1 < s->max_size && s->levels[0].len < s->levels[0].cap) {
    s->levels[0].data[s->levels[0].len++] = v;
    ++s->size;
    ++s->count;
    return Error::None;
  }
  return quantile_add_slow(s, v);
}

// Adds values[0..n) at once; OutOfMemory as quantile_add.
Error quantile_add_many(QuantileSketch* s, const double* values, size_t n);

// The values at each of n_fractions ranks (fractions in [0, 1], ascending),
// written to out; count must be > 0. OutOfMemory when the merge cannot be held.
Error quantile_values(const QuantileSketch& s, const double* fractions, size_t n_fractions, double* out);

void quantile_free(QuantileSketch* s);

}  // namespace quelta
