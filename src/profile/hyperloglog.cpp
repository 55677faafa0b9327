// Ertl, "New cardinality estimation algorithms for HyperLogLog sketches" (2017):
// the improved raw estimator over the register histogram.
#include "profile/hyperloglog.h"

#include <cmath>
#include <cstring>

#include "platform/heap.h"

namespace quelta {
namespace {

constexpr int kQ = 64 - static_cast<int>(kHllPrecision);

double sigma(double x) {
  if (x == 1.0) return INFINITY;
  double y = 1.0, z = x;
  for (;;) {
    x *= x;
    double before = z;
    z += x * y;
    y += y;
    if (z == before) return z;
  }
}

double tau(double x) {
  if (x == 0.0 || x == 1.0) return 0.0;
  double y = 1.0, z = 1.0 - x;
  for (;;) {
    x = std::sqrt(x);
    double before = z;
    y *= 0.5;
    z -= (1.0 - x) * (1.0 - x) * y;
    if (z == before) return z / 3.0;
  }
}

}  // namespace

Error hll_init(HyperLogLog* h) {
  h->registers = static_cast<uint8_t*>(platform::heap_alloc(kHllRegisters));
  if (!h->registers) return Error::OutOfMemory;
  std::memset(h->registers, 0, kHllRegisters);
  return Error::None;
}

void hll_free(HyperLogLog* h) {
  platform::heap_free(h->registers);
  h->registers = nullptr;
}

double hll_estimate(const HyperLogLog& h) {
  uint64_t histogram[kQ + 2] = {};
  for (size_t i = 0; i < kHllRegisters; ++i) ++histogram[h.registers[i]];
  const double m = static_cast<double>(kHllRegisters);
  double z = m * tau(1.0 - static_cast<double>(histogram[kQ + 1]) / m);
  for (int k = kQ; k >= 1; --k) z = 0.5 * (z + static_cast<double>(histogram[k]));
  z += m * sigma(static_cast<double>(histogram[0]) / m);
  constexpr double kAlphaInfinity = 0.721347520444481703680;  // 1 / (2 ln 2)
  return kAlphaInfinity * m * m / z;
}

}  // namespace quelta
