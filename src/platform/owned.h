// Move-only owners of what the platform heap gives out, so that a failure path
// inside the library is a plain return: whatever is still owned when the owner
// goes out of scope is released, whatever was handed on (release()) is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
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

// n objects of type T in one heap block, built in place and destroyed and
// freed with it. Elements of a trivial type are left uninitialised, so the
// pages of a large array are not touched until something is written there
// (and so belong to the thread that writes them first).
template <typename T>
class HeapArray {
 public:
  HeapArray() = default;
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  HeapArray(HeapArray&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)), n_(std::exchange(other.n_, 0)) {}
  HeapArray& operator=(HeapArray&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
      n_ = std::exchange(other.n_, 0);
    }
    return *this;
  }
  ~HeapArray() { reset(); }

  // One heap allocation of n elements; an empty array when the heap refuses,
  // when the size overflows, or when n is 0 (which allocates nothing).
  static HeapArray make(size_t n) {
    HeapArray a;
    if (n == 0 || n > SIZE_MAX / sizeof(T)) return a;
    if (void* block = heap_alloc(n * sizeof(T))) {
      a.ptr_ = static_cast<T*>(block);
      for (size_t i = 0; i < n; ++i) new (a.ptr_ + i) T;
      a.n_ = n;
    }
    return a;
  }

  // Resizes to n elements, in place when the block allows, keeping the first
  // min(size(), n); new elements are uninitialised. False, with the array
  // unchanged, when the heap refuses or the size overflows.
  [[nodiscard]] bool resize(size_t n) requires std::is_trivially_copyable_v<T> {
    if (n == 0 || n > SIZE_MAX / sizeof(T)) return false;
    void* block = heap_realloc(ptr_, n * sizeof(T));
    if (!block) return false;
    ptr_ = static_cast<T*>(block);
    n_ = n;
    return true;
  }

  explicit operator bool() const { return ptr_ != nullptr; }
  T* get() const { return ptr_; }
  size_t size() const { return n_; }
  T& operator[](size_t i) const { return ptr_[i]; }
  T* begin() const { return ptr_; }
  T* end() const { return ptr_ + n_; }

  // Hands the block on (its elements are not destroyed): the caller now frees it.
  [[nodiscard]] T* release() {
    n_ = 0;
    return std::exchange(ptr_, nullptr);
  }

  void reset() {
    if (T* p = std::exchange(ptr_, nullptr)) {
      for (size_t i = n_; i-- > 0;) p[i].~T();
      heap_free(p);
    }
    n_ = 0;
  }

 private:
  T* ptr_ = nullptr;
  size_t n_ = 0;
};

}  // namespace quelta::platform
