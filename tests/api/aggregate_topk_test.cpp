// Aggregate and top-k through the public header: which values take part, ties
// in the bounded heap, key parsing, argument checks and failures mid-scan.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "api/operator_support.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

AggregateResult aggregate_of(const std::string& path, size_t column, const ScanOptions* o = nullptr) {
  AggregateResult r{};
  ScannerPtr s = open(path, o);
  EXPECT_EQ(quelta_aggregate(s.get(), column, &r), 0) << last_error();
  EXPECT_EQ(quelta_last_error(), nullptr);
  return r;
}

TEST(Aggregate, WhichValuesTakePart) {
  struct Case {
    const char* rows;
    uint64_t count;
    double sum, min, max;
  } cases[] = {
      {"3\n-1\n2\n", 3, 4.0, -1.0, 3.0},
      {"x\n\nabc\n", 0, 0.0, 0.0, 0.0},
      {"inf\n-Infinity\nnan\n1e400\n-1e400\n1e308\n", 1, 1e308, 1e308, 1e308},
      {"1_000\n0x10\n 5\n5 \n1e2\n", 3, 1116.0, 16.0, 1000.0},
      {"7,9\n\"8\"\n", 2, 15.0, 7.0, 8.0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows);
    AggregateResult r = aggregate_of(dir.write("a.csv", std::string("v\n") + c.rows), 0);
    EXPECT_EQ(r.count, c.count);
    EXPECT_EQ(r.sum, c.sum);
    EXPECT_EQ(r.min, c.min);
    EXPECT_EQ(r.max, c.max);
    EXPECT_EQ(r.mean, c.count ? c.sum / static_cast<double>(c.count) : 0.0);
    EXPECT_EQ(r.has_values, c.count ? 1 : 0);
  }
  // An equal value never replaces the first: the sign of zero shows which won.
  AggregateResult r = aggregate_of(dir.write("z.csv", "v\n0.0\n-0.0\n"), 0);
  EXPECT_FALSE(std::signbit(r.min));
  EXPECT_FALSE(std::signbit(r.max));
  r = aggregate_of(dir.write("n.csv", "v\n-0\n0\n"), 0);
  EXPECT_TRUE(std::signbit(r.min));
  EXPECT_TRUE(std::signbit(r.max));
}

TEST(Aggregate, ColumnAfterProjectionLimitAndConsumedRows) {
  TempDir dir;
  std::string path = dir.write("p.csv", "a,b,c\n1,10,100\n2,20\n3,30,300\n4,40,400\n");
  const size_t projection[] = {1, 0};
  ScanOptions o = options(projection, 2);
  EXPECT_EQ(aggregate_of(path, 0, &o).sum, 100.0);
  EXPECT_EQ(aggregate_of(path, 2, &o).count, 0u);  // beyond every projected row
  AggregateResult r = aggregate_of(path, 2);       // beyond the short row only
  EXPECT_EQ(r.count, 3u);
  EXPECT_EQ(r.sum, 800.0);
  o.limit = 2;
  EXPECT_EQ(aggregate_of(path, 1, &o).sum, 3.0);

  ScannerPtr s = open(path);
  ASSERT_EQ(quelta_next(s.get(), nullptr, nullptr), 1);
  ASSERT_EQ(quelta_aggregate(s.get(), 0, &r), 0);
  EXPECT_EQ(r.count, 3u);
  EXPECT_EQ(r.sum, 9.0);
  ASSERT_EQ(quelta_aggregate(s.get(), 0, &r), 0);
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.mean, 0.0);
}

