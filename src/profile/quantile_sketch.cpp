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

constexpr size_t kMinRun = 16;

void insertion_sort(double* p, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    const double v = p[i];
    size_t j = i;
    for (; j > 0 && v < p[j - 1]; --j) p[j] = p[j - 1];
    p[j] = v;
  }
}

// Merges [a, a_end) and [b, b_end), both ascending, into out; the choice of the
// next item is a select, not a branch, since it is a coin toss on real data.
void merge(const double* a, const double* a_end, const double* b, const double* b_end, double* out) {
  while (a < a_end && b < b_end) {
    const bool from_b = *b < *a;
    *out++ = from_b ? *b : *a;
    b += from_b;
    a += !from_b;
  }
  while (a < a_end) *out++ = *a++;
  while (b < b_end) *out++ = *b++;
}

// Sorts a level: an upper level is a few ascending runs (each the half of a
// sorted level below) and level 0 is in arrival order; runs already ascending
// are kept, short stretches sorted by insertion, and runs merged pairwise.
Error sort_level(QuantileSketch* s, double* data, size_t n) {
  s->runs.clear();
  if (Error e = s->runs.push(0); failed(e)) return e;
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && !(data[j] < data[j - 1])) ++j;
    if (j - i < kMinRun) {
      j = i + kMinRun < n ? i + kMinRun : n;
      insertion_sort(data + i, j - i);
    }
    if (Error e = s->runs.push(j); failed(e)) return e;
    i = j;
  }
  if (s->runs.len <= 2) return Error::None;
  s->scratch.clear();
  if (Error e = s->scratch.reserve(n); failed(e)) return e;
  double* from = data;
  double* to = s->scratch.data;
  size_t* bounds = s->runs.data;
  size_t n_bounds = s->runs.len;
  while (n_bounds > 2) {
    size_t kept = 0;
    size_t r = 0;
    for (; r + 2 < n_bounds; r += 2) {
      merge(from + bounds[r], from + bounds[r + 1], from + bounds[r + 1], from + bounds[r + 2],
            to + bounds[r]);
      bounds[kept++] = bounds[r];
    }
    // A last run without a partner is carried over as it is.
    if (r + 1 < n_bounds) {
      std::copy(from + bounds[r], from + bounds[r + 1], to + bounds[r]);
      bounds[kept++] = bounds[r];
    }
    bounds[kept++] = n;
    n_bounds = kept;
    std::swap(from, to);
  }
  if (from != data) std::copy(from, from + n, data);
  return Error::None;
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
    if (Error e = sort_level(s, level.data, level.len); failed(e)) return e;
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
  s->scratch.release();
  s->runs.release();
  s->n_levels = s->size = s->max_size = 0;
}

}  // namespace quelta
