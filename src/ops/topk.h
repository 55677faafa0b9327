// Top-k: the k rows with the best numeric key, kept in a bounded heap during
// the scan and delivered best first.
#pragma once

#include "ops/op_failure.h"
#include "ops/row_copy.h"
#include "scan/row_out.h"
#include "scan/scan_state.h"

struct TopkContext;

namespace quelta {

struct TopkEntry {
  double key;
  RowCopy row;
};

// Scans the remaining rows into a new context; null with *failure set on failure.
TopkContext* topk_run(ScanState* s, size_t column, size_t k, bool descending, OpFailure* failure);
// The next entry best first, or null at the end; advances the cursor.
const TopkEntry* topk_take(TopkContext* ctx);
RowCopyOut* topk_row_out(TopkContext* ctx);
void topk_close(TopkContext* ctx);

}  // namespace quelta
