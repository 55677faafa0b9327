// The tests a field goes through in the row step: blank, type, numeric bounds,
// length in characters. Each works on the field's bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>

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

// An optional '+' or '-' and one or more ASCII digits; any number of them.
bool is_integer_text(FieldView t);
// "true" or "false" in any mix of case.
bool is_boolean_text(FieldView t);
// YYYY-MM-DD, optionally followed by 'T' or ' ', HH:MM, optional :SS (00-60)
// with an optional fraction, and an optional zone (Z, z, +HH:MM or -HH:MM).
bool is_datetime_text(FieldView t);

// Whether the trimmed field t has the type. For Float, *number receives the
// finite value that passed.
bool passes_type(ValueType type, FieldView t, double* number);

// Code points when the bytes are well-formed UTF-8, else the byte count.
uint64_t text_length(FieldView f);

}  // namespace quelta
