// Chunked reading and record framing for every input of the library.
#include "input/buffered_reader.h"

#include <cstring>

#include "platform/heap.h"
#include "platform/owned.h"
#include "util/byte_search.h"

namespace quelta {

constexpr uint8_t kQuoteByte = '"';

Error open_input_file(const char* path, platform::File* out, bool allow_stream) {
  if (Error e = platform::file_open_read(path, out, allow_stream); failed(e)) return e;
  if (out->stream) return Error::None;  // no size to tell: an empty stream reads as an empty file later
  platform::OwnedPtr<platform::File, platform::file_close> opened(out);
  uint64_t size = 0;
  if (Error e = platform::file_size(*out, &size); failed(e)) return e;
  if (size == 0) return Error::EmptyFile;
  (void)opened.release();
  return Error::None;
}

static Error reader_init(BufferedReader* r, size_t chunk_size) {
  // The first chunk holds a whole byte-order mark whenever the input has one.
  if (chunk_size < 4) chunk_size = 4;
  r->buffer = static_cast<uint8_t*>(platform::heap_alloc(chunk_size));
  if (!r->buffer) return Error::OutOfMemory;
  r->chunk_size = chunk_size;
  r->end = r->pos = 0;
  r->eof = false;
  return Error::None;
}

Error reader_init_file(BufferedReader* r, platform::File file, size_t chunk_size) {
  *r = BufferedReader{};
  if (Error e = reader_init(r, chunk_size); failed(e)) return e;
  r->file = file;
  r->is_file = true;
  if (Error e = reader_detect_compression(r); failed(e)) {
    r->is_file = false;  // the caller keeps the file
    reader_close(r);
    return e;
  }
  return Error::None;
}

Error reader_init_memory(BufferedReader* r, const uint8_t* data, size_t len, size_t chunk_size) {
  *r = BufferedReader{};
  if (Error e = reader_init(r, chunk_size); failed(e)) return e;
  r->mem_data = data;
  r->mem_len = len;
  return Error::None;
}

Error reader_set_decoding(BufferedReader* r, const ReadSettings& settings) {
  if (!settings.decodes()) return Error::None;
  uint8_t* decoded = static_cast<uint8_t*>(platform::heap_alloc(decoded_capacity(r->chunk_size)));
  if (!decoded) return Error::OutOfMemory;
  // The chunk buffer now receives the input's own bytes.
  r->raw = r->buffer;
  r->buffer = decoded;
  r->decode = DecodeState{settings.encoding, settings.any_line_end, settings.quoting == Quoting::Rfc4180};
  return Error::None;
}

// The input's own bytes: the head read ahead first, then the file or memory
// block. A file is read until want bytes are in or it ends, so a pipe's
// short reads still fill whole chunks.
static Error read_input(BufferedReader* r, uint8_t* into, size_t want, size_t* got) {
  size_t n = r->head_len - r->head_pos;
  if (n > want) n = want;
  std::memcpy(into, r->head + r->head_pos, n);
  r->head_pos += n;
  *got = n;
  if (!r->is_file) {
    size_t k = r->mem_len - r->mem_pos;
    if (k > want - n) k = want - n;
    if (k) std::memcpy(into + n, r->mem_data + r->mem_pos, k);
    r->mem_pos += k;
    *got += k;
    r->input_read += *got;
    return Error::None;
  }
  Error e = Error::None;
  while (*got < want) {
    size_t rest = want - *got;
    size_t k = 0;
    e = platform::file_read(r->file, into + *got, rest < 0x7FFFF000u ? rest : 0x7FFFF000u, &k);
    if (failed(e) || k == 0) break;
    *got += k;
  }
  r->input_read += *got;
  // A failure after some bytes comes again with the next read.
  return *got > 0 ? Error::None : e;
}

// The entry count a zip archive's directory names; none (0) when it cannot
// be read without reading the input through.
static Error zip_entries_at_end(BufferedReader* r, uint64_t* entries) {
  *entries = 0;
  if (!r->is_file) {
    const size_t n = r->mem_len < kZipTailSize ? r->mem_len : kZipTailSize;
    zip_entries_from_tail(r->mem_data + r->mem_len - n, n, entries);
    return Error::None;
  }
  uint64_t size = 0;
  if (r->file.stream || failed(platform::file_size(r->file, &size))) return Error::None;
  const size_t n = size < kZipTailSize ? static_cast<size_t>(size) : kZipTailSize;
  auto tail = platform::HeapArray<uint8_t>::allocate(n ? n : 1);
  if (!tail) return Error::OutOfMemory;
  size_t got = 0;
  Error e = platform::file_pread(r->file, tail.get(), n, size - n, &got);
  if (!failed(e)) zip_entries_from_tail(tail.get(), got, entries);
  return e;
}

static Error read_input_source(void* context, uint8_t* into, size_t want, size_t* got) {
  return read_input(static_cast<BufferedReader*>(context), into, want, got);
}

Error reader_detect_compression(BufferedReader* r) {
  size_t got = 0;
  if (Error e = read_input(r, r->head, kMagicSize, &got); failed(e)) return e;
  r->head_len = got;
  r->head_pos = 0;
  const Compression kind = compression_from_magic(r->head, got);
  if (kind == Compression::None) return Error::None;
  if (kind == Compression::Zip) {
    // An archive read from a file or memory shows its member count at its end,
    // before any row; a stream tells a second member only when it reaches it.
    uint64_t entries = 0;
    if (Error e = zip_entries_at_end(r, &entries); failed(e)) return e;
    if (entries > 1) return Error::SeveralZipMembers;
  }
  auto d = platform::HeapBox<Decompressor>::make();
  if (!d) return Error::OutOfMemory;
  // A failed open leaves nothing in the decompressor to close.
  if (Error e = decompressor_open(d.get(), kind); failed(e)) return e;
  r->inflow = d.release();
  // A regular file is decompressed ahead of the reader on a thread of its own. A
  // stream is not: closing the reader early would wait for its next bytes.
  r->ahead_wanted = r->is_file && !r->file.stream && read_ahead_in_use();
  return Error::None;
}

Error reader_refill(BufferedReader* r) {
  if (r->ahead_wanted && r->fills >= 1 && !r->counting) {
    bool started = false;
    if (Error e = read_ahead_start(&r->ahead, r->inflow, ByteSource{read_input_source, r}, &r->input_read,
                                   r->chunk_size, &started);
        failed(e))
      return e;
    r->ahead_wanted = false;
  }
  size_t got = 0;
  uint8_t* into = r->raw ? r->raw : r->buffer;
  if (r->inflow_failed) {
    // The line the failure cut short is not a row: it goes with the rest.
    r->pending.clear();
  } else if (r->ahead) {
    const uint8_t* chunk = nullptr;
    if (Error e = read_ahead_take(r->ahead, &chunk, &got, &r->ahead_consumed); failed(e)) {
      r->inflow_failed = true;
      return e;
    }
    if (r->raw) {
      into = const_cast<uint8_t*>(chunk);  // only read: decoding writes to the own buffer
    } else if (got > 0) {
      // The chunk is read where the thread wrote it, until the next refill.
      if (!r->own_buffer) r->own_buffer = r->buffer;
      r->buffer = const_cast<uint8_t*>(chunk);
    }
  } else if (r->inflow) {
    if (Error e = decompressor_read(r->inflow, ByteSource{read_input_source, r}, into, r->chunk_size, &got);
        failed(e)) {
      r->inflow_failed = true;
      return e;
    }
  } else {
    if (Error e = read_input(r, into, r->chunk_size, &got); failed(e)) return e;
  }
  if (r->raw) got = decode_chunk(&r->decode, into, got, got == 0, r->buffer);
  r->text_base += r->end;
  r->end = got;
  r->pos = 0;
  ++r->fills;
  if (got == 0) r->eof = true;
  // A byte-order mark is not part of the first name.
  if (r->fills == 1 && r->decode.encoding == Encoding::Utf8) r->pos = utf8_bom_length(r->buffer, got);
  return Error::None;
}

static FieldView without_cr(const uint8_t* p, size_t n) {
  if (n > 0 && p[n - 1] == '\r') --n;
  return FieldView{p, n};
}

// Drops the rest of a line whose head could not be kept.
static Error skip_rest_of_line(BufferedReader* r) {
  for (;;) {
    size_t avail = r->end - r->pos;
    size_t k = find_byte(r->buffer + r->pos, avail, '\n');
    if (k < avail) {
      r->pos += k + 1;
      return Error::None;
    }
    r->pos = r->end;
    if (r->eof) return Error::None;
    if (Error e = reader_refill(r); failed(e)) return e;
  }
}

Error read_line(BufferedReader* r, FieldView* line, bool* at_end) {
  *at_end = false;
  if (r->resume == ReadResume::Skip) {
    if (Error e = skip_rest_of_line(r); failed(e)) return e;
  }
  if (r->resume != ReadResume::Continue) r->pending.clear();
  r->resume = ReadResume::None;
  for (;;) {
    const uint8_t* start = r->buffer + r->pos;
    size_t avail = r->end - r->pos;
    size_t k = find_byte(start, avail, '\n');
    if (k < avail) {
      r->pos += k + 1;
      if (r->pending.empty()) {
        *line = without_cr(start, k);
        return Error::None;
      }
      if (Error e = r->pending.append(start, k); failed(e)) return e;  // the line is consumed
      *line = without_cr(r->pending.data, r->pending.len);
      return Error::None;
    }
    Error kept = r->pending.append(start, avail);
    r->pos = r->end;
    if (failed(kept)) {
      r->resume = ReadResume::Skip;
      return kept;
    }
    if (!r->eof) {
      if (Error e = reader_refill(r); failed(e)) {
        r->resume = ReadResume::Continue;
        return e;
      }
      if (!r->eof) continue;
    }
    if (r->pending.empty()) {
      *at_end = true;
      return Error::None;
    }
    *line = without_cr(r->pending.data, r->pending.len);
    return Error::None;
  }
}

size_t scan_quoted_record(QuotedFraming* f, const uint8_t* p, size_t i, size_t n, uint8_t delimiter) {
  using S = QuotedFraming;
  while (i < n) {
    switch (f->state) {
      case S::Outside: {
        // Delimiters matter only before a quote, which opens a quoted field
        // at a field's start and is data elsewhere.
        const size_t k = i + find_either(p + i, n - i, kQuoteByte, '\n');
        if (k == n) {
          f->field_start = p[n - 1] == delimiter;
          return n;
        }
        if (p[k] == '\n') {
          f->field_start = true;
          return k;
        }
        const bool opens = k > i ? p[k - 1] == delimiter : f->field_start;
        if (opens) f->state = S::Inside;
        f->field_start = false;
        i = k + 1;
        break;
      }
      case S::Inside: {
        const size_t q = i + find_byte(p + i, n - i, kQuoteByte);
        if (q == n) return n;
        f->state = S::QuoteInside;
        i = q + 1;
        break;
      }
      case S::QuoteInside:
        // A doubled quote stays inside; any other byte is read outside.
        f->state = p[i] == kQuoteByte ? S::Inside : S::Outside;
        f->field_start = false;
        i += f->state == S::Inside;
        break;
    }
  }
  return n;
}

namespace {

// The record ends of whole 64-byte blocks of p[i..n), by quote
// parity: a quote that leaves the parity odd opens quotes and must follow a
// delimiter, a line end outside quotes, a closing quote (a doubled quote) or
// the state's field start; every other quote closes them, and whatever
// follows a closing quote reads alike both ways. Stops before the first block
// holding a quote that breaks this, and returns where it stopped; f holds the
// state there.
size_t count_ends_by_parity(QuotedFraming* f, const uint8_t* p, size_t i, size_t n, uint8_t delimiter,
                            size_t max_blocks, uint64_t* ends, size_t from, size_t* first_from) {
  using S = QuotedFraming;
  const uint8_t bytes[4] = {kQuoteByte, delimiter, '\n', '\n'};
  constexpr size_t kBlocks = 64;
  BlockMasks m[kBlocks];
  if (max_blocks > kBlocks) max_blocks = kBlocks;
  uint64_t inside = f->state == S::Inside ? ~uint64_t{0} : 0;
  // Bit 0: the byte before the block lets a quote open (after_close: it is a closing quote).
  uint64_t after_field_end = f->state == S::Outside && f->field_start;
  uint64_t after_close = f->state == S::QuoteInside;
  size_t done = i;
  while (n - done >= 64) {
    const size_t blocks = match_blocks(p + done, (n - done) / 64 * 64, bytes, m, max_blocks);
    for (size_t k = 0; k < blocks; ++k) {
      const uint64_t quote = m[k].a, in = m[k].a_parity ^ inside;
      const uint64_t open = quote & in, close = quote & ~in;
      const uint64_t field_end = m[k].b | m[k].c;
      if (open & ~((field_end | close) << 1 | after_field_end | after_close)) {
        f->state = inside ? S::Inside : after_close ? S::QuoteInside : S::Outside;
        f->field_start = after_field_end != 0;
        return done;
      }
      if (const uint64_t record_ends = m[k].c & ~in) {
        *ends += static_cast<uint64_t>(__builtin_popcountll(record_ends));
        if (*first_from == SIZE_MAX && done + 64 > from) {
          const uint64_t at_or_after =
              from > done ? record_ends & (~uint64_t{0} << (from - done)) : record_ends;
          if (at_or_after) *first_from = done + static_cast<size_t>(__builtin_ctzll(at_or_after));
        }
      }
      inside = 0 - (in >> 63);
      after_field_end = (field_end & ~in) >> 63;
      after_close = close >> 63;
      done += 64;
    }
  }
  f->state = inside ? S::Inside : after_close ? S::QuoteInside : S::Outside;
  f->field_start = after_field_end != 0;
  return done;
}

}  // namespace

uint64_t count_quoted_ends(QuotedFraming* f, const uint8_t* p, size_t n, uint8_t delimiter, size_t from,
                           size_t* first_from) {
  uint64_t ends = 0;
  size_t i = 0;
  // Blocks classified ahead: fewer after a block parity could not read, so
  // that a file full of stray quotes does not classify every block many times.
  size_t ahead = 64;
  while (i < n) {
    const size_t stopped = count_ends_by_parity(f, p, i, n, delimiter, ahead, &ends, from, first_from);
    ahead = stopped - i >= 64 * ahead ? ahead * 2 : 1;
    i = stopped;
    // A block parity cannot read, and the tail of fewer than 64 bytes, byte by byte.
    const size_t stop = n - i < 64 ? n : i + 64;
    while (i < stop) {
      const size_t k = scan_quoted_record(f, p, i, stop, delimiter);
      if (k == stop) {
        i = stop;
        break;
      }
      ++ends;
      if (*first_from == SIZE_MAX && k >= from) *first_from = k;
      i = k + 1;
    }
  }
  return ends;
}

// Counts the line ends of a record left inside quotes, and those before the
// quote that opened them (read again one byte at a time: this is rare).
static void note_unclosed_quote(BufferedReader* r, uint8_t delimiter) {
  const uint8_t* p = r->pending.data;
  const size_t n = r->pending.len;
  QuotedFraming f;
  uint64_t lines = 0, at_open = 0, column = 0;
  size_t line_start = 0;
  for (size_t i = 0; i < n; ++i) {
    const QuotedFraming::State before = f.state;
    scan_quoted_record(&f, p, i, i + 1, delimiter);
    if (before == QuotedFraming::Outside && f.state == QuotedFraming::Inside) {
      at_open = lines;
      column = i - line_start + 1;
    }
    // The line end that ends the input is no line of its own.
    if (p[i] == '\n' && i + 1 < n) {
      ++lines;
      line_start = i + 1;
    }
  }
  r->unclosed_record_lines = lines;
  r->unclosed_quote_lines = at_open;
  r->unclosed_quote_column = column;
}

Error read_quoted_record(BufferedReader* r, uint8_t delimiter, FieldView* record, bool* at_end) {
  *at_end = false;
  // While skipping, the bytes of the current record are scanned but not kept.
  bool keeping = r->resume != ReadResume::Skip;
  if (r->resume != ReadResume::Continue) r->pending.clear();
  if (r->resume == ReadResume::None) r->quoted = QuotedFraming{};
  r->resume = ReadResume::None;
  for (;;) {
    const size_t start = r->pos;
    const size_t k = scan_quoted_record(&r->quoted, r->buffer, r->pos, r->end, delimiter);
    if (k < r->end) {
      r->pos = k + 1;
      if (!keeping) {
        keeping = true;
        continue;
      }
      if (r->pending.empty()) {
        *record = without_cr(r->buffer + start, k - start);
        return Error::None;
      }
      if (Error e = r->pending.append(r->buffer + start, k - start); failed(e)) return e;  // consumed
      *record = without_cr(r->pending.data, r->pending.len);
      return Error::None;
    }
    r->pos = r->end;
    if (keeping) {
      if (Error e = r->pending.append(r->buffer + start, r->end - start); failed(e)) {
        r->resume = ReadResume::Skip;
        return e;
      }
    }
    if (!r->eof) {
      if (Error e = reader_refill(r); failed(e)) {
        r->resume = keeping ? ReadResume::Continue : ReadResume::Skip;
        return e;
      }
      if (!r->eof) continue;
    }
    const bool inside = r->quoted.state == QuotedFraming::Inside;
    r->quoted = QuotedFraming{};
    if (!keeping || r->pending.empty()) {
      *at_end = true;
      return Error::None;
    }
    if (inside) {
      note_unclosed_quote(r, delimiter);
      r->pending.clear();
      return Error::UnterminatedQuote;
    }
    *record = without_cr(r->pending.data, r->pending.len);
    return Error::None;
  }
}

Error count_quoted_records(BufferedReader* r, uint8_t delimiter, uint64_t* out) {
  *out = 0;
  uint64_t records = 0;
  // A record cut by a failed read is read, and counted, from where it stopped.
  bool open = r->resume == ReadResume::Continue && !r->pending.empty();
  r->counting = true;
  if (r->resume == ReadResume::None) r->quoted = QuotedFraming{};
  r->pending.clear();
  r->resume = ReadResume::None;
  for (;;) {
    if (r->pos < r->end) {
      size_t unused = SIZE_MAX;
      records +=
          count_quoted_ends(&r->quoted, r->buffer + r->pos, r->end - r->pos, delimiter, SIZE_MAX, &unused);
      // Bytes after the last record end belong to a record still open.
      open = r->buffer[r->end - 1] != '\n' || r->quoted.state != QuotedFraming::Outside;
      r->pos = r->end;
    }
    if (r->eof) break;
    if (Error e = reader_refill(r); failed(e)) {
      if (open) r->resume = ReadResume::Skip;
      return e;
    }
  }
  const bool inside = r->quoted.state == QuotedFraming::Inside;
  r->quoted = QuotedFraming{};
  if (open && inside) return Error::UnterminatedQuote;
  *out = records + (open ? 1 : 0);
  return Error::None;
}

Error read_object(BufferedReader* r, FieldView* object, bool* at_end) {
  *at_end = false;
  // While skipping, the bytes of the current object are scanned but not kept.
  bool keeping = r->resume != ReadResume::Skip;
  if (r->resume != ReadResume::Continue) r->pending.clear();
  if (r->resume == ReadResume::None) r->framing = ObjectFraming{};
  r->resume = ReadResume::None;
  ObjectFraming& f = r->framing;
  for (;;) {
    const uint8_t* buf = r->buffer;
    size_t i = r->pos;
    size_t start = i;  // where the current object's bytes in this chunk begin
    while (i < r->end) {
      if (!f.in_object) {
        i += find_either(buf + i, r->end - i, '{', ']');
        if (i == r->end) break;
        if (buf[i] == ']') {
          r->pos = i;  // stays on the ']': every later read ends here too
          *at_end = true;
          return Error::None;
        }
        f = ObjectFraming{true, false, false, 1};
        keeping = true;
        start = i++;
        continue;
      }
      // Inside an object only quotes, backslashes and braces matter: visit
      // those positions of each 64-byte block in order.
      const size_t avail = r->end - i;
      const size_t width = avail < 64 ? avail : 64;
      uint64_t m = match_mask64(buf + i, avail, '"') | match_mask64(buf + i, avail, '\\') |
                   match_mask64(buf + i, avail, '{') | match_mask64(buf + i, avail, '}');
      if (f.escape) {  // the block's first byte is escaped by a backslash before it
        m &= ~uint64_t{1};
        f.escape = false;
      }
      size_t close = SIZE_MAX;
      while (m) {
        size_t j = static_cast<size_t>(__builtin_ctzll(m));
        m &= m - 1;
        uint8_t c = buf[i + j];
        if (f.in_string) {
          if (c == '\\') {
            if (j + 1 < width)
              m &= ~(uint64_t{1} << (j + 1));
            else
              f.escape = true;
          } else if (c == '"') {
            f.in_string = false;
          }
        } else if (c == '"') {
          f.in_string = true;
        } else if (c == '{') {
          ++f.depth;
        } else if (c == '}' && --f.depth == 0) {
          close = i + j;
          break;
        }
      }
      if (close == SIZE_MAX) {
        i += width;
        continue;
      }
      f.in_object = false;
      if (!keeping) {
        i = close + 1;
        continue;
      }
      r->pos = close + 1;
      if (r->pending.empty()) {
        *object = FieldView{buf + start, close + 1 - start};
        return Error::None;
      }
      if (Error e = r->pending.append(buf + start, close + 1 - start); failed(e))
        return e;  // the object is consumed
      *object = FieldView{r->pending.data, r->pending.len};
      return Error::None;
    }
    r->pos = r->end;
    if (f.in_object) {
      if (keeping) {
        if (Error e = r->pending.append(buf + start, r->end - start); failed(e)) {
          r->resume = ReadResume::Skip;
          return e;
        }
      }
      if (r->eof) return Error::InvalidJsonRow;
    } else if (r->eof) {
      *at_end = true;
      return Error::None;
    }
    if (Error e = reader_refill(r); failed(e)) {
      r->resume = keeping ? ReadResume::Continue : ReadResume::Skip;
      return e;
    }
  }
}

Error count_remaining_lines(BufferedReader* r, uint64_t* out) {
  *out = 0;
  if (r->resume == ReadResume::Skip) {
    if (Error e = skip_rest_of_line(r); failed(e)) return e;
  }
  // After a failed refill, pending holds the head of the current line; it is
  // counted together with its tail (pending never ends in a line end).
  bool scanned = r->resume == ReadResume::Continue && !r->pending.empty();
  uint8_t last = 0;
  r->counting = true;
  r->pending.clear();
  r->resume = ReadResume::None;
  uint64_t lines = 0;
  for (;;) {
    size_t n = r->end - r->pos;
    if (n > 0) {
      lines += count_byte(r->buffer + r->pos, n, '\n');
      last = r->buffer[r->end - 1];
      scanned = true;
      r->pos = r->end;
    }
    if (r->eof) break;
    if (Error e = reader_refill(r); failed(e)) {
      // The lines counted so far are consumed; a line cut by the failure is dropped whole.
      if (scanned && last != '\n') r->resume = ReadResume::Skip;
      *out = 0;
      return e;
    }
  }
  if (scanned && last != '\n') ++lines;
  *out = lines;
  return Error::None;
}

bool reader_progress(const BufferedReader* r, uint64_t* consumed, uint64_t* total) {
  uint64_t read = r->mem_pos;
  *total = r->mem_len;
  if (r->ahead) {
    *consumed = r->ahead_consumed;
    return !failed(platform::file_size(r->file, total)) && *consumed <= *total;
  }
  if (r->is_file && (r->file.stream || failed(platform::file_size(r->file, total)) ||
                     failed(platform::file_offset(r->file, &read))))
    return false;
  if (r->inflow) {
    // Compressed bytes behind the decoder; the text in the buffer does not map back to them.
    const uint64_t ahead = decompressor_unread(*r->inflow);
    *consumed = read > ahead ? read - ahead : 0;
    return *consumed <= *total;
  }
  const uint64_t unread = r->end - r->pos;
  if (r->raw) {
    // Decoded bytes do not map back to the input's: the chunk's start is close enough.
    const uint64_t chunk = r->chunk_size;
    *consumed = read > chunk ? read - chunk : 0;
    return *consumed <= *total;
  }
  if (read < unread || read - unread > *total) return false;
  *consumed = read - unread;
  return true;
}

void reader_close(BufferedReader* r) {
  read_ahead_stop(r->ahead);  // first: its thread reads the file and drives the decompressor
  r->ahead = nullptr;
  if (r->own_buffer) r->buffer = r->own_buffer;
  r->own_buffer = nullptr;
  platform::heap_free(r->buffer);
  r->buffer = nullptr;
  platform::heap_free(r->raw);
  r->raw = nullptr;
  r->pending.release();
  if (r->inflow) {
    decompressor_close(r->inflow);
    platform::heap_free(r->inflow);
    r->inflow = nullptr;
  }
  if (r->is_file) platform::file_close(&r->file);
  r->is_file = false;
}

}  // namespace quelta
