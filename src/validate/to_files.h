// Validation to files: valid rows to a new CSV file, invalid rows with their
// breaches to a new JSON-lines file, both or neither.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/read_settings.h"
#include "platform/error.h"
#include "util/failure_site.h"

namespace quelta {

struct FileSplitStats {
  uint64_t rows_total = 0;
  uint64_t rows_valid = 0;
  uint64_t rows_invalid = 0;
  uint64_t errors_total = 0;  // breaches over all invalid rows
};

// Both outputs are created new (PathAlreadyExists when a path holds a file);
// after any failure neither output exists and a file that was at either path
// before the call is untouched. *stats is written only on success. site
// (when given) says where a failure stood, and which output could not be made.
Error validate_to_files(const char* input_path, const char* schema_json, const char* valid_path,
                        const char* invalid_path, FileSplitStats* stats, const ReadSettings& read = {},
                        FailureSite* site = nullptr);

}  // namespace quelta
