// JSON rows through quelta_next: records across read-buffer boundaries, the
// ordered fast path against the general parser, escapes and failed rows.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "api/scanner_test_support.h"
#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

constexpr size_t kChunk = 262144;

class ScannerJson : public ::testing::Test {
 protected:
  TempDir dir;
};

struct LongRow {
  int id;
  bool keys_reversed;  // reversed order sends the row to the general parser
  size_t end_at;       // pad the record so that it ends here; 0: use pad
  size_t pad;
};

// Builds JSON lines or a JSON array of {"id":N,"pad":"x..."} records and
// returns the expected (id, pad length) pairs.
std::vector<std::pair<std::string, size_t>> build(const std::vector<LongRow>& layout, bool array,
                                                  std::string* text) {
  std::vector<std::pair<std::string, size_t>> expected;
  *text = array ? "[\n" : "";
  for (size_t i = 0; i < layout.size(); ++i) {
    const LongRow& r = layout[i];
    std::string id = std::to_string(r.id);
    const size_t overhead = std::string("{\"id\":,\"pad\":\"\"}").size() + id.size();  // same for both orders
    size_t pad = r.end_at ? r.end_at - text->size() - overhead - 1 : r.pad;            // 1: line end or comma
    std::string padding(pad, 'x');
    if (pad > 10) padding[pad / 2] = '}';  // a brace inside a string frames nothing
    std::string rec;
    if (r.keys_reversed)
      rec.append("{\"pad\":\"").append(padding).append("\",\"id\":").append(id).append("}");
    else
      rec.append("{\"id\":").append(id).append(",\"pad\":\"").append(padding).append("\"}");
    text->append(rec);
    text->append(array ? (i + 1 < layout.size() ? "," : "\n") : "\n");
    expected.emplace_back(id, pad);
  }
  if (array) text->append("]");
  return expected;
}

TEST_F(ScannerJson, RecordsAcrossBufferBoundaries) {
  const std::vector<LongRow> straddling = {
      {0, false, kChunk - 40, 0}, {1, false, 0, 100},    {2, true, 2 * kChunk - 30, 0},
      {3, true, 0, 100},          {4, false, 0, 300000}, {5, true, 0, 300000},
      {6, false, 0, 3},
  };
  const std::vector<LongRow> long_first = {{0, false, 0, 600000}, {1, true, 0, 5}};
  for (const auto& [layout, array] : {std::pair{straddling, false}, std::pair{straddling, true},
                                      std::pair{long_first, false}, std::pair{long_first, true}}) {
    std::string text;
    auto expected = build(layout, array, &text);
    ScannerHandle s = open_scanner(dir.write(array ? "t.json" : "t.jsonl", text));
    ASSERT_TRUE(s);
    ASSERT_EQ(quelta_n_columns(s.get()), 2u);
    std::vector<std::pair<std::string, size_t>> got;
    for (const Row& r : drain(s.get())) got.emplace_back(r[0], r.size() > 1 ? r[1].size() : SIZE_MAX);
    EXPECT_EQ(got, expected) << (array ? "array" : "lines");
  }
}

struct JsonCase {
  const char* line;
  Row expected;  // "!" + message for a failed row
};

void expect_rows(const TempDir& dir, const char* name, const std::vector<JsonCase>& cases) {
  std::string text;
  Rows expected;
  for (const auto& c : cases) {
    text.append(c.line).append("\n");
    expected.push_back(c.expected);
  }
  Rows got = read_all(dir.write(name, text));
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]) << cases[i].line;
}

