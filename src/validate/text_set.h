// A small open-addressing set of byte texts over a caller's array of views: the
// slots hold indexes into that array, so the empty text needs no special case.
// Used for large one_of lists, for spotting repeated member names and for
// binding schema keys to the columns of a wide header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"

namespace quelta {

struct TextSet {
  const FieldView* items = nullptr;  // the texts the slots refer to
  uint32_t* slots = nullptr;         // index + 1 into items; 0 marks a free slot
  size_t mask = 0;                   // slot count - 1 (a power of two)
};

// The most texts a set holds (indexes are 32-bit).
constexpr size_t kTextSetMaxItems = UINT32_MAX - 1;

// Slots needed for n texts (a power of two, at least twice n). n <= kTextSetMaxItems.
size_t text_set_slot_count(size_t n);

// Starts an empty set over items, with n_slots (from text_set_slot_count)
// entries of caller storage in slots; the storage is cleared here.
void text_set_init(TextSet* set, const FieldView* items, uint32_t* slots, size_t n_slots);

// Adds items[i]; false (and nothing stored) when an equal text is already in.
bool text_set_insert(TextSet* set, size_t i);

bool text_set_contains(const TextSet& set, FieldView text);

// The index in items of the stored text equal to text, or SIZE_MAX.
size_t text_set_find(const TextSet& set, FieldView text);

}  // namespace quelta
