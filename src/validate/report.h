// quelta_validate's run: every row of a file validated, the first breaches kept
// as copies, and the summary rendered as the report JSON.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_writer.h"
#include "quelta.h"
#include "util/arena.h"
#include "validate/validator.h"

namespace quelta {

// What a finished run keeps: counters, and at most cap breaches whose texts
// are copies in strings.
struct ReportRun {
  uint64_t rows_total = 0, rows_valid = 0, rows_invalid = 0;
  RuleCounts counts;
  GrowBuffer<ValidationError> errors;
  Arena strings;
};

// Validates every row of path against schema_json, keeping at most cap
// breaches. The input is closed on return; on failure the run holds nothing.
Error report_run(ReportRun* run, const char* path, const char* schema_json, uint64_t cap);
void report_run_release(ReportRun* run);

// The report JSON: counters, "errors_total", "truncated", the non-zero counts
// by rule and the kept breaches, without any whitespace.
Error render_report(const ReportRun& run, OutputSink& sink);

}  // namespace quelta

// What quelta_validate hands out: the run's counters and kept breaches, and the
// rendered text. Immutable once returned.
struct ValidationReport {
  quelta::ReportRun run;
  char* json = nullptr;  // NUL-terminated
  size_t json_length = 0;
};
