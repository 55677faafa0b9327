// Entry point of the quelta tool: the subcommand table, --help, --version, and the
// mapping of failures to messages and exit statuses.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "cli.h"

namespace cli {
namespace {

constexpr const char* kToolUsage =
    "Usage: quelta COMMAND [ARGUMENTS]\n"
    "\n"
    "Query and validate CSV and JSON-row files.\n"
    "\n"
    "Commands:\n"
    "  columns   list the columns of a file with their indices\n"
    "  rows      print the matching rows (select columns, filter, limit)\n"
    "  count     count the matching rows\n"
    "  collect   gather the matching rows into one buffer and report its size\n"
    "  stats     count, sum, min, max and mean of a numeric column\n"
    "  top       the k rows with the largest (or smallest) value in a column\n"
    "  sort      every matching row, sorted by a column\n"
    "  columnar  a per-column summary of a whole file, read on several threads\n"
    "  validate  check every row against a JSON schema and report the breaches\n"
    "  check     tell whether a file or standard input is valid (exit 0, 1 or 2)\n"
    "  summary   a profile of every column: kinds, blanks, numbers, lengths, values\n"
    "  infer     print a JSON schema that the file passes\n"
    "\n"
    "A file whose name ends in .json, .jsonl or .ndjson is read as JSON rows, any\n"
    "other as CSV with a header line (tab-separated for .tsv and .tab). Every command\n"
    "takes --delimiter, --quotes, --line-ends, --encoding, --input-format and\n"
    "--nested to read other files. A column is named by its header name or by\n"
    "#INDEX, counting from 0.\n"
    "\n"
    "'quelta COMMAND --help' describes a command; 'quelta --version' prints the version.\n";

#define QUELTA_FILTER_HELP                                                               \
  "  --where EXPR     keep the rows where EXPR holds; repeat it to require several.\n"   \
  "                   EXPR is COL=V, COL==V, COL!=V, COL>V, COL>=V, COL<V, COL<=V or\n"  \
  "                   'COL in A|B|C', the value as it stands in the file (no quotes).\n" \
  "                   Two values compare as numbers only when both are numbers, as\n"    \
  "                   text otherwise: price>500 also keeps the text N/A\n"               \
  "  --numeric        compare as numbers only: a row whose value in a --where column\n"  \
  "                   is not a number fails its conditions\n"                            \
  "  --not            keep the rows that the --where conditions reject instead\n"

#define QUELTA_FORMAT_HELP                                                           \
  "  --format F       csv (the default when output is not a terminal), table (the\n" \
  "                   default on a terminal) or json (one JSON object per line)\n"

const std::vector<OptionInfo> kFilterOptions = {
    {"--where", true}, {"--numeric", false}, {"--not", false}, {"--limit", true}};

std::vector<OptionInfo> with_filter(std::vector<OptionInfo> options) {
  options.insert(options.end(), kFilterOptions.begin(), kFilterOptions.end());
  return with_read_options(std::move(options));
}

// A command's usage text followed by the reading flags'.
std::string usage(const char* text) { return text + read_options_help(); }

}  // namespace

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"columns",
       usage("Usage: quelta columns FILE\n"
             "\n"
             "List the columns of FILE (its CSV header, or the keys of its first JSON row)\n"
             "with their indices.\n"),
       with_read_options({}), run_columns},
      {"rows",
       usage("Usage: quelta rows FILE [--select COLS] [--where EXPR]... [--not] [--limit N]\n"
             "                        [--format csv|json|table]\n"
             "\n"
             "Print the rows of FILE that match, with a header line.\n"
             "\n"
             "  --select COLS    the columns to print, in order: names or #INDEX, separated by\n"
             "                   commas\n" QUELTA_FILTER_HELP
             "  --limit N        stop after N matching rows\n" QUELTA_FORMAT_HELP),
       with_filter({{"--select", true}, {"--format", true}}), run_rows},
      {"count",
       usage("Usage: quelta count FILE [--where EXPR]... [--not] [--limit N]\n"
             "\n"
             "Print the number of matching rows. Without conditions every line below the\n"
             "header counts, blank ones too.\n"
             "\n" QUELTA_FILTER_HELP "  --limit N        count at most N rows\n"),
       with_filter({}), run_count},
      {"collect",
       usage("Usage: quelta collect FILE [--where EXPR]... [--not] [--limit N]\n"
             "\n"
             "Gather every matching row into one buffer, each field followed by a NUL byte,\n"
             "and print the number of rows, the first row's number of fields and the\n"
             "buffer's size in bytes.\n"
             "\n" QUELTA_FILTER_HELP "  --limit N        gather at most N rows\n"),
       with_filter({}), run_collect},
      {"stats",
       usage("Usage: quelta stats FILE COLUMN [--where EXPR]... [--not] [--limit N]\n"
             "\n"
             "Print the count, sum, min, max and mean of the numeric values of COLUMN in the\n"
             "matching rows. Empty and non-numeric values are skipped.\n"
             "\n" QUELTA_FILTER_HELP "  --limit N        look at the first N matching rows only\n"),
       with_filter({}), run_stats},
      {"top",
       usage("Usage: quelta top FILE COLUMN [-k N] [--asc] [--select COLS] [--where EXPR]... [--not]\n"
             "                              [--format csv|json|table]\n"
             "\n"
             "Print the N rows (10 by default) with the largest numeric values in COLUMN,\n"
             "largest first. Rows whose value is not a number are left out.\n"
             "\n"
             "  -k N             how many rows to keep\n"
             "  --asc            the smallest values instead, smallest first\n"
             "  --select COLS    the columns to print; COLUMN must be one of them\n" QUELTA_FILTER_HELP
             "  --limit N        look at the first N matching rows only\n" QUELTA_FORMAT_HELP),
       with_filter({{"-k", true}, {"--asc", false}, {"--select", true}, {"--format", true}}), run_top},
      {"sort",
       usage("Usage: quelta sort FILE COLUMN [--desc] [--select COLS] [--where EXPR]... [--not]\n"
             "                               [--limit N] [--format csv|json|table]\n"
             "\n"
             "Print every matching row sorted by COLUMN: as numbers where both values are\n"
             "numbers, as text otherwise. Equal values keep their order in the file.\n"
             "\n"
             "  --desc           largest first\n"
             "  --select COLS    the columns to print; COLUMN must be one of them\n" QUELTA_FILTER_HELP
             "  --limit N        sort the first N matching rows only\n" QUELTA_FORMAT_HELP),
       with_filter({{"--desc", false}, {"--select", true}, {"--format", true}}), run_sort},
      {"columnar",
       usage("Usage: quelta columnar FILE [--threads N] [--where EXPR]... [--not] [--select COLS]\n"
             "                            [--limit N]\n"
             "\n"
             "Read FILE column by column and print, per column, its number of values, its\n"
             "bytes and its first values. The whole file is split among threads; with\n"
             "--select or --limit it is read in one pass instead.\n"
             "\n"
             "  --threads N      threads to use (default: one per processor)\n"
             "  --select COLS    the columns to collect (one pass)\n" QUELTA_FILTER_HELP
             "  --limit N        collect the first N matching rows (one pass)\n"),
       with_filter({{"--threads", true}, {"--select", true}}), run_columnar},
      {"validate",
       usage("Usage: quelta validate FILE --schema SCHEMA [--max-errors N] [--json] [--html PAGE [--force]]\n"
             "       quelta validate FILE --schema SCHEMA --split VALID.csv INVALID.jsonl [--force]\n"
             "       quelta validate FILE --schema SCHEMA --stream [--json]\n"
             "\n"
             "Check every row of FILE against SCHEMA, a JSON file (or a JSON text starting\n"
             "with '{') mapping column names to rules, for example\n"
             "  {\"age\": {\"type\": \"integer\", \"min\": 0}, \"email\": {\"required\": true}}\n"
             "Rules: type (any, integer, float, boolean, datetime, string), required, min,\n"
             "max, min_len, max_len, one_of. The exit status is 0 whether rows are valid or\n"
             "not; 'quelta check' answers with its exit status.\n"
             "\n"
             "  --max-errors N   list the first N breaches (default 100); all are counted\n"
             "  --json           print the report (or, with --stream, each invalid row) as JSON\n"
             "  --html PAGE      also write the report as one self-contained HTML page to\n"
             "                   the new file PAGE (charts, rules, the listed breaches)\n"
             "  --split V I      write the valid rows to the new CSV file V and the invalid ones\n"
             "                   with their breaches to the new JSON-lines file I\n"
             "  --force          with --split or --html, replace the outputs if they exist,\n"
             "                   once the new files are complete\n"
             "  --stream         show each invalid row as soon as it is found\n"),
       with_read_options({{"--schema", true},
                          {"--max-errors", true},
                          {"--json", false},
                          {"--split", true},
                          {"--force", false},
                          {"--stream", false},
                          {"--html", true}}),
       run_validate},
      {"check",
       usage("Usage: quelta check FILE|- --schema SCHEMA [--max-errors N] [--list]\n"
             "\n"
             "Tell whether every row of FILE is valid under SCHEMA, stopping at the first\n"
             "invalid row, and why not: the breaches per rule of the invalid rows looked at.\n"
             "'-' reads the input from standard input, as CSV unless --input-format says\n"
             "otherwise. Exit status: 0 valid, 1 invalid, 2 error.\n"
             "\n"
             "  --max-errors N   look at invalid rows until N breaches are counted (default 1:\n"
             "                   the first invalid row)\n"
             "  --list           print every invalid row with its breaches as a JSON array;\n"
             "                   with --max-errors, the rows up to the Nth breach\n"),
       with_read_options({{"--schema", true}, {"--max-errors", true}, {"--list", false}}), run_check},
      {"summary",
       usage("Usage: quelta summary FILE|- [--json] [--select COLS] [--where EXPR]... [--not] [--limit N]\n"
             "\n"
             "Read FILE once and describe every column: its type, blank values, the kinds of\n"
             "its values, numeric min, median, max, mean and standard deviation, lengths,\n"
             "and its distinct values (exact up to 1,000, estimated past that). '-' reads\n"
             "standard input. docs/profile.md describes the JSON.\n"
             "\n"
             "  --json           print the whole profile as one JSON object\n"
             "  --select COLS    the columns to describe, in order\n" QUELTA_FILTER_HELP
             "  --limit N        describe the first N matching rows only\n"),
       with_filter({{"--json", false}, {"--select", true}}), run_summary},
      {"infer",
       usage("Usage: quelta infer FILE|- [--select COLS] [--where EXPR]... [--not] [--limit N]\n"
             "\n"
             "Read FILE once and print a schema for 'quelta validate' that every row passes:\n"
             "per column the strictest type of its non-blank values, required when none is\n"
             "blank, the numeric range or the length range seen, and one_of for a column of\n"
             "few distinct values. '-' reads standard input.\n"
             "\n"
             "  --select COLS    the columns to describe, in order\n" QUELTA_FILTER_HELP
             "  --limit N        look at the first N matching rows only\n"),
       with_filter({{"--select", true}}), run_infer},
  };
  return table;
}

