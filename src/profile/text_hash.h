// A fast 64-bit hash of a byte text, good enough in its low and high bits for
// both a hash table and HyperLogLog (every input bit reaches every output bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelta {

namespace text_hash_detail {

// The high and low halves of the 128-bit product, folded.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

constexpr uint64_t kK0 = 0xa0761d6478bd642full;
constexpr uint64_t kK1 = 0xe7037ed1a0b428dbull;
constexpr uint64_t kK2 = 0x8ebc6af09c88c6e3ull;

}  // namespace text_hash_detail

// The hash, and in *high the OR of every byte (its top bit is set when some byte is not ASCII).
inline uint64_t text_hash_noting_high(const uint8_t* p, size_t n, uint64_t* high) {
  using namespace text_hash_detail;
  uint64_t h = kK0 ^ (n * kK1);
  uint64_t seen = 0;
  size_t i = 0;
  for (; n - i > 8; i += 8) {
    const uint64_t w = load64(p + i);
    seen |= w;
    h = fold_multiply(h ^ w, kK1);
  }
  // The last one to eight bytes, read without passing the end.
  uint64_t tail = 0;
  size_t rest = n - i;
  if (rest >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p + i, 4);
    std::memcpy(&b, p + i + rest - 4, 4);
    tail = uint64_t{a} << 32 | b;
    seen |= tail;
  } else if (rest > 0) {
    tail = uint64_t{p[i]} << 16 | uint64_t{p[i + rest / 2]} << 8 | p[i + rest - 1];
    seen |= tail;
  }
  *high = seen;
  h = fold_multiply(h ^ tail, kK2);
  return fold_multiply(h ^ (h >> 29), kK1);
}

inline uint64_t text_hash(const uint8_t* p, size_t n) {
  uint64_t high;
  return text_hash_noting_high(p, n, &high);
}

}  // namespace quelta
