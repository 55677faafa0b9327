// One column's profile against figures computed here from the same values:
// counts by kind, numeric range and mean, lengths, smallest and largest text,
// and the distinct values, on streams that stay in the exact table, that leave
// it midway (values seen before and after it gives up), and that press on the
// 8-byte prefix comparisons (shared prefixes, proper prefixes, NUL bytes).
#include "profile/column_profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "input/decimal.h"
#include "input/value_text.h"

namespace quelta {
namespace {

FieldView view(const std::string& s) {
  return FieldView{reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

// Code points of well-formed UTF-8 (the streams below hold no other text).
uint64_t code_points(const std::string& s) {
  return static_cast<uint64_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<uint8_t>(c) & 0xC0) != 0x80; }));
}

void check_stream(const std::vector<std::string>& values) {
  ColumnProfile c;
  for (const std::string& v : values) ASSERT_EQ(column_profile_add(&c, view(v)), Error::None);
  ASSERT_EQ(column_profile_finish(&c), Error::None);

  uint64_t blanks = 0, numeric = 0, integers = 0, booleans = 0, datetimes = 0, texts = 0;
  double low = INFINITY, high = -INFINITY, sum = 0;
  std::map<std::string, uint64_t> counts;
  std::vector<const std::string*> present;
  for (const std::string& v : values) {
    if (blank(v)) {
      ++blanks;
      continue;
    }
    present.push_back(&v);
    ++counts[v];
    const FieldView t = trim_space_tab(view(v));
    double x;
    const bool is_number = parse_finite(t.ptr, t.len, &x);
    numeric += is_number;
    integers += is_integer_text(t);
    booleans += is_boolean_text(t);
    datetimes += is_datetime_text(t);
    texts += !is_number && !is_integer_text(t) && !is_boolean_text(t) && !is_datetime_text(t);
    if (is_number) {
      low = std::min(low, x);
      high = std::max(high, x);
      sum += x;
    }
  }
  EXPECT_EQ(c.rows, values.size());
  EXPECT_EQ(c.blanks, blanks);
  EXPECT_EQ(c.numeric, numeric);
  EXPECT_EQ(c.integers, integers);
  EXPECT_EQ(c.booleans, booleans);
  EXPECT_EQ(c.datetimes, datetimes);
  EXPECT_EQ(c.texts, texts);
  EXPECT_EQ(c.quantiles.count, numeric);
  if (numeric) {
    EXPECT_EQ(c.min, low);
    EXPECT_EQ(c.max, high);
    EXPECT_NEAR(c.mean, sum / static_cast<double>(numeric), 1e-9 * std::max(std::fabs(low), std::fabs(high)));
  }
  if (!present.empty()) {
    const auto by_bytes = [](const std::string* a, const std::string* b) { return *a < *b; };
    const auto by_length = [](const std::string* a, const std::string* b) {
      return code_points(*a) < code_points(*b);
    };
    EXPECT_EQ(std::string(c.min_text.data, c.min_text.data + c.min_text.len),
              **std::min_element(present.begin(), present.end(), by_bytes));
    EXPECT_EQ(std::string(c.max_text.data, c.max_text.data + c.max_text.len),
              **std::max_element(present.begin(), present.end(), by_bytes));
    EXPECT_EQ(c.min_length, code_points(**std::min_element(present.begin(), present.end(), by_length)));
    EXPECT_EQ(c.max_length, code_points(**std::max_element(present.begin(), present.end(), by_length)));
  }
  const double distinct = static_cast<double>(counts.size());
  if (counts.size() <= kDistinctExactMax) {
    ASSERT_TRUE(c.exact);
    ASSERT_EQ(c.distinct.values.len, counts.size());
    for (size_t i = 0; i < c.distinct.values.len; ++i) {
      const DistinctValue& d = c.distinct.values.data[i];
      const std::string text(c.distinct.texts.data + d.offset, c.distinct.texts.data + d.offset + d.len);
      EXPECT_EQ(d.count, counts[text]) << text;
    }
  } else {
    EXPECT_FALSE(c.exact);
    EXPECT_LE(std::fabs(column_distinct_count(c) - distinct), 3 * kHllStandardError * distinct);
  }
  column_profile_free(&c);
}

TEST(ColumnProfile, MatchesFiguresComputedFromTheValues) {
  std::mt19937_64 rng(5);
  const std::vector<std::string> mixed = {
      "12", "-3", "4.5e2", "true", "FALSE", "2024-02-29", "n/a",   "",      " 8 ", "é",
      "0",  "-0", "-0.0",  "\t",   "inf",   "nan",        "1_000", "0x1p3", "  ",  "2024-01-16T01:03:27"};
  struct Stream {
    const char* name;
    std::vector<std::string> values;
  };
  std::vector<Stream> streams;
  {  // few values, all kinds: the table holds them to the end
    Stream s{"few mixed", {}};
    for (int i = 0; i < 20000; ++i) s.values.push_back(mixed[rng() % mixed.size()]);
    streams.push_back(s);
  }
  {  // repeats, then new values past the table's size, then repeats of values from before
    Stream s{"leaves the table", {}};
    for (int i = 0; i < 5000; ++i)
      s.values.push_back(rng() % 2 ? mixed[rng() % mixed.size()] : std::to_string(rng() % 600));
    for (int i = 0; i < 3000; ++i)
      s.values.push_back(std::to_string(rng() % 100000) + "." + std::to_string(rng() % 100));
    for (int i = 0; i < 5000; ++i)
      s.values.push_back(rng() % 2 ? mixed[rng() % mixed.size()] : std::to_string(rng() % 600));
    streams.push_back(s);
  }
  {  // texts that share their first eight bytes or are prefixes of each other, some with NUL bytes
    Stream s{"shared prefixes", {}};
    const std::vector<std::string> stems = {
        "abcdefgh", "abcdefg", "abcdefgh\x01", std::string("abc\0", 4), std::string("abc\0\0", 5),
        "abcdéfgh", "b",       "abcdefgi"};
    for (int i = 0; i < 30000; ++i) {
      std::string v = stems[rng() % stems.size()];
      if (rng() % 3 == 0) v += std::string(rng() % 12, static_cast<char>('a' + rng() % 3));
      if (rng() % 50 == 0) v += std::to_string(rng());
      s.values.push_back(v);
    }
    streams.push_back(s);
  }
  for (int round = 0; round < 40; ++round) {  // short texts whose order rests on every byte
    Stream s{"short texts", {}};
    for (int i = 0; i < 50; ++i) {
      std::string v;
      for (size_t n = 1 + rng() % 4; n > 0; --n) v += "ab\0z"[rng() % 4];
      s.values.push_back(v);
    }
    streams.push_back(s);
  }
  streams.push_back(Stream{"only blanks", {"", " ", "\t", "\r\n", ""}});
  for (const Stream& s : streams) {
    SCOPED_TRACE(s.name);
    check_stream(s.values);
  }
}

}  // namespace
}  // namespace quelta
