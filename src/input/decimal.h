// The decimal conversion: a field's text to the nearest IEEE double. Every numeric
// test, comparison, aggregate and sort key in the library goes through it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace quelta {

// Converts the whole of p[0..n) to the nearest double, ties to even. Accepts an
// optional sign, then inf / infinity / nan in any case, a hexadecimal float
// (0x1.8p3), or a decimal number (1_000.5e-3), with single underscores between
// digits. Out-of-range values give a signed infinity or zero, not an error. Reads
// no byte outside the text and allocates nothing. Returns Error::None and stores
// *out, or Error::InvalidCharacter and leaves *out untouched.
Error decimal_to_double(const uint8_t* p, size_t n, double* out);

// True, with the value in *out, when the text converts and the value is finite:
// what "numeric" means for every caller.
inline bool parse_finite(const uint8_t* p, size_t n, double* out) {
  double v;
  if (decimal_to_double(p, n, &v) != Error::None || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

}  // namespace quelta
