// RowCopy: an owned deep copy of one delivered row, for operators that keep
// rows beyond the scan step (top-k, order-by).
#pragma once

#include <cstddef>

#include "input/field_view.h"
#include "util/error.h"

namespace quelta {

struct RowCopy {
  FieldView* fields;  // one block of n entries (none when n is 0)
  size_t n;           // each non-empty field's bytes live in a block of their own
};

// Copies every field; on failure nothing stays allocated.
Error row_copy_make(const FieldView* fields, size_t n, RowCopy* out);
void row_copy_free(RowCopy* row);

}  // namespace quelta
