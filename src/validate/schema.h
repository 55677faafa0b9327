// The validation schema: per-column rules parsed from a JSON text and bound to
// the input's header columns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"
#include "util/arena.h"
#include "util/failure_site.h"
#include "validate/text_set.h"

namespace quelta {

enum class ValueType : uint8_t { Any = 0, Integer, Float, Boolean, Datetime, String };

// Hash set of one_of texts, built for lists of more than kOneOfLinearMax
// entries; its slots refer to the rule's one_of list.
using OneOfSet = TextSet;

constexpr size_t kOneOfLinearMax = 31;

struct ColumnRule {
  size_t column = 0;  // bound header column
  FieldView name;     // the schema key, in the Schema's storage
  double min = 0, max = 0;
  uint64_t min_len = 0, max_len = 0;
  FieldView* one_of = nullptr;  // texts in the Schema's storage; empty list: no restriction
  size_t n_one_of = 0;
  OneOfSet one_of_set;
  bool use_set = false;
  bool has_min = false, has_max = false;
  bool has_min_len = false, has_max_len = false;
  ValueType type = ValueType::Any;
  bool required = false;
};

struct Schema {
  ColumnRule* rules = nullptr;
  size_t n_rules = 0;
  size_t n_header_columns = 0;
  Arena storage;  // the rules, names, one_of lists, texts and sets
};

// Parses text[0..len) against the header names. BadSchema, UnknownColumn or
// OutOfMemory on failure, with nothing left allocated; site (when given) then
// says which entry and key failed, how, and where in the text. A min above
// max, or a min_len above max_len, is BadSchema: no value could pass.
// n_header_columns is n_names on success, whatever the schema holds.
Error schema_parse(const uint8_t* text, size_t len, const FieldView* names, size_t n_names, Schema* out,
                   FailureSite* site = nullptr);
// Releases everything the schema owns; safe on a partly built or freed schema.
void schema_free(Schema* schema);

// Whether value is one of the rule's one_of texts (linear or through the set).
bool one_of_contains(const ColumnRule& rule, FieldView value);

// The longest text format_plain_double writes.
constexpr size_t kPlainDoubleMax = 330;

// The shortest decimal text that reads back as v (finite), in positional
// notation without an exponent: 1e2 gives "100", 0.001 "0.001", -0.0 "-0".
// Writes at most kPlainDoubleMax bytes to out and returns the length.
size_t format_plain_double(double v, char* out);

// The schema's word for a type: "any", "integer", ...
const char* value_type_name(ValueType type);

}  // namespace quelta
