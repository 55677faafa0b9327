// Fuzzes the public interface end to end. The input becomes a file (CSV or JSON
// rows, by its first byte) and a plan: scan options, a mix of quelta_next,
// quelta_count and quelta_next_batch, then one operator. A second scanner with
// the same options, read one row per batch, gives the reference that every
// answer is checked against. Optionally one allocation of the plan fails; it
// must then be reported. In every case everything must be released again.
// Last, the parallel columnar collect of the same file with the plan's
// predicates is compared with the single-threaded columnar collect wherever
// both read the file alike, and the profile on several threads with the
// one-pass profile under the plan's scan options; for CSV both again with
// quotes that span lines.
//
// Input: 20 plan bytes (see read_plan), then the file's text.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/decimal.h"
#include "input/decompress.h"
#include "platform/heap.h"
#include "quelta.h"

namespace {

constexpr size_t kMaxFileSize = 300000;  // past the first 256 KiB chunk
// A compressed input with more rows than this is skipped: a few bytes of it
// may stand for millions of rows.
constexpr size_t kMaxCompressedEvents = 20000;
const char* const kSuffixes[4] = {".csv", ".jsonl", ".json", ".ndjson"};
const char* const kValues[16] = {"",  "0",   "1", "1.0", "10",  "-1",  "2.5",  "a",
                                 "b", "abc", "x", "1e5", "inf", "nan", "0x10", "9x"};

std::string g_dir;

enum class Step : uint8_t { Next, NextNoOut, Batch, Count };
enum class Op : uint8_t { None, Aggregate, Topk, OrderBy, Collect, Columnar };

struct Plan {
  int format = 0;
  bool array_framing = false;  // JSON whose first byte other than white space is '['

