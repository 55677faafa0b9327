// The CSV tokenizer: one line is one record, split at a one-byte delimiter
// with double-quote quoting inside the line. Fields are views into the line,
// except quoted fields with doubled quotes, which are unescaped into scratch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "platform/error.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr uint8_t kQuote = '"';

// Splits one line into fields. scratch receives unescaped copies and must be
// emptied by the caller before each record; fields grows as needed. Stops
// after column max_column (kNoMaxColumn: never).
Error split_record(FieldView line, uint8_t delimiter, uint64_t max_column, GrowBuffer<FieldView>* fields,
                   ByteBuffer* scratch, size_t* count);

// The offset of the quote in line that opens a field and is never closed, as
// split_record reads the line; SIZE_MAX when every quoted field closes.
size_t find_unclosed_quote(FieldView line, uint8_t delimiter);

// Splits the quoted field whose opening quote is line[position]. Sets *field,
// moves *position past the field's delimiter and sets *done at the line end.
Error split_quoted_field(FieldView line, size_t* position, uint8_t delimiter, ByteBuffer* scratch,
                         FieldView* field, bool* done);

}  // namespace quelta
