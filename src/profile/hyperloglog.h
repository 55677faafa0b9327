// HyperLogLog estimate of the number of distinct texts: 2^14 one-byte registers
// fed with 64-bit hashes, read with Ertl's improved estimator (no bias tables,
// accurate from a handful of values up), whose relative standard error is
// 1.04 / sqrt(2^14), about 0.81 %.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace quelta {

constexpr unsigned kHllPrecision = 14;
constexpr size_t kHllRegisters = size_t{1} << kHllPrecision;
constexpr double kHllStandardError = 1.04 / 128.0;  // 1.04 / sqrt(kHllRegisters)

struct HyperLogLog {
  uint8_t* registers = nullptr;  // kHllRegisters, heap
};

Error hll_init(HyperLogLog* h);
void hll_free(HyperLogLog* h);

inline void hll_add(HyperLogLog* h, uint64_t hash) {
  const size_t index = hash >> (64 - kHllPrecision);
  // The guard bit caps the rank at 64 - p + 1 when the remaining bits are all zero.
  const uint64_t rest = (hash << kHllPrecision) | (uint64_t{1} << (kHllPrecision - 1));
  const uint8_t rank = static_cast<uint8_t>(std::countl_zero(rest) + 1);
  if (rank > h->registers[index]) h->registers[index] = rank;
}

// Starts loading the register hash goes to.
inline void hll_prefetch(const HyperLogLog& h, uint64_t hash) {
  __builtin_prefetch(h.registers + (hash >> (64 - kHllPrecision)), 1);
}

double hll_estimate(const HyperLogLog& h);

}  // namespace quelta
