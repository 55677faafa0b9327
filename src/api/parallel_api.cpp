// Export of the parallel columnar collect; its result is read and freed with
// the columnar collect's accessors and close.
#include "api/error_slot.h"
#include "ops/parallel_collect.h"
#include "quelta.h"

using namespace quelta;

extern "C" {

QUELTA_API ColumnarCollectContext* quelta_parallel_collect_columnar(const char* path, char delimiter,
                                                                    const Predicate* predicates,
                                                                    size_t n_predicates, int32_t negate,
                                                                    size_t n_threads) {
  api::slot_clear();
  if (!path) {
    api::slot_set("path is null");
    return nullptr;
  }
  if (n_predicates > 0 && !predicates) {
    api::slot_set("predicates is null");
    return nullptr;
  }
  ParallelFailure failure;
  Error condition;
  ColumnarCollectContext* ctx =
      parallel_collect_columnar(path, static_cast<uint8_t>(delimiter), predicates, n_predicates, negate != 0,
                                n_threads, &failure, &condition);
  switch (failure) {
    case ParallelFailure::None:
      break;
    case ParallelFailure::NoMemoryForPredicates:
      api::slot_set("out of memory allocating predicates");
      break;
    case ParallelFailure::NoMemoryForInValues:
      api::slot_set("out of memory allocating IN values");
      break;
    case ParallelFailure::Scan:
      api::slot_set("parallel scan failed: ", condition);
      break;
    case ParallelFailure::NoMemoryForContext:
      api::slot_set("out of memory allocating columnar collect context");
      break;
  }
  return ctx;
}
}
