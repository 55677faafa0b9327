// Read options through the public header: the record's checks in every _with
// export, each option on a small file whose rows Python's csv and json modules
// give (the expected rows below are theirs), every reading export agreeing on
// those files, and quoted line breaks across buffer refills and parallel
// chunks checked against the fields the generator wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "api/operator_support.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

ReadOptions read_options() {
  ReadOptions r{};
  r.size = sizeof r;
  return r;
}

// Every row of a scanner opened with read, or the first failure as "!message".
Rows rows_with(const std::string& path, const ReadOptions* read) {
  Rows out;
  ScannerPtr s(quelta_open_with(path.c_str(), nullptr, read));
  if (!s) return {{"!" + last_error()}};
  out.push_back({});
  for (size_t i = 0; i < quelta_n_columns(s.get()); ++i)
    out.back().emplace_back(quelta_column_name(s.get(), i));
  const char** fields;
  size_t n;
  int32_t status;
  while ((status = quelta_next(s.get(), &fields, &n)) == 1) out.push_back(to_row(fields, n));
  if (status < 0) out.push_back({"!" + last_error()});
  return out;
}

// The parallel collect's columns turned back into rows (the header's width).
Rows parallel_rows(const std::string& path, const ReadOptions* read, size_t threads) {
  ColumnarPtr ctx(quelta_parallel_collect_columnar_with(path.c_str(), nullptr, 0, 0, threads, read));
  if (!ctx) return {{"!" + last_error()}};
  const size_t n_rows = quelta_collect_columnar_n_rows(ctx.get());
  const size_t n_cols = quelta_collect_columnar_n_cols(ctx.get());
  Rows out(n_rows, Row(n_cols));
  for (size_t c = 0; c < n_cols; ++c) {
    const std::vector<std::string> values = column(ctx.get(), c);
    for (size_t r = 0; r < n_rows; ++r) out[r][c] = values[r];
  }
  return out;
}

class ReadOptionsTest : public ::testing::Test {
 protected:
  void check_quoted_line_breaks(bool stray);
  TempDir dir;
};

TEST_F(ReadOptionsTest, MalformedRecordsAreRefusedByEveryExport) {
  const std::string path = dir.write("t.csv", "a,b\n1,2\n");
  std::vector<std::pair<const char*, ReadOptions>> bad;
  ReadOptions r = read_options();
  r.size = sizeof(size_t);
  bad.push_back({"too short", r});
  for (char d : {'"', '\r', '\n'}) {
    r = read_options();
    r.delimiter = d;
    bad.push_back({"delimiter", r});
  }
  for (int32_t ReadOptions::*field : {&ReadOptions::quoting, &ReadOptions::line_ends, &ReadOptions::encoding,
                                      &ReadOptions::format, &ReadOptions::nested}) {
    for (int32_t v : {-1, 5, 1000}) {
      r = read_options();
      r.*field = v;
      // Only values past each field's range: 5 is past every one of them.
      bad.push_back({"field", r});
    }
  }
  for (const auto& [what, options] : bad) {
    SCOPED_TRACE(what);
    EXPECT_EQ(quelta_open_with(path.c_str(), nullptr, &options), nullptr);
    EXPECT_EQ(last_error(), "invalid read options");
    EXPECT_EQ(quelta_validate_with(path.c_str(), "{}", 0, &options), nullptr);
    EXPECT_EQ(last_error(), "invalid read options");
    EXPECT_EQ(quelta_validator_open_with(path.c_str(), "{}", &options), nullptr);
    EXPECT_EQ(last_error(), "invalid read options");
    ValidationStats stats;
    EXPECT_EQ(quelta_validate_to_files_with(path.c_str(), "{}", (dir.path() / "v.csv").c_str(),
                                            (dir.path() / "i.jsonl").c_str(), &stats, &options),
              -1);
    EXPECT_EQ(last_error(), "invalid read options");
    EXPECT_EQ(quelta_validate_outcome_with("a\n1\n", 4, "{}", 1, 0, &options), nullptr);
    EXPECT_EQ(last_error(), "invalid read options");
    EXPECT_EQ(quelta_parallel_collect_columnar_with(path.c_str(), nullptr, 0, 0, 1, &options), nullptr);
    EXPECT_EQ(last_error(), "invalid read options");
  }
  // A newer caller's longer record is read when what it adds is unset.
  struct Longer {
    ReadOptions base;
    uint64_t later;
  } longer{read_options(), 0};
  longer.base.size = sizeof longer;
  EXPECT_EQ(rows_with(path, &longer.base), (Rows{{"a", "b"}, {"1", "2"}}));
  longer.later = 1;
  EXPECT_EQ(rows_with(path, &longer.base), (Rows{{"!invalid read options"}}));
  // A text's kind and a forced format must agree.
  ReadOptions json = read_options();
  json.format = QUELTA_FORMAT_JSON_LINES;
  EXPECT_EQ(quelta_validate_outcome_with("a\n1\n", 4, "{}", 1, 0, &json), nullptr);
  EXPECT_EQ(last_error(), "invalid read options");
  char* text = quelta_validate_outcome_with("{\"a\":1}", 7, "{}", 2, 0, &json);
  EXPECT_STREQ(text, "true");
  quelta_outcome_free(text);
  // NULL reads as the exports without options do; arguments are checked first.
  EXPECT_EQ(rows_with(path, nullptr), (Rows{{"a", "b"}, {"1", "2"}}));
  EXPECT_EQ(quelta_open_with(nullptr, nullptr, &bad[0].second), nullptr);
  EXPECT_EQ(last_error(), "path is null");
}

