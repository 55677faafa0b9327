// Fuzzes the schema text: the JSON document reader and schema_parse.
//
// Input: one choice byte, then the text. The choice byte's low 6 bits, when
// not 0, make that allocation of schema_parse fail; bit 6 lets the reader
// accept repeated member names.
//
// Checked: no crash and no block left allocated; a document the reader accepts
// is printed back and read again, and the second tree has the same members and
// values (numbers of the same kind and bits); schema_parse gives only its own
// conditions, binds each rule to the first equal header name, writes one_of
// floats without exponent, and its one_of set answers as a linear search does.
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/heap.h"
#include "validate/json_tree.h"
#include "validate/schema.h"

using namespace quelta;

namespace {

void print_string(FieldView v, std::string* out) {
  *out += '"';
  for (size_t i = 0; i < v.len; ++i) {
    const uint8_t c = v.ptr[i];
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      *out += buf;
    } else {
      *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

// Prints the tree as JSON that reads back to the same kinds: a float always
// keeps a point or an exponent ("-0" stays a float by itself).
void print(const JsonNode& n, std::string* out) {
  char buf[40];
  switch (n.type) {
    case JsonType::Null:
      *out += "null";
      return;
    case JsonType::False:
      *out += "false";
      return;
    case JsonType::True:
      *out += "true";
      return;
    case JsonType::Integer:
      std::snprintf(buf, sizeof buf, "%" PRId64, n.integer);
      *out += buf;
      return;
    case JsonType::Float:
      std::snprintf(buf, sizeof buf, "%.17g", n.number);
      *out += buf;
      if (!std::strpbrk(buf, ".e") && std::strcmp(buf, "-0") != 0) *out += ".0";
      return;
    case JsonType::BigNumber:
      *out += fuzz::text_of(n.text);
      return;
    case JsonType::String:
      print_string(n.text, out);
      return;
    case JsonType::Array:
    case JsonType::Object: {
      const bool obj = n.type == JsonType::Object;
      *out += obj ? '{' : '[';
      for (size_t i = 0; i < n.n; ++i) {
        if (i) *out += ',';
        if (obj) {
          print_string(n.keys[i], out);
          *out += ':';
        }
        print(n.items[i], out);
      }
      *out += obj ? '}' : ']';
      return;
    }
  }
}

bool same(const JsonNode& a, const JsonNode& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case JsonType::Integer:
      return a.integer == b.integer;
    case JsonType::Float:
      return std::bit_cast<uint64_t>(a.number) == std::bit_cast<uint64_t>(b.number);
    case JsonType::BigNumber:
    case JsonType::String:
      return a.text.equals(b.text);
    case JsonType::Array:
    case JsonType::Object:
      if (a.n != b.n) return false;
      for (size_t i = 0; i < a.n; ++i) {
        if (a.type == JsonType::Object && !a.keys[i].equals(b.keys[i])) return false;
        if (!same(a.items[i], b.items[i])) return false;
      }
      return true;
    default:
      return true;
  }
}

void check_tree(const std::vector<uint8_t>& text, bool allow_repeated) {
  JsonTree tree;
  const Error e = json_tree_parse(text.data(), text.size(), &tree, allow_repeated);
  FUZZ_CHECK(e == Error::None || e == Error::ParserInvalidJson, "reader gave %s", error_name(e));
  if (e == Error::None) {
    std::string printed;
    print(tree.root, &printed);
    const std::vector<uint8_t> again_text(printed.begin(), printed.end());
    JsonTree again;
    const Error e2 = json_tree_parse(again_text.data(), again_text.size(), &again, allow_repeated);
    FUZZ_CHECK(e2 == Error::None, "printed tree refused (%s): %s", error_name(e2),
               fuzz::escaped(printed).c_str());
    FUZZ_CHECK(same(tree.root, again.root), "printed tree reads back differently: %s",
               fuzz::escaped(printed).c_str());
    json_tree_free(&again);
  }
  json_tree_free(&tree);
}

void check_schema(const std::vector<uint8_t>& text, uint8_t fail_at) {
  static const char* const kHeader[] = {"a", "b", "c", "", "a", "type", "\xc3\xa9"};
  constexpr size_t kColumns = sizeof kHeader / sizeof kHeader[0];
  FieldView names[kColumns];
  for (size_t i = 0; i < kColumns; ++i)
    names[i] = FieldView{reinterpret_cast<const uint8_t*>(kHeader[i]), std::strlen(kHeader[i])};

  Schema s;
  if (fail_at) platform::heap_fail_at(fail_at);
  const Error e = schema_parse(text.data(), text.size(), names, kColumns, &s);
  platform::heap_fail_at(0);
  FUZZ_CHECK(
      e == Error::None || e == Error::BadSchema || e == Error::UnknownColumn || e == Error::OutOfMemory,
      "schema_parse gave %s", error_name(e));
  FUZZ_CHECK(e == Error::None || (s.n_rules == 0 && !s.rules), "a failed parse left rules behind");
  if (e == Error::None) {
    FUZZ_CHECK(s.n_header_columns == kColumns, "n_header_columns %zu", s.n_header_columns);
    for (size_t r = 0; r < s.n_rules; ++r) {
      const ColumnRule& rule = s.rules[r];
      size_t first = 0;
      while (!names[first].equals(rule.name)) ++first;
      FUZZ_CHECK(rule.column == first, "rule %zu bound to %zu, first equal name is %zu", r, rule.column,
                 first);
      FUZZ_CHECK(rule.use_set == (rule.n_one_of > kOneOfLinearMax), "use_set with %zu texts", rule.n_one_of);
      for (size_t i = 0; i < rule.n_one_of; ++i) {
        FUZZ_CHECK(one_of_contains(rule, rule.one_of[i]), "one_of text %zu not found", i);
        // Each text without its last byte, a probe that may or may not be in the list.
        FieldView probe{rule.one_of[i].ptr, rule.one_of[i].len ? rule.one_of[i].len - 1 : 0};
        bool linear = false;
        for (size_t k = 0; k < rule.n_one_of; ++k) linear |= rule.one_of[k].equals(probe);
        FUZZ_CHECK(one_of_contains(rule, probe) == linear, "set and list disagree");
      }
    }
  }
  schema_free(&s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices choices(data, size);
  const uint8_t choice = choices.byte();
  // The text in a block of exactly its size, so any read past it is caught.
  const std::vector<uint8_t> text(choices.rest(), choices.rest() + choices.rest_size());
  const int64_t live = platform::heap_live_blocks();
  check_tree(text, (choice & 0x40) != 0);
  check_schema(text, choice & 0x3F);
  FUZZ_CHECK(platform::heap_live_blocks() == live, "%" PRId64 " blocks left allocated",
             platform::heap_live_blocks() - live);
  return 0;
}
