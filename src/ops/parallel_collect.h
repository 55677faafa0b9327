// Parallel columnar collect: a whole CSV or JSON-lines file split into byte
// ranges that end at line ends, each range parsed on its own thread into its
// own region of the result's columns, and the regions closed up in file order
// into one columnar context. A JSON file that is one top-level array is read
// on the calling thread instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/buffered_reader.h"
#include "input/read_settings.h"
#include "ops/columnar.h"
#include "platform/file.h"
#include "quelta.h"

namespace quelta {

enum class ParallelFailure : uint8_t {
  None,
  NoMemoryForPredicates,
  NoMemoryForInValues,
  Scan,                // open, read, header, thread start, worker or merge: see the condition
  NoMemoryForContext,  // the result context itself
};

// Collects every column of path. n_threads 0 means one per processor.
ColumnarCollectContext* parallel_collect_columnar(const char* path, uint8_t delimiter,
                                                  const Predicate* predicates, size_t n_predicates,
                                                  bool negate, size_t n_threads, ParallelFailure* failure,
                                                  Error* condition, const ReadSettings& read = {});

// The position just after the first '\n' at or after offset, or size when
// there is none. Reads a 64 KiB window, doubling it while no line end shows.
Error find_next_line_start(platform::File file, uint64_t offset, uint64_t size, uint64_t* out);

// The same when quotes span lines: the position just after the first record
// end at or after offset, framing records from record_start (a record start
// at or before offset).
Error find_next_record_start(platform::File file, uint64_t record_start, uint64_t offset, uint64_t size,
                             uint8_t delimiter, uint64_t* out);
// The same from position from, where the framing is in state framing.
Error find_record_start_from(platform::File file, uint64_t from, QuotedFraming framing, uint64_t offset,
                             uint64_t size, uint8_t delimiter, uint64_t* out);

}  // namespace quelta
