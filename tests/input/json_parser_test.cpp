// The structural-position JSON object parser and string unescaping, under
// every byte-search level and over the JSON parsing suite.
#include "input/json_parser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/heap.h"
#include "support/simd_levels.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

using Members = std::vector<std::string>;

struct Parsed {
  Error error = Error::None;
  Members members;  // "key=kind:text"
};

std::string text_of(FieldView v) { return std::string(reinterpret_cast<const char*>(v.ptr), v.len); }

std::string describe(const JsonMember& m) {
  static const char* const kKinds[] = {"=null", "=bool", "=w:", "=s:", "=o:", "=a:"};
  std::string s = text_of(m.key);
  if (m.kind == JsonKind::Null) return s.append("=null");
  if (m.kind == JsonKind::Bool) return s.append(m.truth ? "=true" : "=false");
  return s.append(kKinds[static_cast<int>(m.kind)]).append(text_of(m.value));
}

// The record is copied into a block of exactly its size so that the
// sanitizer build catches any read past its end.
Parsed parse(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  JsonParser parser;
  Parsed out;
  out.error = parse_object(&parser, FieldView{bytes.data(), bytes.size()});
  if (!failed(out.error))
    for (size_t i = 0; i < parser.members.len; ++i) out.members.push_back(describe(parser.members[i]));
  json_parser_release(&parser);
  return out;
}

// A string holding n structural bytes: an object with one string member
// whose contents are commas.
std::string with_tokens(size_t n) {
  std::string s = "{\"a\":\"";
  s.append(n - 7, ',');
  return s.append("\"}");
}

class JsonParse : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

TEST_P(JsonParse, Conditions) {
  struct Case {
    const char* text;
    Error error;
  } cases[] = {
      {"", Error::ParserInvalidJson},
      {"abc 123", Error::ParserInvalidJson},
      {R"("a":1})", Error::ParserInvalidJson},
      {R"([{"a":1}])", Error::ParserInvalidJson},
      {"{", Error::UnexpectedEnd},
      {"x {", Error::UnexpectedEnd},
      {R"({"a":)", Error::UnexpectedEnd},
      {R"({"a":1)", Error::UnexpectedEnd},
      {R"({"a":1,)", Error::UnexpectedEnd},
      {R"({"a":"x")", Error::UnexpectedEnd},
      {R"({"a":{})", Error::UnexpectedEnd},
      {R"({"a":{"b":1})", Error::UnexpectedEnd},  // the nested object takes the only '}'
      {R"({"a":{"b":1)", Error::UnexpectedEnd},
      {R"({"a":[1,2})", Error::UnexpectedEnd},
      {R"({"a":["]"})", Error::UnexpectedEnd},
      {R"({"a)", Error::MalformedKey},
      {R"({"a\"})", Error::MalformedKey},
      {R"({"a"})", Error::ExpectedColon},
      {R"({"a" 1})", Error::ExpectedColon},
      {R"({"a","b":1})", Error::ExpectedColon},
      {R"({"a")", Error::ExpectedColon},
      {R"({1:2})", Error::ExpectedQuote},
      {R"({"a":1,:2})", Error::ExpectedQuote},
      {R"({"a":"x"]})", Error::ExpectedQuote},
      {R"({"a":{}:1})", Error::ExpectedQuote},
      {R"({"a":"x)", Error::MalformedString},
      {R"({"a":"x\"})", Error::MalformedString},
      {R"({"a":]})", Error::UnexpectedToken},
      {R"({"a"::1})", Error::UnexpectedToken},
      {R"({"a\q":1})", Error::InvalidEscape},
      {R"({"a":"x\q"})", Error::InvalidEscape},
      {R"({"a":"\u12"})", Error::InvalidUnicodeEscape},
      {R"({"a":"\ud800"})", Error::InvalidUnicodeEscape},
      // Errors inside nested values.
      {R"({"a":{"b" 1}})", Error::ExpectedColon},
      {R"({"a":{"b":"\x"}})", Error::InvalidEscape},
      {R"({"a":{"b":{"c":]}}})", Error::UnexpectedToken},
      {R"({"a":["x" y]})", Error::MalformedString},
      {R"({"a":[1, "ok", "x"y]})", Error::MalformedString},
      {R"({"a":["\q"]})", Error::InvalidEscape},
      {"{\"a\":[\"x\"\v]}", Error::MalformedString},  // elements are trimmed of space, tab, CR and LF only
      {R"({"a":[{"b"}]})", Error::ExpectedColon},
      {R"({"a":[{]})", Error::UnexpectedEnd},
      {R"({"a":[1,{"b":["x" y]}]})", Error::MalformedString},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.text).error, c.error) << c.text;
}

