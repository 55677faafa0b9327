// The scalar and x86 versions of the byte searches and the load-time choice
// among the levels (the NEON versions are in byte_search_neon.cpp).
#include "util/byte_search.h"

#include <cstring>
#include <initializer_list>

#include "platform/cpu.h"
#include "util/byte_search_neon.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define QUELTA_X86 1
#else
#define QUELTA_X86 0
#endif

namespace quelta {
namespace {

// ---- scalar ----

size_t find_byte_scalar(const uint8_t* p, size_t n, uint8_t b) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] == b) return i;
  return n;
}

size_t count_byte_scalar(const uint8_t* p, size_t n, uint8_t b) {
  size_t c = 0;
  for (size_t i = 0; i < n; ++i) c += p[i] == b;
  return c;
}

size_t find_either_scalar(const uint8_t* p, size_t n, uint8_t a, uint8_t b) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] == a || p[i] == b) return i;
  return n;
}

size_t find_non_ascii_scalar(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] & 0x80) return i;
  return n;
}

inline bool is_structural(uint8_t c) {
  return c == '{' || c == '}' || c == '[' || c == ']' || c == '"' || c == ':' || c == ',';
}

size_t find_structural_scalar(const uint8_t* p, size_t n, size_t* out, size_t max) {
  size_t k = 0;
  for (size_t i = 0; i < n && k < max; ++i)
    if (is_structural(p[i])) out[k++] = i;
  return k;
}

#if QUELTA_X86
// Appends the set bits of mask as offsets base + bit; false once max is reached.
inline bool emit_bits(uint64_t mask, size_t base, size_t* out, size_t* k, size_t max) {
  while (mask) {
    if (*k == max) return false;
    out[(*k)++] = base + static_cast<size_t>(__builtin_ctzll(mask));
    mask &= mask - 1;
  }
  return true;
}
#endif

uint64_t match_mask64_scalar(const uint8_t* p, size_t n, uint8_t b) {
  if (n > 64) n = 64;
  uint64_t m = 0;
  for (size_t i = 0; i < n; ++i) m |= static_cast<uint64_t>(p[i] == b) << i;
  return m;
}

inline uint64_t low_bits(size_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// Bit i set when an odd number of bits 0..i of m are set: a shift-xor cascade.
inline uint64_t prefix_xor_portable(uint64_t m) {
  m ^= m << 1;
  m ^= m << 2;
  m ^= m << 4;
  m ^= m << 8;
  m ^= m << 16;
  m ^= m << 32;
  return m;
}

// Short tails are copied into a zeroed block so the vector loads stay inside
// the caller's bytes; bits past n are cleared afterwards.
inline const uint8_t* padded64(const uint8_t* p, size_t n, uint8_t* block) {
  std::memset(block, 0, 64);
  std::memcpy(block, p, n);
  return block;
}

// Bit 7 of each byte of x set where that byte equals the byte of pattern
// (which holds one byte value eight times), all other bits clear; exact, as
// no carry crosses a byte.
inline uint64_t equal_bytes(uint64_t x, uint64_t pattern) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t y = x ^ pattern;
  return ~(((y & kLow7) + kLow7) | y | kLow7);
}

// The eight top bits of the bytes of m (the rest clear) as one byte, byte 0 in bit 0.
inline uint64_t gather_top_bits(uint64_t m) { return (m * 0x0002040810204081ULL) >> 56; }

// Eight bytes at a time within a 64-bit word, so that even the scalar index
// costs about as much as the tokenizer it replaces.
size_t match_blocks_scalar(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out, size_t max) {
  uint64_t pattern[4];
  for (int j = 0; j < 4; ++j) pattern[j] = 0x0101010101010101ULL * bytes[j];
  uint8_t block[64];
  size_t k = 0;
  for (size_t at = 0; at < n && k < max; at += 64, ++k) {
    const size_t w = n - at < 64 ? n - at : 64;
    const uint8_t* q = w == 64 ? p + at : padded64(p + at, w, block);
    uint64_t m[4] = {0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) {
      uint64_t x;
      std::memcpy(&x, q + 8 * i, 8);
      for (int j = 0; j < 4; ++j) m[j] |= gather_top_bits(equal_bytes(x, pattern[j])) << (8 * i);
    }
    const uint64_t valid = low_bits(w);
    BlockMasks b{m[0] & valid, m[1] & valid, m[2] & valid, m[3] & valid, 0};
    b.a_parity = prefix_xor_portable(b.a) & valid;
    out[k] = b;
  }
  return k;
}

