// How the tool reads its inputs: the ReadOptions that the reading flags of the
// option table (--delimiter, --quotes, --line-ends, --encoding, --input-format,
// --nested) choose over the tool's defaults.
#include "read_options.h"

#include <cstring>
#include <string>

#include "failures.h"

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

[[noreturn]] void bad_value(Opt flag, const std::string& value, const char* allowed) {
  throw UsageError{std::string(option(flag).name) + " takes " + allowed + ", not '" + value + "'"};
}

void set_delimiter(const std::string& v, ReadChoice& s) {
  if (v == "tab" || v == "\\t") {
    s.options.delimiter = '\t';
  } else if (v.size() == 1 && v[0] != '"' && v[0] != '\r' && v[0] != '\n') {
    s.options.delimiter = v[0];
  } else {
    bad_value(Opt::Delimiter, v, "one byte other than '\"' and line ends, or tab");
  }
}

void set_quotes(const std::string& v, ReadChoice& s) {
  if (v == "rfc4180") {
    s.options.quoting = QUELTA_QUOTING_RFC4180;
  } else if (v == "line") {
    s.options.quoting = QUELTA_QUOTING_LINE;
  } else {
    bad_value(Opt::Quotes, v, "rfc4180 or line");
  }
}

void set_line_ends(const std::string& v, ReadChoice& s) {
  if (v == "lf") {
    s.options.line_ends = QUELTA_LINE_ENDS_LF;
  } else if (v == "any") {
    s.options.line_ends = QUELTA_LINE_ENDS_ANY;
  } else {
    bad_value(Opt::LineEnds, v, "lf or any");
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
    bad_value(Opt::Encoding, v, "utf-8, latin1 or cp1252");
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
    bad_value(Opt::InputFormat, v, "csv, jsonl or json");
  }
}

void set_nested(const std::string& v, ReadChoice& s) {
  if (v == "refuse") {
    s.options.nested = QUELTA_NESTED_REFUSE;
  } else if (v == "text") {
    s.options.nested = QUELTA_NESTED_TEXT;
  } else {
    bad_value(Opt::Nested, v, "refuse or text");
  }
}

// Sets the choice of one reading flag; the others are no reading flags.
void apply(Opt flag, const std::string& value, ReadChoice& s) {
  switch (flag) {
    case Opt::Delimiter:
      return set_delimiter(value, s);
    case Opt::Quotes:
      return set_quotes(value, s);
    case Opt::LineEnds:
      return set_line_ends(value, s);
    case Opt::Encoding:
      return set_encoding(value, s);
    case Opt::InputFormat:
      return set_input_format(value, s);
    case Opt::Nested:
      return set_nested(value, s);
    default:
      return;
  }
}

ReadChoice read_choice(const Args& args) {
  ReadChoice s;
  s.options.size = sizeof(ReadOptions);
  s.options.quoting = QUELTA_QUOTING_RFC4180;
  for (const OptionDef& flag : options())
    if (flag.reading)
      if (std::optional<std::string> value = args.value(flag.id)) apply(flag.id, *value, s);
  return s;
}

}  // namespace

ReadOptions read_options(const Args& args, const std::string& path) {
  ReadChoice s = read_choice(args);
  // The name without a compression suffix tells tab-separated text (rows.tsv.gz).
  std::string name = path;
  for (const char* suffix : {".gz", ".zst", ".bz2", ".xz", ".zip"})
    if (ends_with_folded(name, suffix)) {
      name.resize(name.size() - std::strlen(suffix));
      break;
    }
  if (!args.has(Opt::Delimiter) && (ends_with_folded(name, ".tsv") || ends_with_folded(name, ".tab")))
    s.options.delimiter = '\t';
  if (s.json_either)
    s.options.format = QUELTA_FORMAT_JSON;  // the library looks past a compression and a byte-order mark
  return s.options;
}

}  // namespace cli
