// Allocation failures swept over quelta_open, quelta_next and
// quelta_next_batch: each gives one of its messages, nothing leaks, and a
// Scanner that saw a failed step keeps delivering the rows after it.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "api/scanner_test_support.h"
#include "quelta.h"
#include "support/fault.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

const std::set<std::string> kOpenMessages = {"out of memory allocating predicates",
                                             "out of memory allocating IN values",
                                             "out of memory allocating scanner context",
                                             "open failed: OutOfMemory", "out of memory allocating header"};
const std::set<std::string> kNextMessages = {
    "next failed: OutOfMemory", "out of memory growing field buffers", "out of memory copying row"};
const std::set<std::string> kBatchMessages = {"batch failed: OutOfMemory", "out of memory allocating batch"};

// Messages met during a sweep, and any that were not allowed where they came.
struct Messages {
  void note(const std::set<std::string>& allowed, int run) {
    std::string m = last_error();
    seen.insert(m);
    EXPECT_TRUE(allowed.count(m)) << "run " << run << ": unexpected message " << m;
  }
  std::set<std::string> seen;
};

// The rows as "first field length/field count", short enough for a message.
std::string shape(const Rows& rows) {
  std::string out;
  for (const Row& r : rows)
    out.append(std::to_string(r.empty() ? 0 : r[0].size()))
        .append("/")
        .append(std::to_string(r.size()))
        .append(" ");
  return out;
}

// True when every row of got appears in want, in order, and at most `lost`
// rows of want are missing.
bool in_order_with_losses(const Rows& got, const Rows& want, size_t lost) {
  size_t j = 0;
  for (const Row& r : got) {
    while (j < want.size() && want[j] != r) ++j;
    if (j == want.size()) return false;
    ++j;
  }
  return want.size() - got.size() <= lost;
}

class ScannerFaults : public ::testing::Test {
 protected:
  // A CSV file whose rows need every kind of growth: a wider record, longer
  // fields, doubled quotes and a line across the read-buffer boundary.
  std::string growing_csv() {
    std::string text = "a,b,c\n1,2,3\n";
    for (int i = 0; i < 40; ++i) text.append(i ? "," : "").append(std::to_string(i));
    text.append("\n").append(std::string(3000, 'l')).append(",\"x\"\"y\",3\n");
    text.append(std::string(262144 - text.size() + 10, 'p')).append(",2,3\nend,1,2\n");
    return dir.write("grow.csv", text);
  }
  // The same kinds of growth for JSON rows, as lines or as an array.
  std::string growing_json(bool array) {
    const std::string sep = array ? ",\n" : "\n";
    std::string text = array ? "[" : "";
    text.append("{\"a\":\"1\",\"b\":2,\"c\":3}").append(sep);
    text.append("{\"c\":\"z\\u00e9\",\"a\":\"q\\\"\",\"b\":null}").append(sep);
    text.append("{\"a\":\"")
        .append(std::string(262144 - text.size() - 10, 'p'))
        .append("\",\"b\":\"2\",\"c\":3}");
    text.append(sep).append("{\"b\":1,\"a\":\"end\"}").append(array ? "]" : "\n");
    return dir.write(array ? "grow.json" : "grow.jsonl", text);
  }
  TempDir dir;
};

TEST_F(ScannerFaults, OpenWithPredicatesAndProjection) {
  const char* list[] = {"a", "", "bb"};
  const Predicate preds[] = {predicate(0, QUELTA_OP_NE, "x"), in_predicate(1, list, 3),
                             predicate(2, QUELTA_OP_GT, "3")};
  const size_t projection[] = {1, 0};
  ScanOptions o = no_options();
  o.predicates = preds;
  o.n_predicates = 3;
  o.projection = projection;
  o.n_projection = 2;
  o.max_column = 2;
  const std::string paths[] = {dir.write("t.csv", "a,b,c\n1,a,4\n"),
                               dir.write("t.jsonl", "{\"a\":1,\"b\":\"a\",\"c\":4}\n"),
                               dir.write("t.json", "[{\"a\":1,\"b\":\"a\",\"c\":4}]")};
  for (const std::string& path : paths) {
    Messages messages;
    int run = 0;
    sweep_allocation_failures([&] {
      ++run;
      Scanner* s = quelta_open(path.c_str(), &o);
      if (!s) {
        messages.note(kOpenMessages, run);
        return true;
      }
      EXPECT_EQ(quelta_n_columns(s), 3u);
      EXPECT_STREQ(quelta_column_name(s, 2), "c");
      quelta_close(s);
      return false;
    });
    EXPECT_EQ(messages.seen, kOpenMessages) << path;
  }
}

