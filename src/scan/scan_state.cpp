// The row step shared by every consumer of a scan.
#include "scan/scan_state.h"

namespace quelta {

Error next_matching_row(ScanState* s, const FieldView** fields, size_t* count, bool* at_end) {
  *at_end = false;
  if (bulk_pending(s->bulk)) [[unlikely]] {
    Error e = next_pending_row(&s->bulk, fields, count);
    if (failed(e)) *input_site(&s->input) = s->bulk.deferred_site;
    return e;
  }
  if (s->has_limit && s->matched >= s->limit) {
    *at_end = true;
    return Error::None;
  }
  const FieldView* record;
  size_t n;
  // Without predicates every row matches (negate then matches none).
  const bool test = s->predicates.count > 0 || s->negate;
  for (;;) {
    if (Error e = next_record(&s->input, &record, &n, at_end); failed(e) || *at_end) {
      if (failed(e)) s->bulk.returnable = 0;  // rows given back now would come after the failure
      return e;
    }
    if (!test || test_row(record, n, s->predicates, s->negate)) break;
  }
  ++s->matched;
  if (s->n_projection == 0) {
    *fields = record;
    *count = n;
    return Error::None;
  }
  if (Error e = s->projected.reserve(s->n_projection); failed(e)) return e;
  FieldView* out = s->projected.data;
  for (size_t j = 0; j < s->n_projection; ++j) {
    size_t c = s->projection[j];
    out[j] = c < n ? record[c] : FieldView{};
  }
  *fields = out;
  *count = s->n_projection;
  return Error::None;
}

void scan_state_close(ScanState* s) {
  close_input(&s->input);
  s->projected.release();
  bulk_rows_release(&s->bulk);
  free_predicates(&s->predicates);
}

}  // namespace quelta
