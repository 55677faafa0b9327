// Exports of the whole-file validation report.
#include "api/error_slot.h"
#include "api/read_options.h"
#include "platform/owned.h"
#include "quelta.h"
#include "report/html_report.h"
#include "validate/report.h"

using namespace quelta;

extern "C" {

// The report JSON rendered and handed out with the run; the run is released on failure.
static ValidationReport* report_from_run(ReportRun* run) {
  platform::OwnedPtr<ReportRun, report_run_release> owned_run(run);
  MemorySink sink;
  if (failed(render_report(*run, sink)) || failed(sink.put('\0'))) {
    api::slot_set("out of memory rendering report");
    return nullptr;
  }
  OwnedBuffer<uint8_t> text(sink.take());
  ValidationReport* report = report_create(run, reinterpret_cast<char*>(text->data), text->len - 1);
  if (!report) {
    api::slot_set("out of memory");
    return nullptr;
  }
  // The report holds both now.
  (void)text.take();
  (void)owned_run.release();
  return report;
}

static ValidationReport* validate(const char* path, const char* schema_json, size_t max_errors,
                                  const ReadOptions* read) {
  api::slot_clear();
  if (!path) {
    api::slot_set("path is null");
    return nullptr;
  }
  if (!schema_json) {
    api::slot_set("schema_json is null");
    return nullptr;
  }
  ReadSettings settings;
  if (!api::read_settings_from(read, &settings)) {
    api::slot_set(api::kInvalidReadOptions);
    return nullptr;
  }
  const uint64_t cap = max_errors == 0 ? 100 : max_errors;
  ReportRun run;
  FailureSite site;
  if (Error e = report_run(&run, path, schema_json, cap, settings, &site); failed(e)) {
    api::slot_set("validate failed: ", e);
    api::slot_subject(path);
    api::slot_site(site);
    return nullptr;
  }
  return report_from_run(&run);
}

QUELTA_API ValidationReport* quelta_validate(const char* path, const char* schema_json, size_t max_errors) {
  return validate(path, schema_json, max_errors, nullptr);
}

QUELTA_API ValidationReport* quelta_validate_with(const char* path, const char* schema_json,
                                                  size_t max_errors, const ReadOptions* read) {
  return validate(path, schema_json, max_errors, read);
}

QUELTA_API const char* quelta_validate_json(ValidationReport* report) {
  return report ? report_json(report) : nullptr;
}

QUELTA_API void quelta_validate_free(ValidationReport* report) { report_free(report); }

QUELTA_API ValidationReport* quelta_validate_html(const char* path, const char* schema_json,
                                                  size_t max_errors, const ReadOptions* read,
                                                  const char* html_path, const char* title) {
  api::slot_clear();
  if (!path || !schema_json || !html_path) {
    api::slot_set("validate_html requires input, schema and html path");
    return nullptr;
  }
  ReadSettings settings;
  if (!api::read_settings_from(read, &settings)) {
    api::slot_set(api::kInvalidReadOptions);
    return nullptr;
  }
  const uint64_t cap = max_errors == 0 ? 100 : max_errors;
  ReportRun run;
  FailureSite site;
  if (Error e =
          html_report_run(&run, path, schema_json, cap, settings, html_path, title ? title : path, &site);
      failed(e)) {
    api::slot_set("validate_html failed: ", e);
    api::slot_subject(e == Error::PathAlreadyExists ? html_path : path);
    api::slot_site(site);
    return nullptr;
  }
  ValidationReport* report = report_from_run(&run);
  if (!report) html_report_discard(html_path);
  return report;
}
}
