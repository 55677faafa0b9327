// The per-value step of a column profile. A value already in the distinct
// table reuses what was learnt from its first appearance (kinds, number,
// length), so a column of few distinct values costs a hash, a lookup and its
// count; past the table every value takes one hash (that also tells whether it
// is ASCII), one grammar test and two prefix comparisons.
#include "profile/column_profile.h"

#include <cstring>

#include "platform/heap.h"
#include "profile/text_hash.h"
#include "validate/row_rules.h"

namespace quelta {
namespace {

constexpr size_t kFirstSlots = 64;

// Byte order, a proper prefix first. Both texts are non-empty.
int compare_bytes(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
  // The first byte settles most comparisons without a call.
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  int c = std::memcmp(a, b, na < nb ? na : nb);
  if (c != 0) return c;
  return na < nb ? -1 : (na > nb ? 1 : 0);
}

// Merges the waiting numbers into the moments, the range and the sketch.
Error flush_numbers(ColumnProfile* c) {
  const size_t n = c->n_block;
  if (n == 0) return Error::None;
  const double* v = c->block;
  double sum = 0, low = v[0], high = v[0];
  for (size_t i = 0; i < n; ++i) {
    sum += v[i];
    low = v[i] < low ? v[i] : low;
    high = high < v[i] ? v[i] : high;
  }
  const double block_mean = sum / static_cast<double>(n);
  double block_m2 = 0;
  for (size_t i = 0; i < n; ++i) block_m2 += (v[i] - block_mean) * (v[i] - block_mean);
  if (c->merged == 0) {
    c->min = low;
    c->max = high;
    c->mean = block_mean;
    c->m2 = block_m2;
  } else {
    if (low < c->min) c->min = low;
    if (c->max < high) c->max = high;
    const double total = static_cast<double>(c->merged + n);
    const double delta = block_mean - c->mean;
    c->mean += delta * (static_cast<double>(n) / total);
    c->m2 += block_m2 + delta * delta * (static_cast<double>(c->merged) * static_cast<double>(n) / total);
  }
  c->merged += n;
  c->n_block = 0;
  return quantile_add_many(&c->quantiles, v, n);
}

// Queues a numeric value for the moments and the sample.
inline Error push_number(ColumnProfile* c, double number) {
  if (c->n_block == kNumberBlock) {
    if (Error e = flush_numbers(c); failed(e)) return e;
  } else if (!c->block) {
    c->block = static_cast<double*>(platform::heap_alloc(kNumberBlock * sizeof(double)));
    if (!c->block) return Error::OutOfMemory;
  }
  c->block[c->n_block++] = number;
  return Error::None;
}

uint32_t load32(const uint8_t* p) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
}

uint64_t load64(const uint8_t* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

// The first eight bytes as a big-endian number, zeros past the end. Where two
// texts' keys differ, they compare as their keys do, a proper prefix first.
inline uint64_t prefix_key(const uint8_t* p, size_t n) {
  uint64_t x;
  if (n >= 8) {
    x = load64(p);
  } else if (n >= 4) {
    x = load32(p) | uint64_t{load32(p + n - 4)} << (8 * (n - 4));
  } else {
    x = p[0] | uint64_t{p[n / 2]} << (8 * (n / 2)) | uint64_t{p[n - 1]} << (8 * (n - 1));
  }
  return __builtin_bswap64(x);
}

Error set_text(ByteBuffer* b, uint64_t* key, FieldView v, uint64_t value_key) {
  *key = value_key;
  b->clear();
  return b->append(v.ptr, v.len);
}

// Lengths and the smallest and largest text, once per distinct value.
inline Error note_text(ColumnProfile* c, FieldView value, uint64_t length) {
  const uint64_t key = prefix_key(value.ptr, value.len);
  if (c->min_text.len == 0) {
    c->min_length = c->max_length = length;
    if (Error e = set_text(&c->min_text, &c->min_key, value, key); failed(e)) return e;
    return set_text(&c->max_text, &c->max_key, value, key);
  }
  if (length < c->min_length) c->min_length = length;
  if (length > c->max_length) c->max_length = length;
  if (key <= c->min_key &&
      (key < c->min_key || compare_bytes(value.ptr, value.len, c->min_text.data, c->min_text.len) < 0)) {
    if (Error e = set_text(&c->min_text, &c->min_key, value, key); failed(e)) return e;
  }
  if (key >= c->max_key &&
      (key > c->max_key || compare_bytes(value.ptr, value.len, c->max_text.data, c->max_text.len) > 0)) {
    if (Error e = set_text(&c->max_text, &c->max_key, value, key); failed(e)) return e;
  }
  return Error::None;
}

constexpr uint64_t kTagMask = ~uint64_t{0} << 32;

Error rehash(DistinctTable* t, size_t n_slots) {
  t->slots.clear();
  if (Error e = t->slots.fill(0, n_slots); failed(e)) return e;
  const size_t mask = n_slots - 1;
  for (size_t i = 0; i < t->values.len; ++i) {
    const uint64_t hash = t->values.data[i].hash;
    size_t slot = hash & mask;
    while (t->slots.data[slot]) slot = (slot + 1) & mask;
    t->slots.data[slot] = (hash & kTagMask) | (i + 1);
  }
  return Error::None;
}

// The table gives up: its values go into the estimate, which takes over.
Error give_up_exact(ColumnProfile* c) {
  if (Error e = hll_init(&c->estimate); failed(e)) return e;
  for (size_t i = 0; i < c->distinct.values.len; ++i) {
    const DistinctValue& d = c->distinct.values.data[i];
    hll_add(&c->estimate, d.hash);
    c->by_kinds[d.kinds] += d.count;
  }
  c->exact = false;
  c->distinct.values.release();
  c->distinct.texts.release();
  c->distinct.slots.release();
  return Error::None;
}

Error insert_distinct(ColumnProfile* c, FieldView value, uint64_t hash, uint8_t kinds, double number,
                      uint64_t length) {
  DistinctTable& t = c->distinct;
  if (t.values.len == kDistinctExactMax || value.len > kDistinctExactBytes - t.texts.len) {
    if (Error e = give_up_exact(c); failed(e)) return e;
    hll_add(&c->estimate, hash);
    return Error::None;
  }
  const DistinctValue d{
      hash, 1, number, length, static_cast<uint32_t>(t.texts.len), static_cast<uint32_t>(value.len), kinds};
  if (Error e = t.texts.append(value.ptr, value.len); failed(e)) return e;
  if (Error e = t.values.push(d); failed(e)) return e;
  // At most a quarter full.
  if (t.values.len * 4 > t.slots.len) return rehash(&t, t.slots.len ? t.slots.len * 2 : kFirstSlots);
  const size_t mask = t.slots.len - 1;
  size_t slot = hash & mask;
  while (t.slots.data[slot]) slot = (slot + 1) & mask;
  t.slots.data[slot] = (hash & kTagMask) | t.values.len;
  return Error::None;
}

// Equality of two n-byte texts; short ones by overlapping loads that stay inside both.
bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n >= 8 && n <= 16) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  if (n >= 4 && n < 8) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  if (n < 4) {
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  return std::memcmp(a, b, n) == 0;
}

DistinctValue* find_distinct(DistinctTable* t, FieldView value, uint64_t hash) {
  if (t->slots.len == 0) return nullptr;
  const size_t mask = t->slots.len - 1;
  const uint64_t tag = hash & kTagMask;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint64_t entry = t->slots.data[slot];
    if (entry == 0) return nullptr;
    if ((entry & kTagMask) != tag) continue;
    DistinctValue& d = t->values.data[(entry & ~kTagMask) - 1];
    if (d.hash == hash && d.len == value.len && same_bytes(t->texts.data + d.offset, value.ptr, value.len))
      return &d;
  }
}

