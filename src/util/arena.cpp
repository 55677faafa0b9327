// Block chaining and bump allocation for Arena.
#include "util/arena.h"

#include <cstring>

#include "platform/heap.h"

namespace quelta {

struct Arena::Block {
  Block* next;
  size_t size;  // bytes of payload after the header
  size_t used;
};

namespace {

constexpr size_t kFirstBlock = 4096;
constexpr size_t kHeader =
    (sizeof(Arena::Block) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

uint8_t* payload(Arena::Block* b) { return reinterpret_cast<uint8_t*>(b) + kHeader; }

}  // namespace

void* arena_alloc(Arena* arena, size_t n, size_t align) {
  if (align == 0 || align > alignof(std::max_align_t)) align = alignof(std::max_align_t);
  if (Arena::Block* b = arena->head) {
    size_t start = (b->used + align - 1) & ~(align - 1);
    if (start <= b->size && n <= b->size - start) {
      b->used = start + n;
      return payload(b) + start;
    }
  }
  // Blocks double up to max_block; a larger request gets a block of its own.
  size_t size = arena->head ? arena->head->size * 2 : kFirstBlock;
  if (size > arena->max_block) size = arena->max_block;
  if (size < n) size = n;
  if (size > SIZE_MAX - kHeader) return nullptr;
  auto* b = static_cast<Arena::Block*>(platform::heap_alloc(kHeader + size));
  if (!b) return nullptr;
  b->size = size;
  b->used = n;
  if (arena->head && size == n && arena->head->size - arena->head->used > 64) {
    // Keep filling the current block; the exact-size block only holds this request.
    b->next = arena->head->next;
    arena->head->next = b;
  } else {
    b->next = arena->head;
    arena->head = b;
  }
  return payload(b);
}

uint8_t* arena_copy(Arena* arena, const uint8_t* p, size_t n) {
  auto* dst = static_cast<uint8_t*>(arena_alloc(arena, n, 1));
  if (dst && n) std::memcpy(dst, p, n);
  return dst;
}

void arena_release(Arena* arena) {
  for (Arena::Block* b = arena->head; b;) {
    Arena::Block* next = b->next;
    platform::heap_free(b);
    b = next;
  }
  arena->head = nullptr;
}

}  // namespace quelta