// Opens and drains path with allocation failures swept over both; failed
// steps must be followed by the rest of the rows.
void sweep_rows(const std::string& path, const ScanOptions* o, std::set<std::string>* seen) {
  Rows want = read_all(path, o);
  ASSERT_FALSE(want.empty());
  for (const Row& r : want) ASSERT_FALSE(r.size() == 1 && r[0].rfind('!', 0) == 0) << "baseline: " << r[0];
  Messages messages;
  int run = 0;
  sweep_allocation_failures([&] {
    ++run;
    Scanner* s = quelta_open(path.c_str(), o);
    if (!s) {
      messages.note(kOpenMessages, run);
      return true;
    }
    Rows got;
    size_t failures = 0;
    for (int i = 0; i < 1000; ++i) {
      Row row;
      int32_t r = step(s, &row);
      if (r == 0) break;
      if (r < 0) {
        ++failures;
        messages.note(kNextMessages, run);
        continue;
      }
      got.push_back(row);
    }
    quelta_close(s);
    EXPECT_TRUE(in_order_with_losses(got, want, failures))
        << "run " << run << ": got " << shape(got) << "want " << shape(want);
    EXPECT_FALSE(got.empty() || got.back() != want.back()) << "run " << run << ": the last row is missing";
    return failures > 0;
  });
  *seen = messages.seen;
}

TEST_F(ScannerFaults, NextOnCsvRowsThatNeedGrowth) {
  std::set<std::string> seen;
  sweep_rows(growing_csv(), nullptr, &seen);
  for (const auto& m : kNextMessages) EXPECT_TRUE(seen.count(m)) << m;
  const size_t projection[] = {2, 0};
  ScanOptions o = no_options();
  o.projection = projection;
  o.n_projection = 2;
  sweep_rows(growing_csv(), &o, &seen);
  EXPECT_TRUE(seen.count("next failed: OutOfMemory"));
}

TEST_F(ScannerFaults, NextOnJsonRowsThatNeedGrowth) {
  for (bool array : {false, true}) {
    std::set<std::string> seen;
    sweep_rows(growing_json(array), nullptr, &seen);
    for (const auto& m : kNextMessages) EXPECT_TRUE(seen.count(m)) << m << (array ? " array" : " lines");
  }
}

TEST_F(ScannerFaults, FailedStepInsideARecordOverThreeChunks) {
  // A record whose head could not be kept is dropped whole, never delivered as its tail.
  std::string csv = "a,b\n";
  csv.append(std::string(600000, 'h')).append(",1\nend,2\n");
  std::string jsonl = "{\"a\":\"s\"}\n{\"a\":\"";
  jsonl.append(std::string(600000, 'h')).append("\"}\n{\"a\":\"end\"}\n");
  std::set<std::string> seen;
  sweep_rows(dir.write("long.csv", csv), nullptr, &seen);
  sweep_rows(dir.write("long.jsonl", jsonl), nullptr, &seen);
}

