// Header reading and name lookup for CSV inputs.
#include "input/header.h"

#include <cstring>

#include "platform/heap.h"
#include "platform/owned.h"
#include "util/byte_search.h"
#include "util/grow_buffer.h"

namespace quelta {
namespace {

// Names copied so far: the first n entries of names.
struct NameList {
  FieldView* names = nullptr;
  size_t n = 0;
};

void free_name_list(NameList* list) {
  free_names(list->names, list->n);
  *list = NameList{};
}

}  // namespace

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
  OwnedBuffer<uint8_t> copy;
  OwnedBuffer<FieldView> fields;
  OwnedBuffer<uint8_t> scratch;
  size_t count = 0;
  if (Error e = copy->append(line.ptr, line.len); failed(e)) return e;
  const FieldView text{copy->data, copy->len};
  if (Error e = split_record(text, csv->delimiter, kNoMaxColumn, fields.get(), scratch.get(), &count);
      failed(e)) {
    csv_note_failure(csv, e, start, text);
    return e;
  }
  platform::Owned<NameList, free_name_list> list;
  list->names = static_cast<FieldView*>(platform::heap_alloc(count * sizeof(FieldView)));
  if (!list->names) return Error::OutOfMemory;
  for (; list->n < count; ++list->n) {
    const FieldView& f = fields->data[list->n];
    uint8_t* name = nullptr;
    if (f.len > 0) {
      name = static_cast<uint8_t*>(platform::heap_alloc(f.len));
      if (!name) return Error::OutOfMemory;
      std::memcpy(name, f.ptr, f.len);
    }
    list->names[list->n] = FieldView{name, f.len};
  }
  csv->names = list.take().names;
  csv->n_names = count;
  csv->lines = 1 + count_byte(line.ptr, line.len, '\n');
  return Error::None;
}

}  // namespace quelta
