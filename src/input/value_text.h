// What a single field's text is: blank, an integer, a number, a boolean, a
// datetime. The schema's type tests, the typed columns and the column type
// inference share these, so every part of the library reads a value alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/datetime_text.h"
#include "input/decimal.h"
#include "input/field_view.h"

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

// The value of a boolean text (is_boolean_text holds): true for "true".
inline bool boolean_value(FieldView t) { return (t.ptr[0] | 0x20) == 't'; }

// The whole text as a signed 64-bit integer under the number rules: an
// optional sign, then decimal digits with single '_' between two of them
// (1_000), no white space. False, *out untouched, for any other text or a
// value outside int64.
bool parse_int64(FieldView t, int64_t* out);

// The types a value may take, as bits; a blank value has none. Integer
// implies Number (every int64 is a finite double).
enum ValueKind : unsigned {
  kKindInteger = 1u << 0,   // parse_int64 holds
  kKindNumber = 1u << 1,    // parse_finite holds (the number rules)
  kKindBoolean = 1u << 2,   // is_boolean_text of the trimmed text
  kKindDatetime = 1u << 3,  // is_datetime_text of the trimmed text
  kKindAll = kKindInteger | kKindNumber | kKindBoolean | kKindDatetime,
};

// Which of the kinds in wanted the non-blank text t meets; only those are
// tested, so a caller narrowing a column's candidates pays for no others.
unsigned value_kinds(FieldView t, unsigned wanted);

}  // namespace quelta
