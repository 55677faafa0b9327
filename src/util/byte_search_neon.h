// The NEON byte searches, built on ARM64 only; byte_search.cpp chooses among
// the levels.
#pragma once

#include "util/byte_search.h"

namespace quelta {

#if defined(__aarch64__)
// The NEON versions; with_pmull takes the running quote parity from one
// carry-less multiply (a processor without it gets a shift-xor cascade).
ByteSearchOps byte_search_neon_ops(bool with_pmull);
#endif

}  // namespace quelta
