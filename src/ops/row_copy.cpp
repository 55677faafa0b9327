// Deep copies of rows.
#include "ops/row_copy.h"

#include <cstring>

#include "platform/heap.h"
#include "util/arena.h"

namespace quelta {
namespace {

// Bytes of one row's block: the n views, then the field bytes. False on overflow.
bool row_copy_size(const FieldView* fields, size_t n, size_t* out) {
  if (n > (SIZE_MAX / 2) / sizeof(FieldView)) return false;
  size_t bytes = n * sizeof(FieldView);
  for (size_t i = 0; i < n; ++i) {
    if (fields[i].len > SIZE_MAX - bytes) return false;
    bytes += fields[i].len;
  }
  *out = bytes;
  return true;
}

RowCopy row_copy_fill(const FieldView* fields, size_t n, void* memory) {
  auto* block = static_cast<FieldView*>(memory);
  uint8_t* text = reinterpret_cast<uint8_t*>(block + n);
  for (size_t i = 0; i < n; ++i) {
    if (fields[i].len) std::memcpy(text, fields[i].ptr, fields[i].len);
    block[i] = FieldView{text, fields[i].len};
    text += fields[i].len;
  }
  return RowCopy{block, n};
}

}  // namespace

Error row_copy_make(const FieldView* fields, size_t n, RowCopy* out) {
  *out = RowCopy{nullptr, 0};
  if (n == 0) return Error::None;
  size_t bytes;
  if (!row_copy_size(fields, n, &bytes)) return Error::OutOfMemory;
  void* block = platform::heap_alloc(bytes);
  if (!block) return Error::OutOfMemory;
  *out = row_copy_fill(fields, n, block);
  return Error::None;
}

Error row_copy_make_in(Arena* arena, const FieldView* fields, size_t n, RowCopy* out) {
  *out = RowCopy{nullptr, 0};
  if (n == 0) return Error::None;
  size_t bytes;
  if (!row_copy_size(fields, n, &bytes)) return Error::OutOfMemory;
  void* block = arena_alloc(arena, bytes, alignof(FieldView));
  if (!block) return Error::OutOfMemory;
  *out = row_copy_fill(fields, n, block);
  return Error::None;
}

Error row_copy_make_keyed(Arena* arena, const FieldView* fields, size_t n, size_t key, RowCopy* out) {
  if (key >= n) return row_copy_make_in(arena, fields, n, out);
  *out = RowCopy{nullptr, 0};
  size_t bytes;
  if (!row_copy_size(fields, n, &bytes)) return Error::OutOfMemory;
  // The key's text is moved from the end to the front, padded to the views' alignment.
  const size_t key_len = fields[key].len;
  const size_t pad = (alignof(FieldView) - key_len % alignof(FieldView)) % alignof(FieldView);
  if (pad > SIZE_MAX - bytes) return Error::OutOfMemory;
  auto* block = static_cast<uint8_t*>(arena_alloc(arena, bytes + pad, alignof(FieldView)));
  if (!block) return Error::OutOfMemory;
  auto* views = reinterpret_cast<FieldView*>(block + pad + key_len);
  uint8_t* text = reinterpret_cast<uint8_t*>(views + n);
  for (size_t i = 0; i < n; ++i) {
    const FieldView f = fields[i];
    uint8_t* at = i == key ? block + pad : text;
    if (f.len) std::memcpy(at, f.ptr, f.len);
    views[i] = FieldView{at, f.len};
    if (i != key) text += f.len;
  }
  *out = RowCopy{views, n};
  return Error::None;
}

void row_copy_free(RowCopy* row) {
  platform::heap_free(row->fields);
  *row = RowCopy{nullptr, 0};
}

}  // namespace quelta
