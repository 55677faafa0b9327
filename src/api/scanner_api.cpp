// Exports of the Scanner family: open, close, the column directory, row
// stepping, counting, batches and rows in bulk.
#include <cstring>

#include "api/error_slot.h"
#include "api/read_options.h"
#include "api/row_delivery.h"
#include "api/scanner_open.h"
#include "input/names.h"
#include "quelta.h"
#include "scan/batch.h"
#include "scan/bulk_rows.h"
#include "scan/count.h"
#include "scan/scanner.h"

using namespace quelta;

Scanner* api::open_scanner(const char* path, const ScanOptions* options, const ReadOptions* read) {
  api::slot_clear();
  if (!path) {
    api::slot_set("path is null");
    return nullptr;
  }
  ReadSettings settings;
  if (!api::read_settings_from(read, &settings)) {
    api::slot_set(api::kInvalidReadOptions);
    return nullptr;
  }
  OpenFailure failure;
  Error condition;
  FailureSite site;
  Scanner* s = scanner_open(path, options, &failure, &condition, settings, &site);
  switch (failure) {
    case OpenFailure::None:
      break;
    case OpenFailure::NullPredicates:
      api::slot_set("predicates is null");
      break;
    case OpenFailure::NullProjection:
      api::slot_set("projection is null");
      break;
    case OpenFailure::NoMemoryForPredicates:
      api::slot_set("out of memory allocating predicates");
      break;
    case OpenFailure::NoMemoryForInValues:
      api::slot_set("out of memory allocating IN values");
      break;
    case OpenFailure::NoMemoryForScanner:
      api::slot_set("out of memory allocating scanner context");
      break;
    case OpenFailure::Input:
      api::slot_set("open failed: ", condition);
      api::slot_subject(path);
      api::slot_site(site);
      break;
    case OpenFailure::NoMemoryForHeader:
      api::slot_set("out of memory allocating header");
      break;
  }
  return s;
}

extern "C" {

QUELTA_API Scanner* quelta_open(const char* path, const ScanOptions* options) {
  return api::open_scanner(path, options, nullptr);
}

QUELTA_API Scanner* quelta_open_with(const char* path, const ScanOptions* options, const ReadOptions* read) {
  return api::open_scanner(path, options, read);
}

QUELTA_API void quelta_close(Scanner* scanner) { scanner_close(scanner); }

QUELTA_API size_t quelta_n_columns(Scanner* scanner) { return scanner ? scanner_n_columns(scanner) : 0; }

QUELTA_API const char* quelta_column_name(Scanner* scanner, size_t index) {
  return scanner ? scanner_column_name(scanner, index) : nullptr;
}

QUELTA_API int64_t quelta_column_index(Scanner* scanner, const char* name) {
  if (!scanner || !name) return -1;
  size_t n;
  const FieldView* names = input_names(scanner_state(scanner)->input, &n);
  return find_column(names, n, FieldView{reinterpret_cast<const uint8_t*>(name), std::strlen(name)});
}

QUELTA_API int32_t quelta_next(Scanner* scanner, const char*** out_fields, size_t* out_count) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return -1;
  }
  const FieldView* fields;
  size_t n;
  bool at_end = false;
  input_site(&scanner_state(scanner)->input)->forget();
  if (Error e = next_matching_row(scanner_state(scanner), &fields, &n, &at_end); failed(e)) {
    api::slot_set("next failed: ", e);
    api::slot_site(input_site(scanner_state(scanner)->input));
    return -1;
  }
  if (at_end) return 0;
  if (!api::deliver_row(scanner_row_out(scanner), fields, n, out_fields, out_count)) return -1;
  return 1;
}

QUELTA_API int64_t quelta_count(Scanner* scanner) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return -1;
  }
  uint64_t n = 0;
  input_site(&scanner_state(scanner)->input)->forget();
  if (Error e = count_rows(scanner_state(scanner), &n); failed(e)) {
    api::slot_set("count failed: ", e);
    api::slot_site(input_site(scanner_state(scanner)->input));
    return -1;
  }
  return static_cast<int64_t>(n);
}

QUELTA_API int32_t quelta_next_batch(Scanner* scanner, size_t max_rows, size_t max_bytes, Batch** out) {
  return api::deliver_batch(
      scanner, "scanner is null", out,
      [&](Batch** batch, bool* no_memory_for_record) {
        input_site(&scanner_state(scanner)->input)->forget();
        return next_batch(scanner_state(scanner), max_rows, max_bytes, batch, no_memory_for_record);
      },
      [&]() { return &input_site(scanner_state(scanner)->input); });
}

QUELTA_API const char* quelta_batch_json(Batch* batch, size_t* out_len) {
  size_t len = 0;
  const uint8_t* text = batch ? batch_text(batch, &len) : nullptr;
  if (out_len) *out_len = len;
  return reinterpret_cast<const char*>(text);
}

QUELTA_API void quelta_batch_free(Batch* batch) { batch_free(batch); }
}

// ---- Rows in bulk ----------------------------------------------------------

extern "C" {

QUELTA_API int32_t quelta_next_rows(Scanner* scanner, size_t max_rows, size_t max_bytes, RowChunk* out) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return -1;
  }
  if (!out) {
    api::slot_set("row chunk is null");
    return -1;
  }
  if (out->size < sizeof(RowChunk)) {
    api::slot_set("invalid row chunk");
    return -1;
  }
  const size_t size = out->size;
  *out = RowChunk{};
  out->size = size;
  out->separator = static_cast<char>(kRowSeparator);
  bool no_memory_for_rows = false;
  ScanState* s = scanner_state(scanner);
  input_site(&s->input)->forget();
  if (Error e = next_rows(s, max_rows, max_bytes, &no_memory_for_rows); failed(e)) {
    if (no_memory_for_rows) {
      api::slot_set("out of memory copying rows");
    } else {
      api::slot_set("next failed: ", e);
      api::slot_site(input_site(s->input));
    }
    return -1;
  }
  const RowBlock& block = s->bulk.out;
  out->data = block.data.len ? reinterpret_cast<const char*>(block.data.data) : nullptr;
  out->data_len = block.data.len;
  out->field_ends = block.field_ends.data;
  out->row_ends = block.row_ends.data;
  out->n_rows = block.n_rows();
  out->n_fields = block.field_ends.len;
  out->width = block.width();
  out->uniform = block.uniform ? 1 : 0;
  out->separated = block.separated ? 1 : 0;
  return out->n_rows ? 1 : 0;
}

QUELTA_API int32_t quelta_unread_rows(Scanner* scanner, size_t n_rows) {
  api::slot_clear();
  if (!scanner) {
    api::slot_set("scanner is null");
    return -1;
  }
  switch (unread_rows(scanner_state(scanner), n_rows)) {
    case Error::None:
      return 0;
    case Error::OutOfMemory:
      api::slot_set("out of memory keeping rows");
      return -1;
    default:
      api::slot_set("unread rows out of range");
      return -1;
  }
}
}
