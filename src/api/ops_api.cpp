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

namespace {

// The input's site, cleared of an earlier failure before an operator runs.
FailureSite* fresh_site(Scanner* scanner) {
  FailureSite* site = input_site(&scanner_state(scanner)->input);
  site->forget();
  return site;
}

// The message of an operator that returned no handle: its own phrase when the
// handle could not be allocated, its prefix and the cause when the scan failed.
void report(const OpFailure& failure, const char* no_context, const char* scan_prefix,
            const FailureSite& site) {
  switch (failure.stage) {
    case OpFailure::Stage::None:
      break;
    case OpFailure::Stage::Context:
      api::slot_set(no_context);
      break;
    case OpFailure::Stage::Scan:
      api::slot_set(scan_prefix, failure.condition);
      api::slot_site(site);
      break;
    case OpFailure::Stage::Rows:
      api::slot_set("out of memory collecting rows");
      break;
  }
}

}  // namespace

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
  const FailureSite* site = fresh_site(scanner);
  if (Error e = aggregate_column(scanner_state(scanner), column, out); failed(e)) {
    api::slot_set("aggregate failed: ", e);
    api::slot_site(*site);
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
  OpFailure failure;
  const FailureSite* site = fresh_site(scanner);
  TopkContext* ctx = topk_run(scanner_state(scanner), column, k, descending != 0, &failure);
  report(failure, "out of memory allocating topk context", "topk failed: ", *site);
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
  OpFailure failure;
  const FailureSite* site = fresh_site(scanner);
  OrderByContext* ctx = order_by_run(scanner_state(scanner), column, descending != 0, &failure);
  report(failure, "out of memory allocating order_by context", "order_by failed: ", *site);
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
  OpFailure failure;
  const FailureSite* site = fresh_site(scanner);
  CollectContext* ctx = collect_rows(scanner_state(scanner), &failure);
  report(failure, "out of memory allocating collect context", "collect failed: ", *site);
  return ctx;
}

QUELTA_API const char* quelta_collect_data(CollectContext* ctx, size_t* out_len) {
  if (!ctx) return nullptr;
  size_t len;
  const uint8_t* data = collect_data(ctx, &len);
  if (out_len) *out_len = len;
  return len ? reinterpret_cast<const char*>(data) : nullptr;
}

QUELTA_API size_t quelta_collect_n_rows(CollectContext* ctx) { return ctx ? collect_n_rows(ctx) : 0; }

QUELTA_API size_t quelta_collect_n_cols(CollectContext* ctx) { return ctx ? collect_n_cols(ctx) : 0; }

QUELTA_API void quelta_collect_close(CollectContext* ctx) { collect_close(ctx); }

QUELTA_API ColumnarCollectContext* quelta_collect_columnar(Scanner* scanner) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return nullptr;
  }
  OpFailure failure;
  const FailureSite* site = fresh_site(scanner);
  ColumnarCollectContext* ctx = columnar_collect(scanner_state(scanner), &failure);
  report(failure, "out of memory allocating columnar collect context", "collect failed: ", *site);
  return ctx;
}

QUELTA_API size_t quelta_collect_columnar_n_rows(ColumnarCollectContext* ctx) {
  return ctx ? columnar_n_rows(ctx) : 0;
}

QUELTA_API size_t quelta_collect_columnar_n_cols(ColumnarCollectContext* ctx) {
  return ctx ? columnar_n_cols(ctx) : 0;
}

QUELTA_API const uint8_t* quelta_collect_columnar_data(ColumnarCollectContext* ctx, size_t column,
                                                       size_t* out_len) {
  const ColumnBuffer* c = ctx ? columnar_column(ctx, column) : nullptr;
  if (!c) return nullptr;
  const ByteBuffer& data = c->data;
  if (out_len) *out_len = data.len;
  return data.len ? data.data : nullptr;
}

QUELTA_API const uint32_t* quelta_collect_columnar_offsets(ColumnarCollectContext* ctx, size_t column,
                                                           size_t* out_count) {
  const ColumnBuffer* c = ctx ? columnar_column(ctx, column) : nullptr;
  if (!c) return nullptr;
  const GrowBuffer<uint32_t>& offsets = c->offsets;
  if (out_count) *out_count = offsets.len;
  return offsets.len ? offsets.data : nullptr;
}

QUELTA_API void quelta_collect_columnar_close(ColumnarCollectContext* ctx) { columnar_close(ctx); }
}
