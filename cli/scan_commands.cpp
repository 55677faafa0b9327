// The query commands: columns, rows, count, stats, top, sort and columnar.
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "args.h"
#include "bounded_read.h"
#include "commands.h"
#include "failures.h"
#include "handles.h"
#include "json_text.h"
#include "keyed_sort.h"
#include "number_text.h"
#include "output.h"
#include "read_options.h"
#include "scan_setup.h"

namespace cli {

namespace {

struct Query {
  std::string file;
  ReadOptions read{};
  Directory dir;
  ScanPlan plan;
};

// Reads the directory of the first positional FILE and the filter options.
void prepare(const Args& args, Query& q) {
  q.file = input_file(args.positional()[0]);
  q.read = read_options(args, q.file);
  q.dir = read_directory(q.file, q.read);
  build_scan_plan(args, q.dir, q.file, q.plan);
}

// The position of COLUMN in the delivered rows: its index, or its place in --select.
size_t key_position(const Query& q, const std::string& column) {
  size_t index = q.dir.resolve(column, q.file);
  if (q.plan.projection.empty()) return index;
  auto at = std::find(q.plan.projection.begin(), q.plan.projection.end(), index);
  if (at == q.plan.projection.end())
    throw UsageError{"column " + column + " must be one of the --select columns"};
  return static_cast<size_t>(at - q.plan.projection.begin());
}

// Rows of a scanner as JSON objects, one per line, read in batches.
uint64_t write_json_rows(Scanner* scanner, const std::vector<std::string>& keys, const std::string& file,
                         Progress& progress) {
  uint64_t rows = 0;
  std::string line;
  while (!out().closed()) {
    Batch* raw = nullptr;
    int32_t status = quelta_next_batch(scanner, 4096, size_t{1} << 20, &raw);
    if (status < 0) fail_library(file);
    if (status == 0) break;
    BatchPtr batch(raw);
    size_t len = 0;
    const char* text = quelta_batch_json(batch.get(), &len);
    for (std::string_view row : json_array_elements(std::string_view(text, len))) {
      line.clear();
      line += '{';
      std::vector<std::string_view> fields = json_array_elements(row);
      for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += ',';
        if (i < keys.size()) {
          line += keys[i];
          line += ':';
        } else {
          line += "\"#";
          line += std::to_string(i);
          line += "\":";
        }
        line += fields[i];
      }
      line += "}\n";
      out().put(line);
      progress.tick(++rows);
    }
  }
  return rows;
}

}  // namespace

int run_columns(const Args& args) {
  args.expect_positional(1);
  const std::string file = input_file(args.positional()[0]);
  Directory dir = read_directory(file, read_options(args, file));
  std::vector<std::vector<std::string>> rows;
  for (size_t i = 0; i < dir.names.size(); ++i) rows.push_back({std::to_string(i), dir.names[i]});
  print_aligned(rows, "", {true, false});
  return 0;
}

int run_rows(const Args& args) {
  args.expect_positional(1);
  Format format = output_format(args);
  Query q;
  prepare(args, q);
  q.dir.probe.reset();
  ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
  Progress progress;
  uint64_t rows = 0;
  if (format == Format::Json) {
    rows = write_json_rows(scanner.get(), q.plan.json_keys, q.file, progress);
  } else {
    std::unique_ptr<RowWriter> writer = make_row_writer(format, q.plan);
    const char** fields = nullptr;
    size_t n = 0;
    while (!out().closed()) {
      int32_t status = quelta_next(scanner.get(), &fields, &n);
      if (status < 0) {
        writer->finish();
        fail_library(q.file);
      }
      if (status == 0) break;
      writer->row(fields, n);
      progress.tick(++rows);
    }
    writer->finish();
  }
  progress.finish(rows);
  return 0;
}

int run_count(const Args& args) {
  args.expect_positional(1);
  Query q;
  prepare(args, q);
  q.dir.probe.reset();
  ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
  int64_t n = quelta_count(scanner.get());
  if (n < 0) fail_library(q.file);
  out().put(std::to_string(n) + "\n");
  return 0;
}

