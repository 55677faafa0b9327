// Predicates, negation, max_column and projection as seen through quelta_next.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "api/scanner_test_support.h"
#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

class ScannerPredicates : public ::testing::Test {
 protected:
  // A one-column file "v" holding values, one per row; returns the values
  // that pass the options.
  std::vector<std::string> matching(const std::vector<std::string>& values, const ScanOptions& o) {
    std::string text = "v\n";
    for (const auto& v : values) text.append(v).append("\n");
    std::vector<std::string> out;
    for (const Row& r : read_all(dir.write("t.csv", text), &o))
      out.push_back(r.empty() ? "<no field>" : r[0]);
    return out;
  }
  TempDir dir;
};

struct CompareCase {
  const char* label;
  int32_t op;
  const char* value;
  std::vector<std::string> values;
  std::vector<std::string> expected;
};

TEST_F(ScannerPredicates, EveryOperatorNumericAndBytewise) {
  const std::vector<std::string> around_ten = {"9.5", "10.5", "abc", "10", "1e1", "9", "0x10", "-11"};
  const CompareCase cases[] = {
      {"gt", QUELTA_OP_GT, "10", around_ten, {"10.5", "abc", "0x10"}},
      {"ge", QUELTA_OP_GE, "10", around_ten, {"10.5", "abc", "10", "1e1", "0x10"}},
      {"lt", QUELTA_OP_LT, "10", around_ten, {"9.5", "9", "-11"}},
      {"le", QUELTA_OP_LE, "10", around_ten, {"9.5", "10", "1e1", "9", "-11"}},
      {"eq numeric",
       QUELTA_OP_EQ,
       "1.0",
       {"1", "1.0", "1e0", "01", "1_0", "x", " 1", "1.5"},
       {"1", "1.0", "1e0", "01"}},
      {"eq text", QUELTA_OP_EQ, "x", {"x", "X", "xx", "", "x "}, {"x"}},
      {"ne numeric", QUELTA_OP_NE, "1", {"1", "1.0", "2", "a", ""}, {"2", "a", ""}},
      {"eq empty", QUELTA_OP_EQ, "", {"", "a", "0"}, {""}},
      {"ne empty", QUELTA_OP_NE, "", {"", "a", "0"}, {"a", "0"}},
      {"gt prefix is smaller", QUELTA_OP_GT, "ab", {"abc", "ab", "a", "b", "B"}, {"abc", "b"}},
      {"bytes are unsigned", QUELTA_OP_GT, "z", {"\xC3\xA9", "a", "~"}, {"\xC3\xA9", "~"}},
      {"inf is text", QUELTA_OP_EQ, "inf", {"inf", "INF", "Infinity", "1e400"}, {"inf"}},
      {"+inf is text", QUELTA_OP_LT, "+inf", {"5", "*", "-1"}, {"*"}},
      {"-inf is text", QUELTA_OP_GT, "-inf", {"-5", "5", "-z"}, {"5", "-z"}},
      {"nan is text", QUELTA_OP_NE, "nan", {"nan", "NaN", "1"}, {"NaN", "1"}},
      {"unknown op is eq", 42, "1", {"1", "1.0", "2", "x"}, {"1", "1.0"}},
      {"negative op is eq", -3, "b", {"a", "b", "c"}, {"b"}},
  };
  for (const auto& c : cases) {
    Predicate p = predicate(0, c.op, c.value);
    ScanOptions o = no_options();
    o.predicates = &p;
    o.n_predicates = 1;
    EXPECT_EQ(matching(c.values, o), c.expected) << c.label;
  }
}

