// How the tool fails: a Failure ends it with "quelta: MESSAGE", a UsageError with
// "quelta COMMAND: MESSAGE" and the command's usage, both with exit status 2; the
// library's own failures are turned into Failures naming what they concern.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Reported as "quelta: " + message, exit status 2.
struct Failure {
  std::string message;
};
// Reported as "quelta COMMAND: " + message, exit status 2, followed by the
// subcommand's usage unless the message says all there is to say.
struct UsageError {
  std::string message;
  bool show_usage = true;
};

// Throws a Failure with the library's last message, after "SUBJECT: " (the file
// or schema the failure concerns; none when empty).
[[noreturn]] void fail_library(const std::string& subject);

// What a validation call may fail on: the input, the schema (its path, or
// "--schema" for a text given inline) and, for --split, the outputs.
struct ValidationSubjects {
  std::string input, schema;
  std::vector<std::string> outputs;
};
// fail_library naming the one of them the condition concerns.
[[noreturn]] void fail_validation(const ValidationSubjects& subjects);

}  // namespace cli
