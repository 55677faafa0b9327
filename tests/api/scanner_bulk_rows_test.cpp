// Rows in bulk against the row-by-row export as oracle: every block size over
// tricky inputs and scan options, failures at their own rows, rows given back
// and read again by every way of reading, and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/scanner_test_support.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

RowChunk chunk_record() {
  RowChunk c{};
  c.size = sizeof(RowChunk);
  return c;
}

// The rows of a block, cut at the offsets; checks on the way that the
// separator split, the width and the max_rows/max_bytes stop agree with them.
Rows rows_of(const RowChunk& c, size_t max_rows, size_t max_bytes) {
  EXPECT_LE(c.n_rows, max_rows);
  EXPECT_EQ(c.separator, '\x1f');
  const std::string data = c.data ? std::string(c.data, c.data_len) : std::string();
  EXPECT_EQ(c.data == nullptr, c.data_len == 0);
  std::vector<std::string> fields;
  for (size_t i = 0; i < c.n_fields; ++i) {
    const size_t start = i ? c.field_ends[i - 1] + 1 : 0;
    fields.push_back(data.substr(start, c.field_ends[i] - start));
  }
  if (c.separated && c.n_fields > 0) {
    std::vector<std::string> split;
    size_t start = 0;
    for (size_t at; (at = data.find('\x1f', start)) != std::string::npos; start = at + 1)
      split.push_back(data.substr(start, at - start));
    split.push_back(data.substr(start));
    EXPECT_EQ(split, fields);
  }
  Rows rows;
  bool uniform = true;
  for (size_t r = 0; r < c.n_rows; ++r) {
    const size_t first = r ? c.row_ends[r - 1] : 0;
    rows.emplace_back(fields.begin() + static_cast<ptrdiff_t>(first),
                      fields.begin() + static_cast<ptrdiff_t>(c.row_ends[r]));
    uniform = uniform && rows.back().size() == c.width;
    // Only the last row may bring the block to max_bytes.
    if (r + 1 < c.n_rows && c.row_ends[r] > 0) {
      EXPECT_LT(c.field_ends[c.row_ends[r] - 1], max_bytes);
    }
  }
  EXPECT_EQ(c.n_rows ? c.row_ends[c.n_rows - 1] : 0, c.n_fields);
  EXPECT_EQ(c.uniform != 0, uniform);
  if (c.n_rows) {
    EXPECT_EQ(c.width, rows.front().size());
  }
  return rows;
}

// One quelta_next_rows, its rows (or one "!" + message row) appended to *rows.
int32_t bulk_step(Scanner* s, size_t max_rows, size_t max_bytes, Rows* rows) {
  RowChunk c = chunk_record();
  const int32_t r = quelta_next_rows(s, max_rows, max_bytes, &c);
  if (r < 0) {
    rows->push_back(failure(quelta_last_error() ? quelta_last_error() : "(no message)"));
    EXPECT_EQ(c.n_rows, 0u);
  } else {
    EXPECT_EQ(r, c.n_rows ? 1 : 0);
    EXPECT_EQ(quelta_last_error(), nullptr);
    for (Row& row : rows_of(c, max_rows, max_bytes)) rows->push_back(row);
  }
  return r;
}

Rows bulk_drain(Scanner* s, size_t max_rows, size_t max_bytes) {
  Rows rows;
  for (int guard = 0; guard < 100000; ++guard)
    if (bulk_step(s, max_rows, max_bytes, &rows) == 0) return rows;
  ADD_FAILURE() << "no end";
  return rows;
}

Rows tail(const Rows& rows, size_t from) {
  return Rows(rows.begin() + static_cast<ptrdiff_t>(from), rows.end());
}

class BulkRows : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(BulkRows, EveryBlockSizeGivesTheRowsOfQueltaNext) {
  struct Input {
    const char* name;
    std::string text;
  };
  const Input inputs[] = {
      {"ragged.csv", "a,b,c\n1,2,3\n,,\n4\n\n5,6,7,8\n\"x,y\",\"q\"\"q\"z,\n9,10,11\n"},
      {"separator.csv", "a,b\nx\x1fy,2\n3,4\n\x1f,\x1f\x1f\n5,6\n"},
      {"bom_crlf.csv",
       "\xEF\xBB\xBF"
       "a,b\r\n1,2\r\n3,\r\n,4\r\n"},
      {"bad_quotes.csv", "a,b\n1,2\n\"x,3\n4,5\n\"y\n\"z\n6,7\n"},
      {"latin.csv", "n,v\ncaf\xE9,1\n\xFF\xFE,2\n"},
      {"rows.jsonl", "{\"a\":1,\"b\":\"x\"}\n{bad\n{\"a\":2}\n{\"b\":\"\\u001f\",\"a\":true}\n"},
      {"empty_objects.jsonl", "{}\n{}\n{}\n"},
      {"header_only.csv", "a,b\n"},
  };
  const size_t projection[3] = {1, 0, 7};
  const Predicate greater = predicate(0, QUELTA_OP_GT, "1");
  struct Options {
    const char* name;
    ScanOptions options;
  };
  std::vector<Options> scans = {{"all", no_options()}};
  scans.push_back({"projection", no_options()});
  scans.back().options.projection = projection;
  scans.back().options.n_projection = 3;
  scans.push_back({"where", no_options()});
  scans.back().options.predicates = &greater;
  scans.back().options.n_predicates = 1;
  scans.push_back(scans.back());
  scans.back().name = "negated, limit 2";
  scans.back().options.negate = 1;
  scans.back().options.limit = 2;
  scans.push_back({"limit 3", no_options()});
  scans.back().options.limit = 3;
  const std::pair<size_t, size_t> sizes[] = {
      {1, SIZE_MAX}, {2, SIZE_MAX}, {3, 5}, {65536, 1}, {65536, SIZE_MAX}};

