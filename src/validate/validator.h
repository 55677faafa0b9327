// The Validator shared by every validation export: an open input with default
// scan options, its Schema, the current row's breaches and the row counters;
// and the row step that reads and tests one row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_writer.h"
#include "scan/scan_state.h"
#include "validate/schema.h"

namespace quelta {

enum class Rule : uint8_t {
  TooFewFields = 0,
  TooManyFields,
  MissingRequired,
  BadType,
  BelowMin,
  AboveMax,
  TooShort,
  TooLong,
  NotInSet,
};
constexpr size_t kRuleCount = 9;

// "too_few_fields", ... by rule code.
const char* rule_name(Rule r);

struct RuleCounts {
  uint64_t n[kRuleCount] = {};
};

struct ValidationError {
  uint64_t row = 0;
  uint64_t column = 0;
  FieldView column_name;  // the Schema's copy; empty for the field-count rules
  FieldView value;        // the row's field as delivered; empty for the field-count rules
  bool has_column = false;
  Rule rule = Rule::TooFewFields;
};

struct ValidatorState {
  ScanState scan;
  Schema schema;
  GrowBuffer<ValidationError> row_errors;
  uint64_t rows_total = 0, rows_valid = 0, rows_invalid = 0;
};

constexpr uint64_t kUnlimitedErrors = UINT64_MAX;

// Opens path with default scan options and parses the schema against its
// header. On failure nothing stays open or allocated, and site (when given)
// says where the input or the schema failed.
Error validator_setup(ValidatorState* v, const char* path, const char* schema_json,
                      const ReadSettings& read = {}, FailureSite* site = nullptr);
// The same over CSV (is_json false) or JSON-row text in memory, which must
// outlive the state.
Error validator_setup_memory(ValidatorState* v, const uint8_t* data, size_t len, bool is_json,
                             const char* schema_json, const ReadSettings& read = {},
                             FailureSite* site = nullptr);

// Copies where the input's last failed read stood to site (when given).
inline void note_site(const ValidatorState& v, FailureSite* site) {
  if (site) *site = input_site(v.scan.input);
}
void validator_release(ValidatorState* v);

struct RowResult {
  bool has_row = false;
  uint64_t row = 0;
  const FieldView* fields = nullptr;
  size_t n_fields = 0;
  const ValidationError* errors = nullptr;  // valid until the next step
  size_t n_errors = 0;
  bool invalid = false;  // any breach, recorded or not
};

// Reads and tests the next row, recording at most budget breaches; counts
// every breach in counts when given. A read failure changes no counter.
Error validate_next_row(ValidatorState* v, uint64_t budget, RuleCounts* counts, RowResult* out);

// The error-list JSON: [{"row":..,"column":..,"column_name":..,"rule":..,"value":..},...].
// with_row false leaves out the "row" member (the outcome's form).
Error write_error_list(OutputSink& sink, const ValidationError* errors, size_t n, bool with_row = true);

}  // namespace quelta