// Makes the register update left waiting by the previous value.
inline void settle_pending(ColumnProfile* c) {
  if (c->pending) hll_add(&c->estimate, c->pending_hash);
  c->pending = false;
}

}  // namespace

Error column_profile_add(ColumnProfile* c, FieldView value) {
  ++c->rows;
  // Blank bytes are all at or below ' ': anything above it is settled at once.
  if (value.len == 0 || (value.ptr[0] <= ' ' && is_blank(value))) {
    ++c->blanks;
    return Error::None;
  }
  uint64_t high;
  const uint64_t hash = text_hash_noting_high(value.ptr, value.len, &high);
  if (c->exact) {
    if (DistinctValue* known = find_distinct(&c->distinct, value, hash)) {
      ++known->count;
      return known->kinds & kGrammarNumeric ? push_number(c, known->number) : Error::None;
    }
  } else {
    // The register is fetched now and updated with the next value, so the
    // load has a whole row's work to arrive in.
    hll_prefetch(c->estimate, hash);
  }
  double number = 0;
  const uint8_t kinds = grammar_kinds(value, &number);
  const uint64_t length = (high & 0x8080808080808080ull) == 0 ? value.len : text_length(value);
  if (Error e = note_text(c, value, length); failed(e)) return e;
  if (c->exact) {
    if (Error e = insert_distinct(c, value, hash, kinds, number, length); failed(e)) return e;
    // Counted in the table while it lasts; give_up_exact moves the counts here.
    if (!c->exact) ++c->by_kinds[kinds];
  } else {
    settle_pending(c);
    c->pending_hash = hash;
    c->pending = true;
    ++c->by_kinds[kinds];
  }
  return kinds & kGrammarNumeric ? push_number(c, number) : Error::None;
}

Error column_profile_finish(ColumnProfile* c) {
  settle_pending(c);
  uint64_t by_kinds[16];
  for (size_t k = 0; k < 16; ++k) by_kinds[k] = c->by_kinds[k];
  if (c->exact)
    for (size_t i = 0; i < c->distinct.values.len; ++i)
      by_kinds[c->distinct.values.data[i].kinds] += c->distinct.values.data[i].count;
  c->numeric = c->integers = c->booleans = c->datetimes = 0;
  for (size_t k = 0; k < 16; ++k) {
    if (k & kGrammarNumeric) c->numeric += by_kinds[k];
    if (k & kGrammarInteger) c->integers += by_kinds[k];
    if (k & kGrammarBoolean) c->booleans += by_kinds[k];
    if (k & kGrammarDatetime) c->datetimes += by_kinds[k];
  }
  c->texts = by_kinds[0];
  return flush_numbers(c);
}

double column_distinct_count(const ColumnProfile& c) {
  return c.exact ? static_cast<double>(c.distinct.values.len) : hll_estimate(c.estimate);
}

void column_profile_free(ColumnProfile* c) {
  c->min_text.release();
  c->max_text.release();
  c->distinct.values.release();
  c->distinct.texts.release();
  c->distinct.slots.release();
  hll_free(&c->estimate);
  quantile_free(&c->quantiles);
  platform::heap_free(c->block);
  c->block = nullptr;
}

}  // namespace quelta
