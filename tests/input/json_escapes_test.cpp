// Rows whose strings hold escapes: the reader takes them on its fast path and
// must give exactly the rows, conditions and failure sites the reference
// reader (reference_rows: such rows left to the general parser) gives, at
// every byte-search level, also where escapes and backslash runs straddle the
// 64-byte blocks of the structural index and the reader's refills.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/json_rows.h"
#include "support/simd_levels.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

std::string text_of(FieldView v) { return std::string(reinterpret_cast<const char*>(v.ptr), v.len); }

// Every call of json_next_row over text as "[f0][f1]" or "!Condition/cause@line:offset".
std::vector<std::string> read_all(const std::string& text, uint64_t max_column, bool reference,
                                  size_t chunk = kChunkSize) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  std::vector<std::string> out;
  JsonReader json;
  Error e = json_open_memory(&json, bytes.data(), bytes.size(), max_column);
  if (failed(e)) return {std::string("open !") + error_name(e)};
  json.reference_rows = reference;
  if (chunk != kChunkSize) {
    // The same position on a reader of small refills.
    reader_close(&json.reader);
    EXPECT_EQ(reader_init_memory(&json.reader, bytes.data(), bytes.size(), chunk), Error::None);
    EXPECT_EQ(reader_refill(&json.reader), Error::None);
    FieldView first;
    bool at_end = false;
    EXPECT_EQ(read_line(&json.reader, &first, &at_end), Error::None);
  }
  for (int calls = 0; calls < 10000; ++calls) {
    const FieldView* f = nullptr;
    size_t n = 0;
    bool at_end = false;
    e = json_next_row(&json, &f, &n, &at_end);
    if (at_end) break;
    std::string s;
    if (failed(e)) {
      s = std::string("!") + error_name(e) + "/" + error_name(json.site.cause) + "@" +
          std::to_string(json.site.line) + ":" + std::to_string(json.site.offset);
    } else {
      for (size_t i = 0; i < n; ++i) s += "[" + text_of(f[i]) + "]";
    }
    out.push_back(s);
  }
  json_close(&json);
  return out;
}

class JsonEscapes : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

constexpr const char* kHeader = R"({"a":"h","b":1,"c":"x"})"
                                "\n";

TEST_P(JsonEscapes, RowsAsTheGeneralParserReadsThem) {
  struct Case {
    const char* row;
    uint64_t max_column;
    const char* want;  // the second call's result (the first is the header row)
  };
  const Case cases[] = {
      // Escapes taken: the unescaped text, wherever the member stands.
      {R"({"a":"x\"y","b":2,"c":"z"})", kNoMaxColumn, "[x\"y][2][z]"},
      {R"({"a":"x","b":2,"c":"\\\/\b\f\n\r\t"})", kNoMaxColumn, "[x][2][\\/\b\f\n\r\t]"},
      {R"({"a":"\u00e9\ud83d\ude00","b":2,"c":"z"})", kNoMaxColumn, "[\xC3\xA9\xF0\x9F\x98\x80][2][z]"},
      {R"({"a":"tail\\","b":null,"c":"\"\""})", kNoMaxColumn, "[tail\\][][\"\"]"},
      {R"({ "a" : "q\"" , "b" : true , "c" : "z" })", kNoMaxColumn, "[q\"][true][z]"},
      // Fewer columns wanted: an escape in a wanted one, then in one that is not.
      {R"({"a":"x\"y","b":2,"c":"z"})", 0, "[x\"y]"},
      {R"({"a":"x","b":2,"c":"\q"})", 1, "[x][2]"},
      {R"({"a":"x\"","b":2,"c":"\q"})", 0, "!InvalidJson/InvalidEscape@2:24"},
      // Malformed escapes: the general parser's condition and site.
      {R"({"a":"x","b":2,"c":"bad \x"})", kNoMaxColumn, "!InvalidJson/InvalidEscape@2:24"},
      {R"({"a":"\ud83d alone","b":2,"c":"z"})", kNoMaxColumn, "!InvalidJson/InvalidUnicodeEscape@2:24"},
      {R"({"a":"\u12","b":2,"c":"z"})", kNoMaxColumn, "!InvalidJson/InvalidUnicodeEscape@2:24"},
      {R"({"a":"\udc00","b":2,"c":"z"})", kNoMaxColumn, "!InvalidJson/InvalidUnicodeEscape@2:24"},
      {R"({"a":"open\"})", kNoMaxColumn, "!InvalidJson/MalformedString@2:24"},
      {R"({"a":"x\"","b":2,"c":{"d":1}})", kNoMaxColumn, "!NestedValueNotSupported/None@2:24"},
      {R"(,{"a":"x\"","b":2,"c":"z"})", kNoMaxColumn, "!InvalidJson/InvalidJSON@2:24"},
      {R"({"a":"x\"","b":2,"c":"z")", kNoMaxColumn, "!InvalidJson/UnexpectedEnd@2:24"},
      // Shapes the fast path leaves to the general parser once it has met an escape.
      {R"({"a":"x\"","b":2,"c":"z",})", kNoMaxColumn, "[x\"][2][z]"},
      {R"({"a":"x\"","b":2})", kNoMaxColumn, "[x\"][2][]"},
      {R"({"a":"x\"","b":2,"c":"z","a":"w"})", kNoMaxColumn, "[w][2][z]"},
      {R"({"a":"x\"","c":"z","b":2})", kNoMaxColumn, "[x\"][2][z]"},
      {"{\"a\":\"x\\\"\",\"b\":\v2\v,\"c\":\"z\"}", kNoMaxColumn, "[x\"][2][z]"},
      {"{\"a\":\"x\",\"b\":\f2,\"c\":\"z\\\"\"}", kNoMaxColumn, "[x][2][z\"]"},
      {R"({"a":"x\"","b":2 3,"c":"z"})", kNoMaxColumn, "[x\"][2 3][z]"},
      {R"({"a":"x\"","b":2,"c":"z"} trailing ] text)", kNoMaxColumn, "[x\"][2][z]"},
  };
  for (const Case& c : cases) {
    const std::string text = std::string(kHeader) + c.row + "\n";
    const std::vector<std::string> got = read_all(text, c.max_column, false);
    ASSERT_EQ(got.size(), 2u) << c.row;
    EXPECT_EQ(got[1], c.want) << c.row;
    EXPECT_EQ(got, read_all(text, c.max_column, true)) << c.row;
  }
}

