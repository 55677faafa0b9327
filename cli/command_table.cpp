// The command table and the usage texts composed from it and the option table.
#include "command_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "commands.h"

namespace cli {

namespace {

using Line = SynopsisLine;
constexpr auto kContinued = SynopsisLine::Continued;
constexpr auto kForm = SynopsisLine::Form;

std::vector<Command> command_list() {
  return {
      {"columns",
       kColumns,
       "list the columns of a file with their indices",
       "FILE",
       {},
       "List the columns of FILE (its CSV header, or the keys of its first JSON row)\n"
       "with their indices.\n",
       run_columns},
      {"rows",
       kRows,
       "print the matching rows (select columns, filter, limit)",
       "FILE",
       {{kForm, {{Opt::Select}, {Opt::Where}, {Opt::Not}, {Opt::Limit}}}, {kContinued, {{Opt::Format}}}},
       "Print the rows of FILE that match, with a header line.\n",
       run_rows},
      {"count",
       kCount,
       "count the matching rows",
       "FILE",
       {{kForm, {{Opt::Where}, {Opt::Not}, {Opt::Limit}}}},
       "Print the number of matching rows. Without conditions every line below the\n"
       "header counts, blank ones too.\n",
       run_count},
      {"collect",
       kCollect,
       "gather the matching rows into one buffer and report its size",
       "FILE",
       {{kForm, {{Opt::Where}, {Opt::Not}, {Opt::Limit}}}},
       "Gather every matching row into one buffer, each field followed by a NUL byte,\n"
       "and print the number of rows, the first row's number of fields and the\n"
       "buffer's size in bytes.\n",
       run_collect},
      {"stats",
       kStats,
       "count, sum, min, max and mean of a numeric column",
       "FILE COLUMN",
       {{kForm, {{Opt::Where}, {Opt::Not}, {Opt::Limit}}}},
       "Print the count, sum, min, max and mean of the numeric values of COLUMN in the\n"
       "matching rows. Empty and non-numeric values are skipped.\n",
       run_stats},
      {"top",
       kTop,
       "the k rows with the largest (or smallest) value in a column",
       "FILE COLUMN",
       {{kForm, {{Opt::K}, {Opt::Asc}, {Opt::Select}, {Opt::Where}, {Opt::Not}}},
        {kContinued, {{Opt::Format}}}},
       "Print the N rows (10 by default) with the largest numeric values in COLUMN,\n"
       "largest first. Rows whose value is not a number are left out.\n",
       run_top},
      {"sort",
       kSort,
       "every matching row, sorted by a column",
       "FILE COLUMN",
       {{kForm, {{Opt::Desc}, {Opt::Select}, {Opt::Where}, {Opt::Not}}},
        {kContinued, {{Opt::Limit}, {Opt::Format}}}},
       "Print every matching row sorted by COLUMN: as numbers where both values are\n"
       "numbers, as text otherwise. Equal values keep their order in the file.\n",
       run_sort},
      {"columnar",
       kColumnar,
       "a per-column summary of a whole file, read on several threads",
       "FILE",
       {{kForm, {{Opt::Threads}, {Opt::Where}, {Opt::Not}, {Opt::Select}}}, {kContinued, {{Opt::Limit}}}},
       "Read FILE column by column and print, per column, its number of values, its\n"
       "bytes and its first values. The whole file is split among threads; with\n"
       "--select or --limit it is read in one pass instead.\n",
       run_columnar},
      {"validate",
       kValidate,
       "check every row against a JSON schema and report the breaches",
       "FILE",
       {{kForm, {{Opt::Schema, true}, {Opt::MaxErrors}, {Opt::Json}, {Opt::Html, false, Opt::Force}}},
        {kForm, {{Opt::Schema, true}, {Opt::Split, true}, {Opt::Force}}},
        {kForm, {{Opt::Schema, true}, {Opt::Stream, true}, {Opt::Json}}}},
       "Check every row of FILE against SCHEMA, a JSON file (or a JSON text starting\n"
       "with '{') mapping column names to rules, for example\n"
       "  {\"age\": {\"type\": \"integer\", \"min\": 0}, \"email\": {\"required\": true}}\n"
       "Rules: type (any, integer, float, boolean, datetime, string), required, min,\n"
       "max, min_len, max_len, one_of. The exit status is 0 whether rows are valid or\n"
       "not; 'quelta check' answers with its exit status.\n",
       run_validate},
      {"check",
       kCheck,
       "tell whether a file or standard input is valid (exit 0, 1 or 2)",
       "FILE|-",
       {{kForm, {{Opt::Schema, true}, {Opt::MaxErrors}, {Opt::List}}}},
       "Tell whether every row of FILE is valid under SCHEMA, stopping at the first\n"
       "invalid row, and why not: the breaches per rule of the invalid rows looked at.\n"
       "'-' reads the input from standard input, as CSV unless --input-format says\n"
       "otherwise. Exit status: 0 valid, 1 invalid, 2 error.\n",
       run_check},
      {"summary",
       kSummary,
       "a profile of every column: kinds, blanks, numbers, lengths, values",
       "FILE|-",
       {{kForm, {{Opt::Json}, {Opt::Select}, {Opt::Where}, {Opt::Not}}},
        {kContinued, {{Opt::Limit}, {Opt::Threads}}}},
       "Read FILE once and describe every column: its type, blank values, the kinds of\n"
       "its values, numeric min, median, max, mean and standard deviation, lengths,\n"
       "and its distinct values (exact up to 1,000, estimated past that). One thread\n"
       "reads the rows and the threads share out the columns; the result is the same\n"
       "with any number of threads. '-' reads standard input. docs/profile.md\n"
       "describes the JSON.\n",
       run_summary},
      {"infer",
       kInfer,
       "print a JSON schema that the file passes",
       "FILE|-",
       {{kForm, {{Opt::Select}, {Opt::Where}, {Opt::Not}, {Opt::Limit}}}, {kContinued, {{Opt::Threads}}}},
       "Read FILE once and print a schema for 'quelta validate' that every row passes:\n"
       "per column the strictest type of its non-blank values, required when none is\n"
       "blank, the numeric range or the length range seen, and one_of for a column of\n"
       "few distinct values. '-' reads standard input.\n",
       run_infer},
  };
}

// "--select COLS" as a synopsis shows it, in brackets unless required.
std::string synopsis_part(const SynopsisPart& part) {
  const OptionDef& def = option(part.option);
  std::string text = def.name;
  if (const char* value = def.synopsis_value ? def.synopsis_value : def.value)
    text += std::string(" ") + value;
  if (part.nested) {
    text += ' ';
    text += synopsis_part(SynopsisPart{*part.nested});
  }
  if (!part.required) {
    text.insert(text.begin(), '[');
    text += ']';
  }
  if (def.repeated) text += "...";
  return text;
}

bool in_synopsis(const Command& c, Opt id) {
  for (const SynopsisLine& line : c.synopsis)
    for (const SynopsisPart& part : line.parts)
      if (part.option == id || part.nested == id) return true;
  return false;
}

std::string compose_usage(const Command& c) {
  const std::string invocation = std::string("quelta ") + c.name + " " + c.operands;
  std::string text = "Usage: " + invocation;
  for (size_t i = 0; i < c.synopsis.size(); ++i) {
    const SynopsisLine& line = c.synopsis[i];
    bool first_part = true;
    if (i > 0 && line.kind == SynopsisLine::Form) {
      text += "\n       ";
      text += invocation;
    } else if (i > 0) {
      text += '\n';
      text.append(std::string_view("Usage: ").size() + invocation.size() + 1, ' ');
      first_part = false;
    }
    for (const SynopsisPart& part : line.parts) {
      if (first_part) text += ' ';
      first_part = true;
      text += synopsis_part(part);
    }
  }
  text += "\n\n";
  text += c.description;
  std::string lines, reading;
  for (const OptionDef& def : options()) {
    const bool taken = def.commands & c.bit;
    const OptionHelp* help = taken ? def.help_for(c.bit) : nullptr;
    if (help) append_option_help(def.reading ? reading : lines, def, *help);
    // An option the usage does not show, or shows without the command taking
    // it, is a slip in the tables.
    if (taken != (help || in_synopsis(c, def.id))) {
      std::fprintf(stderr, "quelta: the usage of %s %s %s\n", c.name, taken ? "does not show" : "shows",
                   def.name);
      std::abort();
    }
  }
  if (!lines.empty()) text += "\n" + lines;
  if (!reading.empty()) text += "\nReading the input (every command):\n" + reading;
  return text;
}

}  // namespace

const std::vector<Command>& commands() {
  static const std::vector<Command> table = [] {
    std::vector<Command> list = command_list();
    for (Command& c : list) c.usage = compose_usage(c);
    return list;
  }();
  return table;
}

const std::string& tool_usage() {
  static const std::string text = [] {
    std::string t =
        "Usage: quelta COMMAND [ARGUMENTS]\n"
        "\n"
        "Query and validate CSV and JSON-row files.\n"
        "\n"
        "Commands:\n";
    for (const Command& c : commands()) {
      std::string name = c.name;
      name.resize(std::max<size_t>(name.size() + 1, 10), ' ');
      t += "  " + name + c.summary + "\n";
    }
    // Prose laid out by hand; the tool's tests check that it names every reading flag.
    t += "\n"
         "A file whose name ends in .json, .jsonl or .ndjson is read as JSON rows, any\n"
         "other as CSV with a header line (tab-separated for .tsv and .tab). Every command\n"
         "takes --delimiter, --quotes, --line-ends, --encoding, --input-format and\n"
         "--nested to read other files. A column is named by its header name or by\n"
         "#INDEX, counting from 0.\n";
    t += "\n'quelta COMMAND --help' describes a command; 'quelta --version' prints the version.\n";
    return t;
  }();
  return text;
}

}  // namespace cli
