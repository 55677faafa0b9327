// The error-list JSON shared by the report, the streaming validator's row
// errors, the invalid-rows output and the outcome text.
#include <string_view>

#include "validate/validator.h"

namespace quelta {
namespace {

Error write_string(OutputSink& sink, FieldView s) {
  JsonWriter w(sink);  // fresh: the keys around it carry the punctuation
  return w.string_value(s.ptr, s.len);
}

Error write_error(OutputSink& sink, const ValidationError& e, bool with_row) {
  if (with_row) {
    if (Error r = sink.write("{\"row\":"); failed(r)) return r;
    if (Error r = write_integer(sink, e.row); failed(r)) return r;
    if (Error r = sink.write(",\"column\":"); failed(r)) return r;
  } else {
    if (Error r = sink.write("{\"column\":"); failed(r)) return r;
  }
  Error r = e.has_column ? write_integer(sink, e.column) : sink.write("null");
  if (failed(r)) return r;
  if (Error r2 = sink.write(",\"column_name\":"); failed(r2)) return r2;
  if (Error r2 = write_string(sink, e.column_name); failed(r2)) return r2;
  if (Error r2 = sink.write(",\"rule\":\""); failed(r2)) return r2;
  // Rule names are plain lower-case ASCII: no escaping to look for.
  if (Error r2 = sink.write(std::string_view(rule_name(e.rule))); failed(r2)) return r2;
  if (Error r2 = sink.write("\",\"value\":"); failed(r2)) return r2;
  if (Error r2 = write_string(sink, e.value); failed(r2)) return r2;
  return sink.put('}');
}

}  // namespace

Error write_error_list(OutputSink& sink, const ValidationError* errors, size_t n, bool with_row) {
  if (Error e = sink.put('['); failed(e)) return e;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (Error e = sink.put(','); failed(e)) return e;
    }
    if (Error e = write_error(sink, errors[i], with_row); failed(e)) return e;
  }
  return sink.put(']');
}

}  // namespace quelta
