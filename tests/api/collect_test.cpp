// Row-major and columnar collect through the public header: layout, ragged
// rows, accessors on bad arguments, and the 32-bit offset limit of a column.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/operator_support.h"
#include "ops/columnar.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

using Strings = std::vector<std::string>;

TEST(Collect, OneBufferOfNulTerminatedFieldsRowAfterRow) {
  struct Case {
    const char* text;
    size_t n_rows, n_cols;
    Strings strings;
  } cases[] = {
      {"x,y\na,b\nc,d\n", 2, 2, {"a", "b", "c", "d"}},
      {"x,y\n,1\n\n", 2, 2, {"", "1", ""}},
      // Every row keeps its own fields; the first row fixes n_cols.
      {"x,y,z\n1,2,3\n4,5\n", 2, 3, {"1", "2", "3", "4", "5"}},
      {"x\n1,2\n3,4,5\n", 2, 2, {"1", "2", "3", "4", "5"}},
      {"x,y\n\"a,b\",\"c\"\"d\"\n", 1, 2, {"a,b", "c\"d"}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ScannerPtr s = open(dir.write("c.csv", c.text));
    CollectPtr ctx(quelta_collect(s.get()));
    ASSERT_NE(ctx, nullptr) << last_error();
    s.reset();  // the buffer outlives the scanner
    EXPECT_EQ(quelta_last_error(), nullptr);
    EXPECT_EQ(quelta_collect_n_rows(ctx.get()), c.n_rows);
    EXPECT_EQ(quelta_collect_n_cols(ctx.get()), c.n_cols);
    EXPECT_EQ(strings(ctx.get()), c.strings);
  }
}

TEST(Collect, ProjectionLimitAndConsumedRows) {
  TempDir dir;
  std::string text = "a,b\n";
  for (int i = 0; i < 15; ++i) text += std::to_string(i) + ",v" + std::to_string(i) + "\n";
  const size_t projection[] = {1};
  ScanOptions o = options(projection, 1, 10);
  ScannerPtr s = open(dir.write("l.csv", text), &o);
  ASSERT_EQ(quelta_next(s.get(), nullptr, nullptr), 1);
  CollectPtr ctx(quelta_collect(s.get()));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(quelta_collect_n_rows(ctx.get()), 9u);
  EXPECT_EQ(quelta_collect_n_cols(ctx.get()), 1u);
  EXPECT_EQ(strings(ctx.get()), (Strings{"v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9"}));
  // Nothing is left: an empty result, and out_len is still written.
  ctx.reset(quelta_collect(s.get()));
  ASSERT_NE(ctx, nullptr);
  size_t len = 99;
  EXPECT_EQ(quelta_collect_data(ctx.get(), &len), nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(quelta_collect_n_rows(ctx.get()), 0u);
  EXPECT_EQ(quelta_collect_n_cols(ctx.get()), 0u);
}

TEST(Collect, FailuresAndNullHandles) {
  TempDir dir;
  EXPECT_EQ(quelta_collect(nullptr), nullptr);
  EXPECT_EQ(last_error(), "scanner is null");
  ScannerPtr s = open(dir.write("j.jsonl", "{\"a\":\"1\"}\n{\"a\":\n{\"a\":\"3\"}\n"));
  EXPECT_EQ(quelta_collect(s.get()), nullptr);
  EXPECT_EQ(last_error(), "collect failed: InvalidJson");
  // Accessors and close neither fail nor touch the message or out-pointers.
  size_t len = 7;
  EXPECT_EQ(quelta_collect_data(nullptr, &len), nullptr);
  EXPECT_EQ(len, 7u);
  EXPECT_EQ(quelta_collect_n_rows(nullptr), 0u);
  EXPECT_EQ(quelta_collect_n_cols(nullptr), 0u);
  quelta_collect_close(nullptr);
  EXPECT_EQ(last_error(), "collect failed: InvalidJson");
  CollectPtr ctx(quelta_collect(s.get()));  // the scan goes on after the bad row
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(strings(ctx.get()), Strings{"3"});
}

TEST(Columnar, ValuesEndToEndWithOffsets) {
  TempDir dir;
  ScannerPtr s = open(dir.write("c.csv", "x,y\na,bb\nccc,\n"));
  ColumnarPtr ctx(quelta_collect_columnar(s.get()));
  ASSERT_NE(ctx, nullptr) << last_error();
  s.reset();  // the columns outlive the scanner
  EXPECT_EQ(quelta_last_error(), nullptr);
  ASSERT_EQ(quelta_collect_columnar_n_rows(ctx.get()), 2u);
  ASSERT_EQ(quelta_collect_columnar_n_cols(ctx.get()), 2u);
  // column() checks the offsets: n_rows + 1 of them, from 0 up to the data length.
  EXPECT_EQ(column(ctx.get(), 0), (Strings{"a", "ccc"}));
  EXPECT_EQ(column(ctx.get(), 1), (Strings{"bb", ""}));
  // A single row of empty fields: no data, offsets 0, 0.
  s = open(dir.write("e.csv", "x,y\n,\n"));
  ctx.reset(quelta_collect_columnar(s.get()));
  ASSERT_NE(ctx, nullptr);
  for (size_t c = 0; c < 2; ++c) {
    size_t len = 5, count = 0;
    EXPECT_EQ(quelta_collect_columnar_data(ctx.get(), c, &len), nullptr);
    EXPECT_EQ(len, 0u);
    const uint32_t* o = quelta_collect_columnar_offsets(ctx.get(), c, &count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::vector<uint32_t>(o, o + 2), (std::vector<uint32_t>{0, 0}));
  }
}

TEST(Columnar, FirstRowFixesTheColumns) {
  TempDir dir;
  ScannerPtr s = open(dir.write("r.csv", "a,b,c\n1,2,3\n4\n5,6,7,8\n\n"));
  ColumnarPtr ctx(quelta_collect_columnar(s.get()));
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(quelta_collect_columnar_n_cols(ctx.get()), 3u);
  ASSERT_EQ(quelta_collect_columnar_n_rows(ctx.get()), 4u);
  EXPECT_EQ(column(ctx.get(), 0), (Strings{"1", "4", "5", ""}));
  EXPECT_EQ(column(ctx.get(), 1), (Strings{"2", "", "6", ""}));
  EXPECT_EQ(column(ctx.get(), 2), (Strings{"3", "", "7", ""}));
  size_t len = 11, count = 12;
  EXPECT_EQ(quelta_collect_columnar_data(ctx.get(), 3, &len), nullptr);
  EXPECT_EQ(quelta_collect_columnar_offsets(ctx.get(), 3, &count), nullptr);
  EXPECT_EQ(len, 11u);
  EXPECT_EQ(count, 12u);
}

TEST(Columnar, ProjectionLimitNoRowsAndNullHandles) {
  TempDir dir;
  std::string text = "a,b,c\n";
  for (int i = 0; i < 8; ++i)
    text.append(std::to_string(i)).append(",b").append(std::to_string(i)).append(",c\n");
  const size_t projection[] = {1, 0};
  ScanOptions o = options(projection, 2, 5);
  ScannerPtr s = open(dir.write("p.csv", text), &o);
  ColumnarPtr ctx(quelta_collect_columnar(s.get()));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(column(ctx.get(), 0), (Strings{"b0", "b1", "b2", "b3", "b4"}));
  EXPECT_EQ(column(ctx.get(), 1), (Strings{"0", "1", "2", "3", "4"}));
  // The scanner is used up: no rows, no columns, every accessor null; the
  // same for a null handle, and neither touches out-pointers or the message.
  ctx.reset(quelta_collect_columnar(s.get()));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(quelta_collect_columnar(nullptr), nullptr);
  EXPECT_EQ(last_error(), "scanner is null");
  for (ColumnarCollectContext* c : {ctx.get(), static_cast<ColumnarCollectContext*>(nullptr)}) {
    size_t len = 3, count = 4;
    EXPECT_EQ(quelta_collect_columnar_n_rows(c), 0u);
    EXPECT_EQ(quelta_collect_columnar_n_cols(c), 0u);
    EXPECT_EQ(quelta_collect_columnar_data(c, 0, &len), nullptr);
    EXPECT_EQ(quelta_collect_columnar_offsets(c, 0, &count), nullptr);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(count, 4u);
  }
  quelta_collect_columnar_close(nullptr);
  EXPECT_EQ(last_error(), "scanner is null");
}

TEST(Columnar, ReadFailuresInTheFirstAndALaterRow) {
  TempDir dir;
  for (const char* text : {"a,b\n\"1,2\n3,4\n", "a,b\n1,2\n3,\"4\n5,6\n"}) {
    SCOPED_TRACE(text);
    ScannerPtr s = open(dir.write("q.csv", text));
    EXPECT_EQ(quelta_collect_columnar(s.get()), nullptr);
    EXPECT_EQ(last_error(), "collect failed: UnterminatedQuote");
    ColumnarPtr rest(quelta_collect_columnar(s.get()));
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(quelta_collect_columnar_n_rows(rest.get()), 1u);
  }
}

// The offsets are 32 bits wide, so a column's data is capped; a test switch
// lowers the cap to check the behaviour without gigabytes of input.
TEST(Columnar, AColumnThatWouldOutgrowItsOffsetsFails) {
  struct DataLimit {
    DataLimit() { columnar_set_data_limit(100); }
    ~DataLimit() { columnar_set_data_limit(UINT32_MAX); }
  } limit;
  struct Case {
    int rows;
    size_t value_len;
    bool fits;
  } cases[] = {{10, 10, true}, {11, 10, false}, {1, 100, true}, {1, 101, false}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + " x " + std::to_string(c.value_len));
    std::string text = "big,small\n";
    for (int i = 0; i < c.rows; ++i) text.append(c.value_len, 'v').append(",s\n");
    int64_t live = platform::heap_live_blocks();
    {
      ScannerPtr s = open(dir.write("big.csv", text));
      ColumnarPtr ctx(quelta_collect_columnar(s.get()));
      if (c.fits) {
        ASSERT_NE(ctx, nullptr) << last_error();
        EXPECT_EQ(column(ctx.get(), 0), Strings(static_cast<size_t>(c.rows), std::string(c.value_len, 'v')));
      } else {
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(last_error(), "out of memory collecting rows");
      }
    }
    EXPECT_EQ(platform::heap_live_blocks(), live);
  }
}

}  // namespace
}  // namespace quelta::test::ops
