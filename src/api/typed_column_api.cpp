// Exports of the typed columns: a columnar result's column converted into the
// caller's buffers, its inferred type, its values joined by a free byte.
#include "api/error_slot.h"
#include "ops/columnar.h"
#include "ops/typed_column.h"
#include "quelta.h"

using namespace quelta;

namespace {

// The column, or null with the message set.
const ColumnBuffer* checked_column(ColumnarCollectContext* ctx, size_t column) {
  if (!ctx) {
    api::slot_set("context is null");
    return nullptr;
  }
  const ColumnBuffer* c = columnar_column(ctx, column);
  if (!c) api::slot_set("column out of range");
  return c;
}

template <typename T>
int32_t convert(ColumnarCollectContext* ctx, size_t column, T* values, uint8_t* valid, size_t n,
                ColumnCounts* counts, void (*to_type)(const ColumnBuffer&, T*, uint8_t*, TypedCounts*)) {
  api::slot_clear();
  const ColumnBuffer* c = checked_column(ctx, column);
  if (!c) return -1;
  const size_t rows = column_rows(*c);
  if (!values && rows) {
    api::slot_set("values is null");
    return -1;
  }
  if (n < rows) {
    api::slot_set("output too small");
    return -1;
  }
  TypedCounts tally;
  to_type(*c, values, valid, &tally);
  if (counts) *counts = ColumnCounts{tally.blank, tally.invalid, tally.zoned};
  return 0;
}

}  // namespace

extern "C" {

QUELTA_API int32_t quelta_collect_columnar_float64(ColumnarCollectContext* ctx, size_t column, double* values,
                                                   uint8_t* valid, size_t n, ColumnCounts* counts) {
  return convert(ctx, column, values, valid, n, counts, column_to_float64);
}

QUELTA_API int32_t quelta_collect_columnar_int64(ColumnarCollectContext* ctx, size_t column, int64_t* values,
                                                 uint8_t* valid, size_t n, ColumnCounts* counts) {
  return convert(ctx, column, values, valid, n, counts, column_to_int64);
}

QUELTA_API int32_t quelta_collect_columnar_boolean(ColumnarCollectContext* ctx, size_t column,
                                                   uint8_t* values, uint8_t* valid, size_t n,
                                                   ColumnCounts* counts) {
  return convert(ctx, column, values, valid, n, counts, column_to_boolean);
}

QUELTA_API int32_t quelta_collect_columnar_datetime(ColumnarCollectContext* ctx, size_t column,
                                                    int64_t* values, uint8_t* valid, size_t n,
                                                    ColumnCounts* counts) {
  return convert(ctx, column, values, valid, n, counts, column_to_datetime_ns);
}

QUELTA_API int32_t quelta_collect_columnar_infer_type(ColumnarCollectContext* ctx, size_t column) {
  api::slot_clear();
  const ColumnBuffer* c = checked_column(ctx, column);
  if (!c) return -1;
  return static_cast<int32_t>(infer_column_type(*c));
}

QUELTA_API int64_t quelta_collect_columnar_dictionary(ColumnarCollectContext* ctx, size_t column,
                                                      uint32_t* codes, size_t n, uint32_t* first_rows,
                                                      uint32_t max_distinct) {
  api::slot_clear();
  const ColumnBuffer* c = checked_column(ctx, column);
  if (!c) return -1;
  const size_t rows = column_rows(*c);
  if (!codes && rows) {
    api::slot_set("codes is null");
    return -1;
  }
  if (!first_rows && rows && max_distinct) {
    api::slot_set("first_rows is null");
    return -1;
  }
  if (n < rows) {
    api::slot_set("output too small");
    return -1;
  }
  if (rows > UINT32_MAX) {
    api::slot_set("too many rows");
    return -1;
  }
  bool failed = false;
  uint64_t distinct = column_dictionary(*c, codes, first_rows, max_distinct, &failed);
  if (failed) {
    api::slot_set("out of memory");
    return -1;
  }
  return static_cast<int64_t>(distinct);
}

QUELTA_API int32_t quelta_collect_columnar_join(ColumnarCollectContext* ctx, size_t column, uint8_t* out,
                                                size_t out_cap, size_t* out_len) {
  api::slot_clear();
  const ColumnBuffer* c = checked_column(ctx, column);
  if (!c) return -1;
  const size_t len = column_joined_len(*c);
  if (out && out_cap < len) {
    api::slot_set("output too small");
    return -1;
  }
  const int32_t separator = column_free_separator(*c);
  if (separator < 0) {
    api::slot_set("no free separator byte");
    return -1;
  }
  if (out) column_join(*c, static_cast<uint8_t>(separator), out);
  if (out_len) *out_len = len;
  return separator;
}
}