TEST_F(ScannerPredicates, InLists) {
  const struct {
    const char* label;
    std::vector<const char*> list;
    std::vector<std::string> expected;
  } cases[] = {
      {"empty list", {}, {}},
      {"numbers and text", {"1", "b"}, {"1", "1.00", "b", "01"}},
      {"empty text", {"", "x"}, {"", "x"}},
      {"inf stays text", {"inf"}, {"inf"}},
  };
  const std::vector<std::string> values = {"1", "1.00", "b", "B", "2", "01", "", "x", "inf", "INF", "1e400"};
  for (const auto& c : cases) {
    Predicate p = in_predicate(0, c.list.data(), c.list.size());
    ScanOptions o = no_options();
    o.predicates = &p;
    o.n_predicates = 1;
    EXPECT_EQ(matching(values, o), c.expected) << c.label;
    o.negate = 1;
    std::vector<std::string> rest;
    for (const auto& v : values)
      if (std::find(c.expected.begin(), c.expected.end(), v) == c.expected.end()) rest.push_back(v);
    EXPECT_EQ(matching(values, o), rest) << c.label << " negated";
  }
}

TEST_F(ScannerPredicates, OptionsAreCopiedOrKeptAsDocumented) {
  std::string path = dir.write("t.csv", "v,w\nred,1\nblue,2\ngreen,3\n");
  char in_text[] = "blue";
  const char* list[] = {in_text};
  std::vector<Predicate> preds = {in_predicate(0, list, 1), predicate(1, QUELTA_OP_GE, "2")};
  ScanOptions o = no_options();
  o.predicates = preds.data();
  o.n_predicates = preds.size();
  ScannerHandle s = open_scanner(path, &o);
  ASSERT_TRUE(s);
  // The In texts are copied and the Predicate array may go away.
  std::memcpy(in_text, "gren", 4);
  list[0] = "red";
  preds.assign(2, predicate(0, QUELTA_OP_EQ, "nothing"));
  EXPECT_EQ(drain(s.get()), (Rows{{"blue", "2"}}));
}

TEST_F(ScannerPredicates, NegateConjunctionAndProjection) {
  std::string path = dir.write("t.csv", "k,n\nx,1\ny,2\nx,3\nx\n");
  ScanOptions o = no_options();
  o.negate = 1;
  EXPECT_EQ(read_all(path, &o), Rows{}) << "negate without predicates passes nothing";

  Predicate both[] = {predicate(0, QUELTA_OP_EQ, "x"), predicate(1, QUELTA_OP_GT, "1")};
  o = no_options();
  o.predicates = both;
  o.n_predicates = 2;
  EXPECT_EQ(read_all(path, &o), (Rows{{"x", "3"}}));
  o.negate = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{"x", "1"}, {"y", "2"}, {"x"}}));

  const size_t second[] = {1};  // the test sees the whole record, the output only the projection
  o = no_options();
  o.predicates = both;
  o.n_predicates = 1;
  o.projection = second;
  o.n_projection = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{"1"}, {"3"}, {""}}));
}

TEST_F(ScannerPredicates, MissingColumnsFailThePredicate) {
  std::string path = dir.write("t.csv", "a,b,c\n1,2,3\n4\n5,6,\n");
  Predicate p = predicate(2, QUELTA_OP_NE, "zzz");
  ScanOptions o = no_options();
  o.predicates = &p;
  o.n_predicates = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{"1", "2", "3"}, {"5", "6", ""}}));
  p = predicate(7, QUELTA_OP_EQ, "");
  EXPECT_EQ(read_all(path, &o), Rows{});
  o.negate = 1;
  EXPECT_EQ(read_all(path, &o).size(), 3u);
}

TEST_F(ScannerPredicates, MaxColumnCutsRecordsBeforeTheTest) {
  std::string path = dir.write("t.csv", "a,b,c\n1,2,3\n4,5,\"open\n");
  Predicate p = predicate(2, QUELTA_OP_EQ, "3");
  ScanOptions o = no_options();
  o.max_column = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{"1", "2"}, {"4", "5"}})) << "the open quote is never reached";
  o.predicates = &p;
  o.n_predicates = 1;
  EXPECT_EQ(read_all(path, &o), Rows{});
  const size_t third[] = {2};
  o = no_options();
  o.max_column = 1;
  o.projection = third;
  o.n_projection = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{""}, {""}}));
}