struct FileCase {
  const char* name;
  const char* file;
  std::string bytes;
  ReadOptions read;
  Rows rows;  // header first, as Python's csv / json read the file
};

ReadOptions with(void (*set)(ReadOptions*)) {
  ReadOptions r = read_options();
  set(&r);
  return r;
}

std::vector<FileCase> file_cases() {
  return {
      {"tsv",
       "t.tsv",
       "a\tb\n1\t\"x\ty\"\n2\t\n",
       with([](ReadOptions* r) { r->delimiter = '\t'; }),
       {{"a", "b"}, {"1", "x\ty"}, {"2", ""}}},
      {"semicolon",
       "t.csv",
       "a;b\n1,5;\"2;3\"\n",
       with([](ReadOptions* r) { r->delimiter = ';'; }),
       {{"a", "b"}, {"1,5", "2;3"}}},
      {"pipe",
       "t.txt",
       "a|b\n|x\n",
       with([](ReadOptions* r) { r->delimiter = '|'; }),
       {{"a", "b"}, {"", "x"}}},
      {"bom", "t.csv", "\xEF\xBB\xBFid,v\n1,2\n", read_options(), {{"id", "v"}, {"1", "2"}}},
      {"bom quoted",
       "t.csv",
       "\xEF\xBB\xBF\"id\",v\n1,2\n",
       with([](ReadOptions* r) { r->quoting = QUELTA_QUOTING_RFC4180; }),
       {{"id", "v"}, {"1", "2"}}},
      {"lone cr",
       "t.csv",
       "a,b\r1,2\r3,\"x\"\r",
       with([](ReadOptions* r) { r->line_ends = QUELTA_LINE_ENDS_ANY; }),
       {{"a", "b"}, {"1", "2"}, {"3", "x"}}},
      {"mixed line ends",
       "t.csv",
       "a\r\n1\r2\n3",
       with([](ReadOptions* r) { r->line_ends = QUELTA_LINE_ENDS_ANY; }),
       {{"a"}, {"1"}, {"2"}, {"3"}}},
      {"latin1",
       "t.csv",
       "name,n\ncaf\xE9,\xA3\x31\n",
       with([](ReadOptions* r) { r->encoding = QUELTA_ENCODING_LATIN1; }),
       {{"name", "n"},
        {"caf\xC3\xA9",
         "\xC2\xA3"
         "1"}}},
      {"cp1252",
       "t.csv",
       "q\n\x93hi\x94 \x80\x81\n",
       with([](ReadOptions* r) { r->encoding = QUELTA_ENCODING_CP1252; }),
       {{"q"}, {"\xE2\x80\x9Chi\xE2\x80\x9D \xE2\x82\xAC\xC2\x81"}}},
      {"quoted line breaks",
       "t.csv",
       "a,b\n\"x\ny\",2\n3,\"p\r\nq\"\"\"\r\n\"\",\"\n\"\n",
       with([](ReadOptions* r) { r->quoting = QUELTA_QUOTING_RFC4180; }),
       {{"a", "b"}, {"x\ny", "2"}, {"3", "p\r\nq\""}, {"", "\n"}}},
      {"quoted line breaks and cr",
       "t.csv",
       "a,b\r\"x\ry\",2\r",
       with([](ReadOptions* r) {
         r->quoting = QUELTA_QUOTING_RFC4180;
         r->line_ends = QUELTA_LINE_ENDS_ANY;
       }),
       {{"a", "b"}, {"x\ry", "2"}}},
      {"quote opened on the last line",
       "t.csv",
       "a\n1\n\"x\ny\n",
       with([](ReadOptions* r) { r->quoting = QUELTA_QUOTING_RFC4180; }),
       {{"a"}, {"1"}, {"!next failed: UnterminatedQuote"}}},
      {"bytes after a closing quote",
       "t.csv",
       "a,b\n\"x\"y,\"p\"\"q\"r s\n",
       read_options(),
       {{"a", "b"}, {"xy", "p\"qr s"}}},
      {"json lines forced",
       "t.txt",
       "{\"a\":1,\"b\":null}\n{\"b\":\"x\",\"a\":2}\n",
       with([](ReadOptions* r) { r->format = QUELTA_FORMAT_JSON_LINES; }),
       {{"a", "b"}, {"1", ""}, {"2", "x"}}},
      {"json array forced",
       "t.data",
       " [{\"a\":1},\n{\"a\":2}]",
       with([](ReadOptions* r) { r->format = QUELTA_FORMAT_JSON_ARRAY; }),
       {{"a"}, {"1"}, {"2"}}},
      {"json either, an array",
       "t.data",
       "\xEF\xBB\xBF [{\"a\":1},\n{\"a\":2}]",
       with([](ReadOptions* r) { r->format = QUELTA_FORMAT_JSON; }),
       {{"a"}, {"1"}, {"2"}}},
      {"json either, lines",
       "t.data",
       "{\"a\":1}\n{\"a\":2}\n",
       with([](ReadOptions* r) { r->format = QUELTA_FORMAT_JSON; }),
       {{"a"}, {"1"}, {"2"}}},
      {"csv forced",
       "t.json",
       "a,b\n1,2\n",
       with([](ReadOptions* r) { r->format = QUELTA_FORMAT_CSV; }),
       {{"a", "b"}, {"1", "2"}}},
      {"nested as text",
       "t.jsonl",
       "{\"a\":{\"x\": [1, 2]},\"b\":[]}\n{\"a\":1,\"b\":[{}]}\n",
       with([](ReadOptions* r) { r->nested = QUELTA_NESTED_TEXT; }),
       {{"a", "b"}, {"{\"x\": [1, 2]}", "[]"}, {"1", "[{}]"}}},
      {"json in latin1",
       "t.jsonl",
       "{\"n\":\"\xE9t\xE9\"}\n",
       with([](ReadOptions* r) { r->encoding = QUELTA_ENCODING_LATIN1; }),
       {{"n"}, {"\xC3\xA9t\xC3\xA9"}}},
  };
}

