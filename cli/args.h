// A subcommand's arguments, parsed against the option table: the options the
// command takes, with their values, and its positional arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command_table.h"
#include "options.h"

namespace cli {

class Args {
 public:
  Args(const Command& command, int argc, char** argv);  // throws UsageError
  const Command& command() const { return *command_; }
  const std::vector<std::string>& positional() const { return positional_; }
  bool wants_help() const { return help_; }
  bool has(Opt option) const;
  std::optional<std::string> value(Opt option) const;  // the last one given
  std::vector<std::string> values(Opt option) const;   // every one, in order
  uint64_t number(Opt option, uint64_t fallback) const;
  // Requires exactly n positional arguments, named in the usage.
  void expect_positional(size_t n) const;

 private:
  const Command* command_;
  bool help_ = false;
  std::vector<std::string> positional_;
  std::vector<std::pair<Opt, std::string>> options_;
};

// The closest of candidates to word within a small edit distance (a swap of two
// neighbours counts as one edit), or empty.
std::string nearest(std::string_view word, const std::vector<std::string_view>& candidates);

}  // namespace cli
