// Open input: chooses CSV or JSON for a path (from its suffix unless the
// caller forces a format) and sets up the matching record reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/csv_reader.h"
#include "input/json_rows.h"
#include "input/read_settings.h"

namespace quelta {

struct InputParams {
  uint64_t max_column = kNoMaxColumn;
  ReadSettings read;
};

// A CSV or JSON-row reader behind one interface.
struct RecordReader {
  bool is_json = false;
  CsvReader csv;
  JsonReader json;
};

// True when the path ends in .ndjson, .jsonl or .json (case-sensitive), also
// before a compression suffix (.gz, .zst, .bz2, .xz, .zip).
bool path_selects_json(const char* path, size_t len);
// Whether path is read as JSON rows under format.
bool format_selects_json(FormatOverride format, const char* path);

// Sets up the reader for path. On failure nothing stays open or allocated.
Error open_input(RecordReader* in, const char* path, const InputParams& params);
// Sets up the reader over the caller's memory block (which must outlive it).
Error open_input_memory(RecordReader* in, const uint8_t* data, size_t len, bool is_json,
                        const InputParams& params);

// The next record, as read (every field for CSV, fields_per_row for JSON).
inline Error next_record(RecordReader* in, const FieldView** fields, size_t* count, bool* at_end) {
  return in->is_json ? json_next_row(&in->json, fields, count, at_end)
                     : read_record(&in->csv, fields, count, at_end);
}

// The column directory.
inline const FieldView* input_names(const RecordReader& in, size_t* n) {
  *n = in.is_json ? in.json.n_columns : in.csv.n_names;
  return in.is_json ? in.json.names : in.csv.names;
}

// Where the last failed read or open of the input stood.
inline const FailureSite& input_site(const RecordReader& in) {
  return in.is_json ? in.json.site : in.csv.site;
}
inline FailureSite* input_site(RecordReader* in) { return in->is_json ? &in->json.site : &in->csv.site; }

// The buffered reader underneath (for counting without splitting records).
inline BufferedReader* input_buffer(RecordReader* in) {
  return in->is_json ? &in->json.reader : &in->csv.reader;
}

void close_input(RecordReader* in);

}  // namespace quelta
