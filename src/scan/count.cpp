// The careful and the fast ways of counting rows.
#include "scan/count.h"

namespace quelta {
namespace {

Error count_objects(BufferedReader* r, uint64_t* out) {
  uint64_t objects = 0;
  for (;;) {
    FieldView object;
    bool at_end = false;
    if (Error e = read_object(r, &object, &at_end); failed(e)) return e;
    if (at_end) break;
    ++objects;
  }
  *out = objects;
  return Error::None;
}

Error count_careful(ScanState* s, uint64_t* out) {
  uint64_t counted = 0;
  uint64_t remaining = UINT64_MAX;
  if (s->has_limit) {
    if (s->matched >= s->limit) {
      *out = 0;
      return Error::None;
    }
    remaining = s->limit - s->matched;
  }
  while (counted < remaining) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    if (Error e = next_record(&s->input, &fields, &n, &at_end); failed(e)) return e;
    if (at_end) break;
    if (test_row(fields, n, s->predicates, s->negate)) {
      ++counted;
      ++s->matched;
    }
  }
  *out = counted;
  return Error::None;
}

// Counting without framing rows: a failure's place is not known.
Error count_fast(ScanState* s, uint64_t* out) {
  RecordReader* in = &s->input;
  if (!in->is_json)
    return in->csv.quoting == Quoting::Rfc4180 ? count_quoted_records(&in->csv.reader, in->csv.delimiter, out)
                                               : count_remaining_lines(&in->csv.reader, out);
  uint64_t first = in->json.first_delivered ? 0 : 1;
  in->json.first_delivered = true;
  uint64_t rest = 0;
  Error e = in->json.array_mode ? count_objects(&in->json.reader, &rest)
                                : count_remaining_lines(&in->json.reader, &rest);
  *out = first + rest;
  return e;
}

Error count_input(ScanState* s, uint64_t* out) {
  if (scan_filters_rows(*s)) return count_careful(s, out);
  Error e = count_fast(s, out);
  if (failed(e)) *input_site(&s->input) = FailureSite{};
  return e;
}

}  // namespace

Error count_rows(ScanState* s, uint64_t* out) {
  *out = 0;
  // Rows given back after a bulk read count first; a failure deferred behind
  // them stops a careful count as it would have, and is one line to the fast one.
  Error deferred = Error::None;
  const uint64_t held = take_pending_rows(&s->bulk, &deferred);
  if (failed(deferred)) *input_site(&s->input) = s->bulk.deferred_site;
  if (failed(deferred) && scan_filters_rows(*s)) return deferred;
  uint64_t rest = 0;
  Error e = count_input(s, &rest);
  *out = held + (failed(deferred) ? 1 : 0) + rest;
  return e;
}

}  // namespace quelta
