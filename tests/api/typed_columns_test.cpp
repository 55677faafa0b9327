// Typed columns through the public header: each conversion over edge texts,
// datetimes against the C library's timegm, integers against strtoll, the
// inferred type of whole columns, the joined text, and every argument check.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "api/operator_support.h"
#include "ops/columnar.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

using Strings = std::vector<std::string>;

// A context holding the given columns (all of the same length).
ColumnarPtr context(const std::vector<Strings>& columns) {
  ColumnBuffer* buffers = nullptr;
  EXPECT_EQ(column_buffers_new(columns.size(), &buffers), Error::None);
  size_t rows = columns.empty() ? 0 : columns[0].size();
  for (size_t c = 0; c < columns.size(); ++c)
    for (const std::string& v : columns[c])
      EXPECT_TRUE(column_append(&buffers[c], reinterpret_cast<const uint8_t*>(v.data()), v.size()));
  return ColumnarPtr(columnar_context_create(buffers, columns.size(), rows));
}

struct Converted {
  std::vector<int64_t> ints;
  std::vector<double> doubles;
  std::vector<uint8_t> bools;
  std::vector<uint8_t> valid;
  ColumnCounts counts{};
};

enum class Kind { Float, Int, Bool, Datetime };

Converted convert(ColumnarCollectContext* ctx, Kind kind, size_t column = 0) {
  Converted out;
  size_t n = quelta_collect_columnar_n_rows(ctx);
  out.ints.assign(n + 1, -7);
  out.doubles.assign(n + 1, -7);
  out.bools.assign(n + 1, 7);
  out.valid.assign(n + 1, 7);
  int32_t rc = -1;
  switch (kind) {
    case Kind::Float:
      rc = quelta_collect_columnar_float64(ctx, column, out.doubles.data(), out.valid.data(), n, &out.counts);
      break;
    case Kind::Int:
      rc = quelta_collect_columnar_int64(ctx, column, out.ints.data(), out.valid.data(), n, &out.counts);
      break;
    case Kind::Bool:
      rc = quelta_collect_columnar_boolean(ctx, column, out.bools.data(), out.valid.data(), n, &out.counts);
      break;
    case Kind::Datetime:
      rc = quelta_collect_columnar_datetime(ctx, column, out.ints.data(), out.valid.data(), n, &out.counts);
      break;
  }
  EXPECT_EQ(rc, 0) << last_error();
  // Nothing is written past the n entries asked for.
  EXPECT_EQ(out.valid[n], 7);
  return out;
}

