// A small open-addressing hash table from key bytes to a column index, built
// once from a column directory; the keys are views into the directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"

namespace quelta {

struct KeyIndex {
  struct Slot {
    FieldView key;
    uint64_t hash;
    size_t column;  // SIZE_MAX: empty
  };
  Slot* slots = nullptr;
  size_t mask = 0;
};

// Inserts every name in order; a later equal name replaces the earlier entry.
Error key_index_build(KeyIndex* index, const FieldView* names, size_t n);
// The column of key, or SIZE_MAX when it is not in the directory.
size_t key_index_find(const KeyIndex& index, FieldView key);
void key_index_release(KeyIndex* index);

}  // namespace quelta