  size_t repeat = 1;
  std::vector<size_t> projection;
  std::vector<std::vector<const char*>> in_lists;
  std::vector<Predicate> predicates;
  ScanOptions options{};
  std::vector<Step> steps;
  size_t max_rows = 1, max_bytes = 1;
  Op op = Op::None;
  size_t column = 0, k = 0;
  bool descending = false;
  bool fault = false;
  size_t fault_at = 0;  // 0: opening; 1..steps: that step; then the operator, then its first row
  uint64_t fault_n = 1;
};

Plan read_plan(fuzz::Choices& in) {
  Plan p;
  uint8_t b = in.byte();
  p.format = b & 3;
  p.repeat = (b >> 2) < 58 ? 1 : size_t{1} << ((b >> 2) - 52);  // 64 .. 2048 copies
  const uint8_t flags = in.byte();
  const uint8_t proj[3] = {in.byte(), in.byte(), in.byte()};
  for (size_t i = 0; i < (flags & 3u); ++i) p.projection.push_back(proj[i] & 7);
  const uint8_t bounds = in.byte();
  const size_t n_predicates = flags >> 5 & 3;
  p.in_lists.reserve(3);
  for (size_t i = 0; i < 3; ++i) {
    const uint8_t a = in.byte(), v = in.byte();
    if (i >= n_predicates) continue;
    Predicate pr{};
    pr.column = a & 7;
    pr.op = (a >> 3 & 7) == 7 ? 42 : a >> 3 & 7;
    pr.value = kValues[v & 15];
    p.in_lists.emplace_back();
    for (size_t j = 0; j < (v >> 4 & 3u); ++j) p.in_lists.back().push_back(kValues[(v * 7u + j * 5u) & 15]);
    pr.in_values = p.in_lists.back().data();
    pr.n_in_values = p.in_lists.back().size();
    p.predicates.push_back(pr);
  }
  p.options.projection = p.projection.empty() ? nullptr : p.projection.data();
  p.options.n_projection = p.projection.size();
  p.options.predicates = p.predicates.empty() ? nullptr : p.predicates.data();
  p.options.n_predicates = p.predicates.size();
  p.options.negate = flags & 4 ? 1 : 0;
  p.options.limit = flags & 8 ? bounds & 15 : -1;
  p.options.max_column = flags & 16 ? bounds >> 4 & 7 : -1;
  p.fault = flags & 128;

  const uint8_t shape = in.byte();
  const uint8_t kinds[3] = {in.byte(), in.byte(), in.byte()};
  for (size_t i = 0; i < (shape & 7u); ++i)
    p.steps.push_back(static_cast<Step>(kinds[i / 4] >> (2 * (i % 4)) & 3));
  p.op = static_cast<Op>((shape >> 3 & 7) % 6);
  const uint8_t batch = in.byte();
  p.max_rows = (batch & 7) == 7 ? 65536 : 1 + (batch & 7);
  static constexpr size_t kBudgets[4] = {1, 16, 200, SIZE_MAX};
  p.max_bytes = kBudgets[batch >> 3 & 3];
  const uint8_t op = in.byte();
  p.column = op & 7;
  p.descending = op & 8;
  p.k = op >> 4;
  p.fault_at = in.byte() % (p.steps.size() + 4);
  p.fault_n = 1 + in.byte();
  return p;
}

// ---- the reference ---------------------------------------------------------------

struct Event {
  bool is_row = false;
  std::vector<std::string> fields;
  std::string text;       // the row as a batch writes it
  std::string condition;  // for a failed step
  int64_t offset = -1;    // where it failed, when known
};

std::string condition_of(const char* message) {
  const char* colon = message ? std::strstr(message, "failed: ") : nullptr;
  return colon ? std::string(colon + 8) : std::string();
}

std::string c_string(const std::string& s) { return s.substr(0, s.find('\0')); }

// Every row and failure of a, one batch each. A plain file ends within
// max_events; a compressed one may hold far more than its size and is cut
// there (*cut set), to be skipped as too large to compare.
std::vector<Event> read_reference(Scanner* a, size_t max_events, bool compressed, bool* cut) {
  std::vector<Event> events;
  for (;;) {
    if (compressed && events.size() > max_events) {
      *cut = true;
      return events;
    }
    FUZZ_CHECK(events.size() <= max_events, "reading did not end after %zu events", events.size());
    Batch* batch = nullptr;
    const int32_t r = quelta_next_batch(a, 1, SIZE_MAX, &batch);
    const char* message = quelta_last_error();
    if (r == 0) {
      FUZZ_CHECK(!batch && !message, "end of rows with a batch or a message");
      return events;
    }
    Event ev;
    if (r < 0) {
      FUZZ_CHECK(!batch && message, "a failed batch without its message");
      ev.condition = condition_of(message);
      FUZZ_CHECK(!ev.condition.empty(), "message '%s'", message);
      // A scan that reads on after a failure moves past it: the same failure
      // at the same place again would repeat for ever.
      QueltaErrorDetail detail{};
      detail.size = sizeof detail;
      if (quelta_last_error_detail(&detail) == 1 && detail.offset >= 0) {
        ev.offset = detail.offset;
        const Event* last = events.empty() ? nullptr : &events.back();
        FUZZ_CHECK(!last || last->is_row || last->condition != ev.condition || last->offset != ev.offset,
                   "%s again at offset %lld", ev.condition.c_str(), static_cast<long long>(ev.offset));
      }
      events.push_back(ev);
      continue;
    }
    FUZZ_CHECK(r == 1 && batch && !message);
    size_t len = 0;
    const char* json = quelta_batch_json(batch, &len);
    const std::string text(json, len);
    quelta_batch_free(batch);
    std::vector<fuzz::DecodedRow> rows;
    FUZZ_CHECK(fuzz::read_batch(text, &rows) && rows.size() == 1, "batch text '%s'",
               fuzz::escaped(text).c_str());
    ev.is_row = true;
    ev.fields = rows[0].fields;
    ev.text = text.substr(1, text.size() - 2);
    events.push_back(ev);
  }
}

// ---- the plan, checked against the reference ------------------------------------------

bool numeric(const std::string& s, double* v) {
  return quelta::parse_finite(reinterpret_cast<const uint8_t*>(s.data()), s.size(), v);
}

const std::string& key_of(const std::vector<std::string>& row, size_t column) {
  static const std::string empty;
  return column < row.size() ? row[column] : empty;
}

struct Run {
  const Plan& plan;
  const std::vector<Event>& events;
  size_t pos = 0;      // the reference event the scanner under test is at
  bool synced = true;  // false once a failure leaves the position unknown
  bool armed = false;  // one allocation set to fail in the current (or last) call
  uint64_t armed_at = 0;

  bool at_end() const { return pos >= events.size(); }

  void arm(size_t index) {
    armed = plan.fault && plan.fault_at == index;
    if (!armed) return;
    armed_at = quelta::platform::heap_alloc_count();
    quelta::platform::heap_fail_at(plan.fault_n);
  }
  void disarm() {
    if (armed) quelta::platform::heap_fail_at(0);
  }
  // Whether the allocation set to fail has been reached.
  bool fired() const { return armed && quelta::platform::heap_alloc_count() - armed_at >= plan.fault_n; }

  // An injected failure leaves the position unknown.
  void failed_step(const char* message) {
    FUZZ_CHECK(message, "a failed step without a message");
    if (fired()) synced = false;
  }

