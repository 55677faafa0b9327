// The validation outcome: one validation question answered in one call, over a
// file or over CSV or JSON-row text in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/read_settings.h"
#include "platform/error.h"
#include "util/failure_site.h"

namespace quelta {

enum class OutcomeInput : uint8_t { Path = 0, CsvText = 1, JsonText = 2 };
enum class OutcomeResult : uint8_t { AllValid = 0, InvalidRows = 1 };

// The result text, NUL-terminated, in its own heap block. AllValid gives true
// or false, reading only up to the first invalid row; InvalidRows gives
// [{"values":[..],"errors":[{"column":..,"column_name":..,"rule":..,"value":..}]},..].
// Only input[0..len) is read. Null on failure: *no_memory_for_result when the
// finished text could not be copied, else the condition in *condition and
// where it stood in *site (when given).
char* validate_outcome(const uint8_t* input, size_t len, const char* schema_json, OutcomeInput input_kind,
                       OutcomeResult result_kind, Error* condition, bool* no_memory_for_result,
                       const ReadSettings& read = {}, FailureSite* site = nullptr);

void outcome_free(char* text);

}  // namespace quelta
