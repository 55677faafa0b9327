// How an input is read: the CSV dialect, the text encoding and the JSON
// choices a caller can make. The default value reads as the library always
// has: ',' between fields, quotes within a line, '\n' line ends, bytes as read.
#pragma once

#include <cstdint>

namespace quelta {

enum class Quoting : uint8_t { Line, Rfc4180 };
enum class Encoding : uint8_t { Utf8, Latin1, Cp1252 };
// Json chooses lines or an array from the first byte; the others force one.
enum class FormatOverride : uint8_t { None, Csv, Json, JsonLines, JsonArray };

struct ReadSettings {
  uint8_t delimiter = ',';
  Quoting quoting = Quoting::Line;
  bool any_line_end = false;  // a lone '\r' ends a line too
  Encoding encoding = Encoding::Utf8;
  bool nested_text = false;  // nested JSON values as their text instead of a failure
  FormatOverride format = FormatOverride::None;
  bool stream = false;  // the path may name a pipe, FIFO or character device, read once

  // Whether bytes change on their way into the read buffer.
  bool decodes() const { return encoding != Encoding::Utf8 || any_line_end; }
};

}  // namespace quelta
