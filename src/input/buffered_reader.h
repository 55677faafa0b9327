// BufferedReader: a file or memory block drained in 256 KiB chunks into one
// buffer, with line framing and JSON-array object framing. A compressed file
// is decompressed on its way into the buffer, so all above sees plain text. Records that lie
// wholly inside the buffer are handed out as views without copying; a record
// that crosses a refill is gathered in the pending buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/decoding.h"
#include "input/decompress.h"
#include "input/field_view.h"
#include "input/read_ahead.h"
#include "platform/error.h"
#include "platform/file.h"
#include "util/grow_buffer.h"

namespace quelta {

constexpr size_t kChunkSize = 262144;

// How the next read starts after one that failed inside a record: Continue
// retries where a failed refill left off (nothing is lost); Skip drops the rest
// of a record whose bytes could not be kept, so its tail never reads as a record.
enum class ReadResume : uint8_t { None, Continue, Skip };

// Object framing state, kept across refills and across a failed read.
struct ObjectFraming {
  bool in_object = false;
  bool in_string = false;
  bool escape = false;
  size_t depth = 0;
};

// Record framing state under quotes that span lines, kept across refills
// and across a failed read.
struct QuotedFraming {
  enum State : uint8_t { Outside, Inside, QuoteInside };
  State state = Outside;
  bool field_start = true;  // outside: the byte before is a delimiter, or none of the record
};

// Scans p[i..n) under f for the '\n' that ends the record: its offset, or n
// when the record goes on past p[n). f carries the state on to the next bytes.
size_t scan_quoted_record(QuotedFraming* f, const uint8_t* p, size_t i, size_t n, uint8_t delimiter);

// Counts the record ends in p[0..n) under f, as scan_quoted_record would find
// them one by one, and notes in *first_from (which starts at SIZE_MAX) the
// offset of the first at or after from (unchanged when there is none). f carries the state on. Blocks of
// 64 bytes are read by quote parity while every quote stands where parity
// reads it right; the rest goes byte by byte.
uint64_t count_quoted_ends(QuotedFraming* f, const uint8_t* p, size_t n, uint8_t delimiter, size_t from,
                           size_t* first_from);

struct BufferedReader {
  platform::File file;
  bool is_file = false;
  const uint8_t* mem_data = nullptr;
  size_t mem_len = 0;
  size_t mem_pos = 0;

  uint8_t* buffer = nullptr;
  size_t chunk_size = 0;
  size_t end = 0;          // valid bytes in buffer
  size_t pos = 0;          // next unread byte
  uint64_t fills = 0;      // refills so far: tells one buffer content from the next
  uint64_t text_base = 0;  // bytes of text (as in the buffer) before buffer[0]
  ByteBuffer pending;
  bool eof = false;
  ReadResume resume = ReadResume::None;
  ObjectFraming framing;
  QuotedFraming quoted;
  // After UnterminatedQuote from read_quoted_record: the line ends in the
  // record, those before its open quote, and the quote's byte in its line.
  uint64_t unclosed_record_lines = 0, unclosed_quote_lines = 0, unclosed_quote_column = 0;

  // Decoding (see reader_set_decoding): the input's own bytes are read into
  // raw and written to buffer as UTF-8 with '\n' for a lone '\r'.
  uint8_t* raw = nullptr;
  DecodeState decode;

