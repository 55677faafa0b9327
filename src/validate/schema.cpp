// Schema parsing: the JSON tree of the schema text is checked key by key and
// turned into ColumnRules bound to header columns. Everything the Schema keeps
// lives in its arena, so one release frees it however far parsing got.
#include "validate/schema.h"

#include <charconv>
#include <cstring>
#include <iterator>

#include "input/decimal.h"
#include "platform/owned.h"
#include "validate/json_tree.h"

namespace quelta {
namespace {

constexpr const char* kTypeNames[] = {"any", "integer", "float", "boolean", "datetime", "string"};
constexpr const char* kRuleKeys[] = {"type", "required", "min", "max", "min_len", "max_len", "one_of"};

// Words other schema languages use for the same thing, lower case.
struct Synonym {
  const char* word;
  const char* ours;
};
constexpr Synonym kKeySynonyms[] = {
    {"minimum", "min"},       {"maximum", "max"},          {"minlength", "min_len"},
    {"maxlength", "max_len"}, {"exclusiveminimum", "min"}, {"exclusivemaximum", "max"},
    {"enum", "one_of"},       {"oneof", "one_of"},         {"allowed", "one_of"},
    {"nullable", "required"}, {"optional", "required"},    {"datatype", "type"},
    {"kind", "type"},         {"format", "type"},
};
constexpr Synonym kTypeSynonyms[] = {
    {"int", "integer"},   {"long", "integer"},       {"number", "float"},       {"double", "float"},
    {"decimal", "float"}, {"real", "float"},         {"numeric", "float"},      {"bool", "boolean"},
    {"str", "string"},    {"text", "string"},        {"varchar", "string"},     {"date", "datetime"},
    {"time", "datetime"}, {"timestamp", "datetime"}, {"date-time", "datetime"},
};
// Top-level keys of a JSON Schema document.
constexpr const char* kJsonSchemaKeys[] = {"$schema", "$id", "properties", "definitions", "$defs", "items"};

inline uint8_t lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c; }

// Edit distance with transpositions between a and b, ASCII case ignored;
// anything above kFar counts as kFar + 1.
constexpr size_t kFar = 2;
size_t distance(FieldView a, FieldView b) {
  constexpr size_t kMax = 40;
  if (a.len > kMax || b.len > kMax) return kFar + 1;
  if ((a.len > b.len ? a.len - b.len : b.len - a.len) > kFar) return kFar + 1;
  size_t d[kMax + 1][kMax + 1];
  for (size_t i = 0; i <= a.len; ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.len; ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.len; ++i)
    for (size_t j = 1; j <= b.len; ++j) {
      const size_t cost = lower(a.ptr[i - 1]) != lower(b.ptr[j - 1]);
      size_t best = d[i - 1][j - 1] + cost;
      if (d[i - 1][j] + 1 < best) best = d[i - 1][j] + 1;
      if (d[i][j - 1] + 1 < best) best = d[i][j - 1] + 1;
      if (i > 1 && j > 1 && lower(a.ptr[i - 1]) == lower(b.ptr[j - 2]) &&
          lower(a.ptr[i - 2]) == lower(b.ptr[j - 1]) && d[i - 2][j - 2] + 1 < best)
        best = d[i - 2][j - 2] + 1;
      d[i][j] = best;
    }
  return d[a.len][b.len];
}

FieldView view(const char* s) { return FieldView{reinterpret_cast<const uint8_t*>(s), std::strlen(s)}; }

// The known word a refused one most likely meant: a synonym, the same word
// in another case, or one within kFar edits (and shorter than the word).
template <size_t N, size_t M>
const char* nearest_word(FieldView word, const char* const (&words)[N], const Synonym (&synonyms)[M]) {
  char folded[32];
  if (word.len < sizeof folded) {
    for (size_t i = 0; i < word.len; ++i) folded[i] = static_cast<char>(lower(word.ptr[i]));
    for (const Synonym& s : synonyms)
      if (std::strlen(s.word) == word.len && std::memcmp(s.word, folded, word.len) == 0) return s.ours;
  }
  const char* best = nullptr;
  size_t best_d = kFar + 1;
  for (const char* w : words) {
    const size_t d = distance(word, view(w));
    if (d < best_d && d < word.len) {
      best = w;
      best_d = d;
    }
  }
  return best;
}

bool is(FieldView text, const char* word) {
  const size_t n = std::strlen(word);
  return text.len == n && std::memcmp(text.ptr, word, n) == 0;
}

Error copy_text(Arena* arena, const uint8_t* p, size_t n, FieldView* out) {
  uint8_t* copy = arena_copy(arena, p, n);
  if (!copy) return Error::OutOfMemory;
  *out = FieldView{copy, n};
  return Error::None;
}

// Finds header columns by name: the first column whose name equals the key
// byte for byte. Wide headers bound to many keys are hashed once, so binding
// stays linear in the header and the schema; small ones are searched in place.
class ColumnLookup {
 public:
  ColumnLookup(const FieldView* names, size_t n_names) : names_(names), n_names_(n_names) {}
  ColumnLookup(const ColumnLookup&) = delete;
  ColumnLookup& operator=(const ColumnLookup&) = delete;

