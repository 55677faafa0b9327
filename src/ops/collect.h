// Collect: every remaining row into one contiguous buffer, each field's text
// followed by a NUL byte.
#pragma once

#include "ops/op_failure.h"
#include "scan/scan_state.h"

struct CollectContext;

namespace quelta {

// Collects the remaining rows into a new context; null with *failure set on failure.
CollectContext* collect_rows(ScanState* s, OpFailure* failure);
const uint8_t* collect_data(const CollectContext* ctx, size_t* len);
size_t collect_n_rows(const CollectContext* ctx);
size_t collect_n_cols(const CollectContext* ctx);
void collect_close(CollectContext* ctx);

}  // namespace quelta