// Strings that put escapes, backslash runs and the closing quote at every
// offset around the 64-byte blocks, in rows read whole and across refills.
TEST_P(JsonEscapes, EscapesAtEveryOffsetAroundBlocks) {
  const char* pieces[] = {R"(\")", R"(\\)", R"(\\\")", R"(\\\\)", R"(\u0041)", R"(\ud83d\ude00)", R"(\x)"};
  std::string text = kHeader;
  for (int pad = 0; pad < 140; pad += 1) {
    for (const char* piece : pieces) {
      text += R"({"a":")" + std::string(static_cast<size_t>(pad), 'p') + piece + R"(","b":)" +
              std::to_string(pad) + R"(,"c":")" + std::string(static_cast<size_t>(140 - pad), 'q') + piece +
              "\"}\n";
    }
  }
  const std::vector<std::string> want = read_all(text, kNoMaxColumn, true);
  EXPECT_EQ(read_all(text, kNoMaxColumn, false), want);
  EXPECT_EQ(read_all(text, 1, false), read_all(text, 1, true));
  EXPECT_EQ(read_all(text, kNoMaxColumn, false, 61), want);
  // The oracle's own spot checks: a run of four backslashes is two, "\x" fails.
  EXPECT_EQ(want[4], "[" + std::string(0, 'p') + R"(\\][0][)" + std::string(140, 'q') + R"(\\])");
  EXPECT_EQ(want[7].substr(0, 25), "!InvalidJson/InvalidEscap");
}

// The block classes of every byte value at every offset of a block and of a
// short last block, against the byte's own class.
TEST_P(JsonEscapes, BlockClassesMatchTheBytes) {
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  for (size_t len : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{200}, size_t{300}}) {
    // An exact-size copy, so a read past its end is caught.
    std::vector<uint8_t> text(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
    JsonBlockMasks blocks[5];
    const size_t count = json_blocks(text.data(), len, blocks, 5);
    ASSERT_EQ(count, (len + 63) / 64);
    for (size_t i = 0; i < count * 64; ++i) {
      const uint8_t c = i < len ? text[i] : 0;
      const bool in = i < len;
      const JsonBlockMasks& b = blocks[i / 64];
      const size_t bit = i % 64;
      EXPECT_EQ(b.quote >> bit & 1, in && c == '"') << i;
      EXPECT_EQ(b.backslash >> bit & 1, in && c == '\\') << i;
      EXPECT_EQ(b.structural >> bit & 1,
                in && std::string("{}[]\":,").find(static_cast<char>(c)) != std::string::npos && c)
          << i;
      EXPECT_EQ(b.blank >> bit & 1, in && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, JsonEscapes, test::all_simd_levels(), test::SimdLevelName());

}  // namespace
}  // namespace quelta
