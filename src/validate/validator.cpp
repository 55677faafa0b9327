// The validation set-up and the row step: every validation export reads its
// rows through validate_next_row, which tests them against the Schema.
#include "validate/validator.h"

#include <cstring>

#include "input/decimal.h"
#include "platform/owned.h"
#include "validate/row_rules.h"

namespace quelta {
namespace {

constexpr const char* kRuleNames[kRuleCount] = {
    "too_few_fields", "too_many_fields", "missing_required", "bad_type",   "below_min",
    "above_max",      "too_short",       "too_long",         "not_in_set",
};

// The schema parsed against the header of v's open input, which a failure closes.
Error parse_against_header(ValidatorState* v, const char* schema_json, FailureSite* site) {
  platform::OwnedPtr<ValidatorState, validator_release> opened(v);
  size_t n_names;
  const FieldView* names = input_names(v->scan.input, &n_names);
  if (site) *site = FailureSite{};
  if (Error e = schema_parse(reinterpret_cast<const uint8_t*>(schema_json), std::strlen(schema_json), names,
                             n_names, &v->schema, site);
      failed(e))
    return e;
  (void)opened.release();
  return Error::None;
}

// Counts a breach and records it while the row's budget lasts.
struct BreachRecorder {
  ValidatorState* v;
  RuleCounts* counts;
  uint64_t budget;
  uint64_t row;
  bool invalid = false;

  [[nodiscard]] Error breach(Rule rule, const ColumnRule* r, FieldView value) {
    invalid = true;
    if (counts) ++counts->n[static_cast<size_t>(rule)];
    if (v->row_errors.len >= budget) return Error::None;
    ValidationError e;
    e.row = row;
    e.rule = rule;
    if (r) {
      e.column = r->column;
      e.column_name = r->name;
      e.value = value;
      e.has_column = true;
    }
    return v->row_errors.push(e);
  }
};

// Steps 2 to 6 of one rule on its field. Only a failed push of the error list
// is an error; breaches are not.
Error check_field(BreachRecorder& rec, const ColumnRule& r, FieldView f) {
  // One trim serves both tests: a field is blank when nothing but spaces and
  // tabs surround at most a run of blank bytes that begins with \r or \n.
  FieldView t = trim_space_tab(f);
  if (t.len == 0 || ((t.ptr[0] == '\r' || t.ptr[0] == '\n') && is_blank(t)))
    return r.required ? rec.breach(Rule::MissingRequired, &r, f) : Error::None;

  double number = 0;
  if (!passes_type(r.type, t, &number)) return rec.breach(Rule::BadType, &r, f);

  if (r.has_min || r.has_max) {
    if (r.type != ValueType::Float && !parse_finite(t.ptr, t.len, &number)) {
      if (Error e = rec.breach(Rule::BadType, &r, f); failed(e)) return e;
    } else {
      if (r.has_min && r.min > number) {
        if (Error e = rec.breach(Rule::BelowMin, &r, f); failed(e)) return e;
      }
      if (r.has_max && number > r.max) {
        if (Error e = rec.breach(Rule::AboveMax, &r, f); failed(e)) return e;
      }
    }
  }

  if (r.has_min_len || r.has_max_len) {
    uint64_t len = text_length(f);
    if (r.has_min_len && len < r.min_len) {
      if (Error e = rec.breach(Rule::TooShort, &r, f); failed(e)) return e;
    }
    if (r.has_max_len && len > r.max_len) {
      if (Error e = rec.breach(Rule::TooLong, &r, f); failed(e)) return e;
    }
  }

  if (r.n_one_of > 0 && !one_of_contains(r, f)) return rec.breach(Rule::NotInSet, &r, f);
  return Error::None;
}

}  // namespace

const char* rule_name(Rule r) {
  size_t i = static_cast<size_t>(r);
  return i < kRuleCount ? kRuleNames[i] : "";
}

Error validator_setup(ValidatorState* v, const char* path, const char* schema_json, const ReadSettings& read,
                      FailureSite* site) {
  *v = ValidatorState{};
  InputParams params;
  params.read = read;
  if (Error e = open_input(&v->scan.input, path, params); failed(e)) {
    note_site(*v, site);
    return e;
  }
  return parse_against_header(v, schema_json, site);
}

Error validator_setup_memory(ValidatorState* v, const uint8_t* data, size_t len, bool is_json,
                             const char* schema_json, const ReadSettings& read, FailureSite* site) {
  *v = ValidatorState{};
  InputParams params;
  params.read = read;
  if (Error e = open_input_memory(&v->scan.input, data, len, is_json, params); failed(e)) {
    note_site(*v, site);
    return e;
  }
  return parse_against_header(v, schema_json, site);
}

void validator_release(ValidatorState* v) {
  scan_state_close(&v->scan);
  schema_free(&v->schema);
  v->row_errors.release();
}

Error validate_next_row(ValidatorState* v, uint64_t budget, RuleCounts* counts, RowResult* out) {
  *out = RowResult{};
  const FieldView* fields;
  size_t n;
  bool at_end = false;
  if (Error e = next_matching_row(&v->scan, &fields, &n, &at_end); failed(e)) return e;
  if (at_end) return Error::None;

  uint64_t row = ++v->rows_total;
  v->row_errors.clear();
  BreachRecorder rec{v, counts, budget, row};
  Error e = Error::None;
  const size_t h = v->schema.n_header_columns;
  if (n < h)
    e = rec.breach(Rule::TooFewFields, nullptr, FieldView{});
  else if (n > h)
    e = rec.breach(Rule::TooManyFields, nullptr, FieldView{});

  const ColumnRule* rules = v->schema.rules;
  for (size_t i = 0; i < v->schema.n_rules && !failed(e); ++i) {
    if (rules[i].column < n) e = check_field(rec, rules[i], fields[rules[i].column]);
  }
  if (failed(e)) {
    // The row is read but not judged: keep the counters as before it.
    --v->rows_total;
    v->row_errors.clear();
    return e;
  }

  if (rec.invalid)
    ++v->rows_invalid;
  else
    ++v->rows_valid;
  out->has_row = true;
  out->row = row;
  out->fields = fields;
  out->n_fields = n;
  out->errors = v->row_errors.data;
  out->n_errors = v->row_errors.len;
  out->invalid = rec.invalid;
  return Error::None;
}

}  // namespace quelta