TEST_F(ReadOptionsTest, EachOptionReadsItsFileAsPythonDoes) {
  for (const FileCase& c : file_cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.write(c.file, c.bytes);
    const Rows got = rows_with(path, &c.read);
    EXPECT_EQ(got, c.rows);
    const bool fails = c.rows.back()[0][0] == '!';
    const size_t n_rows = c.rows.size() - 1 - (fails ? 1 : 0);

    // Counting agrees (a count fails where the rows do).
    ScannerPtr s(quelta_open_with(path.c_str(), nullptr, &c.read));
    ASSERT_TRUE(s) << last_error();
    const int64_t count = quelta_count(s.get());
    if (fails)
      EXPECT_EQ(count, -1);
    else
      EXPECT_EQ(count, static_cast<int64_t>(n_rows));

    // So do the validation exports and the parallel collect.
    ValidationReport* report = quelta_validate_with(path.c_str(), "{}", 0, &c.read);
    if (fails) {
      EXPECT_EQ(report, nullptr);
    } else {
      ASSERT_NE(report, nullptr) << last_error();
      EXPECT_NE(
          std::strstr(quelta_validate_json(report), ("\"rows_total\":" + std::to_string(n_rows)).c_str()),
          nullptr)
          << quelta_validate_json(report);
    }
    quelta_validate_free(report);
    char* outcome = quelta_validate_outcome_with(path.c_str(), path.size(), "{}", 0, 1, &c.read);
    EXPECT_EQ(outcome == nullptr, fails) << last_error();
    quelta_outcome_free(outcome);
    if (!fails) {
      const Rows data(c.rows.begin() + 1, c.rows.end());
      for (size_t threads : {1, 3}) EXPECT_EQ(parallel_rows(path, &c.read, threads), data) << threads;
    }
  }
}

