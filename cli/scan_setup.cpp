// The scan set-up shared by the query and profile commands: the input's column
// directory, and the scan options built from --select, --where, --numeric, --not
// and --limit.
#include "scan_setup.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "bounded_read.h"
#include "failures.h"
#include "number_text.h"
#include "output.h"

namespace cli {

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

std::string join(const std::vector<std::string>& parts, char sep) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? std::string(1, sep) : "") + parts[i];
  return text;
}

struct Condition {
  std::string column;
  int32_t op = QUELTA_OP_EQ;
  std::string_view op_text;  // a literal: " in " or one of the operators
  std::string value;
  std::vector<std::string> in_values;
};

constexpr const char* kWhereForms =
    "\nA --where condition is one of\n"
    "  COL=V  COL==V  COL!=V  COL>V  COL>=V  COL<V  COL<=V  'COL in A|B|C'\n"
    "with the value written as it stands in the file, without quotes; repeat --where\n"
    "to require several conditions.";

[[noreturn]] void bad_where(const std::string& expr, const std::string& why) {
  throw UsageError{"cannot read --where '" + expr + "': " + why + kWhereForms, false};
}

bool quoted_whole(std::string_view s) {
  return s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front();
}

// Whether a value goes on into a second condition: a comparison after a space,
// a comma or a semicolon ("500, qty>=5", "500 and qty>=5", "500 qty>=5").
bool holds_second_condition(std::string_view value) {
  size_t op = value.find_first_of("=<>");
  return op != std::string_view::npos && value.substr(0, op).find_first_of(" ,;") != std::string_view::npos;
}

void check_value(const std::string& expr, const std::string& column, const std::string& op,
                 const std::string& value) {
  if (quoted_whole(value))
    bad_where(expr, "the quotes around " + value + " would be compared as part of the value; write " +
                        column + op + value.substr(1, value.size() - 2));
  if (holds_second_condition(value))
    bad_where(expr, "one --where holds one condition; write --where for each");
}

// COL=V, COL==V, COL!=V, COL>V, COL>=V, COL<V, COL<=V or "COL in A|B|C"; spaces
// around the column and the values are ignored. Anything else is refused rather
// than compared as text: a value never starts with an operator character, is not
// wrapped in quotes and holds no second condition.
Condition parse_where(const std::string& expr) {
  if (expr.find("&&") != std::string::npos)
    bad_where(expr, "conditions are not joined with && or ||; write --where for each");
  Condition c;
  size_t op_at = expr.find_first_of("=!<>");
  size_t in_at = expr.find(" in ");
  bool is_in = in_at != std::string::npos && (op_at == std::string::npos || in_at < op_at);
  if (expr.find("||") != std::string::npos)
    bad_where(expr, is_in
                        ? "an empty value between the |, or conditions joined with ||; write --where for each"
                        : "conditions are not joined with && or ||; write --where for each");
  if (is_in) {
    c.column = trim(std::string_view(expr).substr(0, in_at));
    c.op = QUELTA_OP_IN;
    c.op_text = " in ";
    std::string list = trim(std::string_view(expr).substr(in_at + 4));
    if (list.size() >= 2 && std::string_view("([{").find(list.front()) != std::string_view::npos &&
        list.back() == ")]}"[std::string_view("([{").find(list.front())])
      bad_where(expr, "write the values without brackets: " + c.column + " in A|B|C");
    if (list.find(',') != std::string::npos && list.find('|') == std::string::npos) {
      std::string fixed = list;
      for (char& ch : fixed)
        if (ch == ',') ch = '|';
      bad_where(expr, "the values of 'in' are separated by |, not commas; write " + c.column + " in " +
                          join(split(fixed, '|'), '|'));
    }
    c.in_values = split(list, '|');
    for (const std::string& v : c.in_values) {
      if (v.empty()) bad_where(expr, "an empty value between the |");
      if (holds_second_condition(v))
        bad_where(expr, "one --where holds one condition; write --where for each");
      if (quoted_whole(v))
        bad_where(expr, "the quotes around " + v +
                            " would be compared as part of the value; write the values " + "without quotes");
    }
  } else if (op_at != std::string::npos) {
    c.column = trim(std::string_view(expr).substr(0, op_at));
    std::string_view rest = std::string_view(expr).substr(op_at);
    static constexpr std::pair<const char*, int32_t> kOperators[] = {
        {"!=", QUELTA_OP_NE}, {">=", QUELTA_OP_GE}, {"<=", QUELTA_OP_LE}, {"==", QUELTA_OP_EQ},
        {">", QUELTA_OP_GT},  {"<", QUELTA_OP_LT},  {"=", QUELTA_OP_EQ}};
    for (const auto& [text, op] : kOperators)
      if (rest.rfind(text, 0) == 0) {
        c.op = op;
        c.op_text = text;
        break;
      }
    // "=>", "<>", "===", "!" and the like: the operator runs on past a known one.
    size_t op_end = rest.find_first_not_of("=!<>");
    std::string written = trim(rest.substr(0, op_end));
    if (c.op_text.empty() || written != c.op_text) bad_where(expr, "unknown operator '" + written + "'");
    c.value = trim(rest.substr(c.op_text.size()));
    if (!c.value.empty() && std::string_view("=!<>").find(c.value[0]) != std::string_view::npos)
      bad_where(expr,
                "unknown operator '" + trim(rest.substr(0, rest.size() - c.value.size())) + c.value[0] + "'");
    if (c.value.empty() && c.op != QUELTA_OP_EQ && c.op != QUELTA_OP_NE)
      bad_where(expr, "no value after " + std::string(c.op_text));
  } else {
    bad_where(expr, "no operator");
  }
  if (c.column.empty()) bad_where(expr, "no column before the operator");
  if (quoted_whole(c.column))
    bad_where(expr, "the quotes around the column " + c.column + " are not part of its name");
  if (c.op != QUELTA_OP_IN) check_value(expr, c.column, std::string(c.op_text), c.value);
  return c;
}

