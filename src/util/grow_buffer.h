// Growable arrays that report allocation failure as a value. Capacity grows
// from c to c + c/2 + max(128 / sizeof(T), 1) until the need fits, in place
// when the heap block already has room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/error.h"
#include "platform/heap.h"
#include "platform/owned.h"

namespace quelta {

// Test switch: the most bytes any GrowBuffer may hold (SIZE_MAX by default).
void grow_buffer_set_byte_limit(size_t limit);
size_t grow_buffer_byte_limit();

template <typename T>
struct GrowBuffer {
  static_assert(std::is_trivially_copyable_v<T>, "GrowBuffer moves elements with memcpy");
  static constexpr size_t kStep = 128 / sizeof(T) > 0 ? 128 / sizeof(T) : 1;

  T* data = nullptr;
  size_t len = 0;
  size_t cap = 0;

  size_t size() const { return len; }
  bool empty() const { return len == 0; }
  T& operator[](size_t i) { return data[i]; }
  const T& operator[](size_t i) const { return data[i]; }
  T* begin() { return data; }
  T* end() { return data + len; }

  void clear() { len = 0; }

  // Makes room for at least need elements in total.
  [[nodiscard]] Error reserve(size_t need) {
    if (need <= cap) return Error::None;
    // No object may exceed PTRDIFF_MAX bytes; asking the heap for more is pointless.
    size_t max_bytes = grow_buffer_byte_limit();
    if (max_bytes > static_cast<size_t>(PTRDIFF_MAX)) max_bytes = static_cast<size_t>(PTRDIFF_MAX);
    size_t limit = max_bytes / sizeof(T);
    if (need > limit) return Error::OutOfMemory;
    size_t c = cap;
    while (c < need) {
      size_t step = c / 2 + kStep;
      c = c > limit - step ? limit : c + step;
    }
    if (data) {
      // Within the block's usable size this resizes in place; bytes past a
      // requested size are never touched.
      void* moved = platform::heap_realloc(data, c * sizeof(T));
      if (!moved) return Error::OutOfMemory;
      data = static_cast<T*>(moved);
    } else {
      data = static_cast<T*>(platform::heap_alloc(c * sizeof(T)));
      if (!data) return Error::OutOfMemory;
    }
    cap = c;
    return Error::None;
  }

  [[nodiscard]] Error append(const T* items, size_t n) {
    if (n > std::numeric_limits<size_t>::max() - len) return Error::OutOfMemory;
    if (Error e = reserve(len + n); failed(e)) return e;
    if (n) std::memcpy(data + len, items, n * sizeof(T));
    len += n;
    return Error::None;
  }

  [[nodiscard]] Error push(const T& item) {
    if (len == cap) {
      if (Error e = reserve(len + 1); failed(e)) return e;
    }
    data[len++] = item;
    return Error::None;
  }

  // Appends n copies of item.
  [[nodiscard]] Error fill(const T& item, size_t n) {
    if (n > std::numeric_limits<size_t>::max() - len) return Error::OutOfMemory;
    if (Error e = reserve(len + n); failed(e)) return e;
    for (size_t i = 0; i < n; ++i) data[len + i] = item;
    len += n;
    return Error::None;
  }

  // Shrinks the block to the length; keeps the larger block if that fails.
  void trim() {
    if (!data || len == cap) return;
    if (len == 0) {
      release();
      return;
    }
    void* shrunk = platform::heap_realloc(data, len * sizeof(T));
    if (shrunk) {
      data = static_cast<T*>(shrunk);
      cap = len;
    }
  }

  // Hands the block to the caller, leaving the buffer empty.
  T* take() {
    T* p = data;
    data = nullptr;
    len = cap = 0;
    return p;
  }

  void release() {
    platform::heap_free(data);
    data = nullptr;
    len = cap = 0;
  }
};

using ByteBuffer = GrowBuffer<uint8_t>;

// GrowBuffer's release as a function, for the owners of platform/owned.h.
template <typename T>
void grow_buffer_release(GrowBuffer<T>* buffer) {
  buffer->release();
}

// A buffer released when it goes out of scope, unless take() hands it on.
template <typename T>
using OwnedBuffer = platform::Owned<GrowBuffer<T>, grow_buffer_release<T>>;

}  // namespace quelta
