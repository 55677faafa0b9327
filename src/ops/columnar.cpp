// Column-major collection with 32-bit offsets.
#include "ops/columnar.h"

#include <atomic>
#include <new>

#include "platform/heap.h"

namespace quelta {
namespace {

std::atomic<uint64_t> g_data_limit{UINT32_MAX};

// Offsets grow by half their capacity plus 32 entries.
Error push_offset(GrowBuffer<uint32_t>* offsets, uint32_t v) { return offsets->push(v); }

void free_columns(ColumnBuffer* columns, size_t n) {
  if (!columns) return;
  for (size_t i = 0; i < n; ++i) {
    columns[i].data.release();
    columns[i].offsets.release();
  }
  platform::heap_free(columns);
}

}  // namespace

void columnar_set_data_limit(uint64_t limit) {
  g_data_limit.store(limit > UINT32_MAX ? UINT32_MAX : limit, std::memory_order_relaxed);
}

bool column_append(ColumnBuffer* column, const uint8_t* p, size_t n) {
  uint64_t limit = g_data_limit.load(std::memory_order_relaxed);
  if (n > limit || column->data.len > limit - n) return false;
  if (failed(column->data.append(p, n))) return false;
  return !failed(push_offset(&column->offsets, static_cast<uint32_t>(column->data.len)));
}

ColumnarCollectContext* columnar_collect(ScanState* s, ColumnarFailure* failure, Error* condition) {
  *failure = ColumnarFailure::None;
  *condition = Error::None;
  void* block = platform::heap_alloc(sizeof(ColumnarCollectContext));
  if (!block) {
    *failure = ColumnarFailure::NoMemoryForContext;
    return nullptr;
  }
  auto* ctx = new (block) ColumnarCollectContext{nullptr, 0, 0, 0};
  auto fail = [&](ColumnarFailure f, Error e) -> ColumnarCollectContext* {
    columnar_close(ctx);
    *failure = f;
    *condition = e;
    return nullptr;
  };
  for (;;) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    if (Error e = next_matching_row(s, &fields, &n, &at_end); failed(e)) return fail(ColumnarFailure::Scan, e);
    if (at_end) return ctx;
    if (ctx->n_rows == 0) {
      // The first row fixes the columns.
      if (n > SIZE_MAX / sizeof(ColumnBuffer)) return fail(ColumnarFailure::NoMemoryForContext, Error::None);
      if (n > 0) {
        void* cols = platform::heap_alloc(n * sizeof(ColumnBuffer));
        if (!cols) return fail(ColumnarFailure::NoMemoryForContext, Error::None);
        ctx->columns = static_cast<ColumnBuffer*>(cols);
        for (size_t i = 0; i < n; ++i) new (&ctx->columns[i]) ColumnBuffer{};
        ctx->n_columns = ctx->n_cols = n;
        for (size_t i = 0; i < n; ++i)
          if (failed(push_offset(&ctx->columns[i].offsets, 0)))
            return fail(ColumnarFailure::NoMemoryForContext, Error::None);
      }
    }
    for (size_t i = 0; i < ctx->n_columns; ++i) {
      const FieldView f = i < n ? fields[i] : FieldView{};
      if (!column_append(&ctx->columns[i], f.ptr, f.len)) return fail(ColumnarFailure::NoMemoryForRows, Error::None);
    }
    ++ctx->n_rows;
  }
}

void columnar_close(ColumnarCollectContext* ctx) {
  if (!ctx) return;
  free_columns(ctx->columns, ctx->n_columns);
  ctx->~ColumnarCollectContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
