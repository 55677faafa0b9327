// Record splitting for CSV lines.
#include "input/csv_tokenizer.h"

#include <cstring>

#include "util/byte_search.h"

namespace quelta {

Error split_quoted_field(FieldView line, size_t* position, uint8_t delimiter, ByteBuffer* scratch,
                         FieldView* field, bool* done) {
  const uint8_t* p = line.ptr;
  const size_t n = line.len;
  size_t open = *position;
  if (open + 1 >= n) return Error::UnterminatedQuote;
  size_t q = open + 1 + find_byte(p + open + 1, n - open - 1, kQuote);
  if (q >= n) return Error::UnterminatedQuote;

  size_t close;
  if (q + 1 < n && p[q + 1] == kQuote) {
    // Doubled quotes: unescape into scratch. Reserving the whole line keeps
    // earlier views into scratch valid for the rest of the record.
    if (Error e = scratch->reserve(n); failed(e)) return e;
    uint8_t* out = scratch->data + scratch->len;
    size_t w = 0;
    size_t i = open + 1;
    for (;;) {
      size_t k = find_byte(p + i, n - i, kQuote);
      std::memcpy(out + w, p + i, k);
      w += k;
      i += k;
      if (i >= n) return Error::UnterminatedQuote;
      if (i + 1 < n && p[i + 1] == kQuote) {
        out[w++] = kQuote;
        i += 2;
        continue;
      }
      close = i;
      break;
    }
    *field = FieldView{out, w};
    scratch->len += w;
  } else {
    *field = FieldView{p + open + 1, q - open - 1};
    close = q;
  }

  if (close + 1 >= n) {
    *position = n;
    *done = true;
    return Error::None;
  }
  if (p[close + 1] == delimiter) {
    *position = close + 2;
    return Error::None;
  }
  // Bytes between the closing quote and the next delimiter are data, quotes
  // among them: they join the quoted text in scratch. A record's copies
  // never outgrow the record, so reserving its length keeps earlier views.
  size_t d = close + 1 + find_byte(p + close + 1, n - close - 1, delimiter);
  const size_t tail = (d < n ? d : n) - close - 1;
  if (Error e = scratch->reserve(n); failed(e)) return e;
  uint8_t* out;
  if (field->len && field->ptr + field->len == scratch->data + scratch->len) {
    out = scratch->data + scratch->len - field->len;  // unescaped just now: extend it
  } else {
    out = scratch->data + scratch->len;
    std::memcpy(out, field->ptr, field->len);
    scratch->len += field->len;
  }
  std::memcpy(scratch->data + scratch->len, p + close + 1, tail);
  scratch->len += tail;
  *field = FieldView{out, field->len + tail};
  if (d >= n) {
    *position = n;
    *done = true;
  } else {
    *position = d + 1;
  }
  return Error::None;
}

Error split_record(FieldView line, uint8_t delimiter, uint64_t max_column, GrowBuffer<FieldView>* fields,
                   ByteBuffer* scratch, size_t* count) {
  const uint8_t* p = line.ptr;
  const size_t n = line.len;
  // Delimiter positions of the 64-byte block p[block..block+64), found with one
  // vector compare; most fields end inside the block where the last one ended.
  size_t block = 0;
  uint64_t mask = n ? match_mask64(p, n, delimiter) : 0;
  auto next_delimiter = [&](size_t from) {
    for (;;) {
      if (from < block || from - block >= 64) {
        if (from >= n) return n;
        block = from;
        mask = match_mask64(p + from, n - from, delimiter);
      }
      uint64_t m = mask >> (from - block);
      if (m) return from + static_cast<size_t>(__builtin_ctzll(m));
      from = block + 64;
    }
  };
  size_t position = 0;
  size_t c = 0;
  bool done = false;
  for (;;) {
    ++c;
    // Plain locals for the common unquoted field: a FieldView whose address is
    // taken lives on the stack, and reloading it stalls every field.
    const uint8_t* start;
    size_t len;
    if (position >= n) {
      start = p + n;
      len = 0;
      done = true;
    } else if (p[position] != kQuote) {
      size_t d = next_delimiter(position);
      start = p + position;
      len = d - position;
      if (d >= n) {
        done = true;
      } else {
        position = d + 1;
      }
    } else {
      FieldView quoted;
      if (Error e = split_quoted_field(line, &position, delimiter, scratch, &quoted, &done); failed(e))
        return e;
      start = quoted.ptr;
      len = quoted.len;
    }
    if (c > fields->cap) {
      if (Error e = fields->reserve(c); failed(e)) return e;
    }
    fields->data[c - 1] = FieldView{start, len};
    if (c - 1 == max_column || done) break;
  }
  fields->len = c;
  *count = c;
  return Error::None;
}

size_t find_unclosed_quote(FieldView line, uint8_t delimiter) {
  const uint8_t* p = line.ptr;
  const size_t n = line.len;
  size_t i = 0;
  for (;;) {
    if (i < n && p[i] == kQuote) {
      const size_t open = i;
      for (size_t j = i + 1;;) {
        const size_t k = j + find_byte(p + j, n - j, kQuote);
        if (k >= n) return open;
        if (k + 1 < n && p[k + 1] == kQuote) {
          j = k + 2;
          continue;
        }
        i = k + 1;
        break;
      }
    }
    // Up to the next field; bytes after a closing quote are data, quotes too.
    const size_t d = i + find_byte(p + i, n - i, delimiter);
    if (d >= n) return SIZE_MAX;
    i = d + 1;
  }
}

}  // namespace quelta
