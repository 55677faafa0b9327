// The profile commands: summary (a table of every column's profile, or its
// JSON) and infer (a schema the file passes).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "args.h"
#include "bounded_read.h"
#include "commands.h"
#include "failures.h"
#include "handles.h"
#include "json_text.h"
#include "output.h"
#include "read_options.h"
#include "scan_setup.h"

namespace cli {

namespace {

// One pass of the chosen export over the first positional FILE, with the
// filter, --select, reading options and --threads.
ProfileTextPtr run_profile(const Args& args,
                           char* (*call)(const char*, const ScanOptions*, const ReadOptions*, size_t)) {
  args.expect_positional(1);
  const std::string file = input_file(args.positional()[0]);
  const ReadOptions read = read_options(args, file);
  Directory dir = read_directory(file, read);
  ScanPlan plan;
  build_scan_plan(args, dir, file, plan);
  dir.probe.reset();
  ProfileTextPtr text(
      call(file.c_str(), &plan.options, &read, static_cast<size_t>(args.number(Opt::Threads, 0))));
  if (!text) fail_library(file);
  return text;
}

std::string number_or_dash(const Json* v) { return v && v->kind == Json::Number ? v->text : "-"; }

// A derived figure (mean, standard deviation) to six significant digits.
std::string rounded_or_dash(const Json* v) {
  if (!v || v->kind != Json::Number) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", std::strtod(v->text.c_str(), nullptr));
  return text;
}

// A short text for a table cell: quoted, and cut after about 24 characters.
std::string cell(std::string_view text) {
  std::string shown = quoted(text);
  if (display_width(shown) <= 26) return shown;
  std::string cut;
  size_t width = 0;
  for (char c : shown) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++width > 24) break;
    cut += c;
  }
  return cut + "…";
}

void print_summary(const std::string& file, const Json& profile) {
  const Json* columns = profile.get("columns");
  const uint64_t rows = profile.get("rows") ? profile.get("rows")->count() : 0;
  const size_t n_columns = columns ? columns->items.size() : 0;
  out().put(input_name(file) + ": " + std::to_string(rows) + (rows == 1 ? " row, " : " rows, ") +
            std::to_string(n_columns) + (n_columns == 1 ? " column\n\n" : " columns\n\n"));
  std::vector<std::vector<std::string>> table = {{"column", "type", "blank", "distinct", "min", "p50", "max",
                                                  "mean", "stddev", "length", "most frequent"}};
  if (columns)
    for (const Json& c : columns->items) {
      auto field = [&](const char* key) { return c.get(key); };
      std::string name = field("name") ? field("name")->bytes() : "";
      const Json* distinct = field("distinct");
      std::string n_distinct = "-";
      std::string frequent;
      if (distinct) {
        const Json* exact = distinct->get("exact");
        n_distinct = number_or_dash(distinct->get("count"));
        if (exact && !exact->boolean) n_distinct.insert(0, 1, '~');
        if (const Json* values = distinct->get("values"))
          for (size_t i = 0; i < values->items.size() && i < 3; ++i) {
            const Json& v = values->items[i];
            if (i) frequent += ", ";
            frequent += cell(v.get("value") ? v.get("value")->bytes() : "");
            frequent += " ×";
            frequent += std::to_string(v.get("count") ? v.get("count")->count() : 0);
          }
      }
      // Numbers where the column has them, else the smallest and largest text.
      std::string min = number_or_dash(field("min")), max = number_or_dash(field("max"));
      if (min == "-" && field("min_text") && field("min_text")->kind != Json::Null) {
        min = cell(field("min_text")->bytes());
        max = cell(field("max_text")->bytes());
      }
      const Json* quantiles = field("quantiles");
      std::string length = number_or_dash(field("min_length"));
      if (length != "-") {
        length += '-';
        length += number_or_dash(field("max_length"));
      }
      table.push_back(
          {name.empty() ? "\"\"" : name, field("type") ? field("type")->bytes() : "",
           std::to_string(field("blanks") ? field("blanks")->count() : 0), n_distinct, min,
           quantiles && quantiles->kind == Json::Object ? number_or_dash(quantiles->get("p50")) : "-", max,
           rounded_or_dash(field("mean")), rounded_or_dash(field("stddev")), length, frequent});
    }
  print_aligned(table, "", {false, false, true, true, true, true, true, true, true, true, false});
}

}  // namespace

int run_summary(const Args& args) {
  ProfileTextPtr text = run_profile(args, quelta_parallel_profile);
  if (args.has(Opt::Json)) {
    out().put(text.get());
    out().put('\n');
    return 0;
  }
  Json profile;
  if (!parse_json(text.get(), profile)) throw Failure{"unreadable profile from the library"};
  print_summary(input_file(args.positional()[0]), profile);
  return 0;
}

int run_infer(const Args& args) {
  ProfileTextPtr text = run_profile(args, quelta_parallel_infer_schema);
  out().put(text.get());
  return 0;
}

}  // namespace cli
