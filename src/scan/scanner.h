// The Scanner handle: a ScanState plus what the C interface hands out, the
// NUL-terminated column names and the reusable copy-out buffers of rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quelta.h"
#include "scan/row_out.h"
#include "scan/scan_state.h"

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

}  // namespace quelta

struct Scanner {
  quelta::ScanState state;
  quelta::RowCopyOut row_out;
  char** columns = nullptr;  // NUL-terminated copies of the directory
  size_t n_columns = 0;
};

namespace quelta {

// Builds a Scanner for path; on failure reports which step failed (and the
// input's condition for OpenFailure::Input) and frees everything.
Scanner* scanner_open(const char* path, const ScanOptions* options, OpenFailure* failure, Error* condition);
void scanner_close(Scanner* scanner);

}  // namespace quelta
