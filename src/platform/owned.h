// Move-only owners of what the platform heap gives out, so that a failure path
// inside the library is a plain return: whatever is still owned when the owner
// goes out of scope is released, whatever was handed on (release()) is not.
#pragma once

#include <new>
#include <utility>

#include "platform/heap.h"

namespace quelta::platform {

// One object of type T built in a heap block of its own; destroyed and freed
// with it. Empty when the allocation failed.
template <typename T>
class HeapBox {
 public:
  HeapBox() = default;
  HeapBox(const HeapBox&) = delete;
  HeapBox& operator=(const HeapBox&) = delete;
  HeapBox(HeapBox&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  HeapBox& operator=(HeapBox&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~HeapBox() { reset(); }

  // One heap allocation, then T(args...) in it; an empty box when the heap refuses.
  template <typename... Args>
  static HeapBox make(Args&&... args) {
    HeapBox box;
    if (void* block = heap_alloc(sizeof(T))) box.ptr_ = new (block) T(std::forward<Args>(args)...);
    return box;
  }

  explicit operator bool() const { return ptr_ != nullptr; }
  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T& operator*() const { return *ptr_; }

  // Hands the object on: the caller now destroys and frees it.
  [[nodiscard]] T* release() { return std::exchange(ptr_, nullptr); }

  void reset() {
    if (T* p = std::exchange(ptr_, nullptr)) {
      p->~T();
      heap_free(p);
    }
  }

 private:
  T* ptr_ = nullptr;
};

// A record of type T whose parts are freed by Release(&record), the record's
// own release function (safe on a partly built or empty record). Owns the
// record until take() moves it out.
template <typename T, void (*Release)(T*)>
class Owned {
 public:
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Release(&value_); }

  T* get() { return &value_; }
  T* operator->() { return &value_; }

  // The record, leaving this owner empty (a value-initialised T).
  [[nodiscard]] T take() { return std::exchange(value_, T{}); }

 private:
  T value_{};
};

}  // namespace quelta::platform
