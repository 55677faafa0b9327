// The one-pass profile against the count it is measured by: quelta_count with
// a filter on one column (price > 5000, fields after it not split) over the
// same file, in the same run, alternating so that load on the machine hits
// both alike. Also times the inferred schema, both again on one thread per
// processor (the reading thread and the column threads; same text), and a
// count that splits every field, and measures the peak resident memory of a
// whole profile, one-thread and parallel, in a child.
//
// usage: bench_profile [CSV]   (default bench/data/rows.csv)

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "bench_common.h"
#include "quelta.h"

namespace quelta::bench {
namespace {

constexpr double kAimRatio = 2.0;
constexpr double kAimPeakMiB = 16.0;

// The best wall and CPU times of the runs of one pass.
struct Best {
  double wall = 1e30;
  double cpu = 1e30;
  Tally tally;
  bool ok = true;
};

template <typename Pass>
void run_once(Best* best, Pass pass) {
  const double cpu_start = process_cpu_seconds();
  auto start = std::chrono::steady_clock::now();
  Tally t = pass();
  const double wall = seconds_since(start);
  const double cpu = process_cpu_seconds() - cpu_start;
  if (!t.ok || (best->tally.ok && !same_result(t, best->tally))) best->ok = false;
  best->tally = t;
  best->wall = std::min(best->wall, wall);
  best->cpu = std::min(best->cpu, cpu);
}

// open + profile (or inferred schema) + free; units = the text's length. One
// thread through the single-pass exports, more through the parallel ones.
Tally profile_pass(const char* path, bool schema, size_t threads = 1) {
  Tally t;
  char* text = threads == 1 ? (schema ? quelta_infer_schema(path, nullptr) : quelta_profile(path, nullptr))
               : schema     ? quelta_parallel_infer_schema(path, nullptr, nullptr, threads)
                            : quelta_parallel_profile(path, nullptr, nullptr, threads);
  if (!text) {
    report_library_error(schema ? "infer_schema failed on" : "profile failed on", path);
    return t;
  }
  t.ok = true;
  t.units = std::strlen(text);
  // The text itself, as a 53-bit FNV-1a hash: runs and thread counts must agree on it.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < t.units; ++i) hash = (hash ^ static_cast<uint8_t>(text[i])) * 0x100000001b3ull;
  t.value = static_cast<double>(hash >> 11);
  const char* rows = std::strstr(text, "\"rows\":");
  t.rows = rows ? std::strtoull(rows + 7, nullptr, 10) : 0;
  quelta_profile_free(text);
  return t;
}

void print_row(const char* pass, const Best& b, uint64_t bytes, const Best& baseline) {
  std::printf("%-34s %9.1f %8.3f %8.3f %7.2f %7.2f\n", pass, mb_per_s(bytes, b.wall), b.wall, b.cpu,
              b.wall / baseline.wall, b.cpu / baseline.cpu);
}

int run(int argc, char** argv) {
  if (!start_program("bench_profile", argc, 1, "[CSV]")) return 2;
  const char* csv = arg_or(argc, argv, 1, "bench/data/rows.csv");

  // Memory first, while the parent holds next to nothing the child could inherit.
  MemoryReport memory = measure_in_child([=](MemoryReport* r) {
    Tally t = profile_pass(csv, false);
    r->peak = peak_kib();
    r->rows = t.ok ? static_cast<int64_t>(t.rows) : -1;
  });
  MemoryReport memory_parallel = measure_in_child([=](MemoryReport* r) {
    Tally t = profile_pass(csv, false, 0);
    r->peak = peak_kib();
    r->rows = t.ok ? static_cast<int64_t>(t.rows) : -1;
  });

  Tally reference = count_newlines(csv);
  if (!reference.ok) return 1;
  std::printf("file      %s %.1f MiB\n", csv, bytes_to_mib(reference.bytes));
  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf("method    best of %d alternating runs, file in page cache; wall and CPU (user + system)\n",
              kRuns);
  std::printf("          seconds; ratios against count price>5000 (max_column %zu) of the same run\n\n",
              kPriceColumn);

  const Predicate price = price_predicate();
  const ScanOptions one_column = scan_options(&price, 1, static_cast<int64_t>(kPriceColumn));
  const ScanOptions every_field = scan_options(&price, 1, -1);
  Best count, count_all, profile, schema, parallel, parallel_schema;
  for (int run = 0; run < kRuns; ++run) {
    run_once(&count, [&] { return count_rows(csv, &one_column); });
    run_once(&profile, [&] { return profile_pass(csv, false); });
    run_once(&count_all, [&] { return count_rows(csv, &every_field); });
    run_once(&schema, [&] { return profile_pass(csv, true); });
    run_once(&parallel, [&] { return profile_pass(csv, false, 0); });
    run_once(&parallel_schema, [&] { return profile_pass(csv, true, 0); });
  }
  if (!count.ok || !profile.ok || !count_all.ok || !schema.ok || !parallel.ok || !parallel_schema.ok ||
      !same_result(profile.tally, parallel.tally) || !same_result(schema.tally, parallel_schema.tally)) {
    print_error("a pass failed or its runs disagree");
    return 1;
  }
  std::printf("%-34s %9s %8s %8s %7s %7s\n", "pass", "MB/s", "wall s", "cpu s", "wall x", "cpu x");
  print_row("count price>5000 (baseline)", count, reference.bytes, count);
  print_row("count price>5000, every field", count_all, reference.bytes, count);
  print_row("profile", profile, reference.bytes, count);
  print_row("infer schema", schema, reference.bytes, count);
  char label[64];
  std::snprintf(label, sizeof label, "profile, %u threads", std::thread::hardware_concurrency());
  print_row(label, parallel, reference.bytes, count);
  std::snprintf(label, sizeof label, "infer schema, %u threads", std::thread::hardware_concurrency());
  print_row(label, parallel_schema, reference.bytes, count);
  std::printf("\nprofiled rows %llu, profile text %llu bytes\n",
              static_cast<unsigned long long>(profile.tally.rows),
              static_cast<unsigned long long>(profile.tally.units));
  std::printf("%-34s %8.2f %-5s (aim <= %.2f)%s\n", "profile / count, CPU", profile.cpu / count.cpu, "x",
              kAimRatio, profile.cpu / count.cpu <= kAimRatio ? "" : "  ABOVE AIM");
  std::printf("%-34s %8.2f %-5s (aim <= %.2f)%s\n", "profile / count, wall", profile.wall / count.wall, "x",
              kAimRatio, profile.wall / count.wall <= kAimRatio ? "" : "  ABOVE AIM");
  std::printf("%-34s %8.2f %-5s (aim <= %.2f)%s\n", "parallel profile / count, wall",
              parallel.wall / count.wall, "x", kAimRatio,
              parallel.wall / count.wall <= kAimRatio ? "" : "  ABOVE AIM");
  for (const auto& [label, m] :
       {std::pair{"profile peak memory", memory}, {"parallel profile peak memory", memory_parallel}}) {
    if (m.ok)
      std::printf("%-34s %8.2f %-5s (aim < %.2f)%s\n", label, kib_to_mib(m.peak), "MiB", kAimPeakMiB,
                  kib_to_mib(m.peak) < kAimPeakMiB ? "" : "  ABOVE AIM");
    else
      std::printf("%s: measurement failed\n", label);
  }
  return 0;
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