  void next(Scanner* s, bool with_outputs) {
    const char** fields = nullptr;
    size_t count = 0;
    const int32_t r = with_outputs ? quelta_next(s, &fields, &count) : quelta_next(s, nullptr, nullptr);
    const char* message = quelta_last_error();
    if (r < 0) failed_step(message);
    if (r < 0 && !synced) return;
    if (!synced) {
      FUZZ_CHECK(r == 0 || r == 1);
      return;
    }
    if (at_end()) {
      FUZZ_CHECK(r == 0 && !message, "next gave %d after the last row", r);
      return;
    }
    const Event& ev = events[pos++];
    if (!ev.is_row) {
      FUZZ_CHECK(r == -1 && condition_of(message) == ev.condition, "next gave %d (%s), want a failure %s", r,
                 message ? message : "", ev.condition.c_str());
      FUZZ_CHECK(std::strncmp(message, "next failed: ", 13) == 0, "message '%s'", message);
      return;
    }
    FUZZ_CHECK(r == 1 && !message, "next gave %d (%s), want a row", r, message ? message : "");
    if (!with_outputs) return;
    FUZZ_CHECK(count == ev.fields.size(), "next: %zu fields, want %zu", count, ev.fields.size());
    for (size_t i = 0; i < count; ++i)
      FUZZ_CHECK(fields[i] && c_string(ev.fields[i]) == fields[i], "next: field %zu is '%s', want '%s'", i,
                 fuzz::escaped(fields[i] ? fields[i] : "(null)").c_str(),
                 fuzz::escaped(ev.fields[i]).c_str());
  }

  void batch(Scanner* s) {
    Batch* out = nullptr;
    const int32_t r = quelta_next_batch(s, plan.max_rows, plan.max_bytes, &out);
    const char* message = quelta_last_error();
    std::string text;
    if (r == 1) {
      FUZZ_CHECK(out && !message);
      size_t len = 0;
      const char* json = quelta_batch_json(out, &len);
      text.assign(json, len);
      quelta_batch_free(out);
      std::vector<fuzz::DecodedRow> rows;
      FUZZ_CHECK(fuzz::read_batch(text, &rows), "batch text '%s'", fuzz::escaped(text).c_str());
    } else {
      FUZZ_CHECK(!out, "batch result %d with a batch", r);
    }
    if (r < 0) failed_step(message);
    if (!synced) return;

    // What the batch must be: rows up to max_rows, stopping once the text
    // reaches max_bytes; a failing row fails the whole batch.
    std::string want = "[";
    size_t rows = 0, p = pos;
    while (rows < plan.max_rows && p < events.size()) {
      const Event& ev = events[p++];
      if (!ev.is_row) {
        FUZZ_CHECK(r == -1 && condition_of(message) == ev.condition, "batch gave %d (%s), want failure %s", r,
                   message ? message : "", ev.condition.c_str());
        pos = p;
        return;
      }
      if (rows++ > 0) want += ',';
      want += ev.text;
      if (want.size() >= plan.max_bytes) break;
    }
    pos = p;
    if (rows == 0) {
      FUZZ_CHECK(r == 0 && !message, "batch gave %d at the end", r);
      return;
    }
    want += ']';
    FUZZ_CHECK(r == 1 && text == want, "batch gave %d\n  '%s'\nwant\n  '%s'", r, fuzz::escaped(text).c_str(),
               fuzz::escaped(want).c_str());
  }

  void count(Scanner* s) {
    const int64_t r = quelta_count(s);
    const char* message = quelta_last_error();
    if (r < 0) failed_step(message);
    if (!synced) return;
    const bool careful = plan.options.n_predicates > 0 || plan.options.negate || plan.options.limit >= 0;
    size_t rows = 0, errors = 0;
    for (size_t p = pos; p < events.size(); ++p) (events[p].is_row ? rows : errors)++;
    if (careful) {
      // Row by row: the first failing record ends the count.
      size_t counted = 0;
      for (; pos < events.size(); ++pos) {
        if (!events[pos].is_row) {
          FUZZ_CHECK(r == -1 && condition_of(message) == events[pos].condition,
                     "count gave %lld, want failure %s", static_cast<long long>(r),
                     events[pos].condition.c_str());
          ++pos;
          return;
        }
        ++counted;
      }
      FUZZ_CHECK(r == static_cast<int64_t>(counted) && !message, "count gave %lld, want %zu",
                 static_cast<long long>(r), counted);
      return;
    }
    // Counting records without reading them: a bad record still counts, and
    // only a JSON array can fail (a file ending inside an object).
    if (errors == 0 || !plan.array_framing || r >= 0)
      FUZZ_CHECK(r == static_cast<int64_t>(rows + errors), "fast count gave %lld, want %zu (%zu bad records)",
                 static_cast<long long>(r), rows + errors, errors);
    if (r < 0)
      synced = false;
    else
      pos = events.size();
  }

