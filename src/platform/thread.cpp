// pthreads behind the platform thread interface.
#include "platform/thread.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>

#include "platform/file.h"
#include "platform/heap.h"
#include "platform/owned.h"

namespace quelta::platform {
namespace {

std::atomic<uint64_t> g_start_count{0};
std::atomic<uint64_t> g_fail_at{0};  // absolute start number that is refused; 0 = never

struct Start {
  ThreadMain fn;
  void* arg;
};

void* trampoline(void* p) {
  Start s = *static_cast<Start*>(p);
  heap_free(p);
  s.fn(s.arg);
  return nullptr;
}

}  // namespace

Error thread_start(Thread* t, size_t stack_size, ThreadMain fn, void* arg) {
  t->started = false;
  uint64_t number = g_start_count.fetch_add(1, std::memory_order_relaxed) + 1;
  if (number == g_fail_at.load(std::memory_order_relaxed)) return Error::Unexpected;
  // The new thread frees its start record; until it runs, the record is ours.
  auto start = HeapBox<Start>::make(Start{fn, arg});
  if (!start) return Error::OutOfMemory;

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return Error::SystemResources;
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t min_stack = static_cast<size_t>(PTHREAD_STACK_MIN);
  size_t size = stack_size < min_stack ? min_stack : stack_size;
  size = (size + page - 1) / page * page;
  int rc = pthread_attr_setstacksize(&attr, size);
  pthread_t handle;
  if (rc == 0) rc = pthread_create(&handle, &attr, trampoline, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    if (rc == EAGAIN) return Error::ThreadQuotaExceeded;
    if (rc == ENOMEM) return Error::SystemResources;
    return Error::Unexpected;
  }
  (void)start.release();
  t->handle = handle;
  t->started = true;
  return Error::None;
}

void thread_join(Thread* t) {
  if (!t->started) return;
  pthread_join(static_cast<pthread_t>(t->handle), nullptr);
  t->started = false;
}

void thread_fail_at(uint64_t n) {
  g_fail_at.store(n == 0 ? 0 : g_start_count.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

size_t processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 1;
}

}  // namespace quelta::platform
