// Quantiles of a stream of doubles from a uniform random sample of it: a
// reservoir of kQuantileSample values (Li's Algorithm L, which draws the gap to
// the next value that enters, so a value passed over costs nothing). By
// Hoeffding's bound for sampling without replacement, each answer's rank is off
// by more than kQuantileRankError of the count with probability at most
// 2 exp(-2 m (e - 1/m)^2) = 2.9e-4 for m = 16,384 and e = 0.0165, so five
// answers are all within it with 99.8 % confidence; in at most 128 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr double kQuantileRankError = 0.0165;
constexpr unsigned kQuantileSampleBits = 14;
constexpr size_t kQuantileSample = size_t{1} << kQuantileSampleBits;

struct QuantileSketch {
  GrowBuffer<double> sample;  // the first values, then a uniform sample of all of them
  uint64_t count = 0;         // values added
  uint64_t next = 0;          // once the sample is full: the index of the next value to enter it
  double w = 0;               // Algorithm L's running maximum of the sample's random keys
  uint64_t random = 0x9e3779b97f4a7c15ull;
};

// Adds values[0..n); OutOfMemory when the sample cannot grow (none counted then).
Error quantile_add_many(QuantileSketch* s, const double* values, size_t n);

inline Error quantile_add(QuantileSketch* s, double v) { return quantile_add_many(s, &v, 1); }

// Whether the sample still holds every value added, so that answers are exact.
inline bool quantile_exact(const QuantileSketch& s) { return s.count == s.sample.len; }

// The values at each of n_fractions ranks (fractions in [0, 1], ascending),
// written to out; count must be > 0. OutOfMemory when the sample cannot be
// copied to be sorted.
Error quantile_values(const QuantileSketch& s, const double* fractions, size_t n_fractions, double* out);

void quantile_free(QuantileSketch* s);

}  // namespace quelta
