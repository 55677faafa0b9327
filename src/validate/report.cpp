// The whole-file validation run behind quelta_validate and its report JSON.
#include "validate/report.h"

#include <cstring>
#include <new>
#include <utility>

#include "platform/heap.h"
#include "platform/owned.h"

// What quelta_validate hands out: the run's counters and kept breaches, and the
// rendered text. Immutable once returned.
struct ValidationReport {
  quelta::ReportRun run;
  char* json = nullptr;  // NUL-terminated
  size_t json_length = 0;
};

namespace quelta {
namespace {

// Copies a kept breach's texts out of the row and the Schema.
Error keep_error(ReportRun* run, ValidationError e) {
  uint8_t* name = arena_copy(&run->strings, e.column_name.ptr, e.column_name.len);
  uint8_t* value = name ? arena_copy(&run->strings, e.value.ptr, e.value.len) : nullptr;
  if (!value) return Error::OutOfMemory;
  e.column_name.ptr = name;
  e.value.ptr = value;
  return run->errors.push(e);
}

// With detail every breach of a row is recorded so that each can be counted
// by column; only the first cap of them are kept, as without.
Error validate_rows(ReportRun* run, ValidatorState* v, uint64_t cap, ReportDetail* detail) {
  for (;;) {
    RowResult r;
    const uint64_t budget = detail ? kUnlimitedErrors : cap - run->errors.len;
    if (Error e = validate_next_row(v, budget, &run->counts, &r); failed(e)) return e;
    if (!r.has_row) return Error::None;
    if (detail && detail->observe) {
      if (Error e = detail->observe(detail->observer, r.fields, r.n_fields); failed(e)) return e;
    }
    for (size_t i = 0; i < r.n_errors; ++i) {
      const ValidationError& err = r.errors[i];
      if (detail && err.has_column && err.column < detail->n_names)
        ++detail->column_counts[err.column * kRuleCount + static_cast<size_t>(err.rule)];
      if (run->errors.len == cap) continue;
      if (Error e = keep_error(run, err); failed(e)) return e;
    }
  }
}

// Copies the header names and zeroes the counters by column.
Error detail_prepare(ReportDetail* detail, const ValidatorState& v) {
  size_t n;
  const FieldView* names = input_names(v.scan.input, &n);
  detail->names = arena_array<FieldView>(&detail->storage, n);
  detail->column_counts =
      n > SIZE_MAX / kRuleCount ? nullptr : arena_array<uint64_t>(&detail->storage, n * kRuleCount);
  if (!detail->names || !detail->column_counts) return Error::OutOfMemory;
  std::memset(detail->column_counts, 0, n * kRuleCount * sizeof(uint64_t));
  for (size_t i = 0; i < n; ++i) {
    uint8_t* copy = arena_copy(&detail->storage, names[i].ptr, names[i].len);
    if (!copy) return Error::OutOfMemory;
    detail->names[i] = FieldView{copy, names[i].len};
  }
  detail->n_names = n;
  return Error::None;
}

uint64_t errors_total(const RuleCounts& c) {
  uint64_t sum = 0;
  for (uint64_t n : c.n) sum += n;
  return sum;
}

Error write_member(OutputSink& sink, std::string_view key_with_punctuation, uint64_t value) {
  if (Error e = sink.write(key_with_punctuation); failed(e)) return e;
  return write_integer(sink, value);
}

}  // namespace

Error report_run(ReportRun* run, const char* path, const char* schema_json, uint64_t cap,
                 const ReadSettings& read, FailureSite* site, ReportDetail* detail) {
  *run = ReportRun{};
  platform::Owned<ValidatorState, validator_release> v;
  if (Error e = validator_setup(v.get(), path, schema_json, read, site); failed(e)) return e;
  // Until the run succeeds, the run and the detail are released on the way out.
  platform::OwnedPtr<ReportRun, report_run_release> run_owner(run);
  platform::OwnedPtr<ReportDetail, report_detail_release> detail_owner(detail);
  Error e = detail ? detail_prepare(detail, *v.get()) : Error::None;
  if (!failed(e)) {
    e = validate_rows(run, v.get(), cap, detail);
    if (failed(e)) note_site(*v.get(), site);
  }
  run->rows_total = v->rows_total;
  run->rows_valid = v->rows_valid;
  run->rows_invalid = v->rows_invalid;
  if (failed(e)) return e;
  if (detail) detail->schema = std::exchange(v->schema, Schema{});
  (void)run_owner.release();
  (void)detail_owner.release();
  return Error::None;
}

void report_run_release(ReportRun* run) {
  run->errors.release();
  arena_release(&run->strings);
}

void report_detail_release(ReportDetail* detail) {
  schema_free(&detail->schema);
  arena_release(&detail->storage);
  detail->names = nullptr;
  detail->n_names = 0;
  detail->column_counts = nullptr;
}

Error render_report(const ReportRun& run, OutputSink& sink) {
  const uint64_t total = errors_total(run.counts);
  if (Error e = write_member(sink, "{\"rows_total\":", run.rows_total); failed(e)) return e;
  if (Error e = write_member(sink, ",\"rows_valid\":", run.rows_valid); failed(e)) return e;
  if (Error e = write_member(sink, ",\"rows_invalid\":", run.rows_invalid); failed(e)) return e;
  if (Error e = write_member(sink, ",\"errors_total\":", total); failed(e)) return e;
  if (Error e = sink.write(run.errors.len < total ? ",\"truncated\":true" : ",\"truncated\":false");
      failed(e))
    return e;
  if (Error e = sink.write(",\"counts\":{"); failed(e)) return e;
  bool first = true;
  for (size_t i = 0; i < kRuleCount; ++i) {
    if (run.counts.n[i] == 0) continue;
    if (Error e = sink.write(first ? "\"" : ",\""); failed(e)) return e;
    first = false;
    if (Error e = sink.write(std::string_view(rule_name(static_cast<Rule>(i)))); failed(e)) return e;
    if (Error e = write_member(sink, "\":", run.counts.n[i]); failed(e)) return e;
  }
  if (Error e = sink.write("},\"errors\":"); failed(e)) return e;
  if (Error e = write_error_list(sink, run.errors.data, run.errors.len); failed(e)) return e;
  return sink.put('}');
}

ValidationReport* report_create(ReportRun* run, char* json, size_t json_length) {
  void* block = platform::heap_alloc(sizeof(ValidationReport));
  if (!block) return nullptr;
  auto* report = new (block) ValidationReport{};
  report->run = *run;
  *run = ReportRun{};
  report->json = json;
  report->json_length = json_length;
  return report;
}

const char* report_json(const ValidationReport* report) { return report->json; }

void report_free(ValidationReport* report) {
  if (!report) return;
  report_run_release(&report->run);
  platform::heap_free(report->json);
  report->~ValidationReport();
  platform::heap_free(report);
}

}  // namespace quelta
