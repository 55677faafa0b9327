// Counting the rows a scan would still deliver: record by record when rows
// must be tested, by counting line ends (or framed objects) when none must.
#pragma once

#include <cstdint>

#include "scan/scan_state.h"

namespace quelta {

// The number of rows the scan would still deliver; consumes them.
Error count_rows(ScanState* s, uint64_t* out);

}  // namespace quelta
