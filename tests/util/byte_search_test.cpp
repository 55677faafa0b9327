// Every byte-search version gives the scalar answers, at every offset and length.
#include "util/byte_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "platform/cpu.h"
#include "support/simd_levels.h"
#include "util/byte_search_neon.h"

namespace quelta {
namespace {

size_t ref_find(const uint8_t* p, size_t n, uint8_t b) {
  const void* hit = std::memchr(p, b, n);
  return hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) : n;
}

class ByteSearch : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

TEST_P(ByteSearch, MatchesReferenceOnEveryWindow) {
  std::mt19937 rng(7);
  std::vector<uint8_t> buf(300);
  for (int round = 0; round < 4; ++round) {
    // Sparse hits so that long runs without a match cross every block size.
    for (auto& b : buf) b = rng() % 16 == 0 ? static_cast<uint8_t>("\n,\"\x80\xff{}[]:;{"[rng() % 12]) : 'a';
    for (size_t start = 0; start < 70; ++start) {
      for (size_t n = 0; start + n <= buf.size(); n += 1 + n / 8) {
        const uint8_t* p = buf.data() + start;
        for (uint8_t b : {uint8_t('\n'), uint8_t(','), uint8_t(0xff)}) {
          ASSERT_EQ(find_byte(p, n, b), ref_find(p, n, b));
          size_t count = 0;
          for (size_t i = 0; i < n; ++i) count += p[i] == b;
          ASSERT_EQ(count_byte(p, n, b), count);
        }
        size_t either = std::min(ref_find(p, n, ','), ref_find(p, n, '"'));
        ASSERT_EQ(find_either(p, n, ',', '"'), either);
        size_t non_ascii = n;
        for (size_t i = 0; i < n; ++i)
          if (p[i] & 0x80) {
            non_ascii = i;
            break;
          }
        ASSERT_EQ(find_non_ascii(p, n), non_ascii);
        uint64_t mask = 0;
        for (size_t i = 0; i < n && i < 64; ++i) mask |= static_cast<uint64_t>(p[i] == ',') << i;
        ASSERT_EQ(match_mask64(p, n, ','), mask);
        const uint8_t four[4] = {'"', ',', '\n', 0xff};
        BlockMasks blocks[5];
        const size_t max = 1 + n % 5;
        const size_t got_blocks = match_blocks(p, n, four, blocks, max);
        ASSERT_EQ(got_blocks, std::min((n + 63) / 64, max)) << "n " << n << " max " << max;
        for (size_t k = 0; k < got_blocks; ++k) {
          uint64_t want[4] = {}, parity = 0;
          bool odd = false;
          for (size_t i = 0; i < 64 && 64 * k + i < n; ++i) {
            for (int j = 0; j < 4; ++j) want[j] |= static_cast<uint64_t>(p[64 * k + i] == four[j]) << i;
            odd ^= p[64 * k + i] == '"';
            parity |= static_cast<uint64_t>(odd) << i;
          }
          const BlockMasks& b = blocks[k];
          ASSERT_EQ((std::vector<uint64_t>{b.a, b.b, b.c, b.d, b.a_parity}),
                    (std::vector<uint64_t>{want[0], want[1], want[2], want[3], parity}))
              << "start " << start << " n " << n << " block " << k;
        }
        std::vector<size_t> structural;
        for (size_t i = 0; i < n; ++i)
          if (std::strchr("{}[]\":,", p[i]) && p[i] != 0) structural.push_back(i);
        for (size_t max : {size_t{0}, size_t{3}, structural.size(), n + 1}) {
          std::vector<size_t> got(n + 1);
          size_t k = find_structural(p, n, got.data(), max);
          got.resize(k);
          std::vector<size_t> want(structural.begin(), structural.begin() + std::min(max, structural.size()));
          ASSERT_EQ(got, want) << "start " << start << " n " << n << " max " << max;
        }
      }
    }
  }
}

TEST_P(ByteSearch, LevelFallsBackToWhatTheCpuHas) {
  EXPECT_TRUE(simd_level_supported(byte_search_level()));
  EXPECT_TRUE(simd_level_supported(simd_best_level()));
  EXPECT_EQ(byte_search_level(), simd_level_supported(GetParam()) ? GetParam() : simd_best_level());
}

// Levels of another architecture are never chosen; asking for one gives the best this CPU has.
TEST(ByteSearchLevels, OtherArchitecturesFallBack) {
  for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2, SimdLevel::Neon}) {
    const bool built =
        std::find(std::begin(kSimdLevels), std::end(kSimdLevels), level) != std::end(kSimdLevels);
    if (!built) {
      EXPECT_FALSE(simd_level_supported(level)) << test::SimdLevelName()({level, 0});
    }
    byte_search_use(level);
    EXPECT_EQ(byte_search_level(), simd_level_supported(level) ? level : simd_best_level());
  }
  EXPECT_TRUE(simd_level_supported(SimdLevel::Scalar));
  byte_search_use(simd_best_level());
}

#if defined(__aarch64__)
// The NEON block masks take their quote parity from a carry-less multiply
// where the CPU has one and from a shift cascade where it has not: both give
// the scalar masks, over random text dense in the four bytes.
TEST(ByteSearchNeon, ParityWithAndWithoutPmull) {
  std::mt19937 rng(11);
  std::vector<uint8_t> buf(64 * 6 + 17);
  for (auto& b : buf) b = static_cast<uint8_t>("\",\n\rab"[rng() % 6]);
  const uint8_t four[4] = {'"', ',', '\n', '\r'};
  byte_search_use(SimdLevel::Scalar);
  for (size_t n : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{200}, buf.size()}) {
    BlockMasks want[7], got[7];
    const size_t blocks = match_blocks(buf.data(), n, four, want, 7);
    for (bool pmull : {false, true}) {
      if (pmull && !platform::cpu_has_pmull()) continue;
      ASSERT_EQ(byte_search_neon_ops(pmull).match_blocks(buf.data(), n, four, got, 7), blocks);
      for (size_t k = 0; k < blocks; ++k) {
        EXPECT_EQ(got[k].a_parity, want[k].a_parity) << "pmull " << pmull << " n " << n << " block " << k;
        EXPECT_EQ(got[k].a, want[k].a);
        EXPECT_EQ(got[k].d, want[k].d);
      }
    }
  }
  byte_search_use(simd_best_level());
}
#endif

INSTANTIATE_TEST_SUITE_P(AllLevels, ByteSearch, test::all_simd_levels(), test::SimdLevelName());

}  // namespace
}  // namespace quelta
