// The caller's ReadOptions record, checked and turned into read settings.
#pragma once

#include "input/read_settings.h"
#include "quelta.h"

namespace quelta::api {

// False when the record is malformed: a size below the first version's, bytes
// past this library's record that are not zero, or a field out of range.
// NULL reads as the defaults.
bool read_settings_from(const ReadOptions* options, ReadSettings* out);

// The message of a malformed record.
inline constexpr const char* kInvalidReadOptions = "invalid read options";

}  // namespace quelta::api
