// Schema parsing: the JSON tree of the schema text is checked key by key and
// turned into ColumnRules bound to header columns. Everything the Schema keeps
// lives in its arena, so one release frees it however far parsing got.
#include "validate/schema.h"

#include <charconv>
#include <cstring>
#include <iterator>

#include "input/decimal.h"
#include "platform/heap.h"
#include "validate/json_tree.h"

namespace quelta {
namespace {

constexpr const char* kTypeNames[] = {"any", "integer", "float", "boolean", "datetime", "string"};

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
  ~ColumnLookup() { platform::heap_free(set_.slots); }
  ColumnLookup(const ColumnLookup&) = delete;
  ColumnLookup& operator=(const ColumnLookup&) = delete;

  // Hashes the header when n_keys lookups would cost more than a pass each.
  Error prepare(size_t n_keys) {
    if (n_keys < 2 || n_names_ <= kLinearNames || n_names_ > kTextSetMaxItems) return Error::None;
    const size_t n_slots = text_set_slot_count(n_names_);
    auto* slots = static_cast<uint32_t*>(platform::heap_alloc(n_slots * sizeof(uint32_t)));
    if (!slots) return Error::OutOfMemory;
    text_set_init(&set_, names_, slots, n_slots);
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
  TextSet set_;
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

// Applies one key of a column object to the rule.
Error apply_key(Arena* arena, FieldView key, const JsonNode& v, ColumnRule* rule) {
  switch (key.len) {
    case 3:
      if (is(key, "min")) {
        rule->has_min = true;
        return number_value(v, &rule->min);
      }
      if (is(key, "max")) {
        rule->has_max = true;
        return number_value(v, &rule->max);
      }
      break;
    case 4:
      if (is(key, "type")) {
        if (v.type != JsonType::String) return Error::BadSchema;
        for (size_t t = 0; t < std::size(kTypeNames); ++t)
          if (is(v.text, kTypeNames[t])) {
            rule->type = static_cast<ValueType>(t);
            return Error::None;
          }
        return Error::BadSchema;
      }
      break;
    case 6:
      if (is(key, "one_of")) return read_one_of(arena, v, rule);
      break;
    case 7:
      if (is(key, "min_len")) {
        rule->has_min_len = true;
        return length_value(v, &rule->min_len);
      }
      if (is(key, "max_len")) {
        rule->has_max_len = true;
        return length_value(v, &rule->max_len);
      }
      break;
    case 8:
      if (is(key, "required")) {
        if (v.type != JsonType::True && v.type != JsonType::False) return Error::BadSchema;
        rule->required = v.type == JsonType::True;
        return Error::None;
      }
      break;
    default:
      break;
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

Error build_schema(const JsonNode& root, const FieldView* names, size_t n_names, Schema* out) {
  if (root.type != JsonType::Object) return Error::BadSchema;
  // Recorded before the early return for an empty schema: rows are still
  // checked against the header's field count.
  out->n_header_columns = n_names;
  if (root.n == 0) return Error::None;
  if (n_names == 0) return Error::UnknownColumn;
  out->rules = arena_array<ColumnRule>(&out->storage, root.n);
  if (!out->rules) return Error::OutOfMemory;
  ColumnLookup columns(names, n_names);
  if (Error e = columns.prepare(root.n); failed(e)) return e;
  for (size_t i = 0; i < root.n; ++i) {
    ColumnRule rule;
    if (!columns.find(root.keys[i], &rule.column)) return Error::UnknownColumn;
    const JsonNode& body = root.items[i];
    if (body.type != JsonType::Object) return Error::BadSchema;
    if (Error e = copy_text(&out->storage, root.keys[i].ptr, root.keys[i].len, &rule.name); failed(e))
      return e;
    for (size_t k = 0; k < body.n; ++k)
      if (Error e = apply_key(&out->storage, body.keys[k], body.items[k], &rule); failed(e)) return e;
    if (rule.n_one_of > kOneOfLinearMax) {
      if (Error e = build_one_of_set(&out->storage, &rule); failed(e)) return e;
    }
    out->rules[out->n_rules++] = rule;
  }
  return Error::None;
}

}  // namespace

Error schema_parse(const uint8_t* text, size_t len, const FieldView* names, size_t n_names, Schema* out) {
  *out = Schema{};
  JsonTree tree;
  // Any failure while reading the document, running out of memory included,
  // is a schema the library could not take.
  if (failed(json_tree_parse(text, len, &tree))) return Error::BadSchema;
  Error e = build_schema(tree.root, names, n_names, out);
  json_tree_free(&tree);
  if (failed(e)) schema_free(out);
  return e;
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
