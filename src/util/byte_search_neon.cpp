// The NEON (ARM64 Advanced SIMD) byte searches: 16 bytes a compare, 64 a step
// where a whole block's mask is wanted. Every result equals the scalar one.
#include "util/byte_search_neon.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstring>

namespace quelta {
namespace {

inline uint64_t low_bits(size_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// NEON has no byte mask move: narrowing each 16-bit lane by four keeps four
// bits per compared byte, so byte i of the vector owns bits 4i..4i+3.
inline uint64_t nibble_mask(uint8x16_t eq) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(eq), 4)), 0);
}

// One bit per byte for four compared vectors (bytes 0..63): each byte keeps
// its bit of a byte-sized place value, and three pairwise adds fold them.
inline uint64_t bit_mask64(uint8x16_t e0, uint8x16_t e1, uint8x16_t e2, uint8x16_t e3) {
  static const uint8_t kPlace[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t place = vld1q_u8(kPlace);
  const uint8x16_t s0 = vpaddq_u8(vandq_u8(e0, place), vandq_u8(e1, place));
  const uint8x16_t s1 = vpaddq_u8(vandq_u8(e2, place), vandq_u8(e3, place));
  const uint8x16_t s2 = vpaddq_u8(s0, s1);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(s2, s2)), 0);
}

// Short tails are copied into a zeroed block so loads stay inside the
// caller's bytes; callers clear what the padding matched.
inline const uint8_t* padded(const uint8_t* p, size_t n, uint8_t* block, size_t size) {
  std::memset(block, 0, size);
  std::memcpy(block, p, n);
  return block;
}

inline size_t first_nibble(uint64_t m) { return static_cast<size_t>(__builtin_ctzll(m)) / 4; }

// Offset of the first byte whose compare (hit) is set, over p[0..n): sixteen
// bytes a step, then the tail in a padded block.
template <typename Hit>
inline size_t find_first(const uint8_t* p, size_t n, Hit hit) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16)
    if (uint64_t m = nibble_mask(hit(vld1q_u8(p + i)))) return i + first_nibble(m);
  if (i == n) return n;
  uint8_t block[16];
  const size_t rest = n - i;
  const uint64_t m = nibble_mask(hit(vld1q_u8(padded(p + i, rest, block, 16)))) & low_bits(4 * rest);
  return m ? i + first_nibble(m) : n;
}

size_t find_byte_neon(const uint8_t* p, size_t n, uint8_t b) {
  const uint8x16_t nb = vdupq_n_u8(b);
  return find_first(p, n, [nb](uint8x16_t v) { return vceqq_u8(v, nb); });
}

size_t find_either_neon(const uint8_t* p, size_t n, uint8_t a, uint8_t b) {
  const uint8x16_t na = vdupq_n_u8(a), nb = vdupq_n_u8(b);
  return find_first(p, n, [na, nb](uint8x16_t v) { return vorrq_u8(vceqq_u8(v, na), vceqq_u8(v, nb)); });
}

size_t find_non_ascii_neon(const uint8_t* p, size_t n) {
  const uint8x16_t top = vdupq_n_u8(0x80);
  return find_first(p, n, [top](uint8x16_t v) { return vtstq_u8(v, top); });
}

size_t count_byte_neon(const uint8_t* p, size_t n, uint8_t b) {
  const uint8x16_t nb = vdupq_n_u8(b);
  size_t c = 0, i = 0;
  // A matching byte compares to 0xFF, so subtracting counts it; byte lanes
  // are widened before they can wrap.
  while (i + 16 <= n) {
    const size_t steps = (n - i) / 16 < 255 ? (n - i) / 16 : 255;
    uint8x16_t acc = vdupq_n_u8(0);
    for (size_t s = 0; s < steps; ++s, i += 16) acc = vsubq_u8(acc, vceqq_u8(vld1q_u8(p + i), nb));
    c += vaddlvq_u8(acc);
  }
  for (; i < n; ++i) c += p[i] == b;
  return c;
}

