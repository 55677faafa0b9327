// One pass over the input, each row going to one of two buffered file sinks.
// The outputs are removed on any failure once they exist, so a caller finds
// either two complete files or none.
#include "validate/to_files.h"

#include "json/file_sink.h"
#include "platform/file.h"
#include "platform/owned.h"
#include "scan/batch.h"
#include "validate/row_text.h"
#include "validate/validator.h"

namespace quelta {
namespace {

constexpr size_t kOutputBufferSize = 65536;

// One output file: its path, its handle while open, and its writer. An
// output this call created is removed when it goes out of scope unless kept.
struct Output {
  const char* path = nullptr;
  platform::File file;
  bool created = false;
  FileSink sink;

  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { discard(); }

  Error create(const char* at) {
    path = at;
    if (Error e = platform::file_create_new(at, &file); failed(e)) return e;
    created = true;
    return sink.attach(file, kOutputBufferSize);
  }
  // Writes out the buffer and closes the file, reporting either failure.
  Error finish() {
    Error e = sink.flush();
    Error closed = platform::file_close_written(&file);
    return failed(e) ? e : closed;
  }
  // The finished file stays where it is.
  void keep() { created = false; }
  // Closes (if still open) and removes a file this call created.
  void discard() {
    platform::file_close(&file);
    if (created) (void)platform::file_delete(path);
    created = false;
  }
};

Error write_invalid_line(OutputSink& sink, const RowResult& row) {
  // A field that is not UTF-8 fails the run, which removes the partly written line with the file.
  if (Error e = sink.write("{\"values\":"); failed(e)) return e;
  if (Error e = write_text_row_array(sink, row.fields, row.n_fields); failed(e)) return e;
  if (Error e = sink.write(",\"errors\":"); failed(e)) return e;
  if (Error e = write_error_list(sink, row.errors, row.n_errors); failed(e)) return e;
  return sink.write("}\n");
}

// Everything after both outputs exist: header, rows, flushes and closes.
Error split_rows(ValidatorState* v, Output* valid, Output* invalid, uint64_t* errors_total) {
  size_t n_names;
  const FieldView* names = input_names(v->scan.input, &n_names);
  if (Error e = write_csv_record(valid->sink, names, n_names); failed(e)) return e;
  for (;;) {
    RowResult row;
    if (Error e = validate_next_row(v, kUnlimitedErrors, nullptr, &row); failed(e)) return e;
    if (!row.has_row) break;
    if (row.n_errors == 0) {
      if (Error e = write_csv_record(valid->sink, row.fields, row.n_fields); failed(e)) return e;
    } else {
      if (Error e = write_invalid_line(invalid->sink, row); failed(e)) return e;
      *errors_total += row.n_errors;
    }
  }
  if (Error e = valid->finish(); failed(e)) return e;
  return invalid->finish();
}

}  // namespace

Error validate_to_files(const char* input_path, const char* schema_json, const char* valid_path,
                        const char* invalid_path, FileSplitStats* stats, const ReadSettings& read,
                        FailureSite* site) {
  platform::Owned<ValidatorState, validator_release> v;
  if (Error e = validator_setup(v.get(), input_path, schema_json, read, site); failed(e)) return e;
  // Declared after the validator, so a failure removes the outputs first.
  Output valid, invalid;
  uint64_t errors_total = 0;
  Error e = valid.create(valid_path);
  const char* refused = failed(e) ? valid_path : nullptr;
  // A failed create removes nothing at its own path: when the invalid output's
  // path holds a file (even the valid output just made there), only the valid
  // output, which this call created, is removed.
  if (!failed(e)) {
    e = invalid.create(invalid_path);
    if (failed(e)) refused = invalid_path;
  }
  if (!failed(e)) {
    e = split_rows(v.get(), &valid, &invalid, &errors_total);
    note_site(*v.get(), site);
  }
  if (failed(e)) {
    if (site && refused) {
      *site = FailureSite{};
      site->path = refused;
    }
    return e;
  }
  valid.keep();
  invalid.keep();
  stats->rows_total = v->rows_total;
  stats->rows_valid = v->rows_valid;
  stats->rows_invalid = v->rows_invalid;
  stats->errors_total = errors_total;
  return Error::None;
}

}  // namespace quelta
