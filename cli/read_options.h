// How the tool reads its inputs: the reading flags every command takes, turned
// into the library's ReadOptions.
#pragma once

#include <quelta.h>

#include <string>

#include "args.h"

namespace cli {

// How to read the file at path: the flags' choices over the tool's defaults
// (RFC 4180 quoting, tab between fields of *.tsv and *.tab files). Throws UsageError.
ReadOptions read_options(const Args& args, const std::string& path);

}  // namespace cli
