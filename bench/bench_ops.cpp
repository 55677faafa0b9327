// Throughput of the query operators through the public interface: aggregate and
// top-k against a filtered count of the same file, order-by of a 32 MiB slice
// split into reading, sorting and copying out, and columnar collect with its
// peak memory relative to the file, measured in a child process.
//
// usage: bench_ops [CSV [SLICE]]
//        (defaults bench/data/rows.csv and bench/data/rows_32m.csv; the slice,
//        the first 32 MiB of whole lines of CSV, is written when missing)
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_common.h"
#include "platform/heap.h"
#include "quelta.h"

namespace quelta::bench {
namespace {

constexpr uint64_t kSliceBytes = 32ull << 20;
constexpr size_t kTopK = 10;
// A column no row has: every order-by key is empty, so the sort finds each run
// already in order and the pass costs reading and copying rows.
constexpr size_t kMissingColumn = 1000;

constexpr double kAimAggregateRatio = 0.9;
constexpr double kAimTopkRatio = 0.85;

// ---- input files ----

// Writes the first kSliceBytes of source, cut after its last whole line, to
// slice (through a temporary name, so a broken run leaves no partial slice).
bool write_slice(const char* source, const char* slice) {
  FILE* in = std::fopen(source, "rb");
  if (!in) {
    print_error("cannot open %s: %s", source, std::strerror(errno));
    return false;
  }
  char* head = static_cast<char*>(std::malloc(kSliceBytes));
  size_t got = head ? std::fread(head, 1, kSliceBytes, in) : 0;
  std::fclose(in);
  size_t keep = got;
  while (keep > 0 && head[keep - 1] != '\n') --keep;
  std::string temporary = std::string(slice) + ".partial";
  FILE* out = keep ? std::fopen(temporary.c_str(), "wb") : nullptr;
  bool ok = out && std::fwrite(head, 1, keep, out) == keep;
  if (out) ok &= std::fclose(out) == 0;
  std::free(head);
  if (ok) ok = std::rename(temporary.c_str(), slice) == 0;
  if (!ok) {
    print_error("cannot write %s: %s", slice, std::strerror(errno));
    std::remove(temporary.c_str());
  }
  return ok;
}

// ---- passes: each is open + operator + reading its result + close ----

Tally aggregate_pass(const char* path, const ScanOptions* options, AggregateResult* result) {
  Tally t;
  Scanner* s = open_scanner(path, options);
  if (!s) return t;
  if (quelta_aggregate(s, kPriceColumn, result) != 0)
    report_library_error("aggregate failed on", path);
  else
    t = Tally{.ok = true, .rows = result->count, .value = result->sum};
  quelta_close(s);
  return t;
}

// rows = kept rows; value = best key. *in_order tells whether the keys came out
// best first.
Tally topk_pass(const char* path, const ScanOptions* options, bool* in_order) {
  Tally t;
  Scanner* s = open_scanner(path, options);
  if (!s) return t;
  TopkContext* ctx = quelta_topk(s, kPriceColumn, kTopK, 1);
  if (!ctx) {
    report_library_error("topk failed on", path);
    quelta_close(s);
    return t;
  }
  *in_order = true;
  const char** fields = nullptr;
  size_t n = 0;
  double key = 0, previous = INFINITY;
  int32_t got;
  while ((got = quelta_topk_next(ctx, &fields, &n, &key)) == 1) {
    if (t.rows == 0) t.value = key;
    *in_order &= key <= previous && n > kPriceColumn && std::strtod(fields[kPriceColumn], nullptr) == key;
    previous = key;
    ++t.rows;
  }
  t.ok = got == 0;
  if (!t.ok) report_library_error("topk_next failed on", path);
  quelta_topk_close(ctx);
  quelta_close(s);
  return t;
}

// The parts of one order-by pass, timed separately.
struct OrderByTimes {
  bool ok = false;
  double sort_call = 0;  // quelta_order_by: reading, copying and sorting every row
  double take = 0;       // the quelta_order_by_next loop
  double release = 0;    // quelta_order_by_close
  uint64_t rows = 0;
  uint64_t touched = 0;  // first bytes of the rows, so the loop is not optimised away
};

OrderByTimes order_by_pass(const char* path, size_t column) {
  OrderByTimes t;
  Scanner* s = open_scanner(path, nullptr);
  if (!s) return t;
  auto start = std::chrono::steady_clock::now();
  OrderByContext* ctx = quelta_order_by(s, column, 0);
  t.sort_call = seconds_since(start);
  quelta_close(s);
  if (!ctx) {
    report_library_error("order_by failed on", path);
    return t;
  }
  const char** fields = nullptr;
  size_t n = 0;
  int32_t got;
  start = std::chrono::steady_clock::now();
  while ((got = quelta_order_by_next(ctx, &fields, &n)) == 1) {
    t.touched += n ? static_cast<unsigned char>(fields[0][0]) : 0;
    ++t.rows;
  }
  t.take = seconds_since(start);
  t.ok = got == 0;
  if (!t.ok) report_library_error("order_by_next failed on", path);
  start = std::chrono::steady_clock::now();
  quelta_order_by_close(ctx);
  t.release = seconds_since(start);
  return t;
}

// Best of kRuns for each part on its own.
OrderByTimes best_order_by(const char* path, size_t column) {
  OrderByTimes best;
  for (int run = 0; run < kRuns; ++run) {
    OrderByTimes t = order_by_pass(path, column);
    if (!t.ok || (run > 0 && (t.rows != best.rows || t.touched != best.touched))) {
      best.ok = false;
      return best;
    }
    if (run == 0) {
      best = t;
      continue;
    }
    best.sort_call = std::min(best.sort_call, t.sort_call);
    best.take = std::min(best.take, t.take);
    best.release = std::min(best.release, t.release);
  }
  return best;
}

// rows = collected rows, value = bytes held.
Tally collect_pass(const char* path) {
  Tally t;
  Scanner* s = open_scanner(path, nullptr);
  if (!s) return t;
  CollectContext* ctx = quelta_collect(s);
  quelta_close(s);
  if (!ctx) {
    report_library_error("collect failed on", path);
    return t;
  }
  size_t len = 0;
  quelta_collect_data(ctx, &len);
  t = Tally{.ok = true, .rows = quelta_collect_n_rows(ctx), .value = static_cast<double>(len)};
  quelta_collect_close(ctx);
  return t;
}

// rows = collected rows, value = bytes held (values plus offsets).
Tally columnar_pass(const char* path) {
  Tally t;
  Scanner* s = open_scanner(path, nullptr);
  if (!s) return t;
  ColumnarCollectContext* ctx = quelta_collect_columnar(s);
  quelta_close(s);
  if (!ctx) {
    report_library_error("collect_columnar failed on", path);
    return t;
  }
  t.ok = true;
  t.rows = quelta_collect_columnar_n_rows(ctx);
  for (size_t c = 0; c < quelta_collect_columnar_n_cols(ctx); ++c) {
    size_t len = 0, offsets = 0;
    quelta_collect_columnar_data(ctx, c, &len);
    const uint32_t* ends = quelta_collect_columnar_offsets(ctx, c, &offsets);
    t.value += static_cast<double>(len) + static_cast<double>(offsets) * sizeof(uint32_t);
    t.ok &= offsets == t.rows + 1 && ends && ends[t.rows] == len;
  }
  quelta_collect_columnar_close(ctx);
  return t;
}

// ---- memory, measured in a child so the figures belong to one pass ----

void columnar_in_child(const char* path, MemoryReport* r) {
  Scanner* s = quelta_open(path, nullptr);
  if (!s) return;
  ColumnarCollectContext* ctx = quelta_collect_columnar(s);
  quelta_close(s);
  if (!ctx) return;
  r->peak = peak_kib();
  r->rows = static_cast<int64_t>(quelta_collect_columnar_n_rows(ctx));
  quelta_collect_columnar_close(ctx);
}

// Also checks the order: rows is -1 when a key comes out of order.
void order_by_in_child(const char* path, MemoryReport* r) {
  Scanner* s = quelta_open(path, nullptr);
  if (!s) return;
  OrderByContext* ctx = quelta_order_by(s, kPriceColumn, 0);
  quelta_close(s);
  if (!ctx) return;
  r->peak = peak_kib();
  const char** fields = nullptr;
  size_t n = 0;
  int64_t rows = 0;
  double previous = -INFINITY;
  bool in_order = true;
  while (quelta_order_by_next(ctx, &fields, &n) == 1) {
    double key = n > kPriceColumn ? std::strtod(fields[kPriceColumn], nullptr) : 0;
    in_order &= key >= previous;
    previous = key;
    ++rows;
  }
  quelta_order_by_close(ctx);
  r->rows = in_order ? rows : -1;
}

// ---- reporting ----

void print_header() { std::printf("%-36s %9s %9s %8s %6s\n", "pass", "MB/s", "Mrows/s", "best s", "ratio"); }

// MB/s over bytes, rows per second, and baseline time / pass time.
void print_row(const char* pass, double seconds, uint64_t bytes, uint64_t rows, double baseline_seconds) {
  std::printf("%-36s %9.1f %9.2f %8.3f %6.2f\n", pass, mb_per_s(bytes, seconds), mrows_per_s(rows, seconds),
              seconds, baseline_seconds / seconds);
}

void print_aim(const char* what, double value, double aim) {
  std::printf("%-34s %6.2f (aim >= %.2f)%s\n", what, value, aim, value >= aim ? "" : "  BELOW AIM");
}

void print_memory(const char* pass, const MemoryReport& m, double input_bytes) {
  if (!m.ok) {
    std::printf("%-36s   (measurement failed)\n", pass);
    return;
  }
  double grown = static_cast<double>(m.peak - m.rss_before) * 1024.0;
  std::printf("%-36s %9.1f %9.1f %9.1f %8.2f\n", pass, kib_to_mib(m.rss_before), kib_to_mib(m.peak),
              bytes_to_mib(grown), grown / input_bytes);
}

int run(int argc, char** argv) {
  if (!start_program("bench_ops", argc, 2, "[CSV [SLICE]]")) return 2;
  const char* csv = arg_or(argc, argv, 1, "bench/data/rows.csv");
  const char* slice = arg_or(argc, argv, 2, "bench/data/rows_32m.csv");

  if (::access(slice, R_OK) != 0) {
    std::printf("writing   %s (first %llu MiB of whole lines of %s)\n", slice,
                static_cast<unsigned long long>(kSliceBytes >> 20), csv);
    if (!write_slice(csv, slice)) return 1;
  }

  // Memory first, while the parent holds next to nothing the child could inherit.
  MemoryReport columnar_memory = measure_in_child([&](MemoryReport* r) { columnar_in_child(csv, r); });
  MemoryReport order_memory = measure_in_child([&](MemoryReport* r) { order_by_in_child(slice, r); });

  // Warm-up: brings both files into the page cache.
  const Tally csv_warm = count_newlines(csv);
  const Tally slice_warm = count_newlines(slice);
  if (!csv_warm.ok || !slice_warm.ok || csv_warm.bytes == 0 || slice_warm.bytes == 0) {
    print_error("cannot read %s or %s", csv, slice);
    return 1;
  }
  const uint64_t file_bytes = csv_warm.bytes;
  const uint64_t slice_file_bytes = slice_warm.bytes;

  std::printf("files     %s %.1f MiB, %s %.1f MiB\n", csv, bytes_to_mib(file_bytes), slice,
              bytes_to_mib(slice_file_bytes));
  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf("method    best of %d runs, files in page cache; each pass is open + operator + reading\n",
              kRuns);
  std::printf("          its result + close; MB = 10^6 input bytes; ratio = baseline time / pass time\n\n");

  const Predicate price = price_predicate();
  const ScanOptions with_price = scan_options(&price, 1, static_cast<int64_t>(kPriceColumn));
  const ScanOptions up_to_price = scan_options(nullptr, 0, static_cast<int64_t>(kPriceColumn));
  bool consistent = true;

  // ---- aggregate and top-k over the whole file ----
  AggregateResult aggregate{};
  bool topk_in_order = false;
  Timing base = best_of([&] { return count_rows(csv, &with_price); });
  Timing agg = best_of([&] { return aggregate_pass(csv, &with_price, &aggregate); });
  Timing topk = best_of([&] { return topk_pass(csv, &up_to_price, &topk_in_order); });
  Timing count_all = best_of([&] { return count_rows(csv, &up_to_price); });
  if (!base.tally.ok || !agg.tally.ok || !topk.tally.ok || !count_all.tally.ok) return 1;
  const uint64_t rows = count_all.tally.rows;

  std::printf("whole file, predicate price (column %zu) > %s, max_column %zu\n", kPriceColumn, kPriceLimit,
              kPriceColumn);
  print_header();
  print_row("count price>5000 (baseline)", base.seconds, file_bytes, rows, base.seconds);
  print_row("aggregate col 3, price>5000", agg.seconds, file_bytes, rows, base.seconds);
  print_row("topk 10 desc col 3, max_column 3", topk.seconds, file_bytes, rows, base.seconds);
  print_row("count, max_column 3 (reference)", count_all.seconds, file_bytes, rows, base.seconds);
  std::printf("topk vs reference count: %.2f\n", count_all.seconds / topk.seconds);
  std::printf("%llu rows, %llu with price > %s; aggregate max %.2f, top key %.2f\n\n",
              static_cast<unsigned long long>(rows), static_cast<unsigned long long>(base.tally.rows),
              kPriceLimit, aggregate.max, topk.tally.value);
  consistent &= agg.tally.rows == base.tally.rows;
  consistent &= topk.tally.rows == kTopK && topk_in_order && topk.tally.value == aggregate.max;

  // ---- order-by of the slice ----
  Timing slice_count = best_of([&] { return count_rows(slice, nullptr); });
  Timing collect = best_of([&] { return collect_pass(slice); });
  OrderByTimes flat = best_order_by(slice, kMissingColumn);
  OrderByTimes sorted = best_order_by(slice, kPriceColumn);
  if (!slice_count.tally.ok || !collect.tally.ok || !flat.ok || !sorted.ok) return 1;
  const uint64_t slice_rows = slice_count.tally.rows;
  consistent &= collect.tally.rows == slice_rows && flat.rows == slice_rows && sorted.rows == slice_rows;
  const double total = sorted.sort_call + sorted.take;
  const double sort_share = sorted.sort_call - flat.sort_call;

  std::printf("order-by of the slice by column %zu, ascending (%llu rows); shares of the total\n",
              kPriceColumn, static_cast<unsigned long long>(slice_rows));
  std::printf("%-36s %9s %9s %8s %6s\n", "part", "MB/s", "Mrows/s", "best s", "share");
  auto print_part = [&](const char* part, double seconds) {
    std::printf("%-36s %9.1f %9.2f %8.3f %6.2f\n", part, mb_per_s(slice_file_bytes, seconds),
                mrows_per_s(slice_rows, seconds), seconds, seconds / total);
  };
  print_part("total: order_by + order_by_next", total);
  print_part("order_by, column 3", sorted.sort_call);
  print_part("  read + copy rows (all keys equal)", flat.sort_call);
  print_part("  sort (difference)", sort_share);
  print_part("order_by_next loop (copy-out)", sorted.take);
  print_part("order_by_close (reference)", sorted.release);
  print_part("collect (reference)", collect.seconds);
  print_part("count (reference)", slice_count.seconds);
  platform::heap_use_huge_pages(false);
  OrderByTimes small_pages = best_order_by(slice, kPriceColumn);
  platform::heap_use_huge_pages(true);
  if (!small_pages.ok) return 1;
  print_part("total without huge pages (reference)", small_pages.sort_call + small_pages.take);
  std::printf("\n");

  // ---- columnar collect of the whole file ----
  Timing columnar = best_of([&] { return columnar_pass(csv); });
  if (!columnar.tally.ok) return 1;
  consistent &= columnar.tally.rows == rows;
  std::printf("columnar collect of every column of the whole file\n");
  print_header();
  print_row("count price>5000 (baseline)", base.seconds, file_bytes, rows, base.seconds);
  print_row("collect_columnar", columnar.seconds, file_bytes, rows, base.seconds);
  platform::heap_use_huge_pages(false);
  Timing columnar_small_pages = best_of([&] { return columnar_pass(csv); });
  platform::heap_use_huge_pages(true);
  if (!columnar_small_pages.tally.ok) return 1;
  print_row("collect_columnar without huge pages", columnar_small_pages.seconds, file_bytes, rows,
            base.seconds);
  std::printf("held: %.1f MiB of values and offsets, %.2f x the file\n\n", bytes_to_mib(columnar.tally.value),
              columnar.tally.value / static_cast<double>(file_bytes));

  // ---- memory ----
  std::printf("peak resident memory of a child process (MiB; before = RSS just before quelta_open%s;\n",
              columnar_memory.peak_reset ? ", peak reset there" : "");
  std::printf("x input = (peak - before) / input file size)\n");
  std::printf("%-36s %9s %9s %9s %8s\n", "pass", "before", "peak", "grown", "x input");
  print_memory("collect_columnar, whole file", columnar_memory, static_cast<double>(file_bytes));
  print_memory("order_by col 3 + next, slice", order_memory, static_cast<double>(slice_file_bytes));
  consistent &= !columnar_memory.ok || static_cast<uint64_t>(columnar_memory.rows) == rows;
  // The child's order-by pass also checked that keys come out ascending.
  consistent &= order_memory.ok && static_cast<uint64_t>(order_memory.rows) == slice_rows;

  std::printf("\n");
  print_aim("aggregate / filtered count", base.seconds / agg.seconds, kAimAggregateRatio);
  print_aim("topk / filtered count", base.seconds / topk.seconds, kAimTopkRatio);
  std::printf("load      %s (at the end)\n", load_average().c_str());

  if (!columnar_memory.ok) print_error("the columnar memory measurement failed");
  return exit_status(consistent, "results disagree (counts, top-k keys or order-by order)");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