// Appends the set bits of mask as offsets base + bit; false once max is reached.
inline bool emit_bits(uint64_t mask, size_t base, size_t* out, size_t* k, size_t max) {
  while (mask) {
    if (*k == max) return false;
    out[(*k)++] = base + static_cast<size_t>(__builtin_ctzll(mask));
    mask &= mask - 1;
  }
  return true;
}

// Setting bit 0x20 folds '[' onto '{' and ']' onto '}', so five compares find all seven bytes.
inline uint8x16_t structural(uint8x16_t v) {
  const uint8x16_t f = vorrq_u8(v, vdupq_n_u8(0x20));
  return vorrq_u8(vorrq_u8(vceqq_u8(f, vdupq_n_u8('{')), vceqq_u8(f, vdupq_n_u8('}'))),
                  vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')),
                           vorrq_u8(vceqq_u8(v, vdupq_n_u8(':')), vceqq_u8(v, vdupq_n_u8(',')))));
}

inline uint64_t structural64(const uint8_t* q) {
  return bit_mask64(structural(vld1q_u8(q)), structural(vld1q_u8(q + 16)), structural(vld1q_u8(q + 32)),
                    structural(vld1q_u8(q + 48)));
}

size_t find_structural_neon(const uint8_t* p, size_t n, size_t* out, size_t max) {
  size_t k = 0, i = 0;
  for (; i + 64 <= n; i += 64)
    if (!emit_bits(structural64(p + i), i, out, &k, max)) return k;
  if (i < n) {
    uint8_t block[64];
    emit_bits(structural64(padded(p + i, n - i, block, 64)) & low_bits(n - i), i, out, &k, max);
  }
  return k;
}

inline uint64_t match64(const uint8_t* q, uint8x16_t b) {
  return bit_mask64(vceqq_u8(vld1q_u8(q), b), vceqq_u8(vld1q_u8(q + 16), b), vceqq_u8(vld1q_u8(q + 32), b),
                    vceqq_u8(vld1q_u8(q + 48), b));
}

uint64_t match_mask64_neon(const uint8_t* p, size_t n, uint8_t b) {
  uint8_t block[64];
  const uint8_t* q = n >= 64 ? p : padded(p, n, block, 64);
  return match64(q, vdupq_n_u8(b)) & low_bits(n);
}

// Bit i set when an odd number of bits 0..i of m are set: a shift-xor cascade.
inline uint64_t prefix_xor_cascade(uint64_t m) {
  m ^= m << 1;
  m ^= m << 2;
  m ^= m << 4;
  m ^= m << 8;
  m ^= m << 16;
  m ^= m << 32;
  return m;
}

#if defined(__clang__)
#define QUELTA_PMULL __attribute__((target("aes")))
#else
#define QUELTA_PMULL __attribute__((target("+crypto")))
#endif

// The running parity as one carry-less multiply by all ones.
QUELTA_PMULL inline uint64_t prefix_xor_pmull(uint64_t m) {
  return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(m, ~uint64_t{0})), 0);
}

template <bool kPmull>
__attribute__((always_inline)) inline BlockMasks match_block(const uint8_t* q, const uint8x16_t* bytes) {
  const uint8x16_t v0 = vld1q_u8(q), v1 = vld1q_u8(q + 16), v2 = vld1q_u8(q + 32), v3 = vld1q_u8(q + 48);
  uint64_t m[4];
  for (int j = 0; j < 4; ++j)
    m[j] = bit_mask64(vceqq_u8(v0, bytes[j]), vceqq_u8(v1, bytes[j]), vceqq_u8(v2, bytes[j]),
                      vceqq_u8(v3, bytes[j]));
  BlockMasks b{m[0], m[1], m[2], m[3], 0};
  if constexpr (kPmull)
    b.a_parity = prefix_xor_pmull(b.a);
  else
    b.a_parity = prefix_xor_cascade(b.a);
  return b;
}

