// Decoding of inputs that are not UTF-8 with '\n' line ends: Latin-1 and
// Windows-1252 bytes become UTF-8, and a lone '\r' becomes '\n', chunk by chunk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/read_settings.h"

namespace quelta {

struct DecodeState {
  Encoding encoding = Encoding::Utf8;
  bool any_line_end = false;
  bool quotes_hold_cr = false;  // a lone '\r' inside quotes is data and stays
  bool in_quotes = false;       // quote parity where the last chunk ended
  bool held_cr = false;         // the last chunk ended in '\r', decided by the next byte
};

// The most bytes decode_chunk writes for n input bytes.
constexpr size_t decoded_capacity(size_t n) { return 3 * n + 1; }

// Decodes in[0..n) into out and returns the bytes written. A '\r' that ends
// the chunk is held back until the next call, which may be the last one
// (n == 0, at_end true).
size_t decode_chunk(DecodeState* st, const uint8_t* in, size_t n, bool at_end, uint8_t* out);

}  // namespace quelta
