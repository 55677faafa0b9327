// Shared pieces of the quelta tool: failures, arguments, the scan set-up, output
// writing and a small JSON reader for the texts the library returns.
#pragma once

#include <quelta.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// The closest of candidates to word within a small edit distance (a swap of two
// neighbours counts as one edit), or empty.
std::string nearest(std::string_view word, const std::vector<std::string_view>& candidates);

// Whether text is a number as the library reads one (a finite decimal or
// hexadecimal number, with single underscores between digits).
bool is_number(std::string_view text);
// A text's value as the library converts it, where the tool can tell exactly:
// Unsure for the forms it leaves to the library (separators, hexadecimal, a
// value beyond the range of a double).
enum class NumberText { NotNumber, Finite, Unsure };
NumberText read_number(std::string_view text, double* value);

// ---- Owning handles ---------------------------------------------------------

template <typename T, void (*Release)(T*)>
struct Releaser {
  void operator()(T* p) const { Release(p); }
};
using ScannerPtr = std::unique_ptr<Scanner, Releaser<Scanner, quelta_close>>;
using BatchPtr = std::unique_ptr<Batch, Releaser<Batch, quelta_batch_free>>;
using TopkPtr = std::unique_ptr<TopkContext, Releaser<TopkContext, quelta_topk_close>>;
using OrderByPtr = std::unique_ptr<OrderByContext, Releaser<OrderByContext, quelta_order_by_close>>;
using CollectPtr = std::unique_ptr<CollectContext, Releaser<CollectContext, quelta_collect_close>>;
using ColumnarPtr =
    std::unique_ptr<ColumnarCollectContext, Releaser<ColumnarCollectContext, quelta_collect_columnar_close>>;
using ReportPtr = std::unique_ptr<ValidationReport, Releaser<ValidationReport, quelta_validate_free>>;
using ValidatorPtr = std::unique_ptr<Validator, Releaser<Validator, quelta_validator_close>>;
using OutcomePtr = std::unique_ptr<char, Releaser<char, quelta_outcome_free>>;

// ---- Arguments --------------------------------------------------------------

struct OptionInfo {
  const char* name;  // "--where", "-k"
  bool takes_value;
};

struct Command;

class Args {
 public:
  Args(const Command& command, int argc, char** argv);  // throws UsageError
  const Command& command() const { return *command_; }
  const std::vector<std::string>& positional() const { return positional_; }
  bool has(std::string_view name) const;
  std::optional<std::string> value(std::string_view name) const;  // the last one given
  std::vector<std::string> values(std::string_view name) const;   // every one, in order
  uint64_t number(std::string_view name, uint64_t fallback) const;
  // Requires exactly n positional arguments, named in the usage.
  void expect_positional(size_t n) const;

 private:
  const Command* command_;
  std::vector<std::string> positional_;
  std::vector<std::pair<std::string, std::string>> options_;
};

struct Command {
  const char* name;
  std::string usage;  // synopsis and option lines, printed by --help and on bad usage
  std::vector<OptionInfo> options;
  int (*run)(const Args&);
};

const std::vector<Command>& commands();

// ---- Reading inputs -------------------------------------------------------------

// options with the reading flags added (--delimiter, --quotes, --line-ends,
// --encoding, --input-format, --nested); every command takes them.
std::vector<OptionInfo> with_read_options(std::vector<OptionInfo> options);
// The usage lines of the reading flags.
const std::string& read_options_help();
// How to read the file at path: the flags' choices over the tool's defaults
// (RFC 4180 quoting, tab between fields of *.tsv and *.tab files). Throws UsageError.
ReadOptions read_options(const Args& args, const std::string& path);

// ---- Scan set-up --------------------------------------------------------------

// The column directory of an input, names resolved as the library resolves them
// (first exact match), or "#N" for index N.
struct Directory {
  std::vector<std::string> names;
  ScannerPtr probe;  // answers quelta_column_index; null when names came from elsewhere
  size_t resolve(const std::string& column, const std::string& file) const;  // throws Failure
};
Directory read_directory(const std::string& path, const ReadOptions& read);