// Byte classes of the JSON blocks: bit 0 quote, 1 backslash, 2 structural, 3 blank.
constexpr struct JsonClasses {
  uint8_t c[256] = {};
  constexpr JsonClasses() {
    c[uint8_t{'"'}] = 1 | 4;
    c[uint8_t{'\\'}] = 2;
    for (uint8_t b : {'{', '}', '[', ']', ':', ','}) c[b] = 4;
    for (uint8_t b : {' ', '\t', '\n', '\r'}) c[b] = 8;
  }
} kJsonClasses;

size_t json_blocks_scalar(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max) {
  size_t k = 0;
  for (size_t at = 0; at < n && k < max; at += 64, ++k) {
    const size_t w = n - at < 64 ? n - at : 64;
    JsonBlockMasks m{0, 0, 0, 0};
    for (size_t i = 0; i < w; ++i) {
      const uint64_t c = kJsonClasses.c[p[at + i]];
      m.quote |= (c & 1) << i;
      m.backslash |= (c >> 1 & 1) << i;
      m.structural |= (c >> 2 & 1) << i;
      m.blank |= (c >> 3 & 1) << i;
    }
    out[k] = m;
  }
  return k;
}

#if QUELTA_X86

// ---- SSE2: 16 bytes a step ----

inline unsigned mask16(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

size_t find_byte_sse2(const uint8_t* p, size_t n, uint8_t b) {
  const __m128i nb = _mm_set1_epi8(static_cast<char>(b));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    unsigned m = mask16(_mm_cmpeq_epi8(load16(p + i), nb));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + find_byte_scalar(p + i, n - i, b);
}

size_t count_byte_sse2(const uint8_t* p, size_t n, uint8_t b) {
  const __m128i nb = _mm_set1_epi8(static_cast<char>(b));
  size_t c = 0, i = 0;
  for (; i + 16 <= n; i += 16)
    c += static_cast<size_t>(__builtin_popcount(mask16(_mm_cmpeq_epi8(load16(p + i), nb))));
  return c + count_byte_scalar(p + i, n - i, b);
}

size_t find_either_sse2(const uint8_t* p, size_t n, uint8_t a, uint8_t b) {
  const __m128i na = _mm_set1_epi8(static_cast<char>(a));
  const __m128i nb = _mm_set1_epi8(static_cast<char>(b));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = load16(p + i);
    unsigned m = mask16(_mm_or_si128(_mm_cmpeq_epi8(v, na), _mm_cmpeq_epi8(v, nb)));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + find_either_scalar(p + i, n - i, a, b);
}

size_t find_non_ascii_sse2(const uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    unsigned m = mask16(load16(p + i));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return i + find_non_ascii_scalar(p + i, n - i);
}

uint64_t match_mask64_sse2(const uint8_t* p, size_t n, uint8_t b) {
  alignas(16) uint8_t block[64];
  const uint8_t* q = n >= 64 ? p : padded64(p, n, block);
  const __m128i nb = _mm_set1_epi8(static_cast<char>(b));
  uint64_t m = 0;
  for (int i = 0; i < 4; ++i)
    m |= static_cast<uint64_t>(mask16(_mm_cmpeq_epi8(load16(q + 16 * i), nb))) << (16 * i);
  return m & low_bits(n);
}

inline BlockMasks match_block_sse2(const uint8_t* q, __m128i na, __m128i nb, __m128i nc, __m128i nd) {
  BlockMasks m{};
  for (int i = 0; i < 4; ++i) {
    const __m128i v = load16(q + 16 * i);
    m.a |= static_cast<uint64_t>(mask16(_mm_cmpeq_epi8(v, na))) << (16 * i);
    m.b |= static_cast<uint64_t>(mask16(_mm_cmpeq_epi8(v, nb))) << (16 * i);
    m.c |= static_cast<uint64_t>(mask16(_mm_cmpeq_epi8(v, nc))) << (16 * i);
    m.d |= static_cast<uint64_t>(mask16(_mm_cmpeq_epi8(v, nd))) << (16 * i);
  }
  m.a_parity = prefix_xor_portable(m.a);
  return m;
}

size_t match_blocks_sse2(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out, size_t max) {
  const __m128i na = _mm_set1_epi8(static_cast<char>(bytes[0]));
  const __m128i nb = _mm_set1_epi8(static_cast<char>(bytes[1]));
  const __m128i nc = _mm_set1_epi8(static_cast<char>(bytes[2]));
  const __m128i nd = _mm_set1_epi8(static_cast<char>(bytes[3]));
  const size_t full = n / 64 < max ? n / 64 : max;
  for (size_t k = 0; k < full; ++k) out[k] = match_block_sse2(p + 64 * k, na, nb, nc, nd);
  if (full == max || full * 64 == n) return full;
  alignas(16) uint8_t block[64];
  const size_t w = n - full * 64;
  BlockMasks m = match_block_sse2(padded64(p + full * 64, w, block), na, nb, nc, nd);
  const uint64_t valid = low_bits(w);
  m.a &= valid, m.b &= valid, m.c &= valid, m.d &= valid, m.a_parity &= valid;
  out[full] = m;
  return full + 1;
}

// Setting bit 0x20 folds '[' onto '{' and ']' onto '}', so five compares find all seven bytes.
size_t find_structural_sse2(const uint8_t* p, size_t n, size_t* out, size_t max) {
  const __m128i lower = _mm_set1_epi8(0x20);
  const __m128i open = _mm_set1_epi8('{'), close = _mm_set1_epi8('}');
  const __m128i quote = _mm_set1_epi8('"'), colon = _mm_set1_epi8(':'), comma = _mm_set1_epi8(',');
  size_t k = 0, i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v = load16(p + i);
    __m128i f = _mm_or_si128(v, lower);
    __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(f, open), _mm_cmpeq_epi8(f, close)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, quote),
                                  _mm_or_si128(_mm_cmpeq_epi8(v, colon), _mm_cmpeq_epi8(v, comma))));
    if (!emit_bits(mask16(hit), i, out, &k, max)) return k;
  }
  size_t rest = find_structural_scalar(p + i, n - i, out + k, max - k);
  for (size_t j = k; j < k + rest; ++j) out[j] += i;
  return k + rest;
}