  // Hashes the header when n_keys lookups would cost more than a pass each.
  Error prepare(size_t n_keys) {
    if (n_keys < 2 || n_names_ <= kLinearNames || n_names_ > kTextSetMaxItems) return Error::None;
    const size_t n_slots = text_set_slot_count(n_names_);
    slots_ = platform::HeapArray<uint32_t>::allocate(n_slots);
    if (!slots_) return Error::OutOfMemory;
    text_set_init(&set_, names_, slots_.get(), n_slots);
    // A repeated name is refused by the set, so the first column keeps it.
    for (size_t i = 0; i < n_names_; ++i) text_set_insert(&set_, i);
    return Error::None;
  }

  bool find(FieldView name, size_t* column) const {
    if (set_.slots) {
      *column = text_set_find(set_, name);
      return *column != SIZE_MAX;
    }
    for (size_t i = 0; i < n_names_; ++i)
      if (names_[i].equals(name)) {
        *column = i;
        return true;
      }
    return false;
  }

 private:
  static constexpr size_t kLinearNames = 32;
  const FieldView* names_;
  size_t n_names_;
  platform::HeapArray<uint32_t> slots_;  // the set's
  TextSet set_;
};

// Where a rule failed: fills the site (when given) with the problem, the
// column and the position in the schema text.
struct SiteWriter {
  FailureSite* site;
  const uint8_t* text;
  size_t len;

  Error fail(Error condition, Problem problem, FieldView column, size_t offset) const {
    if (site) {
      site->problem = problem;
      site->column_name.set(column.ptr, column.len);
      place(offset);
    }
    return condition;
  }
  void place(size_t offset) const {
    site->in_schema = true;
    site->offset = static_cast<int64_t>(offset);
    text_line_column(text, len, offset, &site->line, &site->column);
  }
};

// min and max take every number form; a big number is the decimal conversion
// of its literal (which may be infinite).
Error number_value(const JsonNode& v, double* out) {
  switch (v.type) {
    case JsonType::Integer:
      *out = static_cast<double>(v.integer);
      return Error::None;
    case JsonType::Float:
      *out = v.number;
      return Error::None;
    case JsonType::BigNumber:
      return failed(decimal_to_double(v.text.ptr, v.text.len, out)) ? Error::BadSchema : Error::None;
    default:
      return Error::BadSchema;
  }
}

Error length_value(const JsonNode& v, uint64_t* out) {
  if (v.type != JsonType::Integer || v.integer < 0) return Error::BadSchema;
  *out = static_cast<uint64_t>(v.integer);
  return Error::None;
}

// The text a one_of item is compared as.
Error one_of_text(Arena* arena, const JsonNode& item, FieldView* out) {
  char buf[kPlainDoubleMax];
  size_t n;
  switch (item.type) {
    case JsonType::String:
      return copy_text(arena, item.text.ptr, item.text.len, out);
    case JsonType::Integer:
      n = static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, item.integer).ptr - buf);
      break;
    case JsonType::Float:
      n = format_plain_double(item.number, buf);
      break;
    default:
      return Error::BadSchema;
  }
  return copy_text(arena, reinterpret_cast<const uint8_t*>(buf), n, out);
}

