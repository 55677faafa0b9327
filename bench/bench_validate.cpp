// Throughput of quelta_validate over gen_data's CSV and its JSON-lines twin,
// against tokenizing every record of the same file (the reader alone) and the
// memchr newline count, with the peak memory of a whole-file validation.
//
// usage: bench_validate [CSV [JSONL]]   (defaults bench/data/rows.csv, bench/data/rows.jsonl)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench_common.h"
#include "input/open_input.h"

namespace quelta::bench {
namespace {

constexpr double kAimCsvMBps = 600.0;

// An integer id (required), a bounded float price, a datetime, a string with
// length bounds and a one_of of five values, over gen_data's columns.
constexpr const char* kSchema = R"({"id":{"type":"integer","required":true},)"
                                R"("price":{"type":"float","min":1,"max":9000},)"
                                R"("ts":{"type":"datetime"},)"
                                R"("name":{"type":"string","min_len":4,"max_len":6},)"
                                R"("city":{"one_of":["Lyon","Osaka","Porto","New York","Portland, OR"]}})";

// Every record through the input's own reader (CSV tokenizer or JSON rows),
// header excluded: the floor under any validation of the same file.
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
    t.units += count;
  }
  close_input(&in);
  t.ok = true;
  return t;
}

// quelta_validate of the whole file; rows and breach totals come from the
// report text, so every run must agree on them.
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

void validate_in_child(const char* path, MemoryReport* r) {
  ValidationReport* report = quelta_validate(path, kSchema, 100);
  if (!report) return;
  r->rows = static_cast<int64_t>(report_member(quelta_validate_json(report), "\"rows_total\":"));
  quelta_validate_free(report);
  r->peak = peak_kib();
}

void print_row(const char* pass, const char* input, const Timing& t, uint64_t bytes, double base_seconds,
               double tokenize_seconds) {
  std::printf("%-22s %-6s %9.1f %9.2f %8.3f %9.2f %9.2f\n", pass, input, mb_per_s(bytes, t.seconds),
              mrows_per_s(t.tally.rows, t.seconds), t.seconds, base_seconds / t.seconds,
              tokenize_seconds / t.seconds);
}

struct FileTimings {
  Timing base, tokenize, validate;
  bool ok() const { return base.tally.ok && tokenize.tally.ok && validate.tally.ok; }
};

FileTimings run_file(const char* path, const char* label) {
  FileTimings f;
  f.base = best_of([&] { return count_newlines(path); });
  f.tokenize = best_of([&] { return tokenize(path); });
  f.validate = best_of([&] { return validate(path); });
  if (!f.ok()) return f;
  const uint64_t bytes = f.base.tally.bytes;
  print_row("memchr newline count", label, f.base, bytes, f.base.seconds, f.tokenize.seconds);
  print_row("tokenize records", label, f.tokenize, bytes, f.base.seconds, f.tokenize.seconds);
  print_row("quelta_validate", label, f.validate, bytes, f.base.seconds, f.tokenize.seconds);
  return f;
}

int run(int argc, char** argv) {
  if (!start_program("bench_validate", argc, 2, "[CSV [JSONL]]")) return 2;
  const char* csv = arg_or(argc, argv, 1, "bench/data/rows.csv");
  const char* jsonl = arg_or(argc, argv, 2, "bench/data/rows.jsonl");

  // Memory first, while this process holds almost nothing a child inherits.
  MemoryReport mem_csv = measure_in_child([&](MemoryReport* r) { validate_in_child(csv, r); });
  MemoryReport mem_jsonl = measure_in_child([&](MemoryReport* r) { validate_in_child(jsonl, r); });

  std::printf("cpu: %s   load: %s\nschema: %s\n\n", cpu_model().c_str(), load_average().c_str(), kSchema);
  std::printf("%-22s %-6s %9s %9s %8s %9s %9s\n", "pass", "input", "MB/s", "Mrows/s", "best s", "vs memchr",
              "vs tokens");
  FileTimings c = run_file(csv, "csv");
  FileTimings j = run_file(jsonl, "jsonl");
  if (!c.ok() || !j.ok()) return 1;

  std::printf("\nrows %llu, invalid %llu, breaches %llu (both files)\n",
              static_cast<unsigned long long>(c.validate.tally.rows),
              static_cast<unsigned long long>(c.validate.tally.value),
              static_cast<unsigned long long>(c.validate.tally.units));
  std::printf("\n%-22s %-6s %9s %9s %9s\n", "peak memory (MiB)", "input", "before", "peak", "added");
  for (auto [label, m] : {std::pair{"csv", &mem_csv}, std::pair{"jsonl", &mem_jsonl}}) {
    if (!m->ok) {
      std::printf("%-22s %-6s   (measurement failed)\n", "quelta_validate", label);
      continue;
    }
    std::printf("%-22s %-6s %9.2f %9.2f %9.2f\n", "quelta_validate", label, kib_to_mib(m->rss_before),
                kib_to_mib(m->peak), kib_to_mib(m->peak - m->rss_before));
  }

  double csv_mbps = mb_per_s(c.base.tally.bytes, c.validate.seconds);
  std::printf("\nquelta_validate on the CSV: %.1f MB/s (aim >= %.0f)%s\n", csv_mbps, kAimCsvMBps,
              csv_mbps >= kAimCsvMBps ? "" : "  BELOW AIM");
  bool consistent =
      c.validate.tally.rows == c.tokenize.tally.rows && j.validate.tally.rows == j.tokenize.tally.rows &&
      c.validate.tally.rows == j.validate.tally.rows && c.validate.tally.units == j.validate.tally.units &&
      c.validate.tally.value == j.validate.tally.value;
  return exit_status(consistent, "the CSV and JSON-lines validations or the row counts disagree");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
