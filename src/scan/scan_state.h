// ScanState: an open input with its scan settings, and the one step every
// consumer of a scan goes through, next matching row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/open_input.h"
#include "scan/bulk_rows.h"
#include "scan/predicate.h"

namespace quelta {

struct ScanState {
  RecordReader input;
  const size_t* projection = nullptr;  // the caller's array, referenced
  size_t n_projection = 0;
  PredicateSet predicates;
  bool negate = false;
  bool has_limit = false;
  uint64_t limit = 0;
  uint64_t matched = 0;
  GrowBuffer<FieldView> projected;
  BulkRows bulk;  // rows given back by a host come first
};

// The next record that passes the predicates (XOR negate), counted against the
// limit and projected; rows given back after a bulk read (already counted and
// projected) and a failure deferred behind them come first. The row is valid until the next step on the same
// state.
Error next_matching_row(ScanState* s, const FieldView** fields, size_t* count, bool* at_end);

// Calls visit(fields, count) for every remaining matching row, stopping at the
// first failure of the scan or of visit.
template <typename Visit>
Error for_each_row(ScanState* s, Visit&& visit) {
  for (;;) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    if (Error e = next_matching_row(s, &fields, &n, &at_end); failed(e)) return e;
    if (at_end) return Error::None;
    if (Error e = visit(fields, n); failed(e)) return e;
  }
}

// Whether any row needs to be looked at (predicates, negate or a limit).
inline bool scan_filters_rows(const ScanState& s) {
  return s.predicates.count > 0 || s.negate || s.has_limit;
}

// Closes the input and frees the projected row and the predicates.
void scan_state_close(ScanState* s);

}  // namespace quelta
