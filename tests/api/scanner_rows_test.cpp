// quelta_next and quelta_close over CSV input: projection, limit, the copied
// C strings, failed steps and null handles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/scanner_test_support.h"
#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

using namespace std::string_literals;

class ScannerRows : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(ScannerRows, ProjectionPicksColumnsInOutputOrder) {
  std::string path = dir.write("t.csv", "a,b,c\nx,y,z\nq\n");
  const struct {
    std::vector<size_t> projection;
    Rows expected;
  } cases[] = {
      {{2, 0}, {{"z", "x"}, {"", "q"}}},
      {{0, 0, 1}, {{"x", "x", "y"}, {"q", "q", ""}}},
      {{5, SIZE_MAX}, {{"", ""}, {"", ""}}},
  };
  for (const auto& c : cases) {
    ScanOptions o = no_options();
    o.projection = c.projection.data();
    o.n_projection = c.projection.size();
    EXPECT_EQ(read_all(path, &o), c.expected) << c.projection[0];
  }
}

TEST_F(ScannerRows, LimitCountsDeliveredRows) {
  std::string path = dir.write("t.csv", "n\n1\n2\n3\n4\n");
  ScanOptions o = no_options();
  o.limit = 2;
  Predicate p = predicate(0, QUELTA_OP_GT, "1");
  o.predicates = &p;
  o.n_predicates = 1;
  ScannerHandle s = open_scanner(path, &o);
  ASSERT_TRUE(s);
  Row row;
  EXPECT_EQ(step(s.get(), &row), 1);
  EXPECT_EQ(row, Row{"2"});
  EXPECT_EQ(step(s.get(), &row), 1);
  EXPECT_EQ(row, Row{"3"});
  EXPECT_EQ(step(s.get(), &row), 0);
  EXPECT_EQ(step(s.get(), &row), 0);

  o = no_options();
  o.limit = 0;
  EXPECT_EQ(read_all(path, &o), Rows{});
}

TEST_F(ScannerRows, FieldsAreCopiedAsCStrings) {
  std::string big(100000, 'w');
  std::string text = "a,b\n";
  text.append("x\0y,z\n"s).append(big).append(",").append(big).append("\n1,\"q\"\"r\"\r\n,\n");
  ScannerHandle s = open_scanner(dir.write("t.csv", text));
  ASSERT_TRUE(s);
  const char** f = nullptr;
  size_t n = 0;
  ASSERT_EQ(quelta_next(s.get(), &f, &n), 1);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(std::strlen(f[0]), 1u) << "a NUL byte ends the C string";
  EXPECT_STREQ(f[1], "z");
  ASSERT_EQ(quelta_next(s.get(), &f, &n), 1);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(f[0], big);
  EXPECT_EQ(f[1], big);
  ASSERT_EQ(quelta_next(s.get(), &f, &n), 1);
  ASSERT_EQ(n, 2u);
  EXPECT_STREQ(f[0], "1");
  EXPECT_STREQ(f[1], "q\"r");
  EXPECT_EQ(drain(s.get()), (Rows{{"", ""}}));
}

TEST_F(ScannerRows, LineEndSplitAcrossTheReadBuffer) {
  std::string text = "a,b\n";
  text.append(std::string(262144 - text.size() - 3, 'x')).append(",y\r\n2,z\r\n");  // '\r' ends the chunk
  Rows rows = read_all(dir.write("t.csv", text));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0].size(), 262137u);
  EXPECT_EQ(rows[0][1], "y");
  EXPECT_EQ(rows[1], (Row{"2", "z"}));
}

TEST_F(ScannerRows, NullOutPointersStillAdvance) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a\n1\n2\n3\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), 1);
  size_t n = 0;
  EXPECT_EQ(quelta_next(s.get(), nullptr, &n), 1);
  EXPECT_EQ(n, 1u);
  const char** f = nullptr;
  EXPECT_EQ(quelta_next(s.get(), &f, nullptr), 1);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f[0], "3");
  EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), 0);
}

TEST_F(ScannerRows, FailedStepConsumesOnlyItsLine) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a,b\n1,2\n\"x,3\n4,5\n\"\n6,\"7\n8,9"));
  ASSERT_TRUE(s);
  Row row;
  EXPECT_EQ(step(s.get(), &row), 1);
  EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), -1);
  ASSERT_NE(quelta_last_error(), nullptr);
  EXPECT_STREQ(quelta_last_error(), "next failed: UnterminatedQuote");
  EXPECT_EQ(step(s.get(), &row), 1);
  EXPECT_EQ(row, (Row{"4", "5"}));
  EXPECT_EQ(quelta_last_error(), nullptr);
  EXPECT_EQ(drain(s.get()), (Rows{failure("next failed: UnterminatedQuote"),
                                  failure("next failed: UnterminatedQuote"),
                                  {"8", "9"}}));
}

TEST_F(ScannerRows, EndAndNullHandle) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a\n"));
  ASSERT_TRUE(s);
  const char* sentinel[] = {"untouched"};
  const char** fields = sentinel;
  size_t n = 77;
  EXPECT_EQ(quelta_next(s.get(), &fields, &n), 0);
  EXPECT_EQ(fields, sentinel) << "the end leaves the outputs alone";
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(quelta_next(nullptr, &fields, &n), -1);
  EXPECT_EQ(last_error(), "scanner is null");
  quelta_close(nullptr);
  EXPECT_EQ(last_error(), "scanner is null");
}

}  // namespace
}  // namespace quelta::test
