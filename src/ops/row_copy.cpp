// Deep copies of rows.
#include "ops/row_copy.h"

#include <cstring>

#include "platform/heap.h"

namespace quelta {

Error row_copy_make(const FieldView* fields, size_t n, RowCopy* out) {
  *out = RowCopy{nullptr, 0};
  if (n == 0) return Error::None;
  if (n > (SIZE_MAX / 2) / sizeof(FieldView)) return Error::OutOfMemory;
  size_t bytes = n * sizeof(FieldView);
  for (size_t i = 0; i < n; ++i) {
    if (fields[i].len > SIZE_MAX - bytes) return Error::OutOfMemory;
    bytes += fields[i].len;
  }
  auto* block = static_cast<FieldView*>(platform::heap_alloc(bytes));
  if (!block) return Error::OutOfMemory;
  uint8_t* text = reinterpret_cast<uint8_t*>(block + n);
  for (size_t i = 0; i < n; ++i) {
    if (fields[i].len) std::memcpy(text, fields[i].ptr, fields[i].len);
    block[i] = FieldView{text, fields[i].len};
    text += fields[i].len;
  }
  *out = RowCopy{block, n};
  return Error::None;
}

void row_copy_free(RowCopy* row) {
  platform::heap_free(row->fields);
  *row = RowCopy{nullptr, 0};
}

}  // namespace quelta
