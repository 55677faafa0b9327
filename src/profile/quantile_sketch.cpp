// The compactor stack of the KLL sketch and its merge into a weighted, sorted
// list for queries.
#include "profile/quantile_sketch.h"

#include <algorithm>
#include <cmath>

namespace quelta {
namespace {

size_t capacity(const QuantileSketch& s, size_t level) { return s.capacities[level]; }

Error add_level(QuantileSketch* s) {
  if (s->n_levels == kQuantileMaxLevels) return Error::OutOfMemory;
  ++s->n_levels;
  s->max_size = 0;
  for (size_t h = 0; h < s->n_levels; ++h) {
    const double depth = static_cast<double>(s->n_levels - h - 1);
    size_t c = static_cast<size_t>(std::ceil(std::pow(2.0 / 3.0, depth) * kQuantileK)) + 1;
    s->capacities[h] = c < kQuantileMinCapacity ? kQuantileMinCapacity : c;
    s->max_size += s->capacities[h];
  }
  return s->levels[0].reserve(s->capacities[0] + 1);
}

bool coin(QuantileSketch* s) {
  uint64_t x = s->random;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  s->random = x;
  return (x >> 63) != 0;
}

// Halves the first level at or over its capacity into the one above, going up
// while the whole stack is still over its size.
Error compact(QuantileSketch* s) {
  for (size_t h = 0; h < s->n_levels; ++h) {
    GrowBuffer<double>& level = s->levels[h];
    if (level.len < capacity(*s, h)) continue;
    if (h + 1 == s->n_levels) {
      if (Error e = add_level(s); failed(e)) return e;
    }
    GrowBuffer<double>& above = s->levels[h + 1];
    if (Error e = above.reserve(above.len + level.len / 2); failed(e)) return e;
    std::sort(level.data, level.data + level.len);
    // An odd item out (the smallest) stays at this level.
    const size_t start = level.len % 2;
    const size_t pick = coin(s) ? 1 : 0;
    for (size_t i = start + pick; i < level.len; i += 2) above.data[above.len++] = level.data[i];
    level.len = start;
    s->size = 0;
    for (size_t j = 0; j < s->n_levels; ++j) s->size += s->levels[j].len;
    if (s->size < s->max_size) break;
  }
  return Error::None;
}

}  // namespace

Error quantile_add_slow(QuantileSketch* s, double v) {
  if (s->n_levels == 0) {
    if (Error e = add_level(s); failed(e)) return e;
  }
  if (Error e = s->levels[0].push(v); failed(e)) return e;
  ++s->size;
  ++s->count;
  if (s->size >= s->max_size) return compact(s);
  return Error::None;
}

Error quantile_add_many(QuantileSketch* s, const double* values, size_t n) {
  if (s->n_levels == 0) {
    if (Error e = add_level(s); failed(e)) return e;
  }
  // Level 0 takes the whole run; compactions bring the stack back under its size.
  if (Error e = s->levels[0].append(values, n); failed(e)) return e;
  s->size += n;
  s->count += n;
  while (s->size >= s->max_size) {
    if (Error e = compact(s); failed(e)) return e;
  }
  return Error::None;
}

Error quantile_values(const QuantileSketch& s, const double* fractions, size_t n_fractions, double* out) {
  struct Weighted {
    double value;
    uint64_t weight;
  };
  GrowBuffer<Weighted> all;
  if (Error e = all.reserve(s.size); failed(e)) return e;
  for (size_t h = 0; h < s.n_levels; ++h)
    for (size_t i = 0; i < s.levels[h].len; ++i)
      all.data[all.len++] = Weighted{s.levels[h].data[i], uint64_t{1} << h};
  std::sort(all.data, all.data + all.len,
            [](const Weighted& a, const Weighted& b) { return a.value < b.value; });
  uint64_t total = 0;
  for (size_t i = 0; i < all.len; ++i) total += all.data[i].weight;
  // The first item whose cumulative weight reaches fraction * total (at least 1).
  size_t i = 0;
  uint64_t cumulative = all.len ? all.data[0].weight : 0;
  for (size_t q = 0; q < n_fractions; ++q) {
    double target = std::ceil(fractions[q] * static_cast<double>(total));
    if (target < 1) target = 1;
    while (i + 1 < all.len && static_cast<double>(cumulative) < target) cumulative += all.data[++i].weight;
    out[q] = all.len ? all.data[i].value : 0.0;
  }
  all.release();
  return Error::None;
}

void quantile_free(QuantileSketch* s) {
  for (size_t h = 0; h < kQuantileMaxLevels; ++h) s->levels[h].release();
  s->n_levels = s->size = s->max_size = 0;
}

}  // namespace quelta
