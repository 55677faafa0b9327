// quelta_validate's run: every row of a file validated, the first breaches kept
// as copies, and the summary rendered as the report JSON.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_writer.h"
#include "quelta.h"
#include "util/arena.h"
#include "validate/validator.h"

struct ValidationReport;

namespace quelta {

// What a finished run keeps: counters, and at most cap breaches whose texts
// are copies in strings.
struct ReportRun {
  uint64_t rows_total = 0, rows_valid = 0, rows_invalid = 0;
  RuleCounts counts;
  GrowBuffer<ValidationError> errors;
  Arena strings;
};

// Shown every row a run reads, with its fields as read (valid for the call).
using RowObserver = Error (*)(void* context, const FieldView* fields, size_t n);

// What a page about the run shows beyond the report: the input's column
// names, the Schema, and every breach counted by column and rule; and, when
// observe is set, every row shown to it in the same pass.
struct ReportDetail {
  FieldView* names = nullptr;  // copies in storage
  size_t n_names = 0;
  uint64_t* column_counts = nullptr;  // n_names * kRuleCount, column by column
  Schema schema;                      // taken over from the run's validator
  Arena storage;
  RowObserver observe = nullptr;
  void* observer = nullptr;
};

// Validates every row of path against schema_json, keeping at most cap
// breaches, and fills detail when given (fresh, its observer set or not). The
// input is closed on return; on failure the run and detail hold nothing, and
// site (when given) says where the failure stood.
Error report_run(ReportRun* run, const char* path, const char* schema_json, uint64_t cap,
                 const ReadSettings& read = {}, FailureSite* site = nullptr, ReportDetail* detail = nullptr);
void report_run_release(ReportRun* run);
void report_detail_release(ReportDetail* detail);

// A report taking over the run and the rendered NUL-terminated text
// (json_length bytes before the NUL); null when the record cannot be
// allocated, in which case both stay the caller's.
ValidationReport* report_create(ReportRun* run, char* json, size_t json_length);
const char* report_json(const ValidationReport* report);
void report_free(ValidationReport* report);

// The report JSON: counters, "errors_total", "truncated", the non-zero counts
// by rule and the kept breaches, without any whitespace.
Error render_report(const ReportRun& run, OutputSink& sink);

}  // namespace quelta
