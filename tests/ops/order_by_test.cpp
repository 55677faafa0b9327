// The order-by comparison on number keys, against the C library's correctly
// rounded strtod: whichever path decides (short words, long plain decimals, the
// full conversion), two numbers compare as their converted values do.
#include "ops/order_by.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace quelta {
namespace {

// A decimal text of the forms order-by meets: sign, leading zeros, a point
// anywhere, trailing zeros, up to 20 digits (past the exact paths' 15).
std::string random_decimal(std::mt19937_64& rng) {
  std::string text;
  switch (rng() % 4) {
    case 0:
      text += '-';
      break;
    case 1:
      text += '+';
      break;
    default:
      break;
  }
  const size_t zeros = rng() % 3 == 0 ? rng() % 4 : 0;
  text.append(zeros, '0');
  const size_t digits = 1 + rng() % (rng() % 4 == 0 ? 20 : 15);
  // Few distinct leading digits, so that long common prefixes and ties occur.
  std::string body;
  for (size_t i = 0; i < digits; ++i) body += static_cast<char>('0' + (i < 3 ? rng() % 3 : rng() % 10));
  if (rng() % 3 == 0) body.append(rng() % 4, '0');
  const size_t point = rng() % (body.size() + 2);
  if (point <= body.size()) body.insert(point, ".");
  return text + body;
}

TEST(OrderByBefore, DecimalsCompareAsTheirConvertedValues) {
  std::mt19937_64 rng(2323);
  // Neighbours in this list are compared too: the last ones are distinct
  // decimals of 16 to 18 digits that convert to one double.
  std::vector<std::string> keys = {"0",
                                   "-0",
                                   "0.0",
                                   "2",
                                   "2.0",
                                   "02.000",
                                   "4997.8005",
                                   "-499.51",
                                   "123456789012345",
                                   "123456789012345.5",
                                   "0.000000000000000000001",
                                   "99999999999999.9",
                                   "100000000000000",
                                   "1.00000000000000000001",
                                   ".5",
                                   "5.",
                                   "0.1",
                                   "0.10000000000000001",
                                   "9007199254740992",
                                   "9007199254740993",
                                   "1",
                                   "1.0000000000000001",
                                   "-2.00000000000000001",
                                   "-2"};
  for (int i = 0; i < 4000; ++i) keys.push_back(random_decimal(rng));
  for (size_t i = 0; i < keys.size(); ++i) {
    // Each key against a neighbour and against a random one.
    for (size_t j : {(i + 1) % keys.size(), static_cast<size_t>(rng() % keys.size())}) {
      const std::string& a = keys[i];
      const std::string& b = keys[j];
      FieldView fa{reinterpret_cast<const uint8_t*>(a.data()), a.size()};
      FieldView fb{reinterpret_cast<const uint8_t*>(b.data()), b.size()};
      const RowCopy ra{&fa, 1}, rb{&fb, 1};
      const double x = std::strtod(a.c_str(), nullptr), y = std::strtod(b.c_str(), nullptr);
      ASSERT_EQ(order_by_before(ra, rb, 0, false), x < y) << a << " vs " << b;
      ASSERT_EQ(order_by_before(ra, rb, 0, true), x > y) << a << " vs " << b;
    }
  }
}

}  // namespace
}  // namespace quelta
