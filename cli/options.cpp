// The option table and the layout of help lines.
#include "options.h"

#include <cstdio>
#include <cstdlib>

namespace cli {

namespace {

constexpr CommandSet kListing = kRows | kTop | kSort;  // the commands that print rows

std::vector<OptionDef> make_options() {
  std::vector<OptionDef> table = {
      {.id = Opt::K, .name = "-k", .value = "N", .commands = kTop, .help = {{kTop, "how many rows to keep"}}},
      {.id = Opt::Asc,
       .name = "--asc",
       .value = nullptr,
       .commands = kTop,
       .help = {{kTop, "the smallest values instead, smallest first"}}},
      {.id = Opt::Desc,
       .name = "--desc",
       .value = nullptr,
       .commands = kSort,
       .help = {{kSort, "largest first"}}},
      {.id = Opt::Threads,
       .name = "--threads",
       .value = "N",
       .commands = kColumnar | kSummary | kInfer,
       .help = {{kColumnar, "threads to use (default: one per processor)"},
                {kSummary, "threads to use (default: one per processor)"},
                {kInfer, "threads to use (default: one per processor)"}}},
      {.id = Opt::Schema, .name = "--schema", .value = "SCHEMA", .commands = kValidate | kCheck, .help = {}},
      {.id = Opt::MaxErrors,
       .name = "--max-errors",
       .value = "N",
       .commands = kValidate | kCheck,
       .help = {{kValidate, "list the first N breaches (default 100); all are counted"},
                {kCheck,
                 "look at invalid rows until N breaches are counted (default 1: the first invalid row)"}}},
      {.id = Opt::Json,
       .name = "--json",
       .value = nullptr,
       .commands = kValidate | kSummary,
       .help = {{kValidate, "print the report (or, with --stream, each invalid row) as JSON",
                 Layout::AsWritten},
                {kSummary, "print the whole profile as one JSON object"}}},
      {.id = Opt::Html,
       .name = "--html",
       .value = "PAGE",
       .commands = kValidate,
       .help = {{kValidate,
                 "also write the report as one self-contained HTML page to\n"
                 "the new file PAGE (charts, rules, the listed breaches)",
                 Layout::AsWritten}}},
      {.id = Opt::Split,
       .name = "--split",
       .value = "V I",
       .commands = kValidate,
       .help = {{kValidate,
                 "write the valid rows to the new CSV file V and the invalid ones\n"
                 "with their breaches to the new JSON-lines file I",
                 Layout::AsWritten}},
       .synopsis_value = "VALID.csv INVALID.jsonl",
       .values_noun = "files"},
      {.id = Opt::Force,
       .name = "--force",
       .value = nullptr,
       .commands = kValidate,
       .help = {{kValidate,
                 "with --split or --html, replace the outputs if they exist, once the new files are "
                 "complete"}}},
      {.id = Opt::Stream,
       .name = "--stream",
       .value = nullptr,
       .commands = kValidate,
       .help = {{kValidate, "show each invalid row as soon as it is found"}}},
      {.id = Opt::List,
       .name = "--list",
       .value = nullptr,
       .commands = kCheck,
       .help = {{kCheck,
                 "print every invalid row with its breaches as a JSON array; with --max-errors, the rows "
                 "up to the Nth breach"}}},
      {.id = Opt::Select,
       .name = "--select",
       .value = "COLS",
       .commands = kListing | kColumnar | kSummary | kInfer,
       .help = {{kRows, "the columns to print, in order: names or #INDEX, separated by commas"},
                {kTop | kSort, "the columns to print; COLUMN must be one of them"},
                {kColumnar, "the columns to collect (one pass)"},
                {kSummary | kInfer, "the columns to describe, in order"}}},
      {.id = Opt::Where,
       .name = "--where",
       .value = "EXPR",
       .commands = kFiltering,
       .help = {{kFiltering,
                 "keep the rows where EXPR holds; repeat it to require several.\n"
                 "EXPR is COL=V, COL==V, COL!=V, COL>V, COL>=V, COL<V, COL<=V or\n"
                 "'COL in A|B|C', the value as it stands in the file (no quotes).\n"
                 "Two values compare as numbers only when both are numbers, as\n"
                 "text otherwise: price>500 also keeps the text N/A",
                 Layout::AsWritten}},
       .repeated = true},
      {.id = Opt::Numeric,
       .name = "--numeric",
       .value = nullptr,
       .commands = kFiltering,
       .help = {{kFiltering,
                 "compare as numbers only: a row whose value in a --where column\n"
                 "is not a number fails its conditions",
                 Layout::AsWritten}}},
      {.id = Opt::Not,
       .name = "--not",
       .value = nullptr,
       .commands = kFiltering,
       .help = {{kFiltering, "keep the rows that the --where conditions reject instead"}}},
      {.id = Opt::Limit,
       .name = "--limit",
       .value = "N",
       .commands = kFiltering,
       .help = {{kRows, "stop after N matching rows"},
                {kCount, "count at most N rows"},
                {kCollect, "gather at most N rows"},
                {kStats | kTop | kInfer, "look at the first N matching rows only"},
                {kSort, "sort the first N matching rows only"},
                {kColumnar, "collect the first N matching rows (one pass)"},
                {kSummary, "describe the first N matching rows only"}}},
      {.id = Opt::Format,
       .name = "--format",
       .value = "F",
       .commands = kListing,
       .help = {{kListing,
                 "csv (the default when output is not a terminal), table (the default on a terminal) or json "
                 "(one JSON object per line)"}},
       .synopsis_value = "csv|json|table"},
      {.id = Opt::Delimiter,
       .name = "--delimiter",
       .value = "C",
       .commands = kEveryCommand,
       .help = {{kEveryCommand,
                 "the CSV field separator: one byte, or tab. Default ',', and tab for files named *.tsv or "
                 "*.tab"}},
       .reading = true},
      {.id = Opt::Quotes,
       .name = "--quotes",
       .value = "Q",
       .commands = kEveryCommand,
       .help = {{kEveryCommand,
                 "rfc4180 (default): a quoted field may hold line breaks and delimiters, \"\" in it is one "
                 "'\"'; line: a quote never spans a line end"}},
       .reading = true},
      {.id = Opt::LineEnds,
       .name = "--line-ends",
       .value = "L",
       .commands = kEveryCommand,
       .help = {{kEveryCommand, "lf (default): \\n and \\r\\n end a line; any: a lone \\r too"}},
       .reading = true},
      {.id = Opt::Encoding,
       .name = "--encoding",
       .value = "E",
       .commands = kEveryCommand,
       .help = {{kEveryCommand,
                 "utf-8 (default, bytes as read), latin1 (ISO-8859-1) or cp1252 (Windows-1252)"}},
       .reading = true},
      {.id = Opt::InputFormat,
       .name = "--input-format",
       .value = "F",
       .commands = kEveryCommand,
       .help = {{kEveryCommand,
                 "csv, jsonl (one JSON object per line) or json (one array of objects, or objects one per "
                 "line). Default: JSON rows for names ending in .json, .jsonl or .ndjson, CSV otherwise (and "
                 "for standard input)"}},
       .reading = true},
      {.id = Opt::Nested,
       .name = "--nested",
       .value = "N",
       .commands = kEveryCommand,
       .help =
           {{kEveryCommand,
             "refuse (default): a JSON row holding an object or array is an error; text: the value is its "
             "JSON text"}},
       .reading = true},
  };
  // The table is read by position; a row out of place is a slip in the table itself.
  for (size_t i = 0; i < table.size(); ++i)
    if (table[i].id != static_cast<Opt>(i)) {
      std::fprintf(stderr, "quelta: option table out of order at %s\n", table[i].name);
      std::abort();
    }
  return table;
}

// text filled into lines of at most width columns, each ending in a newline: the
// first continues line, the others start with indent spaces.
void append_wrapped(std::string& out, std::string line, std::string_view text, size_t indent, size_t width) {
  while (!text.empty()) {
    size_t room = width > line.size() ? width - line.size() : 0;
    size_t cut = text.size();
    if (cut > room) {
      cut = text.rfind(' ', room);
      if (cut == std::string_view::npos || cut == 0) cut = room ? room : text.size();
    }
    line.append(text.substr(0, cut));
    out += line + "\n";
    text.remove_prefix(cut);
    while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    line.assign(indent, ' ');
  }
}

}  // namespace

size_t OptionDef::n_values() const {
  if (!value) return 0;
  return std::string_view(value).find(' ') == std::string_view::npos ? 1 : 2;
}

const OptionHelp* OptionDef::help_for(CommandSet command) const {
  for (const OptionHelp& h : help)
    if (h.commands & command) return &h;
  return nullptr;
}

const std::vector<OptionDef>& options() {
  static const std::vector<OptionDef> table = make_options();
  return table;
}

void append_option_help(std::string& text, const OptionDef& def, const OptionHelp& help) {
  constexpr size_t kIndent = 19, kWidth = 80;
  std::string line = std::string("  ") + def.name;
  if (def.value) line += std::string(" ") + def.value;
  line.append(line.size() < kIndent ? kIndent - line.size() : 1, ' ');
  if (help.layout == Layout::Wrapped) {
    append_wrapped(text, std::move(line), help.text, kIndent, kWidth);
    return;
  }
  std::string_view rest(help.text);
  for (;;) {
    size_t end = rest.find('\n');
    text += line;
    text += rest.substr(0, end);
    text += '\n';
    if (end == std::string_view::npos) return;
    rest.remove_prefix(end + 1);
    line.assign(kIndent, ' ');
  }
}

}  // namespace cli
