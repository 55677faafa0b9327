// The streaming validator: the Validator handle that walks an input row by row
// or batch by batch, handing out each row's fields and breaches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_writer.h"
#include "scan/batch.h"
#include "scan/row_out.h"
#include "validate/validator.h"

struct Validator;

namespace quelta {

enum class ValidatorOpenFailure : uint8_t {
  None,
  NoMemory,           // the handle or the array of header copies
  Setup,              // see the condition
  NoMemoryForHeader,  // one header copy
};

// Opens path and parses the schema against its header; on failure says which
// step failed (with the set-up's condition) and frees everything.
// site (when given) says where a failed set-up stood.
Validator* validator_open(const char* path, const char* schema_json, ValidatorOpenFailure* failure,
                          Error* condition, const ReadSettings& read = {}, FailureSite* site = nullptr);
void validator_close(Validator* v);

ValidatorState* validator_state(Validator* v);
RowCopyOut* validator_row_out(Validator* v);
size_t validator_n_columns(const Validator* v);
// The NUL-terminated header name at index, or null when index is out of range.
const char* validator_column_name(const Validator* v, size_t index);

// The row's error list as NUL-terminated JSON in the handle's reused text, or
// null for a row without breaches.
Error render_row_errors(Validator* v, const RowResult& row, const char** out);

// Up to max_rows rows as [{"number":1,"values":[..],"errors":[..]},..], the
// "errors" member only for rows with breaches, stopping once the text reaches
// max_bytes; *out stays null when no row was left. *no_memory_for_record tells
// a failed Batch allocation apart from a failed row or text.
Error validator_next_batch(ValidatorState* v, size_t max_rows, size_t max_bytes, Batch** out,
                           bool* no_memory_for_record);

}  // namespace quelta
