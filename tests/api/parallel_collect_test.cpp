// The parallel columnar collect through the public header: the same columns
// for every thread count, the single-threaded columnar collect as the oracle
// on files both read alike, the JSON-lines and JSON-array rules, and failures
// (messages, the 32-bit merge check, refused thread starts, allocation
// failures) that leak nothing and leave no thread running.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/operator_support.h"
#include "ops/columnar.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

// What a columnar context holds: its counts and every column's values.
struct Columns {
  size_t n_rows = 0, n_cols = 0;
  std::vector<std::vector<std::string>> values;
  bool operator==(const Columns&) const = default;
};

Columns read_columns(ColumnarCollectContext* ctx) {
  Columns out{quelta_collect_columnar_n_rows(ctx), quelta_collect_columnar_n_cols(ctx), {}};
  for (size_t c = 0; c < out.n_cols; ++c) out.values.push_back(column(ctx, c));
  return out;
}

Columns parallel(const std::string& path, size_t n_threads, const std::vector<Predicate>& predicates = {},
                 int32_t negate = 0, char delimiter = ',') {
  ColumnarPtr ctx(quelta_parallel_collect_columnar(path.c_str(), delimiter, predicates.data(),
                                                   predicates.size(), negate, n_threads));
  EXPECT_NE(ctx, nullptr) << path << ": " << last_error();
  EXPECT_EQ(quelta_last_error(), nullptr);
  return ctx ? read_columns(ctx.get()) : Columns{};
}

// The oracle: quelta_collect_columnar over quelta_open with the same filter.
Columns single_threaded(const std::string& path, const std::vector<Predicate>& predicates = {},
                        int32_t negate = 0) {
  ScanOptions o = options();
  o.predicates = predicates.data();
  o.n_predicates = predicates.size();
  o.negate = negate;
  ScannerPtr s = open(path, &o);
  ColumnarPtr ctx(quelta_collect_columnar(s.get()));
  EXPECT_NE(ctx, nullptr) << last_error();
  return ctx ? read_columns(ctx.get()) : Columns{};
}

std::string parallel_error(const std::string& path, size_t n_threads, char delimiter = ',') {
  ColumnarPtr ctx(quelta_parallel_collect_columnar(path.c_str(), delimiter, nullptr, 0, 0, n_threads));
  EXPECT_EQ(ctx, nullptr);
  return last_error();
}

const size_t kThreadCounts[] = {1, 2, 3, 16, 0};

// Threads of this process, from /proc/self/status.
int running_threads() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// The thread count once it has settled at want. A joined thread may still be
// listed for a moment: the kernel wakes the joiner before it reaps the thread.
int threads_settled_at(int want) {
  int now = running_threads();
  for (int i = 0; i < 2000 && now != want; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    now = running_threads();
  }
  return now;
}

// The thread count to come back to after a run: its fewest over a tenth of a
// second, as the run's joined threads may still be listed for a moment (for
// many moments under an emulator such as qemu-user, which also counts its
// own threads here).
int threads_after_run() {
  int low = running_threads();
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    low = std::min(low, running_threads());
  }
  return low;
}

// A CSV file of many 64 KiB chunks: quoted fields with delimiters and doubled
// quotes, junk after a closing quote, CRLF, empty lines, rows narrower and
// wider than the header, and long lines that swallow split points (one longer
// than a worker's 1 MiB read). The first row has the header's width, so the
// single-threaded collect reads the same columns.
std::string messy_csv() {
  std::string text = "id,name,score,note\n1,first,0.5,n\n";
  uint32_t x = 12345;
  for (int i = 2; i < 40000; ++i) {
    x = x * 1103515245u + 12345u;
    const std::string id = std::to_string(i);
    switch ((x >> 16) % 9) {
      case 0:
        text += id + ",\"a,b\"," + std::to_string(x % 1000) + ",\"say \"\"hi\"\"\"\n";
        break;
      case 1:
        text += id + ",crlf," + std::to_string(x % 97) + ",z\r\n";
        break;
      case 2:
        text += "\n";
        break;
      case 3:
        text += id + ",narrow\n";
        break;
      case 4:
        text += id + ",wide,1,2,3,4\n";
        break;
      case 5:
        text += id + ",\"ab\"cd,e,\"\"\n";
        break;
      case 6:
        text += id + ",,,\n";
        break;
      default:
        text += id + ",plain," + std::to_string(x % 5000) + ",note " + id + "\n";
    }
    if (i == 9000) text += id + ",long," + std::string(300000, 'L') + ",x\n";
    if (i == 25000) text += id + ",longer,\"" + std::string(1200000, 'M') + "\",y\r\n";
  }
  return text;
}

