// Helpers shared by the operator API tests: owning handles, option records,
// operator results read back as strings, and an allocation-failure sweep that
// arms the fault switch around the operator call alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quelta.h"
#include "support/fault.h"

namespace quelta::test::ops {

template <typename T, void (*Close)(T*)>
struct Closer {
  void operator()(T* p) const { Close(p); }
};
using ScannerPtr = std::unique_ptr<Scanner, Closer<Scanner, quelta_close>>;
using TopkPtr = std::unique_ptr<TopkContext, Closer<TopkContext, quelta_topk_close>>;
using OrderByPtr = std::unique_ptr<OrderByContext, Closer<OrderByContext, quelta_order_by_close>>;
using CollectPtr = std::unique_ptr<CollectContext, Closer<CollectContext, quelta_collect_close>>;
using ColumnarPtr =
    std::unique_ptr<ColumnarCollectContext, Closer<ColumnarCollectContext, quelta_collect_columnar_close>>;

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

inline std::string last_error() {
  const char* m = quelta_last_error();
  return m ? std::string(m) : std::string("<none>");
}

// No predicates, every column; the projection array must outlive the scanner.
inline ScanOptions options(const size_t* projection = nullptr, size_t n_projection = 0, int64_t limit = -1) {
  ScanOptions o{};
  o.projection = projection;
  o.n_projection = n_projection;
  o.limit = limit;
  o.max_column = -1;
  return o;
}

inline ScannerPtr open(const std::string& path, const ScanOptions* o = nullptr) {
  Scanner* s = quelta_open(path.c_str(), o);
  EXPECT_NE(s, nullptr) << path << ": " << last_error();
  return ScannerPtr(s);
}

inline Row to_row(const char** fields, size_t n) {
  Row row;
  for (size_t i = 0; i < n; ++i) row.emplace_back(fields[i]);
  return row;
}

// Every remaining top-k row; keys go to *keys when given.
inline Rows drain(TopkContext* ctx, std::vector<double>* keys = nullptr) {
  Rows rows;
  const char** fields = nullptr;
  size_t n = 0;
  double key = 0;
  while (quelta_topk_next(ctx, &fields, &n, &key) == 1) {
    rows.push_back(to_row(fields, n));
    if (keys) keys->push_back(key);
  }
  return rows;
}

inline Rows drain(OrderByContext* ctx) {
  Rows rows;
  const char** fields = nullptr;
  size_t n = 0;
  while (quelta_order_by_next(ctx, &fields, &n) == 1) rows.push_back(to_row(fields, n));
  return rows;
}

// The collect buffer split at its NUL bytes.
inline std::vector<std::string> strings(CollectContext* ctx) {
  size_t len = 0;
  const char* p = quelta_collect_data(ctx, &len);
  std::vector<std::string> out;
  if (len && p[len - 1] != '\0') {
    ADD_FAILURE() << "buffer does not end in NUL";
    return out;
  }
  for (size_t i = 0; i < len; i += out.back().size() + 1) out.emplace_back(p + i);
  return out;
}

// One column's values, after checking its offsets against its data.
inline std::vector<std::string> column(ColumnarCollectContext* ctx, size_t c) {
  size_t len = 0, count = 0;
  const uint8_t* data = quelta_collect_columnar_data(ctx, c, &len);
  const uint32_t* off = quelta_collect_columnar_offsets(ctx, c, &count);
  std::vector<std::string> out;
  if (!off) {
    ADD_FAILURE() << "no offsets for column " << c;
    return out;
  }
  EXPECT_EQ(count, quelta_collect_columnar_n_rows(ctx) + 1);
  EXPECT_EQ(off[0], 0u);
  EXPECT_EQ(off[count - 1], len);
  EXPECT_EQ(data == nullptr, len == 0);
  for (size_t r = 0; r + 1 < count; ++r) {
    EXPECT_LE(off[r], off[r + 1]);
    out.emplace_back(reinterpret_cast<const char*>(data) + off[r], off[r + 1] - off[r]);
  }
  return out;
}

// Arms the fault switch around one operator call; disarm() notes whether the
// failing allocation was reached.
struct FaultArm {
  uint64_t n = 0, start = 0;
  bool reached = false;
  void arm() {
    start = platform::heap_alloc_count();
    platform::heap_fail_at(n);
  }
  void disarm() {
    reached = platform::heap_alloc_count() - start >= n;
    platform::heap_fail_at(0);
  }
};

// As sweep_allocation_failures, but only what op brackets with arm() and
// disarm() runs armed, so its setup (opening the scanner, building a context)
// never fails. op releases everything and says whether a failure was reported.
template <typename Op>
void sweep_operator(Op op, uint64_t max_runs = 10000) {
  for (uint64_t n = 1; n <= max_runs; ++n) {
    int64_t live = platform::heap_live_blocks();
    FaultArm fault{n};
    bool reported = op(fault);
    platform::heap_fail_at(0);
    EXPECT_EQ(platform::heap_live_blocks(), live) << "leak with allocation " << n << " failing";
    if (!fault.reached) {
      EXPECT_FALSE(reported) << "failure reported although allocation " << n << " never happened";
      return;
    }
    EXPECT_TRUE(reported) << "allocation " << n << " failed silently";
  }
  ADD_FAILURE() << "sweep did not finish";
}

}  // namespace quelta::test::ops