void fail_library(const std::string& subject) {
  const char* message = quelta_last_error();
  std::string text = subject.empty() ? std::string() : input_name(subject) + ": ";
  // Where the library can say more than its message (a line, a column, a schema
  // key), that detail goes here, between the subject and the message.
  text += message ? message : "failed without a message";
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

std::string nearest(std::string_view word, const std::vector<std::string_view>& candidates) {
  // Optimal string alignment distance: insertions, deletions, substitutions and
  // swaps of neighbours.
  auto distance = [](std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    return d[a.size()][b.size()];
  };
  std::string best;
  size_t best_distance = 0;
  for (std::string_view candidate : candidates) {
    // About one edit in three letters, so that short words are not matched to anything.
    std::string_view bare = candidate.substr(candidate.find_first_not_of('-'));
    size_t allowed = std::max<size_t>(1, bare.size() / 3);
    size_t d = distance(word, candidate);
    if (d <= allowed && (best.empty() || d < best_distance)) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

namespace {

void print(FILE* stream, const char* text) { std::fputs(text, stream); }

int run_tool(int argc, char** argv) {
  if (argc < 2) {
    print(stderr, kToolUsage);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    if (first == "help" && argc > 2) {
      for (const Command& c : commands())
        if (c.name == std::string(argv[2])) {
          print(stdout, c.usage.c_str());
          return 0;
        }
    }
    print(stdout, kToolUsage);
    return 0;
  }
  if (first == "--version" || first == "-V") {
    std::printf("quelta %s (%s)\n", QUELTA_VERSION_STRING, quelta_build_mode());
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& c : commands())
    if (first == c.name) command = &c;
  if (!command) {
    std::vector<std::string_view> names;
    for (const Command& c : commands()) names.push_back(c.name);
    std::string guess = nearest(first, names);
    if (!guess.empty()) {
      std::fprintf(stderr, "quelta: unknown command \"%s\"; did you mean \"%s\"?\n", first.c_str(),
                   guess.c_str());
    } else {
      std::string list;
      for (std::string_view name : names) list += (list.empty() ? "" : ", ") + std::string(name);
      std::fprintf(stderr,
                   "quelta: unknown command \"%s\"; the commands are %s ('quelta --help' describes them)\n",
                   first.c_str(), list.c_str());
    }
    return 2;
  }
  try {
    Args args(*command, argc - 2, argv + 2);
    if (args.has("--help")) {
      print(stdout, command->usage.c_str());
      return 0;
    }
    int status = command->run(args);
    out().flush();
    return status;
  } catch (const UsageError& e) {
    out().flush();
    std::fprintf(stderr, "quelta %s: %s\n", command->name, e.message.c_str());
    if (e.show_usage) {
      print(stderr, "\n");
      print(stderr, command->usage.c_str());
    }
    return 2;
  }
}

}  // namespace
}  // namespace cli

namespace {

void flush_quietly() {
  try {
    cli::out().flush();
  } catch (const cli::Failure&) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe shows up as EPIPE from write, which the output ends on quietly.
  std::signal(SIGPIPE, SIG_IGN);
  cli::install_signal_handlers();
  try {
    return cli::run_tool(argc, argv);
  } catch (const cli::Failure& e) {
    flush_quietly();
    std::fprintf(stderr, "quelta: %s\n", e.message.c_str());
  } catch (const std::bad_alloc&) {
    flush_quietly();
    std::fputs("quelta: out of memory\n", stderr);
  }
  return 2;
}
