// Schema parsing: key rules and failures in checking order, column binding,
// one_of texts (checked against strtod and printf as oracles) and the one_of
// set, and allocation failures.
#include "validate/schema.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/fault.h"

namespace quelta {
namespace {

std::string text_of(FieldView v) { return std::string(reinterpret_cast<const char*>(v.ptr), v.len); }

// The header as views into the caller's strings.
struct Header {
  std::vector<std::string> names;
  std::vector<FieldView> views;
  explicit Header(std::vector<std::string> n) : names(std::move(n)) {
    for (const std::string& s : names)
      views.push_back({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
  }
};

// A rule as text: only what differs from the defaults.
std::string show(const ColumnRule& r) {
  static const char* const kTypes[] = {"any", "integer", "float", "boolean", "datetime", "string"};
  char buf[64];
  std::string s = text_of(r.name) + "@" + std::to_string(r.column) + " " + kTypes[static_cast<int>(r.type)];
  if (r.required) s += " required";
  if (r.has_min) std::snprintf(buf, sizeof buf, " min=%g", r.min), s += buf;
  if (r.has_max) std::snprintf(buf, sizeof buf, " max=%g", r.max), s += buf;
  if (r.has_min_len) s += " min_len=" + std::to_string(r.min_len);
  if (r.has_max_len) s += " max_len=" + std::to_string(r.max_len);
  for (size_t i = 0; i < r.n_one_of; ++i) s += (i ? "|" : " one_of=") + text_of(r.one_of[i]);
  return s;
}

struct Parsed {
  Error error;
  std::vector<std::string> rules;
  size_t n_header_columns;
};

Parsed parse(const std::string& text, const Header& h) {
  Schema s;
  Parsed p{schema_parse(reinterpret_cast<const uint8_t*>(text.data()), text.size(), h.views.data(),
                        h.views.size(), &s),
           {},
           s.n_header_columns};
  for (size_t i = 0; i < s.n_rules; ++i) p.rules.push_back(show(s.rules[i]));
  schema_free(&s);
  return p;
}

const Header kAbc({"a", "b", "c"});

TEST(Schema, KeyRulesAndFailures) {
  const struct {
    const char* schema;
    Error error;
    const char* rule;  // the only rule, when parsing succeeds
  } cases[] = {
      {R"({"a":{}})", Error::None, "a@0 any"},
      {R"({"a":{"type":"integer","required":true}})", Error::None, "a@0 integer required"},
      {R"({"b":{"type":"datetime","required":false}})", Error::None, "b@1 datetime"},
      {R"({"c":{"min":-1,"max":2.5,"min_len":0,"max_len":9}})", Error::None,
       "c@2 any min=-1 max=2.5 min_len=0 max_len=9"},
      {R"({"a":{"min":1e400,"max":123456789012345678901234567890}})", Error::None,
       "a@0 any min=inf max=1.23457e+29"},
      {R"({"a":{"min":-1e400,"max":123456789012345678901234567890}})", Error::None,
       "a@0 any min=-inf max=1.23457e+29"},
      {R"({"a":{"one_of":[]}})", Error::None, "a@0 any"},
      {R"({"a":{"one_of":[1.0,2.50,"x",-5,1e2,0.001,-0.0,""]}})", Error::None,
       "a@0 any one_of=1|2.5|x|-5|100|0.001|-0|"},
      {R"({"a":{"type":"Integer"}})", Error::BadSchema, nullptr},
      {R"({"a":{"type":1}})", Error::BadSchema, nullptr},
      {R"({"a":{"required":1}})", Error::BadSchema, nullptr},
      {R"({"a":{"min":"1"}})", Error::BadSchema, nullptr},
      {R"({"a":{"max":null}})", Error::BadSchema, nullptr},
      {R"({"a":{"min_len":2.0}})", Error::BadSchema, nullptr},
      {R"({"a":{"min_len":-1}})", Error::BadSchema, nullptr},
      {R"({"a":{"max_len":99999999999999999999}})", Error::BadSchema, nullptr},
      {R"({"a":{"one_of":"x"}})", Error::BadSchema, nullptr},
      {R"({"a":{"one_of":[1e400]}})", Error::BadSchema, nullptr},
      {R"({"a":{"one_of":[true]}})", Error::BadSchema, nullptr},
      {R"({"a":{"one_of":[["x"]]}})", Error::BadSchema, nullptr},
      {R"({"a":{"Type":"any"}})", Error::BadSchema, nullptr},
      {R"({"a":{"minimum":1}})", Error::BadSchema, nullptr},
      {R"({"a":{"type":"any","type":"any"}})", Error::BadSchema, nullptr},
      {R"({"a":{},"a":{}})", Error::BadSchema, nullptr},
      {R"({"a":5})", Error::BadSchema, nullptr},
      {R"([{"a":{}}])", Error::BadSchema, nullptr},
      {R"({"a":{}} x)", Error::BadSchema, nullptr},
      {"{\"a\":{\"one_of\":[\"\xc3\x28\"]}}", Error::BadSchema, nullptr},
      {R"({"A":{}})", Error::UnknownColumn, nullptr},
      {R"({"a ":{}})", Error::UnknownColumn, nullptr},
      // The first failing step decides: the name is looked up before its value is checked.
      {R"({"x":5})", Error::UnknownColumn, nullptr},
      {R"({"a":{"type":"bad"},"x":{}})", Error::BadSchema, nullptr},
      {R"({"a":{},"x":{"type":"bad"}})", Error::UnknownColumn, nullptr},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.schema, kAbc);
    EXPECT_EQ(p.error, c.error) << c.schema;
    if (c.rule) {
      EXPECT_EQ(p.rules, std::vector<std::string>{c.rule}) << c.schema;
    }
  }
}

// Every row of an input checked with {} is compared with the header's width.
TEST(Schema, HeaderWidthRecordedInEveryCase) {
  EXPECT_EQ(parse("{}", kAbc).n_header_columns, 3u);
  EXPECT_TRUE(parse(" {} ", kAbc).rules.empty());
  EXPECT_EQ(parse(R"({"b":{}})", kAbc).n_header_columns, 3u);
  const Header empty({});
  EXPECT_EQ(parse("{}", empty).error, Error::None);
  EXPECT_EQ(parse(R"({"a":5})", empty).error, Error::UnknownColumn);
}

TEST(Schema, Binding) {
  const Header ba({"b", "a"});
  EXPECT_EQ(parse(R"({"a":{},"b":{}})", ba).rules, (std::vector<std::string>{"a@1 any", "b@0 any"}));
  const Header twice({"x", "a", "a", ""});
  EXPECT_EQ(parse(R"({"a":{},"":{}})", twice).rules, (std::vector<std::string>{"a@1 any", "@3 any"}));
  const Header age({"age"});
  EXPECT_EQ(parse(R"({"Age":{}})", age).error, Error::UnknownColumn);
  const Header escaped({"a\"b\xc3\xa9"});
  EXPECT_EQ(parse(R"({"a\"b\u00e9":{}})", escaped).rules.size(), 1u);
}

// Wide headers are hashed: every key binds to the first column of its name, as
// a first-wins map says, and a million keys bind without a pass per key.
TEST(Schema, BindingWideHeaders) {
  std::mt19937 rng(7);
  for (size_t width : {33u, 200u, 1000000u}) {
    std::vector<std::string> names;
    for (size_t i = 0; i < width; ++i)
      names.push_back("c" + std::to_string(width < 1000 ? rng() % width : i));
    const Header h(names);
    std::unordered_map<std::string, size_t> first;
    for (size_t i = 0; i < width; ++i) first.emplace(names[i], i);
    std::string schema = "{";
    std::vector<std::string> keys;
    for (const auto& [name, column] : first) keys.push_back(name);
    for (const std::string& k : keys) schema += (schema.size() > 1 ? ",\"" : "\"") + k + "\":{}";
    schema += "}";
    const Parsed p = parse(schema, h);
    ASSERT_EQ(p.error, Error::None) << width;
    ASSERT_EQ(p.rules.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i)
      ASSERT_EQ(p.rules[i], keys[i] + "@" + std::to_string(first[keys[i]]) + " any") << width;
    EXPECT_EQ(parse(schema.substr(0, schema.size() - 1) + ",\"missing\":{}}", h).error, Error::UnknownColumn);
  }
}

// The fewest significant digits with which printf's %e round-trips v.
int shortest_digits(double v) {
  char buf[64];
  for (int p = 0;; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p, v);
    if (std::strtod(buf, nullptr) == v) return p + 1;
  }
}

int significant_digits(const std::string& t) {
  std::string d;
  for (char c : t)
    if (c >= '0' && c <= '9') d += c;
  size_t a = d.find_first_not_of('0'), b = d.find_last_not_of('0');
  return a == std::string::npos ? 1 : static_cast<int>(b - a + 1);
}

TEST(Schema, PlainDoubleText) {
  const struct {
    double v;
    const char* text;
  } cases[] = {
      {1.5, "1.5"},
      {1.0, "1"},
      {1e2, "100"},
      {0.001, "0.001"},
      {-0.0, "-0"},
      {0.0, "0"},
      {-2.5e-7, "-0.00000025"},
      {123.456, "123.456"},
      {1e21, "1000000000000000000000"},
      {0.1 + 0.2, "0.30000000000000004"},
  };
  char buf[kPlainDoubleMax];
  for (const auto& c : cases) EXPECT_EQ(std::string(buf, format_plain_double(c.v, buf)), c.text);

  // Any finite double: no exponent, reads back exactly, and as few digits as printf needs.
  std::mt19937_64 rng(7);
  std::vector<double> values = {5e-324, -1.7976931348623157e308, 2.2250738585072009e-308, 9007199254740993.0};
  for (int i = 0; i < 10000; ++i) values.push_back(std::bit_cast<double>(rng()));
  for (double v : values) {
    if (!std::isfinite(v)) continue;
    const size_t n = format_plain_double(v, buf);
    ASSERT_LE(n, kPlainDoubleMax);
    const std::string t(buf, n);
    ASSERT_EQ(t.find_first_of("eE"), std::string::npos) << t;
    ASSERT_EQ(std::bit_cast<uint64_t>(std::strtod(t.c_str(), nullptr)), std::bit_cast<uint64_t>(v)) << t;
    ASSERT_EQ(significant_digits(t), shortest_digits(v)) << t;
  }
}

// Above 31 entries the set answers; it must agree with a linear search.
TEST(Schema, OneOfSet) {
  for (size_t n : {31u, 32u, 300u}) {
    std::string schema = R"({"a":{"one_of":["",)";
    std::vector<std::string> items = {""};
    for (size_t i = 1; i < n; ++i) {
      std::string item = i % 7 == 0 ? "v" + std::to_string(i / 2) : std::to_string(i * 37);
      items.push_back(item);
      schema += (i % 3 == 0 ? "\"" + item + "\"" : (item[0] == 'v' ? "\"" + item + "\"" : item)) + ",";
    }
    schema.back() = ']';
    schema += "}}";
    Schema s;
    ASSERT_EQ(schema_parse(reinterpret_cast<const uint8_t*>(schema.data()), schema.size(), kAbc.views.data(),
                           3, &s),
              Error::None);
    const ColumnRule& r = s.rules[0];
    EXPECT_EQ(r.use_set, n > kOneOfLinearMax);
    ASSERT_EQ(r.n_one_of, n);
    std::vector<std::string> probes = items;
    for (const char* extra : {" ", "v", "00", "37 ", "v1x"}) probes.push_back(extra);
    for (const std::string& p : probes) {
      bool linear = false;
      for (const std::string& it : items) linear |= it == p;
      EXPECT_EQ(one_of_contains(r, FieldView{reinterpret_cast<const uint8_t*>(p.data()), p.size()}), linear)
          << n << " '" << p << "'";
    }
    schema_free(&s);
  }
}

TEST(Schema, AllocationFailures) {
  std::string schema = R"({"c":{"type":"float","min":0,"max":1e400},"a":{"type":"string","one_of":[)";
  for (int i = 0; i < 40; ++i) schema += std::to_string(i) + ".5,\"s\\n" + std::to_string(i) + "\",";
  schema += R"(7]},"b":{"required":true,"max_len":3}})";
  test::sweep_allocation_failures([&] {
    Schema s;
    Error e = schema_parse(reinterpret_cast<const uint8_t*>(schema.data()), schema.size(), kAbc.views.data(),
                           3, &s);
    if (failed(e)) {
      // Memory running out while the document is read makes it unreadable.
      EXPECT_TRUE(e == Error::OutOfMemory || e == Error::BadSchema) << error_name(e);
      EXPECT_EQ(s.n_rules, 0u);
    } else {
      EXPECT_EQ(s.n_rules, 3u);
    }
    schema_free(&s);
    return failed(e);
  });
}

}  // namespace
}  // namespace quelta
