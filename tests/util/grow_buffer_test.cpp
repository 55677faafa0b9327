// Growth, in-place growth, failure reporting and the byte limit of GrowBuffer.
#include "util/grow_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quelta {
namespace {

TEST(GrowBuffer, GrowthRule) {
  GrowBuffer<uint64_t> b;
  ASSERT_EQ(b.reserve(1), Error::None);
  EXPECT_EQ(b.cap, 16u);  // 0 + 0 + 128 / 8
  size_t before = b.cap;
  ASSERT_EQ(b.reserve(before + 1), Error::None);
  EXPECT_GE(b.cap, before + before / 2 + 16);
  for (uint64_t i = 0; i < 10000; ++i) ASSERT_EQ(b.push(i), Error::None);
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
