// The bounded heap of top-k: filled unordered until it holds k entries, built
// in one pass, then kept with its worst entry at the root.
#include "ops/topk.h"

#include <new>

#include "input/decimal.h"
#include "ops/stable_sort.h"
#include "platform/heap.h"

struct TopkContext {
  quelta::TopkEntry* entries;
  size_t k;
  size_t count;
  bool descending;
  size_t cursor;
  quelta::RowCopyOut row_out;
};

namespace quelta {
namespace {

struct Heap {
  TopkEntry* e;
  size_t count;
  bool descending;

  bool worse(double a, double b) const { return descending ? a < b : a > b; }

  void sift_down(size_t i) {
    for (;;) {
      size_t c = i, l = 2 * i + 1, r = 2 * i + 2;
      if (l < count && worse(e[l].key, e[c].key)) c = l;
      if (r < count && worse(e[r].key, e[c].key)) c = r;
      if (c == i) return;
      TopkEntry t = e[i];
      e[i] = e[c];
      e[c] = t;
      i = c;
    }
  }
};

void free_entries(TopkEntry* entries, size_t count) {
  for (size_t i = 0; i < count; ++i) row_copy_free(&entries[i].row);
  platform::heap_free(entries);
}

Error fill_heap(ScanState* s, size_t column, size_t k, Heap* heap) {
  return for_each_row(s, [&](const FieldView* fields, size_t n) {
    double key;
    if (column >= n || !parse_finite(fields[column].ptr, fields[column].len, &key) || k == 0)
      return Error::None;
    bool full = heap->count == k;
    if (full && !heap->worse(heap->e[0].key, key)) return Error::None;  // ties keep the row already held
    RowCopy copy;
    if (Error e = row_copy_make(fields, n, &copy); failed(e)) return e;
    if (!full) {
      heap->e[heap->count++] = TopkEntry{key, copy};
      if (heap->count == k && k > 1)
        for (size_t i = k / 2; i-- > 0;) heap->sift_down(i);
    } else {
      row_copy_free(&heap->e[0].row);
      heap->e[0] = TopkEntry{key, copy};
      heap->sift_down(0);
    }
    return Error::None;
  });
}

}  // namespace

TopkContext* topk_run(ScanState* s, size_t column, size_t k, bool descending, OpFailure* failure) {
  *failure = OpFailure{};
  TopkEntry* entries = nullptr;
  if (k > 0) {
    if (k > SIZE_MAX / sizeof(TopkEntry) ||
        !(entries = static_cast<TopkEntry*>(platform::heap_alloc(k * sizeof(TopkEntry))))) {
      *failure = {OpFailure::Stage::Scan, Error::OutOfMemory};
      return nullptr;
    }
  }
  Heap heap{entries, 0, descending};
  if (Error e = fill_heap(s, column, k, &heap); failed(e)) {
    free_entries(entries, heap.count);
    *failure = {OpFailure::Stage::Scan, e};
    return nullptr;
  }
  void* block = platform::heap_alloc(sizeof(TopkContext));
  if (!block) {
    free_entries(entries, heap.count);
    *failure = {OpFailure::Stage::Context, Error::OutOfMemory};
    return nullptr;
  }
  stable_sort(entries, heap.count, [descending](const TopkEntry& a, const TopkEntry& b) {
    return descending ? a.key > b.key : a.key < b.key;
  });
  return new (block) TopkContext{entries, k, heap.count, descending, 0, RowCopyOut{}};
}

const TopkEntry* topk_take(TopkContext* ctx) {
  if (ctx->cursor >= ctx->count) return nullptr;
  return &ctx->entries[ctx->cursor++];
}

RowCopyOut* topk_row_out(TopkContext* ctx) { return &ctx->row_out; }

void topk_close(TopkContext* ctx) {
  if (!ctx) return;
  free_entries(ctx->entries, ctx->count);
  row_copy_out_release(&ctx->row_out);
  ctx->~TopkContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
