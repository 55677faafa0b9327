// Row-major collection into one growing buffer.
#include "ops/collect.h"

#include <new>

#include "platform/heap.h"

namespace quelta {

static bool append_row(ByteBuffer* data, const FieldView* fields, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (failed(data->append(fields[i].ptr, fields[i].len))) return false;
    if (failed(data->push(0))) return false;
  }
  return true;
}

CollectContext* collect_rows(ScanState* s, CollectFailure* failure, Error* condition) {
  *failure = CollectFailure::None;
  *condition = Error::None;
  void* block = platform::heap_alloc(sizeof(CollectContext));
  if (!block) {
    *failure = CollectFailure::NoMemoryForContext;
    return nullptr;
  }
  auto* ctx = new (block) CollectContext{ByteBuffer{}, 0, 0};
  bool buffer_full = false;
  Error e = for_each_row(s, [&](const FieldView* fields, size_t n) {
    if (ctx->n_rows == 0) ctx->n_cols = n;
    if (!append_row(&ctx->data, fields, n)) {
      buffer_full = true;
      return Error::OutOfMemory;
    }
    ++ctx->n_rows;
    return Error::None;
  });
  if (!failed(e)) return ctx;
  collect_close(ctx);
  *failure = buffer_full ? CollectFailure::NoMemoryForRows : CollectFailure::Scan;
  *condition = e;
  return nullptr;
}

void collect_close(CollectContext* ctx) {
  if (!ctx) return;
  ctx->data.release();
  ctx->~CollectContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
