// Row batches written straight into one growing JSON text.
#include "scan/batch.h"

#include <new>

#include "json/json_writer.h"
#include "platform/heap.h"
#include "util/grow_buffer.h"

struct Batch {
  uint8_t* json;
  size_t json_len;
};

namespace quelta {

Batch* batch_create(ByteBuffer* text) {
  void* block = platform::heap_alloc(sizeof(Batch));
  if (!block) return nullptr;
  Batch* batch = new (block) Batch{text->data, text->len};
  text->take();
  return batch;
}

const uint8_t* batch_text(const Batch* batch, size_t* len) {
  *len = batch->json_len;
  return batch->json;
}

Error next_batch(ScanState* s, size_t max_rows, size_t max_bytes, Batch** out, bool* no_memory_for_record) {
  *out = nullptr;
  *no_memory_for_record = false;
  if (max_rows < 1 || max_rows > kMaxBatchRows || max_bytes == 0) return Error::InvalidBatchSize;
  MemorySink text;
  if (Error e = text.put('['); failed(e)) return e;
  size_t rows = 0;
  while (rows < max_rows) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    if (Error e = next_matching_row(s, &fields, &n, &at_end); failed(e)) return e;
    if (at_end) break;
    if (rows > 0) {
      if (Error e = text.put(','); failed(e)) return e;
    }
    if (Error e = write_row_array(text, fields, n); failed(e)) return e;
    ++rows;
    if (text.size() >= max_bytes) break;
  }
  if (rows == 0) return Error::None;
  Error text_failure = Error::None;
  if (!batch_from_text(&text, out, &text_failure)) {
    *no_memory_for_record = !failed(text_failure);
    return failed(text_failure) ? text_failure : Error::OutOfMemory;
  }
  return Error::None;
}

Error write_row_array(OutputSink& sink, const FieldView* fields, size_t n) {
  if (Error e = sink.put('['); failed(e)) return e;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = fields[i].ptr;
    const size_t len = fields[i].len;
    if (json_words::is_plain_short(p, len)) {
      if (Error e = json_words::write_plain_short(sink, i > 0 ? ',' : 0, p, len); failed(e)) return e;
      continue;
    }
    if (i > 0) {
      if (Error e = sink.put(','); failed(e)) return e;
    }
    JsonWriter w(sink);
    if (Error e = w.string_value(p, len); failed(e)) return e;
  }
  return sink.put(']');
}

bool batch_from_text(MemorySink* text, Batch** out, Error* text_failure) {
  *text_failure = text->put(']');
  if (failed(*text_failure)) return false;
  // Freed here unless the batch takes it.
  OwnedBuffer<uint8_t> json(text->take());
  json->trim();
  *out = batch_create(json.get());
  return *out != nullptr;
}

void batch_free(Batch* batch) {
  if (!batch) return;
  platform::heap_free(batch->json);
  platform::heap_free(batch);
}

}  // namespace quelta
