// The validation report as one self-contained HTML page: verdict and row
// counts, breaches by rule and by column as inline SVG bar charts, each
// column's rules, and the kept breaches in a table a short inline script
// filters. Nothing is fetched from anywhere; every text taken from the input
// or the schema goes through write_html_text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "json/json_writer.h"
#include "validate/json_tree.h"
#include "validate/report.h"

namespace quelta {

struct HtmlReportInput {
  const ReportRun* run = nullptr;
  const ReportDetail* detail = nullptr;
  FieldView title;   // what the page calls the input
  uint64_t cap = 0;  // the most breaches the run kept
  // The profile of the file's columns as its JSON layout reads (the "columns"
  // array), shown beside each column's rules; null for none.
  const JsonNode* profile = nullptr;
};

[[nodiscard]] Error write_html_report(OutputSink& sink, const HtmlReportInput& in);

// Writes the page to a new file at path (PathAlreadyExists when the path
// holds one); after a failure no file this call created is left behind.
[[nodiscard]] Error write_html_report_file(const char* path, const HtmlReportInput& in);

// Validates path as report_run does, profiling every column in the same
// pass, and writes the run's page, calling the input title, to a new file at
// html_path. On failure the run holds nothing, no page is left behind and
// site (when given) says where a read failed.
[[nodiscard]] Error html_report_run(ReportRun* run, const char* path, const char* schema_json, uint64_t cap,
                                    const ReadSettings& read, const char* html_path, const char* title,
                                    FailureSite* site = nullptr);
// Removes the page of a run whose report could not be handed out after all.
void html_report_discard(const char* html_path);

}  // namespace quelta
