// The JSON row reader: framing choice, the column directory, row mapping on
// the ordered fast path and the general path, recovery after bad records.
#include "input/json_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/fault.h"
#include "support/simd_levels.h"
#include "support/temp_dir.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

using Fields = std::vector<std::string>;
using Events = std::vector<std::string>;

std::string text_of(FieldView v) { return std::string(reinterpret_cast<const char*>(v.ptr), v.len); }

// A row as "[f0][f1]..."; a failed call as "!ConditionName".
std::string render(const FieldView* f, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.append("[").append(text_of(f[i])).append("]");
  return s;
}

struct Read {
  Error open_error = Error::None;
  Fields names;
  size_t fields_per_row = 0;
  Events events;
};

// Reads every row; a bad record must not end the reading.
void drain(JsonReader* json, Read* out) {
  out->fields_per_row = json->fields_per_row;
  for (size_t i = 0; i < json->n_columns; ++i) out->names.push_back(text_of(json->names[i]));
  for (int calls = 0; calls < 100000; ++calls) {
    const FieldView* f = nullptr;
    size_t n = 0;
    bool at_end = false;
    Error e = json_next_row(json, &f, &n, &at_end);
    if (failed(e)) {
      out->events.push_back(std::string("!").append(error_name(e)));
    } else if (at_end) {
      EXPECT_EQ(json_next_row(json, &f, &n, &at_end), Error::None);
      EXPECT_TRUE(at_end) << "end is not final";
      return;
    } else {
      EXPECT_EQ(n, json->fields_per_row);
      out->events.push_back(render(f, n));
    }
  }
  ADD_FAILURE() << "reading did not end";
}

// The input lives in a block of exactly its size, so reads past it are caught.
Read read_memory(const std::string& text, uint64_t max_column = kNoMaxColumn) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  Read out;
  JsonReader json;
  out.open_error = json_open_memory(&json, bytes.data(), bytes.size(), max_column);
  if (failed(out.open_error)) return out;
  drain(&json, &out);
  json_close(&json);
  return out;
}

Read read_file(const std::string& path, uint64_t max_column = kNoMaxColumn) {
  Read out;
  JsonReader json;
  out.open_error = json_open_file(&json, path.c_str(), max_column);
  if (failed(out.open_error)) return out;
  drain(&json, &out);
  json_close(&json);
  return out;
}

TEST(JsonRows, DirectoryFromFirstRecordAndOutOfOrderRows) {
  Read r = read_memory("{\"a\":1,\"b\":\"x\"}\n{\"b\":\"y\",\"a\":2}\n{\"b\":\"z\"}\r\n{\"c\":3,\"a\":4}");
  EXPECT_EQ(r.names, (Fields{"a", "b"}));
  EXPECT_EQ(r.events, (Events{"[1][x]", "[2][y]", "[][z]", "[4][]"}));
}