// The JSON classes by table: a byte belongs to a set when the table entry at
// its low four bits is the byte itself (a byte of 0x80 or above looks up 0 and
// never matches). The structural bytes need two tables, as '[' and '{' (and
// ']' and '}') share their low bits; entries of 0xFF match nothing.
alignas(16) constexpr uint8_t kStructuralA[16] = {0xFF, 0xFF, '"', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, ':', '[',  ',',  ']',  0xFF, 0xFF};
alignas(16) constexpr uint8_t kStructuralB[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, '{',  0xFF, '}',  0xFF, 0xFF};
alignas(16) constexpr uint8_t kBlanks[16] = {' ',  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, '\t', '\n', 0xFF, 0xFF, '\r', 0xFF, 0xFF};

// SSE2 has no byte shuffle (the tables above need SSSE3): one compare per
// byte value, with bit 0x20 folding '[' onto '{' and ']' onto '}'.
inline JsonBlockMasks json_block_sse2(const uint8_t* q) {
  const __m128i lower = _mm_set1_epi8(0x20);
  JsonBlockMasks m{0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    const __m128i v = load16(q + 16 * i);
    const __m128i f = _mm_or_si128(v, lower);
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i structural = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(f, _mm_set1_epi8('{')), _mm_cmpeq_epi8(f, _mm_set1_epi8('}'))),
        _mm_or_si128(quote, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')),
                                         _mm_cmpeq_epi8(v, _mm_set1_epi8(',')))));
    const __m128i blank = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
    m.quote |= static_cast<uint64_t>(mask16(quote)) << (16 * i);
    m.backslash |= static_cast<uint64_t>(mask16(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')))) << (16 * i);
    m.structural |= static_cast<uint64_t>(mask16(structural)) << (16 * i);
    m.blank |= static_cast<uint64_t>(mask16(blank)) << (16 * i);
  }
  return m;
}

