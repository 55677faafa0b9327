// Order-by: every remaining row copied, sorted stably by one column (numbers
// where both keys are numbers, bytes otherwise) and delivered in order.
#pragma once

#include "ops/op_failure.h"
#include "ops/row_copy.h"
#include "scan/row_out.h"
#include "scan/scan_state.h"

struct OrderByContext;

namespace quelta {

// Copies and sorts the remaining rows into a new context; null with *failure set on failure.
OrderByContext* order_by_run(ScanState* s, size_t column, bool descending, OpFailure* failure);
// The next row in order, or null at the end; advances the cursor.
const RowCopy* order_by_take(OrderByContext* ctx);
RowCopyOut* order_by_row_out(OrderByContext* ctx);
void order_by_close(OrderByContext* ctx);

// Whether row a sorts strictly before row b.
bool order_by_before(const RowCopy& a, const RowCopy& b, size_t column, bool descending);

}  // namespace quelta
