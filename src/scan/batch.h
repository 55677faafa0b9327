// Batches: many rows of a scan as one compact JSON text, so a host crosses the
// C boundary once per batch instead of once per row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json_writer.h"
#include "scan/scan_state.h"

struct Batch;

namespace quelta {

constexpr size_t kMaxBatchRows = 65536;

// Writes up to max_rows rows as [["a","b"],["c"]] (stopping once the text
// reaches max_bytes) into a new Batch; *out stays null when no row was left.
// *no_memory_for_record tells a failed Batch allocation apart from a failed
// text, which is reported as OutOfMemory.
Error next_batch(ScanState* s, size_t max_rows, size_t max_bytes, Batch** out, bool* no_memory_for_record);

// Writes the fields as one JSON array of string values: ["a","b"].
Error write_row_array(OutputSink& sink, const FieldView* fields, size_t n);

// Closes the array of a batch text (opened with '[') and hands it to a new
// Batch in *out. False when the text cannot take its ']' (*text_failure set)
// or the record cannot be allocated (*text_failure None); the text is then
// released or left to the sink.
bool batch_from_text(MemorySink* text, Batch** out, Error* text_failure);

// A Batch owning text (which is left empty); null when the record cannot be
// allocated, in which case text stays the caller's.
Batch* batch_create(ByteBuffer* text);
const uint8_t* batch_text(const Batch* batch, size_t* len);
void batch_free(Batch* batch);

}  // namespace quelta