// The reader compares keys of up to eight bytes as one word: a key that differs
// from its name in any one byte, or is one byte longer or shorter, must not
// take the name's column (the general parser then places the value by its key).
TEST(JsonRows, KeysDifferingInOneByteKeepTheirOwnColumn) {
  const std::vector<std::string> keys = {"k", "ab", "price", "abcdefg", "abcdefgh", "abcdefghi"};
  std::string first = "{";
  for (size_t c = 0; c < keys.size(); ++c)
    first += (c ? "," : "") + ("\"" + keys[c] + "\":" + std::to_string(c));
  first += "}\n";
  for (size_t c = 0; c < keys.size(); ++c) {
    for (size_t at = 0; at <= keys[c].size(); ++at) {
      for (int change = 0; change < 3; ++change) {
        std::string key = keys[c];
        if (change == 0 && at < key.size()) key[at] = static_cast<char>(key[at] ^ 0x01);  // another byte
        if (change == 1) key.insert(at, "z");                                             // one longer
        if (change == 2 && at < key.size()) key.erase(at, 1);                             // one shorter
        // (A key equal to another name would be a duplicate: not this test's subject.)
        if (key.empty() || std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
        std::string row = "{", want;
        for (size_t d = 0; d < keys.size(); ++d) {
          row += (d ? "," : "") + ("\"" + (d == c ? key : keys[d]) + "\":" + std::to_string(10 + d));
          want += "[" + (d == c ? std::string() : std::to_string(10 + d)) + "]";
        }
        row += "}";
        const Read r = read_memory(first + row + "\n");
        ASSERT_EQ(r.events.size(), 2u) << row;
        EXPECT_EQ(r.events[1], want) << row;
      }
    }
  }
}

TEST(JsonRows, ValuesOnFastAndGeneralPath) {
  struct Case {
    const char* text;
    Events events;
  } cases[] = {
      // null: the word on the fast path, empty text on the general path.
      {R"({"a":0}
{"a":null})",
       {"[0]", "[]"}},
      {R"({"a":0,"c":1}
{"c":0,"a":null})",
       {"[0][1]", "[][0]"}},
      // Bare words are trimmed and null is empty on both paths.
      {"{\"a\":0}\n{\"a\": true "
       "}\n{\"a\":1e5}\n{\"a\":hello}\n{\"a\":}\n{\"a\":7\t}\n{\"a\":false}\n{\"a\":\tnull\r}",
       {"[0]", "[true]", "[1e5]", "[hello]", "[]", "[7]", "[false]", "[]"}},
      {"{\"a\":0,\"b\":0}\n{\"b\": true ,\"a\":\t7\t}\n{\"b\":false,\"a\":x y}",
       {"[0][0]", "[7][true]", "[x y][false]"}},
      // A backslash in a string value sends the row to the general path, which resolves it.
      {R"({"a":"x"}
{"a":"x\u00e9"}
{"a":"\ud83d\ude00"}
{"a":"p\"q\\"}
{"a":"\ud83d"}
{"a":"\x"}
{"\u0061":"k"})",
       {"[x]", "[x\xC3\xA9]", "[\xF0\x9F\x98\x80]", "[p\"q\\]", "!InvalidJson", "!InvalidJson", "[k]"}},
      // A key that occurs twice in a row leaves the later value.
      {R"({"a":1,"b":2}
{"b":1,"a":2,"b":3})",
       {"[1][2]", "[2][3]"}},
  };
  for (const Case& c : cases) EXPECT_EQ(read_memory(c.text).events, c.events) << c.text;
}

TEST(JsonRows, KeysOfFirstRecord) {
  Read r = read_memory(R"({"\u0061b":1,"":2,"c\"":3}
{"ab":4,"":5,"c\"":6}
{"c\"":7,"ab":8})");
  EXPECT_EQ(r.names, (Fields{"ab", "", "c\""}));
  EXPECT_EQ(r.events, (Events{"[1][2][3]", "[4][5][6]", "[8][][7]"}));
  r = read_memory("{\"a\":1,\"a\":2}\n{\"a\":3}\n{\"b\":4,\"a\":5}\n{\"a\":6,\"a\":7}\n");
  EXPECT_EQ(r.names, (Fields{"a", "a"}));
  EXPECT_EQ(r.events, (Events{"[1][2]", "[3][]", "[][5]", "[6][7]"}));
}

// Members in reverse order go through the key index for every column.
TEST(JsonRows, ManyColumnsThroughKeyIndex) {
  std::string first = "{", reversed = "{";
  std::string expected_first, expected_reversed;
  const int n = 60;
  for (int i = 0; i < n; ++i) {
    std::string k = std::to_string(i), v = std::to_string(n - 1 - i);
    first.append(i ? "," : "").append("\"k").append(k).append("\":").append(k);
    reversed.append(i ? "," : "").append("\"k").append(v).append("\":\"v").append(v).append("\"");
    expected_first.append("[").append(k).append("]");
    expected_reversed.append("[v").append(k).append("]");
  }
  Read r = read_memory(first.append("}\n").append(reversed).append(",\"k\":0,\"k60\":1}"));
  EXPECT_EQ(r.names.size(), static_cast<size_t>(n));
  EXPECT_EQ(r.events, (Events{expected_first, expected_reversed}));
}

TEST(JsonRows, NestedValues) {
  Read r = read_memory(R"({"a":1}
{"z":{"q":[1,{"r":2}]},"a":2}
{"a":[1,2]}
{"a":3}
{"a":{"b":1}}
{"a":4,"w":[]})");
  EXPECT_EQ(r.events,
            (Events{"[1]", "[2]", "!NestedValueNotSupported", "[3]", "!NestedValueNotSupported", "[4]"}));
  // A nested value in the first record still names a column; that row then fails.
  EXPECT_EQ(read_memory("{\"a\":[1],\"b\":2}\n{\"a\":1,\"b\":2}").events,
            (Events{"!NestedValueNotSupported", "[1][2]"}));
}

