// Threads with a chosen stack size, and the processor count of the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace quelta::platform {

struct Thread {
  unsigned long handle = 0;
  bool started = false;
};

using ThreadMain = void (*)(void* arg);

// Starts fn(arg) on a new thread with the given stack size (rounded up to what
// the system accepts).
Error thread_start(Thread* t, size_t stack_size, ThreadMain fn, void* arg);
// Waits without time-out for a started thread and releases it.
void thread_join(Thread* t);
// Test switch: the n-th thread start from now (1 = the next one) is refused
// as the platform would refuse it (Unexpected). 0 switches refusal off.
void thread_fail_at(uint64_t n);

// Processors this process may run on (its affinity mask); at least 1.
size_t processor_count();

}  // namespace quelta::platform