// The ScanOptions of --select, --where, --not and --limit, with the storage its
// pointers refer to; it must outlive every scanner opened with it.
struct ScanPlan {
  std::vector<size_t> projection;
  std::vector<Predicate> predicates;
  std::deque<std::string> texts;
  std::deque<std::vector<const char*>> in_lists;
  ScanOptions options{};
  std::vector<std::string> output_names;  // names of the delivered columns
  std::vector<std::string> json_keys;     // their member names in JSON rows, quoted (json_key)
  ScanPlan() = default;
  ScanPlan(const ScanPlan&) = delete;
  ScanPlan& operator=(const ScanPlan&) = delete;
};
// Fills plan from the arguments; select_allowed false rejects --select.
void build_scan_plan(const Args& args, const Directory& dir, const std::string& file, ScanPlan& plan);
ScannerPtr open_scanner(const std::string& path, const ScanPlan& plan, const ReadOptions& read);

// ---- Output -------------------------------------------------------------------

// Standard output written in large blocks. A closed reader (EPIPE) makes closed()
// true and later writes vanish, so commands end quietly.
class Output {
 public:
  Output();
  ~Output();
  void put(std::string_view text);
  void put(char c);
  void flush();
  bool closed() const { return closed_; }

 private:
  std::string buffer_;
  bool closed_ = false;
};
Output& out();
bool stdout_is_terminal();

// A progress line on standard error (rows, MB/s, elapsed) for long row-stepping
// runs; silent unless standard error is a terminal.
class Progress {
 public:
  Progress();
  ~Progress();
  void tick(uint64_t rows) {
    if (enabled_ && (rows & 1023) == 0) draw(rows, false);
  }
  void finish(uint64_t rows);

 private:
  void draw(uint64_t rows, bool final);
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_, last_;
  uint64_t start_bytes_ = 0;
};

enum class Format { Csv, Json, Table };
Format output_format(const Args& args);  // --format, or table on a terminal and csv otherwise

// Receives the rows of a listing in the chosen format.
class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual void row(const char* const* fields, size_t n) = 0;
  // The same row given as its n NUL-terminated fields one after another.
  virtual void packed_row(const char* text, size_t n);
  virtual void finish() {}
};
std::unique_ptr<RowWriter> make_row_writer(Format format, const ScanPlan& plan);

// ---- The sort command's own sort ------------------------------------------------

struct KeptRow;
class TextStore;

// Rows read with quelta_next and sorted by a key worked out once per row. read()
// is false when the order would not be fixed by the keys alone (numbers mixed with
// text, a number form the tool leaves to the library) or a row cannot be read:
// quelta_order_by must then decide. Otherwise sort() gives its order exactly.
class KeyedSort {
 public:
  KeyedSort();
  ~KeyedSort();
  bool read(Scanner* scanner, size_t position);
  void sort(bool descending);
  void write(RowWriter& writer) const;

 private:
  std::unique_ptr<TextStore> store_;
  std::vector<KeptRow> rows_;
  std::vector<uint64_t> numbers_;  // each row's key in number order while no key is text
  struct SortedRow {
    const char* text;
    uint32_t n;
  };
  std::vector<SortedRow> sorted_;
  uint64_t n_numbers_ = 0, texts_ = 0;
};
// Whether the input's fields are sure to hold no NUL byte, which the C strings of
// quelta_next would hide from the keys.
bool keyed_sort_applies(const std::string& path);

void append_csv_field(std::string& line, std::string_view field);
void append_json_string(std::string& text, std::string_view value);  // byte array when not UTF-8
// The member name of column index in a JSON row: its name as a string, or
// "#INDEX" when the name is not UTF-8 (a member name cannot be a byte array).
std::string json_key(std::string_view name, size_t index);
bool is_utf8(std::string_view text);
std::string format_number(double value);
size_t display_width(std::string_view text);
// Prints rows of cells aligned in columns (right-aligned where right[i] is set).
void print_aligned(const std::vector<std::vector<std::string>>& rows, std::string_view indent,
                   const std::vector<bool>& right);
