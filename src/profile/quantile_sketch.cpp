// The reservoir of the quantile sketch and the answers read from it.
#include "profile/quantile_sketch.h"

#include <algorithm>
#include <cmath>

namespace quelta {
namespace {

uint64_t next_random(QuantileSketch* s) {
  // xorshift64*: the state never becomes zero.
  uint64_t x = s->random;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  s->random = x;
  return x * 0x2545f4914f6cdd1dull;
}

// Uniform in (0, 1), never 0, so its logarithm is finite.
double open_unit(QuantileSketch* s) { return (static_cast<double>(next_random(s) >> 11) + 0.5) * 0x1p-53; }

// Algorithm L's next key maximum: W times the largest of m new uniform keys.
void next_w(QuantileSketch* s) {
  s->w *= std::exp(std::log(open_unit(s)) / static_cast<double>(kQuantileSample));
}

// Values passed over before the next one enters: geometric with parameter W.
uint64_t next_gap(QuantileSketch* s) {
  const double gap = std::floor(std::log(open_unit(s)) / std::log1p(-s->w));
  // Past 2^62 values no stream reaches the next entry anyway.
  return gap < 0x1p62 ? static_cast<uint64_t>(gap) : uint64_t{1} << 62;
}

}  // namespace

Error quantile_add_many(QuantileSketch* s, const double* values, size_t n) {
  if (s->sample.len < kQuantileSample) {
    const size_t take = std::min(n, kQuantileSample - s->sample.len);
    if (Error e = s->sample.append(values, take); failed(e)) return e;
    s->count += take;
    values += take;
    n -= take;
    if (s->sample.len < kQuantileSample) return Error::None;
    // Full: the growth's spare room goes back, and the draws start.
    s->sample.trim();
    s->w = 1.0;
    next_w(s);
    s->next = s->count + next_gap(s);
  }
  // values[i] is value number count + i of the stream.
  const uint64_t end = s->count + n;
  while (s->next < end) {
    const size_t slot = next_random(s) >> (64 - kQuantileSampleBits);
    s->sample.data[slot] = values[s->next - s->count];
    next_w(s);
    s->next += next_gap(s) + 1;
  }
  s->count = end;
  return Error::None;
}

Error quantile_values(const QuantileSketch& s, const double* fractions, size_t n_fractions, double* out) {
  GrowBuffer<double> sorted;
  if (Error e = sorted.append(s.sample.data, s.sample.len); failed(e)) return e;
  std::sort(sorted.data, sorted.data + sorted.len);
  // The smallest value whose rank reaches fraction * count (at least the first).
  for (size_t q = 0; q < n_fractions; ++q) {
    const double rank = std::ceil(fractions[q] * static_cast<double>(sorted.len));
    const size_t at = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    out[q] = sorted.len ? sorted.data[std::min(at, sorted.len - 1)] : 0.0;
  }
  sorted.release();
  return Error::None;
}

void quantile_free(QuantileSketch* s) {
  s->sample.release();
  s->count = s->next = 0;
}

}  // namespace quelta