TEST_F(ScannerPredicates, JsonFieldsCompareLikeCsvFields) {
  std::string path = dir.write("t.jsonl",
                               "{\"k\":\"a\",\"n\":9.5}\n{\"k\":\"b\",\"n\":\"10.5\"}\n"
                               "{\"n\":11,\"k\":\"c\"}\n{\"k\":\"d\",\"n\":null}\n");
  Predicate p = predicate(1, QUELTA_OP_GT, "10");
  ScanOptions o = no_options();
  o.predicates = &p;
  o.n_predicates = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{"b", "10.5"}, {"c", "11"}}));
  p = predicate(1, QUELTA_OP_EQ, "");
  EXPECT_EQ(read_all(path, &o), (Rows{{"d", ""}})) << "null is empty on the fast path too";
}

// Short decimals are compared without being converted; every operator must
// still pick exactly the rows whose values strtod orders that way, and an
// aggregate behind the predicate must see the same numbers. Values and limits
// mix short texts (signs, points at either end, leading zeros, -0) with long
// and exponent forms that take the converting path.
TEST_F(ScannerPredicates, NumericComparisonsAgreeWithTheOracle) {
  std::mt19937_64 rng(23);
  auto number = [&rng] {
    std::string t = rng() % 3 == 0 ? "-" : rng() % 9 == 0 ? "+" : "";
    if (rng() % 6 == 0) return t + std::to_string(rng() % 1000) + "." + std::to_string(rng()) + "e-2";
    const size_t len = 1 + rng() % 8;
    const size_t point = rng() % (len + 3);
    for (size_t i = 0; i < len; ++i) t += i == point && len > 1 ? '.' : char('0' + rng() % (i < 2 ? 3 : 10));
    return t;
  };
  std::vector<std::string> values;
  for (int i = 0; i < 400; ++i) values.push_back(number());
  values.push_back("0");
  values.push_back("-0");
  const std::string path = dir.write("n.csv", [&] {
    std::string text = "v\n";
    for (const auto& v : values) text.append(v).append("\n");
    return text;
  }());
  const int32_t ops[] = {QUELTA_OP_EQ, QUELTA_OP_NE, QUELTA_OP_GT, QUELTA_OP_GE, QUELTA_OP_LT, QUELTA_OP_LE};
  for (int trial = 0; trial < 30; ++trial) {
    const std::string limit = trial < 2 ? values[static_cast<size_t>(trial) * 7] : number();
    const double l = std::strtod(limit.c_str(), nullptr);
    for (int32_t op : ops) {
      std::vector<std::string> want;
      double sum = 0;
      for (const std::string& v : values) {
        const double x = std::strtod(v.c_str(), nullptr);
        const bool pass = op == QUELTA_OP_EQ   ? x == l
                          : op == QUELTA_OP_NE ? x != l
                          : op == QUELTA_OP_GT ? x > l
                          : op == QUELTA_OP_GE ? x >= l
                          : op == QUELTA_OP_LT ? x < l
                                               : x <= l;
        if (!pass) continue;
        want.push_back(v);
        sum += x;
      }
      Predicate pred = predicate(0, op, limit.c_str());
      ScanOptions o = no_options();
      o.predicates = &pred;
      o.n_predicates = 1;
      ASSERT_EQ(matching(values, o), want) << "op " << op << " " << limit;
      Scanner* s = quelta_open(path.c_str(), &o);
      ASSERT_NE(s, nullptr);
      AggregateResult r{};
      ASSERT_EQ(quelta_aggregate(s, 0, &r), 0);
      quelta_close(s);
      EXPECT_EQ(r.count, want.size()) << "op " << op << " " << limit;
      EXPECT_EQ(r.sum, sum) << "op " << op << " " << limit;
    }
  }
}

}  // namespace
}  // namespace quelta::test
