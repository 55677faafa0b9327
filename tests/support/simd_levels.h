// Runs a parameterised test once per byte-search level, named scalar, sse2 and avx2.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "util/byte_search.h"

namespace quelta::test {

inline auto all_simd_levels() {
  return ::testing::Values(SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2);
}

struct SimdLevelName {
  std::string operator()(const ::testing::TestParamInfo<SimdLevel>& info) const {
    switch (info.param) {
      case SimdLevel::Scalar:
        return "scalar";
      case SimdLevel::Sse2:
        return "sse2";
      case SimdLevel::Avx2:
        return "avx2";
    }
    return "unknown";
  }
};

}  // namespace quelta::test

namespace quelta {

// Test names and failure messages show the level, not its byte value.
inline void PrintTo(SimdLevel level, std::ostream* os) { *os << test::SimdLevelName()({level, 0}); }

}  // namespace quelta