// Whole blocks in place; a last partial block from a zeroed copy, its bits past n cleared.
template <typename Block>
inline size_t json_blocks_with(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max, Block block) {
  const size_t full = n / 64 < max ? n / 64 : max;
  for (size_t k = 0; k < full; ++k) out[k] = block(p + 64 * k);
  if (full == max || full * 64 == n) return full;
  alignas(32) uint8_t tail[64];
  const size_t w = n - full * 64;
  JsonBlockMasks m = block(padded64(p + full * 64, w, tail));
  const uint64_t valid = low_bits(w);
  m.quote &= valid, m.backslash &= valid, m.structural &= valid, m.blank &= valid;
  out[full] = m;
  return full + 1;
}

size_t json_blocks_sse2(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max) {
  return json_blocks_with(p, n, out, max, json_block_sse2);
}

// ---- AVX2: 64 bytes a step, then 32, then the SSE2 tail ----

#define QUELTA_AVX2 __attribute__((target("avx2,popcnt,bmi,pclmul")))

QUELTA_AVX2 inline uint32_t mask32(__m256i v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }
QUELTA_AVX2 inline __m256i load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

QUELTA_AVX2 size_t find_byte_avx2(const uint8_t* p, size_t n, uint8_t b) {
  const __m256i nb = _mm256_set1_epi8(static_cast<char>(b));
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    __m256i e0 = _mm256_cmpeq_epi8(load32(p + i), nb);
    __m256i e1 = _mm256_cmpeq_epi8(load32(p + i + 32), nb);
    if (!_mm256_testz_si256(_mm256_or_si256(e0, e1), _mm256_or_si256(e0, e1))) {
      uint64_t m = mask32(e0) | (static_cast<uint64_t>(mask32(e1)) << 32);
      return i + static_cast<size_t>(__builtin_ctzll(m));
    }
  }
  if (i + 32 <= n) {
    uint32_t m = mask32(_mm256_cmpeq_epi8(load32(p + i), nb));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
    i += 32;
  }
  return i + find_byte_sse2(p + i, n - i, b);
}

QUELTA_AVX2 size_t count_byte_avx2(const uint8_t* p, size_t n, uint8_t b) {
  const __m256i nb = _mm256_set1_epi8(static_cast<char>(b));
  size_t c = 0, i = 0;
  for (; i + 64 <= n; i += 64) {
    uint64_t m = mask32(_mm256_cmpeq_epi8(load32(p + i), nb)) |
                 (static_cast<uint64_t>(mask32(_mm256_cmpeq_epi8(load32(p + i + 32), nb))) << 32);
    c += static_cast<size_t>(_mm_popcnt_u64(m));
  }
  if (i + 32 <= n) {
    c += static_cast<size_t>(_mm_popcnt_u32(mask32(_mm256_cmpeq_epi8(load32(p + i), nb))));
    i += 32;
  }
  return c + count_byte_sse2(p + i, n - i, b);
}

QUELTA_AVX2 size_t find_either_avx2(const uint8_t* p, size_t n, uint8_t a, uint8_t b) {
  const __m256i na = _mm256_set1_epi8(static_cast<char>(a));
  const __m256i nb = _mm256_set1_epi8(static_cast<char>(b));
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    __m256i v0 = load32(p + i), v1 = load32(p + i + 32);
    __m256i e0 = _mm256_or_si256(_mm256_cmpeq_epi8(v0, na), _mm256_cmpeq_epi8(v0, nb));
    __m256i e1 = _mm256_or_si256(_mm256_cmpeq_epi8(v1, na), _mm256_cmpeq_epi8(v1, nb));
    uint64_t m = mask32(e0) | (static_cast<uint64_t>(mask32(e1)) << 32);
    if (m) return i + static_cast<size_t>(__builtin_ctzll(m));
  }
  if (i + 32 <= n) {
    __m256i v = load32(p + i);
    uint32_t m = mask32(_mm256_or_si256(_mm256_cmpeq_epi8(v, na), _mm256_cmpeq_epi8(v, nb)));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
    i += 32;
  }
  return i + find_either_sse2(p + i, n - i, a, b);
}

QUELTA_AVX2 size_t find_non_ascii_avx2(const uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    uint64_t m = mask32(load32(p + i)) | (static_cast<uint64_t>(mask32(load32(p + i + 32))) << 32);
    if (m) return i + static_cast<size_t>(__builtin_ctzll(m));
  }
  if (i + 32 <= n) {
    uint32_t m = mask32(load32(p + i));
    if (m) return i + static_cast<size_t>(__builtin_ctz(m));
    i += 32;
  }
  return i + find_non_ascii_sse2(p + i, n - i);
}

