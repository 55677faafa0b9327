// The subcommands, each defined once: its name, its one-line summary, its
// synopsis (options drawn from the option table) and its description. The usage
// texts of every command and of the tool are composed from this table and the
// option table.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "options.h"

namespace cli {

class Args;

// One option in a synopsis: "[--select COLS]", "--schema SCHEMA" when required,
// "[--where EXPR]..." when repeated, "[--html PAGE [--force]]" with a nested one.
struct SynopsisPart {
  SynopsisPart(Opt option, bool required = false, std::optional<Opt> nested = std::nullopt)
      : option(option), required(required), nested(nested) {}
  Opt option;
  bool required;
  std::optional<Opt> nested;
};

// A line of a synopsis: a form of the command ("quelta NAME OPERANDS" and its
// options; the first line is one), or the options that continue the line above,
// aligned after its operands.
struct SynopsisLine {
  enum Kind { Form, Continued } kind;
  std::vector<SynopsisPart> parts;
};

struct Command {
  Command(const char* name, CommandSet bit, const char* summary, const char* operands,
          std::vector<SynopsisLine> synopsis, const char* description, int (*run)(const Args&))
      : name(name),
        bit(bit),
        summary(summary),
        operands(operands),
        synopsis(std::move(synopsis)),
        description(description),
        run(run) {}
  const char* name;
  CommandSet bit;
  const char* summary;   // its line in the tool's usage
  const char* operands;  // "FILE COLUMN"
  std::vector<SynopsisLine> synopsis;
  const char* description;  // the paragraphs between the synopsis and the options
  int (*run)(const Args&);
  std::string usage;  // printed by --help and on bad usage; composed from the above
};

const std::vector<Command>& commands();
// The tool's own usage: the commands and what every command takes.
const std::string& tool_usage();

}  // namespace cli