TEST_F(ScannerJson, OneColumnRowsOnBothPaths) {
  expect_rows(dir, "one.jsonl",
              {
                  {R"({"a":"first"})", {"first"}},
                  {R"({"a":null})", {""}},
                  {R"({"a": true })", {"true"}},
                  {R"({"a":1e5})", {"1e5"}},
                  {"{\"a\":1\t}", {"1"}},
                  {R"({"a":})", {""}},
                  {R"({"a":1,})", {"1"}},
                  {R"({"a":1,"z":{"deep":true}})", {"1"}},
                  {R"(  {"a":5})", {"5"}},
                  {R"({"a":"x\u00e9"})", {"x\xC3\xA9"}},
                  {R"({"a":"\ud83d\ude00"})", {"\xF0\x9F\x98\x80"}},
                  {R"({"a":"q\"r\\s\/"})", {"q\"r\\s/"}},
                  {R"({"a" : 1})", {"1"}},
                  {R"({"a":1)", failure("next failed: InvalidJson")},
                  {R"({"a":"x")", failure("next failed: InvalidJson")},
                  {R"({"a":"\ud83d"})", failure("next failed: InvalidJson")},
                  {R"({"a":"\x"})", failure("next failed: InvalidJson")},
                  {R"({"b":{"n":[1]},"a":2})", {"2"}},
                  {R"({"a":[1]})", failure("next failed: NestedValueNotSupported")},
                  {R"({"a":{"b":1}})", failure("next failed: NestedValueNotSupported")},
                  {R"({"z":1})", {""}},
                  {"", failure("next failed: InvalidJson")},
                  {"   ", failure("next failed: InvalidJson")},
                  {R"({"a":"last"})", {"last"}},
              });
}

TEST_F(ScannerJson, TwoColumnRowsOnBothPaths) {
  expect_rows(dir, "two.jsonl",
              {
                  {R"({"a":1,"c":2})", {"1", "2"}},
                  {R"({"c":0,"a":null})", {"", "0"}},
                  {"{\"c\":0,\"a\": 1\t}", {"1", "0"}},
                  {R"({"c":"z"})", {"", "z"}},
                  {R"({"a":"v","c":null})", {"v", ""}},
                  {R"({"a":false})", {"false", ""}},
                  {"{\"a\":1,\"c\":2}\r", {"1", "2"}},
              });
}

TEST_F(ScannerJson, DuplicateKeysInTheFirstRecord) {
  ScannerHandle s = open_scanner(dir.write("t.jsonl", "{\"a\":1,\"a\":2}\n{\"a\":3}\n{\"b\":0,\"a\":4}\n"));
  ASSERT_TRUE(s);
  ASSERT_EQ(quelta_n_columns(s.get()), 2u);
  EXPECT_EQ(drain(s.get()), (Rows{{"1", "2"}, {"3", ""}, {"", "4"}}));
}

TEST_F(ScannerJson, MaxColumnFixesTheFieldCount) {
  std::string path = dir.write("t.ndjson", "{\"a\":1,\"b\":2,\"c\":3,\"d\":4,\"e\":5}\n{\"e\":9,\"a\":7}\n");
  ScanOptions o = no_options();
  o.max_column = 1;
  EXPECT_EQ(read_all(path, &o), (Rows{{"1", "2"}, {"7", ""}}));
  o.max_column = 9;
  EXPECT_EQ(read_all(path, &o), (Rows{{"1", "2", "3", "4", "5"}, {"7", "", "", "", "9"}}));
}

TEST_F(ScannerJson, FramingComesFromTheFirstByte) {
  EXPECT_EQ(read_all(dir.write("a.jsonl", " \n[{\"a\":1},\n{\"a\":\"]\"}]")), (Rows{{"1"}, {"]"}}));
  EXPECT_EQ(read_all(dir.write("b.jsonl", "\xEF\xBB\xBF{\"a\":1}\n{\"a\":2}")), (Rows{{"1"}, {"2"}}));
  EXPECT_EQ(read_all(dir.write("c.json", "\xEF\xBB\xBF[{\"a\":1}]")), (Rows{{"1"}}));
}

TEST_F(ScannerJson, ArrayEndingInsideAnObject) {
  ScannerHandle s = open_scanner(dir.write("t.json", "[{\"a\":1},{\"a\":2"));
  ASSERT_TRUE(s);
  EXPECT_EQ(drain(s.get()), (Rows{{"1"}, failure("next failed: InvalidJson")}));
}

}  // namespace
}  // namespace quelta::test
