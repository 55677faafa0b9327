// How the tool reads its inputs: the flags every command takes (--delimiter,
// --quotes, --line-ends, --encoding, --input-format, --nested), each defined once
// here for parsing, for the usage text and for the ReadOptions it sets.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"

namespace cli {

namespace {

bool ends_with_folded(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  text = text.substr(text.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

// The flags' values: the record, and whether `--input-format json` is left to
// the input's first byte.
struct ReadChoice {
  ReadOptions options{};
  bool json_either = false;
};

[[noreturn]] void bad_value(std::string_view flag, const std::string& value, const char* allowed) {
  throw UsageError{std::string(flag) + " takes " + allowed + ", not '" + value + "'"};
}

void set_delimiter(const std::string& v, ReadChoice& s) {
  if (v == "tab" || v == "\\t") {
    s.options.delimiter = '\t';
  } else if (v.size() == 1 && v[0] != '"' && v[0] != '\r' && v[0] != '\n') {
    s.options.delimiter = v[0];
  } else {
    bad_value("--delimiter", v, "one byte other than '\"' and line ends, or tab");
  }
}

void set_quotes(const std::string& v, ReadChoice& s) {
  if (v == "rfc4180") {
    s.options.quoting = QUELTA_QUOTING_RFC4180;
  } else if (v == "line") {
    s.options.quoting = QUELTA_QUOTING_LINE;
  } else {
    bad_value("--quotes", v, "rfc4180 or line");
  }
}

void set_line_ends(const std::string& v, ReadChoice& s) {
  if (v == "lf") {
    s.options.line_ends = QUELTA_LINE_ENDS_LF;
  } else if (v == "any") {
    s.options.line_ends = QUELTA_LINE_ENDS_ANY;
  } else {
    bad_value("--line-ends", v, "lf or any");
  }
}

void set_encoding(const std::string& v, ReadChoice& s) {
  std::string name;
  for (char c : v) name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (name == "utf-8" || name == "utf8") {
    s.options.encoding = QUELTA_ENCODING_UTF8;
  } else if (name == "latin1" || name == "latin-1" || name == "iso-8859-1") {
    s.options.encoding = QUELTA_ENCODING_LATIN1;
  } else if (name == "cp1252" || name == "windows-1252") {
    s.options.encoding = QUELTA_ENCODING_CP1252;
  } else {
    bad_value("--encoding", v, "utf-8, latin1 or cp1252");
  }
}

void set_input_format(const std::string& v, ReadChoice& s) {
  if (v == "csv") {
    s.options.format = QUELTA_FORMAT_CSV;
  } else if (v == "jsonl") {
    s.options.format = QUELTA_FORMAT_JSON_LINES;
  } else if (v == "json") {
    s.json_either = true;  // an array or lines, told apart by the first byte
  } else {
    bad_value("--input-format", v, "csv, jsonl or json");
  }
}

void set_nested(const std::string& v, ReadChoice& s) {
  if (v == "refuse") {
    s.options.nested = QUELTA_NESTED_REFUSE;
  } else if (v == "text") {
    s.options.nested = QUELTA_NESTED_TEXT;
  } else {
    bad_value("--nested", v, "refuse or text");
  }
}

struct ReadFlag {
  const char* name;
  const char* value_name;
  const char* help;
  void (*apply)(const std::string& value, ReadChoice& settings);  // throws UsageError
};

const ReadFlag kReadFlags[] = {
    {"--delimiter", "C",
     "the CSV field separator: one byte, or tab. Default ',', and tab for files named *.tsv or *.tab",
     set_delimiter},
    {"--quotes", "Q",
     "rfc4180 (default): a quoted field may hold line breaks and delimiters, \"\" in it is one '\"'; "
     "line: a quote never spans a line end",
     set_quotes},
    {"--line-ends", "L", "lf (default): \\n and \\r\\n end a line; any: a lone \\r too", set_line_ends},
    {"--encoding", "E", "utf-8 (default, bytes as read), latin1 (ISO-8859-1) or cp1252 (Windows-1252)",
     set_encoding},
    {"--input-format", "F",
     "csv, jsonl (one JSON object per line) or json (one array of objects, or objects one per line). "
     "Default: JSON rows for names ending in .json, .jsonl or .ndjson, CSV otherwise (and for "
     "standard input)",
     set_input_format},
    {"--nested", "N",
     "refuse (default): a JSON row holding an object or array is an error; text: the value is its "
     "JSON text",
     set_nested},
};

// One option's lines: the flag and its value, then the help from column 19, wrapped at 80.
void append_help(std::string& text, const ReadFlag& flag) {
  constexpr size_t kIndent = 19, kWidth = 80;
  std::string line = std::string("  ") + flag.name + " " + flag.value_name;
  line.append(line.size() < kIndent ? kIndent - line.size() : 1, ' ');
  std::string_view rest(flag.help);
  while (!rest.empty()) {
    size_t room = kWidth - line.size();
    size_t cut = rest.size();
    if (cut > room) {
      cut = rest.rfind(' ', room);
      if (cut == std::string_view::npos || cut == 0) cut = room;
    }
    line.append(rest.substr(0, cut));
    text += line + "\n";
    rest.remove_prefix(cut);
    while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    line.assign(kIndent, ' ');
  }
}

ReadChoice read_choice(const Args& args) {
  ReadChoice s;
  s.options.size = sizeof(ReadOptions);
  s.options.quoting = QUELTA_QUOTING_RFC4180;
  for (const ReadFlag& flag : kReadFlags)
    if (std::optional<std::string> value = args.value(flag.name)) flag.apply(*value, s);
  return s;
}

}  // namespace

std::vector<OptionInfo> with_read_options(std::vector<OptionInfo> options) {
  for (const ReadFlag& flag : kReadFlags) options.push_back({flag.name, true});
  return options;
}

const std::string& read_options_help() {
  static const std::string text = [] {
    std::string t = "\nReading the input (every command):\n";
    for (const ReadFlag& flag : kReadFlags) append_help(t, flag);
    return t;
  }();
  return text;
}

ReadOptions read_options(const Args& args, const std::string& path) {
  ReadChoice s = read_choice(args);
  // The name without a compression suffix tells tab-separated text (rows.tsv.gz).
  std::string name = path;
  for (const char* suffix : {".gz", ".zst", ".bz2", ".xz", ".zip"})
    if (ends_with_folded(name, suffix)) {
      name.resize(name.size() - std::strlen(suffix));
      break;
    }
  if (!args.has("--delimiter") && (ends_with_folded(name, ".tsv") || ends_with_folded(name, ".tab")))
    s.options.delimiter = '\t';
  if (s.json_either)
    s.options.format = QUELTA_FORMAT_JSON;  // the library looks past a compression and a byte-order mark
  return s.options;
}

}  // namespace cli
