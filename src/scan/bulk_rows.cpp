// Rows copied out in blocks, and given back for the scan to deliver again.
#include "scan/bulk_rows.h"

#include <limits>
#include <utility>

#include "scan/batch.h"
#include "scan/scan_state.h"
#include "util/byte_search.h"
#include "util/short_copy.h"

namespace quelta {
namespace {

Error append_row(RowBlock* block, const FieldView* fields, size_t n) {
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) bytes += fields[i].len;
  const bool first_field = block->field_ends.empty();
  const size_t separators = n == 0 ? 0 : first_field ? n - 1 : n;
  ByteBuffer& data = block->data;
  if (bytes > std::numeric_limits<size_t>::max() - separators - data.len) return Error::OutOfMemory;
  if (Error e = data.reserve(data.len + bytes + separators); failed(e)) return e;
  if (Error e = block->field_ends.reserve(block->field_ends.len + n); failed(e)) return e;
  if (Error e = block->row_ends.reserve(block->row_ends.len + 1); failed(e)) return e;

  uint8_t* const row_start = data.data + data.len;
  uint8_t* w = row_start;
  size_t* ends = block->field_ends.data + block->field_ends.len;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 || !first_field) *w++ = kRowSeparator;
    copy_bytes(w, fields[i].ptr, fields[i].len);
    w += fields[i].len;
    ends[i] = static_cast<size_t>(w - data.data);
  }
  const size_t written = static_cast<size_t>(w - row_start);
  data.len += written;
  block->field_ends.len += n;
  block->row_ends.data[block->row_ends.len++] = block->field_ends.len;
  if (block->separated && count_byte(row_start, written, kRowSeparator) != separators)
    block->separated = false;
  if (n != block->width()) block->uniform = false;
  return Error::None;
}

// The fields of row r of block as views into its data.
Error row_views(const RowBlock& block, size_t r, GrowBuffer<FieldView>* views) {
  const size_t first = r ? block.row_ends.data[r - 1] : 0;
  const size_t last = block.row_ends.data[r];
  if (Error e = views->reserve(last - first); failed(e)) return e;
  for (size_t f = first; f < last; ++f) {
    const size_t start = f ? block.field_ends.data[f - 1] + 1 : 0;
    views->data[f - first] = FieldView{block.data.data + start, block.field_ends.data[f] - start};
  }
  views->len = last - first;
  return Error::None;
}

void update_pending(BulkRows* b) { b->pending = b->held_next < b->held.n_rows() || failed(b->deferred); }

}  // namespace

void RowBlock::clear() {
  data.clear();
  field_ends.clear();
  row_ends.clear();
  separated = true;
  uniform = true;
}

void RowBlock::release() {
  data.release();
  field_ends.release();
  row_ends.release();
  separated = true;
  uniform = true;
}

Error next_rows(ScanState* s, size_t max_rows, size_t max_bytes, bool* no_memory_for_rows) {
  *no_memory_for_rows = false;
  BulkRows& b = s->bulk;
  b.out.clear();
  b.returnable = 0;
  if (max_rows < 1 || max_rows > kMaxBatchRows || max_bytes == 0) return Error::InvalidBatchSize;
  while (b.out.n_rows() < max_rows) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    if (Error e = next_matching_row(s, &fields, &n, &at_end); failed(e)) {
      if (b.out.n_rows() == 0) return e;
      b.deferred = e;
      b.deferred_site = *input_site(&s->input);
      break;
    }
    if (at_end) break;
    if (Error e = append_row(&b.out, fields, n); failed(e)) {
      b.out.clear();
      *no_memory_for_rows = true;
      return e;
    }
    if (b.out.data.len >= max_bytes) break;
  }
  b.returnable = b.out.n_rows();
  b.matched_at = s->matched;
  update_pending(&b);
  return Error::None;
}

Error unread_rows(ScanState* s, size_t n) {
  BulkRows* b = &s->bulk;
  // Rows read since (each counted as matched) would come out of order.
  if (n > b->returnable || s->matched != b->matched_at) return Error::InvalidBatchSize;
  b->returnable = 0;
  if (n == 0) return Error::None;
  const size_t first_back = b->out.n_rows() - n;
  // Rows still held came after every row of out: they go behind the given-back ones.
  for (size_t r = b->held_next; r < b->held.n_rows(); ++r) {
    if (Error e = row_views(b->held, r, &b->views); failed(e)) return e;
    if (Error e = append_row(&b->out, b->views.data, b->views.len); failed(e)) return e;
  }
  b->held_next = first_back;
  std::swap(b->out, b->held);
  b->out.clear();
  update_pending(b);
  return Error::None;
}

Error next_pending_row(BulkRows* b, const FieldView** fields, size_t* count) {
  b->returnable = 0;
  if (b->held_next < b->held.n_rows()) {
    if (Error e = row_views(b->held, b->held_next, &b->views); failed(e)) return e;
    ++b->held_next;
    *fields = b->views.data;
    *count = b->views.len;
    update_pending(b);
    return Error::None;
  }
  const Error e = b->deferred;
  b->deferred = Error::None;
  b->pending = false;
  return e;
}

uint64_t take_pending_rows(BulkRows* b, Error* deferred) {
  const uint64_t n = b->held.n_rows() - b->held_next;
  b->held_next = b->held.n_rows();
  *deferred = b->deferred;
  b->deferred = Error::None;
  b->returnable = 0;
  b->pending = false;
  return n;
}

void bulk_rows_release(BulkRows* b) {
  b->out.release();
  b->held.release();
  b->views.release();
  b->held_next = 0;
  b->returnable = 0;
  b->deferred = Error::None;
  b->pending = false;
}

}  // namespace quelta
