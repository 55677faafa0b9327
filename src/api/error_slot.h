// The process-wide last-error slot: 512 bytes, one message at a time. Only the
// export shells write it.
#pragma once

#include <cstddef>

#include "platform/error.h"

namespace quelta::api {

constexpr size_t kErrorSlotSize = 512;

// Forgets the current message (on entry to every operation that can fail).
void slot_clear();
// Sets a fixed phrase as the message.
void slot_set(const char* phrase);
// Sets prefix followed by the condition's name ("open failed: FileNotFound").
void slot_set(const char* prefix, Error condition);
// The NUL-terminated message, or null when none is recorded.
const char* slot_message();

}  // namespace quelta::api
