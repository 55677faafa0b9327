// The tests a field goes through in the row step: blank, type, numeric bounds,
// length in characters. Each works on the field's bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/decimal.h"
#include "input/field_view.h"
#include "input/value_text.h"
#include "validate/schema.h"

namespace quelta {

// Whether the trimmed field t has the type. For Float, *number receives the
// finite value that passed.
// Inline: it runs once per rule per row.
inline bool passes_type(ValueType type, FieldView t, double* number) {
  switch (type) {
    case ValueType::Any:
    case ValueType::String:
      return true;
    case ValueType::Integer:
      return is_integer_text(t);
    case ValueType::Float:
      return parse_finite(t.ptr, t.len, number);
    case ValueType::Boolean:
      return is_boolean_text(t);
    case ValueType::Datetime:
      return is_datetime_text(t);
  }
  return true;
}

// Code points when the bytes are well-formed UTF-8, else the byte count.
uint64_t text_length(FieldView f);

}  // namespace quelta
