// The schema's JSON document reader: the JSON parsing suite as whole texts,
// tree shape and member order, number classification, repeated names, depth.
#include "validate/json_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/heap.h"
#include "support/fault.h"

namespace quelta {
namespace {

std::string text_of(FieldView v) { return std::string(reinterpret_cast<const char*>(v.ptr), v.len); }

// A compact picture of a node: kinds are tagged so that 1 and 1.0 differ.
std::string show(const JsonNode& n) {
  char buf[64];
  switch (n.type) {
    case JsonType::Null:
      return "null";
    case JsonType::False:
      return "false";
    case JsonType::True:
      return "true";
    case JsonType::Integer:
      return "i" + std::to_string(n.integer);
    case JsonType::Float:
      std::snprintf(buf, sizeof buf, "f%.17g", n.number);
      return buf;
    case JsonType::BigNumber:
      return "big" + text_of(n.text);
    case JsonType::String:
      return "'" + text_of(n.text) + "'";
    case JsonType::Array:
    case JsonType::Object: {
      const bool obj = n.type == JsonType::Object;
      std::string s = obj ? "{" : "[";
      for (size_t i = 0; i < n.n; ++i) {
        if (i) s += ",";
        if (obj) s += "'" + text_of(n.keys[i]) + "':";
        s += show(n.items[i]);
      }
      return s + (obj ? "}" : "]");
    }
  }
  return "?";
}

struct Read {
  Error error;
  std::string tree;
};

// The text sits in a block of exactly its size so that the sanitizer build
// catches a read past the end.
Read read(const std::string& text, bool allow_repeated = false) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  JsonTree tree;
  int64_t live = platform::heap_live_blocks();
  Read r{json_tree_parse(bytes.data(), bytes.size(), &tree, allow_repeated), ""};
  if (!failed(r.error)) r.tree = show(tree.root);
  json_tree_free(&tree);
  EXPECT_EQ(platform::heap_live_blocks(), live) << text.substr(0, 80);
  return r;
}

TEST(JsonTree, ParsingSuite) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(QUELTA_TESTDATA_DIR) / "json-test-suite";
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  size_t accepted = 0, refused = 0;
  std::set<std::string> refused_for_repeats;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Read loose = read(text, true);
    if (name[0] == 'y') {
      EXPECT_EQ(loose.error, Error::None) << name;
      ++accepted;
      if (failed(read(text).error)) refused_for_repeats.insert(name);
    } else if (name[0] == 'n') {
      EXPECT_EQ(loose.error, Error::ParserInvalidJson) << name;
      ++refused;
    }
  }
  EXPECT_GE(accepted, 90u);
  EXPECT_GE(refused, 180u);
  EXPECT_EQ(refused_for_repeats, (std::set<std::string>{"y_object_duplicated_key.json",
                                                        "y_object_duplicated_key_and_value.json"}));
}

TEST(JsonTree, ShapeAndStrings) {
  const struct {
    const char* text;
    std::string tree;
  } cases[] = {
      {R"( {"b":1, "a":[true,false,null,"x\u00e9\n"], "c":{}, "":[]} )",
       "{'b':i1,'a':[true,false,null,'x\xc3\xa9\n'],'c':{},'':[]}"},
      {R"("\ud834\udd1e\"\\\/")", "'\xf0\x9d\x84\x9e\"\\/'"},
      {R"({"a\u0000b":{"x":{"y":[[]]}}})", std::string("{'a\0b':{'x':{'y':[[]]}}}", 24)},
      {"\t\r\n[ 1 , \"\xe2\x82\xac\" ]\n", "[i1,'\xe2\x82\xac']"},
  };
  for (const auto& c : cases) {
    Read r = read(c.text);
    EXPECT_EQ(r.error, Error::None) << c.text;
    EXPECT_EQ(r.tree, c.tree) << c.text;
  }
}