int run_collect(const Args& args) {
  args.expect_positional(1);
  Query q;
  prepare(args, q);
  q.dir.probe.reset();
  ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
  CollectPtr rows(quelta_collect(scanner.get()));
  if (!rows) fail_library(q.file);
  size_t bytes = 0;
  quelta_collect_data(rows.get(), &bytes);
  out().put("rows " + std::to_string(quelta_collect_n_rows(rows.get())) + "\ncolumns " +
            std::to_string(quelta_collect_n_cols(rows.get())) + "\nbytes " + std::to_string(bytes) + "\n");
  return 0;
}

int run_stats(const Args& args) {
  args.expect_positional(2);
  Query q;
  prepare(args, q);
  const std::string& column = args.positional()[1];
  size_t position = key_position(q, column);
  q.dir.probe.reset();
  ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
  AggregateResult r{};
  if (quelta_aggregate(scanner.get(), position, &r) != 0) fail_library(q.file);
  auto shown = [&](double v) { return r.has_values ? format_number(v) : std::string("-"); };
  print_aligned({{"column", column},
                 {"count", std::to_string(r.count)},
                 {"sum", format_number(r.sum)},
                 {"min", shown(r.min)},
                 {"max", shown(r.max)},
                 {"mean", shown(r.mean)}},
                "", {false, false});
  return 0;
}

int run_top(const Args& args) {
  args.expect_positional(2);
  Format format = output_format(args);
  Query q;
  prepare(args, q);
  const std::string& column = args.positional()[1];
  size_t position = key_position(q, column);
  uint64_t k = args.number(Opt::K, 10);
  q.dir.probe.reset();
  ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
  TopkPtr top(quelta_topk(scanner.get(), position, static_cast<size_t>(k), args.has(Opt::Asc) ? 0 : 1));
  if (!top) fail_library(q.file);
  scanner.reset();
  const char** fields = nullptr;
  size_t n = 0;
  double key = 0;
  int32_t status = quelta_topk_next(top.get(), &fields, &n, &key);
  if (status < 0) fail_library(q.file);
  if (status == 0 && k > 0) {
    // Nothing ranked: either no row matches, an empty answer, or the matching
    // rows hold no number to rank by, which an empty listing would hide.
    ScannerPtr counter = open_scanner(q.file, q.plan, q.read);
    int64_t matching = quelta_count(counter.get());
    if (matching < 0) fail_library(q.file);
    if (matching > 0)
      throw Failure{"top: column " + quoted(column) + " has no numeric values in the " +
                    std::to_string(matching) + (matching == 1 ? " matching row" : " matching rows") +
                    " ('quelta sort' orders text)"};
  }
  std::unique_ptr<RowWriter> writer = make_row_writer(format, q.plan);
  for (; status > 0 && !out().closed(); status = quelta_topk_next(top.get(), &fields, &n, &key)) {
    writer->row(fields, n);
  }
  if (status < 0) fail_library(q.file);
  writer->finish();
  return 0;
}

namespace {

// Counts the kinds of sort keys seen. Numbers and text compare with each other as
// text, so a column that mixes them has no order consistent with both.
struct KeyKinds {
  uint64_t numbers = 0, texts = 0;
  std::string first_text;
  void see(std::string_view key) {
    if (key.empty()) return;  // sorts first against numbers and text alike
    if (is_number(key)) {
      ++numbers;
    } else if (texts++ == 0) {
      first_text = key;
    }
  }
};

}  // namespace

