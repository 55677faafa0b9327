// Column directories shared by the CSV and JSON readers: an array of owned
// names, freed as a whole, and lookup by exact bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"

namespace quelta {

// Frees an array of owned names (empty names own nothing).
void free_names(FieldView* names, size_t n);

// Index of the first name equal to key byte for byte, or -1.
int64_t find_column(const FieldView* names, size_t n, FieldView key);

}  // namespace quelta
