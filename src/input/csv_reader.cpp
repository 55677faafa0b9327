// Setting up, reading and closing a CSV input.
#include "input/csv_reader.h"

#include "input/header.h"
#include "platform/owned.h"
#include "util/byte_search.h"

namespace quelta {

// One record's text split into the reader's own field array.
static Error split_into_fields(CsvReader* csv, FieldView record, const FieldView** fields, size_t* count) {
  size_t c = 0;
  if (Error e = split_record(record, csv->delimiter, csv->max_column, &csv->fields, &csv->scratch, &c);
      failed(e))
    return e;
  *fields = csv->fields.data;
  *count = c;
  return Error::None;
}

// Lines the index does not hand out itself: lines that cross a refill or
// outgrow a window, reads that resume after a failure, and delimiters the
// index does not take.
[[gnu::noinline]] static Error read_record_slowly(CsvReader* csv, const FieldView** fields, size_t* count,
                                                  bool* at_end) {
  if (csv->reader.resume == ReadResume::None && index_supports(csv->delimiter)) {
    bool indexed = false;
    Error e = read_indexed_record(&csv->index, &csv->reader, csv->delimiter, csv->max_column, &csv->fields,
                                  &csv->scratch, fields, count, &indexed);
    if (indexed) return e;
  }
  FieldView line;
  if (Error e = read_line(&csv->reader, &line, at_end); failed(e) || *at_end) return e;
  csv->scratch.clear();
  Error e = split_into_fields(csv, line, fields, count);
  if (e == Error::UnterminatedQuote) {
    const size_t at = find_unclosed_quote(line, csv->delimiter);
    csv->site.column = at == SIZE_MAX ? 0 : at + 1;
  }
  return e;
}

// Records when quotes may span lines. Lines the index reads without a mark are
// whole records; from a line with one the framing reader takes over, for a
// while, since files with one such record tend to have many.
[[gnu::noinline]] static Error read_quoted(CsvReader* csv, const FieldView** fields, size_t* count,
                                           bool* at_end) {
  constexpr uint32_t kUnindexedAfterMark = 32;
  if (csv->unindexed > 0) {
    --csv->unindexed;
  } else if (csv->reader.resume == ReadResume::None && index_supports(csv->delimiter)) {
    if (take_indexed_record(&csv->index, &csv->reader, csv->max_column, fields, count)) return Error::None;
    bool indexed = false;
    Error e = read_indexed_record(&csv->index, &csv->reader, csv->delimiter, csv->max_column, &csv->fields,
                                  &csv->scratch, fields, count, &indexed, true);
    if (indexed) return e;
    if (csv->index.fills == UINT64_MAX) csv->unindexed = kUnindexedAfterMark;
  }
  FieldView record;
  if (Error e = read_quoted_record(&csv->reader, csv->delimiter, &record, at_end); failed(e) || *at_end)
    return e;
  csv->record_lines = count_byte(record.ptr, record.len, '\n');
  return split_into_fields(csv, record, fields, count);
}

void csv_note_failure(CsvReader* csv, Error e, uint64_t start, FieldView line) {
  const BufferedReader& r = csv->reader;
  FailureSite& site = csv->site;
  const uint64_t column = site.column;  // set by the split that failed, when one did
  site = FailureSite{};
  site.offset = static_cast<int64_t>(start);
  site.line = csv->lines + 1;
  if (e == Error::UnterminatedQuote) {
    site.problem = Problem::QuoteNotClosed;
    if (csv->quoting == Quoting::Rfc4180 && r.unclosed_quote_column > 0) {
      // The input ended inside quotes: the failure stands on the last line,
      // the column is the open quote's in its own line.
      site.quote_line = site.line + r.unclosed_quote_lines;
      site.line += r.unclosed_record_lines;
      site.column = r.unclosed_quote_lines == r.unclosed_record_lines ? r.unclosed_quote_column : 0;
    } else {
      site.quote_line = site.line;
      if (line.ptr) {
        const size_t at = find_unclosed_quote(line, csv->delimiter);
        if (at != SIZE_MAX) site.column = at + 1;
      } else {
        site.column = column;
      }
    }
  }
  // A record a failure consumed is not read again: later lines count on from it.
  if (r.resume != ReadResume::Continue) csv->lines = site.line;
}

// Reads that may fail: the record's start is noted first, so that a failure
// can say where it stood.
[[gnu::noinline]] static Error read_record_noting(CsvReader* csv, const FieldView** fields, size_t* count,
                                                  bool* at_end) {
  const BufferedReader& r = csv->reader;
  const uint64_t start = reader_text_offset(r);
  const uint64_t fills = r.fills;
  const size_t from = r.pos;
  csv->site.column = 0;
  csv->record_lines = 0;
  csv->reader.unclosed_record_lines = csv->reader.unclosed_quote_lines = csv->reader.unclosed_quote_column =
      0;
  Error e = csv->quoting == Quoting::Rfc4180 ? read_quoted(csv, fields, count, at_end)
                                             : read_record_slowly(csv, fields, count, at_end);
  if (!failed(e)) {
    if (!*at_end) csv->lines += 1 + csv->record_lines;
    return e;
  }
  // A line the index split lies whole in the buffer it was read from.
  FieldView line;
  if (e == Error::UnterminatedQuote && csv->site.column == 0 && csv->quoting == Quoting::Line &&
      r.fills == fills && r.pos > from && r.pending.empty()) {
    line = FieldView{r.buffer + from, r.pos - 1 - from};
    if (line.len > 0 && line.ptr[line.len - 1] == '\r') --line.len;
  }
  csv_note_failure(csv, e, start, line);
  return e;
}

Error read_record(CsvReader* csv, const FieldView** fields, size_t* count, bool* at_end) {
  *at_end = false;
  csv->scratch.clear();
  if (csv->quoting == Quoting::Line && csv->reader.resume == ReadResume::None &&
      take_indexed_record(&csv->index, &csv->reader, csv->max_column, fields, count)) {
    ++csv->lines;
    return Error::None;
  }
  return read_record_noting(csv, fields, count, at_end);
}

static Error csv_finish_open(CsvReader* csv, uint64_t max_column, const ReadSettings& settings) {
  csv->max_column = max_column;
  csv->delimiter = settings.delimiter;
  csv->quoting = settings.quoting;
  platform::OwnedPtr<CsvReader, csv_close> opening(csv);
  if (Error e = reader_set_decoding(&csv->reader, settings); failed(e)) return e;
  if (Error e = read_header(csv); failed(e)) return e;
  (void)opening.release();
  return Error::None;
}

Error csv_open_file(CsvReader* csv, const char* path, uint64_t max_column, const ReadSettings& settings) {
  *csv = CsvReader{};
  platform::Owned<platform::File, platform::file_close> file;
  if (Error e = open_input_file(path, file.get(), settings.stream); failed(e)) return e;
  if (Error e = reader_init_file(&csv->reader, *file.get()); failed(e)) return e;
  (void)file.take();  // the reader closes it from now on
  return csv_finish_open(csv, max_column, settings);
}

Error csv_open_memory(CsvReader* csv, const uint8_t* data, size_t len, uint64_t max_column,
                      const ReadSettings& settings) {
  *csv = CsvReader{};
  if (Error e = reader_init_memory(&csv->reader, data, len); failed(e)) return e;
  return csv_finish_open(csv, max_column, settings);
}

void csv_close(CsvReader* csv) {
  reader_close(&csv->reader);
  csv->fields.release();
  csv->scratch.release();
  free_names(csv->names, csv->n_names);
  csv->names = nullptr;
  csv->n_names = 0;
}

}  // namespace quelta
