// Copy-out of rows as C strings: per output column position a NUL-terminated
// buffer that only grows, and the pointer array handed to the host. Shared by
// every export that hands rows out one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "util/grow_buffer.h"

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

enum class CopyOutResult : uint8_t { Ok, NoMemoryForArrays, NoMemoryForRow };
// Ensures capacity for n fields, then copies the row; out->pointers.data then
// holds the n strings.
CopyOutResult hand_out_row(RowCopyOut* out, const FieldView* fields, size_t n);

}  // namespace quelta
