// The validation commands: validate (report, --split, --stream) and check.
#include <algorithm>
#include <string>

#include "args.h"
#include "atomic_output.h"
#include "bounded_read.h"
#include "commands.h"
#include "failures.h"
#include "handles.h"
#include "json_text.h"
#include "output.h"
#include "read_options.h"

namespace cli {

namespace {

// --schema names a file, or is the JSON text itself when it starts with '{'.
// *name is what messages call it: the file's path, or "--schema".
std::string load_schema(const Args& args, std::string* name) {
  std::optional<std::string> schema = args.value(Opt::Schema);
  if (!schema) throw UsageError{"--schema is required"};
  size_t first = schema->find_first_not_of(" \t\r\n");
  if (first != std::string::npos && (*schema)[first] == '{') {
    *name = "--schema";
    return *schema;
  }
  *name = *schema;
  return read_schema_file(*schema);
}

std::string plural(uint64_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string totals(const std::string& file, uint64_t total, uint64_t valid, uint64_t invalid) {
  const std::string name = input_name(file);
  if (invalid == 0) return name + ": " + plural(total, "row") + ", all valid";
  return name + ": " + plural(total, "row") + ", " + std::to_string(valid) + " valid, " +
         std::to_string(invalid) + " invalid";
}

void print_report(const std::string& file, const Json& report) {
  auto number = [&](const char* key) {
    const Json* v = report.get(key);
    return v ? v->count() : 0;
  };
  uint64_t breaches = number("errors_total");
  std::string head = totals(file, number("rows_total"), number("rows_valid"), number("rows_invalid"));
  if (breaches) head += ", " + std::to_string(breaches) + (breaches == 1 ? " breach" : " breaches");
  out().put(head + "\n");
  if (breaches == 0) return;

  std::vector<std::vector<std::string>> counts = {{"rule", "breaches"}};
  if (const Json* c = report.get("counts"))
    for (size_t i = 0; i < c->keys.size(); ++i)
      counts.push_back({c->keys[i], std::to_string(c->values[i].count())});
  out().put("\n");
  print_aligned(counts, "  ", {false, true});

  std::vector<std::vector<std::string>> list = {{"row", "column", "rule", "value"}};
  const Json* errors = report.get("errors");
  size_t shown = errors ? errors->items.size() : 0;
  for (size_t i = 0; i < shown; ++i) {
    const Json& e = errors->items[i];
    const Json* col = e.get("column");
    bool has_column = col && col->kind == Json::Number;
    std::string name = e.get("column_name") ? e.get("column_name")->bytes() : "";
    std::string rule = e.get("rule") ? e.get("rule")->bytes() : "";
    std::string value = e.get("value") ? e.get("value")->bytes() : "";
    list.push_back({e.get("row") ? std::to_string(e.get("row")->count()) : "",
                    has_column ? (name.empty() ? "#" + col->text : visible(name)) : "-", rule,
                    has_column ? quoted(value) : ""});
  }
  out().put("\n");
  print_aligned(list, "  ", {true, false, false, false});
  if (shown < breaches)
    out().put("\n  (the first " + std::to_string(shown) + " of " + std::to_string(breaches) +
              " breaches; --max-errors N lists more)\n");
}

// One line per invalid row: its number and each breach with its column and value.
void print_row_breaches(Validator* v, uint64_t row, size_t n_fields, const char* errors_json) {
  Json errors;
  if (!parse_json(errors_json, errors)) throw Failure{"unreadable breach list from the library"};
  std::string line = "row " + std::to_string(row) + ":";
  for (size_t i = 0; i < errors.items.size(); ++i) {
    const Json& e = errors.items[i];
    std::string rule = e.get("rule") ? e.get("rule")->bytes() : "";
    line += i ? "; " : " ";
    const Json* col = e.get("column");
    if (!col || col->kind != Json::Number) {
      size_t header = quelta_validator_n_columns(v);
      line += rule + " (" + std::to_string(n_fields) + " of " + std::to_string(header) + " fields";
      if (n_fields < header) {
        line += ", no ";
        for (size_t c = n_fields; c < header; ++c) {
          const char* name = quelta_validator_column_name(v, c);
          line += (c > n_fields ? ", " : "") + std::string(name ? name : "?");
        }
      }
      line += ")";
    } else {
      line += (e.get("column_name") ? e.get("column_name")->bytes() : "") + " " + rule + " " +
              quoted(e.get("value") ? e.get("value")->bytes() : "");
    }
  }
  out().put(line + "\n");
}

int validate_stream(const Args& args, const std::string& file, const std::string& schema,
                    const ValidationSubjects& subjects, const ReadOptions& read) {
  ValidatorPtr v(quelta_validator_open_with(file.c_str(), schema.c_str(), &read));
  if (!v) fail_validation(subjects);
  Progress progress;
  uint64_t rows = 0;
  if (args.has(Opt::Json)) {
    // Invalid rows as the library writes them, one JSON object per line. The
    // batches keep fields whole (quelta_validator_next cuts them at a NUL byte);
    // the validator's counts tell which batches hold invalid rows, and only those
    // are read for them.
    while (!out().closed()) {
      const uint64_t total_before = quelta_validator_rows_total(v.get());
      const uint64_t invalid_before = quelta_validator_rows_invalid(v.get());
      Batch* raw = nullptr;
      int32_t status = quelta_validator_next_batch(v.get(), 4096, size_t{1} << 20, &raw);
      if (status < 0) fail_validation(subjects);
      if (status == 0) break;
      BatchPtr batch(raw);
      const uint64_t batch_rows = quelta_validator_rows_total(v.get()) - total_before;
      uint64_t invalid = quelta_validator_rows_invalid(v.get()) - invalid_before;
      if (invalid == 0) {
        for (uint64_t i = 0; i < batch_rows; ++i) progress.tick(++rows);
        continue;
      }
      size_t len = 0;
      const char* text = quelta_batch_json(batch.get(), &len);
      for (std::string_view row : json_array_elements(std::string_view(text, len))) {
        Json parsed;
        if (invalid > 0 && parse_json(row, parsed) && parsed.get("errors")) {
          out().put(row);
          out().put('\n');
          --invalid;
        }
        progress.tick(++rows);
      }
    }
    progress.finish(rows);
    return 0;
  }
  const char** fields = nullptr;
  size_t n = 0;
  const char* errors = nullptr;
  uint64_t row = 0;
  while (!out().closed()) {
    int32_t status = quelta_validator_next(v.get(), &fields, &n, &errors, &row);
    if (status < 0) fail_validation(subjects);
    if (status == 0) break;
    if (errors) print_row_breaches(v.get(), row, n, errors);
    progress.tick(++rows);
  }
  progress.finish(rows);
  out().put(totals(file, quelta_validator_rows_total(v.get()), quelta_validator_rows_valid(v.get()),
                   quelta_validator_rows_invalid(v.get())) +
            "\n");
  return 0;
}

}  // namespace

int run_validate(const Args& args) {
  args.expect_positional(1);
  const std::string file = input_file(args.positional()[0]);
  ValidationSubjects subjects{input_name(file), "", {}};
  std::string schema = load_schema(args, &subjects.schema);
  ReadOptions read = read_options(args, file);
  std::vector<std::string> split = args.values(Opt::Split);
  if (args.has(Opt::Stream) + !split.empty() > 1) throw UsageError{"--split and --stream exclude each other"};
  if (!split.empty() && (args.has(Opt::Json) || args.has(Opt::MaxErrors)))
    throw UsageError{"--split takes no --json or --max-errors"};
  std::optional<std::string> html = args.value(Opt::Html);
  if (html && (args.has(Opt::Stream) || !split.empty()))
    throw UsageError{"--html writes the report; it takes no --split or --stream"};
  if (args.has(Opt::Force) && split.empty() && !html) throw UsageError{"--force goes with --split or --html"};
  if (args.has(Opt::Stream)) {
    if (args.has(Opt::MaxErrors))
      throw UsageError{"--stream lists every invalid row; it takes no --max-errors"};
    return validate_stream(args, file, schema, subjects, read);
  }
  if (!split.empty()) {
    // The library writes hidden temporaries next to the targets; they are
    // published together once both are complete.
    OutputSet outputs("validate_to_files failed", args.has(Opt::Force));
    outputs.add(split[0]);
    outputs.add(split[1]);
    subjects.outputs = {split[0], split[1]};
    ValidationStats stats{};
    if (quelta_validate_to_files_with(file.c_str(), schema.c_str(), outputs.temporary(0),
                                      outputs.temporary(1), &stats, &read) != 0)
      fail_validation(subjects);
    outputs.publish();
    out().put(totals(file, stats.rows_total, stats.rows_valid, stats.rows_invalid) + "\n");
    out().put("  " + plural(stats.rows_valid, "valid row") + " written to " + split[0] + "\n");
    out().put("  " + plural(stats.rows_invalid, "invalid row") + " with " +
              std::to_string(stats.errors_total) + (stats.errors_total == 1 ? " breach" : " breaches") +
              " written to " + split[1] + "\n");
    return 0;
  }
  uint64_t max_errors = args.number(Opt::MaxErrors, 100);
  if (max_errors == 0) throw UsageError{"--max-errors must be at least 1"};
  ReportPtr report;
  if (html) {
    // The library writes the page under a hidden temporary name; it is moved
    // into place once complete.
    OutputSet outputs("validate_html failed", args.has(Opt::Force));
    outputs.add(*html);
    subjects.outputs = {*html};
    report.reset(quelta_validate_html(file.c_str(), schema.c_str(), static_cast<size_t>(max_errors), &read,
                                      outputs.temporary(0), subjects.input.c_str()));
    if (!report) fail_validation(subjects);
    outputs.publish();
  } else {
    report.reset(quelta_validate_with(file.c_str(), schema.c_str(), static_cast<size_t>(max_errors), &read));
    if (!report) fail_validation(subjects);
  }
  const char* json = quelta_validate_json(report.get());
  if (args.has(Opt::Json)) {
    out().put(json);
    out().put('\n');
    return 0;
  }
  Json parsed;
  if (!parse_json(json, parsed)) throw Failure{"unreadable report from the library"};
  print_report(file, parsed);
  if (html) out().put("\nHTML report written to " + *html + "\n");
  return 0;
}

namespace {

// The breaches of the invalid rows check looks at, by rule in order of first sight.
struct Reasons {
  std::vector<std::pair<std::string, uint64_t>> rules;
  uint64_t breaches = 0, rows = 0, first_row = 0, last_row = 0;
  bool complete = true;  // every invalid row of the input was seen

