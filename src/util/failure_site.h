// Where a failure stood and what it concerned: plain values carried back
// beside an error condition. Inner code fills them; only the export shells
// turn them into words. Texts are fixed-size copies, so a site outlives the
// reader or schema it came from and filling one never allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/error.h"

namespace quelta {

// A short copy of a name or key, cut at kSiteTextMax bytes (never inside a
// UTF-8 sequence).
struct SiteText {
  static constexpr size_t kSiteTextMax = 160;
  char text[kSiteTextMax] = {};
  uint16_t len = 0;

  void set(const void* p, size_t n) {
    if (n > kSiteTextMax) {
      n = kSiteTextMax;
      const auto* b = static_cast<const uint8_t*>(p);
      while (n > 0 && (b[n] & 0xC0) == 0x80) --n;  // b[n] starts the part left out
    }
    if (n) std::memcpy(text, p, n);
    len = static_cast<uint16_t>(n);
  }
  void set(const char* s) { set(s, std::strlen(s)); }
  bool empty() const { return len == 0; }
};

// What went wrong, beyond the condition's name.
enum class Problem : uint8_t {
  None,
  // Input.
  QuoteNotClosed,  // UnterminatedQuote: quote_line says where it opened
  JsonRow,         // InvalidJson: cause holds the parser's own condition
  NestedValue,     // NestedValueNotSupported: key names the member
  // Schema text as JSON: syntax says how.
  SchemaSyntax,
  // Schema content.
  SchemaNotObject,      // the top level is not an object
  RulesNotObject,       // column's value is not an object
  UnknownRuleKey,       // key; suggestion when one is near
  WrongRuleValue,       // key's value has the wrong kind
  OneOfItem,            // an item of one_of that is not a string or number; index
  UnknownTypeName,      // the type value; suggestion when one is near
  UnknownColumnName,    // column; suggestion: a header name that is near
  LooksLikeJsonSchema,  // key: the JSON Schema keyword found at the top level
  RepeatedKey,          // key given twice in one object
};

// How a schema text fails to be one JSON document.
enum class JsonSyntax : uint8_t {
  None,
  UnexpectedEnd,       // the text ends inside the document
  ExpectedValue,       // no value where one belongs
  ExpectedName,        // no quoted key where one belongs
  TrailingComma,       // ',' right before '}' or ']'
  ExpectedColon,       // no ':' after a key
  ExpectedCommaOrEnd,  // neither ',' nor the closing bracket after a value
  BadString,           // a raw control byte, a bad escape or bytes that are not UTF-8
  BadNumber,
  TrailingText,  // more than whitespace after the document
  TooDeep,
  RepeatedName,  // a key given twice in one object
  NoMemory,
};

struct FailureSite {
  Problem problem = Problem::None;
  JsonSyntax syntax = JsonSyntax::None;
  Error cause = Error::None;         // JsonRow: the parser's condition
  bool in_schema = false;            // line, column and offset are in the schema text
  uint64_t line = 0;                 // 1-based; 0 unknown
  uint64_t column = 0;               // 1-based byte within the line; 0 unknown
  int64_t offset = -1;               // byte offset; -1 unknown
  uint64_t quote_line = 0;           // QuoteNotClosed: the line where the quote opened
  uint64_t index = 0;                // OneOfItem: the item's position
  SiteText column_name;              // the schema entry or header column concerned
  SiteText key;                      // the rule key, JSON Schema keyword or JSON member
  SiteText value;                    // the refused value (a type name)
  const char* suggestion = nullptr;  // a known word near the refused one (static)
  SiteText near_name;                // a header name near the refused column name
  const char* path = nullptr;        // the caller's path the failure concerns (an output that exists)

  // Drops what an earlier failure left, before a call that may fail anew
  // (cheap when there is nothing to drop).
  void forget() {
    if (problem != Problem::None || line != 0 || offset != -1 || path) *this = FailureSite{};
  }
};

// The 1-based line and column of byte offset in text[0..len).
inline void text_line_column(const uint8_t* text, size_t len, size_t offset, uint64_t* line,
                             uint64_t* column) {
  if (offset > len) offset = len;
  uint64_t l = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i)
    if (text[i] == '\n') {
      ++l;
      line_start = i + 1;
    }
  *line = l;
  *column = offset - line_start + 1;
}

}  // namespace quelta