Error read_one_of(Arena* arena, const JsonNode& v, ColumnRule* rule) {
  if (v.type != JsonType::Array) return Error::BadSchema;
  rule->one_of = nullptr;
  rule->n_one_of = 0;
  if (v.n == 0) return Error::None;
  FieldView* list = arena_array<FieldView>(arena, v.n);
  if (!list) return Error::OutOfMemory;
  for (size_t i = 0; i < v.n; ++i)
    if (Error e = one_of_text(arena, v.items[i], &list[i]); failed(e)) return e;
  rule->one_of = list;
  rule->n_one_of = v.n;
  return Error::None;
}

// Applies one key of a column object to the rule; fills the site's key,
// value and problem on failure (the caller places it).
Error apply_key(Arena* arena, FieldView key, const JsonNode& v, ColumnRule* rule, FailureSite* site) {
  auto wrong_value = [&]() {
    if (site) {
      site->problem = Problem::WrongRuleValue;
      site->key.set(key.ptr, key.len);
    }
    return Error::BadSchema;
  };
  switch (key.len) {
    case 3:
      if (is(key, "min")) {
        rule->has_min = true;
        return failed(number_value(v, &rule->min)) ? wrong_value() : Error::None;
      }
      if (is(key, "max")) {
        rule->has_max = true;
        return failed(number_value(v, &rule->max)) ? wrong_value() : Error::None;
      }
      break;
    case 4:
      if (is(key, "type")) {
        if (v.type != JsonType::String) return wrong_value();
        for (size_t t = 0; t < std::size(kTypeNames); ++t)
          if (is(v.text, kTypeNames[t])) {
            rule->type = static_cast<ValueType>(t);
            return Error::None;
          }
        if (site) {
          site->problem = Problem::UnknownTypeName;
          site->key.set(key.ptr, key.len);
          site->value.set(v.text.ptr, v.text.len);
          site->suggestion = nearest_word(v.text, kTypeNames, kTypeSynonyms);
        }
        return Error::BadSchema;
      }
      break;
    case 6:
      if (is(key, "one_of")) {
        if (v.type != JsonType::Array) return wrong_value();
        Error e = read_one_of(arena, v, rule);
        if (e == Error::BadSchema && site) {
          site->problem = Problem::OneOfItem;
          site->key.set(key.ptr, key.len);
        }
        return e;
      }
      break;
    case 7:
      if (is(key, "min_len")) {
        rule->has_min_len = true;
        return failed(length_value(v, &rule->min_len)) ? wrong_value() : Error::None;
      }
      if (is(key, "max_len")) {
        rule->has_max_len = true;
        return failed(length_value(v, &rule->max_len)) ? wrong_value() : Error::None;
      }
      break;
    case 8:
      if (is(key, "required")) {
        if (v.type != JsonType::True && v.type != JsonType::False) return wrong_value();
        rule->required = v.type == JsonType::True;
        return Error::None;
      }
      break;
    default:
      break;
  }
  if (site) {
    site->problem = Problem::UnknownRuleKey;
    site->key.set(key.ptr, key.len);
    site->suggestion = nearest_word(key, kRuleKeys, kKeySynonyms);
  }
  return Error::BadSchema;
}

