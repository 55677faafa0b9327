// Row-major collection into one growing buffer.
#include "ops/collect.h"

#include "platform/heap.h"
#include "platform/owned.h"

struct CollectContext {
  quelta::ByteBuffer data;
  size_t n_rows;
  size_t n_cols;
};

namespace quelta {

static bool append_row(ByteBuffer* data, const FieldView* fields, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (failed(data->append(fields[i].ptr, fields[i].len))) return false;
    if (failed(data->push(0))) return false;
  }
  return true;
}

CollectContext* collect_rows(ScanState* s, OpFailure* failure) {
  *failure = OpFailure{};
  auto box = platform::HeapBox<CollectContext>::make();
  if (!box) {
    *failure = {OpFailure::Stage::Context, Error::OutOfMemory};
    return nullptr;
  }
  // From here collect_close releases the context with the rows it holds.
  platform::OwnedPtr<CollectContext, collect_close> ctx(box.release());
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
  if (!failed(e)) return ctx.release();
  *failure = {buffer_full ? OpFailure::Stage::Rows : OpFailure::Stage::Scan, e};
  return nullptr;
}

const uint8_t* collect_data(const CollectContext* ctx, size_t* len) {
  *len = ctx->data.len;
  return ctx->data.data;
}

size_t collect_n_rows(const CollectContext* ctx) { return ctx->n_rows; }

size_t collect_n_cols(const CollectContext* ctx) { return ctx->n_cols; }

void collect_close(CollectContext* ctx) {
  if (!ctx) return;
  ctx->data.release();
  ctx->~CollectContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
