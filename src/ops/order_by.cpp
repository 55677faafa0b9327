// Materialising, comparing and sorting rows for order-by.
#include "ops/order_by.h"

#include <new>

#include "input/decimal.h"
#include "ops/stable_sort.h"
#include "platform/heap.h"
#include "scan/predicate.h"

struct OrderByContext {
  quelta::RowCopy* rows;
  size_t count;
  size_t cursor;
  quelta::RowCopyOut row_out;
};

namespace quelta {
namespace {

void free_rows(RowCopy* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) row_copy_free(&rows[i]);
  platform::heap_free(rows);
}

// Appends one row to the array, growing it from c to c + c/2 + 4 entries.
Error append_row(RowCopy** rows, size_t* count, size_t* cap, const RowCopy& row) {
  if (*count == *cap) {
    size_t c = *cap;
    size_t grown = c > SIZE_MAX - c / 2 - 4 ? SIZE_MAX : c + c / 2 + 4;
    if (grown > SIZE_MAX / sizeof(RowCopy)) return Error::OutOfMemory;
    // In place when the block allows (heap_realloc resizes within its usable size).
    void* moved = platform::heap_realloc(*rows, grown * sizeof(RowCopy));
    if (!moved) return Error::OutOfMemory;
    *rows = static_cast<RowCopy*>(moved);
    *cap = grown;
  }
  (*rows)[(*count)++] = row;
  return Error::None;
}

Error materialise(ScanState* s, RowCopy** rows, size_t* count) {
  size_t cap = 0;
  Error scanned = for_each_row(s, [&](const FieldView* fields, size_t n) {
    RowCopy copy;
    if (Error e = row_copy_make(fields, n, &copy); failed(e)) return e;
    Error e = append_row(rows, count, &cap, copy);
    if (failed(e)) row_copy_free(&copy);
    return e;
  });
  if (failed(scanned)) return scanned;
  if (*count == 0) {
    platform::heap_free(*rows);
    *rows = nullptr;
  } else if (*count < cap) {
    void* trimmed = platform::heap_realloc(*rows, *count * sizeof(RowCopy));
    if (!trimmed) return Error::OutOfMemory;
    *rows = static_cast<RowCopy*>(trimmed);
  }
  return Error::None;
}

FieldView key_of(const RowCopy& row, size_t column) {
  return column < row.n ? row.fields[column] : FieldView{};
}

}  // namespace

bool order_by_before(const RowCopy& a, const RowCopy& b, size_t column, bool descending) {
  FieldView ka = key_of(a, column), kb = key_of(b, column);
  double x, y;
  if (parse_finite(ka.ptr, ka.len, &x) && parse_finite(kb.ptr, kb.len, &y)) return descending ? x > y : x < y;
  int order = compare_bytes(ka, kb);
  return descending ? order > 0 : order < 0;
}

OrderByContext* order_by_run(ScanState* s, size_t column, bool descending, OpFailure* failure) {
  *failure = OpFailure{};
  RowCopy* rows = nullptr;
  size_t count = 0;
  if (Error e = materialise(s, &rows, &count); failed(e)) {
    free_rows(rows, count);
    *failure = {OpFailure::Stage::Scan, e};
    return nullptr;
  }
  stable_sort(rows, count, [column, descending](const RowCopy& a, const RowCopy& b) {
    return order_by_before(a, b, column, descending);
  });
  void* block = platform::heap_alloc(sizeof(OrderByContext));
  if (!block) {
    free_rows(rows, count);
    *failure = {OpFailure::Stage::Context, Error::OutOfMemory};
    return nullptr;
  }
  return new (block) OrderByContext{rows, count, 0, RowCopyOut{}};
}

const RowCopy* order_by_take(OrderByContext* ctx) {
  if (ctx->cursor >= ctx->count) return nullptr;
  return &ctx->rows[ctx->cursor++];
}

RowCopyOut* order_by_row_out(OrderByContext* ctx) { return &ctx->row_out; }

void order_by_close(OrderByContext* ctx) {
  if (!ctx) return;
  free_rows(ctx->rows, ctx->count);
  row_copy_out_release(&ctx->row_out);
  ctx->~OrderByContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
