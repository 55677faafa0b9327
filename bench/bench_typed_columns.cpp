// Typed columns: the columns of gen_data's rows.csv, collected once, turned
// into typed arrays through the public interface, each against a plain
// conversion of the same values measured in the same run (std::from_chars for
// numbers, sscanf + timegm for datetimes, strncasecmp for booleans) and a
// memcpy of the same bytes. MB = 10^6 bytes of column text.
//
// Usage: bench_typed_columns [rows.csv]
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "bench_common.h"
#include "quelta.h"

namespace {

using namespace quelta::bench;

struct Column {
  const uint8_t* data = nullptr;
  const uint32_t* offsets = nullptr;
  size_t data_len = 0;
  size_t rows = 0;
};

template <typename Each>
Tally each_value(const Column& c, Each each) {
  Tally t;
  t.ok = true;
  t.bytes = c.data_len;
  for (size_t r = 0; r < c.rows; ++r) {
    const char* p = reinterpret_cast<const char*>(c.data + c.offsets[r]);
    size_t n = c.offsets[r + 1] - c.offsets[r];
    each(p, n, &t);
  }
  t.rows = c.rows;
  return t;
}

Tally from_chars_double(const Column& c) {
  return each_value(c, [](const char* p, size_t n, Tally* t) {
    double v;
    if (std::from_chars(p, p + n, v).ec == std::errc{}) t->value += v, ++t->units;
  });
}

Tally from_chars_int(const Column& c) {
  return each_value(c, [](const char* p, size_t n, Tally* t) {
    int64_t v;
    if (std::from_chars(p, p + n, v).ec == std::errc{}) t->value += static_cast<double>(v), ++t->units;
  });
}

Tally scanf_datetime(const Column& c) {
  return each_value(c, [](const char* p, size_t n, Tally* t) {
    char text[40];
    if (n >= sizeof text) return;
    std::memcpy(text, p, n);
    text[n] = 0;
    std::tm tm{};
    if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6)
      return;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    t->value += static_cast<double>(timegm(&tm)), ++t->units;
  });
}

Tally strncasecmp_boolean(const Column& c) {
  return each_value(c, [](const char* p, size_t n, Tally* t) {
    if (n == 4 && strncasecmp(p, "true", 4) == 0) t->value += 1, ++t->units;
    if (n == 5 && strncasecmp(p, "false", 5) == 0) ++t->units;
  });
}

// One typed conversion through the library; units counts the converted values.
template <typename T, typename Convert>
Tally library(ColumnarCollectContext* ctx, size_t column, const Column& c, std::vector<T>* values,
              std::vector<uint8_t>* valid, Convert convert) {
  Tally t;
  ColumnCounts counts;
  t.ok = convert(ctx, column, values->data(), valid->data(), c.rows, &counts) == 0;
  t.bytes = c.data_len;
  t.rows = c.rows;
  t.units = c.rows - counts.n_blank - counts.n_invalid;
  return t;
}

// The sum of the converted values (datetimes in seconds), compared with the
// baseline's outside the timed passes.
template <typename T>
double sum_valid(const std::vector<T>& values, const std::vector<uint8_t>& valid, double scale) {
  double sum = 0;
  for (size_t r = 0; r < values.size(); ++r)
    if (valid[r]) sum += static_cast<double>(values[r]) / scale;
  return sum;
}

// Thread CPU time, steadier than wall time on a loaded machine.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Least thread CPU time of kRuns runs; every run must see the same result.
template <typename Pass>
Timing best_cpu_of(Pass pass) {
  Timing best;
  for (int run = 0; run < kRuns; ++run) {
    double start = cpu_seconds();
    Tally t = pass();
    double seconds = cpu_seconds() - start;
    if (!t.ok || (run > 0 && !same_result(t, best.tally))) {
      best.tally.ok = false;
      return best;
    }
    if (run == 0 || seconds < best.seconds) best.seconds = seconds;
    best.tally = t;
  }
  return best;
}

void line(const char* what, const Column& c, const Timing& lib, const Timing& base, const char* base_name,
          double aim_mb_s, bool same_counts = true) {
  double lib_mb = mb_per_s(c.data_len, lib.seconds), base_mb = mb_per_s(c.data_len, base.seconds);
  std::printf("%-10s %9.1f %9.1f %8.2f  %-12s %s %s\n", what, lib_mb, base_mb, base.seconds / lib.seconds,
              base_name, aim_mb_s > 0 ? (lib_mb >= aim_mb_s ? "aim met" : "below aim") : "",
              !same_counts || lib.tally.units == base.tally.units ? "" : "(counts differ from the baseline)");
}

}  // namespace