template <bool kPmull>
__attribute__((always_inline)) inline size_t match_blocks(const uint8_t* p, size_t n, const uint8_t* bytes,
                                                          BlockMasks* out, size_t max) {
  const uint8x16_t wanted[4] = {vdupq_n_u8(bytes[0]), vdupq_n_u8(bytes[1]), vdupq_n_u8(bytes[2]),
                                vdupq_n_u8(bytes[3])};
  const size_t full = n / 64 < max ? n / 64 : max;
  for (size_t k = 0; k < full; ++k) out[k] = match_block<kPmull>(p + 64 * k, wanted);
  if (full == max || full * 64 == n) return full;
  uint8_t block[64];
  const size_t w = n - full * 64;
  BlockMasks m = match_block<kPmull>(padded(p + full * 64, w, block, 64), wanted);
  const uint64_t valid = low_bits(w);
  m.a &= valid, m.b &= valid, m.c &= valid, m.d &= valid, m.a_parity &= valid;
  out[full] = m;
  return full + 1;
}

QUELTA_PMULL size_t match_blocks_pmull(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out,
                                       size_t max) {
  return match_blocks<true>(p, n, bytes, out, max);
}

size_t match_blocks_cascade(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out, size_t max) {
  return match_blocks<false>(p, n, bytes, out, max);
}

// The classes of 16 bytes; setting bit 0x20 folds '[' onto '{' and ']' onto '}'.
struct JsonClasses16 {
  uint8x16_t quote, backslash, structural, blank;
};

inline JsonClasses16 json_classes16(uint8x16_t v) {
  const uint8x16_t f = vorrq_u8(v, vdupq_n_u8(0x20));
  JsonClasses16 c;
  c.quote = vceqq_u8(v, vdupq_n_u8('"'));
  c.backslash = vceqq_u8(v, vdupq_n_u8('\\'));
  c.structural =
      vorrq_u8(vorrq_u8(vceqq_u8(f, vdupq_n_u8('{')), vceqq_u8(f, vdupq_n_u8('}'))),
               vorrq_u8(c.quote, vorrq_u8(vceqq_u8(v, vdupq_n_u8(':')), vceqq_u8(v, vdupq_n_u8(',')))));
  c.blank = vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(' ')), vceqq_u8(v, vdupq_n_u8('\t'))),
                     vorrq_u8(vceqq_u8(v, vdupq_n_u8('\n')), vceqq_u8(v, vdupq_n_u8('\r'))));
  return c;
}

inline JsonBlockMasks json_block(const uint8_t* q) {
  const JsonClasses16 c0 = json_classes16(vld1q_u8(q)), c1 = json_classes16(vld1q_u8(q + 16)),
                      c2 = json_classes16(vld1q_u8(q + 32)), c3 = json_classes16(vld1q_u8(q + 48));
  return JsonBlockMasks{bit_mask64(c0.quote, c1.quote, c2.quote, c3.quote),
                        bit_mask64(c0.backslash, c1.backslash, c2.backslash, c3.backslash),
                        bit_mask64(c0.structural, c1.structural, c2.structural, c3.structural),
                        bit_mask64(c0.blank, c1.blank, c2.blank, c3.blank)};
}

size_t json_blocks_neon(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max) {
  const size_t full = n / 64 < max ? n / 64 : max;
  for (size_t k = 0; k < full; ++k) out[k] = json_block(p + 64 * k);
  if (full == max || full * 64 == n) return full;
  uint8_t block[64];
  const size_t w = n - full * 64;
  JsonBlockMasks m = json_block(padded(p + full * 64, w, block, 64));
  const uint64_t valid = low_bits(w);
  m.quote &= valid, m.backslash &= valid, m.structural &= valid, m.blank &= valid;
  out[full] = m;
  return full + 1;
}

}  // namespace

ByteSearchOps byte_search_neon_ops(bool with_pmull) {
  return ByteSearchOps{find_byte_neon,
                       count_byte_neon,
                       find_either_neon,
                       find_non_ascii_neon,
                       find_structural_neon,
                       match_mask64_neon,
                       with_pmull ? match_blocks_pmull : match_blocks_cascade,
                       json_blocks_neon};
}

}  // namespace quelta

#endif
