// The process-wide last-error slot: 512 bytes, one message at a time, and the
// detail beside it (where and what). Only the export shells write it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"
#include "quelta.h"
#include "util/failure_site.h"

namespace quelta::api {

constexpr size_t kErrorSlotSize = 512;
// Room for each text of the detail, terminator included.
constexpr size_t kDetailTextSize = 256;

// Forgets the current message and its detail (on entry to every operation
// that can fail).
void slot_clear();
// Sets a fixed phrase as the message.
void slot_set(const char* phrase);
// Sets prefix followed by the condition's name ("open failed: FileNotFound").
void slot_set(const char* prefix, Error condition);
// The NUL-terminated message, or null when none is recorded.
const char* slot_message();

// Adds to the detail of the message just set: the subject (a path), and what
// a failure site knows (its position, its subject and its own detail). A
// site's subject replaces a path given before it.
void slot_subject(const char* subject);
void slot_subject(const char* subject, size_t len);
void slot_site(const FailureSite& site);

// Copies the detail out as the caller's record allows (see quelta.h).
int32_t slot_detail(QueltaErrorDetail* out);

}  // namespace quelta::api
