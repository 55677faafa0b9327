// The byte limit switch shared by every GrowBuffer.
#include "util/grow_buffer.h"

#include <atomic>

namespace quelta {
namespace {
std::atomic<size_t> g_byte_limit{std::numeric_limits<size_t>::max()};
}

void grow_buffer_set_byte_limit(size_t limit) { g_byte_limit.store(limit, std::memory_order_relaxed); }
size_t grow_buffer_byte_limit() { return g_byte_limit.load(std::memory_order_relaxed); }

}  // namespace quelta
