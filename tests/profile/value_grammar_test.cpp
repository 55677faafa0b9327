// The profile's grammar test against the shared value tests taken one by one:
// the same kinds and the same number, to the bit, on hand-picked edge cases and
// on many generated texts near the shapes the inline paths settle.
#include "profile/value_grammar.h"

#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "input/datetime_text.h"
#include "input/decimal.h"
#include "input/value_text.h"

namespace quelta {
namespace {

struct Kinds {
  uint8_t kinds = 0;
  double number = 0;
};

// What each grammar says of the trimmed text, asked of the shared tests directly.
Kinds expected(const std::string& text) {
  const FieldView t = trim_space_tab(FieldView{reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  Kinds k;
  if (parse_finite(t.ptr, t.len, &k.number)) k.kinds |= kGrammarNumeric;
  if (is_integer_text(t)) k.kinds |= kGrammarInteger;
  if (is_boolean_text(t)) k.kinds |= kGrammarBoolean;
  if (is_datetime_text(t)) k.kinds |= kGrammarDatetime;
  return k;
}

void check(const std::string& text) {
  SCOPED_TRACE("text \"" + text + "\"");
  const Kinds want = expected(text);
  double number = 0;
  const uint8_t got =
      grammar_kinds(FieldView{reinterpret_cast<const uint8_t*>(text.data()), text.size()}, &number);
  ASSERT_EQ(got, want.kinds);
  if (got & kGrammarNumeric) {
    ASSERT_EQ(std::bit_cast<uint64_t>(number), std::bit_cast<uint64_t>(want.number));
  }
}

TEST(ValueGrammar, EdgeCasesMatchTheSharedTests) {
  const char* cases[] = {"0",
                         "-0",
                         "+0",
                         "-0.0",
                         "007",
                         "1",
                         "-1",
                         "+1",
                         "12345678",
                         "123456789",
                         "999999999999999",
                         "1000000000000000",
                         "-9999999999999999",
                         "12345678901234567890",
                         "123456789012345678901234",
                         "1.5",
                         "-1.5",
                         "+1.5",
                         ".5",
                         "5.",
                         "-.5",
                         "1.",
                         "0.1",
                         "0.30000000000000004",
                         "9007199254740993",
                         "9007199254740993.0",
                         "900719925474099.3",
                         "2103.88",
                         "9999.99",
                         "9.0e-08",
                         "1e5",
                         "1E5",
                         "1e+5",
                         "1e-5",
                         "1.5e22",
                         "1.5e23",
                         "1e-22",
                         "1e-23",
                         "1e308",
                         "1e309",
                         "1e400",
                         "-1e400",
                         "1.5e",
                         "1.5e+",
                         "1.5e1234",
                         "1_000",
                         "1__000",
                         "1_000.5",
                         "0x1p3",
                         "0X1.8P1",
                         "0x",
                         "inf",
                         "-inf",
                         "+Infinity",
                         "nan",
                         "NaN",
                         "-nan",
                         "infinity",
                         "infinit",
                         "in",
                         "n",
                         "i",
                         "true",
                         "TRUE",
                         "True",
                         "tRuE",
                         "false",
                         "FALSE",
                         "fals",
                         "truee",
                         "t",
                         "yes",
                         "2024-02-29",
                         "2023-02-29",
                         "2024-01-16T01:03:27",
                         "2024-01-16 01:03",
                         "2024-01-16T01:03:27.123456789Z",
                         "2024-01-16T01:03:27+05:30",
                         "2024-13-01",
                         "2024-1",
                         "2024-",
                         "2024--01",
                         "0001-01-01",
                         "0000-01-01",
                         "2024-00-10",
                         "2024-01-00",
                         "2024-04-31",
                         "2024-01-01T24:00:00",
                         "2024-01-01T23:60:00",
                         "2024-01-01T23:59:60",
                         "2024-01-01T23:59:61",
                         "2024-01-01t23:59:59",
                         "2024-01-01T23:59:5x",
                         "2024-01-01X23:59:59",
                         "2024-01-01T23-59:59",
                         "2024-01-0a",
                         "12024-01-01",
                         "-2024-01-01",
                         "+2024-01-01",
                         " 2024-01-01",
                         "2024-01-01 ",
                         " 12 ",
                         "\t-3\t",
                         " 1.5 ",
                         " true",
                         "false\t",
                         " x",
                         "1 2",
                         "1,5",
                         "1.5.5",
                         "--1",
                         "+-1",
                         "-",
                         "+",
                         ".",
                         "e5",
                         "-e5",
                         "é",
                         "1é",
                         "\xff",
                         "1\xff",
                         "abc",
                         "y1a3a9db",
                         "note, missing",
                         "\"quoted\"",
                         "\r1",
                         "1\r",
                         "\n",
                         "0.000000000000000000001",
                         "0.0000000000000000000001",
                         "123456789.123456789",
                         "1234567890.123456789"};
  for (const char* c : cases) check(c);
}

TEST(ValueGrammar, GeneratedTextsMatchTheSharedTests) {
  std::mt19937_64 rng(11);
  auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  auto digits = [&](size_t most) {
    std::string s;
    const size_t n = rng() % (most + 1);
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  const std::vector<std::string> signs = {"", "", "", "-", "+"};
  const std::vector<std::string> exponents = {"", "", "", "e", "E", "e-", "e+", "E-"};
  const std::vector<std::string> noise = {"", "", "", "", "", " ", "\t", "_", "x", ".", "-", "a", ":", "T"};
  const std::vector<std::string> words = {"true", "FaLsE", "inf", "nan", "infinity", "tru", "n/a", "Quito"};
  for (int round = 0; round < 200000; ++round) {
    std::string s;
    switch (rng() % 4) {
      case 0:  // numbers of every length, occasionally broken
        s = pick(signs) + digits(22);
        if (rng() % 2) s += "." + digits(22);
        if (rng() % 3 == 0) s += pick(exponents) + digits(4);
        s.insert(rng() % (s.size() + 1), pick(noise));
        break;
      case 1: {  // dates and times, occasionally out of range or broken
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u%s%02u:%02u:%02u", static_cast<unsigned>(rng() % 10000),
                      static_cast<unsigned>(rng() % 14), static_cast<unsigned>(rng() % 33),
                      rng() % 2 ? "T" : " ", static_cast<unsigned>(rng() % 25),
                      static_cast<unsigned>(rng() % 61), static_cast<unsigned>(rng() % 62));
        s = buf;
        s.resize(rng() % 3 ? s.size() : rng() % (s.size() + 1));
        if (rng() % 4 == 0) s.insert(rng() % (s.size() + 1), pick(noise));
        break;
      }
      case 2:  // words in any case, around them spaces
        s = pick(words);
        for (char& ch : s)
          if (rng() % 2) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (rng() % 4 == 0) s.insert(rng() % (s.size() + 1), pick(noise));
        break;
      default:  // anything from a small alphabet
        for (size_t n = 1 + rng() % 12; n > 0; --n) s += "0123456789.-+eE_ xaT:tf"[rng() % 23];
        break;
    }
    if (s.empty() || s.find_first_not_of(" \t\r\n") == std::string::npos) continue;
    check(s);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace quelta