// JSON lines of many chunks that quelta_open reads too: keys in order (fast
// path), out of order or with escapes, null, booleans, missing and unknown keys
// (general path), CRLF, and one line longer than a worker's read.
std::string clean_jsonl() {
  std::string text;
  for (int i = 0; i < 30000; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 6) {
      case 0:
        text += "{\"a\":" + n + ",\"b\":\"s" + n + "\",\"c\":true}\n";
        break;
      case 1:
        text += "{\"c\":false, \"b\":\"x\\\"y\\u00e9\", \"a\":-" + n + ".5}\n";
        break;
      case 2:
        text += "{\"a\":null,\"b\":\"\",\"c\":1e5}\r\n";
        break;
      case 3:
        text += "{\"b\":\"only b\",\"zz\":{\"n\":[1,2]}}\n";
        break;
      case 4:
        text += "{\"a\": " + n + " , \"b\" : \"sp\" , \"c\" : null }\n";
        break;
      default:
        text += "{\"a\":\"" + n + "\",\"b\":\"t\\tab\",\"c\":\"u\"}\n";
    }
    if (i == 20000) text += "{\"a\":1,\"b\":\"" + std::string(1100000, 'J') + "\",\"c\":2}\n";
  }
  return text;
}

// Rows of the header's width only (so the single-threaded collect, whose
// columns follow the first row it keeps, reads the same columns under any filter).
std::string uniform_csv() {
  const char* names[] = {"plain", "crlf", "\"a,b\"", "\"q\"\"q\""};
  std::string text = "id,name,score,note\n";
  for (int i = 0; i < 40000; ++i) {
    text.append(std::to_string(i)).append(",").append(names[i % 4]).append(",");
    text.append(std::to_string((i * 37) % 101)).append(",");
    if (i % 5) text.append("n").append(std::to_string(i % 7));
    text.append(i % 3 ? "\n" : "\r\n");
  }
  return text;
}

// The same two calls with read options: the parallel collect, and the
// single-threaded collect over quelta_open_with as its oracle.
Columns parallel_with(const std::string& path, size_t n_threads, const std::vector<Predicate>& predicates,
                      const ReadOptions& read) {
  ColumnarPtr ctx(quelta_parallel_collect_columnar_with(path.c_str(), predicates.data(), predicates.size(), 0,
                                                        n_threads, &read));
  EXPECT_NE(ctx, nullptr) << path << ": " << last_error();
  return ctx ? read_columns(ctx.get()) : Columns{};
}

Columns single_threaded_with(const std::string& path, const std::vector<Predicate>& predicates,
                             const ReadOptions& read) {
  ScanOptions o = options();
  o.predicates = predicates.data();
  o.n_predicates = predicates.size();
  ScannerPtr s(quelta_open_with(path.c_str(), &o, &read));
  EXPECT_NE(s, nullptr) << last_error();
  ColumnarPtr ctx(s ? quelta_collect_columnar(s.get()) : nullptr);
  EXPECT_NE(ctx, nullptr) << last_error();
  return ctx ? read_columns(ctx.get()) : Columns{};
}

// A CSV file of at least min_bytes whose rows change their widths part-way:
// row i's values are made by value(i). Every row has the header's width.
template <typename Value>
std::string csv_rows(size_t min_bytes, const char* line_end, Value&& value) {
  std::string text = "id,a,b\n";
  for (int i = 0; text.size() < min_bytes; ++i) {
    text += std::to_string(i) + "," + value(i, 0) + "," + value(i, 1) + line_end;
  }
  return text;
}

