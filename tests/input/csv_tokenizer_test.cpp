// Record splitting, quoting rules, early stop and the header of CSV inputs.
#include "input/csv_tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/header.h"
#include "support/fault.h"
#include "support/simd_levels.h"
#include "support/temp_dir.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

using Fields = std::vector<std::string>;

struct Split {
  Fields fields;
  Error error = Error::None;
};

Split split(const std::string& line, uint64_t max_column = kNoMaxColumn) {
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  size_t count = 0;
  Split s;
  s.error = split_record(FieldView{reinterpret_cast<const uint8_t*>(line.data()), line.size()}, ',',
                         max_column, &fields, &scratch, &count);
  if (!failed(s.error))
    for (size_t i = 0; i < count; ++i)
      s.fields.emplace_back(reinterpret_cast<const char*>(fields[i].ptr), fields[i].len);
  fields.release();
  scratch.release();
  return s;
}

class CsvSplit : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

TEST_P(CsvSplit, PlainFields) {
  EXPECT_EQ(split("a,b,").fields, (Fields{"a", "b", ""}));
  EXPECT_EQ(split("").fields, (Fields{""}));
  EXPECT_EQ(split(",").fields, (Fields{"", ""}));
  EXPECT_EQ(split(" a , b\r").fields, (Fields{" a ", " b\r"}));  // white space and CR are data
  EXPECT_EQ(split("a\"b,c\"").fields, (Fields{"a\"b", "c\""}));  // a quote inside a field is data
  std::string wide;
  Fields expected;
  for (int i = 0; i < 300; ++i) {
    if (i) wide += ',';
    wide += std::to_string(i);
    expected.push_back(std::to_string(i));
  }
  EXPECT_EQ(split(wide).fields, expected);
}

TEST_P(CsvSplit, QuotedFields) {
  const std::string Q = "\"";
  EXPECT_EQ(split(Q + "x" + Q + Q + "y" + Q).fields, (Fields{"x\"y"}));
  EXPECT_EQ(split(Q + Q).fields, (Fields{""}));
  EXPECT_EQ(split(Q + Q + Q + Q).fields, (Fields{"\""}));
  // Bytes after a closing quote are data up to the delimiter, as Python's csv reads them.
  const struct {
    const char* line;
    Fields fields;
  } after_close[] = {
      {R"("ab"cd,e)", {"abcd", "e"}},
      {R"("x"y"z",2)", {"xy\"z\"", "2"}},
      {R"("a""b"c,d)", {"a\"bc", "d"}},
      {R"("p""q"r,"s"""t)", {"p\"qr", "s\"t"}},
      {R"(""x,""""y)", {"x", "\"y"}},
      {R"("a" ,b)", {"a ", "b"}},
      {R"(z,"a"b,"c""d"e)", {"z", "ab", "c\"de"}},
  };
  for (const auto& c : after_close) EXPECT_EQ(split(c.line).fields, c.fields) << c.line;
  EXPECT_EQ(split(Q + "a,b" + Q + "," + Q + "c" + Q + Q + "d" + Q + "," + Q + Q + Q + "e" + Q + Q + Q).fields,
            (Fields{"a,b", "c\"d", "\"e\""}));
  EXPECT_EQ(split("x," + Q + "a" + Q).fields, (Fields{"x", "a"}));
  EXPECT_EQ(split(Q + "a" + Q + ",").fields, (Fields{"a", ""}));
  // Two unescaped fields in one record: the first view stays valid while the second is copied.
  std::string long_field(100, 'z');
  EXPECT_EQ(split(Q + "p" + Q + Q + "q" + Q + "," + Q + long_field + Q + Q + Q).fields,
            (Fields{"p\"q", long_field + "\""}));
}

TEST_P(CsvSplit, UnterminatedQuotes) {
  const std::string Q = "\"";
  for (std::string line :
       {Q + "abc,d", Q, "a," + Q, Q + "a" + Q + Q, Q + Q + Q, "a," + Q + "b" + Q + Q + "c"})
    EXPECT_EQ(split(line).error, Error::UnterminatedQuote) << line;
}

TEST_P(CsvSplit, MaxColumn) {
  const std::string Q = "\"";
  EXPECT_EQ(split("a," + Q + "unterminated", 0).fields, (Fields{"a"}));
  EXPECT_EQ(split("a," + Q + "unterminated", 1).error, Error::UnterminatedQuote);
  EXPECT_EQ(split("a,b", 2).fields, (Fields{"a", "b"}));
  EXPECT_EQ(split("a,b,c,d", 1).fields, (Fields{"a", "b"}));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, CsvSplit, test::all_simd_levels(), test::SimdLevelName());

struct Opened {
  Fields header;
  std::vector<Fields> rows;
  std::vector<Error> errors;  // one per failed record, in order
  Error open_error = Error::None;
};

Opened read_all(const std::string& text, uint64_t max_column = kNoMaxColumn) {
  Opened o;
  CsvReader csv;
  o.open_error =
      csv_open_memory(&csv, reinterpret_cast<const uint8_t*>(text.data()), text.size(), max_column);
  if (failed(o.open_error)) return o;
  for (size_t i = 0; i < csv.n_names; ++i)
    o.header.emplace_back(reinterpret_cast<const char*>(csv.names[i].ptr), csv.names[i].len);
  for (;;) {
    const FieldView* f = nullptr;
    size_t n = 0;
    bool at_end = false;
    Error e = read_record(&csv, &f, &n, &at_end);
    if (failed(e)) {
      o.errors.push_back(e);
      continue;
    }
    if (at_end) break;
    Fields row;
    for (size_t i = 0; i < n; ++i) row.emplace_back(reinterpret_cast<const char*>(f[i].ptr), f[i].len);
    o.rows.push_back(row);
  }
  csv_close(&csv);
  return o;
}

