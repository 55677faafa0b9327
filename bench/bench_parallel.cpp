// The parallel columnar collect of every column of the generated CSV file and
// its JSON-lines twin, on one and on two threads: throughput, the speed-up of
// two threads over one, the processor time of each (user + system over every
// thread of the process, so the work splitting adds shows even when the
// machine is too busy to give a second core), and peak memory relative to the
// file, measured in a child process.
#include <sys/resource.h>

#include <cstdio>

#include "bench_common.h"
#include "quelta.h"

namespace quelta::bench {
namespace {

// Processor seconds of the whole process so far, user and system.
double process_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec);
  };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// The least processor time of the passes since it was reset.
double g_least_cpu = 0;

// Collects path on n_threads and reads every column's extent; value = bytes held.
// With read options, through the _with export.
Tally parallel_pass(const char* path, size_t n_threads, const ReadOptions* read = nullptr) {
  Tally t;
  const double cpu_start = process_cpu_seconds();
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
  const double cpu = process_cpu_seconds() - cpu_start;
  if (g_least_cpu == 0 || cpu < g_least_cpu) g_least_cpu = cpu;
  return t;
}

void parallel_in_child(const char* path, size_t n_threads, MemoryReport* r) {
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

  // Memory first, in children, while the parent holds almost nothing. [file][threads]
  MemoryReport memory[2][2];
  for (int f = 0; f < 2; ++f)
    for (int k = 0; k < 2; ++k)
      memory[f][k] =
          measure_in_child([&](MemoryReport* r) { parallel_in_child(files[f], thread_counts[k], r); });

  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf(
      "method    best of %d runs, files in page cache; each pass is quelta_parallel_collect_columnar\n",
      kRuns);
  std::printf("          of every column + reading each column's extent + close; MB = 10^6 input bytes;\n");
  std::printf("          cpu s = least user + system time of a pass over all threads; cpu x1 = that over\n");
  std::printf("          one thread's (the work the split adds); bound = threads / cpu x1, the speed-up\n");
  std::printf("          the added work allows when every thread has a core\n\n");
  std::printf("%-30s %8s %9s %9s %8s %8s %8s %8s %8s\n", "file / threads", "MB/s", "Mrows/s", "best s",
              "speed-up", "cpu s", "cpu x1", "bound", "x input");
  bool consistent = true;
  double csv_two_threads = 0, worst_speedup = 1e9, worst_bound = 1e9, worst_memory = 0;
  Timing csv_line[2];
  for (int f = 0; f < 2; ++f) {
    const Tally base = count_newlines(files[f]);  // the warm-up
    if (!base.ok) return 1;
    const uint64_t bytes = file_size(files[f]);
    Timing timing[2];
    double cpu[2];
    for (int k = 0; k < 2; ++k) {
      g_least_cpu = 0;
      timing[k] = best_of([&] { return parallel_pass(files[f], thread_counts[k]); });
      cpu[k] = g_least_cpu;
      if (!timing[k].tally.ok) return 1;
    }
    consistent &= same_result(timing[0].tally, timing[1].tally);
    for (int k = 0; k < 2; ++k) {
      const MemoryReport& m = memory[f][k];
      const double grown =
          m.ok ? static_cast<double>(m.peak - m.rss_before) * 1024.0 / static_cast<double>(bytes) : -1;
      char label[64];
      std::snprintf(label, sizeof label, "%s / %zu", f == 0 ? "csv" : "jsonl", thread_counts[k]);
      char speedup[16] = "", bound[16] = "";
      const double cpu_ratio = cpu[k] / cpu[0];
      if (k == 1) {
        std::snprintf(speedup, sizeof speedup, "%.2f", timing[0].seconds / timing[1].seconds);
        std::snprintf(bound, sizeof bound, "%.2f", static_cast<double>(thread_counts[k]) / cpu_ratio);
        worst_bound = std::min(worst_bound, static_cast<double>(thread_counts[k]) / cpu_ratio);
      }
      std::printf("%-30s %8.1f %9.2f %9.3f %8s %8.3f %8.3f %8s %8.2f\n", label,
                  mb_per_s(bytes, timing[k].seconds), mrows_per_s(timing[k].tally.rows, timing[k].seconds),
                  timing[k].seconds, speedup, cpu[k], cpu_ratio, bound, grown);
      if (grown > worst_memory) worst_memory = grown;
    }
    worst_speedup = std::min(worst_speedup, timing[0].seconds / timing[1].seconds);
    if (f == 0) {
      csv_two_threads = timing[1].seconds;
      csv_line[0] = timing[0];
      csv_line[1] = timing[1];
    }
    std::printf("%-30s held %.1f MiB = %.2f x the file\n", "", bytes_to_mib(timing[1].tally.value),
                timing[1].tally.value / static_cast<double>(bytes));
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
  print_check("speed-up the added work allows (worst file)", worst_bound, 1.8, true);
  print_check("peak memory / file size (worst)", worst_memory, 1.3, false);
  print_check("csv on 2 threads, seconds", csv_two_threads, 1.3 / 4, false);
  return exit_status(consistent, "one and two threads collected different columns");
}