// A value shown to a person: quoted, control and non-UTF-8 bytes escaped, and
// so are the characters a terminal acts on (C1 controls, bidirectional overrides).
std::string quoted(std::string_view value);
// The same escapes without the quotes (quote false), for names in a listing.
std::string visible(std::string_view value, bool quote = false);

// ---- JSON texts returned by the library -------------------------------------------

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  std::string text;  // String: the decoded bytes; Number: its literal
  std::vector<Json> items;
  std::vector<std::string> keys;  // Object: member names, in order
  std::vector<Json> values;       // Object: member values, parallel to keys

  const Json* get(std::string_view key) const;
  uint64_t count() const;     // a Number member as an unsigned integer, 0 otherwise
  std::string bytes() const;  // a String, or the bytes of an array of byte values
};
// Parses one JSON value filling the whole text; false when it is malformed.
bool parse_json(std::string_view text, Json& out);
// The elements of a JSON array as raw slices of text (empty on malformed input).
std::vector<std::string_view> json_array_elements(std::string_view text);

// ---- Output files and signals ---------------------------------------------------

// SIGINT, SIGTERM and SIGHUP remove the registered temporaries and end the tool
// with status 128 + the signal; SIGXFSZ is ignored so a write past the file-size
// limit fails with FileTooBig instead.
void install_signal_handlers();

// Output files that appear together or not at all. add() refuses a target that
// exists and names a hidden temporary next to it, removed on a signal or when the
// set is destroyed unpublished; publish() moves every temporary onto its target,
// never over a file that appeared meanwhile, and undoes the moves made if one fails.
class OutputSet {
 public:
  // operation names the call in messages ("validate_to_files failed"); replace
  // lets publish() move the outputs over existing files.
  OutputSet(std::string operation, bool replace);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  void add(const std::string& target);  // throws Failure
  const char* temporary(size_t i) const { return entries_[i].temporary.c_str(); }
  void publish();  // throws Failure

 private:
  struct Entry {
    std::string target, temporary;
    int slot;  // in the table the signal handler reads
  };
  [[noreturn]] void fail_exists(const std::string& target) const;
  std::vector<Entry> entries_;
  std::string operation_;
  bool replace_;
  bool published_ = false;
};

// ---- Bounded reads ----------------------------------------------------------------

constexpr size_t kSchemaLimit = size_t{8} << 20;
constexpr size_t kStandardInputLimit = size_t{1} << 30;

// Bytes in a malloc'd block, NUL-terminated; realloc grows a large block by
// moving its pages rather than copying them.
class HeapText {
 public:
  HeapText() = default;
  ~HeapText();
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  const char* data() const { return data_ ? data_ : ""; }
  size_t size() const { return size_; }
  // Makes room for n more bytes (and the NUL), within limit + 1 bytes in all.
  bool reserve_more(size_t n, size_t limit);
  char* end() { return data_ + size_; }
  void grew(size_t n) {
    size_ += n;
    data_[size_] = '\0';
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
};

// A schema file, at most kSchemaLimit bytes; throws Failure naming what failed.
std::string read_schema_file(const std::string& path);
// The path a command opens for its input argument: the argument itself, or
// for "-" a temporary copy of standard input (at most kStandardInputLimit
// bytes, made on first use, unlinked at once and read through /dev/fd), so
// that every command reads standard input as a file, compressed or not.
std::string input_file(const std::string& argument);
// How messages name an input: "standard input" for the copy of it.
std::string input_name(const std::string& path);

// ---- Commands -----------------------------------------------------------------

int run_columns(const Args& args);
int run_rows(const Args& args);
int run_count(const Args& args);
int run_collect(const Args& args);
int run_stats(const Args& args);
int run_top(const Args& args);
int run_sort(const Args& args);
int run_columnar(const Args& args);
int run_validate(const Args& args);
int run_check(const Args& args);
int run_summary(const Args& args);
int run_infer(const Args& args);

}  // namespace cli