// Records whose quoted fields hold line ends, delimiters and doubled quotes,
// many MiB of them: every refill of the reader and every chunk boundary of the
// parallel collect falls somewhere inside or between them. With stray quotes
// (data in unquoted fields) quote parity misleads the parallel collect's
// plan, which must notice. The generator's own fields are the oracle.
TEST_F(ReadOptionsTest, QuotedLineBreaksAcrossRefillsAndChunks) {
  for (bool stray : {false, true}) {
    SCOPED_TRACE(stray ? "stray quotes" : "regular quotes");
    check_quoted_line_breaks(stray);
  }
}

void ReadOptionsTest::check_quoted_line_breaks(bool stray) {
  std::mt19937 rng(19);
  Rows expected;
  std::string text = "id,note,tail\n";
  const char* pieces[] = {"\n", "\r\n", ",", "\"", "x", "line", " ", "\n\n"};
  while (text.size() < 3 * 1048576) {
    Row row{std::to_string(expected.size()), "", stray && rng() % 7 == 0 ? "5\"inch" : "t"};
    const size_t n = rng() % 12;
    for (size_t i = 0; i < n; ++i) row[1] += pieces[rng() % 8];
    if (rng() % 50 == 0) row[1] += std::string(300000, 'L') + "\n";  // longer than a parallel read window
    std::string quoted = "\"";
    for (char ch : row[1]) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    text += row[0] + "," + quoted + "\"," + row[2] + (rng() % 3 ? "\n" : "\r\n");
    expected.push_back(row);
  }
  const std::string path = dir.write("big.csv", text);
  ReadOptions read = read_options();
  read.quoting = QUELTA_QUOTING_RFC4180;
  Rows got = rows_with(path, &read);
  ASSERT_EQ(got.size(), expected.size() + 1);
  got.erase(got.begin());
  EXPECT_TRUE(got == expected);
  ScannerPtr s(quelta_open_with(path.c_str(), nullptr, &read));
  EXPECT_EQ(quelta_count(s.get()), static_cast<int64_t>(expected.size()));
  for (size_t threads : {1, 2, 3, 7}) {
    const Rows par = parallel_rows(path, &read, threads);
    EXPECT_EQ(par.size(), expected.size()) << threads;
    for (size_t i = 0; i < par.size() && i < expected.size(); ++i)
      if (par[i] != expected[i]) {
        ADD_FAILURE() << threads << " threads, row " << i << ": " << par[i][0] << "|" << par[i][1].size()
                      << " vs " << expected[i][0];
        break;
      }
  }
}

}  // namespace
}  // namespace quelta::test::ops
