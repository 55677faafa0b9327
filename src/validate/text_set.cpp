// Hashing and linear probing for TextSet.
#include "validate/text_set.h"

#include <cstring>

namespace quelta {
namespace {

// Eight bytes at a time, mixed by multiply and rotate: the texts are short
// values, and a good spread matters more than the last cycle.
uint64_t hash_text(FieldView t) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = t.len * kMul;
  size_t i = 0;
  for (; i + 8 <= t.len; i += 8) {
    uint64_t w;
    std::memcpy(&w, t.ptr + i, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  for (size_t k = 0; i < t.len; ++i, k += 8) tail |= uint64_t{t.ptr[i]} << k;
  h = (h ^ tail) * kMul;
  return h ^ (h >> 32);
}

}  // namespace

size_t text_set_slot_count(size_t n) {
  size_t cap = 8;
  while (cap < 2 * n) cap *= 2;
  return cap;
}

void text_set_init(TextSet* set, const FieldView* items, uint32_t* slots, size_t n_slots) {
  std::memset(slots, 0, n_slots * sizeof(uint32_t));
  *set = TextSet{items, slots, n_slots - 1};
}

bool text_set_insert(TextSet* set, size_t i) {
  const FieldView& text = set->items[i];
  for (size_t s = hash_text(text) & set->mask;; s = (s + 1) & set->mask) {
    uint32_t slot = set->slots[s];
    if (slot == 0) {
      set->slots[s] = static_cast<uint32_t>(i + 1);
      return true;
    }
    if (set->items[slot - 1].equals(text)) return false;
  }
}

bool text_set_contains(const TextSet& set, FieldView text) { return text_set_find(set, text) != SIZE_MAX; }

size_t text_set_find(const TextSet& set, FieldView text) {
  if (!set.slots) return SIZE_MAX;
  for (size_t s = hash_text(text) & set.mask;; s = (s + 1) & set.mask) {
    uint32_t slot = set.slots[s];
    if (slot == 0) return SIZE_MAX;
    if (set.items[slot - 1].equals(text)) return slot - 1;
  }
}

}  // namespace quelta