  // The rows an operator sees, or the failure it must report.
  bool remaining(std::vector<const Event*>* rows, std::string* failure) const {
    for (size_t p = pos; p < events.size(); ++p) {
      if (!events[p].is_row) {
        *failure = events[p].condition;
        return false;
      }
      rows->push_back(&events[p]);
    }
    return true;
  }

  void operator_result_failed(bool ok, const char* prefix, bool expect_ok, const std::string& failure) {
    const char* message = quelta_last_error();
    if (!ok) failed_step(message);
    if (!synced) return;
    if (!expect_ok) {
      FUZZ_CHECK(
          !ok && std::strncmp(message, prefix, std::strlen(prefix)) == 0 && condition_of(message) == failure,
          "operator gave '%s', want %s%s", message ? message : "(success)", prefix, failure.c_str());
      return;
    }
    FUZZ_CHECK(ok && !message, "operator failed: %s", message ? message : "");
  }

  void aggregate(Scanner* s) {
    std::vector<const Event*> rows;
    std::string failure;
    const bool expect_ok = remaining(&rows, &failure);
    AggregateResult got{};
    got.count = 777;
    const int32_t r = quelta_aggregate(s, plan.column, &got);
    operator_result_failed(r == 0, "aggregate failed: ", expect_ok, failure);
    if (r != 0) {
      FUZZ_CHECK(got.count == 777, "a failed aggregate wrote its result");
      return;
    }
    if (!synced) return;
    uint64_t count = 0;
    double sum = 0, min = 0, max = 0;
    for (const Event* ev : rows) {
      double v;
      if (plan.column >= ev->fields.size() || !numeric(ev->fields[plan.column], &v)) continue;
      if (count == 0) {
        min = max = v;
      } else {
        if (v < min) min = v;
        if (max < v) max = v;
      }
      ++count;
      sum += v;
    }
    const double mean = count ? sum / static_cast<double>(count) : 0.0;
    auto same = [](double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); };
    FUZZ_CHECK(
        got.count == count && same(got.sum, sum) && same(got.min, min) && same(got.max, max) &&
            same(got.mean, mean) && got.has_values == (count > 0),
        "aggregate: count %llu sum %a min %a max %a mean %a, want count %llu sum %a min %a max %a mean %a",
        static_cast<unsigned long long>(got.count), got.sum, got.min, got.max, got.mean,
        static_cast<unsigned long long>(count), sum, min, max, mean);
  }

  void topk(Scanner* s, size_t index) {
    std::vector<const Event*> rows;
    std::string failure;
    const bool expect_ok = remaining(&rows, &failure);
    arm(index);
    TopkContext* ctx = quelta_topk(s, plan.column, plan.k, plan.descending);
    disarm();
    operator_result_failed(ctx != nullptr, "topk failed: ", expect_ok, failure);
    if (!ctx) return;

    // The usable keys, best first; the delivered keys must be the first k of them.
    struct Usable {
      double key;
      const Event* row;
      bool used;
    };
    std::vector<Usable> usable;
    for (const Event* ev : rows) {
      double v;
      if (plan.column < ev->fields.size() && numeric(ev->fields[plan.column], &v))
        usable.push_back({v, ev, false});
    }
    std::stable_sort(usable.begin(), usable.end(), [this](const Usable& a, const Usable& b) {
      return plan.descending ? a.key > b.key : a.key < b.key;
    });
    const size_t want_count = std::min(plan.k, usable.size());
    for (size_t i = 0;; ++i) {
      const char** fields = nullptr;
      size_t n = 0;
      double key = 0;
      arm(i == 0 ? index + 1 : SIZE_MAX);
      const int32_t r = quelta_topk_next(ctx, &fields, &n, &key);
      disarm();
      if (r < 0) {
        FUZZ_CHECK(fired(), "topk_next failed: %s", quelta_last_error());
        failed_step(quelta_last_error());
        continue;  // the cursor moved on; the row is lost
      }
      if (!synced) {
        if (r == 0) break;
        continue;
      }
      if (i >= want_count) {
        FUZZ_CHECK(r == 0, "topk delivered %zu rows, want %zu", i + 1, want_count);
        FUZZ_CHECK(quelta_topk_next(ctx, &fields, &n, &key) == 0, "topk does not stay at its end");
        break;
      }
      FUZZ_CHECK(r == 1, "topk ended after %zu rows, want %zu", i, want_count);
      FUZZ_CHECK(std::bit_cast<uint64_t>(key) == std::bit_cast<uint64_t>(usable[i].key) ||
                     (key == 0 && usable[i].key == 0),
                 "topk row %zu has key %a, want %a", i, key, usable[i].key);
      bool found = false;
      for (Usable& u : usable) {
        if (u.used || u.key != key || u.row->fields.size() != n) continue;
        bool same = true;
        for (size_t f = 0; f < n && same; ++f) same = c_string(u.row->fields[f]) == fields[f];
        if (same) {
          u.used = found = true;
          break;
        }
      }
      FUZZ_CHECK(found, "topk row %zu (key %a) is none of the rows with that key", i, key);
    }
    quelta_topk_close(ctx);
  }