  void add_row(uint64_t row, const Json& errors) {
    if (rows++ == 0) first_row = row;
    last_row = row;
    for (const Json& e : errors.items) {
      std::string rule = e.get("rule") ? e.get("rule")->bytes() : "";
      auto at = std::find_if(rules.begin(), rules.end(), [&](const auto& r) { return r.first == rule; });
      if (at == rules.end()) {
        rules.emplace_back(rule, 1);
      } else {
        ++at->second;
      }
      ++breaches;
    }
  }

  // "bad_type 2, too_few_fields 1 (the first 2 invalid rows, rows 7 to 17)"; rows
  // numbered 0 are of an input whose listing carries no numbers.
  std::string line() const {
    std::string text;
    for (const auto& [rule, count] : rules) {
      if (!text.empty()) text += ", ";
      text += rule;
      text += ' ';
      text += std::to_string(count);
    }
    std::string seen =
        complete
            ? (rows == 1 ? "the only invalid row" : "all " + std::to_string(rows) + " invalid rows")
            : (rows == 1 ? "the first invalid row" : "the first " + std::to_string(rows) + " invalid rows");
    if (first_row != 0)
      seen += rows == 1 ? ", row " + std::to_string(first_row)
                        : ", rows " + std::to_string(first_row) + " to " + std::to_string(last_row);
    if (!complete) seen += "; --max-errors N reads further";
    return text + " (" + seen + ")";
  }
};

// Reads invalid rows of a file until max_errors breaches are seen.
void file_reasons(const std::string& file, const std::string& schema, const ReadOptions& read,
                  const ValidationSubjects& subjects, uint64_t max_errors, Reasons& reasons) {
  ValidatorPtr v(quelta_validator_open_with(file.c_str(), schema.c_str(), &read));
  if (!v) fail_validation(subjects);
  const char* errors = nullptr;
  uint64_t row = 0;
  for (;;) {
    int32_t status = quelta_validator_next(v.get(), nullptr, nullptr, &errors, &row);
    if (status < 0) fail_validation(subjects);
    if (status == 0) return;
    if (!errors) continue;
    Json parsed;
    if (!parse_json(errors, parsed)) throw Failure{"unreadable breach list from the library"};
    reasons.add_row(row, parsed);
    if (reasons.breaches >= max_errors) {
      // The rest of the input is not read, so whether more rows are invalid stays open.
      reasons.complete = false;
      return;
    }
  }
}

}  // namespace

int run_check(const Args& args) {
  args.expect_positional(1);
  read_options(args, "");  // bad flags are reported before standard input is read
  const std::string file = input_file(args.positional()[0]);
  const std::string shown = input_name(file);
  ValidationSubjects subjects{shown, "", {}};
  std::string schema = load_schema(args, &subjects.schema);
  uint64_t max_errors = args.number(Opt::MaxErrors, 1);
  if (max_errors == 0) throw UsageError{"--max-errors must be at least 1"};
  bool limited = args.has(Opt::MaxErrors);
  uint32_t result_kind = args.has(Opt::List) ? 1 : 0;
  const uint32_t input_kind = 0;
  std::string_view input = file;
  ReadOptions read = read_options(args, file);
  OutcomePtr outcome(quelta_validate_outcome_with(input.data(), input.size(), schema.c_str(), input_kind,
                                                  result_kind, &read));
  if (!outcome) fail_validation(subjects);
  std::string_view text(outcome.get());
  if (result_kind == 1) {
    std::vector<std::string_view> rows = json_array_elements(text);
    if (!limited) {
      out().put(text);
    } else {
      // The invalid rows up to the one that brings the breaches to max_errors.
      std::string kept = "[";
      uint64_t breaches = 0;
      for (size_t i = 0; i < rows.size() && breaches < max_errors; ++i) {
        Json row;
        if (!parse_json(rows[i], row)) throw Failure{"unreadable breach list from the library"};
        breaches += row.get("errors") ? row.get("errors")->items.size() : 0;
        if (i) kept += ',';
        kept += rows[i];
      }
      out().put(kept + "]");
    }
    out().put('\n');
    return rows.empty() ? 0 : 1;
  }
  if (text == "true") {
    out().put(shown + ": valid\n");
    return 0;
  }
  // Invalid: a second look, up to max_errors breaches, says why.
  Reasons reasons;
  file_reasons(file, schema, read, subjects, max_errors, reasons);
  out().put(shown + ": invalid: " + reasons.line() + "\n");
  return 1;
}

}  // namespace cli
