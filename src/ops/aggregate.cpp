// One pass over the remaining rows with four running values.
#include "ops/aggregate.h"

#include "input/decimal.h"

namespace quelta {

Error aggregate_column(ScanState* s, size_t column, AggregateResult* out) {
  uint64_t count = 0;
  double sum = 0.0, min = 0.0, max = 0.0;
  // A numeric predicate on the same column has already converted the field of
  // every row that reaches us.
  const PreparedPredicate* converted = nullptr;
  if (s->n_projection == 0)
    converted = numeric_predicate_on(s->predicates, s->negate, column);
  else if (column < s->n_projection)
    converted = numeric_predicate_on(s->predicates, s->negate, s->projection[column]);
  Error e = for_each_row(s, [&](const FieldView* fields, size_t n) {
    double v;
    if (converted) {
      if (!converted->last_numeric) return Error::None;
      v = converted->last_value();
    } else if (column >= n || !parse_finite(fields[column].ptr, fields[column].len, &v)) {
      return Error::None;
    }
    if (count == 0) {
      min = max = v;
    } else {
      if (v < min) min = v;
      if (max < v) max = v;  // strict: an equal value never replaces the one seen first
    }
    ++count;
    sum += v;
    return Error::None;
  });
  if (failed(e)) return e;
  out->count = count;
  out->sum = sum;
  out->min = min;
  out->max = max;
  out->mean = count ? sum / static_cast<double>(count) : 0.0;
  out->has_values = count > 0 ? 1 : 0;
  return Error::None;
}

}  // namespace quelta
