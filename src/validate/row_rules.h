// The tests a field goes through in the row step: blank, type, numeric bounds,
// length in characters. Each works on the field's bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/decimal.h"
#include "input/field_view.h"
#include "validate/schema.h"

namespace quelta {

// Empty, or only spaces, tabs, carriage returns and line feeds.
bool is_blank(FieldView f);

// The field without spaces and tabs at either end.
inline FieldView trim_space_tab(FieldView f) {
  const uint8_t* p = f.ptr;
  size_t n = f.len;
  while (n > 0 && (p[0] == ' ' || p[0] == '\t')) ++p, --n;
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
  return FieldView{p, n};
}

inline bool is_digit(uint8_t b) { return static_cast<uint8_t>(b - '0') <= 9; }

// An optional '+' or '-' and one or more ASCII digits; any number of them.
inline bool is_integer_text(FieldView t) {
  size_t i = t.len > 0 && (t.ptr[0] == '+' || t.ptr[0] == '-') ? 1 : 0;
  if (i == t.len) return false;
  for (; i < t.len; ++i)
    if (!is_digit(t.ptr[i])) return false;
  return true;
}

// "true" or "false" in any mix of case.
inline bool is_boolean_text(FieldView t) {
  // ORing 0x20 folds ASCII upper case onto lower case and maps no other byte
  // onto a lower-case letter.
  auto folded_equals = [&](const char* word) {
    for (size_t i = 0; i < t.len; ++i)
      if ((t.ptr[i] | 0x20) != static_cast<uint8_t>(word[i])) return false;
    return true;
  };
  if (t.len == 4) return folded_equals("true");
  if (t.len == 5) return folded_equals("false");
  return false;
}
// YYYY-MM-DD, optionally followed by 'T' or ' ', HH:MM, optional :SS (00-60)
// with an optional fraction, and an optional zone (Z, z, +HH:MM or -HH:MM).
bool is_datetime_text(FieldView t);

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
