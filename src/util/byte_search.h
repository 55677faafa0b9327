// Byte searches over memory: find a byte, count a byte, find the first of two
// bytes, the first non-ASCII byte, the JSON structural bytes, per-block masks
// of four bytes for the CSV structural index and the per-block classes of the
// JSON row index. AVX2 (32-byte) and SSE2
// (16-byte) versions on x86-64, a NEON (16-byte) version on ARM64 and the
// scalar reference give identical results; the best one the CPU supports is
// chosen once at load time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelta {

enum class SimdLevel : uint8_t { Scalar, Sse2, Avx2, Neon };

// The levels built for this architecture, scalar first (the others compile
// only where their instructions exist).
#if defined(__x86_64__)
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2};
#elif defined(__aarch64__)
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::Scalar, SimdLevel::Neon};
#else
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::Scalar};
#endif

// Where four bytes occur in one 64-byte block (bit i for byte i), and the
// running parity of the first mask, which tracks the inside of quotes.
struct BlockMasks {
  uint64_t a, b, c, d;
  uint64_t a_parity;  // bit i set when an odd number of bits 0..i of a are set
};

// The bytes of one 64-byte block that JSON rows are cut at (bit i for byte i):
// the quote, the backslash, the structural bytes { } [ ] " : , (the quote
// among them) and the blanks space, tab, line feed and carriage return.
struct JsonBlockMasks {
  uint64_t quote, backslash, structural, blank;
};

struct ByteSearchOps {
  // Offset of the first b in p[0..n), or n.
  size_t (*find_byte)(const uint8_t* p, size_t n, uint8_t b);
  // Number of bytes equal to b in p[0..n).
  size_t (*count_byte)(const uint8_t* p, size_t n, uint8_t b);
  // Offset of the first byte equal to a or b in p[0..n), or n.
  size_t (*find_either)(const uint8_t* p, size_t n, uint8_t a, uint8_t b);
  // Offset of the first byte with its top bit set in p[0..n), or n.
  size_t (*find_non_ascii)(const uint8_t* p, size_t n);
  // Writes the offsets of the JSON structural bytes { } [ ] " : , in p[0..n)
  // to out, in order, stopping after max of them; returns how many.
  size_t (*find_structural)(const uint8_t* p, size_t n, size_t* out, size_t max);
  // Bit i set when p[i] == b, for i below min(n, 64); reads no byte past p[n).
  uint64_t (*match_mask64)(const uint8_t* p, size_t n, uint8_t b);
  // Fills out[k] for the 64-byte blocks k of p[0..n), at most max of them, for
  // the bytes[0..4); a last partial block has no bits past n. Returns the count.
  size_t (*match_blocks)(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out, size_t max);
  // Fills out[k] for the 64-byte blocks k of p[0..n), at most max of them; a
  // last partial block has no bits past n and reads no byte past p[n). Returns the count.
  size_t (*json_blocks)(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max);
};

extern ByteSearchOps g_byte_search;

// The best level this CPU supports.
SimdLevel simd_best_level();
// Whether this build and CPU run the level.
bool simd_level_supported(SimdLevel level);
// Switches every byte search to one level (tests use it to run each version).
// A level the CPU lacks falls back to the best one it has.
void byte_search_use(SimdLevel level);
SimdLevel byte_search_level();

inline size_t find_byte(const uint8_t* p, size_t n, uint8_t b) { return g_byte_search.find_byte(p, n, b); }
inline size_t count_byte(const uint8_t* p, size_t n, uint8_t b) { return g_byte_search.count_byte(p, n, b); }
inline size_t find_either(const uint8_t* p, size_t n, uint8_t a, uint8_t b) {
  return g_byte_search.find_either(p, n, a, b);
}
inline size_t find_non_ascii(const uint8_t* p, size_t n) { return g_byte_search.find_non_ascii(p, n); }
inline uint64_t match_mask64(const uint8_t* p, size_t n, uint8_t b) {
  return g_byte_search.match_mask64(p, n, b);
}
inline size_t match_blocks(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out, size_t max) {
  return g_byte_search.match_blocks(p, n, bytes, out, max);
}
inline size_t json_blocks(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max) {
  return g_byte_search.json_blocks(p, n, out, max);
}
inline size_t find_structural(const uint8_t* p, size_t n, size_t* out, size_t max) {
  return g_byte_search.find_structural(p, n, out, max);
}

}  // namespace quelta
