// The owners of platform/owned.h and util/grow_buffer.h: each frees exactly
// what it still owns when it goes out of scope, nothing it handed on, and asks
// the heap no more often than the code it replaces. The heap's live-block
// count is the oracle.
#include "platform/owned.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "platform/heap.h"
#include "util/grow_buffer.h"

namespace quelta::platform {
namespace {

// A record of two blocks whose release function frees both and counts its calls.
struct TwoBlocks {
  void* a = nullptr;
  void* b = nullptr;
};
int g_releases = 0;
void release_two(TwoBlocks* r) {
  ++g_releases;
  heap_free(r->a);
  heap_free(r->b);
  *r = TwoBlocks{};
}
TwoBlocks make_two() { return TwoBlocks{heap_alloc(8), heap_alloc(16)}; }

TEST(Owned, HeapArrayAllocatesOnceAndFreesUnlessReleased) {
  struct Case {
    const char* name;
    size_t n;
    uint64_t fail_at;  // 0: the heap gives
    bool overflow;     // the size overflows: no allocation is attempted
  };
  const Case cases[] = {
      {"some", 100, 0, false},
      {"none", 0, 0, false},
      {"refused", 100, 1, false},
      {"overflow", SIZE_MAX / 2, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t live = heap_live_blocks();
    const uint64_t asked = heap_alloc_count();
    heap_fail_at(c.fail_at);
    {
      auto block = HeapArray<uint32_t>::allocate(c.n);
      heap_fail_at(0);
      EXPECT_EQ(heap_alloc_count() - asked, c.overflow ? 0u : 1u);
      const bool given = c.fail_at == 0 && !c.overflow;
      ASSERT_EQ(static_cast<bool>(block), given);
      if (given) {
        for (size_t i = 0; i < c.n; ++i) block[i] = static_cast<uint32_t>(i);
        EXPECT_EQ(heap_live_blocks(), live + 1);
        // A move hands the block on; the emptied owner frees nothing.
        HeapArray<uint32_t> moved = std::move(block);
        EXPECT_FALSE(block);
        if (c.n) {
          EXPECT_EQ(moved[c.n - 1], c.n - 1);
        }
        EXPECT_EQ(heap_live_blocks(), live + 1);
      }
    }
    EXPECT_EQ(heap_live_blocks(), live);
  }
  // release() hands the block to the caller.
  const int64_t live = heap_live_blocks();
  uint32_t* kept = nullptr;
  {
    auto block = HeapArray<uint32_t>::allocate(4);
    kept = block.release();
  }
  EXPECT_EQ(heap_live_blocks(), live + 1);
  heap_free(kept);
  EXPECT_EQ(heap_live_blocks(), live);
}

TEST(Owned, OwnedPtrReleasesOnceUnlessHandedOn) {
  const int64_t live = heap_live_blocks();
  g_releases = 0;
  TwoBlocks dropped = make_two(), kept = make_two(), moved = make_two();
  {
    OwnedPtr<TwoBlocks, release_two> none;  // owns nothing: its release is not called
    OwnedPtr<TwoBlocks, release_two> drop(&dropped);
    OwnedPtr<TwoBlocks, release_two> keep(&kept);
    EXPECT_EQ(keep.release(), &kept);
    OwnedPtr<TwoBlocks, release_two> from(&moved);
    OwnedPtr<TwoBlocks, release_two> to = std::move(from);
    EXPECT_FALSE(from);
    EXPECT_EQ(to.get(), &moved);
  }
  EXPECT_EQ(g_releases, 2);
  EXPECT_EQ(dropped.a, nullptr);
  EXPECT_EQ(moved.a, nullptr);
  EXPECT_NE(kept.a, nullptr);
  EXPECT_EQ(heap_live_blocks(), live + 2);
  release_two(&kept);
  EXPECT_EQ(heap_live_blocks(), live);

  // Assigning over an owner releases what it held first.
  TwoBlocks first = make_two(), second = make_two();
  {
    OwnedPtr<TwoBlocks, release_two> owner(&first);
    owner = OwnedPtr<TwoBlocks, release_two>(&second);
    EXPECT_EQ(first.a, nullptr);
    EXPECT_EQ(heap_live_blocks(), live + 2);
  }
  EXPECT_EQ(heap_live_blocks(), live);
}

TEST(Owned, OwnedRecordTakenOrReleased) {
  const int64_t live = heap_live_blocks();
  {
    Owned<TwoBlocks, release_two> given(make_two());
    EXPECT_NE(given->a, nullptr);
  }
  EXPECT_EQ(heap_live_blocks(), live);
  TwoBlocks taken;
  {
    Owned<TwoBlocks, release_two> given(make_two());
    taken = given.take();
    EXPECT_EQ(given->a, nullptr);
  }
  EXPECT_EQ(heap_live_blocks(), live + 2);
  release_two(&taken);

  // A buffer grown in place of a bare GrowBuffer is freed with its owner.
  uint8_t* handed = nullptr;
  {
    OwnedBuffer<uint8_t> dropped, kept;
    ASSERT_EQ(dropped->fill('x', 1000), Error::None);
    ASSERT_EQ(kept->fill('y', 10), Error::None);
    handed = kept.take().data;
  }
  EXPECT_EQ(heap_live_blocks(), live + 1);
  heap_free(handed);
  EXPECT_EQ(heap_live_blocks(), live);
}

}  // namespace
}  // namespace quelta::platform