  void order_by(Scanner* s, size_t index) {
    std::vector<const Event*> rows;
    std::string failure;
    const bool expect_ok = remaining(&rows, &failure);
    arm(index);
    OrderByContext* ctx = quelta_order_by(s, plan.column, plan.descending);
    disarm();
    operator_result_failed(ctx != nullptr, "order_by failed: ", expect_ok, failure);
    if (!ctx) return;

    // With keys all numeric or all text the order is a strict weak one and the
    // stable sort's result is fixed; with a mix only the rows themselves are.
    size_t numbers = 0;
    for (const Event* ev : rows) {
      double v;
      numbers += numeric(key_of(ev->fields, plan.column), &v);
    }
    const bool fixed = numbers == 0 || numbers == rows.size();
    std::vector<const Event*> want = rows;
    std::stable_sort(want.begin(), want.end(), [this](const Event* a, const Event* b) {
      const std::string& ka = key_of(a->fields, plan.column);
      const std::string& kb = key_of(b->fields, plan.column);
      double x, y;
      if (numeric(ka, &x) && numeric(kb, &y)) return plan.descending ? x > y : x < y;
      return plan.descending ? ka > kb : ka < kb;
    });
    std::vector<std::vector<std::string>> got;
    for (size_t i = 0;; ++i) {
      const char** fields = nullptr;
      size_t n = 0;
      arm(i == 0 ? index + 1 : SIZE_MAX);
      const int32_t r = quelta_order_by_next(ctx, &fields, &n);
      disarm();
      if (r == 0) break;
      if (r < 0) {
        FUZZ_CHECK(fired(), "order_by_next failed: %s", quelta_last_error());
        failed_step(quelta_last_error());
        continue;
      }
      got.emplace_back(fields, fields + n);
      FUZZ_CHECK(got.size() <= rows.size() + 1, "order_by delivers too many rows");
    }
    if (synced) {
      FUZZ_CHECK(got.size() == want.size(), "order_by delivered %zu rows, want %zu", got.size(), want.size());
      std::vector<std::vector<std::string>> expected;
      for (const Event* ev : want) {
        expected.emplace_back();
        for (const std::string& f : ev->fields) expected.back().push_back(c_string(f));
      }
      if (!fixed) {
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
      }
      for (size_t i = 0; i < got.size(); ++i)
        FUZZ_CHECK(got[i] == expected[i], "order_by row %zu differs (%s)", i, fixed ? "sorted" : "as a set");
    }
    quelta_order_by_close(ctx);
  }

  void collect(Scanner* s, size_t index) {
    std::vector<const Event*> rows;
    std::string failure;
    const bool expect_ok = remaining(&rows, &failure);
    arm(index);
    CollectContext* ctx = quelta_collect(s);
    disarm();
    operator_result_failed(ctx != nullptr, "collect failed: ", expect_ok, failure);
    if (!ctx) return;
    size_t len = 12345;
    const char* data = quelta_collect_data(ctx, &len);
    FUZZ_CHECK((data == nullptr) == (len == 0), "collect data %p with length %zu",
               static_cast<const void*>(data), len);
    if (synced) {
      std::string want;
      for (const Event* ev : rows)
        for (const std::string& f : ev->fields) want += f + '\0';
      FUZZ_CHECK(std::string(data ? data : "", len) == want, "collect data differs");
      FUZZ_CHECK(quelta_collect_n_rows(ctx) == rows.size(), "collect n_rows");
      FUZZ_CHECK(quelta_collect_n_cols(ctx) == (rows.empty() ? 0 : rows[0]->fields.size()), "collect n_cols");
    }
    quelta_collect_close(ctx);
  }

