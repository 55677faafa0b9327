// Numbers as the library reads them: the grammar of a number text and, where the
// tool can tell exactly, its value.
#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace cli {

namespace {

// A run of digits (hexadecimal ones with hex) with single '_' between two
// digits, from t[i]; false, and i unmoved, when none starts there.
bool digit_run(std::string_view t, size_t& i, bool hex) {
  auto digit = [&](char c) {
    return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
  };
  if (i >= t.size() || !digit(t[i])) return false;
  while (i < t.size()) {
    if (digit(t[i])) {
      ++i;
    } else if (t[i] == '_' && i + 1 < t.size() && digit(t[i + 1])) {
      i += 2;
    } else {
      break;
    }
  }
  return true;
}

// Digits with an optional fraction ("1", "1.", "1.5"), or a fraction alone (".5").
bool mantissa(std::string_view t, size_t& i, bool hex) {
  if (digit_run(t, i, hex)) {
    if (i < t.size() && t[i] == '.') {
      ++i;
      digit_run(t, i, hex);
    }
    return true;
  }
  if (i + 1 < t.size() && t[i] == '.') {
    size_t j = i + 1;
    if (!digit_run(t, j, hex)) return false;
    i = j;
    return true;
  }
  return false;
}

// The library's number grammar: [+-] then decimal digits with an optional
// fraction and e-exponent, or 0x and hexadecimal ones with an optional p-exponent.
bool number_syntax(std::string_view t) {
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  const bool hex = i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X');
  if (hex) i += 2;
  if (!mantissa(t, i, hex)) return false;
  if (i < t.size() && (hex ? (t[i] == 'p' || t[i] == 'P') : (t[i] == 'e' || t[i] == 'E'))) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digit_run(t, i, false)) return false;
  }
  return i == t.size();
}

}  // namespace

bool is_number(std::string_view text) {
  if (!number_syntax(text)) return false;
  std::string digits;
  for (char c : text)
    if (c != '_') digits += c;
  // strtod reads the same grammar once the separators are gone; the value must be finite.
  return std::isfinite(std::strtod(digits.c_str(), nullptr));
}

NumberText read_number(std::string_view text, double* value) {
  if (!number_syntax(text)) return NumberText::NotNumber;
  if (text.find_first_of("_xX") != text.npos) return NumberText::Unsure;
  // The library's conversion rounds correctly, as from_chars does.
  const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(begin, end, *value);
  if (ec != std::errc() || ptr != end || !std::isfinite(*value)) return NumberText::Unsure;
  return NumberText::Finite;
}

}  // namespace cli