  // The first bytes, read to tell a compressed input; they are read again from here.
  uint8_t head[kMagicSize] = {};
  size_t head_len = 0;
  size_t head_pos = 0;
  // Set when the input is compressed: refills take its output.
  Decompressor* inflow = nullptr;
  uint64_t input_read = 0;  // the input's own bytes read so far (by the read-ahead thread, when there is one)
  // A compressed regular file is decompressed a chunk ahead on a thread of
  // its own, started at the second refill unless the reader is only counting
  // (a count is faster with the text hot in its own core's cache); refills
  // then take its chunks, in place of the own buffer (saved here).
  bool ahead_wanted = false;
  // A compressed stream that failed (cut short, corrupt) cannot be read on:
  // once it has reported its failure, the input ends there.
  bool inflow_failed = false;
  bool counting = false;
  ReadAhead* ahead = nullptr;
  uint8_t* own_buffer = nullptr;
  uint64_t ahead_consumed = 0;  // compressed bytes behind the chunk in the buffer
};

// Bytes of a UTF-8 byte-order mark at the start of p[0..n): 3 or 0. The mark
// says the text is UTF-8 and is no part of it.
inline size_t utf8_bom_length(const uint8_t* p, size_t n) {
  return n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
}

// Opens path for reading; a file of size 0 is EmptyFile (and is closed again).
// With allow_stream, a pipe, FIFO or character device is opened too.
Error open_input_file(const char* path, platform::File* out, bool allow_stream = false);

// Takes ownership of an open file and allocates the buffer (of at least 4
// bytes); a compressed file is decompressed from here on. On failure the file
// is still owned by the caller.
Error reader_init_file(BufferedReader* r, platform::File file, size_t chunk_size = kChunkSize);
// Reads from the caller's memory block, which must outlive the reader.
Error reader_init_memory(BufferedReader* r, const uint8_t* data, size_t len, size_t chunk_size = kChunkSize);

// Looks at the input's first bytes and, when they announce a compressed
// format, decompresses from there on (before the first refill only; files
// opened by reader_init_file have had this done). A zip archive whose
// directory, read from the end of a file or memory block, names more than one
// member is SeveralZipMembers here.
Error reader_detect_compression(BufferedReader* r);

// Makes every later refill decode the input as settings say (before the first
// refill only). No-op when settings pass bytes through.
Error reader_set_decoding(BufferedReader* r, const ReadSettings& settings);

// Replaces the buffer contents with the next chunk. A UTF-8 byte-order mark
// at the very start of the input is skipped. A compressed stream that fails
// reports its failure once; the next refill ends the input, without the line
// the failure cut short.
Error reader_refill(BufferedReader* r);

// The next line without its line end (and without one trailing '\r').
// *at_end is set when no line is left. A failed read never hands out part of
// a record later: a failed refill is retried by the next read, and a record
// whose bytes could not be kept is dropped whole.
Error read_line(BufferedReader* r, FieldView* line, bool* at_end);

// The next CSV record when quotes may span lines: up to the first '\n' outside
// quotes, without it and one '\r' before it. A quote opens a quoted field only
// at the start of a field (after delimiter or at the record start); inside,
// '""' stands for a quote and a lone '"' closes the quotes; every other quote
// is data. End of input inside quotes is UnterminatedQuote, with the record
// consumed. Failed reads resume as read_line's do.
Error read_quoted_record(BufferedReader* r, uint8_t delimiter, FieldView* record, bool* at_end);

// Counts the records read_quoted_record would give from the reader's
// position to the end of input, and leaves the reader at the end.
Error count_quoted_records(BufferedReader* r, uint8_t delimiter, uint64_t* out);

// The next top-level object of a JSON array, from its '{' to its '}'.
// *at_end is set at the array's ']' or the end of input; end of input inside
// an object is InvalidJsonRow.
Error read_object(BufferedReader* r, FieldView* object, bool* at_end);

// Counts the lines from the reader's position to the end of input (line ends,
// plus one for a last line without one) without framing them, and leaves the
// reader at the end. A line dropped by a failed read is not counted.
Error count_remaining_lines(BufferedReader* r, uint64_t* out);

// How far the reader has got: *consumed of the input's *total bytes are
// behind the next unread byte. False when that cannot be told.
bool reader_progress(const BufferedReader* r, uint64_t* consumed, uint64_t* total);

// The offset in the text where the next read starts: the next unread byte,
// or the head of a record kept in pending by a failed refill.
inline uint64_t reader_text_offset(const BufferedReader& r) {
  return r.text_base + r.pos - (r.resume == ReadResume::Continue ? r.pending.len : 0);
}

// Frees the buffers, the decompressor and closes the file; safe on a partly set-up reader.
void reader_close(BufferedReader* r);

}  // namespace quelta