  for (const Input& in : inputs) {
    const std::string path = dir.write(in.name, in.text);
    for (const Options& scan : scans) {
      const Rows want = read_all(path, &scan.options);
      for (auto [max_rows, max_bytes] : sizes) {
        SCOPED_TRACE(std::string(in.name) + ", " + scan.name + ", max_rows " + std::to_string(max_rows) +
                     ", max_bytes " + std::to_string(max_bytes));
        ScannerHandle s = open_scanner(path, &scan.options);
        ASSERT_TRUE(s);
        EXPECT_EQ(bulk_drain(s.get(), max_rows, max_bytes), want);
        Rows after;
        EXPECT_EQ(bulk_step(s.get(), max_rows, max_bytes, &after), 0);  // the end stays the end
      }
    }
  }
}

TEST_F(BulkRows, NulBytesStayInTheirField) {
  const std::string path = dir.write("nul.csv", std::string("a,b\nx\0y,1\n", 10));
  ScannerHandle s = open_scanner(path);
  EXPECT_EQ(bulk_drain(s.get(), 10, SIZE_MAX), (Rows{{std::string("x\0y", 3), "1"}}));
}

// Every way of reading after rows were given back, as the rows left from the
// position of the first row given back.
TEST_F(BulkRows, RowsGivenBackComeFirstToEveryReader) {
  const std::string path = dir.write("in.csv", "k,v\n1,a\n2,b\n\"bad\n3,c\n4,d\n5,e\n6,f\n");
  const Rows all = read_all(path);
  ASSERT_EQ(all.size(), 7u);  // the bad line is the third row
  struct Reader {
    const char* name;
    std::function<Rows(Scanner*)> read;
  };
  const Reader readers[] = {
      {"next", [](Scanner* s) { return drain(s); }},
      {"next_rows 2", [](Scanner* s) { return bulk_drain(s, 2, SIZE_MAX); }},
      {"next_rows 64", [](Scanner* s) { return bulk_drain(s, 64, SIZE_MAX); }},
      {"count", [](Scanner* s) { return Rows{{std::to_string(quelta_count(s))}}; }},
  };
  // Blocks of four rows end before the bad line: (rows read, then given back).
  for (size_t first = 1; first <= 4; ++first) {
    for (size_t back = 0; back <= first; ++back) {
      for (const Reader& reader : readers) {
        SCOPED_TRACE(std::to_string(first) + " rows, " + std::to_string(back) + " back, then " + reader.name);
        ScannerHandle s = open_scanner(path);
        Rows got;
        bulk_step(s.get(), first, SIZE_MAX, &got);
        const size_t read = got.size();
        ASSERT_EQ(read, std::min<size_t>(first, 2));
        if (back > read) {
          EXPECT_EQ(quelta_unread_rows(s.get(), back), -1);
          EXPECT_EQ(last_error(), "unread rows out of range");
          continue;
        }
        ASSERT_EQ(quelta_unread_rows(s.get(), back), 0) << last_error();
        EXPECT_EQ(quelta_last_error(), nullptr);
        Rows want = tail(all, read - back);
        if (std::string(reader.name) == "count") {
          // The count takes the fast way: the bad line is one line.
          want = Rows{{std::to_string(want.size())}};
        }
        EXPECT_EQ(reader.read(s.get()), want);
      }
    }
  }
}

TEST_F(BulkRows, GivingBackTwiceKeepsTheOrder) {
  const std::string path = dir.write("in.csv", "k\n1\n2\n3\n4\n5\n6\n");
  const Rows all = read_all(path);
  ScannerHandle s = open_scanner(path);
  Rows got;
  bulk_step(s.get(), 4, SIZE_MAX, &got);         // 1 2 3 4
  ASSERT_EQ(quelta_unread_rows(s.get(), 3), 0);  // 2 3 4 held
  bulk_step(s.get(), 1, SIZE_MAX, &got);         // 2; 3 4 still held
  ASSERT_EQ(quelta_unread_rows(s.get(), 1), 0);  // 2 3 4 held again
  EXPECT_EQ(bulk_drain(s.get(), 2, SIZE_MAX), tail(all, 1));
}

