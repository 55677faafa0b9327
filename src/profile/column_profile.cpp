// The per-value step of a column profile. A value already in the distinct
// table reuses what was learnt from its first appearance (kinds, number,
// length), so a column of few distinct values costs a hash and a lookup.
#include "profile/column_profile.h"

#include <cstring>

#include "input/decimal.h"
#include "platform/heap.h"
#include "profile/text_hash.h"
#include "validate/row_rules.h"

namespace quelta {
namespace {

constexpr size_t kFirstSlots = 64;

// Integers of up to 15 digits are exact in a double and converted here, which
// is the same value the decimal conversion gives, without its general path.
bool small_integer_value(FieldView t, double* number) {
  size_t i = t.ptr[0] == '+' || t.ptr[0] == '-' ? 1 : 0;
  if (t.len - i > 15) return false;
  int64_t v = 0;
  for (size_t j = i; j < t.len; ++j) v = v * 10 + (t.ptr[j] - '0');
  *number = t.ptr[0] == '-' ? -static_cast<double>(v) : static_cast<double>(v);
  return true;
}

uint8_t classify(FieldView value, double* number) {
  const FieldView t = trim_space_tab(value);
  if (is_integer_text(t)) {
    if (small_integer_value(t, number)) return kKindNumeric | kKindInteger;
    return parse_finite(t.ptr, t.len, number) ? kKindNumeric | kKindInteger : kKindInteger;
  }
  if (parse_finite(t.ptr, t.len, number)) return kKindNumeric;
  if (is_boolean_text(t)) return kKindBoolean;
  if (is_datetime_text(t)) return kKindDatetime;
  return 0;
}

// Byte order, a proper prefix first. Both texts are non-empty.
int compare_bytes(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
  // The first byte settles most comparisons without a call.
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  int c = std::memcmp(a, b, na < nb ? na : nb);
  if (c != 0) return c;
  return na < nb ? -1 : (na > nb ? 1 : 0);
}

Error set_text(ByteBuffer* b, FieldView v) {
  b->clear();
  return b->append(v.ptr, v.len);
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

// Kinds and numbers, once per occurrence.
Error count_kinds(ColumnProfile* c, uint8_t kinds, double number) {
  if (kinds & kKindNumeric) {
    if (c->n_block == kNumberBlock) {
      if (Error e = flush_numbers(c); failed(e)) return e;
    } else if (!c->block) {
      c->block = static_cast<double*>(platform::heap_alloc(kNumberBlock * sizeof(double)));
      if (!c->block) return Error::OutOfMemory;
    }
    c->block[c->n_block++] = number;
    ++c->numeric;
  }
  if (kinds & kKindInteger) ++c->integers;
  if (kinds & kKindBoolean) ++c->booleans;
  if (kinds & kKindDatetime) ++c->datetimes;
  if (kinds == 0) ++c->texts;
  return Error::None;
}

// Lengths and the smallest and largest text, once per distinct value.
Error note_new_text(ColumnProfile* c, FieldView value, uint64_t length) {
  if (c->rows - c->blanks == 1) {
    c->min_length = c->max_length = length;
    if (Error e = set_text(&c->min_text, value); failed(e)) return e;
    return set_text(&c->max_text, value);
  }
  if (length < c->min_length) c->min_length = length;
  if (length > c->max_length) c->max_length = length;
  if (compare_bytes(value.ptr, value.len, c->min_text.data, c->min_text.len) < 0) {
    if (Error e = set_text(&c->min_text, value); failed(e)) return e;
  }
  if (compare_bytes(value.ptr, value.len, c->max_text.data, c->max_text.len) > 0) {
    if (Error e = set_text(&c->max_text, value); failed(e)) return e;
  }
  return Error::None;
}

Error rehash(DistinctTable* t, size_t n_slots) {
  t->slots.clear();
  if (Error e = t->slots.fill(0, n_slots); failed(e)) return e;
  const size_t mask = n_slots - 1;
  for (size_t i = 0; i < t->values.len; ++i) {
    size_t slot = t->values.data[i].hash & mask;
    while (t->slots.data[slot]) slot = (slot + 1) & mask;
    t->slots.data[slot] = static_cast<uint32_t>(i + 1);
  }
  return Error::None;
}

// The table gives up: its values go into the estimate, which takes over.
Error give_up_exact(ColumnProfile* c) {
  if (Error e = hll_init(&c->estimate); failed(e)) return e;
  for (size_t i = 0; i < c->distinct.values.len; ++i) hll_add(&c->estimate, c->distinct.values.data[i].hash);
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
  // At most half full.
  if (t.values.len * 2 > t.slots.len) return rehash(&t, t.slots.len ? t.slots.len * 2 : kFirstSlots);
  const size_t mask = t.slots.len - 1;
  size_t slot = hash & mask;
  while (t.slots.data[slot]) slot = (slot + 1) & mask;
  t.slots.data[slot] = static_cast<uint32_t>(t.values.len);
  return Error::None;
}

uint64_t load64(const uint8_t* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

uint32_t load32(const uint8_t* p) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
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
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t i = t->slots.data[slot];
    if (i == 0) return nullptr;
    DistinctValue& d = t->values.data[i - 1];
    if (d.hash == hash && d.len == value.len && same_bytes(t->texts.data + d.offset, value.ptr, value.len))
      return &d;
  }
}

}  // namespace

Error column_profile_add(ColumnProfile* c, FieldView value) {
  ++c->rows;
  if (is_blank(value)) {
    ++c->blanks;
    return Error::None;
  }
  const uint64_t hash = text_hash(value.ptr, value.len);
  if (c->exact) {
    if (DistinctValue* known = find_distinct(&c->distinct, value, hash)) {
      ++known->count;
      return count_kinds(c, known->kinds, known->number);
    }
  } else {
    // The register is fetched now and updated last, so the load has the
    // value's other work to arrive in.
    hll_prefetch(c->estimate, hash);
  }
  double number = 0;
  const uint8_t kinds = classify(value, &number);
  const uint64_t length = text_length(value);
  if (Error e = note_new_text(c, value, length); failed(e)) return e;
  if (c->exact) {
    if (Error e = insert_distinct(c, value, hash, kinds, number, length); failed(e)) return e;
  } else {
    hll_add(&c->estimate, hash);
  }
  return count_kinds(c, kinds, number);
}

Error column_profile_finish(ColumnProfile* c) { return flush_numbers(c); }

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
