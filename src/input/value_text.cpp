// The value tests shared by the schema's types, the typed columns and the
// column type inference.
#include "input/value_text.h"

namespace quelta {

bool is_blank(FieldView f) {
  for (size_t i = 0; i < f.len; ++i) {
    uint8_t b = f.ptr[i];
    if (b != ' ' && b != '\t' && b != '\r' && b != '\n') return false;
  }
  return true;
}

bool parse_int64(FieldView t, int64_t* out) {
  const uint8_t* p = t.ptr;
  const size_t n = t.len;
  size_t i = 0;
  bool negative = false;
  if (n > 0 && (p[0] == '+' || p[0] == '-')) negative = p[i++] == '-';
  if (i == n || !is_digit(p[i])) return false;
  // The magnitude is gathered as unsigned, so -9223372036854775808 fits; an
  // overflow of 64 bits is caught by the checked steps, the sign's limit after.
  uint64_t v = 0;
  bool overflow = false;
  // Up to 18 plain digits cannot overflow: the common case, unchecked.
  const size_t plain_end = n - i > 18 ? i + 18 : n;
  while (i < plain_end && is_digit(p[i])) v = v * 10 + (p[i++] - '0');
  for (; i < n; ++i) {
    uint8_t b = p[i];
    if (b == '_') {
      // A single '_' between two digits; the previous byte is a digit here.
      if (i + 1 == n || !is_digit(p[i + 1])) return false;
      continue;
    }
    if (!is_digit(b)) return false;
    overflow |= __builtin_mul_overflow(v, uint64_t{10}, &v);
    overflow |= __builtin_add_overflow(v, static_cast<uint64_t>(b - '0'), &v);
  }
  if (overflow || v > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) return false;
  *out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

unsigned value_kinds(FieldView t, unsigned wanted) {
  unsigned kinds = 0;
  if (wanted & (kKindInteger | kKindNumber)) {
    int64_t i;
    double d;
    if ((wanted & kKindInteger) && parse_int64(t, &i))
      kinds |= kKindInteger | kKindNumber;
    else if ((wanted & kKindNumber) && parse_finite(t.ptr, t.len, &d))
      kinds |= kKindNumber;
    // A number is never a boolean or a datetime.
    if (kinds) return kinds & wanted;
  }
  if (wanted & (kKindBoolean | kKindDatetime)) {
    FieldView trimmed = trim_space_tab(t);
    if ((wanted & kKindBoolean) && is_boolean_text(trimmed)) return kKindBoolean;
    if ((wanted & kKindDatetime) && is_datetime_text(trimmed)) kinds |= kKindDatetime;
  }
  return kinds;
}

}  // namespace quelta
