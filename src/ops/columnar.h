// Columnar collect: every remaining row gathered column by column, each column
// one byte buffer of values end to end plus uint32 offsets (n_rows + 1 of
// them, starting at 0). The parallel collect fills the same context.
#pragma once

#include <cstdint>

#include "scan/scan_state.h"

namespace quelta {

struct ColumnBuffer {
  ByteBuffer data;
  GrowBuffer<uint32_t> offsets;
};

// Test switch: the most bytes one column's data may hold (offsets are 32-bit,
// so never more than UINT32_MAX).
void columnar_set_data_limit(uint64_t limit);

// Appends one value to the column and its end offset. False when the data or
// offsets cannot grow or the end would not fit in 32 bits.
bool column_append(ColumnBuffer* column, const uint8_t* p, size_t n);

}  // namespace quelta

struct ColumnarCollectContext {
  quelta::ColumnBuffer* columns;
  size_t n_columns;
  size_t n_rows;
  size_t n_cols;
};

namespace quelta {

enum class ColumnarFailure : uint8_t { None, NoMemoryForContext, Scan, NoMemoryForRows };

ColumnarCollectContext* columnar_collect(ScanState* s, ColumnarFailure* failure, Error* condition);
void columnar_close(ColumnarCollectContext* ctx);

}  // namespace quelta
