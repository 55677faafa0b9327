// Throughput of the validation outputs over gen_data's CSV, each against
// quelta_validate of the same file in the same run: quelta_validate_to_files
// (both outputs written through their buffers), quelta_validator_next_batch
// (every row as batch JSON), and quelta_validate_outcome over the CSV's first
// 16 MiB of whole lines held in memory.
//
// usage: bench_validate_outputs [CSV [OUT_DIR]]
//        (defaults bench/data/rows.csv and a fresh folder under /tmp)
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "bench_common.h"

namespace quelta::bench {
namespace {

constexpr double kAimToFiles = 0.7;
constexpr double kAimBatches = 0.6;
constexpr size_t kSliceBytes = 16u << 20;
constexpr size_t kBatchRows = 4096;

// The schema of bench_validate: an integer id (required), a bounded float
// price, a datetime, a string with length bounds and a one_of of five values.
constexpr const char* kSchema = R"({"id":{"type":"integer","required":true},)"
                                R"("price":{"type":"float","min":1,"max":9000},)"
                                R"("ts":{"type":"datetime"},)"
                                R"("name":{"type":"string","min_len":4,"max_len":6},)"
                                R"("city":{"one_of":["Lyon","Osaka","Porto","New York","Portland, OR"]}})";

// For reference: a schema every generated row passes, so that the files pass
// writes only the CSV of valid rows (the schema above sends most rows to the
// invalid output, each as a JSON line about twice the row's size).
constexpr const char* kAllValidSchema = R"({"id":{"type":"integer","required":true},)"
                                        R"("price":{"type":"float","min":0},"ts":{"type":"datetime"}})";

// rows = rows_total, units = rows_invalid, value = errors_total.
Tally validate(const char* path, const char* schema) {
  Tally t;
  ValidationReport* r = quelta_validate(path, schema, 100);
  if (!r) {
    report_library_error("validate failed on", path);
    return t;
  }
  const char* json = quelta_validate_json(r);
  t.rows = report_member(json, "\"rows_total\":");
  t.units = report_member(json, "\"rows_invalid\":");
  t.value = static_cast<double>(report_member(json, "\"errors_total\":"));
  quelta_validate_free(r);
  t.ok = true;
  return t;
}

// Each run writes its own pair of outputs (removed afterwards, outside the
// timing), since the outputs are created new-only.
struct Outputs {
  std::string dir;
  int run = 0;
  std::string path(const char* name, int r) const { return dir + "/" + name + std::to_string(r); }
  void remove(int r) const {
    ::unlink(path("valid.csv.", r).c_str());
    ::unlink(path("invalid.jsonl.", r).c_str());
  }
};

uint64_t file_size(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<uint64_t>(in.tellg()) : 0;
}

Tally to_files(const char* path, const char* schema, Outputs* out) {
  Tally t;
  const int r = out->run++;
  const std::string valid = out->path("valid.csv.", r), invalid = out->path("invalid.jsonl.", r);
  ValidationStats stats{};
  if (quelta_validate_to_files(path, schema, valid.c_str(), invalid.c_str(), &stats) != 0) {
    report_library_error("validate_to_files failed on", path);
    return t;
  }
  t.rows = stats.rows_total;
  t.units = stats.rows_invalid;
  t.value = static_cast<double>(stats.errors_total);
  t.ok = stats.rows_total == stats.rows_valid + stats.rows_invalid;
  return t;
}

// Every row as batches of kBatchRows rows; bytes counts the batch text.
Tally batches(const char* path, uint64_t* json_bytes) {
  Tally t;
  Validator* v = quelta_validator_open(path, kSchema);
  if (!v) {
    report_library_error("cannot open validator on", path);
    return t;
  }
  *json_bytes = 0;
  Batch* b = nullptr;
  int32_t r;
  while ((r = quelta_validator_next_batch(v, kBatchRows, SIZE_MAX, &b)) == 1) {
    size_t len = 0;
    quelta_batch_json(b, &len);
    *json_bytes += len;
    quelta_batch_free(b);
  }
  if (r < 0) {
    report_library_error("batch failed on", path);
  } else {
    t.ok = true;
    t.rows = quelta_validator_rows_total(v);
    t.units = quelta_validator_rows_invalid(v);
  }
  quelta_validator_close(v);
  return t;
}

// units = the text's length; the invalid rows are counted outside the timing.
Tally outcome(const std::string& text, uint32_t result_kind, std::string* kept = nullptr) {
  Tally t;
  char* result = quelta_validate_outcome(text.data(), text.size(), kSchema, 1, result_kind);
  if (!result) {
    report_library_error("outcome failed on", "memory slice");
    return t;
  }
  t.units = std::strlen(result);
  if (kept) kept->assign(result, t.units);
  quelta_outcome_free(result);
  t.ok = true;
  return t;
}

uint64_t count_of(const std::string& text, const char* what) {
  uint64_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
  return n;
}

// The first kSliceBytes of whole lines of the file, header included.
std::string read_slice(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(kSliceBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  size_t last = text.rfind('\n');
  text.resize(last == std::string::npos ? 0 : last + 1);
  return text;
}

// A pass's throughput and its ratio to ref, a quelta_validate pass over
// ref_bytes: by wall time, and by CPU time, which holds on a loaded machine.
void print_row(const char* pass, const Timing& t, uint64_t bytes, const Timing& ref, uint64_t ref_bytes) {
  const double scale = static_cast<double>(bytes) / static_cast<double>(ref_bytes);
  std::printf("%-36s %8.1f %8.2f %7.3f %7.3f %7.2f %7.2f\n", pass, mb_per_s(bytes, t.seconds),
              mrows_per_s(t.tally.rows, t.seconds), t.seconds, t.cpu_seconds, ref.seconds * scale / t.seconds,
              ref.cpu_seconds * scale / t.cpu_seconds);
}

int run(int argc, char** argv) {
  if (!start_program("bench_validate_outputs", argc, 2, "[CSV [OUT_DIR]]")) return 2;
  const char* csv = arg_or(argc, argv, 1, "bench/data/rows.csv");
  Outputs out;
  if (argc > 2) {
    out.dir = argv[2];
  } else {
    char pattern[] = "/tmp/quelta-bench-outputs-XXXXXX";
    if (!mkdtemp(pattern)) {
      print_error("cannot make a folder under /tmp");
      return 1;
    }
    out.dir = pattern;
  }

  std::printf("cpu: %s   load: %s\nschema: %s\nall-valid schema: %s\n\n", cpu_model().c_str(),
              load_average().c_str(), kSchema, kAllValidSchema);
  Timing base = best_of([&] { return count_newlines(csv); });
  Timing val = best_of([&] { return validate(csv, kSchema); });
  // Each run's outputs are removed before the next: kept, they would pile up
  // past the kernel's dirty-page limits and time the disk instead.
  uint64_t out_bytes = 0;
  auto measure_and_remove = [&] {
    const int r = out.run - 1;
    out_bytes = file_size(out.path("valid.csv.", r)) + file_size(out.path("invalid.jsonl.", r));
    out.remove(r);
  };
  Timing files = best_of([&] { return to_files(csv, kSchema, &out); }, measure_and_remove);
  const uint64_t files_bytes = out_bytes;
  Timing val_ref = best_of([&] { return validate(csv, kAllValidSchema); });
  Timing files_ref = best_of([&] { return to_files(csv, kAllValidSchema, &out); }, measure_and_remove);
  if (argc <= 2) ::rmdir(out.dir.c_str());
  uint64_t json_bytes = 0;
  Timing batch = best_of([&] { return batches(csv, &json_bytes); });
  const std::string slice = read_slice(csv);
  Timing listed = best_of([&] { return outcome(slice, 1); });
  Timing first = best_of([&] { return outcome(slice, 0); });
  std::string listed_text;
  outcome(slice, 1, &listed_text);
  if (!base.tally.ok || !val.tally.ok || !files.tally.ok || !val_ref.tally.ok || !files_ref.tally.ok ||
      !batch.tally.ok || !listed.tally.ok || !first.tally.ok)
    return 1;

  const uint64_t bytes = base.tally.bytes;
  std::printf("%-36s %8s %8s %7s %7s %7s %7s\n", "pass", "MB/s", "Mrows/s", "best s", "cpu s", "vs val.",
              "cpu vs");
  print_row("memchr newline count", base, bytes, val, bytes);
  print_row("quelta_validate", val, bytes, val, bytes);
  print_row("quelta_validate_to_files", files, bytes, val, bytes);
  print_row("quelta_validator_next_batch 4096", batch, bytes, val, bytes);
  print_row("outcome, invalid rows, 16 MiB mem", listed, slice.size(), val, bytes);
  print_row("outcome, all valid?, 16 MiB mem", first, slice.size(), val, bytes);
  std::printf("reference, the all-valid schema (ratio to its own quelta_validate):\n");
  print_row("quelta_validate, all valid", val_ref, bytes, val_ref, bytes);
  print_row("quelta_validate_to_files, all valid", files_ref, bytes, val_ref, bytes);
  std::printf(
      "\nrows %llu, invalid %llu, breaches %llu; outputs %.1f MB; batch JSON %.1f MB; "
      "outcome text %.1f MB (%llu invalid rows of the slice)\n",
      static_cast<unsigned long long>(val.tally.rows), static_cast<unsigned long long>(val.tally.units),
      static_cast<unsigned long long>(val.tally.value), static_cast<double>(files_bytes) / 1e6,
      static_cast<double>(json_bytes) / 1e6, static_cast<double>(listed.tally.units) / 1e6,
      static_cast<unsigned long long>(count_of(listed_text, "{\"values\":")));

  const double files_ratio = val.seconds / files.seconds;
  const double batch_ratio = val.seconds / batch.seconds;
  std::printf("\nquelta_validate_to_files: %.2f of quelta_validate (CPU time: %.2f; aim >= %.1f)%s\n",
              files_ratio, val.cpu_seconds / files.cpu_seconds, kAimToFiles,
              files_ratio >= kAimToFiles ? "" : "  BELOW AIM");
  std::printf("quelta_validator_next_batch: %.2f of quelta_validate (CPU time: %.2f; aim >= %.1f)%s\n",
              batch_ratio, val.cpu_seconds / batch.cpu_seconds, kAimBatches,
              batch_ratio >= kAimBatches ? "" : "  BELOW AIM");
  const bool consistent = files.tally.rows == val.tally.rows && files.tally.units == val.tally.units &&
                          files.tally.value == val.tally.value && batch.tally.rows == val.tally.rows &&
                          batch.tally.units == val.tally.units && base.tally.rows == val.tally.rows + 1 &&
                          files_ref.tally.rows == val.tally.rows &&
                          files_ref.tally.units == val_ref.tally.units;
  return exit_status(consistent, "the validation passes disagree on rows, invalid rows or breaches");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
