// The outcome run: set-up over a path or memory, the row loop writing into one
// growing text, and the copy of that text handed to the caller.
#include "validate/outcome.h"

#include <cstring>

#include "json/json_writer.h"
#include "platform/heap.h"
#include "platform/owned.h"
#include "scan/batch.h"
#include "validate/row_text.h"
#include "validate/validator.h"

namespace quelta {
namespace {

// The path input[0..len) as a C string. A NUL inside it would name another file.
Error setup_from_path(ValidatorState* v, const uint8_t* input, size_t len, const char* schema_json,
                      const ReadSettings& read, FailureSite* site) {
  if (std::memchr(input, '\0', len)) return Error::BadPathName;
  auto path = platform::HeapArray<char>::allocate(len + 1);
  if (!path) return Error::OutOfMemory;
  std::memcpy(path.get(), input, len);
  path[len] = '\0';
  return validator_setup(v, path.get(), schema_json, read, site);
}

Error write_invalid_row(OutputSink& text, const RowResult& row) {
  if (Error e = text.write("{\"values\":"); failed(e)) return e;
  if (Error e = write_row_array(text, row.fields, row.n_fields); failed(e)) return e;
  if (Error e = text.write(",\"errors\":"); failed(e)) return e;
  if (Error e = write_error_list(text, row.errors, row.n_errors, false); failed(e)) return e;
  return text.put('}');
}

// The rows of an open Validator into text.
Error run_rows(ValidatorState* v, OutcomeResult result_kind, MemorySink* text) {
  size_t n_names;
  const FieldView* names = input_names(v->scan.input, &n_names);
  if (!fields_are_utf8(names, n_names)) return Error::InvalidUtf8;
  const bool list = result_kind == OutcomeResult::InvalidRows;
  if (list) {
    if (Error e = text->put('['); failed(e)) return e;
  }
  bool first = true;
  for (;;) {
    RowResult row;
    if (Error e = validate_next_row(v, list ? kUnlimitedErrors : 0, nullptr, &row); failed(e)) return e;
    if (!row.has_row) return text->write(list ? "]" : "true");
    if (!fields_are_utf8(row.fields, row.n_fields)) return Error::InvalidUtf8;
    if (!row.invalid) continue;
    if (!list) return text->write("false");
    if (!first) {
      if (Error e = text->put(','); failed(e)) return e;
    }
    first = false;
    if (Error e = write_invalid_row(*text, row); failed(e)) return e;
  }
}

}  // namespace

char* validate_outcome(const uint8_t* input, size_t len, const char* schema_json, OutcomeInput input_kind,
                       OutcomeResult result_kind, Error* condition, bool* no_memory_for_result,
                       const ReadSettings& read, FailureSite* site) {
  *condition = Error::None;
  if (site) *site = FailureSite{};
  *no_memory_for_result = false;
  MemorySink text;
  {
    // The input is closed before the result is copied out.
    platform::Owned<ValidatorState, validator_release> v;
    Error e = Error::None;
    if (input_kind == OutcomeInput::Path)
      e = setup_from_path(v.get(), input, len, schema_json, read, site);
    else if (len == 0)
      e = Error::EmptyFile;
    else
      e = validator_setup_memory(v.get(), input, len, input_kind == OutcomeInput::JsonText, schema_json, read,
                                 site);
    if (!failed(e)) {
      e = run_rows(v.get(), result_kind, &text);
      if (failed(e)) note_site(*v.get(), site);
    }
    if (failed(e)) {
      *condition = e;
      return nullptr;
    }
  }
  char* result = static_cast<char*>(platform::heap_alloc(text.size() + 1));
  if (!result) {
    *no_memory_for_result = true;
    return nullptr;
  }
  std::memcpy(result, text.data(), text.size());
  result[text.size()] = '\0';
  return result;
}

void outcome_free(char* text) { platform::heap_free(text); }

}  // namespace quelta