TEST(JsonRows, BadRecordsDoNotEndReading) {
  EXPECT_EQ(read_memory("{\"a\":1}\n\n{\"a\":2}\n   \n{\"a\":3\n{\"a\":4}\n").events,
            (Events{"[1]", "!InvalidJson", "[2]", "!InvalidJson", "!InvalidJson", "[4]"}));
  // A single final line end is not a row; a second one is an empty record.
  EXPECT_EQ(read_memory("{\"a\":1}\n").events, (Events{"[1]"}));
  EXPECT_EQ(read_memory("{\"a\":1}\n\n").events, (Events{"[1]", "!InvalidJson"}));
  // Structural bytes inside strings count towards the token limit when the fast path declines.
  std::string many(kMaxJsonTokens, ',');
  std::string text = "{\"a\":1,\"b\":\"\"}\n{\"a\":2,\"b\":\"";
  text.append(many).append("\"}\n{\"b\":\"").append(many).append("\",\"a\":3}\n{\"b\":\"\",\"a\":4}");
  EXPECT_EQ(read_memory(text).events,
            (Events{"[1][]", std::string("[2][").append(many).append("]"), "!InvalidJson", "[4][]"}));
}

TEST(JsonRows, Framing) {
  struct Case {
    const char* text;
    Error open_error;
    Events events;
  } cases[] = {
      {R"([{"a":1},{"a":2}])", Error::None, {"[1]", "[2]"}},
      {" \r\n\t[\n  {\n    \"a\": 1,\n    \"b\": \"x\"\n  },\n  {\"b\":\"y\",\"a\":2}\n]\n",
       Error::None,
       {"[1][x]", "[2][y]"}},
      {R"([{"a":"}"},{"a":"{"}] {"a":9})", Error::None, {"[}]", "[{]"}},
      {R"([{"a":1},{"a":2)", Error::None, {"[1]", "!InvalidJson"}},
      {R"([{"a":1)", Error::InvalidJsonRow, {}},
      {"[]", Error::EmptyFile, {}},
      {" [ 1, \"x\" ]\n", Error::EmptyFile, {}},
      {"", Error::EmptyFile, {}},
      {"\n{\"a\":1}\n", Error::InvalidJsonRow, {}},
      {"  \n", Error::InvalidJsonRow, {}},
      {"{\"a\":1", Error::InvalidJsonRow, {}},
      // Bytes before a record's first '{' are not examined, but a byte-order mark hides the '['.
      {"\xEF\xBB\xBF{\"a\":1}\n{\"a\":2}", Error::None, {"[1]", "[2]"}},
      {"\xEF\xBB\xBF[{\"a\":1}]", Error::None, {"[1]"}},
      {"{}\n{\"a\":1}\n{}", Error::None, {"", "", ""}},
  };
  for (const Case& c : cases) {
    Read r = read_memory(c.text);
    EXPECT_EQ(r.open_error, c.open_error) << c.text;
    EXPECT_EQ(r.events, c.events) << c.text;
  }
  EXPECT_TRUE(read_memory("{}\n").names.empty());
}

TEST(JsonRows, MaxColumn) {
  const std::string text = "{\"a\":1,\"b\":2,\"c\":3}\n{\"c\":6,\"b\":5,\"a\":4}\n{\"a\":7,\"b\":{}}";
  EXPECT_EQ(read_memory(text, 0).events, (Events{"[1]", "[4]", "[7]"}));
  EXPECT_EQ(read_memory(text, 1).events, (Events{"[1][2]", "[4][5]", "!NestedValueNotSupported"}));
  EXPECT_EQ(read_memory(text, 2).fields_per_row, 3u);
  EXPECT_EQ(read_memory(text, 7).events, (Events{"[1][2][3]", "[4][5][6]", "!NestedValueNotSupported"}));
  EXPECT_EQ(read_memory(text, 0).names, (Fields{"a", "b", "c"}));
  EXPECT_EQ(read_memory("{}\n{\"a\":1}", 0).events, (Events{"", ""}));
}