Error build_one_of_set(Arena* arena, ColumnRule* rule) {
  if (rule->n_one_of > kTextSetMaxItems) return Error::OutOfMemory;
  const size_t n_slots = text_set_slot_count(rule->n_one_of);
  uint32_t* slots = arena_array<uint32_t>(arena, n_slots);
  if (!slots) return Error::OutOfMemory;
  text_set_init(&rule->one_of_set, rule->one_of, slots, n_slots);
  // A repeated text is refused by the set and so kept once.
  for (size_t i = 0; i < rule->n_one_of; ++i) text_set_insert(&rule->one_of_set, i);
  rule->use_set = true;
  return Error::None;
}

// The first top-level key that only a JSON Schema document has (and that is
// no column of the header), or null.
const FieldView* json_schema_keyword(const JsonNode& root, const ColumnLookup& columns) {
  for (size_t i = 0; i < root.n; ++i) {
    const FieldView& k = root.keys[i];
    size_t unused;
    if (columns.find(k, &unused) && root.items[i].type == JsonType::Object) continue;
    for (const char* w : kJsonSchemaKeys)
      if (is(k, w)) return &k;
    if (is(k, "type") && root.items[i].type == JsonType::String && is(root.items[i].text, "object"))
      return &k;
    if (is(k, "required") && root.items[i].type == JsonType::Array) return &k;
  }
  return nullptr;
}

// A header name that the refused column name most likely meant.
const FieldView* nearest_column(FieldView name, const FieldView* names, size_t n_names) {
  const FieldView* best = nullptr;
  size_t best_d = kFar + 1;
  for (size_t i = 0; i < n_names; ++i) {
    const size_t d = distance(name, names[i]);
    if (d < best_d && d < name.len) {
      best = &names[i];
      best_d = d;
    }
  }
  return best;
}

Error build_rules(const JsonNode& root, const FieldView* names, size_t n_names, const ColumnLookup& columns,
                  Schema* out, const SiteWriter& at) {
  FailureSite* site = at.site;
  for (size_t i = 0; i < root.n; ++i) {
    ColumnRule rule;
    const FieldView& name = root.keys[i];
    if (!columns.find(name, &rule.column)) {
      if (site) {
        if (const FieldView* near = nearest_column(name, names, n_names))
          site->near_name.set(near->ptr, near->len);
      }
      return at.fail(Error::UnknownColumn, Problem::UnknownColumnName, name, root.items[i].key_offset);
    }
    const JsonNode& body = root.items[i];
    if (body.type != JsonType::Object)
      return at.fail(Error::BadSchema, Problem::RulesNotObject, name, body.offset);
    if (Error e = copy_text(&out->storage, name.ptr, name.len, &rule.name); failed(e)) return e;
    for (size_t k = 0; k < body.n; ++k) {
      const JsonNode& v = body.items[k];
      if (Error e = apply_key(&out->storage, body.keys[k], v, &rule, site); failed(e)) {
        if (e == Error::BadSchema && site) {
          size_t offset = v.offset;
          if (site->problem == Problem::UnknownRuleKey) offset = v.key_offset;
          if (site->problem == Problem::OneOfItem) {
            for (size_t j = 0; j < v.n; ++j) {
              const JsonType t = v.items[j].type;
              if (t != JsonType::String && t != JsonType::Integer && t != JsonType::Float) {
                site->index = j;
                offset = v.items[j].offset;
                break;
              }
            }
          }
          site->column_name.set(name.ptr, name.len);
          at.place(offset);
        }
        return e;
      }
    }
    // Bounds no value can meet (min above max) are kept as written: every
    // value then breaches one of them, and the report says which.
    if (rule.n_one_of > kOneOfLinearMax) {
      if (Error e = build_one_of_set(&out->storage, &rule); failed(e)) return e;
    }
    out->rules[out->n_rules++] = rule;
  }
  return Error::None;
}

