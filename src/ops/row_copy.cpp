// Deep copies of rows.
#include "ops/row_copy.h"

#include <cstring>

#include "platform/heap.h"

namespace quelta {

Error row_copy_make(const FieldView* fields, size_t n, RowCopy* out) {
  *out = RowCopy{nullptr, 0};
  if (n == 0) return Error::None;
  if (n > SIZE_MAX / sizeof(FieldView)) return Error::OutOfMemory;
  auto* copy = static_cast<FieldView*>(platform::heap_alloc(n * sizeof(FieldView)));
  if (!copy) return Error::OutOfMemory;
  for (size_t i = 0; i < n; ++i) {
    uint8_t* bytes = nullptr;
    if (fields[i].len) {
      bytes = static_cast<uint8_t*>(platform::heap_alloc(fields[i].len));
      if (!bytes) {
        RowCopy partial{copy, i};
        row_copy_free(&partial);
        return Error::OutOfMemory;
      }
      std::memcpy(bytes, fields[i].ptr, fields[i].len);
    }
    copy[i] = FieldView{bytes, fields[i].len};
  }
  *out = RowCopy{copy, n};
  return Error::None;
}

void row_copy_free(RowCopy* row) {
  for (size_t i = 0; i < row->n; ++i) platform::heap_free(const_cast<uint8_t*>(row->fields[i].ptr));
  platform::heap_free(row->fields);
  *row = RowCopy{nullptr, 0};
}

}  // namespace quelta
