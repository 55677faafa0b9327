// A strict RFC 8259 reader for whole JSON documents (the schema text), building
// a small tree whose objects keep their members in text order. Numbers are
// classified on reading: integer literals that fit 64 bits, finite floats, and
// big numbers kept as their literal text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"
#include "util/arena.h"
#include "util/failure_site.h"

namespace quelta {

enum class JsonType : uint8_t { Null, False, True, Integer, Float, BigNumber, String, Array, Object };

struct JsonNode {
  JsonType type = JsonType::Null;
  int64_t integer = 0;        // Integer
  double number = 0;          // Float
  FieldView text;             // String: decoded contents; BigNumber: the literal
  JsonNode* items = nullptr;  // Array: the items; Object: the member values
  FieldView* keys = nullptr;  // Object: the member names (decoded), parallel to items
  size_t n = 0;               // Array and Object: item / member count
  size_t offset = 0;          // where the value starts in the text
  size_t key_offset = 0;      // a member's value: where its name's opening quote stands
};

// Containers nested deeper than this are refused rather than followed.
constexpr size_t kJsonMaxDepth = 512;

struct JsonTree {
  JsonNode root;
  Arena arena;  // nodes, arrays and decoded strings
};

// Reads text[0..len) as one JSON document followed only by whitespace. Strings
// must be well-formed UTF-8 without raw control characters; unless
// allow_repeated_names, a member name may occur once per object. Views into the
// tree may point into text, which must outlive it. Returns InvalidJson for any
// malformed or refused text (nesting beyond kJsonMaxDepth included) and
// OutOfMemory when the heap refuses; on failure nothing stays allocated.
// A refused text fills site (when given) with the syntax problem and its
// byte offset, and a repeated name with that name.
Error json_tree_parse(const uint8_t* text, size_t len, JsonTree* out, bool allow_repeated_names = false,
                      FailureSite* site = nullptr);

void json_tree_free(JsonTree* tree);

}  // namespace quelta
