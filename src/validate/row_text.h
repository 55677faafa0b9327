// Rows written as text by the validation outputs: the CSV record of the valid
// output, and the UTF-8 test that every written field must pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "json/json_writer.h"

namespace quelta {

// Whether every field is well-formed UTF-8.
bool fields_are_utf8(const FieldView* fields, size_t n);

// Writes the fields as a JSON array of strings, checking each for UTF-8 on the
// way: InvalidUtf8 (with part of the array written) when one is not well-formed,
// where a batch would write a byte array.
Error write_text_row_array(OutputSink& sink, const FieldView* fields, size_t n);

// Writes the fields as one CSV record ending in CR LF: a field holding ',',
// '"', CR or LF goes between quotes with its quotes doubled, a record of one
// empty field is written as "" so that it is not an empty line. InvalidUtf8
// (with part of the record written) when a field is not well-formed UTF-8.
Error write_csv_record(OutputSink& sink, const FieldView* fields, size_t n);

}  // namespace quelta
