// Argument parsing, column resolution and the scan options built from --select,
// --where, --not and --limit.
#include <charconv>
#include <string>

#include "cli.h"

namespace cli {

Args::Args(const Command& command, int argc, char** argv) : command_(&command) {
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options_.emplace_back("--help", "");
      continue;
    }
    std::string name = arg, value;
    bool inline_value = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    const OptionInfo* option = nullptr;
    for (const OptionInfo& o : command.options)
      if (name == o.name) option = &o;
    if (!option) throw UsageError{"unknown option " + name};
    if (option->takes_value && !inline_value) {
      if (i + 1 >= argc) throw UsageError{"option " + name + " needs a value"};
      value = argv[++i];
    } else if (!option->takes_value && inline_value) {
      throw UsageError{"option " + name + " takes no value"};
    }
    options_.emplace_back(name, value);
    // --split names two files.
    if (name == "--split") {
      if (i + 1 >= argc) throw UsageError{"option --split needs two files"};
      options_.emplace_back(name, argv[++i]);
    }
  }
}

bool Args::has(std::string_view name) const {
  for (const auto& [n, v] : options_)
    if (n == name) return true;
  return false;
}

std::optional<std::string> Args::value(std::string_view name) const {
  std::optional<std::string> found;
  for (const auto& [n, v] : options_)
    if (n == name) found = v;
  return found;
}

std::vector<std::string> Args::values(std::string_view name) const {
  std::vector<std::string> found;
  for (const auto& [n, v] : options_)
    if (n == name) found.push_back(v);
  return found;
}

uint64_t Args::number(std::string_view name, uint64_t fallback) const {
  std::optional<std::string> text = value(name);
  if (!text) return fallback;
  uint64_t n = 0;
  const char* end = text->data() + text->size();
  auto [ptr, ec] = std::from_chars(text->data(), end, n);
  if (text->empty() || ec != std::errc() || ptr != end)
    throw UsageError{"option " + std::string(name) + " needs a whole number, not '" + *text + "'"};
  return n;
}

void Args::expect_positional(size_t n) const {
  if (positional_.size() < n) throw UsageError{"missing arguments"};
  if (positional_.size() > n) throw UsageError{"unexpected argument '" + positional_[n] + "'"};
}

namespace {

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> split(std::string_view s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    parts.push_back(trim(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start)));
    if (p == std::string_view::npos) return parts;
    start = p + 1;
  }
}

struct Condition {
  std::string column;
  int32_t op = QUELTA_OP_EQ;
  std::string value;
  std::vector<std::string> in_values;
};

// COL=V, COL!=V, COL>V, COL>=V, COL<V, COL<=V or "COL in A|B|C"; spaces around
// the column and the values are ignored.
Condition parse_where(const std::string& expr) {
  Condition c;
  size_t op_at = expr.find_first_of("=!<>");
  size_t in_at = expr.find(" in ");
  if (in_at != std::string::npos && (op_at == std::string::npos || in_at < op_at)) {
    c.column = trim(std::string_view(expr).substr(0, in_at));
    c.op = QUELTA_OP_IN;
    c.in_values = split(std::string_view(expr).substr(in_at + 4), '|');
  } else if (op_at != std::string::npos) {
    c.column = trim(std::string_view(expr).substr(0, op_at));
    std::string_view rest = std::string_view(expr).substr(op_at);
    size_t len = 1;
    if (rest.rfind("!=", 0) == 0) {
      c.op = QUELTA_OP_NE, len = 2;
    } else if (rest.rfind(">=", 0) == 0) {
      c.op = QUELTA_OP_GE, len = 2;
    } else if (rest.rfind("<=", 0) == 0) {
      c.op = QUELTA_OP_LE, len = 2;
    } else if (rest.rfind("==", 0) == 0) {
      c.op = QUELTA_OP_EQ, len = 2;
    } else if (rest[0] == '>') {
      c.op = QUELTA_OP_GT;
    } else if (rest[0] == '<') {
      c.op = QUELTA_OP_LT;
    } else if (rest[0] == '=') {
      c.op = QUELTA_OP_EQ;
    } else {
      op_at = std::string::npos;  // a lone '!'
    }
    c.value = trim(rest.substr(len));
  }
  if ((op_at == std::string::npos && c.op != QUELTA_OP_IN) || c.column.empty())
    throw UsageError{"cannot read --where '" + expr +
                     "': write COL=V, COL!=V, COL>V, COL>=V, COL<V, COL<=V or 'COL in A|B|C'"};
  return c;
}