// A predicate on the aggregated column converts the field already; rows that
// pass it by byte comparison (not numbers) must still be left out.
TEST(Aggregate, PredicateOnTheAggregatedColumn) {
  TempDir dir;
  std::string path = dir.write("p.csv", "a,b\n5,x\nabc,y\n20,z\n1e1,w\ninf,v\n7,u\n");
  Predicate gt{0, QUELTA_OP_GT, "6", nullptr, 0};
  ScanOptions o = options();
  o.predicates = &gt;
  o.n_predicates = 1;
  AggregateResult r = aggregate_of(path, 0, &o);  // passes: abc (bytes), 20, 1e1, inf (bytes), 7
  EXPECT_EQ(r.count, 3u);
  EXPECT_EQ(r.sum, 37.0);
  const size_t projection[] = {1, 0};
  o.projection = projection;
  o.n_projection = 2;
  r = aggregate_of(path, 1, &o);
  EXPECT_EQ(r.count, 3u);
  EXPECT_EQ(r.min, 7.0);
  o.negate = 1;  // passes: 5
  r = aggregate_of(path, 1, &o);
  EXPECT_EQ(r.count, 1u);
  EXPECT_EQ(r.sum, 5.0);
}

TEST(Aggregate, FailuresLeaveTheResultUntouched) {
  TempDir dir;
  ScannerPtr s = open(dir.write("q.csv", "v\n1\n\"2\n3\n"));
  AggregateResult r;
  std::memset(&r, 0xA5, sizeof r);
  AggregateResult before = r;
  EXPECT_EQ(quelta_aggregate(nullptr, 0, &r), -1);
  EXPECT_EQ(last_error(), "scanner is null");
  EXPECT_EQ(quelta_aggregate(nullptr, 0, nullptr), -1);
  EXPECT_EQ(last_error(), "scanner is null");
  EXPECT_EQ(quelta_aggregate(s.get(), 0, nullptr), -1);
  EXPECT_EQ(last_error(), "output pointer is null");
  EXPECT_EQ(quelta_aggregate(s.get(), 0, &r), -1);
  EXPECT_EQ(last_error(), "aggregate failed: UnterminatedQuote");
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
  // The bad record is consumed; the rows after it are still there.
  ASSERT_EQ(quelta_aggregate(s.get(), 0, &r), 0);
  EXPECT_EQ(quelta_last_error(), nullptr);
  EXPECT_EQ(r.sum, 3.0);
}

TEST(Topk, KeepsTheBestRowsWithTiesResolvedByTheHeap) {
  struct Case {
    const char* name;
    const char* rows;  // key,label
    size_t column, k;
    int32_t descending;
    Rows expected;
  } cases[] = {
      {"descending", "5,a\n1,b\n3,c\n9,d\n7,e\n", 0, 3, 1, {{"9", "d"}, {"7", "e"}, {"5", "a"}}},
      {"ascending", "5,a\n1,b\n3,c\n9,d\n7,e\n", 0, 3, 0, {{"1", "b"}, {"3", "c"}, {"5", "a"}}},
      {"k above rows", "5,a\n1,b\n3,c\n", 0, 10, 1, {{"5", "a"}, {"3", "c"}, {"1", "b"}}},
      {"unusable keys", "x,a\n,b\ninf,c\nnan,d\n1e999,e\n2,f\n", 0, 5, 0, {{"2", "f"}}},
      {"key missing", "a,1\nb\nc,2\n", 1, 5, 1, {{"c", "2"}, {"a", "1"}}},
      // Heap built (k reached): a tie never displaces a kept row...
      {"ties kept", "4,a\n4,b\n4,c\n", 0, 2, 1, {{"4", "a"}, {"4", "b"}}},
      // ...but the tie at the root is the one a better key evicts.
      {"root evicted", "1,a\n1,b\n1,c\n0,d\n", 0, 2, 0, {{"0", "d"}, {"1", "b"}}},
      // Heap not built: equal keys come out in reading order.
      {"ties below k", "5,a\n5,b\n1,c\n6,d\n", 0, 5, 1, {{"6", "d"}, {"5", "a"}, {"5", "b"}, {"1", "c"}}},
      // Building sifts 1 to the root; 6 replaces it and sifts down past b, so
      // the heap array, and with it the output, holds b before a.
      {"ties in heap order", "5,a\n5,b\n1,c\n6,d\n", 0, 3, 1, {{"6", "d"}, {"5", "b"}, {"5", "a"}}},
      {"k is one", "2,a\n3,b\n3,c\n1,d\n", 0, 1, 1, {{"3", "b"}}},
      {"k is zero", "2,a\n3,b\n", 0, 0, 1, {}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScannerPtr s = open(dir.write("t.csv", std::string("key,label\n") + c.rows));
    TopkPtr ctx(quelta_topk(s.get(), c.column, c.k, c.descending));
    ASSERT_NE(ctx, nullptr) << last_error();
    EXPECT_EQ(quelta_last_error(), nullptr);
    EXPECT_EQ(drain(ctx.get()), c.expected);
    EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), 0);  // every row was read
  }
}

