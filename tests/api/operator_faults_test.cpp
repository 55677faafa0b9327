// Allocation-failure sweeps over each operator that allocates: every failing
// allocation gives one of the operator's messages, leaks nothing and leaves
// the scanner closable; runs that get past it give the undisturbed result.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "api/operator_support.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

using Messages = std::set<std::string>;

// Rows of growing width and length, wider than the header, one with a doubled
// quote, so the scan, the row copies and the copy-out buffers all allocate.
std::string sweep_csv() {
  std::string text = "k,a,b\n";
  for (int i = 0; i < 24; ++i) {
    text += std::to_string((i * 7) % 11) + "," + std::string(static_cast<size_t>(i) * 3 + 1, 'x');
    if (i % 3 == 0) text += ",y";
    if (i % 5 == 4) text += ",\"q\"\"q\",extra";
    text += "\n";
  }
  return text;
}

// Sweeps one handle-returning operator call over a freshly opened scanner:
// a null handle carries a message from allowed (each of required, by default
// all of allowed, shows up over the sweep); a handle reads back as the result
// of an undisturbed run.
template <typename Ptr, typename Call, typename Read>
void sweep_call(const std::string& path, const ScanOptions* o, Call call, Read read, const Messages& allowed,
                const Messages& required = {}) {
  auto undisturbed = [&] {
    ScannerPtr s = open(path, o);
    Ptr ctx(call(s.get()));
    return read(ctx.get());
  };
  const auto expected = undisturbed();
  Messages seen;
  sweep_operator([&](FaultArm& fault) {
    ScannerPtr s = open(path, o);
    fault.arm();
    Ptr ctx(call(s.get()));
    std::string message = last_error();
    fault.disarm();
    if (ctx) {
      EXPECT_EQ(read(ctx.get()), expected);
      return false;
    }
    EXPECT_TRUE(allowed.count(message)) << "unexpected message: " << message;
    seen.insert(message);
    return true;
  });
  for (const std::string& m : required.empty() ? allowed : required)
    EXPECT_TRUE(seen.count(m)) << "never seen: " << m;
}

// Sweeps the row steps of a finished context: a failed step loses its row,
// every other step delivers the row at its position.
template <typename Make, typename Next>
void sweep_steps(Make make, Next next) {
  auto step = [&next](auto* ctx, Row* row) {
    const char** fields = nullptr;
    size_t n = 0;
    int32_t r = next(ctx, &fields, &n);
    if (r == 1) *row = to_row(fields, n);
    return r;
  };
  auto ctx = make();
  Rows expected;
  for (Row row; step(ctx.get(), &row) == 1;) expected.push_back(row);
  ctx.reset();
  ASSERT_GT(expected.size(), 10u);
  const Messages allowed = {"out of memory growing field buffers", "out of memory copying row"};
  Messages seen;
  sweep_operator([&](FaultArm& fault) {
    ctx = make();
    size_t position = 0;
    bool failed = false;
    fault.arm();
    for (Row row; int32_t r = step(ctx.get(), &row); ++position) {
      if (r < 0) {
        EXPECT_TRUE(allowed.count(last_error())) << last_error();
        seen.insert(last_error());
        failed = true;
      } else if (position < expected.size()) {
        EXPECT_EQ(row, expected[position]) << "position " << position;
      }
    }
    fault.disarm();
    ctx.reset();
    EXPECT_EQ(position, expected.size());
    return failed;
  });
  EXPECT_EQ(seen, allowed);
}

class OperatorFaults : public ::testing::Test {
 protected:
  TempDir dir;
  std::string csv = dir.write("sweep.csv", sweep_csv());
};
class TopkFaults : public OperatorFaults {};
class OrderByFaults : public OperatorFaults {};
class CollectFaults : public OperatorFaults {};
class ColumnarFaults : public OperatorFaults {};

TEST_F(TopkFaults, Topk) {
  sweep_call<TopkPtr>(
      csv, nullptr, [](Scanner* s) { return quelta_topk(s, 0, 6, 1); },
      [](TopkContext* c) { return drain(c); },
      {"topk failed: OutOfMemory", "out of memory allocating topk context"});
}

TEST_F(TopkFaults, TopkNext) {
  sweep_steps(
      [&] {
        ScannerPtr s = open(csv);
        return TopkPtr(quelta_topk(s.get(), 0, 100, 0));
      },
      [](TopkContext* ctx, const char*** fields, size_t* n) {
        return quelta_topk_next(ctx, fields, n, nullptr);
      });
}

TEST_F(OrderByFaults, OrderBy) {
  // A projection wider than the rows: the scan's projected row allocates too.
  const size_t projection[] = {1, 0, 3, 4, 2};
  ScanOptions o = options(projection, 5);
  sweep_call<OrderByPtr>(
      csv, &o, [](Scanner* s) { return quelta_order_by(s, 1, 1); },
      [](OrderByContext* c) { return drain(c); },
      {"order_by failed: OutOfMemory", "out of memory allocating order_by context"});
}

TEST_F(OrderByFaults, OrderByNext) {
  sweep_steps(
      [&] {
        ScannerPtr s = open(csv);
        return OrderByPtr(quelta_order_by(s.get(), 1, 0));
      },
      quelta_order_by_next);
}

TEST_F(CollectFaults, Collect) {
  std::string jsonl;
  for (int i = 0; i < 24; ++i)
    jsonl.append("{\"k\":\"")
        .append(std::to_string(i))
        .append("\",\"v\":\"a\\tb")
        .append(static_cast<size_t>(i) * 4, 'z')
        .append("\"}\n");
  for (const std::string& path : {csv, dir.write("sweep.jsonl", jsonl)}) {
    SCOPED_TRACE(path);
    // The scan's own buffers may fail too: "collect failed: OutOfMemory".
    sweep_call<CollectPtr>(path, nullptr, quelta_collect, strings,
                           {"out of memory allocating collect context", "out of memory collecting rows",
                            "collect failed: OutOfMemory"},
                           {"out of memory allocating collect context", "out of memory collecting rows"});
  }
}

TEST_F(ColumnarFaults, CollectColumnar) {
  auto columns = [](ColumnarCollectContext* ctx) {
    std::vector<std::vector<std::string>> out;
    for (size_t c = 0; c < quelta_collect_columnar_n_cols(ctx); ++c) out.push_back(column(ctx, c));
    return out;
  };
  // The second file is long enough for the columns to be sized for the whole
  // input part-way through, which is one more allocation that can fail.
  std::string rows = "k,v\n";
  for (int i = 0; i < 9000; ++i)
    rows.append(std::to_string(i)).append(",v").append(std::to_string(i % 7)).append("\n");
  TempDir dir;
  for (const std::string& path : {csv, dir.write("long.csv", rows)}) {
    SCOPED_TRACE(path);
    sweep_call<ColumnarPtr>(
        path, nullptr, quelta_collect_columnar, columns,
        {"out of memory allocating columnar collect context", "out of memory collecting rows",
         "collect failed: OutOfMemory"},
        {"out of memory allocating columnar collect context", "out of memory collecting rows"});
  }
}

}  // namespace
}  // namespace quelta::test::ops
