// Hashing and probing for the JSON key directory.
#include "input/key_index.h"

#include "platform/heap.h"

namespace quelta {
namespace {

// FNV-1a: keys are short column names, so a simple byte hash is enough.
uint64_t hash_bytes(FieldView key) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < key.len; ++i) h = (h ^ key.ptr[i]) * 0x100000001b3ull;
  return h;
}

}  // namespace

Error key_index_build(KeyIndex* index, const FieldView* names, size_t n) {
  *index = KeyIndex{};
  size_t cap = 8;
  while (cap < 2 * n) cap *= 2;
  index->slots = static_cast<KeyIndex::Slot*>(platform::heap_alloc(cap * sizeof(KeyIndex::Slot)));
  if (!index->slots) return Error::OutOfMemory;
  index->mask = cap - 1;
  for (size_t i = 0; i < cap; ++i) index->slots[i] = KeyIndex::Slot{{}, 0, SIZE_MAX};
  for (size_t col = 0; col < n; ++col) {
    uint64_t h = hash_bytes(names[col]);
    for (size_t s = h & index->mask;; s = (s + 1) & index->mask) {
      KeyIndex::Slot& slot = index->slots[s];
      if (slot.column == SIZE_MAX) {
        slot = KeyIndex::Slot{names[col], h, col};
        break;
      }
      if (slot.hash == h && slot.key.equals(names[col])) {
        slot.column = col;
        break;
      }
    }
  }
  return Error::None;
}

size_t key_index_find(const KeyIndex& index, FieldView key) {
  if (!index.slots) return SIZE_MAX;
  uint64_t h = hash_bytes(key);
  for (size_t s = h & index.mask;; s = (s + 1) & index.mask) {
    const KeyIndex::Slot& slot = index.slots[s];
    if (slot.column == SIZE_MAX) return SIZE_MAX;
    if (slot.hash == h && slot.key.equals(key)) return slot.column;
  }
}

void key_index_release(KeyIndex* index) {
  platform::heap_free(index->slots);
  *index = KeyIndex{};
}

}  // namespace quelta
