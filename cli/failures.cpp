// How the tool words the library's failures: the library's message after the
// subject it concerns, with the position and detail the library gives.
#include "failures.h"

#include <quelta.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "bounded_read.h"

namespace cli {

void fail_library(const std::string& subject) {
  const char* message = quelta_last_error();
  std::string text = subject.empty() ? std::string() : input_name(subject) + ": ";
  QueltaErrorDetail d{};
  d.size = sizeof d;
  const bool detailed = quelta_last_error_detail(&d) == 1;
  // The position goes between the subject and the message: in the schema text
  // for a schema failure, else in the input.
  const bool in_schema = detailed && d.schema_line > 0;
  const uint64_t line = !detailed ? 0 : in_schema ? d.schema_line : d.line;
  const uint64_t column = !detailed ? 0 : in_schema ? d.schema_column : d.column;
  if (line > 0) {
    text += "line " + std::to_string(line);
    if (column > 0) text += ", column " + std::to_string(column);
    text += ": ";
  }
  text += message ? message : "failed without a message";
  // The condition's own detail after it: what the schema should say, or a
  // note on the input's failure.
  if (detailed && *d.detail)
    text += in_schema ? std::string(": ") + d.detail : std::string(" (") + d.detail + ")";
  throw Failure{text};
}

namespace {

// The condition name that ends a library message ("validate failed: BadSchema").
std::string_view condition_of(std::string_view message) {
  size_t colon = message.rfind(": ");
  return colon == std::string_view::npos ? std::string_view() : message.substr(colon + 2);
}

bool readable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

}  // namespace

void fail_validation(const ValidationSubjects& subjects) {
  const char* message = quelta_last_error();
  std::string_view condition = condition_of(message ? message : "");
  if (condition == "BadSchema" || condition == "UnknownColumn") fail_library(subjects.schema);
  if (!subjects.outputs.empty()) {
    static constexpr std::string_view kWriting[] = {"PathAlreadyExists",  "NoSpaceLeft",
                                                    "DiskQuota",          "FileTooBig",
                                                    "ReadOnlyFileSystem", "NotOpenForWriting"};
    bool writing = std::find(std::begin(kWriting), std::end(kWriting), condition) != std::end(kWriting);
    // A path condition (FileNotFound, AccessDenied, ...) concerns the outputs
    // when the input can be read: the one whose folder cannot be written, if one.
    if (writing || readable_file(subjects.input)) {
      std::string named;
      for (const std::string& output : subjects.outputs) {
        size_t slash = output.rfind('/');
        std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        if (::access(folder.c_str(), W_OK) != 0) named = output;
      }
      if (named.empty())
        for (const std::string& output : subjects.outputs) named += (named.empty() ? "" : ", ") + output;
      fail_library(named);
    }
  }
  fail_library(subjects.input);
}

}  // namespace cli
