// The predicate test against its rule: numeric comparison of the converted values
// when both texts are finite numbers, bytewise otherwise. Plain decimals of up to
// 15 significant digits take an exact path that must agree with the conversion.
#include "scan/predicate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace quelta {
namespace {

// Texts around a few magnitudes, so that values and fields often tie or nearly
// tie: plain decimals (short, up to 17 digits, leading and trailing zeros), with
// an exponent, and a word or two that are not numbers.
std::string random_text(std::mt19937_64& rng) {
  auto pick = [&rng](uint64_t n) { return rng() % n; };
  if (pick(20) == 0) return pick(2) ? "abc" : "";
  std::string t = pick(4) == 0 ? "-" : pick(10) == 0 ? "+" : "";
  std::string digits = pick(3) == 0 ? std::string(1 + pick(3), '0') : "";
  const size_t n = 1 + pick(pick(3) == 0 ? 17 : 6);
  for (size_t i = 0; i < n; ++i) digits += char('0' + (pick(4) == 0 ? 9 : pick(10)));
  if (pick(3) == 0) digits += std::string(1 + pick(4), '0');
  const size_t point = pick(digits.size() + 3);
  if (point <= digits.size()) digits.insert(point, ".");
  t += digits;
  if (pick(8) == 0) t += "e" + std::to_string(int(pick(7)) - 3);
  return t;
}

bool oracle(const std::string& field, const std::string& value, Op op) {
  char* fe = nullptr;
  char* ve = nullptr;
  const double x = std::strtod(field.c_str(), &fe), y = std::strtod(value.c_str(), &ve);
  int order;
  if (!field.empty() && !value.empty() && *fe == 0 && *ve == 0) {
    order = x < y ? -1 : x > y ? 1 : 0;
  } else {
    order = field.compare(value);
    order = order < 0 ? -1 : order > 0 ? 1 : 0;
  }
  switch (op) {
    case Op::Ne:
      return order != 0;
    case Op::Gt:
      return order > 0;
    case Op::Ge:
      return order >= 0;
    case Op::Lt:
      return order < 0;
    case Op::Le:
      return order <= 0;
    default:
      return order == 0;
  }
}

TEST(PredicateTest, ComparisonsMatchTheConvertedValues) {
  std::mt19937_64 rng(915);
  size_t plain_pairs = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::string value = random_text(rng);
    // Half the fields are the value written another way: more or fewer zeros, a sign.
    std::string field = random_text(rng);
    if (i % 2 == 0 && !value.empty() && value != "abc") {
      field = value;
      if (field.find('.') == std::string::npos && field.find('e') == std::string::npos) field += ".";
      if (field.find('e') == std::string::npos) field += std::string(rng() % 3, '0');
      if (rng() % 3 == 0 && std::isdigit(uint8_t(field.back()))) field.back() = char('0' + rng() % 10);
    }
    const int op = int(rng() % 6);
    Predicate src{0, op, value.c_str(), nullptr, 0};
    PredicateSet set;
    ASSERT_EQ(prepare_predicates(&src, 1, &set), PrepareResult::Ok);
    const FieldView f{reinterpret_cast<const uint8_t*>(field.data()), field.size()};
    ASSERT_EQ(test_row(&f, 1, set, false), oracle(field, value, Op(op)))
        << "'" << field << "' op " << op << " '" << value << "'";
    PlainNumber a;
    plain_pairs += read_plain_number(f.ptr, f.len, &a) && set.items[0].plain_value;
    // What an operator on the same column reads back is the field's converted value.
    if (set.items[0].numeric && test_row(&f, 1, set, false) && set.items[0].last_numeric) {
      ASSERT_EQ(set.items[0].last_value(), std::strtod(field.c_str(), nullptr)) << field;
    }
    free_predicates(&set);
  }
  EXPECT_GT(plain_pairs, 80000u);
}

}  // namespace
}  // namespace quelta
