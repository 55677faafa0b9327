// Chunked reading and record framing for every input of the library.
#include "input/buffered_reader.h"

#include <cstring>

#include "platform/heap.h"
#include "util/byte_search.h"

namespace quelta {

Error open_input_file(const char* path, platform::File* out) {
  if (Error e = platform::file_open_read(path, out); failed(e)) return e;
  uint64_t size = 0;
  Error e = platform::file_size(*out, &size);
  if (!failed(e) && size == 0) e = Error::EmptyFile;
  if (failed(e)) platform::file_close(out);
  return e;
}

static Error reader_init(BufferedReader* r, size_t chunk_size) {
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
  return Error::None;
}

Error reader_init_memory(BufferedReader* r, const uint8_t* data, size_t len, size_t chunk_size) {
  *r = BufferedReader{};
  if (Error e = reader_init(r, chunk_size); failed(e)) return e;
  r->mem_data = data;
  r->mem_len = len;
  return Error::None;
}

Error reader_refill(BufferedReader* r) {
  size_t got = 0;
  if (r->is_file) {
    size_t want = r->chunk_size < 0xFFFFFFFFu ? r->chunk_size : 0xFFFFFFFFu;
    if (Error e = platform::file_read(r->file, r->buffer, want, &got); failed(e)) return e;
  } else {
    got = r->mem_len - r->mem_pos;
    if (got > r->chunk_size) got = r->chunk_size;
    if (got) std::memcpy(r->buffer, r->mem_data + r->mem_pos, got);
    r->mem_pos += got;
  }
  r->end = got;
  r->pos = 0;
  if (got == 0) r->eof = true;
  return Error::None;
}

static FieldView without_cr(const uint8_t* p, size_t n) {
  if (n > 0 && p[n - 1] == '\r') --n;
  return FieldView{p, n};
}

Error read_line(BufferedReader* r, FieldView* line, bool* at_end) {
  *at_end = false;
  r->pending.clear();
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
      if (Error e = r->pending.append(start, k); failed(e)) return e;
      *line = without_cr(r->pending.data, r->pending.len);
      return Error::None;
    }
    if (Error e = r->pending.append(start, avail); failed(e)) return e;
    r->pos = r->end;
    if (!r->eof) {
      if (Error e = reader_refill(r); failed(e)) return e;
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

Error read_object(BufferedReader* r, FieldView* object, bool* at_end) {
  *at_end = false;
  r->pending.clear();
  bool in_object = false, in_string = false, escape = false;
  size_t depth = 0;
  for (;;) {
    const uint8_t* buf = r->buffer;
    size_t i = r->pos;
    size_t start = i;  // where the current object's bytes in this chunk begin
    while (i < r->end) {
      if (!in_object) {
        size_t k = find_either(buf + i, r->end - i, '{', ']');
        i += k;
        if (i == r->end) break;
        if (buf[i] == ']') {
          r->pos = i;  // stays on the ']': every later read ends here too
          *at_end = true;
          return Error::None;
        }
        in_object = true;
        depth = 1;
        start = i++;
        continue;
      }
      uint8_t c = buf[i];
      if (in_string) {
        if (escape) {
          escape = false;
        } else if (c == '\\') {
          escape = true;
        } else if (c == '"') {
          in_string = false;
        }
      } else if (c == '"') {
        in_string = true;
      } else if (c == '{') {
        ++depth;
      } else if (c == '}') {
        if (--depth == 0) {
          r->pos = i + 1;
          if (r->pending.empty()) {
            *object = FieldView{buf + start, i + 1 - start};
            return Error::None;
          }
          if (Error e = r->pending.append(buf + start, i + 1 - start); failed(e)) return e;
          *object = FieldView{r->pending.data, r->pending.len};
          return Error::None;
        }
      }
      ++i;
    }
    r->pos = r->end;
    if (in_object) {
      if (Error e = r->pending.append(buf + start, r->end - start); failed(e)) return e;
      if (r->eof) return Error::InvalidJson;
    } else if (r->eof) {
      *at_end = true;
      return Error::None;
    }
    if (Error e = reader_refill(r); failed(e)) return e;
  }
}

void reader_close(BufferedReader* r) {
  platform::heap_free(r->buffer);
  r->buffer = nullptr;
  r->pending.release();
  if (r->is_file) platform::file_close(&r->file);
  r->is_file = false;
}

}  // namespace quelta
