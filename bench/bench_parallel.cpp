// The parallel columnar collect of every column of the generated CSV file and
// its JSON-lines twin, on one and on two threads: throughput, the speed-up of
// two threads over one, the merge's share of the two-thread call, and peak
// memory relative to the file, measured in a child process.
//
// The merge cannot be timed inside the call, so it is replayed: each half of
// the file (split at a line end, the second half given the header line) is
// collected on one thread, and the second half's columns are appended to the
// first's with the merge's own column append, as the call does for two chunks.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "ops/columnar.h"
#include "platform/heap.h"
#include "quelta.h"

namespace quelta::bench {
namespace {

// Collects path on n_threads and reads every column's extent; value = bytes held.
// With read options, through the _with export.
Tally parallel_pass(const char* path, size_t n_threads, const ReadOptions* read = nullptr) {
  Tally t;
  ColumnarCollectContext* ctx =
      read ? quelta_parallel_collect_columnar_with(path, nullptr, 0, 0, n_threads, read)
           : quelta_parallel_collect_columnar(path, ',', nullptr, 0, 0, n_threads);
  if (!ctx) {
    report_library_error("parallel collect failed on", path);
    return t;
  }
  t.ok = true;
  t.rows = quelta_collect_columnar_n_rows(ctx);
  for (size_t c = 0; c < quelta_collect_columnar_n_cols(ctx); ++c) {
    size_t len = 0, offsets = 0;
    quelta_collect_columnar_data(ctx, c, &len);
    quelta_collect_columnar_offsets(ctx, c, &offsets);
    t.units += len;
    t.value += static_cast<double>(len) + 4.0 * static_cast<double>(offsets);
  }
  quelta_collect_columnar_close(ctx);
  return t;
}

bool read_file(const char* path, std::string* out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, got);
  std::fclose(f);
  return true;
}

bool write_file(const std::string& path, const char* a, size_t na, const char* b, size_t nb) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(a, 1, na, f) == na && std::fwrite(b, 1, nb, f) == nb;
  return std::fclose(f) == 0 && ok;
}

// Writes the two halves of path (the second with the CSV header line) and
// returns the best time of appending the second half's columns to the first's.
double replay_merge(const char* path, bool csv, bool* ok) {
  *ok = false;
  std::string text;
  if (!read_file(path, &text) || text.empty()) return 0;
  size_t header = csv ? text.find('\n') + 1 : 0;
  size_t mid = text.find('\n', header + (text.size() - header) / 2) + 1;
  const std::string suffix = csv ? ".csv" : ".jsonl";
  const std::string first = std::string(path) + ".half1" + suffix,
                    second = std::string(path) + ".half2" + suffix;
  bool written = write_file(first, text.data(), mid, "", 0) &&
                 write_file(second, text.data(), header, text.data() + mid, text.size() - mid);
  text.clear();
  text.shrink_to_fit();
  double best = 0;
  for (int run = 0; written && run < kRuns; ++run) {
    ColumnarCollectContext* a = quelta_parallel_collect_columnar(first.c_str(), ',', nullptr, 0, 0, 1);
    ColumnarCollectContext* b = quelta_parallel_collect_columnar(second.c_str(), ',', nullptr, 0, 0, 1);
    bool good = a && b && columnar_n_cols(a) == columnar_n_cols(b);
    auto start = std::chrono::steady_clock::now();
    for (size_t c = 0; good && c < columnar_n_cols(a); ++c) {
      // The benchmark owns both contexts, so it may merge into them in place.
      auto* into = const_cast<ColumnBuffer*>(columnar_column(a, c));
      auto* from = const_cast<ColumnBuffer*>(columnar_column(b, c));
      good = column_take_rows(into, from);
    }
    double seconds = seconds_since(start);
    quelta_collect_columnar_close(a);
    quelta_collect_columnar_close(b);
    if (!good) {
      written = false;
      break;
    }
    if (run == 0 || seconds < best) best = seconds;
  }
  ::unlink(first.c_str());
  ::unlink(second.c_str());
  *ok = written;
  return best;
}

void parallel_in_child(const char* path, size_t n_threads, bool huge_pages, MemoryReport* r) {
  quelta::platform::heap_use_huge_pages(huge_pages);
  ColumnarCollectContext* ctx = quelta_parallel_collect_columnar(path, ',', nullptr, 0, 0, n_threads);
  if (!ctx) return;
  r->peak = peak_kib();
  r->rows = static_cast<int64_t>(quelta_collect_columnar_n_rows(ctx));
  quelta_collect_columnar_close(ctx);
}

