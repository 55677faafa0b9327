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
  explicit Owned(T value) : value_(std::move(value)) {}
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

// A block of n elements of a type with nothing to destroy (hash slots, a
// text, entries whose parts are freed elsewhere), freed with the owner. Empty
// when the allocation failed.
template <typename T>
class HeapArray {
  static_assert(std::is_trivially_destructible_v<T>, "HeapArray frees its block without destroying elements");

 public:
  HeapArray() = default;
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  HeapArray(HeapArray&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  HeapArray& operator=(HeapArray&& other) noexcept {
    if (this != &other) {
      heap_free(ptr_);
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~HeapArray() { heap_free(ptr_); }

  // One heap allocation of n uninitialised elements; an empty array, without
  // asking the heap, when the size overflows.
  static HeapArray allocate(size_t n) {
    HeapArray array;
    if (n <= SIZE_MAX / sizeof(T)) array.ptr_ = static_cast<T*>(heap_alloc(n * sizeof(T)));
    return array;
  }

  // Resizes the block to n elements, in place when the heap allows, keeping
  // the first elements that fit; elements past the old size are
  // uninitialised. False, with the block unchanged, when the heap refuses or
  // the size overflows.
  [[nodiscard]] bool resize(size_t n) requires std::is_trivially_copyable_v<T> {
    if (n == 0 || n > SIZE_MAX / sizeof(T)) return false;
    void* block = heap_realloc(ptr_, n * sizeof(T));
    if (!block) return false;
    ptr_ = static_cast<T*>(block);
    return true;
  }

  explicit operator bool() const { return ptr_ != nullptr; }
  T* get() const { return ptr_; }
  T& operator[](size_t i) const { return ptr_[i]; }

  // Hands the block on: the caller now frees it.
  [[nodiscard]] T* release() { return std::exchange(ptr_, nullptr); }

 private:
  T* ptr_ = nullptr;
};

// n objects of type T built in place in one heap block (each default
// initialised), destroyed and freed with the owner: for records that own
// parts of their own.
template <typename T>
class ObjectArray {
 public:
  ObjectArray() = default;
  ObjectArray(const ObjectArray&) = delete;
  ObjectArray& operator=(const ObjectArray&) = delete;
  ObjectArray(ObjectArray&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)), n_(std::exchange(other.n_, 0)) {}
  ObjectArray& operator=(ObjectArray&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
      n_ = std::exchange(other.n_, 0);
    }
    return *this;
  }
  ~ObjectArray() { reset(); }

  // One heap allocation of n objects; an empty array when the heap refuses,
  // when the size overflows, or when n is 0 (which allocates nothing).
  static ObjectArray make(size_t n) {
    ObjectArray a;
    if (n == 0 || n > SIZE_MAX / sizeof(T)) return a;
    if (void* block = heap_alloc(n * sizeof(T))) {
      a.ptr_ = static_cast<T*>(block);
      for (size_t i = 0; i < n; ++i) new (a.ptr_ + i) T;
      a.n_ = n;
    }
    return a;
  }

  explicit operator bool() const { return ptr_ != nullptr; }
  T* get() const { return ptr_; }
  size_t size() const { return n_; }
  T& operator[](size_t i) const { return ptr_[i]; }
  T* begin() const { return ptr_; }
  T* end() const { return ptr_ + n_; }

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

// A handle, or a record someone else holds, that Release(p) frees (the whole
// handle, or the record's parts) unless release() hands it on first: for a
// function whose failure must leave nothing of what it was building. Owns
// nothing when null.
template <typename T, void (*Release)(T*)>
class OwnedPtr {
 public:
  OwnedPtr() = default;
  explicit OwnedPtr(T* p) : ptr_(p) {}
  OwnedPtr(const OwnedPtr&) = delete;
  OwnedPtr& operator=(const OwnedPtr&) = delete;
  OwnedPtr(OwnedPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  OwnedPtr& operator=(OwnedPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~OwnedPtr() { reset(); }

  explicit operator bool() const { return ptr_ != nullptr; }
  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }

  // Hands the handle or record on: whoever holds it now releases it.
  [[nodiscard]] T* release() { return std::exchange(ptr_, nullptr); }

  void reset() {
    if (T* p = std::exchange(ptr_, nullptr)) Release(p);
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace quelta::platform
