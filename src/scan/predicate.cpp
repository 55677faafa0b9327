// Predicate preparation and the predicate test.
#include "scan/predicate.h"

#include <cstring>

#include "input/decimal.h"
#include "platform/heap.h"

namespace quelta {
namespace {

FieldView measure(const char* s) {
  return FieldView{reinterpret_cast<const uint8_t*>(s), s ? std::strlen(s) : 0};
}

void free_in_values(InValue* values, size_t n) {
  if (!values) return;
  for (size_t i = 0; i < n; ++i) platform::heap_free(const_cast<uint8_t*>(values[i].text.ptr));
  platform::heap_free(values);
}

bool prepare_in(const Predicate& src, PreparedPredicate* dst) {
  if (src.n_in_values == 0 || !src.in_values) return true;
  if (src.n_in_values > SIZE_MAX / sizeof(InValue)) return false;
  auto* values = static_cast<InValue*>(platform::heap_alloc(src.n_in_values * sizeof(InValue)));
  if (!values) return false;
  dst->in_values = values;
  for (size_t i = 0; i < src.n_in_values; ++i) {
    FieldView text = measure(src.in_values[i]);
    uint8_t* copy = nullptr;
    if (text.len) {
      copy = static_cast<uint8_t*>(platform::heap_alloc(text.len));
      if (!copy) return false;
      std::memcpy(copy, text.ptr, text.len);
    }
    InValue& v = values[i];
    v.text = FieldView{copy, text.len};
    v.number = 0;
    v.numeric = parse_finite(copy, text.len, &v.number);
    dst->n_in_values = i + 1;
  }
  return true;
}

inline bool compare(Op op, int order) {
  switch (op) {
    case Op::Ne:
      return order != 0;
    case Op::Gt:
      return order > 0;
    case Op::Ge:
      return order >= 0;
    case Op::Lt:
      return order < 0;
    case Op::Le:
      return order <= 0;
    default:
      return order == 0;
  }
}

bool test_one(const PreparedPredicate& p, const FieldView* fields, size_t count) {
  if (p.column >= count) return false;
  const FieldView& field = fields[p.column];
  if (p.op == Op::In) {
    double x = 0;
    bool field_numeric = p.n_in_values > 0 && parse_finite(field.ptr, field.len, &x);
    for (size_t i = 0; i < p.n_in_values; ++i) {
      const InValue& v = p.in_values[i];
      if (field_numeric && v.numeric ? x == v.number : field.equals(v.text)) return true;
    }
    return false;
  }
  double x = 0;
  if (p.numeric) {
    // Two plain decimals of at most 15 significant digits compare exactly as
    // their nearest doubles do. A short field (read_short_number) is compared
    // so, without a conversion: against a short value as the cheapest integers,
    // against a longer one at the 128-bit scale. Longer fields are converted,
    // which measured as fast as reading them exactly.
    int64_t scaled;
    if ((p.short_value || p.plain_value) && read_short_number(field.ptr, field.len, &scaled)) {
      int order;
      if (p.short_value) {
        order = scaled < p.short_value_scaled ? -1 : (scaled > p.short_value_scaled ? 1 : 0);
      } else {
        __int128 x = __int128{scaled} * kShortToPlainScale, y = plain_scaled(p.plain);
        order = x < y ? -1 : (x > y ? 1 : 0);
      }
      p.last_numeric = p.last_pending = true;
      p.last_text = field;
      return compare(p.op, order);
    }
    p.last_pending = false;
    p.last_numeric = parse_finite(field.ptr, field.len, &x);
    p.last_number = x;
    if (p.last_numeric) return compare(p.op, x < p.number ? -1 : (x > p.number ? 1 : 0));
  }
  if (p.op == Op::Eq) return field.equals(p.value);
  if (p.op == Op::Ne) return !field.equals(p.value);
  return compare(p.op, compare_bytes(field, p.value));
}

}  // namespace

int compare_bytes(FieldView a, FieldView b) {
  size_t n = a.len < b.len ? a.len : b.len;
  int c = n ? std::memcmp(a.ptr, b.ptr, n) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  return a.len < b.len ? -1 : (a.len > b.len ? 1 : 0);
}

PrepareResult prepare_predicates(const Predicate* src, size_t n, PredicateSet* out) {
  *out = PredicateSet{};
  if (n == 0) return PrepareResult::Ok;
  if (n > SIZE_MAX / sizeof(PreparedPredicate)) return PrepareResult::NoMemoryForPredicates;
  out->items = static_cast<PreparedPredicate*>(platform::heap_alloc(n * sizeof(PreparedPredicate)));
  if (!out->items) return PrepareResult::NoMemoryForPredicates;
  for (size_t i = 0; i < n; ++i) {
    const Predicate& s = src[i];
    PreparedPredicate& d = out->items[i];
    d = PreparedPredicate{};
    d.column = s.column;
    d.op = s.op >= 0 && s.op <= 6 ? static_cast<Op>(s.op) : Op::Eq;
    out->count = i + 1;
    if (d.op == Op::In) {
      if (!prepare_in(s, &d)) {
        free_predicates(out);
        return PrepareResult::NoMemoryForInValues;
      }
    } else {
      d.value = measure(s.value);
      d.numeric = parse_finite(d.value.ptr, d.value.len, &d.number);
      if (!d.numeric) d.number = 0;
      d.plain_value = d.numeric && read_plain_number(d.value.ptr, d.value.len, &d.plain);
      d.short_value = d.numeric && read_short_number(d.value.ptr, d.value.len, &d.short_value_scaled);
    }
  }
  return PrepareResult::Ok;
}

void free_predicates(PredicateSet* set) {
  for (size_t i = 0; i < set->count; ++i) free_in_values(set->items[i].in_values, set->items[i].n_in_values);
  platform::heap_free(set->items);
  *set = PredicateSet{};
}

const PreparedPredicate* numeric_predicate_on(const PredicateSet& predicates, bool negate, uint64_t column) {
  if (negate) return nullptr;
  for (size_t i = 0; i < predicates.count; ++i) {
    const PreparedPredicate& p = predicates.items[i];
    if (p.column == column && p.numeric && p.op != Op::In) return &p;
  }
  return nullptr;
}

bool test_row(const FieldView* fields, size_t count, const PredicateSet& predicates, bool negate) {
  bool pass = true;
  for (size_t i = 0; i < predicates.count; ++i) {
    if (!test_one(predicates.items[i], fields, count)) {
      pass = false;
      break;
    }
  }
  return pass != negate;
}

}  // namespace quelta