// Rows of varied length over three buffer fills, alternating between the
// two paths, so that records straddle each refill.
TEST(JsonRows, FilesAndRowsAcrossBufferFills) {
  test::TempDir dir;
  std::string lines, array = "[";
  Events expected;
  for (int i = 0; lines.size() < 3 * kChunkSize; ++i) {
    std::string id = std::to_string(i);
    // The first record alone is longer than one buffer.
    std::string pad(i ? static_cast<size_t>(i * 7 % 1500) : kChunkSize + 10, static_cast<char>('a' + i % 26));
    bool general = i % 3 == 1;
    std::string row =
        general ? std::string("{\"id\": ").append(id).append(", \"s\":\"").append(pad).append("\\u00e9\"}")
                : std::string("{\"s\":\"").append(pad).append("\",\"id\":").append(id).append("}");
    lines.append(row).append("\n");
    array.append(i ? ",\n " : "").append(row);
    expected.push_back(
        std::string("[").append(pad).append(general ? "\xC3\xA9" : "").append("][").append(id).append("]"));
  }
  array.append("]");
  // The name does not decide the framing; the first byte does.
  for (const std::string& path : {dir.write("rows.jsonl", lines), dir.write("array.jsonl", array)}) {
    Read r = read_file(path);
    ASSERT_EQ(r.open_error, Error::None) << path;
    EXPECT_EQ(r.names, (Fields{"s", "id"}));
    EXPECT_TRUE(r.events == expected)
        << path << ": " << r.events.size() << " of " << expected.size() << " rows";
  }
  EXPECT_EQ(read_file((dir.path() / "missing.json").string()).open_error, Error::FileNotFound);
  EXPECT_EQ(read_file(dir.write("empty.json", "")).open_error, Error::EmptyFile);
  EXPECT_EQ(read_file(dir.write("blank.jsonl", "\n")).open_error, Error::InvalidJsonRow);
}

class JsonFastPath : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

TEST_P(JsonFastPath, AcceptedAndRejectedShapes) {
  const FieldView names[] = {{reinterpret_cast<const uint8_t*>("a"), 1},
                             {reinterpret_cast<const uint8_t*>("b"), 1}};
  struct Case {
    const char* record;
    size_t fields;
    bool accepted;
    Fields row;
  } cases[] = {
      {R"({"a":1,"b":"x"})", 2, true, {"1", "x"}},
      {R"(  x{ "a" : -1.5 ,, "b":  "" })", 2, true, {"-1.5", ""}},
      {"{\"a\":null,\"b\":2\t}", 2, true, {"", "2"}},
      {R"({"a":"}","b":"{"})", 2, true, {"}", "{"}},
      {R"({"a":1,"b":2,"c":3})", 2, true, {"1", "2"}},
      {"{\"a\":1,\"c\":[} \t\r\n", 1, true, {"1"}},
      {"{\"a\":\t7\t}", 1, true, {"7"}},
      {"{ \t}", 0, true, {}},
      {R"({"a":1,"b":2,"c":3)", 2, false, {}},  // ',' but the record does not end with '}'
      {R"("a":1,"b":2})", 2, false, {}},
      {R"({"b":1,"a":2})", 2, false, {}},
      {R"({"a":1,"bb":2})", 2, false, {}},
      {R"({"a":1})", 2, false, {}},
      {R"({"a":1})", 0, false, {}},
      {R"({"\u0061":1,"b":2})", 2, false, {}},
      {R"({"a" 1,"b":2})", 2, false, {}},
      {"{\"a\"\t:1}", 1, false, {}},
      {R"({"a":{"x":1},"b":2})", 2, false, {}},
      {R"({"a":[1],"b":2})", 2, false, {}},
      {R"({"a":,"b":2})", 2, false, {}},
      {R"({"a":})", 1, false, {}},
      {R"({"a":"x\"y","b":2})", 2, false, {}},
      {R"({"a":1 x})", 1, false, {}},
      {R"({"a":1,"b":2)", 2, false, {}},
      {R"({"a":"x)", 1, false, {}},
      {R"({"a)", 1, false, {}},
      {R"({"a":)", 1, false, {}},
      {"{\n\"a\":1}", 1, false, {}},
  };
  for (const Case& c : cases) {
    std::string s = c.record;
    std::vector<uint8_t> bytes(s.begin(), s.end());
    FieldView row[3];
    const uint8_t guard = '#';
    for (FieldView& f : row) f = FieldView{&guard, 1};
    bool accepted = json_ordered_fast_path(FieldView{bytes.data(), bytes.size()}, names, c.fields, row);
    EXPECT_EQ(accepted, c.accepted) << s;
    if (!accepted || !c.accepted) continue;
    Fields got;
    for (size_t i = 0; i < c.fields; ++i) got.push_back(text_of(row[i]));
    EXPECT_EQ(got, c.row) << s;
    EXPECT_EQ(row[c.fields].ptr, &guard) << s << ": wrote past the needed fields";
  }
}

