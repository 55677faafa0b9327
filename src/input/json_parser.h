// The JSON object parser behind JSON-row inputs: a vector pass records the
// positions of the structural bytes of one record, then the parser walks
// those positions instead of the bytes. Built for speed, not full validation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"
#include "util/byte_search.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr size_t kMaxJsonTokens = 4096;

enum class JsonKind : uint8_t { Null, Bool, Bare, String, Object, Array };

struct JsonMember {
  FieldView key;  // unescaped
  JsonKind kind;
  bool truth;       // for Bool
  FieldView value;  // String: unescaped contents; Bare: the trimmed word; Object/Array: the raw text
};

// Reusable parser state; keeps its capacity from record to record.
struct JsonParser {
  size_t* tokens = nullptr;  // structural byte offsets, kMaxJsonTokens entries once allocated
  GrowBuffer<JsonMember> members;
  ByteBuffer scratch;  // unescaped texts; reserved to the record's length so views stay put
};

// Parses one object; on success parser->members holds its members in order.
// The views point into record or into parser->scratch and stay valid until
// the next parse with the same parser. Fails with the parser's own
// conditions (ParserInvalidJson, TooManyTokens, UnexpectedEnd, MalformedKey,
// ExpectedColon, ExpectedQuote, MalformedString, UnexpectedToken,
// InvalidEscape, InvalidUnicodeEscape) or OutOfMemory.
// With blocks, the record's structural index (util/byte_search.h, every
// block of it classified), the structural bytes are taken from its masks
// instead of searched for; the result is the same.
Error parse_object(JsonParser* parser, FieldView record, const JsonBlockMasks* blocks = nullptr);

// Unescapes src (which holds at least one backslash) onto the end of out,
// which must have room for src.len more bytes.
Error json_unescape(FieldView src, ByteBuffer* out, FieldView* result);

void json_parser_release(JsonParser* parser);

}  // namespace quelta
