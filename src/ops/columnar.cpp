// Column-major collection with 32-bit offsets.
#include "ops/columnar.h"

#include <atomic>
#include <new>

#include "platform/heap.h"

namespace quelta {
namespace {

std::atomic<uint64_t> g_data_limit{UINT32_MAX};

void free_columns(ColumnBuffer* columns, size_t n) {
  if (!columns) return;
  for (size_t i = 0; i < n; ++i) {
    columns[i].data.release();
    columns[i].offsets.release();
  }
  platform::heap_free(columns);
}

// The first row fixes the columns: n empty buffers, each with its first offset 0.
bool add_columns(ColumnarCollectContext* ctx, size_t n) {
  if (n == 0) return true;
  if (n > SIZE_MAX / sizeof(ColumnBuffer)) return false;
  void* cols = platform::heap_alloc(n * sizeof(ColumnBuffer));
  if (!cols) return false;
  ctx->columns = static_cast<ColumnBuffer*>(cols);
  for (size_t i = 0; i < n; ++i) new (&ctx->columns[i]) ColumnBuffer{};
  ctx->n_columns = ctx->n_cols = n;
  for (size_t i = 0; i < n; ++i)
    if (failed(ctx->columns[i].offsets.push(0))) return false;
  return true;
}

}  // namespace

void columnar_set_data_limit(uint64_t limit) {
  g_data_limit.store(limit > UINT32_MAX ? UINT32_MAX : limit, std::memory_order_relaxed);
}

bool column_append(ColumnBuffer* column, const uint8_t* p, size_t n) {
  uint64_t limit = g_data_limit.load(std::memory_order_relaxed);
  if (n > limit || column->data.len > limit - n) return false;
  if (failed(column->data.append(p, n))) return false;
  return !failed(column->offsets.push(static_cast<uint32_t>(column->data.len)));
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
  // A failed append is told apart from a failed scan by the failure it sets.
  ColumnarFailure own = ColumnarFailure::None;
  Error e = for_each_row(s, [&](const FieldView* fields, size_t n) {
    if (ctx->n_rows == 0 && !add_columns(ctx, n)) {
      own = ColumnarFailure::NoMemoryForContext;
      return Error::OutOfMemory;
    }
    for (size_t i = 0; i < ctx->n_columns; ++i) {
      const FieldView f = i < n ? fields[i] : FieldView{};
      if (!column_append(&ctx->columns[i], f.ptr, f.len)) {
        own = ColumnarFailure::NoMemoryForRows;
        return Error::OutOfMemory;
      }
    }
    ++ctx->n_rows;
    return Error::None;
  });
  if (!failed(e)) return ctx;
  columnar_close(ctx);
  *failure = own != ColumnarFailure::None ? own : ColumnarFailure::Scan;
  *condition = e;
  return nullptr;
}

void columnar_close(ColumnarCollectContext* ctx) {
  if (!ctx) return;
  free_columns(ctx->columns, ctx->n_columns);
  ctx->~ColumnarCollectContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