QUELTA_AVX2 size_t find_structural_avx2(const uint8_t* p, size_t n, size_t* out, size_t max) {
  const __m256i lower = _mm256_set1_epi8(0x20);
  const __m256i open = _mm256_set1_epi8('{'), close = _mm256_set1_epi8('}');
  const __m256i quote = _mm256_set1_epi8('"'), colon = _mm256_set1_epi8(':'), comma = _mm256_set1_epi8(',');
  size_t k = 0, i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = load32(p + i);
    __m256i f = _mm256_or_si256(v, lower);
    __m256i hit = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(f, open), _mm256_cmpeq_epi8(f, close)),
        _mm256_or_si256(_mm256_cmpeq_epi8(v, quote),
                        _mm256_or_si256(_mm256_cmpeq_epi8(v, colon), _mm256_cmpeq_epi8(v, comma))));
    if (!emit_bits(mask32(hit), i, out, &k, max)) return k;
  }
  size_t rest = find_structural_sse2(p + i, n - i, out + k, max - k);
  for (size_t j = k; j < k + rest; ++j) out[j] += i;
  return k + rest;
}

QUELTA_AVX2 uint64_t match_mask64_avx2(const uint8_t* p, size_t n, uint8_t b) {
  alignas(32) uint8_t block[64];
  const uint8_t* q = n >= 64 ? p : padded64(p, n, block);
  const __m256i nb = _mm256_set1_epi8(static_cast<char>(b));
  uint64_t m = mask32(_mm256_cmpeq_epi8(load32(q), nb)) |
               (static_cast<uint64_t>(mask32(_mm256_cmpeq_epi8(load32(q + 32), nb))) << 32);
  return m & low_bits(n);
}

// The running parity as one carry-less multiply by all ones.
QUELTA_AVX2 inline uint64_t prefix_xor_clmul(uint64_t m) {
  return static_cast<uint64_t>(_mm_cvtsi128_si64(
      _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<int64_t>(m)), _mm_set1_epi8(-1), 0)));
}

QUELTA_AVX2 inline uint64_t match64(__m256i lo, __m256i hi, __m256i b) {
  uint64_t m = mask32(_mm256_cmpeq_epi8(lo, b)) | static_cast<uint64_t>(mask32(_mm256_cmpeq_epi8(hi, b)))
                                                      << 32;
  // Kept in a general register: gathering the four masks in a vector register
  // (as compilers like to) takes more instructions than it saves.
  __asm__("" : "+r"(m));
  return m;
}

QUELTA_AVX2 inline BlockMasks match_block(const uint8_t* q, __m256i na, __m256i nb, __m256i nc, __m256i nd) {
  const __m256i lo = load32(q), hi = load32(q + 32);
  BlockMasks m{match64(lo, hi, na), match64(lo, hi, nb), match64(lo, hi, nc), match64(lo, hi, nd), 0};
  m.a_parity = prefix_xor_clmul(m.a);
  return m;
}

QUELTA_AVX2 size_t match_blocks_avx2(const uint8_t* p, size_t n, const uint8_t* bytes, BlockMasks* out,
                                     size_t max) {
  const __m256i na = _mm256_set1_epi8(static_cast<char>(bytes[0]));
  const __m256i nb = _mm256_set1_epi8(static_cast<char>(bytes[1]));
  const __m256i nc = _mm256_set1_epi8(static_cast<char>(bytes[2]));
  const __m256i nd = _mm256_set1_epi8(static_cast<char>(bytes[3]));
  const size_t full = n / 64 < max ? n / 64 : max;
  for (size_t k = 0; k < full; ++k) out[k] = match_block(p + 64 * k, na, nb, nc, nd);
  if (full == max || full * 64 == n) return full;
  alignas(32) uint8_t block[64];
  const size_t w = n - full * 64;
  BlockMasks m = match_block(padded64(p + full * 64, w, block), na, nb, nc, nd);
  const uint64_t valid = low_bits(w);
  m.a &= valid, m.b &= valid, m.c &= valid, m.d &= valid, m.a_parity &= valid;
  out[full] = m;
  return full + 1;
}

QUELTA_AVX2 inline uint64_t mask64(__m256i lo, __m256i hi) {
  uint64_t m = mask32(lo) | static_cast<uint64_t>(mask32(hi)) << 32;
  // In a general register, as in match64.
  __asm__("" : "+r"(m));
  return m;
}

