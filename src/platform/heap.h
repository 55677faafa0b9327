// The heap every allocation of the library goes through, with a switch that
// lets tests make the Nth allocation fail and a count of live blocks. Blocks
// allocated with kHugePageBlock bytes or more ask for transparent huge pages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelta::platform {

// Blocks allocated this large or larger are advised to use 2 MiB pages: their
// first touch then costs one fault per 2 MiB instead of one per 4 KiB. Smaller
// blocks gain little (a huge page needs a 2 MiB aligned stretch inside the
// block). Blocks that reach this size by growing are left alone: the kernel
// moves a growing block to any 4 KiB boundary, which splits its huge pages
// again, and the partly filled last huge page of every growing buffer stays
// resident in full (measured: more peak memory, no faster).
constexpr size_t kHugePageBlock = size_t{4} << 20;

void* heap_alloc(size_t size);
// Like realloc: on failure returns null and leaves the old block untouched. A
// size within heap_usable_size(block) resizes in place and cannot fail.
void* heap_realloc(void* block, size_t size);
void heap_free(void* block);
// Bytes the block can hold without moving (at least what was asked for).
size_t heap_usable_size(void* block);
// Gives the whole pages inside block[from..to) back to the system: they stop
// counting as resident and read as zero if touched again. For a block that is
// being emptied on its way to heap_free, so its memory goes as it is consumed.
void heap_discard(void* block, size_t from, size_t to);

// Test switch: the n-th allocation from now (1 = the next one) fails, as do
// none after it. 0 switches failure off.
void heap_fail_at(uint64_t n);
// Switches the huge-page advice on (the default) or off, so benchmarks can
// measure both in one run.
void heap_use_huge_pages(bool on);

// Allocations attempted since the process started (successful or not).
uint64_t heap_alloc_count();
// Blocks allocated and not yet freed.
int64_t heap_live_blocks();

}  // namespace quelta::platform
