// The last-error slot, its detail, and the one place messages are composed.
#include "api/error_slot.h"

#include <charconv>
#include <cstddef>
#include <cstring>

namespace quelta::api {
namespace {

constexpr char kOverflow[] = "error (message too long)";

struct ErrorSlot {
  const char* message = nullptr;
  size_t length = 0;
  char buffer[kErrorSlotSize];
};

// A text written piece by piece into a fixed buffer; pieces that do not fit
// are cut (at a UTF-8 character boundary) and the rest dropped.
struct DetailText {
  char buffer[kDetailTextSize] = {};
  size_t length = 0;

  void clear() {
    length = 0;
    buffer[0] = '\0';
  }
  void add(const char* p, size_t n) {
    const size_t room = kDetailTextSize - 1 - length;
    if (n > room) {
      n = room;
      while (n > 0 && (static_cast<uint8_t>(p[n]) & 0xC0) == 0x80) --n;
    }
    if (n) std::memcpy(buffer + length, p, n);
    length += n;
    buffer[length] = '\0';
  }
  void add(const char* s) { add(s, std::strlen(s)); }
  void add(const SiteText& t) { add(t.text, t.len); }
  void add(uint64_t v) {
    char digits[24];
    add(digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
  }
  void quoted(const SiteText& t) {
    add("\"");
    add(t);
    add("\"");
  }
  void quoted(const char* s) {
    add("\"");
    add(s);
    add("\"");
  }
};

struct DetailSlot {
  const char* condition = "";
  uint64_t line = 0, column = 0;
  int64_t offset = -1;
  uint64_t schema_line = 0, schema_column = 0;
  int64_t schema_offset = -1;
  DetailText subject, detail;
};

ErrorSlot g_slot;
DetailSlot g_detail;

// Writes the pieces one after another into the buffer; a message that would
// not leave room for its terminating NUL becomes the fixed overflow text.
void compose(const char* a, const char* b) {
  size_t la = std::strlen(a);
  size_t lb = b ? std::strlen(b) : 0;
  if (la + lb >= kErrorSlotSize) {
    g_slot.message = kOverflow;
    g_slot.length = sizeof(kOverflow) - 1;
    return;
  }
  std::memcpy(g_slot.buffer, a, la);
  if (lb) std::memcpy(g_slot.buffer + la, b, lb);
  g_slot.message = g_slot.buffer;
  g_slot.length = la + lb;
}

void clear_detail() {
  g_detail.condition = "";
  g_detail.line = g_detail.column = 0;
  g_detail.offset = -1;
  g_detail.schema_line = g_detail.schema_column = 0;
  g_detail.schema_offset = -1;
  g_detail.subject.clear();
  g_detail.detail.clear();
}

// The subject a site names: a schema entry with its rule key
// ("price.min", "price.one_of[2]"), a JSON Schema keyword, a member key.
void site_subject(const FailureSite& s, DetailText* out) {
  if (s.problem == Problem::LooksLikeJsonSchema || s.problem == Problem::NestedValue ||
      s.problem == Problem::SchemaSyntax) {
    if (!s.key.empty()) {
      out->clear();
      out->add(s.key);
    }
    return;
  }
  if (s.column_name.empty() && s.key.empty()) return;
  out->clear();
  out->add(s.column_name);
  if (!s.key.empty()) {
    if (!s.column_name.empty()) out->add(".");
    out->add(s.key);
  }
  if (s.problem == Problem::OneOfItem) {
    out->add("[");
    out->add(s.index);
    out->add("]");
  }
}

const char* syntax_text(JsonSyntax syntax) {
  switch (syntax) {
    case JsonSyntax::None:
      break;
    case JsonSyntax::UnexpectedEnd:
      return "the text ends inside the document";
    case JsonSyntax::ExpectedValue:
      return "expected a value (a string in double quotes, a number, true, false, null, an object or an "
             "array)";
    case JsonSyntax::ExpectedName:
      return "expected a key in double quotes";
    case JsonSyntax::TrailingComma:
      return "a comma before the closing bracket (JSON allows no trailing comma)";
    case JsonSyntax::ExpectedColon:
      return "expected ':' after key";
    case JsonSyntax::ExpectedCommaOrEnd:
      return "expected ',' or a closing bracket after a value";
    case JsonSyntax::BadString:
      return "a string holding a raw control character, a bad escape or bytes that are not UTF-8";
    case JsonSyntax::BadNumber:
      return "a malformed number";
    case JsonSyntax::TrailingText:
      return "text after the end of the document";
    case JsonSyntax::TooDeep:
      return "containers nested too deeply";
    case JsonSyntax::RepeatedName:
      return "a key given twice in one object";
    case JsonSyntax::NoMemory:
      return "out of memory reading the schema";
  }
  return "";
}

// The JSON row parser's own causes, in words.
const char* json_cause_text(Error cause) {
  switch (cause) {
    case Error::ParserInvalidJson:
      return "not a JSON object";
    case Error::TooManyTokens:
      return "too many tokens in one row";
    case Error::UnexpectedEnd:
      return "the row ends inside the object";
    case Error::MalformedKey:
      return "a malformed key";
    case Error::ExpectedColon:
      return "expected ':' after key";
    case Error::ExpectedQuote:
      return "expected a key in double quotes";
    case Error::MalformedString:
      return "a malformed string";
    case Error::UnexpectedToken:
      return "an unexpected token";
    case Error::InvalidEscape:
      return "an invalid escape";
    case Error::InvalidUnicodeEscape:
      return "an invalid \\u escape";
    case Error::InvalidJsonRow:
      return "the input ends inside an object";
    default:
      return "";
  }
}

constexpr const char kTypeList[] = "any, integer, float, boolean, datetime, string";
constexpr const char kRuleList[] = "type, required, min, max, min_len, max_len, one_of";
constexpr const char kExample[] = "{\"age\":{\"type\":\"integer\",\"min\":0}}";

void wrong_value_text(const SiteText& key, DetailText* d) {
  d->quoted(key);
  const auto is = [&](const char* w) {
    return key.len == std::strlen(w) && std::memcmp(key.text, w, key.len) == 0;
  };
  if (is("min") || is("max"))
    d->add(" must be a number");
  else if (is("min_len") || is("max_len"))
    d->add(" must be a whole number, 0 or more");
  else if (is("required"))
    d->add(" must be true or false");
  else if (is("type")) {
    d->add(" must be a string, one of ");
    d->add(kTypeList);
  } else if (is("one_of"))
    d->add(" must be an array of strings and numbers");
}

void site_detail(const FailureSite& s, DetailText* d) {
  switch (s.problem) {
    case Problem::None:
      return;
    case Problem::QuoteNotClosed:
      if (s.quote_line && s.quote_line != s.line) {
        d->add("the quote opened at line ");
        d->add(s.quote_line);
      } else if (s.column) {
        d->add("the quote at column ");
        d->add(s.column);
        d->add(" is not closed");
      } else {
        d->add("a quote is not closed");
      }
      return;
    case Problem::JsonRow:
      d->add(json_cause_text(s.cause));
      return;
    case Problem::NestedValue:
      d->add("the value of ");
      d->quoted(s.key);
      d->add(" is an object or an array");
      return;
    case Problem::SchemaSyntax:
      d->add(syntax_text(s.syntax));
      return;
    case Problem::SchemaNotObject:
      d->add("the schema must be a JSON object that maps column names to rules, e.g. ");
      d->add(kExample);
      return;
    case Problem::RulesNotObject:
      d->add("the rules of ");
      d->quoted(s.column_name);
      d->add(" must be an object, e.g. {\"type\":\"integer\",\"min\":0}");
      return;
    case Problem::UnknownRuleKey:
      d->add("unknown key ");
      d->quoted(s.key);
      if (s.suggestion) {
        d->add(" (did you mean ");
        d->quoted(s.suggestion);
        d->add("?)");
      } else {
        d->add(" (rules are ");
        d->add(kRuleList);
        d->add(")");
      }
      return;
    case Problem::WrongRuleValue:
      wrong_value_text(s.key, d);
      return;
    case Problem::OneOfItem:
      d->add("items of \"one_of\" must be strings or numbers");
      return;
    case Problem::UnknownTypeName:
      d->add("unknown type ");
      d->quoted(s.value);
      if (s.suggestion) {
        d->add(" (did you mean ");
        d->quoted(s.suggestion);
        d->add("?)");
      }
      d->add("; types are ");
      d->add(kTypeList);
      return;
    case Problem::UnknownColumnName:
      d->add("no column ");
      d->quoted(s.column_name);
      d->add(" in the header");
      if (!s.near_name.empty()) {
        d->add(" (did you mean ");
        d->quoted(s.near_name);
        d->add("?)");
      }
      return;
    case Problem::LooksLikeJsonSchema:
      d->add("this looks like JSON Schema (");
      d->quoted(s.key);
      d->add("); a schema here maps column names to rules, e.g. ");
      d->add(kExample);
      return;
    case Problem::RepeatedKey:
      d->add("a key given twice in one object");
      return;
  }
}

}  // namespace

void slot_clear() {
  g_slot.message = nullptr;
  g_slot.length = 0;
  clear_detail();
}

void slot_set(const char* phrase) {
  compose(phrase, nullptr);
  clear_detail();
}

void slot_set(const char* prefix, Error condition) {
  compose(prefix, error_name(condition));
  clear_detail();
  g_detail.condition = error_name(condition);
}

const char* slot_message() {
  if (!g_slot.message || g_slot.length >= kErrorSlotSize) return nullptr;
  if (g_slot.message == g_slot.buffer) g_slot.buffer[g_slot.length] = '\0';
  return g_slot.message;
}

void slot_subject(const char* subject) {
  g_detail.subject.clear();
  if (subject) g_detail.subject.add(subject);
}

void slot_subject(const char* subject, size_t len) {
  g_detail.subject.clear();
  // A path held in the caller's bytes ends at its first NUL, if any.
  const void* nul = std::memchr(subject, '\0', len);
  g_detail.subject.add(subject, nul ? static_cast<size_t>(static_cast<const char*>(nul) - subject) : len);
}

void slot_site(const FailureSite& site) {
  if (site.in_schema) {
    g_detail.schema_line = site.line;
    g_detail.schema_column = site.column;
    g_detail.schema_offset = site.offset;
  } else {
    g_detail.line = site.line;
    g_detail.column = site.column;
    g_detail.offset = site.offset;
  }
  site_subject(site, &g_detail.subject);
  g_detail.detail.clear();
  site_detail(site, &g_detail.detail);
}

int32_t slot_detail(QueltaErrorDetail* out) {
  // Later versions only append fields, so the first one ends at schema_offset.
  constexpr size_t kFirstVersion = offsetof(QueltaErrorDetail, schema_offset) + sizeof(int64_t);
  if (!out || out->size < kFirstVersion) return -1;
  const bool recorded = slot_message() != nullptr;
  QueltaErrorDetail d{};
  d.size = out->size;
  d.condition = recorded ? g_detail.condition : "";
  d.subject = recorded ? g_detail.subject.buffer : "";
  d.detail = recorded ? g_detail.detail.buffer : "";
  d.line = recorded ? g_detail.line : 0;
  d.column = recorded ? g_detail.column : 0;
  d.offset = recorded ? g_detail.offset : -1;
  d.schema_line = recorded ? g_detail.schema_line : 0;
  d.schema_column = recorded ? g_detail.schema_column : 0;
  d.schema_offset = recorded ? g_detail.schema_offset : -1;
  // A caller built against a later, longer record keeps its own bytes past ours.
  std::memcpy(out, &d, sizeof d);
  return recorded ? 1 : 0;
}

}  // namespace quelta::api
