// The field tests of the row step. They run once per rule per row, so each is
// a short pass over the bytes with no allocation.
#include "validate/row_rules.h"

#include <bit>
#include <cstring>

#include "util/utf8.h"

namespace quelta {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080;

inline uint64_t load64(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace

uint64_t text_length(FieldView f) {
  const uint8_t* p = f.ptr;
  const size_t n = f.len;
  size_t i = 0;
  while (n - i >= 8 && (load64(p + i) & kHighBits) == 0) i += 8;
  while (i < n && p[i] < 0x80) ++i;
  if (i == n) return n;
  // The ASCII prefix ends on a sequence boundary, so the rest decides.
  if (!is_valid_utf8(p + i, n - i)) return n;
  // Well-formed: every byte but a continuation byte (10xxxxxx) starts a code point.
  uint64_t continuations = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t w = load64(p + i);
    continuations += static_cast<uint64_t>(std::popcount(w & ~(w << 1) & kHighBits));
  }
  for (; i < n; ++i) continuations += (p[i] & 0xC0) == 0x80;
  return n - continuations;
}

}  // namespace quelta