class ParallelCollect : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(ParallelCollect, EveryThreadCountMatchesTheSingleThreadedCollect) {
  const std::string files[] = {dir.write("messy.csv", messy_csv()), dir.write("clean.jsonl", clean_jsonl())};
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const Columns expected = single_threaded(path);
    ASSERT_GT(expected.n_rows, 30000u);
    for (size_t n : kThreadCounts) EXPECT_EQ(parallel(path, n), expected) << n << " threads";
  }
}

// The workers write into regions of the result sized from a sample of the
// first bytes (at most 256 KiB); rows that grow, shrink or first pass the
// filter after it make parts leave their regions or leave room behind, and
// chunk ends fall inside quoted fields, CRLF pairs and records spanning lines.
// Every thread count from 1 to 20 must give the single-threaded collect's columns.
TEST_F(ParallelCollect, EveryThreadCountAndChunkingMatchesTheSingleThreadedCollect) {
  const size_t kBytes = 1536 * 1024;
  const size_t kSampled = 300000;  // past the sample
  size_t first_late_row = 0;
  const std::string grow = csv_rows(kBytes, "\n", [&](int i, int col) {
    if (static_cast<size_t>(i) * 12 < kSampled) return std::string(col ? "" : "s");
    if (!first_late_row) first_late_row = static_cast<size_t>(i);
    return std::string(static_cast<size_t>(20 + (i * 7 + col * 13) % 180), static_cast<char>('a' + i % 26));
  });
  const std::string shrink = csv_rows(kBytes, "\r\n", [](int i, int col) {
    return i < 2000 ? std::string(static_cast<size_t>(100 + (i + col) % 60), 'L') : std::to_string(i % 7);
  });
  const std::string quoted = csv_rows(kBytes, "\r\n", [](int i, int col) {
    switch ((i + col) % 4) {
      case 0:
        return std::string("\"x,\"\"y\"\"\"");
      case 1:
        return std::string("\"") + std::string(static_cast<size_t>(i % 90), ',') + "\"";
      case 2:
        return std::string();
      default:
        return "v" + std::to_string(i);
    }
  });
  const std::string spanning = csv_rows(kBytes, "\n", [](int i, int col) {
    if (col == 1) return std::to_string(i);
    std::string v = "\"";
    for (int k = 0; k < i % 5; ++k) v += k % 2 ? "\r\n" : "\n,\"\"";
    return v + std::string(static_cast<size_t>(i % 70), 'q') + "\"";
  });
  std::string jsonl;
  for (int i = 0; jsonl.size() < kBytes; ++i) {
    const std::string n = std::to_string(i);
    const std::string b = jsonl.size() < kSampled ? "" : std::string(static_cast<size_t>(i % 150), 'j');
    jsonl +=
        i % 4 ? "{\"id\":" + n + ",\"b\":\"" + b + "\"}\n" : "{\"b\":\"" + b + "\\n\",\"id\":" + n + "}\r\n";
  }
  ReadOptions lines{};
  lines.size = sizeof lines;
  ReadOptions records = lines;
  records.quoting = QUELTA_QUOTING_RFC4180;
  const std::string late_rows = std::to_string(first_late_row);
  struct Case {
    const char* name;
    const std::string& text;
    std::vector<Predicate> predicates;
    const ReadOptions& read;
  } cases[] = {
      {"grow.csv", grow, {}, lines},
      {"grow_filtered.csv", grow, {{0, QUELTA_OP_GE, late_rows.c_str(), nullptr, 0}}, lines},
      {"shrink.csv", shrink, {}, lines},
      {"quoted.csv", quoted, {}, lines},
      {"spanning.csv", spanning, {}, records},
      {"grow.jsonl", jsonl, {}, lines},
  };
  ASSERT_GT(first_late_row, 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.write(c.name, c.text);
    const Columns expected = single_threaded_with(path, c.predicates, c.read);
    ASSERT_GT(expected.n_rows, 1000u);
    for (size_t n = 1; n <= 20; ++n) EXPECT_EQ(parallel_with(path, n, c.predicates, c.read), expected) << n;
  }
}

