// The bounded heap of top-k: filled unordered until it holds k entries, built
// in one pass, then kept with its worst entry at the root.
#include "ops/topk.h"

#include "input/decimal.h"
#include "ops/stable_sort.h"
#include "platform/heap.h"
#include "platform/owned.h"

struct TopkContext {
  quelta::TopkEntry* entries = nullptr;
  size_t k = 0;
  size_t count = 0;
  bool descending = false;
  size_t cursor = 0;
  quelta::RowCopyOut row_out;
};

namespace quelta {
namespace {

struct Heap {
  TopkEntry* e = nullptr;  // the first count entries hold a row copy each
  size_t count = 0;
  bool descending = false;

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

void free_heap(Heap* heap) {
  free_entries(heap->e, heap->count);
  heap->e = nullptr;
  heap->count = 0;
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
  platform::Owned<Heap, free_heap> heap(Heap{nullptr, 0, descending});
  if (k > 0) {
    heap->e = platform::HeapArray<TopkEntry>::allocate(k).release();
    if (!heap->e) {
      *failure = {OpFailure::Stage::Scan, Error::OutOfMemory};
      return nullptr;
    }
  }
  if (Error e = fill_heap(s, column, k, heap.get()); failed(e)) {
    *failure = {OpFailure::Stage::Scan, e};
    return nullptr;
  }
  auto ctx = platform::HeapBox<TopkContext>::make();
  if (!ctx) {
    *failure = {OpFailure::Stage::Context, Error::OutOfMemory};
    return nullptr;
  }
  const Heap held = heap.take();
  stable_sort(held.e, held.count, [descending](const TopkEntry& a, const TopkEntry& b) {
    return descending ? a.key > b.key : a.key < b.key;
  });
  ctx->entries = held.e;
  ctx->k = k;
  ctx->count = held.count;
  ctx->descending = descending;
  return ctx.release();
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
