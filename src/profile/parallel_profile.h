// The profile pass on several threads. The calling thread reads the matching
// rows and copies them into a ring of blocks; every thread, the calling one
// included when the ring is full, profiles whole columns of the blocks read so
// far. A column goes through the blocks in row order, on one thread at a time,
// so each column's profile is exactly the one a single pass makes, whatever
// the number of threads.
#pragma once

#include <cstddef>

#include "platform/error.h"
#include "profile/profile.h"
#include "scan/scan_state.h"

namespace quelta {

// profile_scan on up to n_threads threads in all (0: one per processor). When
// the system refuses a thread, the threads that started do the work.
Error profile_scan_parallel(ScanState* s, FileProfile* out, size_t n_threads);

}  // namespace quelta
