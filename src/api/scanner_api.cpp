// Exports of the Scanner family: open, close, the column directory, row
// stepping, counting and batches.
#include <cstring>

#include "api/error_slot.h"
#include "api/read_options.h"
#include "api/row_delivery.h"
#include "api/scanner_open.h"
#include "input/names.h"
#include "quelta.h"
#include "scan/batch.h"
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
  Scanner* s = scanner_open(path, options, &failure, &condition, settings);
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
  if (Error e = next_matching_row(scanner_state(scanner), &fields, &n, &at_end); failed(e)) {
    api::slot_set("next failed: ", e);
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
  if (Error e = count_rows(scanner_state(scanner), &n); failed(e)) {
    api::slot_set("count failed: ", e);
    return -1;
  }
  return static_cast<int64_t>(n);
}

QUELTA_API int32_t quelta_next_batch(Scanner* scanner, size_t max_rows, size_t max_bytes, Batch** out) {
  return api::deliver_batch(scanner, "scanner is null", out, [&](Batch** batch, bool* no_memory_for_record) {
    return next_batch(scanner_state(scanner), max_rows, max_bytes, batch, no_memory_for_record);
  });
}

QUELTA_API const char* quelta_batch_json(Batch* batch, size_t* out_len) {
  size_t len = 0;
  const uint8_t* text = batch ? batch_text(batch, &len) : nullptr;
  if (out_len) *out_len = len;
  return reinterpret_cast<const char*>(text);
}

QUELTA_API void quelta_batch_free(Batch* batch) { batch_free(batch); }
}
