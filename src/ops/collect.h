// Collect: every remaining row into one contiguous buffer, each field's text
// followed by a NUL byte.
#pragma once

#include "scan/scan_state.h"

struct CollectContext {
  quelta::ByteBuffer data;
  size_t n_rows;
  size_t n_cols;
};

namespace quelta {

enum class CollectFailure : uint8_t { None, NoMemoryForContext, Scan, NoMemoryForRows };

CollectContext* collect_rows(ScanState* s, CollectFailure* failure, Error* condition);
void collect_close(CollectContext* ctx);

}  // namespace quelta
