// quelta_count and quelta_next_batch: the fast and careful counts, batch
// sizing and JSON text, and both mixed with quelta_next on one Scanner.
#include <gtest/gtest.h>

#include <string>

#include "api/scanner_test_support.h"
#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

using namespace std::string_literals;

class Count : public ::testing::Test {
 protected:
  // A CSV file with header "n" and rows 1..rows.
  std::string numbers(int rows) {
    std::string text = "n\n";
    for (int i = 1; i <= rows; ++i) text.append(std::to_string(i)).append("\n");
    return dir.write("numbers.csv", text);
  }
  TempDir dir;
};

// quelta_count after `steps` rows were taken with quelta_next; afterwards the
// Scanner must be at its end.
int64_t count_after(const std::string& path, const ScanOptions* o, int steps = 0) {
  ScannerHandle s = open_scanner(path, o);
  if (!s) return -2;
  for (int i = 0; i < steps; ++i) EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), 1) << path;
  int64_t n = quelta_count(s.get());
  if (n >= 0) {
    EXPECT_EQ(quelta_last_error(), nullptr);
    EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), 0) << "counting consumes the rows";
    EXPECT_EQ(quelta_count(s.get()), 0);
  }
  return n;
}

TEST_F(Count, LinesBelowTheHeader) {
  const struct {
    const char* bytes;
    int64_t count;
  } cases[] = {
      {"h\na\nb", 2}, {"h\na\nb\n", 2},       {"h\na\n\nb\n", 3}, {"h\n", 0},
      {"h", 0},       {"h\r\na\r\nb\r\n", 2}, {"h\n\"x\n", 1},    {"h\n\n", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(count_after(dir.write("t.csv", c.bytes), nullptr), c.count) << c.bytes;

  std::string many = "n\n";
  for (int i = 0; i < 100000; ++i) many.append("row ").append(std::to_string(i)).append("\n");
  many.append("tail");
  EXPECT_EQ(count_after(dir.write("big.csv", many), nullptr, 1), 100000) << "across many refills";
}

TEST_F(Count, RemainingRowsUnderOptions) {
  const std::string path = numbers(10);
  Predicate gt6 = predicate(0, QUELTA_OP_GT, "6");
  auto opts = [&](int64_t limit, bool filter, int negate) {
    ScanOptions o = no_options();
    o.limit = limit;
    o.predicates = filter ? &gt6 : nullptr;
    o.n_predicates = filter ? 1 : 0;
    o.negate = negate;
    return o;
  };
  const struct {
    ScanOptions options;
    int steps;
    int64_t count;
  } cases[] = {
      {opts(-1, false, 0), 2, 8}, {opts(4, false, 0), 0, 4},  {opts(4, false, 0), 1, 3},
      {opts(4, false, 0), 4, 0},  {opts(-1, true, 0), 0, 4},  {opts(-1, true, 1), 0, 6},
      {opts(3, true, 0), 1, 2},   {opts(-1, false, 1), 0, 0}, {opts(0, false, 0), 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(count_after(path, &c.options, c.steps), c.count)
        << "limit " << c.options.limit << " predicates " << c.options.n_predicates << " negate "
        << c.options.negate << " after " << c.steps;
}

TEST_F(Count, JsonLinesAndArrays) {
  const struct {
    const char* name;
    const char* bytes;
    int total;
  } cases[] = {
      {"a.jsonl", "{\"a\":1}\n{\"a\":2}\n{\"a\":3}\n", 3},
      {"b.jsonl", "{\"a\":1}\n{\"a\":2}\n{\"a\":3}", 3},
      {"c.jsonl", "{\"a\":1}", 1},
      {"d.json", "[{\"a\":1},{\"a\":\"}\"},\n{\"a\":3}]", 3},
      {"e.json", "[{\"a\":1}]", 1},
  };
  Predicate ne1 = predicate(0, QUELTA_OP_NE, "1");  // every file starts with a = 1
  ScanOptions filtered = no_options();
  filtered.predicates = &ne1;
  filtered.n_predicates = 1;
  for (const auto& c : cases) {
    std::string path = dir.write(c.name, c.bytes);
    for (int read = 0; read <= c.total; ++read)
      EXPECT_EQ(count_after(path, nullptr, read), c.total - read) << c.name << " after " << read;
    EXPECT_EQ(count_after(path, &filtered), c.total - 1) << c.name << " filtered";
  }
}

TEST_F(Count, Failures) {
  Predicate p = predicate(0, QUELTA_OP_NE, "");
  ScanOptions o = no_options();
  o.predicates = &p;
  o.n_predicates = 1;
  ScannerHandle s = open_scanner(dir.write("t.csv", "a\n1\n\"x\n2\n"), &o);
  ASSERT_TRUE(s);
  EXPECT_EQ(quelta_count(s.get()), -1);
  EXPECT_EQ(last_error(), "count failed: UnterminatedQuote");
  EXPECT_EQ(quelta_count(nullptr), -1);
  EXPECT_EQ(last_error(), "scanner is null");
}

class Batches : public Count {
 protected:
  // One batch: its text, or "!" + message, or "<end>" when no row was left.
  static std::string take(Scanner* s, size_t max_rows, size_t max_bytes = 1 << 20) {
    Batch* b = reinterpret_cast<Batch*>(&max_rows);  // a sentinel the call must overwrite
    int32_t r = quelta_next_batch(s, max_rows, max_bytes, &b);
    if (r < 0) {
      std::string m = "!";
      m.append(last_error());
      if (b != nullptr) m.append(" (out not cleared)");
      return m;
    }
    if (r == 0) return b == nullptr ? "<end>" : "<end, out not cleared>";
    BatchHandle owned(b);
    return batch_text(b);
  }
};

TEST_F(Batches, TextOfSimpleRows) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a,b\n1,2\nx,y\n\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(take(s.get(), 10), R"([["1","2"],["x","y"],[""]])");
  EXPECT_EQ(take(s.get(), 10), "<end>");
  EXPECT_EQ(quelta_last_error(), nullptr);
}

TEST_F(Batches, SizeLimits) {
  std::string path = dir.write("t.csv", "a,b\n1,2\n3,4\n5,6\n");
  ScannerHandle s = open_scanner(path);
  ASSERT_TRUE(s);
  EXPECT_EQ(take(s.get(), 0), "!batch failed: InvalidBatchSize");
  EXPECT_EQ(take(s.get(), 65537), "!batch failed: InvalidBatchSize");
  EXPECT_EQ(take(s.get(), 1, 0), "!batch failed: InvalidBatchSize");
  EXPECT_EQ(take(s.get(), 2), R"([["1","2"],["3","4"]])") << "refused requests read nothing";
  EXPECT_EQ(take(s.get(), 65536), R"([["5","6"]])");

  for (size_t max_bytes : {size_t{1}, size_t{10}}) {  // [["1","2"] is 10 bytes
    s = open_scanner(path);
    ASSERT_TRUE(s);
    EXPECT_EQ(take(s.get(), 100, max_bytes), R"([["1","2"]])");
    EXPECT_EQ(take(s.get(), 100, max_bytes), R"([["3","4"]])");
    EXPECT_EQ(take(s.get(), 100, max_bytes), R"([["5","6"]])");
    EXPECT_EQ(take(s.get(), 100, max_bytes), "<end>");
  }
  s = open_scanner(path);
  ASSERT_TRUE(s);
  EXPECT_EQ(take(s.get(), 100, 11), R"([["1","2"],["3","4"]])");
}

TEST_F(Batches, HeaderOnlyAndNullArguments) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a,b\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(take(s.get(), 10), "<end>");
  EXPECT_EQ(quelta_next_batch(s.get(), 10, 100, nullptr), -1);
  EXPECT_EQ(last_error(), "batch output is null");
  EXPECT_EQ(take(nullptr, 10), "!scanner is null");

  s = open_scanner(dir.write("u.csv", "a\n1\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(quelta_next_batch(s.get(), 10, 100, nullptr), -1);
  EXPECT_EQ(take(s.get(), 10), R"([["1"]])") << "a refused call reads nothing";
}

TEST_F(Batches, FieldsAreWrittenAsJsonStrings) {
  std::string text = "a\n";
  text.append("\"say \"\"hi\"\"\"\n")
      .append("tab\there\n")
      .append("back\\slash\n")
      .append("ctl\x01\x7f\n")
      .append("caf\xC3\xA9\n")
      .append("\xFF\x61\n")
      .append("\xC3\x28\n")
      .append("nul\0x\n"s);
  ScannerHandle s = open_scanner(dir.write("t.csv", text));
  ASSERT_TRUE(s);
  EXPECT_EQ(take(s.get(), 100),
            "[[\"say \\\"hi\\\"\"],[\"tab\\there\"],[\"back\\\\slash\"],[\"ctl\\u0001\x7f\"],"
            "[\"caf\xC3\xA9\"],[[255,97]],[[195,40]],[\"nul\\u0000x\"]]");
}

TEST_F(Batches, TextAccessAndLifetime) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a\n1\n2\n"));
  ASSERT_TRUE(s);
  Batch* b = nullptr;
  ASSERT_EQ(quelta_next_batch(s.get(), 1, 100, &b), 1);
  ASSERT_NE(b, nullptr);
  BatchHandle owned(b);
  size_t len = 0;
  const char* with_len = quelta_batch_json(b, &len);
  EXPECT_EQ(quelta_batch_json(b, nullptr), with_len);
  EXPECT_EQ(std::string(with_len, len), R"([["1"]])");
  s.reset();  // the batch does not depend on its Scanner
  EXPECT_EQ(batch_text(b), R"([["1"]])");
  len = 99;
  EXPECT_EQ(quelta_batch_json(nullptr, &len), nullptr);
  EXPECT_EQ(len, 0u);
}

TEST_F(Batches, MixedWithNextAndCount) {
  std::string path = numbers(7);
  const size_t second[] = {0, 0};
  Predicate p = predicate(0, QUELTA_OP_NE, "3");
  ScanOptions o = no_options();
  o.projection = second;
  o.n_projection = 2;
  o.predicates = &p;
  o.n_predicates = 1;
  o.limit = 5;
  ScannerHandle s = open_scanner(path, &o);
  ASSERT_TRUE(s);
  const char** first = nullptr;
  ASSERT_EQ(quelta_next(s.get(), &first, nullptr), 1);
  EXPECT_EQ(take(s.get(), 2), R"([["2","2"],["4","4"]])");
  EXPECT_STREQ(first[0], "1") << "batches leave the copies of quelta_next alone";
  EXPECT_STREQ(first[1], "1");
  Row row;
  EXPECT_EQ(step(s.get(), &row), 1);
  EXPECT_EQ(row, (Row{"5", "5"}));
  EXPECT_EQ(quelta_count(s.get()), 1);
  EXPECT_EQ(take(s.get(), 2), "<end>");
}

TEST_F(Batches, FailedReadLosesTheBatchAndContinues) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a\n1\n\"x\n3\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(take(s.get(), 10), "!batch failed: UnterminatedQuote");
  EXPECT_EQ(take(s.get(), 10), R"([["3"]])");
}

TEST_F(Batches, JsonRows) {
  ScannerHandle s =
      open_scanner(dir.write("t.jsonl", "{\"a\":null,\"b\":\"x\"}\n{\"a\":null,\"b\":\"x\\ty\"}\n"));
  ASSERT_TRUE(s);
  // The escape sends the second row to the general parser; null is empty on both paths.
  EXPECT_EQ(take(s.get(), 10), R"([["","x"],["","x\ty"]])");
}

}  // namespace
}  // namespace quelta::test
