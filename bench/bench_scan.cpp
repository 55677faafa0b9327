// Throughput of the Scanner through the public interface: counting with and
// without a predicate, row copy-out, JSON batches, over CSV and both JSON-row
// framings, each against a memchr newline count of the same file, and the
// peak resident memory of a whole-file count measured in a child process.
//
// usage: bench_scan [CSV [JSONL [JSON_ARRAY]]]
//        (defaults bench/data/rows.csv, rows.jsonl, rows_array.json)
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "bench_common.h"
#include "quelta.h"

namespace quelta::bench {
namespace {

constexpr size_t kBatchRows = 4096;

constexpr double kAimCountRatio = 0.9;
constexpr double kAimCsvPredicateMBps = 1000.0;
constexpr double kAimJsonPredicateMBps = 750.0;
constexpr double kAimPeakMiB = 16.0;

// open + quelta_next over every row (the C-string copy-out) + close.
Tally next_rows(const char* path) {
  Tally t;
  Scanner* s = open_scanner(path, nullptr);
  if (!s) return t;
  const char** fields = nullptr;
  size_t n = 0;
  int32_t got;
  while ((got = quelta_next(s, &fields, &n)) == 1) {
    ++t.rows;
    t.units += n + static_cast<unsigned char>(fields[0][0]);
  }
  if (got < 0)
    report_library_error("next failed on", path);
  else
    t.ok = true;
  quelta_close(s);
  return t;
}

// Rows in one batch text [[..],[..]]: '[' opening at depth 1, outside strings.
uint64_t rows_in_batch(const char* json, size_t len) {
  uint64_t rows = 0;
  int depth = 0;
  bool in_string = false, escape = false;
  for (size_t i = 0; i < len; ++i) {
    char c = json[i];
    if (in_string) {
      if (escape)
        escape = false;
      else if (c == '\\')
        escape = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[') {
      if (++depth == 2) ++rows;
    } else if (c == ']') {
      --depth;
    }
  }
  return rows;
}

// open + quelta_next_batch of kBatchRows rows until the end + close; units are
// JSON bytes. With count_rows_too each batch's rows are counted (untimed use).
Tally batch_rows(const char* path, bool count_rows_too) {
  Tally t;
  Scanner* s = open_scanner(path, nullptr);
  if (!s) return t;
  Batch* batch = nullptr;
  int32_t got;
  while ((got = quelta_next_batch(s, kBatchRows, SIZE_MAX, &batch)) == 1) {
    size_t len = 0;
    const char* json = quelta_batch_json(batch, &len);
    t.units += len;
    t.rows += count_rows_too ? rows_in_batch(json, len) : 1;
    quelta_batch_free(batch);
  }
  if (got < 0)
    report_library_error("next_batch failed on", path);
  else
    t.ok = true;
  quelta_close(s);
  return t;
}

// The whole-file count of a memory child; the peak is read after quelta_close
// (it is the high-water mark, so closing does not lower it).
void count_in_child(const char* path, const ScanOptions* options, MemoryReport* r) {
  Scanner* s = quelta_open(path, options);
  if (!s) return;
  int64_t n = quelta_count(s);
  quelta_close(s);
  r->peak = peak_kib();
  r->rows = n;
}

// ---- reporting ----

void print_header() {
  std::printf("%-30s %-6s %9s %9s %8s %6s\n", "pass", "input", "MB/s", "Mrows/s", "best s", "ratio");
}

// MB/s over bytes, rows per second, and baseline time / pass time.
void print_row(const char* pass, const char* input, double seconds, uint64_t bytes, uint64_t rows,
               double baseline_seconds) {
  std::printf("%-30s %-6s %9.1f %9.2f %8.3f %6.2f\n", pass, input, mb_per_s(bytes, seconds),
              mrows_per_s(rows, seconds), seconds, baseline_seconds / seconds);
}

void print_aim(const char* what, double value, const char* unit, const char* relation, double aim, bool met) {
  std::printf("%-34s %8.2f %-5s (aim %s %.2f)%s\n", what, value, unit, relation, aim,
              met ? "" : "  BELOW AIM");
}

void print_memory(const char* pass, const char* input, const MemoryReport& m) {
  if (!m.ok) {
    std::printf("%-30s %-6s   (measurement failed)\n", pass, input);
    return;
  }
  std::printf("%-30s %-6s %9.2f %9.2f %9.2f\n", pass, input, kib_to_mib(m.rss_before), kib_to_mib(m.peak),
              kib_to_mib(m.peak - m.rss_before));
}

// ---- the passes over one file ----

// The newline-count baseline and the two counts, the passes every input gets.
struct CountTimings {
  Timing base;
  Timing count;  // no options
  Timing price;  // with the price predicate
  bool ok() const { return base.tally.ok && count.tally.ok && price.tally.ok; }
};

CountTimings time_counts(const char* path, const ScanOptions* no_options, const ScanOptions* with_price) {
  CountTimings t;
  t.base = best_of([path] { return count_newlines(path); });
  t.count = best_of([path, no_options] { return count_rows(path, no_options); });
  t.price = best_of([path, with_price] { return count_rows(path, with_price); });
  return t;
}

// The three rows of time_counts; Mrows/s of the price row counts every row read,
// like the plain count, not only the matches.
void print_counts(const char* input, uint64_t bytes, const CountTimings& t) {
  const double base = t.base.seconds;
  print_row("memchr newline count", input, base, bytes, t.base.tally.rows, base);
  print_row("count", input, t.count.seconds, bytes, t.count.tally.rows, base);
  print_row("count price>5000", input, t.price.seconds, bytes, t.count.tally.rows, base);
}

int run(int argc, char** argv) {
  if (!start_program("bench_scan", argc, 3, "[CSV [JSONL [JSON_ARRAY]]]")) return 2;
  const char* csv = arg_or(argc, argv, 1, "bench/data/rows.csv");
  const char* jsonl = arg_or(argc, argv, 2, "bench/data/rows.jsonl");
  const char* array = arg_or(argc, argv, 3, "bench/data/rows_array.json");

  const Predicate price = price_predicate();
  const ScanOptions no_options = scan_options(nullptr, 0, -1);
  const ScanOptions with_price = scan_options(&price, 1, static_cast<int64_t>(kPriceColumn));

  // Memory first, while the parent holds next to nothing the child could inherit.
  auto count_memory = [](const char* path, const ScanOptions* options) {
    return measure_in_child([=](MemoryReport* r) { count_in_child(path, options, r); });
  };
  MemoryReport plain_memory = count_memory(csv, &no_options);
  MemoryReport price_memory = count_memory(csv, &with_price);
  MemoryReport jsonl_memory = count_memory(jsonl, &with_price);

  // Warm-up: brings each file into the page cache and gives the reference counts.
  Tally csv_ref = count_newlines(csv);
  Tally jsonl_ref = count_newlines(jsonl);
  Tally array_ref = count_newlines(array);
  if (!csv_ref.ok || !jsonl_ref.ok || !array_ref.ok) return 1;

  std::printf("files     %s %.1f MiB, %s %.1f MiB, %s %.1f MiB\n", csv, bytes_to_mib(csv_ref.bytes), jsonl,
              bytes_to_mib(jsonl_ref.bytes), array, bytes_to_mib(array_ref.bytes));
  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf("method    best of %d runs, files in page cache; each pass is open + work + close;\n", kRuns);
  std::printf("          MB = 10^6 input bytes, ratio = memchr count of the same file / pass time;\n");
  std::printf("          predicate: price (column %zu) > %s, max_column %zu\n\n", kPriceColumn, kPriceLimit,
              kPriceColumn);

  bool consistent = true;
  print_header();

  // CSV
  CountTimings csv_counts = time_counts(csv, &no_options, &with_price);
  Timing csv_next = best_of([&] { return next_rows(csv); });
  Timing csv_batch = best_of([&] { return batch_rows(csv, false); });
  if (!csv_counts.ok() || !csv_next.tally.ok || !csv_batch.tally.ok) return 1;
  const uint64_t csv_bytes = csv_ref.bytes;
  const uint64_t csv_rows = csv_counts.count.tally.rows;
  const uint64_t csv_matches = csv_counts.price.tally.rows;
  const double csv_base = csv_counts.base.seconds;
  print_counts("csv", csv_bytes, csv_counts);
  print_row("next (C-string copy-out)", "csv", csv_next.seconds, csv_bytes, csv_next.tally.rows, csv_base);
  print_row("next_batch 4096 rows", "csv", csv_batch.seconds, csv_bytes, csv_rows, csv_base);
  std::printf("%-30s %-6s %9.1f   (%.1f MB of JSON text in %llu batches)\n", "  JSON text produced", "json",
              mb_per_s(csv_batch.tally.units, csv_batch.seconds), csv_batch.tally.units / 1e6,
              static_cast<unsigned long long>(csv_batch.tally.rows));
  // Every data line is one row; the header is not.
  consistent &= csv_rows + 1 == csv_ref.rows;
  consistent &= csv_next.tally.rows == csv_rows;
  Tally batch_check = batch_rows(csv, true);
  consistent &= batch_check.ok && batch_check.rows == csv_rows && batch_check.units == csv_batch.tally.units;

  // JSON lines, then one JSON array for reference: the same rows and matches.
  CountTimings jsonl_counts = time_counts(jsonl, &no_options, &with_price);
  if (!jsonl_counts.ok()) return 1;
  print_counts("jsonl", jsonl_ref.bytes, jsonl_counts);
  CountTimings array_counts = time_counts(array, &no_options, &with_price);
  if (!array_counts.ok()) return 1;
  print_counts("array", array_ref.bytes, array_counts);
  auto same_as_csv = [&](const CountTimings& t) {
    return t.count.tally.rows == csv_rows && t.price.tally.rows == csv_matches;
  };
  consistent &= same_as_csv(jsonl_counts) && same_as_csv(array_counts);

  std::printf("\n%llu rows, %llu with price > %s\n", static_cast<unsigned long long>(csv_rows),
              static_cast<unsigned long long>(csv_matches), kPriceLimit);

  // Memory
  std::printf("\npeak resident memory of a child process (MiB; before = RSS just before quelta_open%s)\n",
              plain_memory.peak_reset ? ", peak reset there" : "");
  std::printf("%-30s %-6s %9s %9s %9s\n", "pass", "input", "before", "peak", "library");
  print_memory("count", "csv", plain_memory);
  print_memory("count price>5000", "csv", price_memory);
  print_memory("count price>5000", "jsonl", jsonl_memory);
  consistent &= !plain_memory.ok || static_cast<uint64_t>(plain_memory.rows) == csv_rows;
  consistent &= !price_memory.ok || static_cast<uint64_t>(price_memory.rows) == csv_matches;
  consistent &= !jsonl_memory.ok || static_cast<uint64_t>(jsonl_memory.rows) == csv_matches;

  // Aims
  double count_ratio = csv_base / csv_counts.count.seconds;
  double csv_price_mbps = mb_per_s(csv_bytes, csv_counts.price.seconds);
  double jsonl_price_mbps = mb_per_s(jsonl_ref.bytes, jsonl_counts.price.seconds);
  double peak_mib =
      std::max({kib_to_mib(plain_memory.peak), kib_to_mib(price_memory.peak), kib_to_mib(jsonl_memory.peak)});
  std::printf("\n");
  print_aim("count csv / memchr count", count_ratio, "", ">=", kAimCountRatio, count_ratio >= kAimCountRatio);
  print_aim("count price>5000 csv", csv_price_mbps, "MB/s", ">=", kAimCsvPredicateMBps,
            csv_price_mbps >= kAimCsvPredicateMBps);
  print_aim("count price>5000 jsonl", jsonl_price_mbps, "MB/s", ">=", kAimJsonPredicateMBps,
            jsonl_price_mbps >= kAimJsonPredicateMBps);
  bool memory_ok = plain_memory.ok && price_memory.ok && jsonl_memory.ok;
  print_aim("peak RSS while counting", peak_mib, "MiB", "<", kAimPeakMiB,
            memory_ok && peak_mib < kAimPeakMiB);
  std::printf("load      %s (at the end)\n", load_average().c_str());

  if (!memory_ok) print_error("a memory measurement failed");
  return exit_status(consistent, "passes disagree on row counts or batch text");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
