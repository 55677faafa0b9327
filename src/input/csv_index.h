// The structural index of the CSV reader: a window of the read buffer is
// classified 64 bytes at a time into quote, delimiter and line-end masks, with
// the quote state carried by running parity, and every field of every whole
// line in the window is cut from the masks in one pass (doubled quotes are
// unescaped into the index's own text). A record is then its line's run of
// fields. Lines that break the quoting rules the masks check are split by
// split_record, so every record is exactly what read_line and split_record give.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/buffered_reader.h"
#include "input/field_view.h"
#include "platform/error.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr size_t kIndexWindowBlocks = 64;  // 4 KiB of input per window
constexpr size_t kIndexMaxFields = 1024;
constexpr size_t kIndexMaxMarks = 256;

struct IndexLine {
  uint32_t end;         // offset of its '\n' from the window start
  uint16_t fields_end;  // index past its last field
  uint16_t cr;          // 1 when a '\r' comes before the '\n' (its last field keeps it until handed out)
};
static_assert(kIndexMaxFields < UINT16_MAX);

struct CsvIndex {
  uint64_t fills = UINT64_MAX;  // the buffer content (reader refill) the window was built on
  size_t base = 0;              // the window starts at buffer[base], a line start
  size_t next = SIZE_MAX;       // buffer offset of the record the cursors are at
  uint32_t line_at = 0, n_lines = 0, field_at = 0, mark_at = 0;
  IndexLine lines[kIndexMaxFields];  // each ends a field
  // The fields that hold a byte breaking the rules of the index (a quote
  // inside a field, bytes after a closing quote, a line ending inside quotes),
  // in order, ending in UINT32_MAX: their lines go to split_record.
  uint32_t marks[kIndexMaxMarks + 1];
  // Quoted fields without their quotes; those with doubled quotes are
  // unescaped into text.
  FieldView fields[kIndexMaxFields];
  uint8_t text[64 * kIndexWindowBlocks + 16];
};

// Whether the index can split records at this delimiter (not at a quote or a line-end byte).
inline bool index_supports(uint8_t delimiter) {
  return delimiter != '"' && delimiter != '\n' && delimiter != '\r';
}

// The common case of read_indexed_record, inline for the record loops: the
// next line of the current window when no mark lies in it.
inline bool take_indexed_record(CsvIndex* ix, BufferedReader* r, uint64_t max_column,
                                const FieldView** record, size_t* count) {
  if (ix->fills != r->fills || ix->next != r->pos || ix->line_at == ix->n_lines) return false;
  const IndexLine line = ix->lines[ix->line_at];
  if (ix->marks[ix->mark_at] < line.fields_end) return false;
  ++ix->line_at;
  const uint32_t first = ix->field_at;
  ix->field_at = line.fields_end;
  if (line.cr) --ix->fields[line.fields_end - 1].len;
  r->pos = ix->next = ix->base + line.end + 1;
  r->pending.clear();
  const uint32_t n = line.fields_end - first;
  *record = ix->fields + first;
  *count = max_column < n ? static_cast<size_t>(max_column) + 1 : n;
  return true;
}

// The next record when its whole line lies in the reader's buffer; otherwise
// *indexed is false and the reader is untouched. The fields are the index's
// own or, for a line split_record decides, fields->data; scratch is used and
// grown as split_record uses it. After a failure the line is consumed. With
// decline_marked, a line that breaks the rules of the index is not read
// either (*indexed false, the window dropped), so that quotes may span it.
Error read_indexed_record(CsvIndex* ix, BufferedReader* r, uint8_t delimiter, uint64_t max_column,
                          GrowBuffer<FieldView>* fields, ByteBuffer* scratch, const FieldView** record,
                          size_t* count, bool* indexed, bool decline_marked = false);

}  // namespace quelta
