// The in-place stable sort: order and stability against std::stable_sort at
// sizes that run the insertion runs, the scratch merges and the rotation
// merges; and, for comparisons that are no order at all, that every entry
// survives exactly once.
#include "ops/stable_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ops/order_by.h"
#include "ops/row_copy.h"

namespace quelta {
namespace {

struct Entry {
  int key;
  uint32_t id;  // position before sorting
};

std::vector<size_t> sizes() {
  std::vector<size_t> out;
  for (size_t n = 0; n <= 20; ++n) out.push_back(n);
  for (size_t n : {511, 512, 513, 1000, 1100, 2047, 2048, 2049, 2600, 4097, 5000, 20000}) out.push_back(n);
  return out;
}

std::vector<Entry> random_entries(size_t n, uint64_t distinct, std::mt19937_64& rng) {
  std::vector<Entry> a(n);
  for (size_t i = 0; i < n; ++i) a[i] = Entry{static_cast<int>(rng() % distinct), static_cast<uint32_t>(i)};
  return a;
}

template <typename T, typename Id>
void expect_permutation(const std::vector<T>& a, Id id) {
  std::vector<bool> seen(a.size());
  for (const T& e : a) {
    size_t i = id(e);
    ASSERT_LT(i, a.size());
    ASSERT_FALSE(seen[i]) << "entry " << i << " twice";
    seen[i] = true;
  }
}

// The same order with the merges' prefetch hooks switched on.
struct PrefetchingLess {
  bool descending;
  bool operator()(const Entry& x, const Entry& y) const { return descending ? x.key > y.key : x.key < y.key; }
  void prefetch_far(const Entry& e) const { __builtin_prefetch(&e.key); }
};

TEST(StableSort, MatchesStdStableSort) {
  std::mt19937_64 rng(20240611);
  for (size_t n : sizes()) {
    for (uint64_t distinct : {uint64_t{1}, uint64_t{3}, n / 8 + 2, uint64_t{1} << 30}) {
      for (bool descending : {false, true}) {
        SCOPED_TRACE(std::string("n ") + std::to_string(n) + " distinct " + std::to_string(distinct));
        auto less = [descending](const Entry& x, const Entry& y) {
          return descending ? x.key > y.key : x.key < y.key;
        };
        std::vector<Entry> a = random_entries(n, distinct, rng);
        std::vector<Entry> expected = a;
        std::stable_sort(expected.begin(), expected.end(), less);
        std::vector<Entry> b = a;
        stable_sort(a.data(), a.size(), less);
        stable_sort(b.data(), b.size(), PrefetchingLess{descending});
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(a[i].id, expected[i].id) << "position " << i;
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(b[i].id, expected[i].id) << "prefetching, position " << i;
      }
    }
  }
}

TEST(StableSort, ArbitraryAnswersKeepEveryEntryOnce) {
  std::mt19937_64 rng(7);
  auto id = [](const Entry& e) { return e.id; };
  for (size_t n : sizes()) {
    SCOPED_TRACE(n);
    std::vector<Entry> a = random_entries(n, 5, rng);
    stable_sort(a.data(), n, [&rng](const Entry&, const Entry&) { return (rng() & 1) != 0; });
    expect_permutation(a, id);
    stable_sort(a.data(), n, [](const Entry&, const Entry&) { return true; });
    expect_permutation(a, id);
    // A comparison that never says less leaves the order alone.
    std::vector<Entry> before = a;
    stable_sort(a.data(), n, [](const Entry&, const Entry&) { return false; });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(a[i].id, before[i].id);
  }
}

// Under the order-by comparison: numbers alone and texts alone are ordered and
// must match std::stable_sort; mixed keys (2 < 10 < 1a < 2) need only stay a
// permutation. Column 3 is beyond every row: all keys equal.
TEST(StableSort, OrderByComparison) {
  const std::vector<std::string> numbers = {"2",    "2.0",   "10",       "-0",        "0",         "1e2",
                                            "0x10", "-7.5",  "3",        "+3",        ".5",        "5.",
                                            "-.25", "1_000", "99999999", "999999.99", "0.0000001", "12.50"};
  const std::vector<std::string> texts = {"", "a", "B", "b", "ab", "inf", "nan", "9x", "\xff"};
  const std::vector<std::string> mixed = [&] {
    std::vector<std::string> m = numbers;
    m.insert(m.end(), texts.begin(), texts.end());
    m.push_back("1a");
    return m;
  }();
  std::mt19937_64 rng(99);
  for (size_t n : sizes()) {
    std::vector<FieldView> fields(n);  // row i's single field; its address identifies the row
    auto id = [&fields](const RowCopy& r) { return static_cast<size_t>(r.fields - fields.data()); };
    for (const auto* pool : {&numbers, &texts, &mixed}) {
      for (size_t column : {0u, 3u}) {
        for (bool descending : {false, true}) {
          SCOPED_TRACE(std::string("n ") + std::to_string(n) + (descending ? " descending" : " ascending"));
          std::vector<RowCopy> rows(n);
          for (size_t i = 0; i < n; ++i) {
            const std::string& key = (*pool)[rng() % pool->size()];
            fields[i] = FieldView{reinterpret_cast<const uint8_t*>(key.data()), key.size()};
            rows[i] = RowCopy{&fields[i], 1};
          }
          auto less = [&](const RowCopy& a, const RowCopy& b) {
            return order_by_before(a, b, column, descending);
          };
          std::vector<RowCopy> expected = rows;
          stable_sort(rows.data(), n, less);
          expect_permutation(rows, id);
          if (pool == &mixed && column == 0) continue;
          std::stable_sort(expected.begin(), expected.end(), less);
          for (size_t i = 0; i < n; ++i) ASSERT_EQ(id(rows[i]), id(expected[i])) << "position " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quelta

namespace quelta {
namespace {

// Every 0/1 input of four to eight entries: by the 0-1 principle this proves
// each network sorts, and the ids prove equal entries keep their order.
TEST(StableSort, NetworksSortEveryBinaryInputStably) {
  struct Entry {
    int key;
    int id;
  };
  auto less = [](const Entry& a, const Entry& b) { return a.key < b.key; };
  for (size_t n = 4; n <= 8; ++n) {
    for (unsigned bits = 0; bits < (1u << n); ++bits) {
      Entry e[8];
      for (size_t i = 0; i < n; ++i) e[i] = Entry{static_cast<int>(bits >> i & 1), static_cast<int>(i)};
      stable_sort(e, n, less);
      for (size_t i = 1; i < n; ++i) {
        ASSERT_LE(e[i - 1].key, e[i].key) << "n " << n << " input " << bits;
        if (e[i - 1].key == e[i].key) {
          ASSERT_LT(e[i - 1].id, e[i].id) << "n " << n << " input " << bits;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quelta