Error build_schema(const JsonNode& root, const FieldView* names, size_t n_names, Schema* out,
                   const SiteWriter& at) {
  if (root.type != JsonType::Object)
    return at.fail(Error::BadSchema, Problem::SchemaNotObject, {}, root.offset);
  // Recorded before the early return for an empty schema: rows are still
  // checked against the header's field count.
  out->n_header_columns = n_names;
  if (root.n == 0) return Error::None;
  ColumnLookup columns(names, n_names);
  Error e = Error::None;
  if (n_names == 0) {
    e = at.fail(Error::UnknownColumn, Problem::UnknownColumnName, root.keys[0], root.items[0].key_offset);
  } else {
    out->rules = arena_array<ColumnRule>(&out->storage, root.n);
    if (!out->rules) return Error::OutOfMemory;
    if (Error p = columns.prepare(root.n); failed(p)) return p;
    e = build_rules(root, names, n_names, columns, out, at);
  }
  // A JSON Schema document fails somewhere; say what it is instead.
  if ((e == Error::UnknownColumn || e == Error::BadSchema) && at.site) {
    if (const FieldView* keyword = json_schema_keyword(root, columns)) {
      at.site->problem = Problem::LooksLikeJsonSchema;
      at.site->key.set(keyword->ptr, keyword->len);
    }
  }
  return e;
}

}  // namespace

Error schema_parse(const uint8_t* text, size_t len, const FieldView* names, size_t n_names, Schema* out,
                   FailureSite* site) {
  *out = Schema{};
  platform::Owned<JsonTree, json_tree_free> tree;
  const SiteWriter at{site, text, len};
  // Any failure while reading the document, running out of memory included,
  // is a schema the library could not take.
  if (failed(json_tree_parse(text, len, tree.get(), false, site))) {
    if (site && site->offset >= 0) at.place(static_cast<size_t>(site->offset));
    return Error::BadSchema;
  }
  platform::OwnedPtr<Schema, schema_free> building(out);
  if (Error e = build_schema(tree->root, names, n_names, out, at); failed(e)) return e;
  (void)building.release();
  return Error::None;
}

void schema_free(Schema* schema) {
  arena_release(&schema->storage);
  *schema = Schema{};
}

bool one_of_contains(const ColumnRule& rule, FieldView value) {
  if (rule.use_set) return text_set_contains(rule.one_of_set, value);
  for (size_t i = 0; i < rule.n_one_of; ++i)
    if (rule.one_of[i].equals(value)) return true;
  return false;
}

size_t format_plain_double(double v, char* out) {
  // The shortest round-trip digits come from to_chars in scientific form:
  // [-]d[.ddd]e(+|-)xx. They are then laid out around the decimal point.
  char sci[48];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* p = sci;
  char* w = out;
  if (*p == '-') *w++ = *p++;
  char digits[24];
  size_t nd = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exp);
  const long point = exp + 1;  // digits before the decimal point
  if (point <= 0) {
    *w++ = '0';
    *w++ = '.';
    std::memset(w, '0', static_cast<size_t>(-point));
    w += -point;
    std::memcpy(w, digits, nd);
    w += nd;
  } else if (static_cast<size_t>(point) >= nd) {
    std::memcpy(w, digits, nd);
    w += nd;
    std::memset(w, '0', static_cast<size_t>(point) - nd);
    w += static_cast<size_t>(point) - nd;
  } else {
    std::memcpy(w, digits, static_cast<size_t>(point));
    w += point;
    *w++ = '.';
    std::memcpy(w, digits + point, nd - static_cast<size_t>(point));
    w += nd - static_cast<size_t>(point);
  }
  return static_cast<size_t>(w - out);
}

const char* value_type_name(ValueType type) {
  const size_t i = static_cast<size_t>(type);
  return i < std::size(kTypeNames) ? kTypeNames[i] : "any";
}

}  // namespace quelta
