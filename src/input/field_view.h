// A field or record as a pointer and a length into a reader's buffers; valid
// until the next read on the same reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelta {

// A reader given no max_column splits every field of a record.
constexpr uint64_t kNoMaxColumn = UINT64_MAX;

struct FieldView {
  const uint8_t* ptr = nullptr;
  size_t len = 0;

  bool equals(const FieldView& o) const {
    return len == o.len && (ptr == o.ptr || len == 0 || std::memcmp(ptr, o.ptr, len) == 0);
  }
};

}  // namespace quelta
