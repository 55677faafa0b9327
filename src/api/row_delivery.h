// Handing one row to the host as C strings, with the messages of a failed copy.
#pragma once

#include "api/error_slot.h"
#include "quelta.h"
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

// The body of a batch export: the handle and output checks, then
// produce(out, &no_memory_for_record) with its failure turned into the
// message, and into its detail from the input's site().
template <typename Produce, typename Site>
int32_t deliver_batch(const void* handle, const char* null_handle, Batch** out, Produce&& produce,
                      Site&& site) {
  if (!handle) {
    if (out) *out = nullptr;
    slot_set(null_handle);
    return -1;
  }
  slot_clear();
  if (!out) {
    slot_set("batch output is null");
    return -1;
  }
  bool no_memory_for_record = false;
  if (Error e = produce(out, &no_memory_for_record); failed(e)) {
    if (no_memory_for_record)
      slot_set("out of memory allocating batch");
    else
      slot_set("batch failed: ", e);
    if (e != Error::InvalidBatchSize && !no_memory_for_record) slot_site(*site());
    return -1;
  }
  return *out ? 1 : 0;
}

}  // namespace quelta::api
