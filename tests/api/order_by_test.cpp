// Order-by through the public header: numbers against text, empty and missing
// keys, stability in both directions, and the scanner it consumes.
#include <gtest/gtest.h>

#include <string>

#include "api/operator_support.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

// The labels (last field) of the sorted rows.
std::string labels(OrderByContext* ctx) {
  std::string out;
  for (const Row& row : drain(ctx)) out += row.empty() ? "?" : row.back();
  return out;
}

TEST(OrderBy, ComparesNumbersWhereBothAreNumbersAndBytesOtherwise) {
  struct Case {
    const char* name;
    const char* rows;  // key,label
    size_t column;
    const char* ascending;
    const char* descending;
  } cases[] = {
      {"numbers", "10,a\n9,b\n100,c\n", 0, "bac", "cab"},
      {"bytes", "b,a\na,b\nB,c\n", 0, "cba", "abc"},
      {"number words are text", "inf,a\n5,b\nnan,c\n-inf,d\n", 0, "dbac", "cabd"},
      {"number against text", "10,a\n9x,b\n", 0, "ab", "ba"},
      {"hex and separators", "0x10,a\n9,b\n1_0,c\n", 0, "bca", "acb"},
      // Empty and missing keys are the empty text: first ascending, last descending.
      {"empty", "5,a\n,b\nx,c\n,d\n", 0, "bdac", "cabd"},
      {"missing", "a,5,a\nb,,b\nc\nd,x,d\n", 1, "bcad", "dabc"},
      // 2, 2.0 and 2e0 are equal, as are 0 and -0: reading order in both directions.
      {"stable", "2,a\n-0,b\n2.0,c\n0,d\n1,e\n2e0,f\n", 0, "bdeacf", "acfebd"},
      {"beyond every row", "3,a\n1,b\n2,c\n", 5, "abc", "abc"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    for (int32_t descending : {0, 1}) {
      SCOPED_TRACE(std::string(c.name) + (descending ? " descending" : " ascending"));
      ScannerPtr s = open(dir.write("o.csv", std::string("k,label\n") + c.rows));
      OrderByPtr ctx(quelta_order_by(s.get(), c.column, descending));
      ASSERT_NE(ctx, nullptr) << last_error();
      EXPECT_EQ(quelta_last_error(), nullptr);
      EXPECT_EQ(labels(ctx.get()), descending ? c.descending : c.ascending);
    }
  }
}

TEST(OrderBy, ProjectionLimitAndWholeRows) {
  TempDir dir;
  std::string path = dir.write("p.csv", "a,b,c\nr1,3,x\nr2,1\nr3,2,z\nr4,0,w\n");
  const size_t projection[] = {2, 1, 0};
  ScanOptions o = options(projection, 3, 3);
  ScannerPtr s = open(path, &o);
  OrderByPtr ctx(quelta_order_by(s.get(), 1, 0));
  ASSERT_NE(ctx, nullptr);
  s.reset();  // rows outlive the scanner
  EXPECT_EQ(drain(ctx.get()), (Rows{{"", "1", "r2"}, {"z", "2", "r3"}, {"x", "3", "r1"}}));
  // Without projection every row keeps its own fields.
  s = open(path);
  ctx.reset(quelta_order_by(s.get(), 1, 1));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(drain(ctx.get()), (Rows{{"r1", "3", "x"}, {"r3", "2", "z"}, {"r2", "1"}, {"r4", "0", "w"}}));
}

TEST(OrderBy, ConsumesTheScannerAndDeliversEachRowOnce) {
  TempDir dir;
  ScannerPtr s = open(dir.write("c.csv", "v\n3\n1\n2\n"));
  ASSERT_EQ(quelta_next(s.get(), nullptr, nullptr), 1);
  OrderByPtr ctx(quelta_order_by(s.get(), 0, 0));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(quelta_order_by_next(ctx.get(), nullptr, nullptr), 1);  // 1, consumed unseen
  const char** fields = nullptr;
  size_t n = 0;
  ASSERT_EQ(quelta_order_by_next(ctx.get(), &fields, &n), 1);
  EXPECT_EQ(to_row(fields, n), Row{"2"});
  fields = nullptr;
  n = 9;
  EXPECT_EQ(quelta_order_by_next(ctx.get(), &fields, &n), 0);
  EXPECT_EQ(quelta_order_by_next(ctx.get(), &fields, &n), 0);
  EXPECT_EQ(fields, nullptr);
  EXPECT_EQ(n, 9u);
  ctx.reset(quelta_order_by(s.get(), 0, 0));  // nothing left
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(quelta_order_by_next(ctx.get(), &fields, &n), 0);
}

TEST(OrderBy, FailuresAndNullArguments) {
  TempDir dir;
  ScannerPtr s = open(dir.write("f.csv", "v\n1\n\"2\n3\n"));
  EXPECT_EQ(quelta_order_by(nullptr, 0, 0), nullptr);
  EXPECT_EQ(last_error(), "scanner is null");
  EXPECT_EQ(quelta_order_by(s.get(), 0, 0), nullptr);
  EXPECT_EQ(last_error(), "order_by failed: UnterminatedQuote");
  // The scan stopped at the bad record: the next row is still there.
  OrderByPtr ctx(quelta_order_by(s.get(), 0, 0));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(quelta_last_error(), nullptr);
  EXPECT_EQ(drain(ctx.get()), Rows{{"3"}});
  EXPECT_EQ(quelta_order_by_next(nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(last_error(), "order_by context is null");
  quelta_order_by_close(nullptr);
  EXPECT_EQ(last_error(), "order_by context is null");
}

}  // namespace
}  // namespace quelta::test::ops
