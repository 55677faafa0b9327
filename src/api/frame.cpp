// Exports of the library frame: the build mode and the last-error message.
#include "api/error_slot.h"
#include "quelta.h"

extern "C" {

QUELTA_API const char* quelta_build_mode(void) { return "ReleaseFast"; }

QUELTA_API const char* quelta_last_error(void) { return quelta::api::slot_message(); }

QUELTA_API int32_t quelta_last_error_detail(QueltaErrorDetail* out) { return quelta::api::slot_detail(out); }
}
