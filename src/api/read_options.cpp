// Checking the versioned ReadOptions record.
#include "api/read_options.h"

#include <cstddef>
#include <cstring>

namespace quelta::api {

// The record as first published: every field up to stream.
constexpr size_t kFirstVersionSize = offsetof(ReadOptions, stream) + sizeof(int32_t);

bool read_settings_from(const ReadOptions* options, ReadSettings* out) {
  *out = ReadSettings{};
  if (!options) return true;
  if (options->size < kFirstVersionSize) return false;
  // A newer caller's record: what this library does not know must be unset.
  if (options->size > sizeof(ReadOptions)) {
    const auto* extra = reinterpret_cast<const unsigned char*>(options) + sizeof(ReadOptions);
    for (size_t i = 0; i < options->size - sizeof(ReadOptions); ++i)
      if (extra[i] != 0) return false;
  }
  ReadOptions o{};
  std::memcpy(&o, options, options->size < sizeof o ? options->size : sizeof o);
  const auto delimiter = static_cast<uint8_t>(o.delimiter);
  if (delimiter == '"' || delimiter == '\r' || delimiter == '\n') return false;
  if (o.quoting < 0 || o.quoting > QUELTA_QUOTING_RFC4180 || o.line_ends < 0 ||
      o.line_ends > QUELTA_LINE_ENDS_ANY || o.encoding < 0 || o.encoding > QUELTA_ENCODING_CP1252 ||
      o.format < 0 || o.format > QUELTA_FORMAT_JSON || o.nested < 0 || o.nested > QUELTA_NESTED_TEXT)
    return false;
  out->delimiter = delimiter ? delimiter : ',';
  out->quoting = o.quoting == QUELTA_QUOTING_RFC4180 ? Quoting::Rfc4180 : Quoting::Line;
  out->any_line_end = o.line_ends == QUELTA_LINE_ENDS_ANY;
  out->encoding = static_cast<Encoding>(o.encoding);
  static constexpr FormatOverride kFormats[] = {FormatOverride::None, FormatOverride::Csv,
                                                FormatOverride::JsonLines, FormatOverride::JsonArray,
                                                FormatOverride::Json};
  out->format = kFormats[o.format];
  out->nested_text = o.nested == QUELTA_NESTED_TEXT;
  out->stream = o.stream != 0;
  return true;
}

}  // namespace quelta::api