  void columnar(Scanner* s, size_t index) {
    std::vector<const Event*> rows;
    std::string failure;
    const bool expect_ok = remaining(&rows, &failure);
    arm(index);
    ColumnarCollectContext* ctx = quelta_collect_columnar(s);
    disarm();
    operator_result_failed(ctx != nullptr, "collect failed: ", expect_ok, failure);
    if (!ctx) return;
    const size_t n_cols = quelta_collect_columnar_n_cols(ctx);
    const size_t n_rows = quelta_collect_columnar_n_rows(ctx);
    if (synced) {
      FUZZ_CHECK(n_rows == rows.size(), "columnar n_rows %zu, want %zu", n_rows, rows.size());
      FUZZ_CHECK(n_cols == (rows.empty() ? 0 : rows[0]->fields.size()), "columnar n_cols %zu", n_cols);
    }
    for (size_t c = 0; c <= n_cols; ++c) {
      size_t len = 12345, count = 12345;
      const uint8_t* data = quelta_collect_columnar_data(ctx, c, &len);
      const uint32_t* offsets = quelta_collect_columnar_offsets(ctx, c, &count);
      if (c == n_cols) {
        FUZZ_CHECK(!data && !offsets && len == 12345 && count == 12345, "accessors past the last column");
        break;
      }
      FUZZ_CHECK((data == nullptr) == (len == 0), "columnar data %zu: pointer and length disagree", c);
      FUZZ_CHECK(offsets && count == n_rows + 1 && offsets[0] == 0 && offsets[n_rows] == len,
                 "column %zu: %zu offsets for %zu rows", c, count, n_rows);
      for (size_t r = 0; r < n_rows; ++r)
        FUZZ_CHECK(offsets[r] <= offsets[r + 1], "column %zu offsets fall", c);
      if (!synced) continue;
      for (size_t r = 0; r < n_rows; ++r) {
        const std::string value(reinterpret_cast<const char*>(data) + offsets[r],
                                offsets[r + 1] - offsets[r]);
        FUZZ_CHECK(value == key_of(rows[r]->fields, c), "column %zu row %zu is '%s', want '%s'", c, r,
                   fuzz::escaped(value).c_str(), fuzz::escaped(key_of(rows[r]->fields, c)).c_str());
      }
    }
    quelta_collect_columnar_close(ctx);
  }
};

// ---- the parallel collect -------------------------------------------------------

struct ColumnarResult {
  bool ok = false;
  std::string message;
  size_t n_rows = 0, n_cols = 0;
  std::vector<std::vector<std::string>> columns;
};

ColumnarResult read_columnar(ColumnarCollectContext* ctx) {
  ColumnarResult r;
  r.message = quelta_last_error() ? quelta_last_error() : "";
  if (!ctx) return r;
  r.ok = true;
  r.n_rows = quelta_collect_columnar_n_rows(ctx);
  r.n_cols = quelta_collect_columnar_n_cols(ctx);
  for (size_t c = 0; c < r.n_cols; ++c) {
    size_t len = 0, count = 0;
    const uint8_t* data = quelta_collect_columnar_data(ctx, c, &len);
    const uint32_t* offsets = quelta_collect_columnar_offsets(ctx, c, &count);
    FUZZ_CHECK(offsets && count == r.n_rows + 1 && offsets[0] == 0 && offsets[r.n_rows] == len,
               "column %zu: %zu offsets for %zu rows", c, count, r.n_rows);
    r.columns.emplace_back();
    for (size_t row = 0; row < r.n_rows; ++row) {
      FUZZ_CHECK(offsets[row] <= offsets[row + 1], "column %zu offsets fall", c);
      r.columns.back().emplace_back(reinterpret_cast<const char*>(data) + offsets[row],
                                    offsets[row + 1] - offsets[row]);
    }
  }
  quelta_collect_columnar_close(ctx);
  return r;
}

ColumnarResult failed_open(const std::string& message) {
  ColumnarResult r;
  r.message = message;
  return r;
}

