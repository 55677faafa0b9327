// Header reading and name lookup for CSV inputs.
#include "input/header.h"

#include <cstring>

#include "platform/heap.h"
#include "util/byte_search.h"

namespace quelta {

Error read_header(CsvReader* csv) {
  FieldView line;
  bool at_end = false;
  const uint64_t start = reader_text_offset(csv->reader);
  Error read = csv->quoting == Quoting::Rfc4180
                   ? read_quoted_record(&csv->reader, csv->delimiter, &line, &at_end)
                   : read_line(&csv->reader, &line, &at_end);
  if (failed(read)) {
    csv_note_failure(csv, read, start, FieldView{});
    return read;
  }
  if (at_end) return Error::EmptyFile;

  // Split a copy: the names must survive the reader's next refill.
  ByteBuffer copy;
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  FieldView* names = nullptr;
  size_t count = 0, copied = 0;
  Error e = copy.append(line.ptr, line.len);
  if (!failed(e)) {
    e = split_record(FieldView{copy.data, copy.len}, csv->delimiter, kNoMaxColumn, &fields, &scratch, &count);
    if (failed(e)) csv_note_failure(csv, e, start, FieldView{copy.data, copy.len});
  }
  if (!failed(e)) {
    names = static_cast<FieldView*>(platform::heap_alloc(count * sizeof(FieldView)));
    if (!names) e = Error::OutOfMemory;
  }
  for (; !failed(e) && copied < count; ++copied) {
    const FieldView& f = fields[copied];
    uint8_t* name = nullptr;
    if (f.len > 0) {
      name = static_cast<uint8_t*>(platform::heap_alloc(f.len));
      if (!name) {
        e = Error::OutOfMemory;
        break;
      }
      std::memcpy(name, f.ptr, f.len);
    }
    names[copied] = FieldView{name, f.len};
  }
  copy.release();
  fields.release();
  scratch.release();
  if (failed(e)) {
    free_names(names, copied);
    return e;
  }
  csv->names = names;
  csv->n_names = count;
  csv->lines = 1 + count_byte(line.ptr, line.len, '\n');
  return Error::None;
}

}  // namespace quelta