TEST_F(ParallelCollect, PredicatesAndNegate) {
  const std::string csv = dir.write("p.csv", uniform_csv());
  const std::string jsonl = dir.write("p.jsonl", clean_jsonl());
  const char* in_values[] = {"plain", "crlf", "x\"y\xc3\xa9"};
  const std::vector<Predicate> filters[] = {
      {{2, QUELTA_OP_GT, "50", nullptr, 0}},
      {{1, QUELTA_OP_IN, nullptr, in_values, 3}, {0, QUELTA_OP_LE, "30000", nullptr, 0}},
      {{2, QUELTA_OP_NE, "", nullptr, 0}, {1, QUELTA_OP_LT, "d", nullptr, 0}},
  };
  for (const std::string& path : {csv, jsonl}) {
    for (const auto& predicates : filters) {
      for (int32_t negate : {0, 1}) {
        SCOPED_TRACE(path + " negate " + std::to_string(negate));
        const Columns expected = single_threaded(path, predicates, negate);
        ASSERT_GT(expected.n_rows, 0u);
        for (size_t n : {1, 3}) EXPECT_EQ(parallel(path, n, predicates, negate), expected);
      }
    }
  }
  // Nothing passes: every header column, no rows.
  const Columns none = parallel(csv, 2, {}, 1);
  EXPECT_EQ(none.n_rows, 0u);
  EXPECT_EQ(none.n_cols, 4u);
  EXPECT_EQ(none.values, (std::vector<std::vector<std::string>>(4)));
}