TEST(TypedColumns, EachTypeOverEdgeTexts) {
  // expect: the value as the integer/boolean/datetime conversion gives it, or
  // the double; blank: counted blank rather than invalid when not converted.
  struct Case {
    Kind kind;
    const char* text;
    bool ok;
    double number;  // the double, the integer, 1/0, or epoch seconds (datetimes)
    bool blank = false;
  } cases[] = {
      {Kind::Float, "2103.88", true, 2103.88},
      {Kind::Float, "-0.5e-3", true, -0.5e-3},
      {Kind::Float, "1_000", true, 1000},
      {Kind::Float, "0x1p3", true, 8},
      {Kind::Float, ".5", true, 0.5},
      {Kind::Float, "inf", false, 0},
      {Kind::Float, "-Infinity", false, 0},
      {Kind::Float, "nan", false, 0},
      {Kind::Float, "1e400", false, 0},
      {Kind::Float, "1e-400", true, 0},
      {Kind::Float, " 1", false, 0},
      {Kind::Float, "1,5", false, 0},
      {Kind::Float, "", false, 0, true},
      {Kind::Float, " \t\r\n", false, 0, true},
      {Kind::Int, "42", true, 42},
      {Kind::Int, "+42", true, 42},
      {Kind::Int, "-0", true, 0},
      {Kind::Int, "007", true, 7},
      {Kind::Int, "1_000_000", true, 1e6},
      {Kind::Int, "1__0", false, 0},
      {Kind::Int, "_1", false, 0},
      {Kind::Int, "1_", false, 0},
      {Kind::Int, "-_1", false, 0},
      {Kind::Int, "1.0", false, 0},
      {Kind::Int, "1e3", false, 0},
      {Kind::Int, "0x10", false, 0},
      {Kind::Int, "-", false, 0},
      {Kind::Int, "+", false, 0},
      {Kind::Int, " 5", false, 0},
      {Kind::Int, "", false, 0, true},
      {Kind::Bool, "true", true, 1},
      {Kind::Bool, "FaLsE", true, 0},
      {Kind::Bool, " \tTRUE ", true, 1},
      {Kind::Bool, "t", false, 0},
      {Kind::Bool, "yes", false, 0},
      {Kind::Bool, "1", false, 0},
      {Kind::Bool, "truee", false, 0},
      {Kind::Bool, "\t", false, 0, true},
      {Kind::Datetime, "1970-01-01", true, 0},
      {Kind::Datetime, "2024-02-29", true, 1709164800},
      {Kind::Datetime, "2023-02-29", false, 0},
      {Kind::Datetime, "2000-02-29T23:59:59Z", true, 951868799},
      {Kind::Datetime, "1900-02-29", false, 0},
      {Kind::Datetime, "2024-01-16T01:03:27", true, 1705367007},
      {Kind::Datetime, "2024-01-16 01:03", true, 1705366980},
      {Kind::Datetime, "2024-01-16T01:03:27+02:00", true, 1705367007 - 7200},
      {Kind::Datetime, "2024-01-16T01:03:27-05:30", true, 1705367007 + 19800},
      {Kind::Datetime, "1969-12-31T23:59:59z", true, -1},
      {Kind::Datetime, "2016-12-31T23:59:60Z", true, 1483228800},
      {Kind::Datetime, " 2024-01-16 ", true, 1705363200},
      {Kind::Datetime, "1677-09-21T00:12:44Z", true, -9223372036},
      {Kind::Datetime, "1677-09-21T00:12:43Z", false, 0},
      {Kind::Datetime, "2262-04-11T23:47:16Z", true, 9223372036},
      {Kind::Datetime, "2262-04-11T23:47:17Z", false, 0},
      {Kind::Datetime, "0001-01-01", false, 0},
      {Kind::Datetime, "2024-01-16T25:00", false, 0},
      {Kind::Datetime, "2024-1-16", false, 0},
      {Kind::Datetime, "", false, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ColumnarPtr ctx = context({{c.text}});
    Converted out = convert(ctx.get(), c.kind);
    EXPECT_EQ(out.valid[0], c.ok ? 1 : 0);
    EXPECT_EQ(out.counts.n_blank, !c.ok && c.blank ? 1u : 0u);
    EXPECT_EQ(out.counts.n_invalid, !c.ok && !c.blank ? 1u : 0u);
    switch (c.kind) {
      case Kind::Float:
        if (c.ok)
          EXPECT_EQ(out.doubles[0], c.number);
        else
          EXPECT_TRUE(std::isnan(out.doubles[0]));
        break;
      case Kind::Int:
        EXPECT_EQ(out.ints[0], c.ok ? static_cast<int64_t>(c.number) : 0);
        break;
      case Kind::Bool:
        EXPECT_EQ(out.bools[0], c.ok ? static_cast<uint8_t>(c.number) : 0);
        break;
      case Kind::Datetime:
        EXPECT_EQ(out.ints[0], c.ok ? static_cast<int64_t>(c.number) * 1'000'000'000 : INT64_MIN);
        EXPECT_EQ(out.counts.n_zoned, c.ok && std::strpbrk(c.text + 10, "Zz+-") ? 1u : 0u);
        break;
    }
  }
}

TEST(TypedColumns, DatetimeFractionsAndBoundsOfInt64) {
  struct Case {
    const char* text;
    bool ok;
    int64_t ns;
  } cases[] = {
      {"1970-01-01T00:00:00.5", true, 500'000'000},
      {"1970-01-01T00:00:00.000000001", true, 1},
      {"1970-01-01T00:00:00.0000000019", true, 1},  // truncated past the ninth digit
      {"1969-12-31T23:59:59.999999999999Z", true, -1},
      {"1677-09-21T00:12:43.145224193Z", true, INT64_MIN + 1},
      {"1677-09-21T00:12:43.145224192Z", false, INT64_MIN},  // numpy's NaT is no instant
      {"2262-04-11T23:47:16.854775807Z", true, INT64_MAX},
      {"2262-04-11T23:47:16.854775808Z", false, INT64_MIN},
      {"2262-04-12T01:47:16.854775807+02:00", true, INT64_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ColumnarPtr ctx = context({{c.text}});
    Converted out = convert(ctx.get(), Kind::Datetime);
    EXPECT_EQ(out.valid[0], c.ok);
    EXPECT_EQ(out.ints[0], c.ns);
  }
  for (const char* text : {"9223372036854775807", "-9223372036854775808"}) {
    ColumnarPtr ctx = context({{text}});
    Converted out = convert(ctx.get(), Kind::Int);
    EXPECT_EQ(out.valid[0], 1) << text;
    EXPECT_EQ(out.ints[0], std::strtoll(text, nullptr, 10)) << text;
  }
  for (const char* text :
       {"9223372036854775808", "-9223372036854775809", "18446744073709551616", "99999999999999999999"}) {
    ColumnarPtr ctx = context({{text}});
    EXPECT_EQ(convert(ctx.get(), Kind::Int).valid[0], 0) << text;
    // Still a number, so a column of them is a float column.
    EXPECT_EQ(convert(ctx.get(), Kind::Float).valid[0], 1) << text;
    EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 0), QUELTA_COLUMN_FLOAT64) << text;
  }
}

// Random instants from 1678 to 2261 in every textual form, against timegm;
// random integers against strtoll.
TEST(TypedColumns, RandomTextsAgainstTheCLibrary) {
  std::mt19937_64 rng(22);
  Strings dates, ints;
  std::vector<int64_t> want_ns, want_int;
  for (int i = 0; i < 4000; ++i) {
    std::tm tm{};
    tm.tm_year = 1678 - 1900 + static_cast<int>(rng() % 583);
    tm.tm_mon = static_cast<int>(rng() % 12);
    tm.tm_mday = 1 + static_cast<int>(rng() % 28);
    tm.tm_hour = static_cast<int>(rng() % 24);
    tm.tm_min = static_cast<int>(rng() % 60);
    tm.tm_sec = static_cast<int>(rng() % 60);
    int offset = static_cast<int>(rng() % 1439) - 719;  // minutes east
    int frac = static_cast<int>(rng() % 1000);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d%c%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, i % 2 ? 'T' : ' ', tm.tm_hour, tm.tm_min, tm.tm_sec, frac,
                  offset < 0 ? '-' : '+', std::abs(offset) / 60, std::abs(offset) % 60);
    dates.push_back(text);
    want_ns.push_back((static_cast<int64_t>(timegm(&tm)) - offset * 60) * 1'000'000'000 + frac * 1'000'000);

    uint64_t magnitude = rng() >> (rng() % 64);
    std::string digits = std::to_string(magnitude);
    if (i % 3 == 0) digits = "-" + digits;
    ints.push_back(digits);
    errno = 0;
    long long v = std::strtoll(digits.c_str(), nullptr, 10);
    want_int.push_back(errno == ERANGE ? INT64_MIN : v);  // INT64_MIN never comes out of the draw
  }
  ColumnarPtr ctx = context({dates, ints});
  Converted dt = convert(ctx.get(), Kind::Datetime, 0);
  Converted in = convert(ctx.get(), Kind::Int, 1);
  for (size_t r = 0; r < dates.size(); ++r) {
    EXPECT_EQ(dt.ints[r], want_ns[r]) << dates[r];
    EXPECT_EQ(in.valid[r], want_int[r] != INT64_MIN) << ints[r];
    if (in.valid[r]) {
      EXPECT_EQ(in.ints[r], want_int[r]) << ints[r];
    }
  }
  EXPECT_EQ(dt.counts.n_zoned, dates.size());
}

TEST(TypedColumns, InferredTypeOfWholeColumns) {
  struct Case {
    Strings values;
    int32_t type;
  } cases[] = {
      {{}, QUELTA_COLUMN_BLANK},
      {{"", " "}, QUELTA_COLUMN_BLANK},
      {{"1", "", "-2", "3_000"}, QUELTA_COLUMN_INT64},
      {{"1", "2.5", ""}, QUELTA_COLUMN_FLOAT64},
      {{"1", "1e400"}, QUELTA_COLUMN_TEXT},
      {{"0x1p3", "7"}, QUELTA_COLUMN_FLOAT64},
      {{"true", " FALSE", ""}, QUELTA_COLUMN_BOOLEAN},
      {{"true", "1"}, QUELTA_COLUMN_TEXT},
      {{"2024-01-01", "2024-01-01T10:00Z", ""}, QUELTA_COLUMN_DATETIME},
      {{"2024-01-01", "true"}, QUELTA_COLUMN_TEXT},
      {{"2024-01-01", "0001-01-01"}, QUELTA_COLUMN_DATETIME},  // in the grammar, beyond int64 ns
      {{"a", "1"}, QUELTA_COLUMN_TEXT},
      {{"1", "a"}, QUELTA_COLUMN_TEXT},
  };
  for (const Case& c : cases) {
    ColumnarPtr ctx = context({c.values});
    EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 0), c.type) << ::testing::PrintToString(c.values);
  }
}

