// A CSV input: a buffered reader over a file or memory block, its header
// names, and the current record split into fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/buffered_reader.h"
#include "input/csv_index.h"
#include "input/csv_tokenizer.h"
#include "input/read_settings.h"
#include "util/failure_site.h"

namespace quelta {

// A CSV input: the reader, its current record and the header names.
struct CsvReader {
  BufferedReader reader;
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  uint64_t max_column = kNoMaxColumn;
  uint8_t delimiter = ',';
  Quoting quoting = Quoting::Line;
  uint32_t unindexed = 0;  // records to read without the index (after quotes spanned lines)
  CsvIndex index;

  // Column directory from the header line; each non-empty name is its own allocation.
  FieldView* names = nullptr;
  size_t n_names = 0;

  uint64_t lines = 0;         // lines read so far, the header's included
  uint64_t record_lines = 0;  // line ends inside the record just read (quotes spanning lines)
  FailureSite site;           // where the last failed read stood; kept by csv_close
};

// Notes in csv->site where a read that failed with e stood: the record began
// at text offset start, on the line after csv->lines; line is its text when
// known (for the column of a quote left open). Counts the record's lines when
// the failure consumed it.
void csv_note_failure(CsvReader* csv, Error e, uint64_t start, FieldView line);

// The next record. *at_end is set when the input has no more lines. After
// UnterminatedQuote the line is consumed and the next call reads the next one.
// With Rfc4180 quoting a record runs on past line ends inside quotes, and
// UnterminatedQuote means the input ended inside quotes.
Error read_record(CsvReader* csv, const FieldView** fields, size_t* count, bool* at_end);

// Sets up a CSV input over a file (EmptyFile for size 0) or a memory block and
// reads its header. On failure everything is released, the file closed.
Error csv_open_file(CsvReader* csv, const char* path, uint64_t max_column, const ReadSettings& settings);
Error csv_open_memory(CsvReader* csv, const uint8_t* data, size_t len, uint64_t max_column,
                      const ReadSettings& settings);
inline Error csv_open_file(CsvReader* csv, const char* path, uint64_t max_column, uint8_t delimiter = ',') {
  ReadSettings settings;
  settings.delimiter = delimiter;
  return csv_open_file(csv, path, max_column, settings);
}
inline Error csv_open_memory(CsvReader* csv, const uint8_t* data, size_t len, uint64_t max_column,
                             uint8_t delimiter = ',') {
  ReadSettings settings;
  settings.delimiter = delimiter;
  return csv_open_memory(csv, data, len, max_column, settings);
}
// Releases everything; safe on a partly set-up or already closed reader.
void csv_close(CsvReader* csv);

}  // namespace quelta
