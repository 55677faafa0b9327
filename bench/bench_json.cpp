// The JSON-lines workloads alone: the memchr baseline, the price-filtered count
// (public header), every record through the JSON row reader, and the
// validation of bench_validate's schema, each as a ratio to the baseline.
// With a pass name the program runs that pass once and prints its result, so
// that an outside timer (perf stat, callgrind) sees one pass per process.
//
// usage: bench_json [JSONL [PASS]]   PASS: count, filter, tokenize, validate
//        (default bench/data/rows.jsonl, every pass best of three)
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bench_common.h"
#include "input/open_input.h"

namespace quelta::bench {
namespace {

// bench_validate's schema: id, price, ts, name and city of gen_data's rows.
constexpr const char* kSchema = R"({"id":{"type":"integer","required":true},)"
                                R"("price":{"type":"float","min":1,"max":9000},)"
                                R"("ts":{"type":"datetime"},)"
                                R"("name":{"type":"string","min_len":4,"max_len":6},)"
                                R"("city":{"one_of":["Lyon","Osaka","Porto","New York","Portland, OR"]}})";

// 1.5 times what an on-demand SIMD JSON parser reached counting the same rows
// (455 MiB in 0.33 s on an AVX-512 server).
constexpr double kAimFilterMBps = 2170.0;
constexpr double kAimValidateMBps = 1000.0;

// Every record, every field, through the JSON row reader.
Tally tokenize(const char* path) {
  Tally t;
  RecordReader in;
  if (Error e = open_input(&in, path, InputParams{}); failed(e)) {
    report_failure("cannot open", path, error_name(e));
    return t;
  }
  for (;;) {
    const FieldView* fields = nullptr;
    size_t count = 0;
    bool at_end = false;
    if (Error e = next_record(&in, &fields, &count, &at_end); failed(e)) {
      report_failure("reading failed on", path, error_name(e));
      close_input(&in);
      return t;
    }
    if (at_end) break;
    ++t.rows;
    for (size_t i = 0; i < count; ++i) t.units += fields[i].len;
  }
  close_input(&in);
  t.ok = true;
  return t;
}

Tally validate(const char* path) {
  Tally t;
  ValidationReport* r = quelta_validate(path, kSchema, 100);
  if (!r) {
    report_library_error("validate failed on", path);
    return t;
  }
  const char* json = quelta_validate_json(r);
  t.rows = report_member(json, "\"rows_total\":");
  t.units = report_member(json, "\"errors_total\":");
  t.value = static_cast<double>(report_member(json, "\"rows_invalid\":"));
  quelta_validate_free(r);
  t.ok = true;
  return t;
}

Tally filtered_count(const char* path) {
  const Predicate price = price_predicate();
  const ScanOptions options = scan_options(&price, 1, static_cast<int64_t>(kPriceColumn));
  return count_rows(path, &options);
}

Tally plain_count(const char* path) {
  const ScanOptions options = scan_options(nullptr, 0, -1);
  return count_rows(path, &options);
}

struct Pass {
  const char* name;
  Tally (*run)(const char* path);
};

constexpr Pass kPasses[] = {
    {"count", plain_count}, {"filter", filtered_count}, {"tokenize", tokenize}, {"validate", validate}};

int run(int argc, char** argv) {
  if (!start_program("bench_json", argc, 2, "[JSONL [count|filter|tokenize|validate]]")) return 2;
  const char* path = arg_or(argc, argv, 1, "bench/data/rows.jsonl");
  const char* only = arg_or(argc, argv, 2, nullptr);
  if (only) {
    for (const Pass& p : kPasses) {
      if (std::strcmp(p.name, only) != 0) continue;
      Tally t = p.run(path);
      if (!t.ok) return 1;
      std::printf("%s %s: rows %llu units %llu value %.0f\n", p.name, path,
                  static_cast<unsigned long long>(t.rows), static_cast<unsigned long long>(t.units), t.value);
      return 0;
    }
    print_error("unknown pass %s", only);
    return 2;
  }

  Tally ref = count_newlines(path);  // also the warm-up
  if (!ref.ok) return 1;
  std::printf("file %s %.1f MiB; cpu %s; load %s\n", path, bytes_to_mib(static_cast<double>(ref.bytes)),
              cpu_model().c_str(), load_average().c_str());
  std::printf("best of %d runs; ratio = memchr count / pass time; filter: price > %s, max_column %zu\n\n",
              kRuns, kPriceLimit, kPriceColumn);
  std::printf("%-22s %9s %9s %8s %6s\n", "pass", "MB/s", "Mrows/s", "best s", "ratio");
  const Timing base = best_of([&] { return count_newlines(path); });
  std::printf("%-22s %9.1f %9.2f %8.3f %6.2f\n", "memchr newline count", mb_per_s(ref.bytes, base.seconds),
              mrows_per_s(base.tally.rows, base.seconds), base.seconds, 1.0);
  double mbps[4] = {};
  for (size_t i = 0; i < 4; ++i) {
    const Pass& p = kPasses[i];
    const Timing t = best_of([&] { return p.run(path); });
    if (!t.tally.ok) return 1;
    mbps[i] = mb_per_s(ref.bytes, t.seconds);
    std::printf("%-22s %9.1f %9.2f %8.3f %6.2f\n", p.name, mbps[i], mrows_per_s(base.tally.rows, t.seconds),
                t.seconds, base.seconds / t.seconds);
  }
  std::printf("\nfilter   %8.1f MB/s (aim >= %.0f)%s\n", mbps[1], kAimFilterMBps,
              mbps[1] >= kAimFilterMBps ? "" : "  BELOW AIM");
  std::printf("validate %8.1f MB/s (aim >= %.0f)%s\n", mbps[3], kAimValidateMBps,
              mbps[3] >= kAimValidateMBps ? "" : "  BELOW AIM");
  return 0;
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