int run_sort(const Args& args) {
  args.expect_positional(2);
  Format format = output_format(args);
  Query q;
  prepare(args, q);
  const std::string& column = args.positional()[1];
  size_t position = key_position(q, column);
  const bool descending = args.has(Opt::Desc);
  q.dir.probe.reset();
  if (keyed_sort_applies(q.file)) {
    // The tool's own sort where it gives the library's order; quelta_order_by
    // otherwise, also to report a failure as the library does.
    std::unique_ptr<KeyedSort> keyed;
    try {
      keyed = std::make_unique<KeyedSort>();
      ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
      if (keyed->read(scanner.get(), position)) {
        keyed->sort(descending);
      } else {
        keyed.reset();
      }
    } catch (const std::bad_alloc&) {
      keyed.reset();
    }
    if (keyed) {
      std::unique_ptr<RowWriter> writer = make_row_writer(format, q.plan);
      keyed->write(*writer);
      writer->finish();
      return 0;
    }
  }
  ScannerPtr scanner = open_scanner(q.file, q.plan, q.read);
  OrderByPtr sorted(quelta_order_by(scanner.get(), position, descending ? 1 : 0));
  if (!sorted) fail_library(q.file);
  scanner.reset();
  std::unique_ptr<RowWriter> writer = make_row_writer(format, q.plan);
  const char** fields = nullptr;
  size_t n = 0;
  int32_t status;
  KeyKinds kinds;
  while (!out().closed() && (status = quelta_order_by_next(sorted.get(), &fields, &n)) != 0) {
    if (status < 0) fail_library(q.file);
    if (position < n) kinds.see(fields[position]);
    writer->row(fields, n);
  }
  writer->finish();
  out().flush();
  if (kinds.numbers && kinds.texts)
    std::fprintf(stderr,
                 "quelta: sort: column %s holds %llu number%s and %llu text%s (such as %s); a number and a "
                 "text compare as text, so this order is not numeric\n",
                 quoted(column).c_str(), static_cast<unsigned long long>(kinds.numbers),
                 kinds.numbers == 1 ? "" : "s", static_cast<unsigned long long>(kinds.texts),
                 kinds.texts == 1 ? "" : "s", quoted(kinds.first_text).c_str());
  return 0;
}

namespace {

std::string first_values(ColumnarCollectContext* ctx, size_t column, size_t* empty) {
  size_t n_offsets = 0, len = 0;
  const uint32_t* offsets = quelta_collect_columnar_offsets(ctx, column, &n_offsets);
  const uint8_t* data = quelta_collect_columnar_data(ctx, column, &len);
  std::string shown;
  *empty = 0;
  for (size_t r = 0; offsets && r + 1 < n_offsets; ++r) {
    size_t size = offsets[r + 1] - offsets[r];
    if (size == 0) ++*empty;
    if (r >= 3) continue;
    std::string value = data ? std::string(reinterpret_cast<const char*>(data) + offsets[r], size) : "";
    if (display_width(value) > 16) value = value.substr(0, 15) + "\xE2\x80\xA6";
    shown += (r ? ", " : "") + quoted(value);
  }
  return shown;
}

}  // namespace

int run_columnar(const Args& args) {
  args.expect_positional(1);
  const std::string file = input_file(args.positional()[0]);
  ReadOptions read = read_options(args, file);
  bool one_pass = args.has(Opt::Select) || args.has(Opt::Limit);
  if (one_pass && args.has(Opt::Threads))
    throw UsageError{"--select and --limit read in one pass, without --threads"};
  Directory dir = read_directory(file, read);
  ScanPlan plan;
  build_scan_plan(args, dir, file, plan);
  dir.probe.reset();
  ColumnarPtr ctx;
  if (one_pass) {
    ScannerPtr scanner = open_scanner(file, plan, read);
    ctx.reset(quelta_collect_columnar(scanner.get()));
  } else {
    ctx.reset(quelta_parallel_collect_columnar_with(
        file.c_str(), plan.options.predicates, plan.options.n_predicates, plan.options.negate,
        static_cast<size_t>(args.number(Opt::Threads, 0)), &read));
  }
  if (!ctx) fail_library(file);
  size_t n_rows = quelta_collect_columnar_n_rows(ctx.get());
  size_t n_cols = quelta_collect_columnar_n_cols(ctx.get());
  std::vector<std::vector<std::string>> table = {{"#", "column", "rows", "empty", "bytes", "first values"}};
  size_t total = 0;
  for (size_t c = 0; c < n_cols; ++c) {
    size_t len = 0, empty = 0;
    quelta_collect_columnar_data(ctx.get(), c, &len);
    total += len;
    std::string values = first_values(ctx.get(), c, &empty);
    std::string name =
        c < plan.output_names.size() ? plan.output_names[c] : std::to_string(c).insert(0, 1, '#');
    table.push_back({std::to_string(c), name, std::to_string(n_rows), std::to_string(empty),
                     std::to_string(len), values});
  }
  print_aligned(table, "", {true, false, true, true, true, false});
  out().put(std::to_string(n_rows) + " rows, " + std::to_string(n_cols) + " columns, " +
            std::to_string(total) + " bytes of values\n");
  return 0;
}

}  // namespace cli
