// Prepared filter predicates and the row test every consumer of a scan applies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/decimal.h"
#include "input/decimal_words.h"
#include "input/field_view.h"
#include "quelta.h"

namespace quelta {

enum class Op : uint8_t { Eq = 0, Ne, Gt, Ge, Lt, Le, In };

struct InValue {
  FieldView text;  // owned copy (empty texts own nothing)
  double number;
  bool numeric;
};

struct PreparedPredicate {
  uint64_t column;
  Op op;
  bool numeric;     // value is a finite number
  double number;    // its value, 0 when not numeric
  FieldView value;  // the caller's text, referenced
  InValue* in_values;
  size_t n_in_values;
  bool short_value;            // value is a short decimal (read_short_number)...
  int64_t short_value_scaled;  // ...and this its scaled integer
  // The field last tested numerically by this predicate, so that an operator on
  // the same column need not convert it again. A plain decimal is compared
  // exactly and converted only when asked for (last_pending).
  mutable bool last_numeric;
  mutable bool last_pending;
  mutable double last_number;
  mutable FieldView last_text;
  bool plain_value;   // value is a plain decimal of at most 15 significant digits...
  PlainNumber plain;  // ...read exactly

  // The number of the field last tested, when last_numeric.
  double last_value() const {
    if (last_pending) {
      parse_finite(last_text.ptr, last_text.len, &last_number);
      last_pending = false;
    }
    return last_number;
  }
};

struct PredicateSet {
  PreparedPredicate* items = nullptr;
  size_t count = 0;
};

enum class PrepareResult : uint8_t { Ok, NoMemoryForPredicates, NoMemoryForInValues };

// Copies and prepares the caller's predicates (value texts referenced, IN texts
// copied, numbers parsed once). On failure nothing stays allocated.
PrepareResult prepare_predicates(const Predicate* src, size_t n, PredicateSet* out);
void free_predicates(PredicateSet* set);

// Whether a record passes every predicate, XOR negate.
bool test_row(const FieldView* fields, size_t count, const PredicateSet& predicates, bool negate);

// A numeric predicate whose last conversion is the field at raw column of every
// row that passes the test (so never with negate), or null.
const PreparedPredicate* numeric_predicate_on(const PredicateSet& predicates, bool negate, uint64_t column);

// Bytewise order: -1, 0 or 1, a proper prefix being smaller.
int compare_bytes(FieldView a, FieldView b);

}  // namespace quelta
