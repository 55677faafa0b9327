// The column directory of a CSV input: its first line, split with the record
// rules and copied, since the read buffer is overwritten by later reads.
#pragma once

#include <cstddef>

#include "input/csv_reader.h"
#include "input/names.h"

namespace quelta {

// Reads and splits the first line into csv->names. EmptyFile when the input
// has no line at all. On failure nothing stays allocated.
Error read_header(CsvReader* csv);

}  // namespace quelta
