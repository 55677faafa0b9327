// The general path of the grammar test: the shared value tests, one after the
// other, on the value without the spaces and tabs around it.
#include "profile/value_grammar.h"

namespace quelta {
namespace {

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

}  // namespace

uint8_t grammar_kinds_general(FieldView value, double* number) {
  const FieldView t = trim_space_tab(value);
  if (is_integer_text(t)) {
    if (small_integer_value(t, number)) return kGrammarNumeric | kGrammarInteger;
    return parse_finite(t.ptr, t.len, number) ? kGrammarNumeric | kGrammarInteger : kGrammarInteger;
  }
  if (parse_finite(t.ptr, t.len, number)) return kGrammarNumeric;
  if (is_boolean_text(t)) return kGrammarBoolean;
  if (is_datetime_text(t)) return kGrammarDatetime;
  return 0;
}

}  // namespace quelta
