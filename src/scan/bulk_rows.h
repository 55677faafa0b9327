// Rows in bulk: many delivered rows copied end to end into one block with
// their boundaries, so a host builds its row objects from one block instead of
// one call per row; and the rows a host gives back, which the scan delivers
// again before it reads on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "util/failure_site.h"
#include "util/grow_buffer.h"

namespace quelta {

struct ScanState;

// The byte between neighbouring fields of a block: a unit separator is rare
// in text, and a block where a field holds one says so (separated false).
constexpr uint8_t kRowSeparator = 0x1f;

// Rows end to end: every field followed by kRowSeparator except the last.
struct RowBlock {
  ByteBuffer data;
  GrowBuffer<size_t> field_ends;  // end offset in data of each field
  GrowBuffer<size_t> row_ends;    // per row, the fields up to and including it
  bool separated = true;          // no field holds kRowSeparator
  bool uniform = true;            // every row has as many fields as the first

  size_t n_rows() const { return row_ends.len; }
  size_t width() const { return row_ends.len ? row_ends.data[0] : 0; }
  void clear();
  void release();
};

// The bulk state of one scan, all empty until a host asks for rows in bulk.
struct BulkRows {
  RowBlock out;   // the rows of the last next_rows
  RowBlock held;  // rows given back, delivered again from held_next on
  size_t held_next = 0;
  size_t returnable = 0;         // rows at the end of out that may still be given back
  uint64_t matched_at = 0;       // the scan's matched count when out was filled
  Error deferred = Error::None;  // a read failure met after the rows of out, still to report
  FailureSite deferred_site;     // where that failure stood, given back to the input with it
  bool pending = false;          // a held row or a deferred failure comes before the input
  GrowBuffer<FieldView> views;   // the held row being delivered
};

// Fills s->bulk.out with up to max_rows next matching rows, stopping after the
// row that brings its data to max_bytes. A read failure after at least one row
// ends the block and is deferred to the next step. *no_memory_for_rows tells a
// block that cannot grow (its rows are lost) apart from a read failure.
Error next_rows(ScanState* s, size_t max_rows, size_t max_bytes, bool* no_memory_for_rows);

// Gives back the last n rows of out, delivered again before anything held.
// InvalidBatchSize when n is more than may be given back (more than out holds,
// or a row or failure was delivered since); OutOfMemory when the rows cannot be
// kept (they are then lost).
Error unread_rows(ScanState* s, size_t n);

// Whether a held row or a deferred failure comes before the input's next record.
inline bool bulk_pending(const BulkRows& b) { return b.pending; }

// The next held row, or the deferred failure once none is left (call when
// bulk_pending). The row is valid until the next step.
Error next_pending_row(BulkRows* b, const FieldView** fields, size_t* count);

// Drops the held rows, returning how many there were, and whether a failure
// was deferred behind them (also dropped, into *deferred).
uint64_t take_pending_rows(BulkRows* b, Error* deferred);

void bulk_rows_release(BulkRows* b);

}  // namespace quelta