bool has_duplicate_names(Scanner* s) {
  std::vector<std::string> names;
  for (size_t i = 0; i < quelta_n_columns(s); ++i) names.emplace_back(quelta_column_name(s, i));
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

// The parallel collect against quelta_collect_columnar with the same filter.
// The single-threaded collect takes its columns from the first kept row and
// the parallel one from the directory, so columns present in both are compared.
// CSV must agree on every file (a header-only file aside: the parallel collect
// does not read its header); JSON lines only where quelta_open reads every
// line without failing and the names are distinct (the parallel rows find
// their columns by name alone); a JSON array always.
// With read options (quotes that span lines, for CSV) both sides read alike
// through their _with forms.
void check_parallel(const Plan& plan, const std::string& path, const std::string& file,
                    const ReadOptions* read = nullptr) {
  size_t first = 0;
  while (first < file.size() &&
         (file[first] == ' ' || file[first] == '\t' || file[first] == '\n' || file[first] == '\r'))
    ++first;
  const bool array = first < file.size() && first < 256 && file[first] == '[';
  const bool csv = plan.format == 0;
  if (csv ? array : array != plan.array_framing) return;
  const size_t line_end = file.find('\n');
  if (csv && !read && (line_end == std::string::npos || line_end + 1 == file.size())) return;

  ScanOptions options{};
  options.predicates = plan.options.predicates;
  options.n_predicates = plan.options.n_predicates;
  options.negate = plan.options.negate;
  options.limit = -1;
  options.max_column = -1;
  Scanner* s = quelta_open_with(path.c_str(), &options, read);
  const std::string open_message = quelta_last_error() ? quelta_last_error() : "";
  const bool duplicates = s && has_duplicate_names(s);
  const ColumnarResult want = s ? read_columnar(quelta_collect_columnar(s)) : failed_open(open_message);
  quelta_close(s);

  static constexpr size_t kThreads[5] = {1, 2, 3, 16, 0};
  const size_t n_threads = kThreads[plan.fault_n % 5];
  const ColumnarResult got = read ? read_columnar(quelta_parallel_collect_columnar_with(
                                        path.c_str(), plan.options.predicates, plan.options.n_predicates,
                                        plan.options.negate, n_threads, read))
                                  : read_columnar(quelta_parallel_collect_columnar(
                                        path.c_str(), ',', plan.options.predicates, plan.options.n_predicates,
                                        plan.options.negate, n_threads));
  // A file that is only its header (one record) has no columns in parallel.
  if (read && want.ok && want.n_rows == 0) return;
  if (!csv && !array && (duplicates || (s && !want.ok))) return;
  if (!want.ok) {
    FUZZ_CHECK(!got.ok, "parallel collect succeeded where '%s' failed", want.message.c_str());
    if (csv || array)
      FUZZ_CHECK(got.message == "parallel scan failed: " + condition_of(want.message.c_str()),
                 "parallel collect failed with '%s', single-threaded with '%s'", got.message.c_str(),
                 want.message.c_str());
    return;
  }
  FUZZ_CHECK(got.ok, "parallel collect (%zu threads) failed: '%s'", n_threads, got.message.c_str());
  FUZZ_CHECK(got.n_rows == want.n_rows, "parallel collect %zu rows, single-threaded %zu", got.n_rows,
             want.n_rows);
  if (want.n_rows > 0 && !csv)
    FUZZ_CHECK(got.n_cols == want.n_cols, "parallel collect %zu columns", got.n_cols);
  for (size_t c = 0; c < got.n_cols && c < want.n_cols; ++c)
    for (size_t r = 0; r < got.n_rows; ++r)
      FUZZ_CHECK(got.columns[c][r] == want.columns[c][r], "column %zu row %zu is '%s', single-threaded '%s'",
                 c, r, fuzz::escaped(got.columns[c][r]).c_str(), fuzz::escaped(want.columns[c][r]).c_str());
}

void check_directory(Scanner* s) {
  const size_t n = quelta_n_columns(s);
  FUZZ_CHECK(quelta_column_name(s, n) == nullptr, "a name past the last column");
  for (size_t i = 0; i < n && i < 64; ++i) {
    const char* name = quelta_column_name(s, i);
    FUZZ_CHECK(name, "column %zu has no name", i);
    // A name holding a NUL byte reads shorter as a C string and may then
    // match a later column, or none.
    const int64_t found = quelta_column_index(s, name);
    if (found >= 0)
      FUZZ_CHECK(static_cast<size_t>(found) < n && std::strcmp(quelta_column_name(s, found), name) == 0,
                 "column_index('%s') is %lld for column %zu", name, static_cast<long long>(found), i);
  }
}

// Writes body repeat times (while the file stays within kMaxFileSize) and
// returns what was written.
std::string write_file(const std::string& path, const uint8_t* body, size_t size, size_t repeat) {
  std::string text;
  for (size_t i = 0; i < repeat && (i == 0 || text.size() + size <= kMaxFileSize); ++i)
    text.append(reinterpret_cast<const char*>(body), size);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f, "cannot write %s", path.c_str());
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return text;
}

void remove_dir() {
  for (const char* suffix : kSuffixes) unlink((g_dir + "/in" + suffix).c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/quelta-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern), "cannot make a temporary folder");
  g_dir = pattern;
  std::atexit(remove_dir);
  return 0;
}