TEST(Topk, KeyIsParsedWhileTheFieldKeepsItsText) {
  TempDir dir;
  ScannerPtr s = open(dir.write("k.csv", "k,v\n1e2,a\n0x10,b\n-3,c\n"));
  TopkPtr ctx(quelta_topk(s.get(), 0, 2, 1));
  ASSERT_NE(ctx, nullptr);
  const char** fields = nullptr;
  size_t n = 0;
  double key = 0;
  ASSERT_EQ(quelta_topk_next(ctx.get(), &fields, &n, &key), 1);
  EXPECT_EQ(key, 100.0);
  EXPECT_EQ(to_row(fields, n), (Row{"1e2", "a"}));
  ASSERT_EQ(quelta_topk_next(ctx.get(), nullptr, nullptr, nullptr), 1);  // consumed all the same
  fields = nullptr;
  n = 7;
  key = -1;
  EXPECT_EQ(quelta_topk_next(ctx.get(), &fields, &n, &key), 0);
  EXPECT_EQ(quelta_topk_next(ctx.get(), &fields, &n, &key), 0);
  EXPECT_EQ(fields, nullptr);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(key, -1.0);
}

TEST(Topk, ProjectionLimitAndAClosedScanner) {
  TempDir dir;
  const size_t projection[] = {2, 1};
  ScanOptions o = options(projection, 2, 3);
  ScannerPtr s = open(dir.write("p.csv", "a,b,c\nr1,1,x\nr2,5,y\nr3,3,z\nr4,9,w\n"), &o);
  std::vector<double> keys;
  TopkPtr ctx(quelta_topk(s.get(), 1, 2, 1));
  ASSERT_NE(ctx, nullptr);
  s.reset();  // the context keeps no reference to the scanner
  EXPECT_EQ(drain(ctx.get(), &keys), (Rows{{"y", "5"}, {"z", "3"}}));
  EXPECT_EQ(keys, (std::vector<double>{5, 3}));
}

TEST(Topk, FailuresAndNullArguments) {
  TempDir dir;
  // k = 0 keeps nothing but still reads every row, so a bad record fails it.
  ScannerPtr s = open(dir.write("z.csv", "v\n1\n2\n\"3\n"));
  EXPECT_EQ(quelta_topk(s.get(), 0, 0, 1), nullptr);
  EXPECT_EQ(last_error(), "topk failed: UnterminatedQuote");
  s = open(dir.write("f.csv", "v\n1\n2\n"));
  EXPECT_EQ(quelta_topk(nullptr, 0, 1, 1), nullptr);
  EXPECT_EQ(last_error(), "scanner is null");
  EXPECT_EQ(quelta_topk(s.get(), 0, std::numeric_limits<size_t>::max(), 1), nullptr);
  EXPECT_EQ(last_error(), "topk failed: OutOfMemory");
  EXPECT_EQ(quelta_topk_next(nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(last_error(), "topk context is null");
  quelta_topk_close(nullptr);
  EXPECT_EQ(last_error(), "topk context is null");
  // The failed reservation read no row; a second top-k finds none left.
  TopkPtr ctx(quelta_topk(s.get(), 0, 5, 1));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(drain(ctx.get()).size(), 2u);
  ctx.reset(quelta_topk(s.get(), 0, 5, 1));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(quelta_topk_next(ctx.get(), nullptr, nullptr, nullptr), 0);
}

}  // namespace
}  // namespace quelta::test::ops
