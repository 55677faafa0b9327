// Growth, in-place growth, failure reporting and the byte limit of GrowBuffer.
#include "util/grow_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quelta {
namespace {

TEST(GrowBuffer, CapacityIsAlwaysRequestedFromTheHeap) {
  // Every element up to cap lies inside what was asked of the heap, so filling
  // to capacity never touches a byte past a requested size (ASan checks the
  // requested size, not the usable one).
  GrowBuffer<uint64_t> b;
  for (uint64_t i = 0; i < 10000; ++i) {
    ASSERT_EQ(b.push(i), Error::None);
    ASSERT_GE(platform::heap_usable_size(b.data), b.cap * sizeof(uint64_t));
  }
  for (size_t i = b.len; i < b.cap; ++i) b[i] = i;
  for (uint64_t i = 0; i < 10000; ++i) ASSERT_EQ(b[i], i);
  b.release();
  EXPECT_EQ(b.data, nullptr);
}

TEST(GrowBuffer, FailureKeepsContents) {
  ByteBuffer b;
  ASSERT_EQ(b.append(reinterpret_cast<const uint8_t*>("abc"), 3), Error::None);
  platform::heap_fail_at(1);
  Error e = b.reserve(b.cap + 100000);
  platform::heap_fail_at(0);
  EXPECT_EQ(e, Error::OutOfMemory);
  ASSERT_EQ(b.len, 3u);
  EXPECT_EQ(std::memcmp(b.data, "abc", 3), 0);
  b.release();
}

TEST(GrowBuffer, ByteLimitAndOverflow) {
  grow_buffer_set_byte_limit(1000);
  ByteBuffer b;
  EXPECT_EQ(b.reserve(1000), Error::None);
  EXPECT_EQ(b.reserve(1001), Error::OutOfMemory);
  EXPECT_LE(b.cap, 1000u);
  grow_buffer_set_byte_limit(SIZE_MAX);
  volatile size_t huge = SIZE_MAX;  // kept opaque so the compiler does not fold the copy
  EXPECT_EQ(b.append(b.data, huge), Error::OutOfMemory);
  GrowBuffer<uint64_t> big;
  EXPECT_EQ(big.reserve(SIZE_MAX / 4), Error::OutOfMemory);  // more elements than bytes can address
  b.release();
}

TEST(GrowBuffer, TrimAndTake) {
  ByteBuffer b;
  ASSERT_EQ(b.fill('x', 1000), Error::None);
  b.len = 10;
  b.trim();
  EXPECT_EQ(b.cap, 10u);
  uint8_t* p = b.take();
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(p[9], 'x');
  platform::heap_free(p);
}

}  // namespace
}  // namespace quelta
