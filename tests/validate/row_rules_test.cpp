// The field tests of the row step (datetime grammar, types, blanks, lengths)
// and the row step itself on hand-built schemas.
#include "validate/row_rules.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "validate/validator.h"

namespace quelta {
namespace {

FieldView view(const std::string& s) {
  return FieldView{reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
FieldView view_of(const char* s) { return FieldView{reinterpret_cast<const uint8_t*>(s), std::strlen(s)}; }

TEST(RowRules, DatetimeGrammar) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      // The documented examples.
      {"2024-02-29", true},
      {"2024-02-29T23:59", true},
      {"2024-02-29 23:59:60.123456789Z", true},
      {"2024-02-29T23:59:59+05:30", true},
      {"2023-02-29", false},
      {"0000-01-01", false},
      {"2024-1-01", false},
      {"2024-01-01T24:00", false},
      {"2024-01-01T10:00.5", false},
      {"2024-01-01T10:00:00+0530", false},
      {"2024-01-01T10:00:00 Z", false},
      // Month lengths.
      {"2023-01-31", true},
      {"2023-04-30", true},
      {"2023-04-31", false},
      {"2023-06-31", false},
      {"2023-09-31", false},
      {"2023-11-31", false},
      {"2023-12-31", true},
      {"2023-12-32", false},
      {"2023-01-00", false},
      {"2023-00-10", false},
      {"2023-13-10", false},
      // Leap years: by 4, not by 100, again by 400.
      {"2000-02-29", true},
      {"1900-02-29", false},
      {"2100-02-29", false},
      {"2400-02-29", true},
      {"1996-02-29", true},
      {"2024-02-30", false},
      {"0004-02-29", true},
      {"0001-01-01", true},
      {"9999-12-31", true},
      // Time of day and seconds.
      {"2024-01-01T00:00", true},
      {"2024-01-01T23:59", true},
      {"2024-01-01T12:60", false},
      {"2024-01-01t12:00", false},
      {"2024-01-01T12:0", false},
      {"2024-01-01T1200", false},
      {"2024-01-01T12:00:59", true},
      {"2024-01-01T12:00:60", true},
      {"2024-01-01T12:00:61", false},
      {"2024-01-01T12:00:99", false},
      {"2024-01-01T12:00:0", false},
      {"2024-01-01T12:00:", false},
      {"2024-01-01T12:00:5x", false},
      // Fractions.
      {"2024-01-01T12:00:00.5", true},
      {"2024-01-01T12:00:00.000000000001", true},
      {"2024-01-01T12:00:00.", false},
      {"2024-01-01T12:00:00.Z", false},
      {"2024-01-01T12:00:00.5.5", false},
      {"2024-01-01T12:00:00,5", false},
      // Zones.
      {"2024-01-01T12:00Z", true},
      {"2024-01-01T12:00z", true},
      {"2024-01-01T12:00:00-00:00", true},
      {"2024-01-01T12:00:00+23:59", true},
      {"2024-01-01T12:00:00+24:00", false},
      {"2024-01-01T12:00:00+05:60", false},
      {"2024-01-01T12:00:00+05:3", false},
      {"2024-01-01T12:00:00ZZ", false},
      {"2024-01-01T12:00+05:30", true},
      {"2024-01-01T12:00:00.25-08:00", true},
      {"2024-01-01Z", false},
      {"2024-01-01T", false},
      {"2024-01-01 ", false},
      {"2024/01/01", false},
      {"", false},
      {"2024-01-0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_datetime_text(view(c.text)), c.ok) << c.text;
}

TEST(RowRules, TypeTestsOnTrimmedText) {
  struct Case {
    ValueType type;
    const char* raw;  // trimmed of spaces and tabs first, as the row step does
    bool ok;
  };
  const Case cases[] = {
      {ValueType::Integer, "  -12  ", true},
      {ValueType::Integer, "+7", true},
      {ValueType::Integer, "123456789012345678901234567890", true},
      {ValueType::Integer, "\t0\t", true},
      {ValueType::Integer, "1.0", false},
      {ValueType::Integer, "+", false},
      {ValueType::Integer, "12a", false},
      {ValueType::Integer, "--1", false},
      {ValueType::Integer, "1 2", false},
      {ValueType::Integer, "1_000", false},
      {ValueType::Integer, "\r1", false},  // only spaces and tabs are trimmed
      {ValueType::Boolean, "TRUE", true},
      {ValueType::Boolean, "False", true},
      {ValueType::Boolean, " tRuE ", true},
      {ValueType::Boolean, "1", false},
      {ValueType::Boolean, "yes", false},
      {ValueType::Boolean, "t", false},
      {ValueType::Boolean, "truee", false},
      {ValueType::Boolean, "fals", false},
      {ValueType::Float, "1.5", true},
      {ValueType::Float, " -2e3 ", true},
      {ValueType::Float, "0x1p3", true},
      {ValueType::Float, "1_000.5", true},
      {ValueType::Float, "nan", false},
      {ValueType::Float, "1e999", false},
      {ValueType::Float, "-inf", false},
      {ValueType::Float, "abc", false},
      {ValueType::Datetime, " 2024-02-29T23:59 ", true},
      {ValueType::Datetime, "2024-02-30", false},
      {ValueType::String, "anything", true},
      {ValueType::Any, "\x01\xff", true},
  };
  for (const Case& c : cases) {
    double number = 0;
    EXPECT_EQ(passes_type(c.type, trim_space_tab(view(c.raw)), &number), c.ok)
        << "type " << int(c.type) << " text '" << c.raw << "'";
  }
  double number = 0;
  ASSERT_TRUE(passes_type(ValueType::Float, view("2.5"), &number));
  EXPECT_EQ(number, 2.5);
}

TEST(RowRules, BlankFields) {
  EXPECT_TRUE(is_blank(view("")));
  EXPECT_TRUE(is_blank(view(" \t\r\n ")));
  EXPECT_FALSE(is_blank(view(" x ")));
  EXPECT_FALSE(is_blank(view("\v")));
  EXPECT_EQ(trim_space_tab(view(" \t")).len, 0u);
}

// Code points by iconv, or the byte count when iconv refuses the bytes.
uint64_t iconv_length(const std::string& s) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  std::vector<char> out(4 * s.size() + 4);
  char* in = const_cast<char*>(s.data());
  size_t in_left = s.size();
  char* o = out.data();
  size_t out_left = out.size();
  size_t r = iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || in_left != 0) return s.size();
  return (out.size() - out_left) / 4;
}

std::string encode(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += char(cp);
  } else if (cp < 0x800) {
    s += char(0xC0 | cp >> 6);
    s += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += char(0xE0 | cp >> 12);
    s += char(0x80 | (cp >> 6 & 0x3F));
    s += char(0x80 | (cp & 0x3F));
  } else {
    s += char(0xF0 | cp >> 18);
    s += char(0x80 | (cp >> 12 & 0x3F));
    s += char(0x80 | (cp >> 6 & 0x3F));
    s += char(0x80 | (cp & 0x3F));
  }
  return s;
}

TEST(RowRules, LengthMatchesAnIndependentDecoder) {
  EXPECT_EQ(text_length(view("")), 0u);
  EXPECT_EQ(text_length(view("h\xC3\xA9llo w\xC3\xB6rld, \xF0\x9F\x98\x80!")), 15u);
  EXPECT_EQ(text_length(view("ab\xC3\x28")), 4u);       // not UTF-8: bytes
  EXPECT_EQ(text_length(view("\xED\xA0\x80xyz")), 6u);  // encoded surrogate
  EXPECT_EQ(text_length(view("\xC0\xAF")), 2u);         // overlong
  std::mt19937 rng(7);
  const uint32_t kRanges[][2] = {
      {0x20, 0x7E}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (int round = 0; round < 4000; ++round) {
    std::string s;
    int n = rng() % 40;
    bool ascii_run = rng() % 2;
    for (int i = 0; i < n; ++i) {
      const auto& r = kRanges[ascii_run ? 0 : rng() % 5];
      s += encode(r[0] + rng() % (r[1] - r[0] + 1));
    }
    if (round % 3 == 0 && !s.empty()) s[rng() % s.size()] = char(rng());  // maybe break it
    EXPECT_EQ(text_length(view(s)), iconv_length(s)) << ::testing::PrintToString(s);
  }
}

// A validator over CSV text in memory with rules built by hand.
struct HandBuilt {
  ValidatorState v;
  std::string csv;
  std::vector<ColumnRule> rules;

  HandBuilt(std::string text, std::vector<ColumnRule> r, size_t header_columns)
      : csv(std::move(text)), rules(std::move(r)) {
    EXPECT_EQ(open_input_memory(&v.scan.input, reinterpret_cast<const uint8_t*>(csv.data()), csv.size(),
                                false, InputParams{}),
              Error::None);
    v.schema.rules = rules.data();
    v.schema.n_rules = rules.size();
    v.schema.n_header_columns = header_columns;
  }
  ~HandBuilt() {
    scan_state_close(&v.scan);
    v.row_errors.release();
  }
  // "rule@column=value" for each recorded breach of the next row.
  std::string next(uint64_t budget = kUnlimitedErrors, RuleCounts* counts = nullptr) {
    RowResult r;
    EXPECT_EQ(validate_next_row(&v, budget, counts, &r), Error::None);
    if (!r.has_row) return "end";
    std::string out;
    for (size_t i = 0; i < r.n_errors; ++i) {
      const ValidationError& e = r.errors[i];
      EXPECT_EQ(e.row, r.row);
      if (!out.empty()) out.push_back(' ');
      out.append(rule_name(e.rule));
      if (e.has_column) out.append("@").append(std::to_string(e.column));
      out.append("=").append(reinterpret_cast<const char*>(e.value.ptr), e.value.len);
    }
    return out.empty() ? (r.invalid ? "invalid" : "ok") : out;
  }
};

ColumnRule rule(size_t column, ValueType type) {
  ColumnRule r;
  r.column = column;
  r.type = type;
  static const char kName[] = "col";
  r.name = FieldView{reinterpret_cast<const uint8_t*>(kName), 3};
  return r;
}

TEST(RowStep, BreachesInOrderWithCounts) {
  ColumnRule a = rule(0, ValueType::Integer);
  a.required = true;
  ColumnRule b = rule(1, ValueType::String);
  b.has_min = b.has_max = true;
  b.min = 10;
  b.max = 5;
  b.has_max_len = true;
  b.max_len = 3;
  static const FieldView kSet[] = {view_of("a"), view_of("b")};
  ColumnRule c = rule(2, ValueType::Any);
  c.one_of = const_cast<FieldView*>(kSet);
  c.n_one_of = 2;
  ColumnRule d = rule(1, ValueType::Float);
  d.has_min = true;
  d.min = 0;
  HandBuilt h(
      "x,y,z\n"
      "1,7,a\n"
      " -12 ,abcd, a\n"
      "\n"
      "1,2,b,extra\n"
      " \t,\xC3\xA9\xC3\xA9\xC3\xA9,b\n"
      "1.0,-1,c\n",
      {a, b, c, d}, 3);
  RuleCounts counts;
  EXPECT_EQ(h.next(kUnlimitedErrors, &counts), "below_min@1=7 above_max@1=7");
  EXPECT_EQ(h.next(kUnlimitedErrors, &counts),
            "bad_type@1=abcd too_long@1=abcd not_in_set@2= a bad_type@1=abcd");
  // A blank line is one empty field: too few fields, and the required first column.
  EXPECT_EQ(h.next(kUnlimitedErrors, &counts), "too_few_fields= missing_required@0=");
  EXPECT_EQ(h.next(kUnlimitedErrors, &counts), "too_many_fields= below_min@1=2");
  // Three code points in six bytes fit max_len 3; the blank field is only missing.
  EXPECT_EQ(h.next(kUnlimitedErrors, &counts),
            "missing_required@0= \t bad_type@1=\xC3\xA9\xC3\xA9\xC3\xA9 bad_type@1=\xC3\xA9\xC3\xA9\xC3\xA9");
  EXPECT_EQ(h.next(kUnlimitedErrors, &counts), "bad_type@0=1.0 below_min@1=-1 not_in_set@2=c below_min@1=-1");
  EXPECT_EQ(h.next(), "end");
  EXPECT_EQ(h.next(), "end");
  const uint64_t expected[kRuleCount] = {1, 1, 2, 5, 4, 1, 0, 1, 2};
  for (size_t i = 0; i < kRuleCount; ++i) EXPECT_EQ(counts.n[i], expected[i]) << rule_name(Rule(i));
  EXPECT_EQ(h.v.rows_total, 6u);
  EXPECT_EQ(h.v.rows_valid, 0u);
  EXPECT_EQ(h.v.rows_invalid, 6u);
}

TEST(RowStep, BudgetLimitsRecordsNotCounts) {
  ColumnRule a = rule(0, ValueType::Integer);
  ColumnRule b = rule(1, ValueType::Boolean);
  HandBuilt h("a,b\nx,y\n1,true\nx,y\n", {a, b}, 2);
  RuleCounts counts;
  EXPECT_EQ(h.next(0, &counts), "invalid");
  EXPECT_EQ(h.next(0, &counts), "ok");
  EXPECT_EQ(h.next(1, &counts), "bad_type@0=x");
  EXPECT_EQ(counts.n[static_cast<size_t>(Rule::BadType)], 4u);
  EXPECT_EQ(h.v.rows_invalid, 2u);
  EXPECT_EQ(h.v.rows_valid, 1u);
}

}  // namespace
}  // namespace quelta

