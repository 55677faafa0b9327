// RowCopy: an owned deep copy of one delivered row, for operators that keep
// rows beyond the scan step (top-k, order-by).
#pragma once

#include <cstddef>

#include "input/field_view.h"
#include "platform/error.h"

namespace quelta {

struct Arena;

// One heap block per row: the n field views, then the field bytes end to end.
// A single block keeps sorting cache-friendly and freeing cheap.
struct RowCopy {
  FieldView* fields;  // null when n is 0
  size_t n;
};

// Copies every field; on failure nothing stays allocated.
Error row_copy_make(const FieldView* fields, size_t n, RowCopy* out);
// The same block taken from an arena instead of the heap: rows copied one after
// another then lie side by side, and the arena frees them all at once. Such a
// copy is never passed to row_copy_free.
Error row_copy_make_in(Arena* arena, const FieldView* fields, size_t n, RowCopy* out);
// row_copy_make_in with the text of field key placed just before the views, so
// that a sort reaching view key finds its text on the same or the previous
// cache line. The copy holds the same fields as any other.
Error row_copy_make_keyed(Arena* arena, const FieldView* fields, size_t n, size_t key, RowCopy* out);
void row_copy_free(RowCopy* row);

}  // namespace quelta