// A line dropped because its head could not be kept is not counted afterwards.
TEST_F(ScannerFaults, CountAfterALineWasDropped) {
  for (const char* name : {"long.csv", "long.jsonl"}) {
    bool json = std::string(name).find("json") != std::string::npos;
    std::string text = json ? "{\"a\":\"h\"}\n{\"a\":\"" : "h\n";
    text.append(std::string(300000, 'x')).append(json ? "\"}\n{\"a\":1}\n{\"a\":2}\n" : "\na\nb\n");
    std::string path = dir.write(name, text);
    Scanner* s = quelta_open(path.c_str(), nullptr);
    ASSERT_NE(s, nullptr);
    if (json) {
      ASSERT_EQ(quelta_next(s, nullptr, nullptr), 1);  // the first row is held in memory
    }
    quelta::platform::heap_fail_at(1);
    int32_t r = quelta_next(s, nullptr, nullptr);
    quelta::platform::heap_fail_at(0);
    EXPECT_EQ(r, -1) << name;
    EXPECT_STREQ(quelta_last_error(), "next failed: OutOfMemory");
    EXPECT_EQ(quelta_count(s), 2) << name;
    quelta_close(s);
  }
}

TEST_F(ScannerFaults, FailedStepInsideAnArrayObjectAcrossChunks) {
  // An object whose head could not be kept is skipped to its end, so a '{}' inside its string never frames a
  // row.
  std::string text = "[{\"a\":\"1\",\"b\":\"2\"},\n{\"a\":\"";
  text.append(std::string(262144 - text.size() + 20, 'x')).append("{}").append(std::string(100, 'y'));
  text.append("\",\"b\":\"3\"},\n{\"a\":\"end\",\"b\":\"4\"}]");
  std::set<std::string> seen;
  sweep_rows(dir.write("t.json", text), nullptr, &seen);
}

// The rows of a batch text; the fields of these tests hold no "],[".
Rows batch_rows(const std::string& text) {
  Rows rows;
  std::string body = text.substr(2, text.size() - 4);
  for (size_t pos = 0;;) {
    size_t next = body.find("],[", pos);
    rows.push_back(Row{body.substr(pos, next == std::string::npos ? std::string::npos : next - pos)});
    if (next == std::string::npos) return rows;
    pos = next + 3;
  }
}

TEST_F(ScannerFaults, Batches) {
  const std::string path = growing_csv();
  Rows want;
  {
    ScannerHandle s = open_scanner(path);
    ASSERT_TRUE(s);
    Batch* b = nullptr;
    while (quelta_next_batch(s.get(), 2, 1 << 20, &b) == 1) {
      for (Row& r : batch_rows(batch_text(b))) want.push_back(r);
      quelta_batch_free(b);
    }
  }
  ASSERT_EQ(want.size(), 5u);
  ASSERT_EQ(want.back(), Row{R"("end","1","2")"});
  Messages messages;
  int run = 0;
  int shrinks = 0;
  sweep_allocation_failures([&] {
    ++run;
    const uint64_t before = platform::heap_alloc_count();
    Scanner* s = quelta_open(path.c_str(), nullptr);
    if (!s) {
      messages.note(kOpenMessages, run);
      return true;
    }
    size_t failures = 0;
    Rows got;
    for (int i = 0; i < 100; ++i) {
      Batch* b = reinterpret_cast<Batch*>(&got);
      int32_t r = quelta_next_batch(s, 2, 1 << 20, &b);
      if (r == 0) break;
      if (r < 0) {
        ++failures;
        EXPECT_EQ(b, nullptr);
        messages.note(kBatchMessages, run);
        continue;
      }
      for (Row& row : batch_rows(batch_text(b))) got.push_back(row);
      quelta_batch_free(b);
    }
    quelta_close(s);
    EXPECT_TRUE(in_order_with_losses(got, want, 2 * failures))
        << "run " << run << ": got " << shape(got) << "want " << shape(want);
    // Shrinking a finished text to its length may fail without harm: the
    // batch keeps the larger block. Such a run delivers every row.
    bool reached = platform::heap_alloc_count() - before >= static_cast<uint64_t>(run);
    if (reached && failures == 0 && got == want) {
      ++shrinks;
      return true;
    }
    return failures > 0;
  });
  for (const auto& m : kBatchMessages) EXPECT_TRUE(messages.seen.count(m)) << m;
  EXPECT_LE(shrinks, 3) << "more silent failures than batches";
}

}  // namespace
}  // namespace quelta::test
