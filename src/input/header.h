// The column directory of a CSV input: its first line, split with the record
// rules and copied, since the read buffer is overwritten by later reads.
#pragma once

#include <cstddef>

#include "input/csv_tokenizer.h"

namespace quelta {

// Reads and splits the first line into csv->names. EmptyFile when the input
// has no line at all. On failure nothing stays allocated.
Error read_header(CsvReader* csv);

// Frees an array of owned names (empty names own nothing).
void free_names(FieldView* names, size_t n);

// Index of the first name equal to key byte for byte, or -1.
int64_t find_column(const FieldView* names, size_t n, FieldView key);

}  // namespace quelta
