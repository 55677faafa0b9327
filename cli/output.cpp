// Output of the quelta tool: block-buffered standard output that ends quietly on
// a closed pipe, the progress line, and the csv, json and table row formats.
#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "failures.h"
#include "scan_setup.h"

namespace cli {

namespace {
constexpr size_t kBlock = 1 << 16;
}

Output::Output() { buffer_.reserve(kBlock * 2); }

Output::~Output() {
  try {
    flush();
  } catch (const Failure&) {
  }
}

void Output::put(std::string_view text) {
  if (closed_) return;
  buffer_.append(text);
  if (buffer_.size() >= kBlock) flush();
}

void Output::put(char c) {
  if (closed_) return;
  buffer_.push_back(c);
  if (buffer_.size() >= kBlock) flush();
}

void Output::flush() {
  size_t done = 0;
  while (!closed_ && done < buffer_.size()) {
    ssize_t n = ::write(STDOUT_FILENO, buffer_.data() + done, buffer_.size() - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (errno == EPIPE) {
      closed_ = true;
    } else if (errno != EINTR) {
      int code = errno;
      buffer_.clear();
      closed_ = true;
      throw Failure{std::string("cannot write output: ") + std::strerror(code)};
    }
  }
  buffer_.clear();
}

Output& out() {
  static Output output;
  return output;
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

// ---- Progress ----------------------------------------------------------------

namespace {

// Bytes this process has read so far (Linux); 0 where that is not known.
uint64_t bytes_read() {
  FILE* f = std::fopen("/proc/self/io", "r");
  if (!f) return 0;
  unsigned long long rchar = 0;
  if (std::fscanf(f, "rchar: %llu", &rchar) != 1) rchar = 0;
  std::fclose(f);
  return rchar;
}

}  // namespace

Progress::Progress() : enabled_(::isatty(STDERR_FILENO) == 1) {
  if (!enabled_) return;
  start_ = last_ = std::chrono::steady_clock::now();
  start_bytes_ = bytes_read();
}

Progress::~Progress() {
  if (shown_) std::fputs("\r\033[K", stderr);
}

void Progress::finish(uint64_t rows) {
  if (!enabled_) return;
  draw(rows, true);
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

void Progress::draw(uint64_t rows, bool final) {
  auto now = std::chrono::steady_clock::now();
  double elapsed = std::chrono::duration<double>(now - start_).count();
  // Only runs longer than half a second show a line, redrawn five times a second.
  if (elapsed < 0.5 || (!final && now - last_ < std::chrono::milliseconds(200))) return;
  last_ = now;
  uint64_t bytes = bytes_read();
  double mb = bytes > start_bytes_ ? static_cast<double>(bytes - start_bytes_) / 1e6 : 0.0;
  std::fprintf(stderr, "\r%llu rows  %.1f MB/s  %.1f s\033[K", static_cast<unsigned long long>(rows),
               mb / elapsed, elapsed);
  shown_ = true;
}

// ---- Text helpers ------------------------------------------------------------

bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

void append_json_string(std::string& text, std::string_view value) {
  if (!is_utf8(value)) {
    text += '[';
    for (size_t i = 0; i < value.size(); ++i) {
      if (i) text += ',';
      text += std::to_string(static_cast<unsigned char>(value[i]));
    }
    text += ']';
    return;
  }
  text += '"';
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\r':
        text += "\\r";
        break;
      case '\t':
        text += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          text += esc;
        } else {
          text += ch;
        }
    }
  }
  text += '"';
}

namespace {

// "#INDEX" as a JSON string.
std::string index_key(size_t index) {
  std::string key = "\"#";
  key += std::to_string(index);
  key += '"';
  return key;
}

}  // namespace

std::string json_key(std::string_view name, size_t index) {
  if (!is_utf8(name)) return index_key(index);
  std::string key;
  append_json_string(key, name);
  return key;
}

namespace {

// The bytes that make a CSV field need quotes.
constexpr std::array<bool, 256> kCsvSpecial = [] {
  std::array<bool, 256> special{};
  for (unsigned char c : {',', '"', '\r', '\n'}) special[c] = true;
  return special;
}();

}  // namespace

void append_csv_field(std::string& line, std::string_view field) {
  size_t i = 0;
  while (i < field.size() && !kCsvSpecial[static_cast<unsigned char>(field[i])]) ++i;
  if (i == field.size()) {
    line.append(field);
    return;
  }
  line += '"';
  for (char c : field) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

std::string format_number(double value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

size_t display_width(std::string_view text) {
  size_t width = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  return width;
}

namespace {

// The length of a UTF-8 sequence at p[0..n) that a terminal would act on
// rather than show: a C1 control (U+0080..U+009F) or a bidirectional
// formatting character (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069); 0 for anything else. Its code point goes to *cp.
size_t invisible_sequence(const unsigned char* p, size_t n, unsigned* cp) {
  if (n >= 2 && p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
    *cp = p[1];
    return 2;
  }
  if (n >= 2 && p[0] == 0xD8 && p[1] == 0x9C) {
    *cp = 0x061C;
    return 2;
  }
  if (n >= 3 && p[0] == 0xE2 && (p[1] == 0x80 || p[1] == 0x81)) {
    unsigned c = 0x2000 + ((p[1] & 0x3Fu) << 6) + (p[2] & 0x3Fu);
    if (c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
      *cp = c;
      return 3;
    }
  }
  return 0;
}

}  // namespace

std::string visible(std::string_view value, bool quote) {
  std::string text = quote ? "\"" : "";
  bool utf8 = is_utf8(value);
  const auto* p = reinterpret_cast<const unsigned char*>(value.data());
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = p[i];
    unsigned cp = 0;
    char esc[12];
    if (quote && (c == '"' || c == '\\')) {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      text += esc;
    } else if (size_t len = c >= 0xC2 ? invisible_sequence(p + i, value.size() - i, &cp) : 0) {
      std::snprintf(esc, sizeof esc, "\\u%04X", cp);
      text += esc;
      i += len - 1;
    } else {
      text += static_cast<char>(c);
    }
  }
  if (quote) text += '"';
  return text;
}

std::string quoted(std::string_view value) { return visible(value, true); }

void print_aligned(const std::vector<std::vector<std::string>>& rows, std::string_view indent,
                   const std::vector<bool>& right) {
  std::vector<size_t> widths;
  for (const auto& r : rows) {
    if (widths.size() < r.size()) widths.resize(r.size(), 0);
    for (size_t i = 0; i < r.size(); ++i) widths[i] = std::max(widths[i], display_width(r[i]));
  }
  std::string line;
  for (const auto& r : rows) {
    line.assign(indent);
    for (size_t i = 0; i < r.size(); ++i) {
      size_t pad = widths[i] - display_width(r[i]);
      bool align_right = i < right.size() && right[i];
      if (i) line += "  ";
      if (align_right) line.append(pad, ' ');
      line += r[i];
      if (!align_right && i + 1 < r.size()) line.append(pad, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    line += '\n';
    out().put(line);
  }
}

// ---- Row formats -------------------------------------------------------------

Format output_format(const Args& args) {
  std::optional<std::string> f = args.value(Opt::Format);
  if (!f) return stdout_is_terminal() ? Format::Table : Format::Csv;
  if (*f == "csv") return Format::Csv;
  if (*f == "json") return Format::Json;
  if (*f == "table") return Format::Table;
  throw UsageError{"--format takes csv, json or table, not '" + *f + "'"};
}

namespace {

class CsvWriter : public RowWriter {
 public:
  explicit CsvWriter(const std::vector<std::string>& names) {
    std::vector<const char*> fields;
    for (const std::string& n : names) fields.push_back(n.c_str());
    row(fields.data(), fields.size());
  }
  void row(const char* const* fields, size_t n) override {
    line_.clear();
    for (size_t i = 0; i < n; ++i) {
      if (i) line_ += ',';
      append_field(fields[i]);
    }
    end_line(n == 1 && fields[0][0] == '\0');
  }
  void packed_row(const char* text, size_t n) override {
    line_.clear();
    const char* p = text;
    for (size_t i = 0; i < n; ++i) {
      if (i) line_ += ',';
      p = append_field(p) + 1;
    }
    end_line(n == 1 && text[0] == '\0');
  }

 private:
  // Appends the NUL-terminated field at p, quoted where it must be, in one pass
  // over its bytes; returns where its NUL is.
  const char* append_field(const char* p) {
    const char* start = p;
    while (!kCsvStop[static_cast<unsigned char>(*p)]) ++p;
    if (*p == '\0') {
      line_.append(start, static_cast<size_t>(p - start));
      return p;
    }
    p += std::strlen(p);
    append_csv_field(line_, std::string_view(start, static_cast<size_t>(p - start)));
    return p;
  }
  void end_line(bool lone_empty) {
    // A lone empty field is written as "" so that the record is not a blank line.
    if (lone_empty) line_ = "\"\"";
    line_ += '\n';
    out().put(line_);
  }

  // The bytes that end a plain run: the end of the field or a byte that needs quotes.
  static constexpr std::array<bool, 256> kCsvStop = [] {
    std::array<bool, 256> stop = kCsvSpecial;
    stop[0] = true;
    return stop;
  }();
  std::string line_;
};

class JsonWriter : public RowWriter {
 public:
  explicit JsonWriter(const std::vector<std::string>& keys) : keys_(keys) {}
  void row(const char* const* fields, size_t n) override {
    line_.clear();
    line_ += '{';
    for (size_t i = 0; i < n; ++i) {
      if (i) line_ += ',';
      line_ += i < keys_.size() ? keys_[i] : index_key(i);
      line_ += ':';
      append_json_string(line_, fields[i]);
    }
    line_ += "}\n";
    out().put(line_);
  }

 private:
  std::vector<std::string> keys_;
  std::string line_;
};

// Aligns the rows in blocks of kRows: each block is printed once it is full, with
// column widths that only grow, so that a long listing starts at once.
class TableWriter : public RowWriter {
 public:
  static constexpr size_t kRows = 1000;
  static constexpr size_t kMaxWidth = 40;

  explicit TableWriter(const std::vector<std::string>& names) {
    std::vector<std::string> header;
    for (const std::string& n : names) header.push_back(cell(n));
    rows_.push_back(header);
    std::vector<std::string> rule;
    for (const std::string& h : header) rule.emplace_back(std::max<size_t>(display_width(h), 1), '-');
    rows_.push_back(rule);
  }
  void row(const char* const* fields, size_t n) override {
    std::vector<std::string>& r = rows_.emplace_back();
    for (size_t i = 0; i < n; ++i) r.push_back(cell(fields[i]));
    if (rows_.size() >= kRows) finish();
  }
  void finish() override {
    for (const auto& r : rows_) {
      if (widths_.size() < r.size()) widths_.resize(r.size(), 0);
      for (size_t i = 0; i < r.size(); ++i) widths_[i] = std::max(widths_[i], display_width(r[i]));
    }
    std::string line;
    for (const auto& r : rows_) {
      line.clear();
      for (size_t i = 0; i < r.size(); ++i) {
        if (i) line += "  ";
        line += r[i];
        if (i + 1 < r.size()) line.append(widths_[i] - display_width(r[i]), ' ');
      }
      line += '\n';
      out().put(line);
    }
    rows_.clear();
  }

 private:
  // One line per cell: line breaks and tabs become spaces, long values are cut.
  static std::string cell(std::string_view value) {
    std::string text;
    size_t width = 0;
    for (size_t i = 0; i < value.size(); ++i) {
      char c = value[i];
      bool starts = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      if (starts && ++width > kMaxWidth) {
        text += "\xE2\x80\xA6";  // an ellipsis
        break;
      }
      text += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    }
    return text;
  }

  std::vector<std::vector<std::string>> rows_;
  std::vector<size_t> widths_;
};

}  // namespace

void RowWriter::packed_row(const char* text, size_t n) {
  std::vector<const char*> fields(n);
  for (size_t i = 0; i < n; ++i) {
    fields[i] = text;
    text += std::strlen(text) + 1;
  }
  row(fields.data(), n);
}

std::unique_ptr<RowWriter> make_row_writer(Format format, const ScanPlan& plan) {
  const std::vector<std::string>& names = plan.output_names;
  switch (format) {
    case Format::Csv:
      return std::make_unique<CsvWriter>(names);
    case Format::Json:
      return std::make_unique<JsonWriter>(plan.json_keys);
    case Format::Table:
      return std::make_unique<TableWriter>(names);
  }
  return nullptr;
}

}  // namespace cli