// The string search steps eight bytes at a time: a quote or a backslash at every
// offset of a long value, and at the record's end, must stop it exactly where a
// byte-by-byte search would; so must a byte that ends or rejects a bare word.
TEST_P(JsonFastPath, StopsAtEveryOffsetOfLongValues) {
  const FieldView names[] = {{reinterpret_cast<const uint8_t*>("name"), 4},
                             {reinterpret_cast<const uint8_t*>("b"), 1}};
  for (size_t at = 0; at < 40; ++at) {
    const std::string head(at, 'x');
    FieldView row[2];
    for (const char* stop : {"\\", "\"", ":", "[", "]", "{", " ", ","}) {
      const std::string value = "\"" + head + stop + "y\"";
      const std::string record = "{\"name\":" + value + ",\"b\":1}";
      const std::vector<uint8_t> bytes(record.begin(), record.end());
      // A backslash sends the record on; a quote ends the string early (what follows is no member).
      const bool in_string = *stop != '\\' && *stop != '"';
      EXPECT_EQ(json_ordered_fast_path(FieldView{bytes.data(), bytes.size()}, names, 2, row), in_string)
          << record;
      if (in_string) {
        EXPECT_EQ(text_of(row[0]), head + stop + "y") << record;
      }
      // The same bytes as a bare word: ':', '[', ']', '{' and '"' reject it, ',' ends it, a
      // blank ends it too but must be followed by ',' or '}', a backslash is part of it.
      const std::string bare = "{\"name\":7" + head + stop + "1,\"b\":2}";
      const std::vector<uint8_t> bare_bytes(bare.begin(), bare.end());
      const bool bare_ok =
          json_ordered_fast_path(FieldView{bare_bytes.data(), bare_bytes.size()}, names, 1, row);
      EXPECT_EQ(bare_ok, *stop == ',' || *stop == '\\') << bare;
      if (bare_ok) {
        EXPECT_EQ(text_of(row[0]), "7" + head + (*stop == ',' ? "" : "\\1")) << bare;
      }
    }
    // A string that runs to the end of the record.
    const std::string open = "{\"name\":\"" + head;
    const std::vector<uint8_t> open_bytes(open.begin(), open.end());
    EXPECT_FALSE(json_ordered_fast_path(FieldView{open_bytes.data(), open_bytes.size()}, names, 1, row))
        << open;
  }
}

// A name holding a quote or a backslash never equals a key's text up to its
// first quote or backslash, so its record always goes to the general parser.
TEST_P(JsonFastPath, NamesWithQuotesOrBackslashesNeverMatch) {
  for (const char* raw : {"a\\", "a\\\"", "\"", "x\"y"}) {
    const FieldView names[] = {{reinterpret_cast<const uint8_t*>(raw), std::strlen(raw)}};
    const std::string record = std::string("{\"") + raw + "\":1}";
    const std::vector<uint8_t> bytes(record.begin(), record.end());
    FieldView row[1];
    EXPECT_FALSE(json_names_plain(names, 1)) << raw;
    EXPECT_FALSE(json_ordered_fast_path(FieldView{bytes.data(), bytes.size()}, names, 1, row)) << record;
  }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, JsonFastPath, test::all_simd_levels(), test::SimdLevelName());

// Every failure is OutOfMemory, leaks nothing, and a run that saw none reads every row.
bool reported_out_of_memory(const Read& r, const Events& clean) {
  bool reported = r.open_error == Error::OutOfMemory;
  EXPECT_TRUE(r.open_error == Error::None || reported) << error_name(r.open_error);
  for (const std::string& e : r.events) {
    if (e == "!OutOfMemory") {
      reported = true;
    } else {
      EXPECT_NE(e[0], '!') << e;
    }
  }
  if (!reported) {
    EXPECT_EQ(r.events, clean);
  }
  return reported;
}

TEST(JsonRows, AllocationFailures) {
  const std::string lines =
      "{\"a\":\"x\\u00e9\",\"b\":1,\"c\":null}\n{\"b\":2,\"a\":\"\\n\\ud83d\\ude00\"}\n{\"z\":[1],\"a\":"
      "\"p\"}\n"
      "{\"a\":\"q\",\"y\":{\"z\":\"\\t\"}}\n{\"b\":3}\n";
  const std::string array = "[{\"b\":\"k\\\"\",\"a\":0}, {\"a\":\"\\/\",\"b\":true}]";
  for (const std::string& text : {lines, array}) {
    Events clean = read_memory(text).events;
    ASSERT_EQ(clean.size(), text == lines ? 5u : 2u);
    test::sweep_allocation_failures([&] { return reported_out_of_memory(read_memory(text), clean); });
  }
  test::TempDir dir;
  const std::string path = dir.write("rows.jsonl", lines);
  Events clean = read_file(path).events;
  test::sweep_allocation_failures([&] { return reported_out_of_memory(read_file(path), clean); });
}

}  // namespace
}  // namespace quelta
