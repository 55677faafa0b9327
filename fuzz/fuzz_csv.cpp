// Fuzzes the CSV reader over memory: the header and every record, read with
// the full 256 KiB buffer and again with a chunk of a few bytes so that records
// cross refills, under different byte-search levels, with quotes that stay in
// their line or that may span lines. Every record must match a plain model of
// the rules, byte by byte, and every field view must lie inside its record,
// the scratch buffer or the index.
//
// Input: [chunk] [max_column] [level, delimiter, quoting] then the CSV text.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/csv_reader.h"
#include "input/csv_tokenizer.h"
#include "input/header.h"
#include "util/byte_search.h"

using namespace quelta;
using fuzz::text_of;

namespace {

// The input's lines: split at '\n', one trailing '\r' dropped; a line end at
// the very end starts no further line. A byte-order mark at the start is not
// part of the first line.
std::vector<std::string> model_lines(const uint8_t* p, size_t n) {
  std::vector<std::string> lines;
  size_t start = n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
  while (start < n) {
    size_t end = start;
    while (end < n && p[end] != '\n') ++end;
    std::string line(reinterpret_cast<const char*>(p + start), end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// One line split by the rules, byte by byte; false for an unterminated quote.
bool model_split(const std::string& line, char delimiter, uint64_t max_column,
                 std::vector<std::string>* out) {
  out->clear();
  const size_t n = line.size();
  size_t pos = 0;
  for (;;) {
    bool done = false;
    std::string field;
    if (pos >= n) {
      done = true;
    } else if (line[pos] != '"') {
      size_t d = line.find(delimiter, pos);
      if (d == std::string::npos) {
        field = line.substr(pos);
        done = true;
      } else {
        field = line.substr(pos, d - pos);
        pos = d + 1;
      }
    } else {
      size_t i = pos + 1;
      for (;;) {
        if (i >= n) return false;
        if (line[i] == '"') {
          if (i + 1 < n && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          break;
        }
        field += line[i++];
      }
      // What follows the closing quote up to the delimiter is data.
      size_t d = i + 1 < n ? line.find(delimiter, i + 1) : std::string::npos;
      if (d == std::string::npos) {
        if (i + 1 < n) field += line.substr(i + 1);
        done = true;
      } else {
        field += line.substr(i + 1, d - i - 1);
        pos = d + 1;
      }
    }
    out->push_back(field);
    if (out->size() - 1 == max_column || done) return true;
  }
}

// Records when quotes may span lines, as a state machine over every byte: a
// quote at a field's start opens quotes, '""' inside is a quote, a lone '"'
// closes them and the bytes after it up to the delimiter are data; '\n'
// outside quotes ends the record, and one '\r' before it is dropped. An input
// that ends inside quotes has a last record that is UnterminatedQuote
// (reported as an empty record list in *unterminated).
std::vector<std::vector<std::string>> model_quoted_records(const uint8_t* p, size_t n, char delimiter,
                                                           bool* unterminated) {
  enum { FieldStart, InField, InQuotes, QuoteInQuotes } state = FieldStart;
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool open = false;  // bytes of a record not yet ended
  size_t i = n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
  auto end_record = [&](bool cr_before) {
    if (cr_before) field.pop_back();
    record.push_back(field);
    records.push_back(record);
    record.clear();
    field.clear();
    state = FieldStart;
    open = false;
  };
  for (; i < n; ++i) {
    const char c = static_cast<char>(p[i]);
    open = true;
    switch (state) {
      case FieldStart:
      case InField:
      case QuoteInQuotes:
        if (c == '"' && state == FieldStart) {
          state = InQuotes;
        } else if (c == '"' && state == QuoteInQuotes) {
          field += c;
          state = InQuotes;
        } else if (c == delimiter) {
          record.push_back(field);
          field.clear();
          state = FieldStart;
        } else if (c == '\n') {
          end_record(i > 0 && p[i - 1] == '\r' && !field.empty() && field.back() == '\r');
        } else {
          field += c;
          state = InField;
        }
        break;
      case InQuotes:
        if (c == '"')
          state = QuoteInQuotes;
        else
          field += c;
        break;
    }
  }
  *unterminated = open && state == InQuotes;
  if (open && !*unterminated) end_record(!field.empty() && field.back() == '\r' && p[n - 1] == '\r');
  return records;
}

// Where the record just read lies: the pending buffer when it crossed a
// refill, else the buffer bytes before the line end at pos - 1.
void line_bounds(const CsvReader& csv, const uint8_t** begin, const uint8_t** end) {
  const BufferedReader& r = csv.reader;
  if (r.pending.len > 0) {
    *begin = r.pending.data;
    *end = r.pending.data + r.pending.len;
    return;
  }
  FUZZ_CHECK(r.pos >= 1 && r.pos <= r.end && r.buffer[r.pos - 1] == '\n',
             "record without its line end in the buffer");
  const uint8_t* e = r.buffer + r.pos - 1;
  const uint8_t* b = e;
  while (b > r.buffer && b[-1] != '\n') --b;
  *begin = b;
  *end = e;
}

Error open_reader(CsvReader* csv, const uint8_t* data, size_t size, size_t chunk, uint8_t delimiter,
                  uint64_t max_column, Quoting quoting) {
  ReadSettings settings;
  settings.delimiter = delimiter;
  settings.quoting = quoting;
  if (chunk == kChunkSize) return csv_open_memory(csv, data, size, max_column, settings);
  // csv_open_memory with a chunk of our choosing.
  *csv = CsvReader{};
  Error e = reader_init_memory(&csv->reader, data, size, chunk);
  if (!failed(e)) {
    csv->max_column = max_column;
    csv->delimiter = delimiter;
    csv->quoting = quoting;
    e = read_header(csv);
    if (failed(e)) csv_close(csv);
  }
  return e;
}

// Quotes that span lines: every record and the end against the model.
void check_quoted_pass(const uint8_t* data, size_t size, size_t chunk, uint8_t delimiter,
                       uint64_t max_column) {
  bool unterminated = false;
  const auto records = model_quoted_records(data, size, static_cast<char>(delimiter), &unterminated);
  CsvReader csv;
  Error e = open_reader(&csv, data, size, chunk, delimiter, max_column, Quoting::Rfc4180);
  if (records.empty()) {
    const Error want = unterminated ? Error::UnterminatedQuote : Error::EmptyFile;
    FUZZ_CHECK(e == want, "open gave %s, want %s", error_name(e), error_name(want));
    return;
  }
  FUZZ_CHECK(e == Error::None, "open gave %s (chunk %zu)", error_name(e), chunk);
  FUZZ_CHECK(csv.n_names == records[0].size(), "header has %zu names, want %zu", csv.n_names,
             records[0].size());
  for (size_t i = 0; i < csv.n_names; ++i)
    FUZZ_CHECK(text_of(csv.names[i]) == records[0][i], "header name %zu is '%s', want '%s'", i,
               fuzz::escaped(text_of(csv.names[i])).c_str(), fuzz::escaped(records[0][i]).c_str());
  for (size_t ri = 1; ri <= records.size(); ++ri) {
    const FieldView* fields = nullptr;
    size_t count = 0;
    bool at_end = false;
    e = read_record(&csv, &fields, &count, &at_end);
    if (ri == records.size()) {
      const Error want = unterminated ? Error::UnterminatedQuote : Error::None;
      FUZZ_CHECK(e == want && at_end != unterminated, "after the last record: %s, at_end %d, want %s",
                 error_name(e), at_end, error_name(want));
      break;
    }
    const std::vector<std::string>& want = records[ri];
    const size_t n_want = max_column < want.size() ? static_cast<size_t>(max_column) + 1 : want.size();
    FUZZ_CHECK(e == Error::None && !at_end, "record %zu: got %s%s (chunk %zu)", ri, error_name(e),
               at_end ? " at end" : "", chunk);
    FUZZ_CHECK(count == n_want, "record %zu: %zu fields, want %zu (chunk %zu)", ri, count, n_want, chunk);
    for (size_t i = 0; i < count; ++i)
      FUZZ_CHECK(text_of(fields[i]) == want[i], "record %zu field %zu is '%s', want '%s' (chunk %zu)", ri, i,
                 fuzz::escaped(text_of(fields[i])).c_str(), fuzz::escaped(want[i]).c_str(), chunk);
  }
  const FieldView* fields = nullptr;
  size_t count = 0;
  bool at_end = false;
  e = read_record(&csv, &fields, &count, &at_end);
  FUZZ_CHECK(e == Error::None && at_end, "past the end: %s, at_end %d", error_name(e), at_end);
  csv_close(&csv);
}

void check_pass(const uint8_t* data, size_t size, size_t chunk, uint8_t delimiter, uint64_t max_column,
                const std::vector<std::string>& lines) {
  CsvReader csv;
  Error e = open_reader(&csv, data, size, chunk, delimiter, max_column, Quoting::Line);

  std::vector<std::string> want;
  if (lines.empty()) {
    FUZZ_CHECK(e == Error::EmptyFile, "open gave %s, want EmptyFile", error_name(e));
    return;
  }
  if (!model_split(lines[0], static_cast<char>(delimiter), kNoMaxColumn, &want)) {
    FUZZ_CHECK(e == Error::UnterminatedQuote, "header: open gave %s, want UnterminatedQuote", error_name(e));
    return;
  }
  FUZZ_CHECK(e == Error::None, "open gave %s (chunk %zu)", error_name(e), chunk);
  FUZZ_CHECK(csv.n_names == want.size(), "header has %zu names, want %zu", csv.n_names, want.size());
  for (size_t i = 0; i < want.size(); ++i)
    FUZZ_CHECK(text_of(csv.names[i]) == want[i], "header name %zu is '%s', want '%s'", i,
               fuzz::escaped(text_of(csv.names[i])).c_str(), fuzz::escaped(want[i]).c_str());

  for (size_t li = 1; li < lines.size(); ++li) {
    const FieldView* fields = nullptr;
    size_t count = 0;
    bool at_end = false;
    e = read_record(&csv, &fields, &count, &at_end);
    bool ok = model_split(lines[li], static_cast<char>(delimiter), max_column, &want);
    if (!ok) {
      FUZZ_CHECK(e == Error::UnterminatedQuote, "line %zu: got %s, want UnterminatedQuote (chunk %zu)", li,
                 error_name(e), chunk);
      continue;
    }
    FUZZ_CHECK(e == Error::None && !at_end, "line %zu: got %s%s (chunk %zu)", li, error_name(e),
               at_end ? " at end" : "", chunk);
    const bool own = fields == csv.fields.data && count <= csv.fields.cap;
    const bool indexed = fields >= csv.index.fields && fields + count <= csv.index.fields + kIndexMaxFields;
    FUZZ_CHECK(own || indexed, "record is neither the reader's field array nor the index's");
    FUZZ_CHECK(count == want.size(), "line %zu: %zu fields, want %zu (chunk %zu)", li, count, want.size(),
               chunk);

    const uint8_t *line_begin, *line_end;
    line_bounds(csv, &line_begin, &line_end);
    const uint8_t* scratch_begin = csv.scratch.data;
    const uint8_t* scratch_end = csv.scratch.data ? csv.scratch.data + csv.scratch.len : nullptr;
    FUZZ_CHECK(csv.scratch.len <= static_cast<size_t>(line_end - line_begin), "scratch longer than its line");
    for (size_t i = 0; i < count; ++i) {
      const FieldView& f = fields[i];
      // Doubled quotes are unescaped into the scratch buffer or, for records the
      // reader's index cuts, into the index's text.
      const uint8_t* text = csv.index.text;
      bool inside = fuzz::view_within(f, line_begin, line_end) ||
                    fuzz::view_within(f, scratch_begin, scratch_end) ||
                    fuzz::view_within(f, text, text + sizeof csv.index.text);
      FUZZ_CHECK(inside,
                 "line %zu field %zu (len %zu) lies outside its line, the scratch buffer and the index", li,
                 i, f.len);
      FUZZ_CHECK(text_of(f) == want[i], "line %zu field %zu is '%s', want '%s' (chunk %zu)", li, i,
                 fuzz::escaped(text_of(f)).c_str(), fuzz::escaped(want[i]).c_str(), chunk);
    }
  }
  for (int k = 0; k < 2; ++k) {
    const FieldView* fields = nullptr;
    size_t count = 0;
    bool at_end = false;
    e = read_record(&csv, &fields, &count, &at_end);
    FUZZ_CHECK(e == Error::None && at_end, "after the last line: %s, at_end %d", error_name(e), at_end);
  }
  csv_close(&csv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const fuzz::ReaderChoices choice(in);
  const size_t chunk = choice.chunk;
  const uint64_t max_column = choice.max_column;
  const SimdLevel level = choice.level;
  const uint8_t mode = choice.mode;
  static constexpr uint8_t kDelimiters[4] = {',', ',', '\t', '|'};
  const uint8_t delimiter = kDelimiters[mode >> 2 & 3];

  // The text in a block of exactly its size, so any read past it is caught.
  std::vector<uint8_t> text(in.rest(), in.rest() + in.rest_size());
  const uint8_t* p = text.empty() ? nullptr : text.data();
  const std::vector<std::string> lines = model_lines(p, text.size());

  const SimdLevel saved = byte_search_level();
  if (mode & 0x10) {
    byte_search_use(SimdLevel::Scalar);
    check_quoted_pass(p, text.size(), kChunkSize, delimiter, max_column);
    byte_search_use(level);
    check_quoted_pass(p, text.size(), chunk, delimiter, max_column);
    byte_search_use(simd_best_level());
    check_quoted_pass(p, text.size(), kChunkSize, delimiter, max_column);
  } else {
    byte_search_use(SimdLevel::Scalar);
    check_pass(p, text.size(), kChunkSize, delimiter, max_column, lines);
    byte_search_use(level);
    check_pass(p, text.size(), chunk, delimiter, max_column, lines);
    byte_search_use(simd_best_level());
    check_pass(p, text.size(), kChunkSize, delimiter, max_column, lines);
  }
  byte_search_use(saved);
  return 0;
}
