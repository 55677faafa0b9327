// The per-value step of a column profile. A value already in the distinct
// table reuses what was learnt from its first appearance (kinds, number,
// length), so a column of few distinct values costs a hash and a lookup.
#include "profile/column_profile.h"

#include <cstring>

#include "input/decimal.h"
#include "profile/text_hash.h"
#include "validate/row_rules.h"

namespace quelta {
namespace {

constexpr size_t kFirstSlots = 64;

uint8_t classify(FieldView value, double* number) {
  const FieldView t = trim_space_tab(value);
  uint8_t kinds = 0;
  if (parse_finite(t.ptr, t.len, number)) kinds |= kKindNumeric;
  if (is_integer_text(t)) kinds |= kKindInteger;
  if (kinds) return kinds;
  if (is_boolean_text(t)) return kKindBoolean;
  if (is_datetime_text(t)) return kKindDatetime;
  return 0;
}

// Byte order, a proper prefix first.
int compare_bytes(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
  int c = std::memcmp(a, b, na < nb ? na : nb);
  if (c != 0) return c;
  return na < nb ? -1 : (na > nb ? 1 : 0);
}

Error set_text(ByteBuffer* b, FieldView v) {
  b->clear();
  return b->append(v.ptr, v.len);
}

// Kinds and numbers, once per occurrence.
Error count_kinds(ColumnProfile* c, uint8_t kinds, double number) {
  if (kinds & kKindNumeric) {
    ++c->numeric;
    if (c->numeric == 1) {
      c->min = c->max = number;
    } else {
      if (number < c->min) c->min = number;
      if (c->max < number) c->max = number;
    }
    const double delta = number - c->mean;
    c->mean += delta / static_cast<double>(c->numeric);
    c->m2 += delta * (number - c->mean);
    if (Error e = quantile_add(&c->quantiles, number); failed(e)) return e;
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

DistinctValue* find_distinct(DistinctTable* t, FieldView value, uint64_t hash) {
  if (t->slots.len == 0) return nullptr;
  const size_t mask = t->slots.len - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t i = t->slots.data[slot];
    if (i == 0) return nullptr;
    DistinctValue& d = t->values.data[i - 1];
    if (d.hash == hash && d.len == value.len &&
        std::memcmp(t->texts.data + d.offset, value.ptr, value.len) == 0)
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
    hll_add(&c->estimate, hash);
  }
  double number = 0;
  const uint8_t kinds = classify(value, &number);
  const uint64_t length = text_length(value);
  if (Error e = note_new_text(c, value, length); failed(e)) return e;
  if (c->exact) {
    if (Error e = insert_distinct(c, value, hash, kinds, number, length); failed(e)) return e;
  }
  return count_kinds(c, kinds, number);
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
}

}  // namespace quelta
