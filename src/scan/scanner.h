// The Scanner handle: a ScanState plus what the C interface hands out, the
// NUL-terminated column names and the reusable copy-out buffers of rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quelta.h"
#include "scan/row_out.h"
#include "scan/scan_state.h"

struct Scanner;

namespace quelta {

enum class OpenFailure : uint8_t {
  None,
  NullPredicates,  // n_predicates > 0 with no array
  NullProjection,  // n_projection > 0 with no array
  NoMemoryForPredicates,
  NoMemoryForInValues,
  NoMemoryForScanner,
  Input,  // see the condition
  NoMemoryForHeader,
};

// Builds a Scanner for path; on failure reports which step failed (and the
// input's condition for OpenFailure::Input) and frees everything.
// site (when given) says where a failed open of the input stood.
Scanner* scanner_open(const char* path, const ScanOptions* options, OpenFailure* failure, Error* condition,
                      const ReadSettings& read = {}, FailureSite* site = nullptr);
void scanner_close(Scanner* scanner);

ScanState* scanner_state(Scanner* scanner);
RowCopyOut* scanner_row_out(Scanner* scanner);
size_t scanner_n_columns(const Scanner* scanner);
// The NUL-terminated name at index, or null when index is out of range.
const char* scanner_column_name(const Scanner* scanner, size_t index);

}  // namespace quelta