bool is_index(const std::string& column) {
  return column.size() > 1 && column[0] == '#' &&
         column.find_first_not_of("0123456789", 1) == std::string::npos;
}

}  // namespace

size_t Directory::resolve(const std::string& column, const std::string& file) const {
  if (is_index(column)) {
    uint64_t n = 0;
    auto [ptr, ec] = std::from_chars(column.data() + 1, column.data() + column.size(), n);
    if (ec == std::errc() && n < names.size()) return static_cast<size_t>(n);
    throw Failure{"no column " + column + " in " + file + " (it has " + std::to_string(names.size()) +
                  " columns, #0 to #" + std::to_string(names.empty() ? 0 : names.size() - 1) + ")"};
  }
  int64_t index = -1;
  if (probe) {
    index = quelta_column_index(probe.get(), column.c_str());
  } else {
    for (size_t i = 0; i < names.size() && index < 0; ++i)
      if (names[i] == column) index = static_cast<int64_t>(i);
  }
  if (index >= 0) return static_cast<size_t>(index);
  std::string known;
  for (size_t i = 0; i < names.size() && i < 12; ++i) known += (i ? ", " : "") + names[i];
  if (names.size() > 12) known += ", ...";
  throw Failure{"no column named '" + column + "' in " + file + " (columns: " + known + ")"};
}

Directory read_directory(const std::string& path, const ReadOptions& read) {
  Directory dir;
  dir.probe.reset(quelta_open_with(path.c_str(), nullptr, &read));
  if (!dir.probe) fail_library();
  size_t n = quelta_n_columns(dir.probe.get());
  for (size_t i = 0; i < n; ++i) {
    const char* name = quelta_column_name(dir.probe.get(), i);
    dir.names.emplace_back(name ? name : "");
  }
  return dir;
}

void build_scan_plan(const Args& args, const Directory& dir, const std::string& file, ScanPlan& plan) {
  if (std::optional<std::string> select = args.value("--select")) {
    for (const std::string& column : split(*select, ',')) {
      if (column.empty()) throw UsageError{"--select needs column names separated by commas"};
      plan.projection.push_back(dir.resolve(column, file));
    }
    for (size_t index : plan.projection) {
      plan.output_names.push_back(dir.names[index]);
      plan.json_keys.push_back(json_key(dir.names[index], index));
    }
  } else {
    plan.output_names = dir.names;
    for (size_t i = 0; i < dir.names.size(); ++i) plan.json_keys.push_back(json_key(dir.names[i], i));
  }
  for (const std::string& expr : args.values("--where")) {
    Condition c = parse_where(expr);
    Predicate p{};
    p.column = dir.resolve(c.column, file);
    p.op = c.op;
    if (c.op == QUELTA_OP_IN) {
      std::vector<const char*>& list = plan.in_lists.emplace_back();
      for (std::string& v : c.in_values) list.push_back(plan.texts.emplace_back(std::move(v)).c_str());
      p.in_values = list.data();
      p.n_in_values = list.size();
    } else {
      p.value = plan.texts.emplace_back(std::move(c.value)).c_str();
    }
    plan.predicates.push_back(p);
  }
  ScanOptions& o = plan.options;
  o.projection = plan.projection.empty() ? nullptr : plan.projection.data();
  o.n_projection = plan.projection.size();
  o.predicates = plan.predicates.empty() ? nullptr : plan.predicates.data();
  o.n_predicates = plan.predicates.size();
  o.limit = args.has("--limit") ? static_cast<int64_t>(args.number("--limit", 0)) : -1;
  o.max_column = -1;
  o.negate = args.has("--not") ? 1 : 0;
}

ScannerPtr open_scanner(const std::string& path, const ScanPlan& plan, const ReadOptions& read) {
  ScannerPtr scanner(quelta_open_with(path.c_str(), &plan.options, &read));
  if (!scanner) fail_library();
  return scanner;
}

}  // namespace cli