TEST_P(JsonParse, TokenLimitCountsBytesInsideStrings) {
  EXPECT_EQ(parse(with_tokens(kMaxJsonTokens - 1)).error, Error::None);
  EXPECT_EQ(parse(with_tokens(kMaxJsonTokens)).error, Error::TooManyTokens);
  EXPECT_EQ(parse(with_tokens(kMaxJsonTokens + 500)).error, Error::TooManyTokens);
}

TEST_P(JsonParse, Members) {
  struct Case {
    const char* text;
    Members members;
  } cases[] = {
      {"{}", {}},
      {" \t{ }", {}},
      {"x 1.5 \xEF\xBB\xBF{\"a\":1}", {"a=w:1"}},  // bytes before the first '{' are not examined
      {R"({"a":1} "b":[ }})", {"a=w:1"}},          // nor are bytes after its '}'
      {R"({"a":1,})", {"a=w:1"}},
      {R"({"a": true ,"b":false,"c":null,"d": 1e5 ,"e":hello world,"f":})",
       {"a=true", "b=false", "c=null", "d=w:1e5", "e=w:hello world", "f=w:"}},
      {"{\"a\":\t\n\v\f\r 7 \r\n}", {"a=w:7"}},
      {R"({"a":TRUE,"b":nulls,"c":"true"})", {"a=w:TRUE", "b=w:nulls", "c=s:true"}},
      {R"({"a":"x\"y","b":"{[:,]}","c":""})", {"a=s:x\"y", "b=s:{[:,]}", "c=s:"}},
      {R"({"a":"\\","b":"\\\"}"})", {"a=s:\\", "b=s:\\\"}"}},
      {R"({"k\"e\ty":1,"":2})", {"k\"e\ty=w:1", "=w:2"}},
      {R"({"a:b,}":1,"c\\":{"\"":[]}})", {"a:b,}=w:1", R"(c\=o:{"\"":[]})"}},
      {R"({"a":{"b":[1,{"c":"]}"}],"d":{}},"e":[],"f":[[1,"x"],["\n"]]})",
       {R"(a=o:{"b":[1,{"c":"]}"}],"d":{}})", "e=a:[]", R"(f=a:[[1,"x"],["\n"]])"}},
      {R"({"a":[ "x\n" , {"b":null} , , true ,"}"],"b":0})",
       {R"(a=a:[ "x\n" , {"b":null} , , true ,"}"])", "b=w:0"}},
      {R"({"a":1,"a":"2"})", {"a=w:1", "a=s:2"}},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.text);
    EXPECT_EQ(p.error, Error::None) << c.text;
    EXPECT_EQ(p.members, c.members) << c.text;
  }
}

// Structural bytes at every offset relative to the 16- and 32-byte vector steps.
TEST_P(JsonParse, StructuralBytesAtEveryOffset) {
  for (size_t pad = 0; pad < 70; ++pad) {
    std::string gap(pad, ' ');
    std::string array = std::string("[\"x\\\"").append(gap).append("\",").append(gap).append("{}]");
    std::string text =
        gap + "{" + gap + "\"k\"" + gap + ":" + array + gap + ",\"b\":" + gap + "1" + gap + "}";
    Parsed p = parse(text);
    EXPECT_EQ(p.error, Error::None) << pad;
    EXPECT_EQ(p.members, (Members{std::string("k=a:").append(array), "b=w:1"})) << pad;
  }
}

