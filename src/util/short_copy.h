// Copies of short byte runs without a call: most fields are a few bytes long,
// and a library copy call costs more than the bytes it moves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelta {

// Copies n <= 32 bytes with overlapping fixed-size moves. Reads and writes
// only p[0..n) and out[0..n).
inline void copy_short(uint8_t* out, const uint8_t* p, size_t n) {
  if (n >= 16) {
    std::memcpy(out, p, 16);
    std::memcpy(out + n - 16, p + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(out, p, 8);
    std::memcpy(out + n - 8, p + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(out, p, 4);
    std::memcpy(out + n - 4, p + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = p[i];
  }
}

// Copies any n bytes: short runs inline, longer ones through memcpy.
inline void copy_bytes(uint8_t* out, const uint8_t* p, size_t n) {
  if (n <= 32)
    copy_short(out, p, n);
  else
    std::memcpy(out, p, n);
}

}  // namespace quelta