constexpr const char* kLowestNumber = "-1.7976931348623157e308";
constexpr const char* kHighestNumber = "+1.7976931348623157e308";

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
    throw Failure{"no column " + column + " in " + input_name(file) + " (it has " +
                  std::to_string(names.size()) + " columns, #0 to #" +
                  std::to_string(names.empty() ? 0 : names.size() - 1) + ")"};
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
  throw Failure{"no column named '" + column + "' in " + input_name(file) + " (columns: " + known + ")"};
}

Directory read_directory(const std::string& path, const ReadOptions& read) {
  Directory dir;
  dir.probe.reset(quelta_open_with(path.c_str(), nullptr, &read));
  if (!dir.probe) fail_library(path);
  size_t n = quelta_n_columns(dir.probe.get());
  for (size_t i = 0; i < n; ++i) {
    const char* name = quelta_column_name(dir.probe.get(), i);
    dir.names.emplace_back(name ? name : "");
  }
  return dir;
}

void build_scan_plan(const Args& args, const Directory& dir, const std::string& file, ScanPlan& plan) {
  if (std::optional<std::string> select = args.value(Opt::Select)) {
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
  bool numeric = args.has(Opt::Numeric);
  std::vector<size_t> numeric_columns;
  for (const std::string& expr : args.values(Opt::Where)) {
    Condition c = parse_where(expr);
    if (numeric) {
      for (const std::string& v : c.op == QUELTA_OP_IN ? c.in_values : std::vector<std::string>{c.value})
        if (!is_number(v))
          throw UsageError{
              "--numeric compares numbers, and " + quoted(v) + " in --where '" + expr + "' is not one",
              false};
    }
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
    if (numeric &&
        std::find(numeric_columns.begin(), numeric_columns.end(), p.column) == numeric_columns.end())
      numeric_columns.push_back(p.column);
  }
  // Every finite number lies between -max and +max, while as text nothing is both
  // at least "-1.79..." and at most "+1.79..." ('+' sorts before '-'): the pair
  // keeps exactly the rows whose value is a number.
  for (size_t column : numeric_columns) {
    plan.predicates.push_back(Predicate{column, QUELTA_OP_GE, kLowestNumber, nullptr, 0});
    plan.predicates.push_back(Predicate{column, QUELTA_OP_LE, kHighestNumber, nullptr, 0});
  }
  ScanOptions& o = plan.options;
  o.projection = plan.projection.empty() ? nullptr : plan.projection.data();
  o.n_projection = plan.projection.size();
  o.predicates = plan.predicates.empty() ? nullptr : plan.predicates.data();
  o.n_predicates = plan.predicates.size();
  o.limit = args.has(Opt::Limit) ? static_cast<int64_t>(args.number(Opt::Limit, 0)) : -1;
  o.max_column = -1;
  o.negate = args.has(Opt::Not) ? 1 : 0;
}

ScannerPtr open_scanner(const std::string& path, const ScanPlan& plan, const ReadOptions& read) {
  ScannerPtr scanner(quelta_open_with(path.c_str(), &plan.options, &read));
  if (!scanner) fail_library(path);
  return scanner;
}

}  // namespace cli
