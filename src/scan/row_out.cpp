// Growing copy-out buffers for rows handed to the host.
#include "scan/row_out.h"

#include <cstring>

#include "platform/heap.h"

namespace quelta {

Error ensure_row_capacity(RowCopyOut* out, size_t n) {
  if (Error e = out->pointers.reserve(n); failed(e)) return e;
  size_t have = out->slots.len;
  if (n <= have) return Error::None;
  if (Error e = out->slots.reserve(n); failed(e)) return e;
  for (size_t i = have; i < n; ++i) out->slots.data[i] = RowCopyOut::Slot{nullptr, 0};
  out->slots.len = n;
  return Error::None;
}

bool copy_row_out(RowCopyOut* out, const FieldView* fields, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    RowCopyOut::Slot& slot = out->slots.data[i];
    const FieldView& f = fields[i];
    if (slot.cap <= f.len) {
      size_t need = f.len + 1;
      // A block with room is resized in place; otherwise a fresh block saves
      // realloc copying bytes that are about to be overwritten.
      char* grown = nullptr;
      if (slot.buf && platform::heap_usable_size(slot.buf) >= need)
        grown = static_cast<char*>(platform::heap_realloc(slot.buf, need));
      if (!grown) {
        grown = static_cast<char*>(platform::heap_alloc(need));
        if (!grown) return false;
        platform::heap_free(slot.buf);
      }
      slot.buf = grown;
      slot.cap = need;
    }
    if (f.len) std::memcpy(slot.buf, f.ptr, f.len);
    slot.buf[f.len] = '\0';
    out->pointers.data[i] = slot.buf;
  }
  return true;
}

void row_copy_out_release(RowCopyOut* out) {
  for (size_t i = 0; i < out->slots.len; ++i) platform::heap_free(out->slots.data[i].buf);
  out->slots.release();
  out->pointers.release();
}

CopyOutResult hand_out_row(RowCopyOut* out, const FieldView* fields, size_t n) {
  if (failed(ensure_row_capacity(out, n))) return CopyOutResult::NoMemoryForArrays;
  if (!copy_row_out(out, fields, n)) return CopyOutResult::NoMemoryForRow;
  return CopyOutResult::Ok;
}

}  // namespace quelta
