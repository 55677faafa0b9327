// What the tool writes: block-buffered standard output that ends quietly on a
// closed pipe, the progress line, the csv, json and table row formats, and the
// escapes and alignment of texts shown to a person.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"

namespace cli {

struct ScanPlan;

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

}  // namespace cli
