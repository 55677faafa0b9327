// Export of the parallel columnar collect; its result is read and freed with
// the columnar collect's accessors and close.
#include "api/error_slot.h"
#include "api/read_options.h"
#include "ops/parallel_collect.h"
#include "quelta.h"

using namespace quelta;

extern "C" {

static ColumnarCollectContext* collect(const char* path, const char* delimiter, const Predicate* predicates,
                                       size_t n_predicates, int32_t negate, size_t n_threads,
                                       const ReadOptions* read) {
  api::slot_clear();
  if (!path) {
    api::slot_set("path is null");
    return nullptr;
  }
  if (n_predicates > 0 && !predicates) {
    api::slot_set("predicates is null");
    return nullptr;
  }
  ReadSettings settings;
  if (!api::read_settings_from(read, &settings)) {
    api::slot_set(api::kInvalidReadOptions);
    return nullptr;
  }
  // The export without read options takes its delimiter as it is given.
  const uint8_t split_at = delimiter ? static_cast<uint8_t>(*delimiter) : settings.delimiter;
  ParallelFailure failure;
  Error condition;
  ColumnarCollectContext* ctx = parallel_collect_columnar(
      path, split_at, predicates, n_predicates, negate != 0, n_threads, &failure, &condition, settings);
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
      api::slot_subject(path);
      break;
    case ParallelFailure::NoMemoryForContext:
      api::slot_set("out of memory allocating columnar collect context");
      break;
  }
  return ctx;
}

QUELTA_API ColumnarCollectContext* quelta_parallel_collect_columnar(const char* path, char delimiter,
                                                                    const Predicate* predicates,
                                                                    size_t n_predicates, int32_t negate,
                                                                    size_t n_threads) {
  return collect(path, &delimiter, predicates, n_predicates, negate, n_threads, nullptr);
}

QUELTA_API ColumnarCollectContext* quelta_parallel_collect_columnar_with(const char* path,
                                                                         const Predicate* predicates,
                                                                         size_t n_predicates, int32_t negate,
                                                                         size_t n_threads,
                                                                         const ReadOptions* read) {
  return collect(path, nullptr, predicates, n_predicates, negate, n_threads, read);
}
}
