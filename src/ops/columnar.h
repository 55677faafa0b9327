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

// n empty columns, each holding its first offset 0 (*out stays null for n = 0).
Error column_buffers_new(size_t n, ColumnBuffer** out);
// Frees every column's buffers and the array; safe on released columns.
void column_buffers_free(ColumnBuffer* columns, size_t n);

// Appends the rows of src after those of column: its data, and its offsets
// after the first shifted by column's data length. False when the buffers
// cannot grow or the joined data would not fit in 32-bit offsets.
bool column_append_rows(ColumnBuffer* column, const ColumnBuffer& src);

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

// A context that takes over finished columns (null for none); null when it
// cannot be allocated, and the columns then stay the caller's.
ColumnarCollectContext* columnar_adopt(ColumnBuffer* columns, size_t n_columns, size_t n_rows);

}  // namespace quelta