// The profile on several threads against the one-pass profile with the plan's
// scan options: the same text, or the same failure.
void check_parallel_profile(const Plan& plan, const std::string& path, const ReadOptions* read = nullptr) {
  auto take = [](char* text) {
    std::string out = text ? text : std::string("error: ") + (quelta_last_error() ? quelta_last_error() : "");
    quelta_profile_free(text);
    return out;
  };
  static constexpr size_t kThreads[4] = {2, 3, 16, 0};
  const size_t n_threads = kThreads[plan.fault_n % 4];
  const std::string want = take(quelta_profile_with(path.c_str(), &plan.options, read));
  const std::string got = take(quelta_parallel_profile(path.c_str(), &plan.options, read, n_threads));
  FUZZ_CHECK(got == want, "profile on %zu threads differs:\n%s\none pass:\n%s", n_threads, got.c_str(),
             want.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  Plan plan = read_plan(in);
  const uint8_t* body = in.rest();
  size_t first = 0;
  while (first < in.rest_size() &&
         (body[first] == ' ' || body[first] == '\t' || body[first] == '\n' || body[first] == '\r'))
    ++first;
  plan.array_framing = plan.format != 0 && first < in.rest_size() && body[first] == '[';
  const std::string path = g_dir + "/in" + kSuffixes[plan.format];
  const std::string file = write_file(path, in.rest(), in.rest_size(), plan.repeat);
  const size_t file_size = std::min(in.rest_size() * plan.repeat, kMaxFileSize + in.rest_size());

  const int64_t live = quelta::platform::heap_live_blocks();
  Scanner* a = quelta_open(path.c_str(), &plan.options);
  const std::string open_message = quelta_last_error() ? quelta_last_error() : "";
  FUZZ_CHECK((a == nullptr) == !open_message.empty(), "open result and message disagree: '%s'",
             open_message.c_str());
  std::vector<Event> events;
  const bool compressed =
      quelta::compression_from_magic(in.rest(), in.rest_size()) != quelta::Compression::None;
  bool cut = false;
  if (a) {
    check_directory(a);
    events = read_reference(a, compressed ? kMaxCompressedEvents : file_size + 16, compressed, &cut);
  }
  if (cut) {
    quelta_close(a);
    FUZZ_CHECK(quelta::platform::heap_live_blocks() == live, "%lld blocks left allocated",
               static_cast<long long>(quelta::platform::heap_live_blocks() - live));
    return 0;
  }

  Run run{plan, events};
  run.arm(0);
  Scanner* b = quelta_open(path.c_str(), &plan.options);
  run.disarm();
  const char* message = quelta_last_error();
  if (!b) {
    FUZZ_CHECK(message, "failed open without a message");
    if (!run.fired()) FUZZ_CHECK(!a && open_message == message, "the same open failed once: '%s'", message);
  } else {
    FUZZ_CHECK(a, "the same open succeeded once");
    FUZZ_CHECK(!message, "open succeeded with message '%s'", message);
    FUZZ_CHECK(quelta_n_columns(a) == quelta_n_columns(b), "directories differ");
    for (size_t i = 0; i < plan.steps.size(); ++i) {
      run.arm(1 + i);
      switch (plan.steps[i]) {
        case Step::Next:
          run.next(b, true);
          break;
        case Step::NextNoOut:
          run.next(b, false);
          break;
        case Step::Batch:
          run.batch(b);
          break;
        case Step::Count:
          run.count(b);
          break;
      }
      run.disarm();
    }
    const size_t op_index = 1 + plan.steps.size();
    switch (plan.op) {
      case Op::None:
        break;
      case Op::Aggregate:
        run.arm(op_index);
        run.aggregate(b);
        run.disarm();
        break;
      case Op::Topk:
        run.topk(b, op_index);
        break;
      case Op::OrderBy:
        run.order_by(b, op_index);
        break;
      case Op::Collect:
        run.collect(b, op_index);
        break;
      case Op::Columnar:
        run.columnar(b, op_index);
        break;
    }
    // Whatever happened, the scanner still answers and ends.
    for (int i = 0; i < 3 && quelta_next(b, nullptr, nullptr) != 0; ++i) {
    }
  }
  quelta_close(b);
  quelta_close(a);
  check_parallel(plan, path, file);
  check_parallel_profile(plan, path);
  if (plan.format == 0) {
    ReadOptions quoted{};
    quoted.size = sizeof quoted;
    quoted.quoting = QUELTA_QUOTING_RFC4180;
    check_parallel(plan, path, file, &quoted);
    check_parallel_profile(plan, path, &quoted);
  }
  FUZZ_CHECK(quelta::platform::heap_live_blocks() == live, "%lld blocks left allocated",
             static_cast<long long>(quelta::platform::heap_live_blocks() - live));
  return 0;
}
