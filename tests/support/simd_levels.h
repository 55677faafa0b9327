// Runs a parameterised test once per byte-search level built for this
// architecture: scalar, sse2 and avx2 on x86-64, scalar and neon on ARM64.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "util/byte_search.h"

namespace quelta::test {

inline auto all_simd_levels() { return ::testing::ValuesIn(kSimdLevels); }

struct SimdLevelName {
  std::string operator()(const ::testing::TestParamInfo<SimdLevel>& info) const {
    switch (info.param) {
      case SimdLevel::Scalar:
        return "scalar";
      case SimdLevel::Sse2:
        return "sse2";
      case SimdLevel::Avx2:
        return "avx2";
      case SimdLevel::Neon:
        return "neon";
    }
    return "unknown";
  }
};

}  // namespace quelta::test

namespace quelta {

// Test names and failure messages show the level, not its byte value.
inline void PrintTo(SimdLevel level, std::ostream* os) { *os << test::SimdLevelName()({level, 0}); }

}  // namespace quelta
