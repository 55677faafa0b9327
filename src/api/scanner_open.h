// Opening a Scanner with the messages of quelta_open_with, shared by the
// exports that run a whole scan themselves.
#pragma once

#include "quelta.h"

namespace quelta::api {

// Clears the slot, checks the arguments and opens; NULL with the message set on failure.
Scanner* open_scanner(const char* path, const ScanOptions* options, const ReadOptions* read);

}  // namespace quelta::api
