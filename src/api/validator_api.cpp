// Exports of the streaming validator: open, row and batch stepping, the column
// directory, the row counters, close.
#include "api/error_slot.h"
#include "api/read_options.h"
#include "api/row_delivery.h"
#include "quelta.h"
#include "validate/stream.h"

using namespace quelta;

extern "C" {

static Validator* open_validator(const char* path, const char* schema_json, const ReadOptions* read) {
  api::slot_clear();
  if (!path) {
    api::slot_set("path is null");
    return nullptr;
  }
  if (!schema_json) {
    api::slot_set("schema_json is null");
    return nullptr;
  }
  ReadSettings settings;
  if (!api::read_settings_from(read, &settings)) {
    api::slot_set(api::kInvalidReadOptions);
    return nullptr;
  }
  ValidatorOpenFailure failure;
  Error condition;
  FailureSite site;
  Validator* v = validator_open(path, schema_json, &failure, &condition, settings, &site);
  switch (failure) {
    case ValidatorOpenFailure::None:
      break;
    case ValidatorOpenFailure::NoMemory:
      api::slot_set("out of memory");
      break;
    case ValidatorOpenFailure::Setup:
      api::slot_set("cannot open validator: ", condition);
      api::slot_subject(path);
      api::slot_site(site);
      break;
    case ValidatorOpenFailure::NoMemoryForHeader:
      api::slot_set("out of memory copying header");
      break;
  }
  return v;
}

QUELTA_API Validator* quelta_validator_open(const char* path, const char* schema_json) {
  return open_validator(path, schema_json, nullptr);
}

QUELTA_API Validator* quelta_validator_open_with(const char* path, const char* schema_json,
                                                 const ReadOptions* read) {
  return open_validator(path, schema_json, read);
}

QUELTA_API void quelta_validator_close(Validator* v) { validator_close(v); }

QUELTA_API size_t quelta_validator_n_columns(Validator* v) { return v ? validator_n_columns(v) : 0; }

QUELTA_API const char* quelta_validator_column_name(Validator* v, size_t index) {
  return v ? validator_column_name(v, index) : nullptr;
}

QUELTA_API uint64_t quelta_validator_rows_total(Validator* v) {
  return v ? validator_state(v)->rows_total : 0;
}
QUELTA_API uint64_t quelta_validator_rows_valid(Validator* v) {
  return v ? validator_state(v)->rows_valid : 0;
}
QUELTA_API uint64_t quelta_validator_rows_invalid(Validator* v) {
  return v ? validator_state(v)->rows_invalid : 0;
}

QUELTA_API int32_t quelta_validator_next(Validator* v, const char*** out_fields, size_t* out_count,
                                         const char** out_errors_json, uint64_t* out_row) {
  api::slot_clear();
  if (!v) {
    api::slot_set("validator is null");
    return -1;
  }
  RowResult row;
  FailureSite* site = input_site(&validator_state(v)->scan.input);
  site->forget();
  if (Error e = validate_next_row(validator_state(v), kUnlimitedErrors, nullptr, &row); failed(e)) {
    api::slot_set("validate failed: ", e);
    api::slot_site(*site);
    return -1;
  }
  if (!row.has_row) return 0;
  if (!api::deliver_row(validator_row_out(v), row.fields, row.n_fields, out_fields, out_count)) return -1;
  if (out_row) *out_row = row.row;
  if (out_errors_json) {
    if (failed(render_row_errors(v, row, out_errors_json))) {
      api::slot_set("out of memory rendering row errors");
      return -1;
    }
  }
  return 1;
}

QUELTA_API int32_t quelta_validator_next_batch(Validator* v, size_t max_rows, size_t max_bytes, Batch** out) {
  return api::deliver_batch(
      v, "validator is null", out,
      [&](Batch** batch, bool* no_memory_for_record) {
        input_site(&validator_state(v)->scan.input)->forget();
        return validator_next_batch(validator_state(v), max_rows, max_bytes, batch, no_memory_for_record);
      },
      [&]() { return &input_site(validator_state(v)->scan.input); });
}
}
