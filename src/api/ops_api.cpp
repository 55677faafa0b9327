// Exports of the query operators: aggregate, top-k, order-by, collect and
// columnar collect, with their accessors.
#include "api/error_slot.h"
#include "api/row_delivery.h"
#include "ops/aggregate.h"
#include "ops/collect.h"
#include "ops/columnar.h"
#include "ops/order_by.h"
#include "ops/topk.h"
#include "quelta.h"
#include "scan/scanner.h"

using namespace quelta;

extern "C" {

QUELTA_API int32_t quelta_aggregate(Scanner* scanner, size_t column, AggregateResult* out) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return -1;
  }
  if (!out) {
    api::slot_set("output pointer is null");
    return -1;
  }
  if (Error e = aggregate_column(&scanner->state, column, out); failed(e)) {
    api::slot_set("aggregate failed: ", e);
    return -1;
  }
  return 0;
}

QUELTA_API TopkContext* quelta_topk(Scanner* scanner, size_t column, size_t k, int32_t descending) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return nullptr;
  }
  TopkFailure failure;
  Error condition;
  TopkContext* ctx = topk_run(&scanner->state, column, k, descending != 0, &failure, &condition);
  if (failure == TopkFailure::Scan) api::slot_set("topk failed: ", condition);
  if (failure == TopkFailure::NoMemoryForContext) api::slot_set("out of memory allocating topk context");
  return ctx;
}

QUELTA_API int32_t quelta_topk_next(TopkContext* ctx, const char*** out_fields, size_t* out_n_fields,
                                    double* out_key) {
  api::slot_clear();
  if (!ctx) {
    api::slot_set("topk context is null");
    return -1;
  }
  const TopkEntry* entry = topk_take(ctx);
  if (!entry) return 0;
  if (!api::deliver_row(topk_row_out(ctx), entry->row.fields, entry->row.n, out_fields, out_n_fields))
    return -1;
  if (out_key) *out_key = entry->key;
  return 1;
}

QUELTA_API void quelta_topk_close(TopkContext* ctx) { topk_close(ctx); }

QUELTA_API OrderByContext* quelta_order_by(Scanner* scanner, size_t column, int32_t descending) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return nullptr;
  }
  OrderByFailure failure;
  Error condition;
  OrderByContext* ctx = order_by_run(&scanner->state, column, descending != 0, &failure, &condition);
  if (failure == OrderByFailure::Scan) api::slot_set("order_by failed: ", condition);
  if (failure == OrderByFailure::NoMemoryForContext)
    api::slot_set("out of memory allocating order_by context");
  return ctx;
}

QUELTA_API int32_t quelta_order_by_next(OrderByContext* ctx, const char*** out_fields, size_t* out_n_fields) {
  api::slot_clear();
  if (!ctx) {
    api::slot_set("order_by context is null");
    return -1;
  }
  const RowCopy* row = order_by_take(ctx);
  if (!row) return 0;
  return api::deliver_row(order_by_row_out(ctx), row->fields, row->n, out_fields, out_n_fields) ? 1 : -1;
}

QUELTA_API void quelta_order_by_close(OrderByContext* ctx) { order_by_close(ctx); }

QUELTA_API CollectContext* quelta_collect(Scanner* scanner) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return nullptr;
  }
  CollectFailure failure;
  Error condition;
  CollectContext* ctx = collect_rows(&scanner->state, &failure, &condition);
  switch (failure) {
    case CollectFailure::None:
      break;
    case CollectFailure::NoMemoryForContext:
      api::slot_set("out of memory allocating collect context");
      break;
    case CollectFailure::Scan:
      api::slot_set("collect failed: ", condition);
      break;
    case CollectFailure::NoMemoryForRows:
      api::slot_set("out of memory collecting rows");
      break;
  }
  return ctx;
}

QUELTA_API const char* quelta_collect_data(CollectContext* ctx, size_t* out_len) {
  if (!ctx) return nullptr;
  if (out_len) *out_len = ctx->data.len;
  return ctx->data.len ? reinterpret_cast<const char*>(ctx->data.data) : nullptr;
}

QUELTA_API size_t quelta_collect_n_rows(CollectContext* ctx) { return ctx ? ctx->n_rows : 0; }

QUELTA_API size_t quelta_collect_n_cols(CollectContext* ctx) { return ctx ? ctx->n_cols : 0; }

QUELTA_API void quelta_collect_close(CollectContext* ctx) { collect_close(ctx); }

QUELTA_API ColumnarCollectContext* quelta_collect_columnar(Scanner* scanner) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return nullptr;
  }
  ColumnarFailure failure;
  Error condition;
  ColumnarCollectContext* ctx = columnar_collect(&scanner->state, &failure, &condition);
  switch (failure) {
    case ColumnarFailure::None:
      break;
    case ColumnarFailure::NoMemoryForContext:
      api::slot_set("out of memory allocating columnar collect context");
      break;
    case ColumnarFailure::Scan:
      api::slot_set("collect failed: ", condition);
      break;
    case ColumnarFailure::NoMemoryForRows:
      api::slot_set("out of memory collecting rows");
      break;
  }
  return ctx;
}

QUELTA_API size_t quelta_collect_columnar_n_rows(ColumnarCollectContext* ctx) {
  return ctx ? ctx->n_rows : 0;
}

QUELTA_API size_t quelta_collect_columnar_n_cols(ColumnarCollectContext* ctx) {
  return ctx ? ctx->n_cols : 0;
}

QUELTA_API const uint8_t* quelta_collect_columnar_data(ColumnarCollectContext* ctx, size_t column,
                                                       size_t* out_len) {
  if (!ctx || column >= ctx->n_columns) return nullptr;
  const ByteBuffer& data = ctx->columns[column].data;
  if (out_len) *out_len = data.len;
  return data.len ? data.data : nullptr;
}

QUELTA_API const uint32_t* quelta_collect_columnar_offsets(ColumnarCollectContext* ctx, size_t column,
                                                           size_t* out_count) {
  if (!ctx || column >= ctx->n_columns) return nullptr;
  const GrowBuffer<uint32_t>& offsets = ctx->columns[column].offsets;
  if (out_count) *out_count = offsets.len;
  return offsets.len ? offsets.data : nullptr;
}

QUELTA_API void quelta_collect_columnar_close(ColumnarCollectContext* ctx) { columnar_close(ctx); }
}
