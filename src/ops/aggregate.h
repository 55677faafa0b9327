// Count, sum, min, max and mean of one numeric column over the remaining rows.
#pragma once

#include "quelta.h"
#include "scan/scan_state.h"

namespace quelta {

// Fills *out only on success; allocates nothing.
Error aggregate_column(ScanState* s, size_t column, AggregateResult* out);

}  // namespace quelta
