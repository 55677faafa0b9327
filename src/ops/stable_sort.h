// A stable in-place sort that takes no heap memory: sorting networks on runs
// of up to eight entries, then bottom-up merges through a fixed 512-entry scratch area on the
// stack, and rotation merges when both runs are larger than the scratch.
// It only moves entries within the array and terminates whatever the
// comparison answers, so a comparison that is not transitive (mixed number
// and text keys) still yields a permutation of the input.
//
// A comparison whose entries point at their keys can offer a prefetch hook,
// prefetch_far(entry), that fetches an entry's key. The merges call it some
// entries ahead in each run, so keys arrive before they are compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace quelta {

namespace sort_detail {

constexpr size_t kScratch = 512;
constexpr size_t kRun = 8;
// Entries sorted as one block before the wide merges: a power of two times kRun.
constexpr size_t kCacheBlock = 2048;
// How far ahead in a run keys are fetched. Each run advances about every
// second step of a merge, so this is some 16 steps of lead.
constexpr size_t kFarAhead = 8;

template <typename Less, typename T>
concept Prefetching = requires(Less& less, const T& entry) {
  less.prefetch_far(entry);
};

template <typename T>
inline void swap_entries(T& a, T& b) {
  T t = a;
  a = b;
  b = t;
}

// Compare-exchange pairs of optimal sorting networks for 4 to 8 entries.
struct Network {
  uint8_t size;
  uint8_t pairs[19][2];
};
constexpr Network kNetworks[5] = {
    {5, {{0, 1}, {2, 3}, {0, 2}, {1, 3}, {1, 2}}},
    {9, {{0, 1}, {3, 4}, {2, 4}, {2, 3}, {0, 3}, {0, 2}, {1, 4}, {1, 3}, {1, 2}}},
    {12, {{1, 2}, {4, 5}, {0, 2}, {3, 5}, {0, 1}, {3, 4}, {2, 5}, {0, 3}, {1, 4}, {2, 4}, {1, 3}, {2, 3}}},
    {16,
     {{1, 2},
      {3, 4},
      {5, 6},
      {0, 2},
      {3, 5},
      {4, 6},
      {0, 1},
      {4, 5},
      {2, 6},
      {0, 4},
      {1, 5},
      {0, 3},
      {2, 5},
      {1, 3},
      {2, 4},
      {2, 3}}},
    {19,
     {{0, 2},
      {1, 3},
      {4, 6},
      {5, 7},
      {0, 4},
      {1, 5},
      {2, 6},
      {3, 7},
      {0, 1},
      {2, 3},
      {4, 5},
      {6, 7},
      {2, 4},
      {3, 5},
      {1, 4},
      {3, 6},
      {1, 2},
      {3, 4},
      {5, 6}}},
};

// Sorts 4 to 8 entries with a network. Each entry carries its incoming
// position, and equal entries are ordered by it, which keeps the network stable.
template <typename T, typename Less>
void network_sort(T* a, size_t n, Less& less) {
  struct Tagged {
    T value;
    size_t position;
  } t[8];
  for (size_t i = 0; i < n; ++i) t[i] = Tagged{a[i], i};
  const Network& net = kNetworks[n - 4];
  for (size_t k = 0; k < net.size; ++k) {
    Tagged& x = t[net.pairs[k][0]];
    Tagged& y = t[net.pairs[k][1]];
    if (less(y.value, x.value) || (!less(x.value, y.value) && y.position < x.position)) swap_entries(x, y);
  }
  for (size_t i = 0; i < n; ++i) a[i] = t[i].value;
}

// Two or three entries: compare-and-swap of neighbours (0-1, 1-2, 0-1).
template <typename T, typename Less>
void small_sort(T* a, size_t n, Less& less) {
  if (n >= 4) {
    network_sort(a, n, less);
    return;
  }
  if (n < 2) return;
  if (less(a[1], a[0])) swap_entries(a[0], a[1]);
  if (n == 3) {
    if (less(a[2], a[1])) swap_entries(a[1], a[2]);
    if (less(a[1], a[0])) swap_entries(a[0], a[1]);
  }
}

template <typename T>
void reverse(T* a, size_t n) {
  for (size_t i = 0, j = n; i + 1 < j; ++i, --j) swap_entries(a[i], a[j - 1]);
}

// Moves a[mid..n) in front of a[0..mid).
template <typename T>
void rotate(T* a, size_t mid, size_t n) {
  if (mid == 0 || mid == n) return;
  reverse(a, mid);
  reverse(a + mid, n - mid);
  reverse(a, n);
}

// First position in a[0..n) whose entry x is not less than... i.e. where x
// would go before equal entries (lower bound) or after them (upper bound).
template <typename T, typename Less>
size_t lower_bound(const T* a, size_t n, const T& x, Less& less) {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (less(a[mid], x))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

template <typename T, typename Less>
size_t upper_bound(const T* a, size_t n, const T& x, Less& less) {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (less(x, a[mid]))
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

// Merges the sorted runs a[0..n1) and a[n1..n1+n2).
template <typename T, typename Less>
void merge(T* a, size_t n1, size_t n2, Less& less, T* scratch) {
  for (;;) {
    if (n1 == 0 || n2 == 0 || !less(a[n1], a[n1 - 1])) return;
    if (n1 <= kScratch) {
      // Forward merge with the left run in scratch: a right entry goes first only when strictly less.
      std::memcpy(static_cast<void*>(scratch), a, n1 * sizeof(T));
      size_t i = 0, j = n1, k = 0, end = n1 + n2;
      if constexpr (Prefetching<Less, T>) {
        for (size_t d = 0; d < kFarAhead; ++d) {
          if (d < n1) less.prefetch_far(scratch[d]);
          if (d < n2) less.prefetch_far(a[n1 + d]);
        }
        // Without a branch on the comparison, whose outcome is a coin toss:
        // the entry and the run to fetch ahead in are selected.
        while (i < n1 && j < end) {
          const bool right = less(a[j], scratch[i]);
          const T* from = right ? &a[j] : &scratch[i];
          a[k++] = *from;
          j += right;
          i += !right;
          const T* run = right ? a : scratch;
          const size_t at = (right ? j : i) + kFarAhead;
          if (at < (right ? end : n1)) less.prefetch_far(run[at]);
        }
      } else {
        while (i < n1 && j < end) a[k++] = less(a[j], scratch[i]) ? a[j++] : scratch[i++];
      }
      while (i < n1) a[k++] = scratch[i++];
      return;
    }
    if (n2 <= kScratch) {
      // Backward merge with the right run in scratch: a left entry goes last only when strictly greater.
      std::memcpy(static_cast<void*>(scratch), a + n1, n2 * sizeof(T));
      size_t i = n1, j = n2, k = n1 + n2;
      if constexpr (Prefetching<Less, T>) {
        for (size_t d = 1; d <= kFarAhead; ++d) {
          if (d <= n1) less.prefetch_far(a[n1 - d]);
          if (d <= n2) less.prefetch_far(scratch[n2 - d]);
        }
        while (i > 0 && j > 0) {
          const bool left = less(scratch[j - 1], a[i - 1]);
          const T* from = left ? &a[i - 1] : &scratch[j - 1];
          a[--k] = *from;
          i -= left;
          j -= !left;
          const T* run = left ? a : scratch;
          const size_t at = left ? i : j;
          if (at > kFarAhead) less.prefetch_far(run[at - 1 - kFarAhead]);
        }
      } else {
        while (i > 0 && j > 0) a[--k] = less(scratch[j - 1], a[i - 1]) ? a[--i] : scratch[--j];
      }
      while (j > 0) a[--k] = scratch[--j];
      return;
    }
    // Both runs exceed the scratch: split around a pivot and rotate. Each
    // part is strictly smaller than the whole, so this ends for any comparison.
    size_t cut1, cut2;
    if (n1 > n2) {
      cut1 = n1 / 2;
      cut2 = lower_bound(a + n1, n2, a[cut1], less);
    } else {
      cut2 = n2 / 2;
      cut1 = upper_bound(a, n1, a[n1 + cut2], less);
    }
    rotate(a + cut1, n1 - cut1, n1 - cut1 + cut2);
    size_t left1 = cut1, left2 = cut2;
    size_t right1 = n1 - cut1, right2 = n2 - cut2;
    T* right = a + cut1 + cut2;
    // Recurse on the smaller part, continue with the larger one.
    if (left1 + left2 < right1 + right2) {
      merge(a, left1, left2, less, scratch);
      a = right;
      n1 = right1;
      n2 = right2;
    } else {
      merge(right, right1, right2, less, scratch);
      n1 = left1;
      n2 = left2;
    }
  }
}

}  // namespace sort_detail

// Sorts a[0..n) so that less(a[j], a[i]) is false for i < j when less is a
// strict weak order; equal entries keep their order.
template <typename T, typename Less>
void stable_sort(T* a, size_t n, Less less) {
  static_assert(std::is_trivially_copyable_v<T>, "entries are moved with memcpy");
  using namespace sort_detail;
  alignas(T) unsigned char storage[kScratch * sizeof(T)];
  T* scratch = reinterpret_cast<T*>(storage);
  // The merges of one width over [0, n), from width `from` up to (not including) `to`.
  auto merge_widths = [&](T* base, size_t count, size_t from, size_t to) {
    for (size_t width = from; width < count && width < to; width *= 2) {
      for (size_t lo = 0; lo + width < count; lo += 2 * width) {
        size_t n2 = count - lo - width < width ? count - lo - width : width;
        merge(base + lo, width, n2, less, scratch);
      }
    }
  };
  // Each block is sorted through all its narrow widths at once, while what its
  // entries point to is still in cache; the merges are the same as width by
  // width over the whole array, only done in another order.
  for (size_t base = 0; base < n; base += kCacheBlock) {
    size_t count = n - base < kCacheBlock ? n - base : kCacheBlock;
    for (size_t i = 0; i < count; i += kRun)
      small_sort(a + base + i, count - i < kRun ? count - i : kRun, less);
    merge_widths(a + base, count, kRun, kCacheBlock);
  }
  merge_widths(a, n, kCacheBlock, SIZE_MAX);
}

}  // namespace quelta
