/* The public header compiles as strict C99 (-std=c99 -pedantic -Werror), and
 * every export has the signature a C host expects. */
#include "quelta.h"

typedef int32_t (*NextFn)(Scanner*, const char***, size_t*);
typedef char* (*OutcomeFn)(const char*, size_t, const char*, uint32_t, uint32_t);

static const NextFn next_fn = quelta_next;
static const OutcomeFn outcome_fn = quelta_validate_outcome;

int quelta_c99_header_check(void);
int quelta_c99_header_check(void) {
  ScanOptions options = {0};
  Predicate predicate = {0};
  ValidationStats stats = {0};
  AggregateResult result = {0};
  options.limit = -1;
  options.max_column = -1;
  predicate.op = QUELTA_OP_IN;
  return (int)(options.limit + predicate.op + (int)stats.rows_total + (int)result.count) + (next_fn != 0) +
         (outcome_fn != 0);
}