TEST(CsvReader, RecoversAfterUnterminatedQuote) {
  Opened o = read_all("h1,h2\n\"abc,d\nx,y\n");
  EXPECT_EQ(o.errors, (std::vector<Error>{Error::UnterminatedQuote}));
  EXPECT_EQ(o.rows, (std::vector<Fields>{{"x", "y"}}));
}

TEST(CsvReader, QuotedFieldDoesNotSpanLines) {
  Opened o = read_all("h\n\"a\nb\"\nc\n");
  EXPECT_EQ(o.errors, (std::vector<Error>{Error::UnterminatedQuote}));
  EXPECT_EQ(o.rows, (std::vector<Fields>{{"b\""}, {"c"}}));
}

TEST(CsvReader, Header) {
  EXPECT_EQ(read_all("a,b,a\n1,2,3").header, (Fields{"a", "b", "a"}));
  EXPECT_EQ(read_all("a,b,\n").header, (Fields{"a", "b", ""}));
  EXPECT_EQ(read_all("\xEF\xBB\xBFid,x\n").header, (Fields{"id", "x"}));  // the byte-order mark is skipped
  EXPECT_EQ(read_all("x\n\xEF\xBB\xBFid\n").rows[0], (Fields{"\xEF\xBB\xBFid"}));  // only at the very start
  EXPECT_EQ(read_all("\n1\n").header, (Fields{""}));
  EXPECT_EQ(read_all("\"a,b\",\"c\"\"d\"\r\n").header, (Fields{"a,b", "c\"d"}));
  // max_column does not cut the header.
  EXPECT_EQ(read_all("a,b,c\n1,2,3", 0).header, (Fields{"a", "b", "c"}));
  EXPECT_EQ(read_all("a,b,c\n1,2,3", 0).rows, (std::vector<Fields>{{"1"}}));
  EXPECT_TRUE(read_all("only,header\n").rows.empty());
  EXPECT_EQ(read_all("").open_error, Error::EmptyFile);
  EXPECT_EQ(read_all("\"a\n1\n").open_error, Error::UnterminatedQuote);
}

TEST(CsvReader, FindColumn) {
  CsvReader csv;
  std::string text = "a,b,a,,B\n";
  ASSERT_EQ(csv_open_memory(&csv, reinterpret_cast<const uint8_t*>(text.data()), text.size(), kNoMaxColumn),
            Error::None);
  auto find = [&](const char* s) {
    return find_column(csv.names, csv.n_names, FieldView{reinterpret_cast<const uint8_t*>(s), strlen(s)});
  };
  EXPECT_EQ(find("a"), 0);
  EXPECT_EQ(find("B"), 4);
  EXPECT_EQ(find(""), 3);
  EXPECT_EQ(find("b "), -1);
  csv_close(&csv);
}

TEST(CsvReader, FileSetUpAndStraddlingRecord) {
  test::TempDir dir;
  std::string body = "id,text\n";
  std::vector<Fields> expected;
  for (int i = 0; body.size() < 3 * kChunkSize; ++i) {
    std::string id = std::to_string(i);
    std::string commas(static_cast<size_t>(i % 50), ',');
    body.append(id).append(",\"v").append(id).append("\"\"").append(commas).append("\"\n");
    std::string unescaped = "v";
    unescaped.append(id).append("\"").append(commas);
    expected.push_back({std::to_string(i), unescaped});
  }
  std::string path = dir.write("rows.csv", body);
  CsvReader csv;
  ASSERT_EQ(csv_open_file(&csv, path.c_str(), kNoMaxColumn), Error::None);
  std::vector<Fields> rows;
  for (;;) {
    const FieldView* f;
    size_t n;
    bool at_end;
    ASSERT_EQ(read_record(&csv, &f, &n, &at_end), Error::None);
    if (at_end) break;
    Fields row;
    for (size_t i = 0; i < n; ++i) row.emplace_back(reinterpret_cast<const char*>(f[i].ptr), f[i].len);
    rows.push_back(row);
  }
  csv_close(&csv);
  EXPECT_EQ(rows, expected);

  EXPECT_EQ(csv_open_file(&csv, (dir.path() / "none.csv").c_str(), kNoMaxColumn), Error::FileNotFound);
  EXPECT_EQ(csv_open_file(&csv, dir.write("empty.csv", "").c_str(), kNoMaxColumn), Error::EmptyFile);
}

TEST(CsvReader, AllocationFailures) {
  std::string text = "a,\"b\"\"c\",d\n";
  for (int i = 0; i < 40; ++i) text += "1,\"x\"\"y\",3" + std::string(static_cast<size_t>(i), ',') + "\n";
  test::sweep_allocation_failures([&] {
    Opened o = read_all(text);
    Error e = failed(o.open_error) ? o.open_error : (o.errors.empty() ? Error::None : o.errors[0]);
    if (failed(e)) {
      EXPECT_EQ(e, Error::OutOfMemory);
    }
    return failed(e);
  });
}

}  // namespace
}  // namespace quelta