TEST(TypedColumns, JoinedTextPicksAByteTheValuesLack) {
  struct Case {
    Strings values;
    int32_t separator;
    std::string joined;
  } cases[] = {
      {{}, 0x1F, ""},
      {{""}, 0x1F, ""},
      {{"a", "", "bc"},
       0x1F,
       "a\x1f\x1f"
       "bc"},
      {{"a\x1f", "b"},
       0x1E,
       "a\x1f\x1e"
       "b"},
      {{std::string("\x1f\x1e\x1d\x1c\0", 5), "\x01"}, 0x02, std::string("\x1f\x1e\x1d\x1c\0\x02\x01", 7)},
  };
  for (const Case& c : cases) {
    ColumnarPtr ctx = context({c.values});
    size_t len = 99;
    EXPECT_EQ(quelta_collect_columnar_join(ctx.get(), 0, nullptr, 0, &len), c.separator);
    EXPECT_EQ(len, c.joined.size());
    std::string out(len + 1, '#');
    EXPECT_EQ(
        quelta_collect_columnar_join(ctx.get(), 0, reinterpret_cast<uint8_t*>(out.data()), len, nullptr),
        c.separator);
    EXPECT_EQ(out, c.joined + "#");
  }
  std::string every;
  for (int b = 0; b < 128; ++b) every += static_cast<char>(b);
  ColumnarPtr ctx = context({{every}});
  EXPECT_EQ(quelta_collect_columnar_join(ctx.get(), 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(last_error(), "no free separator byte");
}

TEST(TypedColumns, DictionaryNumbersValuesByFirstAppearance) {
  struct Case {
    Strings values;
    uint32_t max_distinct;
    int64_t result;
    std::vector<uint32_t> codes, first_rows;
  } cases[] = {
      {{}, 4, 0, {}, {}},
      {{"b", "a", "b", "", "a", ""}, 4, 3, {0, 1, 0, 2, 1, 2}, {0, 1, 3}},
      {{"b", "a", "b", "", "a", ""}, 3, 3, {0, 1, 0, 2, 1, 2}, {0, 1, 3}},
      // One more than allowed: what was read up to there is kept.
      {{"b", "a", "b", "c", "a"}, 2, 3, {0, 1, 0}, {0, 1}},
      {{"x"}, 0, 1, {}, {}},
      // Bytewise: case, NUL bytes and lengths of 8 and more tell values apart.
      {{"Ab", "ab", std::string("a\0b", 3), std::string("a\0c", 3), "12345678", "123456789", "12345678"},
       8,
       6,
       {0, 1, 2, 3, 4, 5, 4},
       {0, 1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.values));
    ColumnarPtr ctx = context({c.values});
    std::vector<uint32_t> codes(c.values.size() + 1, 99), first_rows(c.max_distinct + 1, 99);
    EXPECT_EQ(quelta_collect_columnar_dictionary(ctx.get(), 0, codes.data(), c.values.size(),
                                                 first_rows.data(), c.max_distinct),
              c.result);
    EXPECT_EQ(std::vector<uint32_t>(codes.begin(), codes.begin() + c.codes.size()), c.codes);
    EXPECT_EQ(codes[c.codes.size()], 99u);
    EXPECT_EQ(std::vector<uint32_t>(first_rows.begin(), first_rows.begin() + c.first_rows.size()),
              c.first_rows);
  }
  // Many values through a growing table, against a map.
  Strings values;
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i) values.push_back("v" + std::to_string(rng() % 5000));
  ColumnarPtr ctx = context({values});
  std::vector<uint32_t> codes(values.size()), first_rows(5000);
  int64_t distinct =
      quelta_collect_columnar_dictionary(ctx.get(), 0, codes.data(), codes.size(), first_rows.data(), 5000);
  ASSERT_GT(distinct, 4900);
  ASSERT_LE(distinct, 5000);
  for (size_t r = 0; r < values.size(); ++r) ASSERT_EQ(values[first_rows[codes[r]]], values[r]);
  for (int64_t k = 1; k < distinct; ++k) ASSERT_LT(first_rows[k - 1], first_rows[k]);
}

TEST(TypedColumns, ArgumentChecksLeaveOutputsUntouched) {
  ColumnarPtr ctx = context({{"1", "2"}});
  double values[2] = {-7, -7};
  uint8_t valid[2] = {7, 7};
  ColumnCounts counts{5, 5, 5};
  struct Case {
    ColumnarCollectContext* ctx;
    size_t column;
    double* values;
    size_t n;
    const char* message;
  } cases[] = {
      {nullptr, 0, values, 2, "context is null"},
      {ctx.get(), 1, values, 2, "column out of range"},
      {ctx.get(), SIZE_MAX, values, 2, "column out of range"},
      {ctx.get(), 0, nullptr, 2, "values is null"},
      {ctx.get(), 0, values, 1, "output too small"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quelta_collect_columnar_float64(c.ctx, c.column, c.values, valid, c.n, &counts), -1);
    EXPECT_EQ(last_error(), c.message);
  }
  int64_t ints[2] = {-7, -7};
  EXPECT_EQ(quelta_collect_columnar_int64(ctx.get(), 0, ints, valid, 1, &counts), -1);
  EXPECT_EQ(quelta_collect_columnar_datetime(nullptr, 0, ints, valid, 2, &counts), -1);
  EXPECT_EQ(quelta_collect_columnar_boolean(ctx.get(), 3, valid, valid, 2, &counts), -1);
  EXPECT_EQ(values[0], -7);
  EXPECT_EQ(ints[0], -7);
  EXPECT_EQ(valid[0], 7);
  EXPECT_EQ(counts.n_blank, 5u);
  EXPECT_EQ(quelta_collect_columnar_infer_type(nullptr, 0), -1);
  EXPECT_EQ(last_error(), "context is null");
  EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 1), -1);
  EXPECT_EQ(last_error(), "column out of range");
  uint8_t joined[3];
  EXPECT_EQ(quelta_collect_columnar_join(ctx.get(), 0, joined, 2, nullptr), -1);
  EXPECT_EQ(last_error(), "output too small");

  uint32_t codes[2] = {7, 7}, first_rows[2] = {7, 7};
  struct DictionaryCase {
    ColumnarCollectContext* ctx;
    size_t column;
    uint32_t* codes;
    size_t n;
    uint32_t* first_rows;
    const char* message;
  } dictionary_cases[] = {
      {nullptr, 0, codes, 2, first_rows, "context is null"},
      {ctx.get(), 1, codes, 2, first_rows, "column out of range"},
      {ctx.get(), 0, nullptr, 2, first_rows, "codes is null"},
      {ctx.get(), 0, codes, 2, nullptr, "first_rows is null"},
      {ctx.get(), 0, codes, 1, first_rows, "output too small"},
  };
  for (const DictionaryCase& c : dictionary_cases) {
    EXPECT_EQ(quelta_collect_columnar_dictionary(c.ctx, c.column, c.codes, c.n, c.first_rows, 2), -1);
    EXPECT_EQ(last_error(), c.message);
  }
  EXPECT_EQ(codes[0] + first_rows[0], 14u);

  // The mask and the counts may be left out; a success clears the message.
  EXPECT_EQ(quelta_collect_columnar_int64(ctx.get(), 0, ints, nullptr, 2, nullptr), 0);
  EXPECT_EQ(quelta_last_error(), nullptr);
  EXPECT_EQ(ints[1], 2);
  // No rows: the buffers may be null.
  ColumnarPtr empty = context({{}});
  EXPECT_EQ(quelta_collect_columnar_float64(empty.get(), 0, nullptr, nullptr, 0, &counts), 0);
  EXPECT_EQ(counts.n_blank + counts.n_invalid, 0u);
}

