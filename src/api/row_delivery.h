// Handing one row to the host as C strings, with the messages of a failed copy.
#pragma once

#include "api/error_slot.h"
#include "scan/row_out.h"

namespace quelta::api {

// Copies the row out and stores the results through the non-null pointers;
// false (with the message set) when a buffer cannot grow.
inline bool deliver_row(RowCopyOut* out, const FieldView* fields, size_t n, const char*** out_fields,
                        size_t* out_count) {
  switch (hand_out_row(out, fields, n)) {
    case CopyOutResult::Ok:
      break;
    case CopyOutResult::NoMemoryForArrays:
      slot_set("out of memory growing field buffers");
      return false;
    case CopyOutResult::NoMemoryForRow:
      slot_set("out of memory copying row");
      return false;
  }
  if (out_fields) *out_fields = out->pointers.data;
  if (out_count) *out_count = n;
  return true;
}

}  // namespace quelta::api
