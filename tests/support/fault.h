// Sweeps allocation failures over an operation: run it with the 1st, 2nd, ...
// allocation failing until a run completes without reaching the switch.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/heap.h"

namespace quelta::test {

// op() runs the operation with a failure armed and returns true when it
// reported the failure. Each run must leave no block allocated.
template <typename Op>
void sweep_allocation_failures(Op op, uint64_t max_runs = 10000) {
  for (uint64_t n = 1; n <= max_runs; ++n) {
    int64_t live = platform::heap_live_blocks();
    uint64_t before = platform::heap_alloc_count();
    platform::heap_fail_at(n);
    bool reported = op();
    bool reached = platform::heap_alloc_count() - before >= n;
    platform::heap_fail_at(0);
    EXPECT_EQ(platform::heap_live_blocks(), live) << "leak with allocation " << n << " failing";
    if (!reached) {
      EXPECT_FALSE(reported) << "failure reported although allocation " << n << " never happened";
      return;
    }
    EXPECT_TRUE(reported) << "allocation " << n << " failed silently";
  }
  ADD_FAILURE() << "sweep did not finish";
}

}  // namespace quelta::test
