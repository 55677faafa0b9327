// The validation schema: per-column rules parsed from a JSON text and bound to
// the input's header columns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"

namespace quelta {

enum class ValueType : uint8_t { Any = 0, Integer, Float, Boolean, Datetime, String };

// Hash set of one_of texts, built for lists of more than kOneOfLinearMax entries.
struct OneOfSet {
  FieldView* slots = nullptr;  // open addressing; ptr == nullptr marks an empty slot
  size_t mask = 0;             // slot count - 1 (a power of two)
  bool has_empty = false;      // the empty text, which cannot sit in a slot
};

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

// One block of string storage; released as a whole.
struct Arena {
  struct Block;
  Block* head = nullptr;
};

struct Schema {
  ColumnRule* rules = nullptr;
  size_t n_rules = 0;
  size_t n_header_columns = 0;
  Arena storage;
};

// Parses text[0..len) against the header names. BadSchema, UnknownColumn or
// OutOfMemory on failure, with nothing left allocated.
Error schema_parse(const uint8_t* text, size_t len, const FieldView* names, size_t n_names, Schema* out);
void schema_free(Schema* schema);

// Whether value is one of the rule's one_of texts (linear or through the set).
bool one_of_contains(const ColumnRule& rule, FieldView value);

}  // namespace quelta
