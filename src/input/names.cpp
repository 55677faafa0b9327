// Column directories shared by the CSV and JSON readers.
#include "input/names.h"

#include "platform/heap.h"

namespace quelta {

void free_names(FieldView* names, size_t n) {
  if (!names) return;
  for (size_t i = 0; i < n; ++i) platform::heap_free(const_cast<uint8_t*>(names[i].ptr));
  platform::heap_free(names);
}

int64_t find_column(const FieldView* names, size_t n, FieldView key) {
  for (size_t i = 0; i < n; ++i)
    if (names[i].equals(key)) return static_cast<int64_t>(i);
  return -1;
}

}  // namespace quelta