int main(int argc, char** argv) {
  if (!start_program("bench_typed_columns", argc, 1, "[rows.csv]")) return 2;
  const char* path = arg_or(argc, argv, 1, "bench/data/rows.csv");
  count_newlines(path);  // warm the page cache
  ColumnarCollectContext* ctx = quelta_parallel_collect_columnar(path, ',', nullptr, 0, 0, 0);
  if (!ctx) {
    report_library_error("cannot collect", path);
    return 1;
  }
  auto column = [&](size_t i) {
    Column c;
    c.data = quelta_collect_columnar_data(ctx, i, &c.data_len);
    c.offsets = quelta_collect_columnar_offsets(ctx, i, nullptr);
    c.rows = quelta_collect_columnar_n_rows(ctx);
    return c;
  };
  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf(
      "          %s: %zu rows; one thread; least thread CPU time of %d runs; MB = 10^6 bytes of column "
      "text\n\n",
      path, quelta_collect_columnar_n_rows(ctx), kRuns);
  std::printf("%-10s %9s %9s %8s  %-12s\n", "column", "MB/s", "base MB/s", "x base", "baseline");

  const size_t rows = quelta_collect_columnar_n_rows(ctx);
  std::vector<double> doubles(rows);
  std::vector<int64_t> ints(rows);
  std::vector<uint8_t> bools(rows), valid(rows);
  bool consistent = true;

  auto check = [&](const Timing& a, const Timing& b, double sum) {
    consistent = consistent && a.tally.ok && b.tally.ok && a.tally.units == b.tally.units &&
                 std::fabs(sum - b.tally.value) <= 1e-6 * std::fabs(b.tally.value) + 1e-6;
  };
  for (size_t col : {size_t{3}, size_t{7}}) {  // price, score
    Column c = column(col);
    Timing lib =
        best_cpu_of([&] { return library(ctx, col, c, &doubles, &valid, quelta_collect_columnar_float64); });
    Timing base = best_cpu_of([&] { return from_chars_double(c); });
    line(col == 3 ? "price f64" : "score f64", c, lib, base, "from_chars", col == 3 ? 1000 : 0);
    check(lib, base, sum_valid(doubles, valid, 1));
  }
  for (size_t col : {size_t{0}, size_t{4}}) {  // id, qty
    Column c = column(col);
    Timing lib =
        best_cpu_of([&] { return library(ctx, col, c, &ints, &valid, quelta_collect_columnar_int64); });
    Timing base = best_cpu_of([&] { return from_chars_int(c); });
    line(col == 0 ? "id i64" : "qty i64", c, lib, base, "from_chars", 0);
    check(lib, base, sum_valid(ints, valid, 1));
  }
  {
    Column c = column(5);
    Timing lib =
        best_cpu_of([&] { return library(ctx, 5, c, &ints, &valid, quelta_collect_columnar_datetime); });
    Timing base = best_cpu_of([&] { return scanf_datetime(c); });
    line("ts dt", c, lib, base, "sscanf+timegm", 300);
    check(lib, base, sum_valid(ints, valid, 1e9));
  }
  {
    Column c = column(6);
    Timing lib =
        best_cpu_of([&] { return library(ctx, 6, c, &bools, &valid, quelta_collect_columnar_boolean); });
    Timing base = best_cpu_of([&] { return strncasecmp_boolean(c); });
    line("flag bool", c, lib, base, "strncasecmp", 0);
    check(lib, base, sum_valid(bools, valid, 1));
  }
  {
    // Inference over the typed columns, and the joined text of a text column,
    // against a memcpy of the same bytes.
    Column c = column(3);
    Timing infer = best_cpu_of([&] {
      Tally t;
      t.ok = quelta_collect_columnar_infer_type(ctx, 3) == QUELTA_COLUMN_FLOAT64;
      t.rows = c.rows;
      return t;
    });
    Column n = column(8);
    std::vector<uint8_t> copy(std::max(c.data_len, n.data_len) + c.rows);
    Timing memcpy_pass = best_cpu_of([&] {
      Tally t;
      t.ok = true;
      std::memcpy(copy.data(), c.data, c.data_len);
      t.units = copy[c.data_len / 2];
      return t;
    });
    line("price type", c, infer, memcpy_pass, "memcpy", 0, false);
    Timing join = best_cpu_of([&] {
      Tally t;
      size_t len = 0;
      t.ok = quelta_collect_columnar_join(ctx, 8, copy.data(), copy.size(), &len) >= 0;
      t.units = len;
      return t;
    });
    Timing memcpy_note = best_cpu_of([&] {
      Tally t;
      t.ok = true;
      std::memcpy(copy.data(), n.data, n.data_len);
      t.units = copy[n.data_len / 2];
      return t;
    });
    line("note join", n, join, memcpy_note, "memcpy", 0, false);
  }
  quelta_collect_columnar_close(ctx);
  return exit_status(consistent, "a conversion disagrees with its baseline");
}
