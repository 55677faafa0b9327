// Opening and closing the streaming validator, its per-row error text and its
// batches.
#include "validate/stream.h"

#include <cstring>
#include <new>

#include "platform/heap.h"
#include "platform/owned.h"

struct Validator {
  quelta::ValidatorState state;
  quelta::RowCopyOut row_out;
  quelta::MemorySink errors_text;  // the current row's error list, NUL-terminated
  char** columns = nullptr;        // NUL-terminated copies of the header names
  size_t n_columns = 0;
};

namespace quelta {
namespace {

void free_columns(Validator* v) {
  if (!v->columns) return;
  for (size_t i = 0; i < v->n_columns; ++i) platform::heap_free(v->columns[i]);
  platform::heap_free(v->columns);
  v->columns = nullptr;
  v->n_columns = 0;
}

ValidatorOpenFailure copy_columns(Validator* v) {
  size_t n;
  const FieldView* names = input_names(v->state.scan.input, &n);
  v->columns = static_cast<char**>(platform::heap_alloc((n ? n : 1) * sizeof(char*)));
  if (!v->columns) return ValidatorOpenFailure::NoMemory;
  for (size_t i = 0; i < n; ++i) {
    char* name = static_cast<char*>(platform::heap_alloc(names[i].len + 1));
    if (!name) return ValidatorOpenFailure::NoMemoryForHeader;
    if (names[i].len) std::memcpy(name, names[i].ptr, names[i].len);
    name[names[i].len] = '\0';
    v->columns[i] = name;
    v->n_columns = i + 1;
  }
  return ValidatorOpenFailure::None;
}

Error write_batch_row(OutputSink& text, const RowResult& row) {
  if (Error e = text.write("{\"number\":"); failed(e)) return e;
  if (Error e = write_integer(text, row.row); failed(e)) return e;
  if (Error e = text.write(",\"values\":"); failed(e)) return e;
  if (Error e = write_row_array(text, row.fields, row.n_fields); failed(e)) return e;
  if (row.n_errors > 0) {
    if (Error e = text.write(",\"errors\":"); failed(e)) return e;
    if (Error e = write_error_list(text, row.errors, row.n_errors); failed(e)) return e;
  }
  return text.put('}');
}

}  // namespace

Validator* validator_open(const char* path, const char* schema_json, ValidatorOpenFailure* failure,
                          Error* condition, const ReadSettings& read, FailureSite* site) {
  *failure = ValidatorOpenFailure::None;
  *condition = Error::None;
  auto box = platform::HeapBox<Validator>::make();
  if (!box) {
    *failure = ValidatorOpenFailure::NoMemory;
    return nullptr;
  }
  // A failed set-up leaves nothing of the state to release.
  if (Error e = validator_setup(&box->state, path, schema_json, read, site); failed(e)) {
    *failure = ValidatorOpenFailure::Setup;
    *condition = e;
    return nullptr;
  }
  // From here the Validator owns all it holds, and validator_close releases it.
  platform::OwnedPtr<Validator, validator_close> v(box.release());
  if (ValidatorOpenFailure f = copy_columns(v.get()); f != ValidatorOpenFailure::None) {
    *failure = f;
    return nullptr;
  }
  return v.release();
}

void validator_close(Validator* v) {
  if (!v) return;
  validator_release(&v->state);
  row_copy_out_release(&v->row_out);
  free_columns(v);
  v->~Validator();
  platform::heap_free(v);
}

Error render_row_errors(Validator* v, const RowResult& row, const char** out) {
  *out = nullptr;
  if (row.n_errors == 0) return Error::None;
  v->errors_text.clear();
  if (Error e = write_error_list(v->errors_text, row.errors, row.n_errors); failed(e)) return e;
  if (Error e = v->errors_text.put('\0'); failed(e)) return e;
  *out = reinterpret_cast<const char*>(v->errors_text.data());
  return Error::None;
}

Error validator_next_batch(ValidatorState* v, size_t max_rows, size_t max_bytes, Batch** out,
                           bool* no_memory_for_record) {
  *out = nullptr;
  *no_memory_for_record = false;
  if (max_rows < 1 || max_rows > kMaxBatchRows || max_bytes == 0) return Error::InvalidBatchSize;
  MemorySink text;
  if (Error e = text.put('['); failed(e)) return e;
  size_t rows = 0;
  while (rows < max_rows) {
    RowResult row;
    if (Error e = validate_next_row(v, kUnlimitedErrors, nullptr, &row); failed(e)) return e;
    if (!row.has_row) break;
    if (rows > 0) {
      if (Error e = text.put(','); failed(e)) return e;
    }
    if (Error e = write_batch_row(text, row); failed(e)) return e;
    ++rows;
    if (text.size() >= max_bytes) break;
  }
  if (rows == 0) return Error::None;
  Error text_failure = Error::None;
  if (!batch_from_text(&text, out, &text_failure)) {
    *no_memory_for_record = !failed(text_failure);
    return failed(text_failure) ? text_failure : Error::OutOfMemory;
  }
  return Error::None;
}

ValidatorState* validator_state(Validator* v) { return &v->state; }

RowCopyOut* validator_row_out(Validator* v) { return &v->row_out; }

size_t validator_n_columns(const Validator* v) { return v->n_columns; }

const char* validator_column_name(const Validator* v, size_t index) {
  return index < v->n_columns ? v->columns[index] : nullptr;
}

}  // namespace quelta
