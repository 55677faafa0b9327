// Exports of validation to files and of the validation outcome.
#include "api/error_slot.h"
#include "api/read_options.h"
#include "quelta.h"
#include "validate/outcome.h"
#include "validate/to_files.h"

using namespace quelta;

extern "C" {

static int32_t to_files(const char* input_path, const char* schema_json, const char* valid_path,
                        const char* invalid_path, ValidationStats* stats, const ReadOptions* read) {
  api::slot_clear();
  if (stats) *stats = ValidationStats{};
  if (!input_path || !schema_json || !valid_path || !invalid_path || !stats) {
    api::slot_set("validate_to_files requires input, schema, two outputs and stats");
    return -1;
  }
  ReadSettings settings;
  if (!api::read_settings_from(read, &settings)) {
    api::slot_set(api::kInvalidReadOptions);
    return -1;
  }
  FileSplitStats split;
  FailureSite site;
  if (Error e = validate_to_files(input_path, schema_json, valid_path, invalid_path, &split, settings, &site);
      failed(e)) {
    api::slot_set("validate_to_files failed: ", e);
    api::slot_subject(site.path ? site.path : input_path);
    api::slot_site(site);
    return -1;
  }
  *stats = ValidationStats{split.rows_total, split.rows_valid, split.rows_invalid, split.errors_total};
  return 0;
}

QUELTA_API int32_t quelta_validate_to_files(const char* input_path, const char* schema_json,
                                            const char* valid_path, const char* invalid_path,
                                            ValidationStats* stats) {
  return to_files(input_path, schema_json, valid_path, invalid_path, stats, nullptr);
}

QUELTA_API int32_t quelta_validate_to_files_with(const char* input_path, const char* schema_json,
                                                 const char* valid_path, const char* invalid_path,
                                                 ValidationStats* stats, const ReadOptions* read) {
  return to_files(input_path, schema_json, valid_path, invalid_path, stats, read);
}

static char* outcome(const char* input, size_t input_len, const char* schema_json, uint32_t input_kind,
                     uint32_t result_kind, const ReadOptions* read) {
  api::slot_clear();
  if (!input) {
    api::slot_set("input is null");
    return nullptr;
  }
  if (!schema_json) {
    api::slot_set("schema is null");
    return nullptr;
  }
  if (input_kind > 2 || result_kind > 1) {
    api::slot_set("invalid validation options");
    return nullptr;
  }
  ReadSettings settings;
  // A text's kind names its format; a format in the options may only agree with it.
  if (!api::read_settings_from(read, &settings) ||
      (input_kind == 1 && settings.format != FormatOverride::None &&
       settings.format != FormatOverride::Csv) ||
      (input_kind == 2 && settings.format == FormatOverride::Csv)) {
    api::slot_set(api::kInvalidReadOptions);
    return nullptr;
  }
  Error condition;
  bool no_memory_for_result;
  FailureSite site;
  char* text = validate_outcome(
      reinterpret_cast<const uint8_t*>(input), input_len, schema_json, static_cast<OutcomeInput>(input_kind),
      static_cast<OutcomeResult>(result_kind), &condition, &no_memory_for_result, settings, &site);
  if (!text) {
    if (no_memory_for_result) {
      api::slot_set("out of memory");
    } else {
      api::slot_set("validate failed: ", condition);
      if (input_kind == 0) api::slot_subject(input, input_len);
      api::slot_site(site);
    }
  }
  return text;
}

QUELTA_API char* quelta_validate_outcome(const char* input, size_t input_len, const char* schema_json,
                                         uint32_t input_kind, uint32_t result_kind) {
  return outcome(input, input_len, schema_json, input_kind, result_kind, nullptr);
}

QUELTA_API char* quelta_validate_outcome_with(const char* input, size_t input_len, const char* schema_json,
                                              uint32_t input_kind, uint32_t result_kind,
                                              const ReadOptions* read) {
  return outcome(input, input_len, schema_json, input_kind, result_kind, read);
}

QUELTA_API void quelta_outcome_free(char* text) { outcome_free(text); }
}
