// Columnar collect: every remaining row gathered column by column, each column
// one byte buffer of values end to end plus uint32 offsets (n_rows + 1 of
// them, starting at 0). The parallel collect fills the same context.
#pragma once

#include <atomic>
#include <cstdint>

#include "ops/op_failure.h"
#include "scan/scan_state.h"
#include "util/short_copy.h"

struct ColumnarCollectContext;

namespace quelta {

struct ColumnBuffer {
  ByteBuffer data;
  GrowBuffer<uint32_t> offsets;
};

// Test switch: the most bytes one column's data may hold (offsets are 32-bit,
// so never more than UINT32_MAX).
void columnar_set_data_limit(uint64_t limit);
inline std::atomic<uint64_t> g_column_data_limit{UINT32_MAX};
inline uint64_t columnar_data_limit() { return g_column_data_limit.load(std::memory_order_relaxed); }

// column_append when a buffer must grow or the value is long.
bool column_append_slow(ColumnBuffer* column, const uint8_t* p, size_t n);

// Appends one value to the column and its end offset. False when the data or
// offsets cannot grow or the end would not fit in 32 bits. A short value with
// room in both buffers is copied inline: this runs once per field.
inline bool column_append(ColumnBuffer* column, const uint8_t* p, size_t n) {
  ByteBuffer& data = column->data;
  GrowBuffer<uint32_t>& offsets = column->offsets;
  if (n <= 32 && n <= data.cap - data.len && offsets.len < offsets.cap &&
      data.len + n <= columnar_data_limit()) {
    copy_short(data.data + data.len, p, n);
    data.len += n;
    offsets.data[offsets.len++] = static_cast<uint32_t>(data.len);
    return true;
  }
  return column_append_slow(column, p, n);
}

// n empty columns, each holding its first offset 0 (*out stays null for n = 0).
Error column_buffers_new(size_t n, ColumnBuffer** out);
// Frees every column's buffers and the array; safe on released columns.
void column_buffers_free(ColumnBuffer* columns, size_t n);

// Sizes each column for scale times what it holds now (a little more), where
// scale is the input still to come over what has been read so far. The
// columns then grow about once instead of being copied at every growth step;
// a guess that falls short grows as usual, and room beyond the last value is
// never touched, so it costs address space, not memory.
Error column_buffers_presize(ColumnBuffer* columns, size_t n, double scale);

// Appends the rows of src after those of column (its data, and its offsets
// after the first shifted by column's data length) and releases src, whose
// memory is given back as it is copied. False, with src released all the
// same, when the buffers cannot grow or the joined data would not fit in
// 32-bit offsets.
bool column_take_rows(ColumnBuffer* column, ColumnBuffer* src);

// Collects the remaining rows into a new context; null with *failure set on failure.
ColumnarCollectContext* columnar_collect(ScanState* s, OpFailure* failure);
// A context owning columns (n_cols of them, possibly null when 0); null when
// the record cannot be allocated, in which case the columns stay the caller's.
ColumnarCollectContext* columnar_context_create(ColumnBuffer* columns, size_t n_cols, size_t n_rows);

size_t columnar_n_rows(const ColumnarCollectContext* ctx);
size_t columnar_n_cols(const ColumnarCollectContext* ctx);
// The column at index, or null when index is not below n_cols.
const ColumnBuffer* columnar_column(const ColumnarCollectContext* ctx, size_t index);
void columnar_close(ColumnarCollectContext* ctx);

}  // namespace quelta
