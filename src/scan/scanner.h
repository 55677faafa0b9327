// The Scanner handle: a ScanState plus what the C interface hands out, the
// NUL-terminated column names and the reusable copy-out buffers of rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quelta.h"
#include "scan/scan_state.h"

namespace quelta {

// Per output column position, a NUL-terminated copy buffer that only grows.
struct RowCopyOut {
  struct Slot {
    char* buf;
    size_t cap;
  };
  GrowBuffer<Slot> slots;
  GrowBuffer<const char*> pointers;
};

// Grows both arrays to at least n entries; new slots start empty.
Error ensure_row_capacity(RowCopyOut* out, size_t n);
// Copies each field into its slot with a NUL behind it. False when a slot
// cannot grow.
bool copy_row_out(RowCopyOut* out, const FieldView* fields, size_t n);
void row_copy_out_release(RowCopyOut* out);

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
