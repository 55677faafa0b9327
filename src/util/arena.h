// A bump allocator over a chain of heap blocks: many small, long-lived pieces
// (copied names, value texts, small arrays) released together in one call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelta {

struct Arena {
  struct Block;
  Block* head = nullptr;  // the block being filled; older blocks follow it
  // Blocks double from 4 KiB up to this size. Arenas that hold a whole file's
  // rows raise it, so their blocks reach the heap's huge-page size.
  size_t max_block = size_t{1} << 20;
};

// n bytes aligned to align (a power of two, at most alignof(max_align_t)), or
// null when the heap refuses. A request of 0 bytes still gives a valid pointer.
void* arena_alloc(Arena* arena, size_t n, size_t align = alignof(std::max_align_t));

// A copy of p[0..n) in the arena, or null when the heap refuses. The empty text
// gives a valid (non-null) pointer.
uint8_t* arena_copy(Arena* arena, const uint8_t* p, size_t n);

template <typename T>
T* arena_array(Arena* arena, size_t n) {
  if (n > SIZE_MAX / sizeof(T)) return nullptr;
  return static_cast<T*>(arena_alloc(arena, n * sizeof(T), alignof(T)));
}

// Frees every block; safe on an arena that never allocated or was released.
void arena_release(Arena* arena);

}  // namespace quelta
