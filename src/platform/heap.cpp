// The C runtime heap behind a fault switch for tests.
#include "platform/heap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace quelta::platform {
namespace {

std::atomic<uint64_t> g_alloc_count{0};
std::atomic<uint64_t> g_fail_at{0};  // absolute allocation number that fails; 0 = never
std::atomic<int64_t> g_live{0};
std::atomic<bool> g_huge_pages{true};

// Counts the attempt and says whether the fault switch claims it.
bool injected_failure() {
  uint64_t n = g_alloc_count.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t target = g_fail_at.load(std::memory_order_relaxed);
  return target != 0 && n == target;
}

// Asks for huge pages over the pages of a large block. The advice only marks
// the mapping; a page the block shares with a neighbour is harmless to include,
// and a refusal (no huge page support) changes nothing, so it is not an error.
void advise_huge_pages(void* block, size_t size) {
  if (size < kHugePageBlock || !g_huge_pages.load(std::memory_order_relaxed)) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t begin = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

void* heap_alloc(size_t size) {
  if (injected_failure()) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p) {
    g_live.fetch_add(1, std::memory_order_relaxed);
    advise_huge_pages(p, size);
  }
  return p;
}

void* heap_realloc(void* block, size_t size) {
  if (!block) return heap_alloc(size);
  // A size the block can already hold is a resize in place, never an
  // allocation, so the fault switch leaves it alone.
  if (size > malloc_usable_size(block) && injected_failure()) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void heap_free(void* block) {
  if (!block) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

size_t heap_usable_size(void* block) { return block ? malloc_usable_size(block) : 0; }

void heap_discard(void* block, size_t from, size_t to) {
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (!block || from >= to) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + from + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + to) & ~(page - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

void heap_use_huge_pages(bool on) { g_huge_pages.store(on, std::memory_order_relaxed); }

void heap_fail_at(uint64_t n) {
  g_fail_at.store(n == 0 ? 0 : g_alloc_count.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

uint64_t heap_alloc_count() { return g_alloc_count.load(std::memory_order_relaxed); }

int64_t heap_live_blocks() { return g_live.load(std::memory_order_relaxed); }

}  // namespace quelta::platform
