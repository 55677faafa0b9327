// A small reader for the JSON texts the library returns where it gives what the
// tool needs in no other form (the validation report, breach lists, the profile)
// or where only the text keeps every byte of a field (row and validation
// batches): enough to show them to a person or to split them into rows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  std::string text;  // String: the decoded bytes; Number: its literal
  std::vector<Json> items;
  std::vector<std::string> keys;  // Object: member names, in order
  std::vector<Json> values;       // Object: member values, parallel to keys

  const Json* get(std::string_view key) const;
  uint64_t count() const;     // a Number member as an unsigned integer, 0 otherwise
  std::string bytes() const;  // a String, or the bytes of an array of byte values
};
// Parses one JSON value filling the whole text; false when it is malformed.
bool parse_json(std::string_view text, Json& out);
// The elements of a JSON array as raw slices of text (empty on malformed input).
std::vector<std::string_view> json_array_elements(std::string_view text);

}  // namespace cli