TEST(JsonTree, NumberClassification) {
  const struct {
    const char* literal;
    const char* node;
  } cases[] = {
      {"0", "i0"},
      {"-7", "i-7"},
      {"9223372036854775807", "i9223372036854775807"},
      {"-9223372036854775808", "i-9223372036854775808"},
      {"9223372036854775808", "big9223372036854775808"},
      {"-9223372036854775809", "big-9223372036854775809"},
      {"123456789012345678901234567890", "big123456789012345678901234567890"},
      {"-0", "f-0"},
      {"-0.0", "f-0"},
      {"0.0", "f0"},
      {"3.0", "f3"},
      {"1e2", "f100"},
      {"1E+2", "f100"},
      {"2.5e-1", "f0.25"},
      {"1e-400", "f0"},
      {"1e400", "big1e400"},
      {"-1.5E309", "big-1.5E309"},
  };
  for (const auto& c : cases) {
    Read r = read(c.literal);
    EXPECT_EQ(r.error, Error::None) << c.literal;
    EXPECT_EQ(r.tree, c.node) << c.literal;
  }
  // The sign of the "-0" float survives.
  JsonTree tree;
  ASSERT_EQ(json_tree_parse(reinterpret_cast<const uint8_t*>("-0"), 2, &tree), Error::None);
  EXPECT_TRUE(std::signbit(tree.root.number));
  json_tree_free(&tree);
}

// What the suite leaves to the reader, or does not cover.
TEST(JsonTree, Refusals) {
  const char* cases[] = {
      "{}x",
      "{\"a\":1,\"a\":2}",
      "{\"x\":{\"a\":1,\"b\":2,\"a\":3}}",
      "{\"\":1,\"\":2}",
      "{\"a\":\"\xc3\x28\"}",
      "{\"\xff\":1}",
      "\"\xed\xa0\x80\"",  // an encoded surrogate
      "\"\\ud800\"",       // a lone surrogate escape
      "\xef\xbb\xbf{}",
  };
  for (const char* text : cases) EXPECT_EQ(read(text).error, Error::ParserInvalidJson) << text;
}

// Objects past the pairwise limit are checked through a hash set.
TEST(JsonTree, RepeatedNamesInLargeObjects) {
  for (size_t repeat_of : {size_t{0}, size_t{99}, size_t{200}}) {
    std::string text = "{";
    for (size_t i = 0; i < 200; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"k" + std::to_string(repeat_of) + "\":0}";
    EXPECT_EQ(read(text).error, repeat_of < 200 ? Error::ParserInvalidJson : Error::None) << repeat_of;
    EXPECT_EQ(read(text, true).error, Error::None);
  }
}

TEST(JsonTree, DepthLimit) {
  auto nested = [](size_t depth, bool objects) {
    std::string s;
    for (size_t i = 0; i < depth; ++i) s += objects ? "{\"a\":" : "[";
    s += "1";
    for (size_t i = 0; i < depth; ++i) s += objects ? "}" : "]";
    return s;
  };
  for (bool objects : {false, true}) {
    EXPECT_EQ(read(nested(kJsonMaxDepth, objects)).error, Error::None);
    EXPECT_EQ(read(nested(kJsonMaxDepth + 1, objects)).error, Error::ParserInvalidJson);
  }
  EXPECT_EQ(read(std::string(1000000, '[')).error, Error::ParserInvalidJson);
}

TEST(JsonTree, AllocationFailures) {
  std::string text = R"({"a":[1,2.5,"e\u00e9",{"b":null}],"c":{)";
  for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\":\"v\\n\",";
  text += "\"z\":[]}}";
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  test::sweep_allocation_failures([&] {
    JsonTree tree;
    Error e = json_tree_parse(bytes.data(), bytes.size(), &tree);
    json_tree_free(&tree);
    if (failed(e)) {
      EXPECT_EQ(e, Error::OutOfMemory);
    }
    return failed(e);
  });
}

}  // namespace
}  // namespace quelta
