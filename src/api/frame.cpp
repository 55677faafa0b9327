// Exports of the library frame: the build mode and the last-error message.
#include "api/error_slot.h"
#include "quelta.h"

extern "C" {

QUELTA_API const char* quelta_build_mode(void) { return "ReleaseFast"; }

QUELTA_API const char* quelta_last_error(void) { return quelta::api::slot_message(); }
}
