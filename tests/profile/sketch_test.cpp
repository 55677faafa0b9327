// The two sketches of the profile against exact answers: KLL quantiles within
// their stated rank error on streams of many shapes, HyperLogLog within three
// standard errors over cardinalities from one to a million.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "profile/hyperloglog.h"
#include "profile/quantile_sketch.h"
#include "profile/text_hash.h"

namespace quelta {
namespace {

// How far, as a fraction of n, the answer v is from rank fraction * n: 0 when
// some position of v in the sorted data is at that rank.
double rank_error(const std::vector<double>& sorted, double v, double fraction) {
  const double n = static_cast<double>(sorted.size());
  const double below =
      static_cast<double>(std::lower_bound(sorted.begin(), sorted.end(), v) - sorted.begin());
  const double through =
      static_cast<double>(std::upper_bound(sorted.begin(), sorted.end(), v) - sorted.begin());
  const double target = std::ceil(fraction * n);
  if (target >= below && target <= through) return 0.0;
  return std::min(std::fabs(target - below), std::fabs(target - through)) / n;
}

TEST(QuantileSketch, RankErrorWithinBoundOverStreamShapes) {
  constexpr double kFractions[] = {0.01, 0.25, 0.5, 0.75, 0.99};
  std::mt19937_64 rng(7);
  struct Shape {
    const char* name;
    size_t n;
    std::function<double(size_t)> value;
  };
  std::normal_distribution<double> normal(100.0, 15.0);
  std::uniform_real_distribution<double> uniform(-1e6, 1e6);
  const Shape shapes[] = {
      {"ascending", 300000, [](size_t i) { return static_cast<double>(i); }},
      {"descending", 300000, [](size_t i) { return -static_cast<double>(i); }},
      {"uniform", 300000, [&](size_t) { return uniform(rng); }},
      {"normal", 250000, [&](size_t) { return normal(rng); }},
      {"few values", 200000, [&](size_t) { return static_cast<double>(rng() % 7); }},
      {"zigzag", 200000, [](size_t i) { return static_cast<double>((i * 7919) % 1000); }},
      {"heavy tail", 200000, [&](size_t) { return std::exp(normal(rng) / 10.0); }},
      {"held exactly", 150, [&](size_t) { return uniform(rng); }},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    QuantileSketch sketch;
    std::vector<double> values;
    for (size_t i = 0; i < shape.n; ++i) {
      values.push_back(shape.value(i));
      ASSERT_EQ(quantile_add(&sketch, values.back()), Error::None);
    }
    EXPECT_EQ(sketch.count, shape.n);
    std::sort(values.begin(), values.end());
    double answers[5];
    ASSERT_EQ(quantile_values(sketch, kFractions, 5, answers), Error::None);
    const double bound = shape.n <= kQuantileSample ? 0.0 : kQuantileRankError;
    for (size_t q = 0; q < 5; ++q)
      EXPECT_LE(rank_error(values, answers[q], kFractions[q]), bound) << kFractions[q];
    // Bounded memory: the items held do not grow with the stream.
    EXPECT_EQ(sketch.sample.len, std::min<size_t>(shape.n, kQuantileSample));
    EXPECT_LE(sketch.sample.cap, kQuantileSample);
    EXPECT_EQ(quantile_exact(sketch), shape.n <= kQuantileSample);
    quantile_free(&sketch);
  }
}

TEST(HyperLogLog, EstimateWithinThreeStandardErrors) {
  for (uint64_t n : {1ull, 2ull, 10ull, 100ull, 1000ull, 5000ull, 20000ull, 100000ull, 1000000ull}) {
    SCOPED_TRACE(n);
    HyperLogLog h;
    ASSERT_EQ(hll_init(&h), Error::None);
    // Every value twice: repeats must not count.
    for (int round = 0; round < 2; ++round)
      for (uint64_t i = 0; i < n; ++i) {
        const std::string text = "v" + std::to_string(i * 2654435761u);
        hll_add(&h, text_hash(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
      }
    const double estimate = hll_estimate(h);
    EXPECT_LE(std::fabs(estimate - static_cast<double>(n)), std::max(3 * kHllStandardError * n, 0.5))
        << estimate;
    hll_free(&h);
  }
  HyperLogLog empty;
  ASSERT_EQ(hll_init(&empty), Error::None);
  EXPECT_EQ(hll_estimate(empty), 0.0);
  hll_free(&empty);
}

}  // namespace
}  // namespace quelta