TEST_F(ParallelCollect, SmallFilesHeaderOnlyAndDelimiter) {
  using V = std::vector<std::vector<std::string>>;
  struct Case {
    const char* name;
    const char* text;
    char delimiter;
    size_t n_rows;
    V values;
  } cases[] = {
      {"h1.csv", "a,b,c", ',', 0, {}},
      {"h2.csv", "a,b,c\n", ',', 0, {}},
      {"h3.csv", "a,b,c\r\n", ',', 0, {}},
      {"d.csv", "a;b;c\n1;2;3\n\"x;y\";q;\n", ';', 2, {{"1", "x;y"}, {"2", "q"}, {"3", ""}}},
      {"e.csv", "a,b\n\n1\r\n\n", ',', 3, {{"", "1", ""}, {"", "", ""}}},
      // The empty rest after the last line end is no row; a last line without one is.
      {"t.csv", "a,b\n1,2\n3,4", ',', 2, {{"1", "3"}, {"2", "4"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.write(c.name, c.text);
    for (size_t n : kThreadCounts) {
      const Columns got = parallel(path, n, {}, 0, c.delimiter);
      EXPECT_EQ(got.n_rows, c.n_rows);
      EXPECT_EQ(got.n_cols, c.values.size());
      EXPECT_EQ(got.values, c.values);
    }
  }
}

TEST_F(ParallelCollect, JsonLinesSkipWhatQueltaOpenRejects) {
  const std::string text =
      "{\"a\":1,\"b\":\"x\"}\n\n[1,2]\nhello\n{\"b\":\"y\",\"a\":2}\n   \n"
      "{\"a\":{\"n\":1},\"b\":[1,2]}\n{\"a\":null,\"b\":true}\n{\"a\" 5}\n{\"b\":null,\"a\":false}";
  for (const char* name : {"j.jsonl", "j.ndjson", "j.json"}) {
    const std::string path = dir.write(name, text);
    const Columns got = parallel(path, 1);
    EXPECT_EQ(got.n_rows, 5u) << name;
    EXPECT_EQ(got.values, (std::vector<std::vector<std::string>>{{"1", "2", "", "", "false"},
                                                                 {"x", "y", "", "true", ""}}));
  }
  // The same lines spread over many chunks give the same columns everywhere.
  std::string many;
  while (many.size() < 600000) many += text + "\n";
  const std::string path = dir.write("many.jsonl", many);
  const Columns one = parallel(path, 1);
  EXPECT_EQ(one.n_rows, 5u * (many.size() / (text.size() + 1)));
  for (size_t n : kThreadCounts) EXPECT_EQ(parallel(path, n), one) << n << " threads";
}

TEST_F(ParallelCollect, JsonArrayFilesAreReadOnTheCallingThread) {
  const std::string text = "  \n[{\"a\":1,\"b\":\"x\"},\n {\"b\":\"y\",\"a\":2},\n {\"a\":3}]\n";
  const Columns expected = single_threaded(dir.write("arr.json", text));
  ASSERT_EQ(expected.n_rows, 3u);
  for (const char* name : {"arr.json", "arr.csv", "arr.jsonl"}) {
    const std::string path = dir.write(name, text);
    for (size_t n : kThreadCounts) EXPECT_EQ(parallel(path, n), expected) << name;
    // The directory's columns stay even when no row passes.
    const std::vector<Predicate> none = {{0, QUELTA_OP_GT, "5", nullptr, 0}};
    const Columns empty = parallel(path, 2, none);
    EXPECT_EQ(empty.n_rows, 0u);
    EXPECT_EQ(empty.n_cols, 2u);
  }
}

TEST_F(ParallelCollect, FailureMessages) {
  const std::string late_quote = std::string("a,b\n") + std::string(300000, '\n') + "1,\"open\n2,3\n";
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  } cases[] = {
      {"empty.csv", "", "parallel scan failed: EmptyFile"},
      {"quote.csv", late_quote, "parallel scan failed: UnterminatedQuote"},
      {"nl.csv", "a,b\n1,\"x\ny\",2\n", "parallel scan failed: UnterminatedQuote"},
      {"header.csv", "a,\"b\n1,2\n", "parallel scan failed: UnterminatedQuote"},
      {"colon.jsonl", "{\"a\" 1}\n{\"a\":1}\n", "parallel scan failed: ExpectedColon"},
      {"blank.jsonl", "\r\n{\"a\":1}\n", "parallel scan failed: InvalidJSON"},
      {"word.ndjson", "hello\n{\"a\":1}\n", "parallel scan failed: InvalidJSON"},
      {"nested.json", "[{\"a\":1},{\"a\":[2]}]", "parallel scan failed: NestedValueNotSupported"},
      {"bad.json", "[{\"a\":1},{\"a\" 2}]", "parallel scan failed: InvalidJson"},
      {"none.json", "[]", "parallel scan failed: EmptyFile"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.write(c.name, c.text);
    for (size_t n : {1, 4}) EXPECT_EQ(parallel_error(path, n), c.message) << c.name << " " << n;
  }
  EXPECT_EQ(parallel_error((dir.path() / "missing.csv").string(), 2), "parallel scan failed: FileNotFound");
  EXPECT_EQ(quelta_parallel_collect_columnar(nullptr, ',', nullptr, 0, 0, 1), nullptr);
  EXPECT_EQ(last_error(), "path is null");
  const std::string ok = dir.write("ok.csv", "a\n1\n");
  EXPECT_EQ(quelta_parallel_collect_columnar(ok.c_str(), ',', nullptr, 2, 0, 1), nullptr);
  EXPECT_EQ(last_error(), "predicates is null");
}

// The merge adds each chunk's offsets to the data before it: a column that
// fits in every chunk but not joined must fail rather than wrap.
TEST_F(ParallelCollect, AMergedColumnPastItsOffsetLimitFails) {
  std::string text = "k,v\n";
  for (int i = 0; i < 40000; ++i) text += "0123456789," + std::to_string(i % 10) + "\n";
  const std::string path = dir.write("limit.csv", text);
  const uint64_t total = 400000;  // column k's bytes
  columnar_set_data_limit(total * 3 / 4);
  for (size_t n : {1, 2, 3}) EXPECT_EQ(parallel_error(path, n), "parallel scan failed: OutOfMemory") << n;
  columnar_set_data_limit(total);
  const Columns got = parallel(path, 2);
  columnar_set_data_limit(UINT32_MAX);
  EXPECT_EQ(got.n_rows, 40000u);
  EXPECT_EQ(got, parallel(path, 1));
}

TEST_F(ParallelCollect, RefusedThreadStartJoinsTheStartedOnes) {
  const std::string path = dir.write("t.csv", messy_csv());
  // A first run, so that helper threads a sanitizer starts with the first
  // thread are running before the count.
  EXPECT_GT(parallel(path, 4).n_rows, 0u);
  const int threads = threads_after_run();
  const int64_t live = platform::heap_live_blocks();
  for (uint64_t refused : {1, 2, 4}) {
    platform::thread_fail_at(refused);
    EXPECT_EQ(parallel_error(path, 4), "parallel scan failed: Unexpected") << refused;
    platform::thread_fail_at(0);
    EXPECT_EQ(threads_settled_at(threads), threads);
    EXPECT_EQ(platform::heap_live_blocks(), live);
  }
}

// Asking for more threads than the machine can use starts at most eight per
// processor, however many 64 KiB ranges the file has: one more start would be
// refused here.
TEST_F(ParallelCollect, ThreadCountIsCappedPerProcessor) {
  const size_t cap = 8 * platform::processor_count();
  std::string text = "id,name\n";
  for (int i = 0; text.size() < (cap + 4) * 65536; ++i)
    text += std::to_string(i) + ",row " + std::to_string(i) + "\n";
  const std::string path = dir.write("wide_request.csv", text);
  const Columns one = parallel(path, 1);
  for (size_t asked : {SIZE_MAX, cap + 1}) {
    platform::thread_fail_at(cap + 1);
    EXPECT_EQ(parallel(path, asked), one) << asked;
  }
  platform::thread_fail_at(0);
}

// Every allocation of the call, on one chunk and on several: each failure
// gives one of the call's messages, leaks nothing and leaves no thread behind.
TEST_F(ParallelCollect, AllocationFailures) {
  std::string csv = "k,a,b\n";
  std::string jsonl;
  for (int i = 0; csv.size() < 200000; ++i) {
    const std::string n = std::to_string(i);
    csv += n + ",\"q\"\"" + n + "\"," + std::string(static_cast<size_t>(i % 40), 'w') + "\n";
    jsonl += i % 3 ? "{\"k\":" + n + ",\"a\":\"e\\u00e9\"}\n" : "{\"a\":\"p\",\"k\":" + n + "}\n";
  }
  const char* in_values[] = {"1", "2", "300"};
  // Negated, they keep almost every row.
  const std::vector<Predicate> predicates = {{0, QUELTA_OP_IN, nullptr, in_values, 3},
                                             {1, QUELTA_OP_NE, "zzz", nullptr, 0}};
  const std::set<std::string> allowed = {
      "out of memory allocating predicates", "out of memory allocating IN values",
      "parallel scan failed: OutOfMemory", "out of memory allocating columnar collect context"};
  const std::string small = dir.write("s.csv", csv.substr(0, 3000));
  const std::string paths[] = {small, dir.write("m.csv", csv), dir.write("m.jsonl", jsonl.substr(0, 150000)),
                               dir.write("a.json", "[{\"k\":1,\"a\":\"x\"},{\"k\":2}]")};
  for (const std::string& path : paths) {
    for (size_t n_threads : {1, 3}) {
      if (path == small && n_threads == 3) continue;
      SCOPED_TRACE(path + " " + std::to_string(n_threads));
      const Columns expected = parallel(path, n_threads, predicates, 1);
      const int threads = threads_after_run();
      std::set<std::string> seen;
      sweep_allocation_failures([&] {
        ColumnarPtr ctx(quelta_parallel_collect_columnar(path.c_str(), ',', predicates.data(),
                                                         predicates.size(), 1, n_threads));
        const std::string message = last_error();
        EXPECT_EQ(threads_settled_at(threads), threads);
        if (ctx) {
          EXPECT_EQ(read_columns(ctx.get()), expected);
          return false;
        }
        EXPECT_TRUE(allowed.count(message)) << message;
        seen.insert(message);
        return true;
      });
      EXPECT_EQ(seen, allowed);
    }
  }
}

}  // namespace
}  // namespace quelta::test::ops