TEST_F(BulkRows, FailuresComeAtTheirRowAndCarefulCountsStopThere) {
  const std::string path = dir.write("in.csv", "k,v\n1,a\n2,b\n\"bad\n3,c\n");
  const Predicate any = predicate(0, QUELTA_OP_NE, "zzz");
  ScanOptions filtered = no_options();
  filtered.predicates = &any;
  filtered.n_predicates = 1;
  ScannerHandle s = open_scanner(path, &filtered);
  Rows got;
  ASSERT_EQ(bulk_step(s.get(), 10, SIZE_MAX, &got), 1);
  EXPECT_EQ(got, (Rows{{"1", "a"}, {"2", "b"}}));
  ASSERT_EQ(quelta_unread_rows(s.get(), 1), 0);
  EXPECT_EQ(quelta_count(s.get()), -1);  // the failure behind the row given back
  EXPECT_EQ(last_error(), "count failed: UnterminatedQuote");
  EXPECT_EQ(quelta_count(s.get()), 1);  // and the scan reads on after it
}

TEST_F(BulkRows, ArgumentsAreChecked) {
  const std::string path = dir.write("in.csv", "k\n1\n2\n3\n");
  ScannerHandle s = open_scanner(path);
  RowChunk c = chunk_record();
  struct Case {
    const char* name;
    std::function<int32_t()> call;
    const char* message;
  };
  RowChunk small = chunk_record();
  small.size = sizeof(RowChunk) - 1;
  const Case cases[] = {
      {"null scanner", [&] { return quelta_next_rows(nullptr, 1, 1, &c); }, "scanner is null"},
      {"null chunk", [&] { return quelta_next_rows(s.get(), 1, 1, nullptr); }, "row chunk is null"},
      {"short record", [&] { return quelta_next_rows(s.get(), 1, 1, &small); }, "invalid row chunk"},
      {"max_rows 0", [&] { return quelta_next_rows(s.get(), 0, 1, &c); }, "next failed: InvalidBatchSize"},
      {"max_rows 65537", [&] { return quelta_next_rows(s.get(), 65537, 1, &c); },
       "next failed: InvalidBatchSize"},
      {"max_bytes 0", [&] { return quelta_next_rows(s.get(), 1, 0, &c); }, "next failed: InvalidBatchSize"},
      {"unread null", [&] { return quelta_unread_rows(nullptr, 0); }, "scanner is null"},
      {"unread before any block", [&] { return quelta_unread_rows(s.get(), 1); }, "unread rows out of range"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(k.call(), -1);
    EXPECT_EQ(last_error(), k.message);
  }
  // The chance to give back ends with any other read, and with giving back.
  Row row;
  const std::function<void()> reads[] = {
      [&] { step(s.get(), &row); },
      [&] { quelta_unread_rows(s.get(), 1); },
      [&] { quelta_count(s.get()); },
  };
  for (const auto& read : reads) {
    s = open_scanner(path);
    ASSERT_EQ(quelta_next_rows(s.get(), 2, SIZE_MAX, &c), 1);
    read();
    EXPECT_EQ(quelta_unread_rows(s.get(), 1), -1);
    EXPECT_EQ(last_error(), "unread rows out of range");
  }
  // A failure reported between the block and the give-back ends it too.
  s = open_scanner(dir.write("bad.csv", "k\n1\n\"bad\n2\n"));
  ASSERT_EQ(quelta_next_rows(s.get(), 1, SIZE_MAX, &c), 1);
  EXPECT_EQ(quelta_next(s.get(), nullptr, nullptr), -1);
  EXPECT_EQ(quelta_unread_rows(s.get(), 1), -1);
  EXPECT_EQ(last_error(), "unread rows out of range");
  // A longer record is filled up to this version's fields; the rest stays.
  struct Longer {
    RowChunk chunk;
    uint64_t extra;
  } longer{};
  longer.chunk.size = sizeof longer;
  longer.extra = 42;
  s = open_scanner(path);
  EXPECT_EQ(quelta_next_rows(s.get(), 8, SIZE_MAX, &longer.chunk), 1);
  EXPECT_EQ(longer.chunk.size, sizeof longer);
  EXPECT_EQ(longer.chunk.n_rows, 3u);
  EXPECT_EQ(longer.extra, 42u);
  // The block at the end holds no rows.
  EXPECT_EQ(quelta_next_rows(s.get(), 8, SIZE_MAX, &c), 0);
  EXPECT_EQ(c.n_rows, 0u);
  EXPECT_EQ(c.data, nullptr);
}

}  // namespace
}  // namespace quelta::test
