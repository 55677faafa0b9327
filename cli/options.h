// The tool's options, each defined once: its name, its value, the commands that
// take it and its help line for each. Parsing, the synopses and the help texts
// are all drawn from this table, so an option cannot be accepted without being
// described, or described without being accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The subcommands, as bits of a set.
using CommandSet = uint32_t;
enum : CommandSet {
  kColumns = 1u << 0,
  kRows = 1u << 1,
  kCount = 1u << 2,
  kCollect = 1u << 3,
  kStats = 1u << 4,
  kTop = 1u << 5,
  kSort = 1u << 6,
  kColumnar = 1u << 7,
  kValidate = 1u << 8,
  kCheck = 1u << 9,
  kSummary = 1u << 10,
  kInfer = 1u << 11,
};
// The commands that take --where, --numeric, --not and --limit.
constexpr CommandSet kFiltering =
    kRows | kCount | kCollect | kStats | kTop | kSort | kColumnar | kSummary | kInfer;
constexpr CommandSet kEveryCommand = (1u << 12) - 1;

// Every option, in the order the help texts list them.
enum class Opt {
  K,
  Asc,
  Desc,
  Threads,
  Schema,
  MaxErrors,
  Json,
  Html,
  Split,
  Force,
  Stream,
  List,
  Select,
  Where,
  Numeric,
  Not,
  Limit,
  Format,
  Delimiter,
  Quotes,
  LineEnds,
  Encoding,
  InputFormat,
  Nested,
};

// Wrapped: filled into lines of at most 80 columns. AsWritten: the text's own
// lines, for help laid out by hand.
enum class Layout { Wrapped, AsWritten };

// An option's help line for the commands in a set.
struct OptionHelp {
  CommandSet commands;
  const char* text;
  Layout layout = Layout::Wrapped;
};

struct OptionDef {
  Opt id;
  const char* name;   // "--where", "-k"
  const char* value;  // the value's name in help lines ("N"; "V I" for two values); null for a flag
  CommandSet commands;
  std::vector<OptionHelp> help;          // none: shown in synopses only
  const char* synopsis_value = nullptr;  // the value's name in synopses, when it differs
  bool repeated = false;                 // may be given several times, shown "[--where EXPR]..."
  bool reading = false;                  // a reading flag, listed under its own heading
  const char* values_noun = nullptr;     // what two values are ("files"), for the message when one is missing

  // How many arguments follow the option: 0, 1 or 2.
  size_t n_values() const;
  // The help line for command, or null.
  const OptionHelp* help_for(CommandSet command) const;
};

// The table, in Opt order.
const std::vector<OptionDef>& options();
inline const OptionDef& option(Opt id) { return options()[static_cast<size_t>(id)]; }

// An option's help: the name and value, then the text from column 19 on.
void append_option_help(std::string& text, const OptionDef& def, const OptionHelp& help);

}  // namespace cli
