// The JSON row reader: flat JSON objects, one per line or as the members of
// one top-level array, turned into rows of text fields. The keys of the first
// object are the columns. Rows that list their keys in directory order take a
// fast path that neither allocates nor tokenizes; all others go through the
// general parser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/buffered_reader.h"
#include "input/json_parser.h"
#include "input/key_index.h"
#include "input/names.h"
#include "input/read_settings.h"
#include "util/byte_search.h"
#include "util/failure_site.h"

namespace quelta {

// The structural index of the record being read: its 64-byte blocks
// classified (util/byte_search.h), as far as the reading has needed them.
struct JsonRecordIndex {
  static constexpr size_t kMaxBlocks = 64;  // longer records are searched byte by byte
  size_t ready = 0;                         // blocks classified
  size_t count = 0;                         // blocks of the record
  bool whole = false;                       // every member wanted: all blocks at once
  JsonBlockMasks blocks[kMaxBlocks];
};

// The first columns' keys as the fast path looks for them: the text "name":
// of up to sixteen bytes as two words and the masks of its bytes (len 0: no
// pattern, the name is too long or not plain).
struct JsonKeyPatterns {
  static constexpr size_t kColumns = 64;
  uint64_t lo[kColumns], hi[kColumns], mask_lo[kColumns], mask_hi[kColumns];
  uint8_t len[kColumns];
};

struct JsonReader {
  BufferedReader reader;
  bool array_mode = false;
  bool nested_text = false;    // nested values as their JSON text
  FieldView* names = nullptr;  // owned copies, in order of appearance
  size_t n_columns = 0;
  KeyIndex key_index;
  size_t fields_per_row = 0;
  bool names_plain = false;  // json_names_plain of the first fields_per_row names
  ByteBuffer first_record;
  bool first_delivered = false;
  GrowBuffer<FieldView> row;
  JsonParser parser;
  uint64_t records = 0;        // records read so far, the first included
  uint64_t record_offset = 0;  // text offset of the record last read
  FailureSite site;            // where the last failed read stood; kept by json_close
  // Rows as the reader made them before the fast path took escapes: a
  // reference that tests compare the reader with.
  bool reference_rows = false;
  JsonRecordIndex index;
  JsonKeyPatterns keys;
};

// Opens path (EmptyFile for size 0), chooses the framing from the first
// chunk and reads the first record as the directory. On failure everything is
// released and the file closed.
// settings.format may force lines or an array (Json, None: from the first byte).
Error json_open_file(JsonReader* json, const char* path, uint64_t max_column,
                     const ReadSettings& settings = {});
// The same over the caller's memory block, which must outlive the reader.
Error json_open_memory(JsonReader* json, const uint8_t* data, size_t len, uint64_t max_column,
                       const ReadSettings& settings = {});

// The next row: fields_per_row fields. InvalidJsonRow and NestedValueNotSupported
// consume the record; the next call reads the one after it.
Error json_next_row(JsonReader* json, const FieldView** fields, size_t* count, bool* at_end);

// Fills row[0..fields_per_row) when the record lists the directory's first
// fields_per_row keys in order with plain values; false sends the record to
// the general parser.
bool json_ordered_fast_path(FieldView record, const FieldView* names, size_t fields_per_row, FieldView* row);
// The same with json_names_plain(names, fields_per_row) worked out once by the caller.
bool json_ordered_fast_path(FieldView record, const FieldView* names, size_t fields_per_row, FieldView* row,
                            bool names_plain);
// True when no name holds a quote or a backslash (a key with one never takes the fast path).
bool json_names_plain(const FieldView* names, size_t n);

// Fills row[0..n) from the members parser found in record: every column
// empty, then each member's text placed by its key (at its own position
// without a lookup when positional and the key matches there); null is empty,
// true and false are those words. A member holding an object or an array
// gives its JSON text with nested_text; otherwise it leaves its column empty
// and makes the result false.
bool members_to_row(const JsonParser& parser, const FieldView* names, size_t n, const KeyIndex& index,
                    bool positional, FieldView record, FieldView* row, bool nested_text = false);

void json_close(JsonReader* json);

}  // namespace quelta
