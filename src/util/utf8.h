// The UTF-8 well-formedness check used wherever bytes must be text: JSON string
// values, and the validators' checks of input fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelta {

// True when p[0..n) is well-formed UTF-8: shortest forms only, no surrogate code
// points (U+D800..U+DFFF), nothing above U+10FFFF. The empty text is well-formed.
bool is_valid_utf8(const uint8_t* p, size_t n);

}  // namespace quelta