uint64_t file_size(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  long size = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : 0;
  std::fclose(f);
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

void print_check(const char* what, double value, double aim, bool at_least) {
  bool met = at_least ? value >= aim : value <= aim;
  std::printf("%-44s %6.3f (aim %s %.3f)%s\n", what, value, at_least ? ">=" : "<=", aim,
              met ? "" : "  BELOW AIM");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) {
  using namespace quelta::bench;
  if (!start_program("bench_parallel", argc, 2, "[CSV [JSONL]]")) return 2;
  const char* files[2] = {arg_or(argc, argv, 1, "bench/data/rows.csv"),
                          arg_or(argc, argv, 2, "bench/data/rows.jsonl")};
  const size_t thread_counts[2] = {1, 2};

  // Memory first, in children, while the parent holds almost nothing.
  // [file][threads][with huge pages]
  MemoryReport memory[2][2][2];
  for (int f = 0; f < 2; ++f)
    for (int k = 0; k < 2; ++k)
      for (int h = 0; h < 2; ++h)
        memory[f][k][h] = measure_in_child(
            [&](MemoryReport* r) { parallel_in_child(files[f], thread_counts[k], h == 1, r); });

  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf(
      "method    best of %d runs, files in page cache; each pass is quelta_parallel_collect_columnar\n",
      kRuns);
  std::printf("          of every column + reading each column's extent + close; MB = 10^6 input bytes\n\n");
  std::printf("%-30s %8s %9s %9s %8s %8s %8s %9s %9s\n", "file / threads", "MB/s", "Mrows/s", "best s",
              "speed-up", "merge", "x input", "s small", "x small");
  bool consistent = true;
  double csv_two_threads = 0, worst_speedup = 1e9, worst_memory = 0;
  Timing csv_line[2];
  for (int f = 0; f < 2; ++f) {
    const Tally base = count_newlines(files[f]);  // the warm-up
    if (!base.ok) return 1;
    const uint64_t bytes = file_size(files[f]);
    Timing timing[2], small_pages[2];
    for (int k = 0; k < 2; ++k) {
      timing[k] = best_of([&] { return parallel_pass(files[f], thread_counts[k]); });
      quelta::platform::heap_use_huge_pages(false);
      small_pages[k] = best_of([&] { return parallel_pass(files[f], thread_counts[k]); });
      quelta::platform::heap_use_huge_pages(true);
      if (!timing[k].tally.ok || !small_pages[k].tally.ok) return 1;
    }
    consistent &= same_result(timing[0].tally, timing[1].tally);
    bool merged = false;
    const double merge = replay_merge(files[f], f == 0, &merged);
    for (int k = 0; k < 2; ++k) {
      auto grown_of = [&](const MemoryReport& m) {
        return m.ok ? static_cast<double>(m.peak - m.rss_before) * 1024.0 / static_cast<double>(bytes) : -1;
      };
      const double grown = grown_of(memory[f][k][1]);
      char label[64];
      std::snprintf(label, sizeof label, "%s / %zu", f == 0 ? "csv" : "jsonl", thread_counts[k]);
      char speedup[16] = "", share[16] = "";
      if (k == 1) {
        std::snprintf(speedup, sizeof speedup, "%.2f", timing[0].seconds / timing[1].seconds);
        if (merged) std::snprintf(share, sizeof share, "%.3f", merge / timing[1].seconds);
      }
      std::printf("%-30s %8.1f %9.2f %9.3f %8s %8s %8.2f %9.3f %9.2f\n", label,
                  mb_per_s(bytes, timing[k].seconds), mrows_per_s(timing[k].tally.rows, timing[k].seconds),
                  timing[k].seconds, speedup, share, grown, small_pages[k].seconds,
                  grown_of(memory[f][k][0]));
      if (grown > worst_memory) worst_memory = grown;
    }
    worst_speedup = std::min(worst_speedup, timing[0].seconds / timing[1].seconds);
    if (f == 0) {
      csv_two_threads = timing[1].seconds;
      csv_line[0] = timing[0];
      csv_line[1] = timing[1];
    }
    std::printf("%-30s held %.1f MiB = %.2f x the file; merge replay %.3f s\n", "",
                bytes_to_mib(timing[1].tally.value), timing[1].tally.value / static_cast<double>(bytes),
                merge);
  }
  // Quotes that may span lines: chunks end at record ends found by a quote-aware
  // pass. The generated file has no line end inside quotes, so the columns are
  // those of line mode.
  ReadOptions rfc4180{};
  rfc4180.size = sizeof rfc4180;
  rfc4180.quoting = QUELTA_QUOTING_RFC4180;
  const uint64_t csv_bytes = file_size(files[0]);
  Timing quoted[2];
  for (int k = 0; k < 2; ++k) {
    quoted[k] = best_of([&] { return parallel_pass(files[0], thread_counts[k], &rfc4180); });
    if (!quoted[k].tally.ok) return 1;
    consistent &= same_result(quoted[k].tally, csv_line[k].tally);
    char label[64], speedup[16] = "";
    std::snprintf(label, sizeof label, "csv rfc4180 / %zu", thread_counts[k]);
    if (k == 1) std::snprintf(speedup, sizeof speedup, "%.2f", quoted[0].seconds / quoted[1].seconds);
    std::printf("%-30s %8.1f %9.2f %9.3f %8s  (%.2f x line mode's time)\n", label,
                mb_per_s(csv_bytes, quoted[k].seconds), mrows_per_s(quoted[k].tally.rows, quoted[k].seconds),
                quoted[k].seconds, speedup, quoted[k].seconds / csv_line[k].seconds);
  }
  const double line_speedup = csv_line[0].seconds / csv_line[1].seconds;
  const double quoted_speedup = quoted[0].seconds / quoted[1].seconds;

  std::printf("\n");
  print_check("rfc4180 speed-up / line mode's speed-up", quoted_speedup / line_speedup, 1.0, true);
  print_check("speed-up of 2 threads over 1 (worst file)", worst_speedup, 1.8, true);
  print_check("peak memory / file size (worst)", worst_memory, 1.3, false);
  print_check("csv on 2 threads, seconds", csv_two_threads, 1.3 / 4, false);
  return exit_status(consistent, "one and two threads collected different columns");
}
