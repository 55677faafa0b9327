// Exports of the whole-file validation report.
#include <new>

#include "api/error_slot.h"
#include "platform/heap.h"
#include "quelta.h"
#include "validate/report.h"

using namespace quelta;

extern "C" {

QUELTA_API ValidationReport* quelta_validate(const char* path, const char* schema_json, size_t max_errors) {
  api::slot_clear();
  if (!path) {
    api::slot_set("path is null");
    return nullptr;
  }
  if (!schema_json) {
    api::slot_set("schema_json is null");
    return nullptr;
  }
  const uint64_t cap = max_errors == 0 ? 100 : max_errors;
  ReportRun run;
  if (Error e = report_run(&run, path, schema_json, cap); failed(e)) {
    api::slot_set("validate failed: ", e);
    return nullptr;
  }
  MemorySink sink;
  if (failed(render_report(run, sink)) || failed(sink.put('\0'))) {
    report_run_release(&run);
    api::slot_set("out of memory rendering report");
    return nullptr;
  }
  ByteBuffer text = sink.take();
  void* block = platform::heap_alloc(sizeof(ValidationReport));
  if (!block) {
    text.release();
    report_run_release(&run);
    api::slot_set("out of memory");
    return nullptr;
  }
  auto* report = new (block) ValidationReport{};
  report->run = run;
  report->json_length = text.len - 1;
  report->json = reinterpret_cast<char*>(text.take());
  return report;
}

QUELTA_API const char* quelta_validate_json(ValidationReport* report) {
  return report ? report->json : nullptr;
}

QUELTA_API void quelta_validate_free(ValidationReport* report) {
  if (!report) return;
  report_run_release(&report->run);
  platform::heap_free(report->json);
  platform::heap_free(report);
}
}