// The suite's objects as robustness input: no crash, no leak, and the valid
// ones parse. This parser checks no numbers and ignores bytes after the
// closing brace, so invalid files may well be accepted.
TEST_P(JsonParse, ParsingSuite) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(QUELTA_TESTDATA_DIR) / "json-test-suite";
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  size_t valid = 0, other = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    bool is_valid = name.rfind("y_object", 0) == 0;
    if (!is_valid && name.rfind("n_object", 0) != 0 && name.rfind("n_structure", 0) != 0) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.empty() || text[0] != '{') continue;
    int64_t live = platform::heap_live_blocks();
    Parsed p = parse(text);
    EXPECT_EQ(platform::heap_live_blocks(), live) << name;
    EXPECT_NE(p.error, Error::OutOfMemory) << name;
    if (is_valid) {
      EXPECT_EQ(p.error, Error::None) << name;
      ++valid;
    } else {
      ++other;
    }
  }
  EXPECT_GE(valid, 10u);
  EXPECT_GE(other, 30u);
}

INSTANTIATE_TEST_SUITE_P(AllLevels, JsonParse, test::all_simd_levels(), test::SimdLevelName());

struct Unescaped {
  Error error = Error::None;
  std::string text;
};

Unescaped unescape(const std::string& src) {
  std::vector<uint8_t> bytes(src.begin(), src.end());
  ByteBuffer out;
  Unescaped u;
  // Existing contents stay in front; the result is appended after them.
  const uint8_t prefix[] = {'#', '#'};
  EXPECT_EQ(out.append(prefix, 2), Error::None);
  EXPECT_EQ(out.reserve(out.len + bytes.size()), Error::None);
  FieldView result;
  u.error = json_unescape(FieldView{bytes.data(), bytes.size()}, &out, &result);
  if (!failed(u.error)) {
    EXPECT_EQ(result.ptr, out.data + 2);
    EXPECT_EQ(out.len, 2 + result.len);
    u.text = text_of(result);
  }
  out.release();
  return u;
}

TEST(JsonUnescape, Escapes) {
  struct Case {
    const char* src;
    std::string expected;
  } cases[] = {
      {R"(a\"b)", "a\"b"},
      {R"(\/\\)", "/\\"},
      {R"(\b\f\n\r\t)", "\x08\x0C\x0A\x0D\x09"},
      {R"(x\u0041y)", "xAy"},
      {R"(\u0000)", std::string(1, '\0')},
      {R"(\u007f\u0080)", "\x7F\xC2\x80"},
      {R"(x\u00e9)", "x\xC3\xA9"},
      {R"(\u07FF\u0800)", "\xDF\xBF\xE0\xA0\x80"},
      {R"(\u20aC\uFFFF)", "\xE2\x82\xAC\xEF\xBF\xBF"},
      {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
      {R"(\uD834\uDD1E!)", "\xF0\x9D\x84\x9E!"},
      {R"(\udbff\udfff)", "\xF4\x8F\xBF\xBF"},
      {"\x01\xFF\\n", "\x01\xFF\n"},  // raw control bytes and invalid UTF-8 pass through
  };
  for (const Case& c : cases) {
    Unescaped u = unescape(c.src);
    EXPECT_EQ(u.error, Error::None) << c.src;
    EXPECT_EQ(u.text, c.expected) << c.src;
  }
}

TEST(JsonUnescape, Failures) {
  struct Case {
    const char* src;
    Error error;
  } cases[] = {
      {"\\", Error::InvalidEscape},
      {"ab\\", Error::InvalidEscape},
      {R"(\x)", Error::InvalidEscape},
      {R"(\U0041)", Error::InvalidEscape},
      {R"(\')", Error::InvalidEscape},
      {R"(\u)", Error::InvalidUnicodeEscape},
      {R"(\u12)", Error::InvalidUnicodeEscape},
      {R"(\u12g4)", Error::InvalidUnicodeEscape},
      {R"(\u 123)", Error::InvalidUnicodeEscape},
      {R"(\ud83d)", Error::InvalidUnicodeEscape},
      {R"(\ud83dx)", Error::InvalidUnicodeEscape},
      {R"(\ud83d\n)", Error::InvalidUnicodeEscape},
      {R"(\ud83d\u0041)", Error::InvalidUnicodeEscape},
      {R"(\ud83d\ud83d)", Error::InvalidUnicodeEscape},
      {R"(\ud83d\ude0)", Error::InvalidUnicodeEscape},
      {R"(\ude00)", Error::InvalidUnicodeEscape},
      {R"(\udfff\ud83d)", Error::InvalidUnicodeEscape},
  };
  for (const Case& c : cases) EXPECT_EQ(unescape(c.src).error, c.error) << c.src;
}

}  // namespace
}  // namespace quelta
