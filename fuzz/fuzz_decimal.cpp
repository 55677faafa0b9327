// Fuzzes the decimal conversion. A small recognizer of the number syntax says
// whether a text must convert; every text that does must give the bits that
// strtod gives for the same number written without digit separators (strtod
// accepts more syntax, so it is asked only about texts the recognizer accepts).
//
// Input: the text itself.
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/decimal.h"

using namespace quelta;

namespace {

enum class Form { Invalid, Decimal, Hex, Infinity, NaN };

bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return fuzz::hex_digit(static_cast<uint8_t>(c)) >= 0; }

// A digit run from s[*i] with single underscores between its digits; returns
// the digit count. A misplaced underscore is left unread for the caller to trip on.
size_t digit_run(const std::string& s, size_t* i, bool hex) {
  auto digit = [hex](char c) { return hex ? is_hex(c) : is_dec(c); };
  size_t count = 0;
  while (*i < s.size()) {
    char c = s[*i];
    if (digit(c)) {
      ++count;
      ++*i;
    } else if (c == '_' && count > 0 && *i + 1 < s.size() && digit(s[*i + 1])) {
      ++*i;
    } else {
      break;
    }
  }
  return count;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// The form of the whole text; *plain is the text without digit separators.
Form classify(const std::string& t, std::string* plain) {
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  const std::string word = lower(t.substr(i));
  if (word == "inf" || word == "infinity") return Form::Infinity;
  if (word == "nan") return Form::NaN;
  const bool hex = t.size() - i >= 2 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X');
  if (hex) i += 2;
  size_t digits = digit_run(t, &i, hex);
  if (i < t.size() && t[i] == '.') {
    ++i;
    digits += digit_run(t, &i, hex);
  }
  if (digits == 0) return Form::Invalid;
  if (i < t.size() && (t[i] | 0x20) == (hex ? 'p' : 'e')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digit_run(t, &i, false) == 0) return Form::Invalid;
  }
  if (i != t.size()) return Form::Invalid;
  plain->clear();
  for (char c : t)
    if (c != '_') *plain += c;
  return hex ? Form::Hex : Form::Decimal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text in a block of exactly its size, so any read past it is caught.
  const std::vector<uint8_t> bytes(data, data + size);
  const std::string text(data, data + size);
  const double sentinel = 12345.0;
  double got = sentinel;
  const Error e = decimal_to_double(bytes.empty() ? nullptr : bytes.data(), size, &got);

  std::string plain;
  const Form form = classify(text, &plain);
  if (form == Form::Invalid) {
    FUZZ_CHECK(e == Error::InvalidCharacter, "'%s' converted to %a, want InvalidCharacter",
               fuzz::escaped(text).c_str(), got);
    FUZZ_CHECK(std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(sentinel), "failure wrote the result");
    return 0;
  }
  FUZZ_CHECK(e == Error::None, "'%s' refused (%s)", fuzz::escaped(text).c_str(), error_name(e));
  const bool negative = text[0] == '-';
  switch (form) {
    case Form::Infinity:
      FUZZ_CHECK(std::isinf(got) && std::signbit(got) == negative, "'%s' gave %a",
                 fuzz::escaped(text).c_str(), got);
      break;
    case Form::NaN:
      FUZZ_CHECK(std::isnan(got), "'%s' gave %a", fuzz::escaped(text).c_str(), got);
      break;
    default: {
      char* end = nullptr;
      const double want = std::strtod(plain.c_str(), &end);
      FUZZ_CHECK(end == plain.c_str() + plain.size(), "strtod stopped early in '%s'",
                 fuzz::escaped(plain).c_str());
      FUZZ_CHECK(std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want),
                 "'%s' gave %a (%016llx), strtod %a (%016llx)", fuzz::escaped(text).c_str(), got,
                 static_cast<unsigned long long>(std::bit_cast<uint64_t>(got)), want,
                 static_cast<unsigned long long>(std::bit_cast<uint64_t>(want)));
      break;
    }
  }
  double finite = sentinel;
  FUZZ_CHECK(parse_finite(bytes.data(), size, &finite) == std::isfinite(got), "parse_finite disagrees");
  return 0;
}
