// One pass over a scan building every column's profile, and the two texts
// made from it: the profile as JSON and a schema the profiled rows pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "json/json_writer.h"
#include "platform/error.h"
#include "profile/column_profile.h"
#include "scan/scan_state.h"

namespace quelta {

struct FileProfile {
  GrowBuffer<ColumnProfile> columns;
  GrowBuffer<FieldView> names;  // per column, into the scan's header (valid while it is open)
  GrowBuffer<size_t> indexes;   // per column, its index in the header
  uint64_t rows = 0;
};

// Profiles every remaining matching row of s: one column per projected column,
// or per header column without a projection.
Error profile_scan(ScanState* s, FileProfile* out);
// The steps of profile_scan: one empty profile per column; every remaining
// matching row into them; the end of every column's profile.
Error profile_columns_init(ScanState* s, FileProfile* out);
Error profile_rows(ScanState* s, FileProfile* out);
Error profile_columns_finish(FileProfile* out);
void file_profile_free(FileProfile* p);

// The profile as one JSON object (layout in docs/profile.md).
Error write_profile_json(const FileProfile& p, OutputSink& sink);

// A schema in the library's own format that every profiled row passes.
Error write_inferred_schema(const FileProfile& p, OutputSink& sink);

}  // namespace quelta

namespace quelta {

enum class ProfileOutput : uint8_t { Profile, Schema };

// Profiles the remaining rows of s on n_threads threads (1: the calling one
// only, 0: one per processor) and returns the chosen text, NUL-terminated on
// the heap (free with profile_text_free), or null with *condition set. The
// text is the same whatever the number of threads.
char* profile_text(ScanState* s, ProfileOutput what, size_t n_threads, Error* condition);
void profile_text_free(char* text);

}  // namespace quelta