TEST(TypedColumns, ParallelCollectOfAFileConverts) {
  TempDir dir;
  std::string text = "id,price,flag,ts\n";
  for (int i = 0; i < 3000; ++i)
    text += std::to_string(i) + "," + (i % 7 ? std::to_string(i) + ".25" : "") + "," +
            (i % 2 ? "true" : "False") + ",2024-01-01T00:00:" + (i % 60 < 10 ? "0" : "") +
            std::to_string(i % 60) + "\n";
  ColumnarPtr ctx(quelta_parallel_collect_columnar(dir.write("t.csv", text).c_str(), ',', nullptr, 0, 0, 3));
  ASSERT_NE(ctx, nullptr) << last_error();
  EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 0), QUELTA_COLUMN_INT64);
  EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 1), QUELTA_COLUMN_FLOAT64);
  EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 2), QUELTA_COLUMN_BOOLEAN);
  EXPECT_EQ(quelta_collect_columnar_infer_type(ctx.get(), 3), QUELTA_COLUMN_DATETIME);
  Converted price = convert(ctx.get(), Kind::Float, 1);
  EXPECT_EQ(price.counts.n_blank, 429u);  // i % 7 == 0 for 429 of 3000
  EXPECT_EQ(price.doubles[2999], 2999.25);
  Converted ts = convert(ctx.get(), Kind::Datetime, 3);
  EXPECT_EQ(ts.ints[61], (1704067200 + 1) * int64_t{1'000'000'000});
}

}  // namespace
}  // namespace quelta::test::ops
