// Batches: many rows of a scan as one compact JSON text, so a host crosses the
// C boundary once per batch instead of once per row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan/scan_state.h"

struct Batch;

namespace quelta {

constexpr size_t kMaxBatchRows = 65536;

// Writes up to max_rows rows as [["a","b"],["c"]] (stopping once the text
// reaches max_bytes) into a new Batch; *out stays null when no row was left.
// *no_memory_for_record tells a failed Batch allocation apart from a failed
// text, which is reported as OutOfMemory.
Error next_batch(ScanState* s, size_t max_rows, size_t max_bytes, Batch** out, bool* no_memory_for_record);

// A Batch owning text (which is left empty); null when the record cannot be
// allocated, in which case text stays the caller's.
Batch* batch_create(ByteBuffer* text);
const uint8_t* batch_text(const Batch* batch, size_t* len);
void batch_free(Batch* batch);

}  // namespace quelta