QUELTA_AVX2 inline JsonBlockMasks json_block_avx2(const uint8_t* q) {
  const __m256i table_a = _mm256_broadcastsi128_si256(load16(kStructuralA));
  const __m256i table_b = _mm256_broadcastsi128_si256(load16(kStructuralB));
  const __m256i blanks = _mm256_broadcastsi128_si256(load16(kBlanks));
  __m256i quote[2], backslash[2], structural[2], blank[2];
  for (int h = 0; h < 2; ++h) {
    const __m256i v = load32(q + 32 * h);
    quote[h] = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'));
    backslash[h] = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'));
    structural[h] = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table_a, v), v),
                                    _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table_b, v), v));
    blank[h] = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(blanks, v), v);
  }
  return JsonBlockMasks{mask64(quote[0], quote[1]), mask64(backslash[0], backslash[1]),
                        mask64(structural[0], structural[1]), mask64(blank[0], blank[1])};
}

QUELTA_AVX2 size_t json_blocks_avx2(const uint8_t* p, size_t n, JsonBlockMasks* out, size_t max) {
  const size_t full = n / 64 < max ? n / 64 : max;
  for (size_t k = 0; k < full; ++k) out[k] = json_block_avx2(p + 64 * k);
  if (full == max || full * 64 == n) return full;
  alignas(32) uint8_t tail[64];
  const size_t w = n - full * 64;
  JsonBlockMasks m = json_block_avx2(padded64(p + full * 64, w, tail));
  const uint64_t valid = low_bits(w);
  m.quote &= valid, m.backslash &= valid, m.structural &= valid, m.blank &= valid;
  out[full] = m;
  return full + 1;
}

#endif  // QUELTA_X86

constexpr ByteSearchOps kScalar{find_byte_scalar,      count_byte_scalar,      find_either_scalar,
                                find_non_ascii_scalar, find_structural_scalar, match_mask64_scalar,
                                match_blocks_scalar,   json_blocks_scalar};
#if QUELTA_X86
constexpr ByteSearchOps kSse2{find_byte_sse2,       count_byte_sse2,   find_either_sse2,  find_non_ascii_sse2,
                              find_structural_sse2, match_mask64_sse2, match_blocks_sse2, json_blocks_sse2};
constexpr ByteSearchOps kAvx2{find_byte_avx2,       count_byte_avx2,   find_either_avx2,  find_non_ascii_avx2,
                              find_structural_avx2, match_mask64_avx2, match_blocks_avx2, json_blocks_avx2};
#endif

// The table of a supported level.
ByteSearchOps ops_for(SimdLevel level) {
  switch (level) {
#if QUELTA_X86
    case SimdLevel::Avx2:
      return kAvx2;
    case SimdLevel::Sse2:
      return kSse2;
#elif defined(__aarch64__)
    case SimdLevel::Neon:
      return byte_search_neon_ops(platform::cpu_has_pmull());
#endif
    default:
      break;
  }
  return kScalar;
}

SimdLevel g_level = SimdLevel::Scalar;

}  // namespace

SimdLevel simd_best_level() {
#if QUELTA_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
      __builtin_cpu_supports("pclmul"))
    return SimdLevel::Avx2;
  return SimdLevel::Sse2;  // every x86-64 processor has SSE2
#elif defined(__aarch64__)
  return SimdLevel::Neon;  // Advanced SIMD is part of every ARM64 processor
#else
  return SimdLevel::Scalar;
#endif
}

bool simd_level_supported(SimdLevel level) {
  switch (level) {
    case SimdLevel::Scalar:
      return true;
#if QUELTA_X86
    case SimdLevel::Sse2:
      return true;
    case SimdLevel::Avx2:
      return simd_best_level() == SimdLevel::Avx2;
#elif defined(__aarch64__)
    case SimdLevel::Neon:
      return true;
#endif
    default:
      return false;
  }
}

void byte_search_use(SimdLevel level) {
  if (!simd_level_supported(level)) level = simd_best_level();
  g_level = level;
  g_byte_search = ops_for(level);
}

SimdLevel byte_search_level() { return g_level; }

// Chosen during static initialisation, before any export can run.
ByteSearchOps g_byte_search = [] {
  g_level = simd_best_level();
  return ops_for(g_level);
}();

}  // namespace quelta
