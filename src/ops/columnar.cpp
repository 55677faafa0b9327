// Column-major collection with 32-bit offsets.
#include "ops/columnar.h"

#include <cstring>
#include <new>

#include "platform/heap.h"
#include "platform/owned.h"

struct ColumnarCollectContext {
  quelta::ColumnBuffer* columns;
  size_t n_cols;
  size_t n_rows;
};

namespace quelta {
namespace {

// An array of column buffers and its length, released as one.
struct ColumnArray {
  ColumnBuffer* columns = nullptr;
  size_t n = 0;
};

void free_column_array(ColumnArray* array) {
  column_buffers_free(array->columns, array->n);
  *array = ColumnArray{};
}

// After this many rows the columns are sized for the whole input, at the rate
// these rows filled them.
constexpr size_t kPresizeRows = 8192;

}  // namespace

void columnar_set_data_limit(uint64_t limit) {
  g_column_data_limit.store(limit > UINT32_MAX ? UINT32_MAX : limit, std::memory_order_relaxed);
}

bool column_append_slow(ColumnBuffer* column, const uint8_t* p, size_t n) {
  uint64_t limit = columnar_data_limit();
  if (n > limit || column->data.len > limit - n) return false;
  if (failed(column->data.append(p, n))) return false;
  return !failed(column->offsets.push(static_cast<uint32_t>(column->data.len)));
}

Error column_buffers_new(size_t n, ColumnBuffer** out) {
  *out = nullptr;
  if (n == 0) return Error::None;
  if (n > SIZE_MAX / sizeof(ColumnBuffer)) return Error::OutOfMemory;
  auto* columns = static_cast<ColumnBuffer*>(platform::heap_alloc(n * sizeof(ColumnBuffer)));
  if (!columns) return Error::OutOfMemory;
  for (size_t i = 0; i < n; ++i) new (&columns[i]) ColumnBuffer{};
  platform::Owned<ColumnArray, free_column_array> array(ColumnArray{columns, n});
  for (size_t i = 0; i < n; ++i) {
    if (failed(columns[i].offsets.push(0))) return Error::OutOfMemory;
  }
  *out = array.take().columns;
  return Error::None;
}

void column_buffers_free(ColumnBuffer* columns, size_t n) {
  if (!columns) return;
  for (size_t i = 0; i < n; ++i) {
    columns[i].data.release();
    columns[i].offsets.release();
  }
  platform::heap_free(columns);
}

Error column_buffers_presize(ColumnBuffer* columns, size_t n, double scale) {
  if (!(scale > 1.0)) return Error::None;
  scale *= 1.02;
  const double limit = static_cast<double>(columnar_data_limit());
  auto estimate = [scale, limit](size_t now) {
    double want = static_cast<double>(now) * scale + 64;
    return static_cast<size_t>(want < limit ? want : limit);
  };
  for (size_t c = 0; c < n; ++c) {
    ColumnBuffer& column = columns[c];
    if (failed(column.data.reserve(estimate(column.data.len))) ||
        failed(column.offsets.reserve(estimate(column.offsets.len))))
      return Error::OutOfMemory;
  }
  return Error::None;
}

namespace {

// Copies are made a slice at a time, each slice's source pages given back as
// soon as it is copied, so joining two columns never holds both in full.
constexpr size_t kTakeSlice = size_t{1} << 20;

}  // namespace

bool column_take_rows(ColumnBuffer* column, ColumnBuffer* src) {
  const uint64_t limit = columnar_data_limit();
  const size_t base = column->data.len;
  const size_t n = src->offsets.len > 0 ? src->offsets.len - 1 : 0;
  bool ok = src->data.len <= limit && base <= limit - src->data.len &&
            !failed(column->data.reserve(base + src->data.len)) && n <= SIZE_MAX - column->offsets.len &&
            !failed(column->offsets.reserve(column->offsets.len + n));
  if (ok) {
    for (size_t at = 0; at < src->data.len; at += kTakeSlice) {
      size_t len = src->data.len - at < kTakeSlice ? src->data.len - at : kTakeSlice;
      std::memcpy(column->data.data + base + at, src->data.data + at, len);
      platform::heap_discard(src->data.data, at, at + len);
    }
    column->data.len = base + src->data.len;
    // Both ends are below the limit checked above, so the sums fit in 32 bits.
    uint32_t* out = column->offsets.data + column->offsets.len;
    const uint32_t* in = src->offsets.data + 1;
    const uint32_t shift = static_cast<uint32_t>(base);
    constexpr size_t kSliceOffsets = kTakeSlice / sizeof(uint32_t);
    for (size_t at = 0; at < n; at += kSliceOffsets) {
      size_t end = n - at < kSliceOffsets ? n : at + kSliceOffsets;
      for (size_t i = at; i < end; ++i) out[i] = in[i] + shift;
      platform::heap_discard(src->offsets.data, (at + 1) * sizeof(uint32_t), (end + 1) * sizeof(uint32_t));
    }
    column->offsets.len += n;
  }
  src->data.release();
  src->offsets.release();
  return ok;
}

ColumnarCollectContext* columnar_context_create(ColumnBuffer* columns, size_t n_cols, size_t n_rows) {
  void* block = platform::heap_alloc(sizeof(ColumnarCollectContext));
  if (!block) return nullptr;
  return new (block) ColumnarCollectContext{columns, n_cols, n_rows};
}

ColumnarCollectContext* columnar_collect(ScanState* s, OpFailure* failure) {
  *failure = OpFailure{};
  // From its creation columnar_close releases the context with the columns it holds.
  platform::OwnedPtr<ColumnarCollectContext, columnar_close> ctx(columnar_context_create(nullptr, 0, 0));
  if (!ctx) {
    *failure = {OpFailure::Stage::Context, Error::OutOfMemory};
    return nullptr;
  }
  // A failed append is told apart from a failed scan by the stage it sets.
  OpFailure::Stage own = OpFailure::Stage::None;
  Error e = for_each_row(s, [&](const FieldView* fields, size_t n) {
    if (ctx->n_rows == 0 && n > 0) {
      // The first row fixes the columns.
      if (failed(column_buffers_new(n, &ctx->columns))) {
        own = OpFailure::Stage::Context;
        return Error::OutOfMemory;
      }
      ctx->n_cols = n;
    }
    for (size_t i = 0; i < ctx->n_cols; ++i) {
      const FieldView f = i < n ? fields[i] : FieldView{};
      if (!column_append(&ctx->columns[i], f.ptr, f.len)) {
        own = OpFailure::Stage::Rows;
        return Error::OutOfMemory;
      }
    }
    if (++ctx->n_rows == kPresizeRows && !s->has_limit) {
      uint64_t consumed = 0, total = 0;
      if (reader_progress(input_buffer(&s->input), &consumed, &total) && consumed > 0 &&
          failed(column_buffers_presize(ctx->columns, ctx->n_cols,
                                        static_cast<double>(total) / static_cast<double>(consumed)))) {
        own = OpFailure::Stage::Rows;
        return Error::OutOfMemory;
      }
    }
    return Error::None;
  });
  if (!failed(e)) return ctx.release();
  *failure = {own != OpFailure::Stage::None ? own : OpFailure::Stage::Scan, e};
  return nullptr;
}

size_t columnar_n_rows(const ColumnarCollectContext* ctx) { return ctx->n_rows; }

size_t columnar_n_cols(const ColumnarCollectContext* ctx) { return ctx->n_cols; }

const ColumnBuffer* columnar_column(const ColumnarCollectContext* ctx, size_t index) {
  return index < ctx->n_cols ? &ctx->columns[index] : nullptr;
}

void columnar_close(ColumnarCollectContext* ctx) {
  if (!ctx) return;
  column_buffers_free(ctx->columns, ctx->n_cols);
  ctx->~ColumnarCollectContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