namespace quelta {
namespace {

TEST(ErrorList, WithAndWithoutRow) {
  static const uint8_t kName[] = {'a', 'g', 'e'};
  static const uint8_t kValue[] = {'x', '"', 0xC3};
  ValidationError few;
  few.row = 7;
  ValidationError bad;
  bad.row = 7;
  bad.column = 2;
  bad.has_column = true;
  bad.rule = Rule::NotInSet;
  bad.column_name = FieldView{kName, 3};
  bad.value = FieldView{kValue, 2};
  ValidationError broken = bad;
  broken.value.len = 3;
  const ValidationError errors[] = {few, bad, broken};
  auto text = [&](size_t n, bool with_row) {
    MemorySink sink;
    EXPECT_EQ(write_error_list(sink, errors, n, with_row), Error::None);
    return std::string(reinterpret_cast<const char*>(sink.data()), sink.size());
  };
  EXPECT_EQ(text(0, true), "[]");
  EXPECT_EQ(text(3, true),
            R"([{"row":7,"column":null,"column_name":"","rule":"too_few_fields","value":""},)"
            R"({"row":7,"column":2,"column_name":"age","rule":"not_in_set","value":"x\""},)"
            R"({"row":7,"column":2,"column_name":"age","rule":"not_in_set","value":[120,34,195]}])");
  EXPECT_EQ(text(2, false), R"([{"column":null,"column_name":"","rule":"too_few_fields","value":""},)"
                            R"({"column":2,"column_name":"age","rule":"not_in_set","value":"x\""}])");
}

}  // namespace
}  // namespace quelta
