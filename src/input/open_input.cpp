// Format choice and reader set-up for every input the library opens.
#include "input/open_input.h"

#include <cstring>

#include "input/decompress.h"

namespace quelta {

static bool ends_with(const char* s, size_t len, const char* suffix) {
  size_t n = std::strlen(suffix);
  return len >= n && std::memcmp(s + len - n, suffix, n) == 0;
}

bool path_selects_json(const char* path, size_t len) {
  len = strip_compression_suffix(path, len);
  return ends_with(path, len, ".ndjson") || ends_with(path, len, ".jsonl") || ends_with(path, len, ".json");
}

bool format_selects_json(FormatOverride format, const char* path) {
  return format == FormatOverride::None ? path_selects_json(path, std::strlen(path))
                                        : format != FormatOverride::Csv;
}

Error open_input(RecordReader* in, const char* path, const InputParams& params) {
  *in = RecordReader{};
  in->is_json = format_selects_json(params.read.format, path);
  return in->is_json ? json_open_file(&in->json, path, params.max_column, params.read)
                     : csv_open_file(&in->csv, path, params.max_column, params.read);
}

Error open_input_memory(RecordReader* in, const uint8_t* data, size_t len, bool is_json,
                        const InputParams& params) {
  *in = RecordReader{};
  in->is_json = is_json;
  return is_json ? json_open_memory(&in->json, data, len, params.max_column, params.read)
                 : csv_open_memory(&in->csv, data, len, params.max_column, params.read);
}

void close_input(RecordReader* in) {
  if (in->is_json)
    json_close(&in->json);
  else
    csv_close(&in->csv);
}

}  // namespace quelta
