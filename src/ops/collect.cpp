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
  for (;;) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    if (Error e = next_matching_row(s, &fields, &n, &at_end); failed(e)) {
      collect_close(ctx);
      *failure = CollectFailure::Scan;
      *condition = e;
      return nullptr;
    }
    if (at_end) return ctx;
    if (ctx->n_rows == 0) ctx->n_cols = n;
    if (!append_row(&ctx->data, fields, n)) {
      collect_close(ctx);
      *failure = CollectFailure::NoMemoryForRows;
      return nullptr;
    }
    ++ctx->n_rows;
  }
}

void collect_close(CollectContext* ctx) {
  if (!ctx) return;
  ctx->data.release();
  ctx->~CollectContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
