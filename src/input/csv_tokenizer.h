// The CSV tokenizer: one line is one record, split at a one-byte delimiter
// with double-quote quoting inside the line. Fields are views into the line,
// except quoted fields with doubled quotes, which are unescaped into scratch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/buffered_reader.h"
#include "input/field_view.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr uint8_t kQuote = '"';
constexpr uint64_t kNoMaxColumn = UINT64_MAX;

// Splits one line into fields. scratch receives unescaped copies and must be
// emptied by the caller before each record; fields grows as needed. Stops
// after column max_column (kNoMaxColumn: never).
Error split_record(FieldView line, uint8_t delimiter, uint64_t max_column, GrowBuffer<FieldView>* fields,
                   ByteBuffer* scratch, size_t* count);

// Splits the quoted field whose opening quote is line[position]. Sets *field,
// moves *position past the field's delimiter and sets *done at the line end.
Error split_quoted_field(FieldView line, size_t* position, uint8_t delimiter, ByteBuffer* scratch,
                         FieldView* field, bool* done);

// A CSV input: the reader, its current record and the header names.
struct CsvReader {
  BufferedReader reader;
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  uint64_t max_column = kNoMaxColumn;
  uint8_t delimiter = ',';

  // Column directory from the header line; each non-empty name is its own allocation.
  FieldView* names = nullptr;
  size_t n_names = 0;
};

// The next record. *at_end is set when the input has no more lines. After
// UnterminatedQuote the line is consumed and the next call reads the next one.
Error read_record(CsvReader* csv, const FieldView** fields, size_t* count, bool* at_end);

}  // namespace quelta

namespace quelta {

// Sets up a CSV input over a file (EmptyFile for size 0) or a memory block and
// reads its header. On failure everything is released, the file closed.
Error csv_open_file(CsvReader* csv, const char* path, uint64_t max_column, uint8_t delimiter = ',');
Error csv_open_memory(CsvReader* csv, const uint8_t* data, size_t len, uint64_t max_column,
                      uint8_t delimiter = ',');
// Releases everything; safe on a partly set-up or already closed reader.
void csv_close(CsvReader* csv);

}  // namespace quelta
