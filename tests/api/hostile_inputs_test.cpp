// Hostile inputs through every export family that takes them: each case is
// run through the scanner (open, next, count, batches), the operators, the
// parallel collect, the report, the streaming validator, the validation to
// files and the outcome, and what each family does is written down as one
// text per case. docs/limits.md explains each answer. Families that read the
// same rows must agree on their number, nothing may leak, and a failed
// validation to files leaves no file. Cases over 10 MB are instantiated as
// HostileLarge, so `--gtest_filter=-*HostileLarge*` leaves them out.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "api/scanner_test_support.h"
#include "api/validation_output_support.h"
#include "platform/heap.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

std::string said() {
  const char* m = quelta_last_error();
  return m ? std::string(m) : std::string("?");
}

// What every family says about one input path; one line per family.
struct Observed {
  std::string text;
  std::map<std::string, int64_t> rows;  // row counts of the families that read every row
  void add(const std::string& family, const std::string& what) { text += family + ": " + what + "\n"; }
};

std::string rows_and_errors(int64_t rows, int64_t errors, const std::string& first) {
  std::string s = "rows=" + std::to_string(rows);
  if (errors) s += " errors=" + std::to_string(errors) + " first=" + first;
  return s;
}

void observe_scanner(const std::string& path, Observed* out) {
  ScannerHandle s(quelta_open(path.c_str(), nullptr));
  if (!s) {
    out->add("open", said());
    return;
  }
  out->add("open", "columns=" + std::to_string(quelta_n_columns(s.get())));
  {
    int64_t rows = 0, errors = 0;
    std::string first;
    for (;;) {
      int32_t r = quelta_next(s.get(), nullptr, nullptr);
      if (r == 0) break;
      if (r == 1) ++rows;
      if (r < 0 && errors++ == 0) first = said();
    }
    out->add("next", rows_and_errors(rows, errors, first));
    if (!errors) out->rows["next"] = rows;
  }
  auto fresh = [&] { return ScannerHandle(quelta_open(path.c_str(), nullptr)); };
  {
    ScannerHandle c = fresh();
    int64_t n = quelta_count(c.get());
    out->add("count", n < 0 ? said() : std::to_string(n));
  }
  {
    ScannerHandle b = fresh();
    int64_t batches = 0, bytes = 0;
    std::string result;
    for (;;) {
      Batch* batch = nullptr;
      int32_t r = quelta_next_batch(b.get(), 65536, SIZE_MAX, &batch);
      if (r != 1) {
        result = r == 0 ? "end" : said();
        break;
      }
      size_t len = 0;
      quelta_batch_json(batch, &len);
      bytes += static_cast<int64_t>(len);
      ++batches;
      quelta_batch_free(batch);
    }
    out->add("batch",
             "batches=" + std::to_string(batches) + " bytes=" + std::to_string(bytes) + " " + result);
  }
  {
    ScannerHandle a = fresh();
    AggregateResult agg{};
    out->add("aggregate",
             quelta_aggregate(a.get(), 0, &agg) == 0 ? "count=" + std::to_string(agg.count) : said());
  }
  {
    ScannerHandle t = fresh();
    TopkContext* ctx = quelta_topk(t.get(), 0, 3, 1);
    int64_t n = 0;
    while (ctx && quelta_topk_next(ctx, nullptr, nullptr, nullptr) == 1) ++n;
    out->add("topk", ctx ? "rows=" + std::to_string(n) : said());
    quelta_topk_close(ctx);
  }
  {
    ScannerHandle o = fresh();
    OrderByContext* ctx = quelta_order_by(o.get(), 0, 0);
    int64_t n = 0;
    while (ctx && quelta_order_by_next(ctx, nullptr, nullptr) == 1) ++n;
    out->add("order_by", ctx ? "rows=" + std::to_string(n) : said());
    if (ctx) out->rows["order_by"] = n;
    quelta_order_by_close(ctx);
  }
  {
    ScannerHandle c = fresh();
    CollectContext* ctx = quelta_collect(c.get());
    out->add("collect", ctx ? "rows=" + std::to_string(quelta_collect_n_rows(ctx)) : said());
    if (ctx) out->rows["collect"] = static_cast<int64_t>(quelta_collect_n_rows(ctx));
    quelta_collect_close(ctx);
  }
  {
    ScannerHandle c = fresh();
    ColumnarCollectContext* ctx = quelta_collect_columnar(c.get());
    out->add("columnar", ctx ? "rows=" + std::to_string(quelta_collect_columnar_n_rows(ctx)) : said());
    if (ctx) out->rows["columnar"] = static_cast<int64_t>(quelta_collect_columnar_n_rows(ctx));
    quelta_collect_columnar_close(ctx);
  }
}

void observe_validation(const std::string& path, const std::string& schema, const TempDir& dir,
                        Observed* out) {
  ValidationReport* report = quelta_validate(path.c_str(), schema.c_str(), 0);
  if (report) {
    std::string json = quelta_validate_json(report);
    out->add("validate", json.substr(0, json.find(",\"truncated\"")));
  } else {
    out->add("validate", said());
  }
  quelta_validate_free(report);

  Validator* v = quelta_validator_open(path.c_str(), schema.c_str());
  if (!v) {
    out->add("validator", said());
  } else {
    int64_t rows = 0, errors = 0;
    std::string first;
    for (;;) {
      int32_t r = quelta_validator_next(v, nullptr, nullptr, nullptr, nullptr);
      if (r == 0) break;
      if (r == 1) ++rows;
      if (r < 0 && errors++ == 0) first = said();
      if (r < 0 && errors > 3) break;
    }
    out->add("validator", rows_and_errors(rows, errors, first));
    quelta_validator_close(v);
  }

  std::string valid = (dir.path() / "valid.csv").string(), invalid = (dir.path() / "invalid.jsonl").string();
  ValidationStats stats{};
  if (quelta_validate_to_files(path.c_str(), schema.c_str(), valid.c_str(), invalid.c_str(), &stats) == 0) {
    out->add("to_files",
             "valid=" + std::to_string(stats.rows_valid) + " invalid=" + std::to_string(stats.rows_invalid));
  } else {
    out->add("to_files", said());
    EXPECT_FALSE(std::filesystem::exists(valid)) << "a failed validation left its valid output";
    EXPECT_FALSE(std::filesystem::exists(invalid)) << "a failed validation left its invalid output";
  }
  std::filesystem::remove(valid);
  std::filesystem::remove(invalid);

  char* outcome = quelta_validate_outcome(path.data(), path.size(), schema.c_str(), 0, 0);
  out->add("outcome", outcome ? outcome : said());
  quelta_outcome_free(outcome);

  // The same bytes handed over in memory.
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    const std::string bytes = file_bytes(path);
    const uint32_t kind = path.size() > 4 && path.compare(path.size() - 4, 4, ".csv") == 0 ? 1 : 2;
    char* memory = quelta_validate_outcome(bytes.data(), bytes.size(), schema.c_str(), kind, 0);
    out->add("outcome_memory", memory ? memory : said());
    quelta_outcome_free(memory);
  }
}

Observed observe(const std::string& path, const std::string& schema, const TempDir& dir) {
  Observed out;
  observe_scanner(path, &out);
  ColumnarCollectContext* par = quelta_parallel_collect_columnar(path.c_str(), ',', nullptr, 0, 0, 2);
  out.add("parallel", par ? "rows=" + std::to_string(quelta_collect_columnar_n_rows(par)) : said());
  quelta_collect_columnar_close(par);
  observe_validation(path, schema, dir, &out);
  return out;
}

// One hostile input: the file it writes (or the path it names) and what each
// family makes of it.
struct Hostile {
  const char* name;
  std::function<std::string(const TempDir&)> make;  // returns the path to read
  std::string schema;
  std::string expected;
};

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

std::string write_file(const TempDir& dir, const std::string& name, const std::string& bytes) {
  return dir.write(name, bytes);
}

class HostileInput : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileInput, EveryFamilyEndsCleanly) {
  const Hostile& h = GetParam();
  TempDir dir;
  const int64_t live = platform::heap_live_blocks();
  std::string path = h.make(dir);
  Observed seen = observe(path, h.schema, dir);
  EXPECT_EQ(seen.text, h.expected) << h.name;
  EXPECT_EQ(platform::heap_live_blocks(), live) << "leak in " << h.name;
  // The families that read every row agree on how many there are.
  for (const auto& [family, n] : seen.rows) EXPECT_EQ(n, seen.rows.begin()->second) << family;
}

// Texts of the inputs.
std::string repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string nested_row(size_t depth) { return "{\"a\":" + repeat("[", depth) + repeat("]", depth) + "}\n"; }

// A row of n members, four structural bytes each ("k":1,).
std::string wide_object(size_t n) {
  std::string s = "{";
  for (size_t i = 0; i < n; ++i) s += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
  return s + "}\n";
}

std::string csv_file(const TempDir& d, const std::string& text) { return write_file(d, "in.csv", text); }
std::string jsonl_file(const TempDir& d, const std::string& text) { return write_file(d, "in.jsonl", text); }

std::string one_of_schema(size_t n) {
  std::string s = "{\"a\":{\"one_of\":[";
  for (size_t i = 0; i < n; ++i) s += (i ? ",\"v" : "\"v") + std::to_string(i) + "\"";
  return s + "]}}";
}

const std::string kIntB = "{\"b\":{\"type\":\"integer\"}}";

Hostile small_cases[] = {
    {"directory",
     [](const TempDir& d) {
       std::filesystem::create_directory(d.path() / "sub.csv");
       return (d.path() / "sub.csv").string();
     },
     "{}",
     "open: open failed: IsDir\n"
     "parallel: parallel scan failed: IsDir\n"
     "validate: validate failed: IsDir\n"
     "validator: cannot open validator: IsDir\n"
     "to_files: validate_to_files failed: IsDir\n"
     "outcome: validate failed: IsDir\n"},
    {"fifo",
     [](const TempDir& d) {
       std::string p = (d.path() / "pipe.csv").string();
       EXPECT_EQ(mkfifo(p.c_str(), 0600), 0);
       return p;
     },
     "{}",
     "open: open failed: NotRegularFile\n"
     "parallel: parallel scan failed: NotRegularFile\n"
     "validate: validate failed: NotRegularFile\n"
     "validator: cannot open validator: NotRegularFile\n"
     "to_files: validate_to_files failed: NotRegularFile\n"
     "outcome: validate failed: NotRegularFile\n"},
    {"socket",
     [](const TempDir& d) {
       std::string p = (d.path() / "sock.csv").string();
       int fd = socket(AF_UNIX, SOCK_STREAM, 0);
       sockaddr_un addr{};
       addr.sun_family = AF_UNIX;
       std::strncpy(addr.sun_path, p.c_str(), sizeof addr.sun_path - 1);
       EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
       close(fd);  // the socket file stays until the folder goes
       return p;
     },
     "{}",
     "open: open failed: NotRegularFile\n"
     "parallel: parallel scan failed: NotRegularFile\n"
     "validate: validate failed: NotRegularFile\n"
     "validator: cannot open validator: NotRegularFile\n"
     "to_files: validate_to_files failed: NotRegularFile\n"
     "outcome: validate failed: NotRegularFile\n"},
    {"dev_zero", [](const TempDir&) { return std::string("/dev/zero"); }, "{}",
     "open: open failed: NotRegularFile\n"
     "parallel: parallel scan failed: NotRegularFile\n"
     "validate: validate failed: NotRegularFile\n"
     "validator: cannot open validator: NotRegularFile\n"
     "to_files: validate_to_files failed: NotRegularFile\n"
     "outcome: validate failed: NotRegularFile\n"},
    {"dev_zero_as_json",
     [](const TempDir& d) {
       std::filesystem::create_symlink("/dev/zero", d.path() / "z.jsonl");
       return (d.path() / "z.jsonl").string();
     },
     "{}",
     "open: open failed: NotRegularFile\n"
     "parallel: parallel scan failed: NotRegularFile\n"
     "validate: validate failed: NotRegularFile\n"
     "validator: cannot open validator: NotRegularFile\n"
     "to_files: validate_to_files failed: NotRegularFile\n"
     "outcome: validate failed: NotRegularFile\n"},
    {"path_of_5000_bytes",
     [](const TempDir& d) { return (d.path() / (std::string(4996, 'x') + ".csv")).string(); }, "{}",
     "open: open failed: NameTooLong\n"
     "parallel: parallel scan failed: NameTooLong\n"
     "validate: validate failed: NameTooLong\n"
     "validator: cannot open validator: NameTooLong\n"
     "to_files: validate_to_files failed: NameTooLong\n"
     "outcome: validate failed: NameTooLong\n"},
    {"path_of_5000_bytes_in_short_parts",
     [](const TempDir& d) { return d.path().string() + repeat("/a", 2498) + ".csv"; }, "{}",
     "open: open failed: NameTooLong\n"
     "parallel: parallel scan failed: NameTooLong\n"
     "validate: validate failed: NameTooLong\n"
     "validator: cannot open validator: NameTooLong\n"
     "to_files: validate_to_files failed: NameTooLong\n"
     "outcome: validate failed: NameTooLong\n"},
    {"invalid_utf8_name", [](const TempDir& d) { return csv_file(d, "\xff\xfe,b\n1,2\n3,x\n"); }, kIntB,
     "open: columns=2\n"
     "next: rows=2\n"
     "count: 2\n"
     "batch: batches=1 bytes=21 end\n"
     "aggregate: count=2\n"
     "topk: rows=2\n"
     "order_by: rows=2\n"
     "collect: rows=2\n"
     "columnar: rows=2\n"
     "parallel: rows=2\n"
     "validate: {\"rows_total\":2,\"rows_valid\":1,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=2\n"
     "to_files: validate_to_files failed: InvalidUtf8\n"
     "outcome: validate failed: InvalidUtf8\n"
     "outcome_memory: validate failed: InvalidUtf8\n"},
    {"invalid_utf8_field", [](const TempDir& d) { return csv_file(d, "a,b\n\xc3(,2\n3,x\n"); }, kIntB,
     "open: columns=2\n"
     "next: rows=2\n"
     "count: 2\n"
     "batch: batches=1 bytes=26 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=2\n"
     "collect: rows=2\n"
     "columnar: rows=2\n"
     "parallel: rows=2\n"
     "validate: {\"rows_total\":2,\"rows_valid\":1,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=2\n"
     "to_files: validate_to_files failed: InvalidUtf8\n"
     "outcome: validate failed: InvalidUtf8\n"
     "outcome_memory: validate failed: InvalidUtf8\n"},
    {"invalid_utf8_json_field", [](const TempDir& d) { return jsonl_file(d, "{\"a\":\"\xc3(\",\"b\":2}\n"); },
     kIntB,
     "open: columns=2\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=16 end\n"
     "aggregate: count=0\n"
     "topk: rows=0\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: {\"rows_total\":1,\"rows_valid\":1,\"rows_invalid\":0,\"errors_total\":0\n"
     "validator: rows=1\n"
     "to_files: validate_to_files failed: InvalidUtf8\n"
     "outcome: validate failed: InvalidUtf8\n"
     "outcome_memory: validate failed: InvalidUtf8\n"},
    {"invalid_utf8_schema_key", [](const TempDir& d) { return csv_file(d, "a,b\n1,2\n"); }, "{\"\xff\":{}}",
     "open: columns=2\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=11 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: validate failed: BadSchema\n"
     "validator: cannot open validator: BadSchema\n"
     "to_files: validate_to_files failed: BadSchema\n"
     "outcome: validate failed: BadSchema\n"
     "outcome_memory: validate failed: BadSchema\n"},
    {"invalid_utf8_schema_key_in_header", [](const TempDir& d) { return csv_file(d, "\xff,b\n1,2\n"); },
     "{\"\xff\":{\"type\":\"integer\"}}",
     "open: columns=2\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=11 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: validate failed: BadSchema\n"
     "validator: cannot open validator: BadSchema\n"
     "to_files: validate_to_files failed: BadSchema\n"
     "outcome: validate failed: BadSchema\n"
     "outcome_memory: validate failed: BadSchema\n"},
    {"nul_in_csv_field", [](const TempDir& d) { return csv_file(d, std::string("a,b\n1,x\0y\n", 10)); },
     "{\"b\":{\"max_len\":2}}",
     "open: columns=2\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=18 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: {\"rows_total\":1,\"rows_valid\":0,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=1\n"
     "to_files: valid=0 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    // A raw NUL is kept like any raw control byte, and reads as the escaped form.
    {"nul_in_json_field",
     [](const TempDir& d) { return jsonl_file(d, std::string("{\"a\":1,\"b\":\"x\0y\"}\n", 18)); },
     "{\"b\":{\"max_len\":2}}",
     "open: columns=2\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=18 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: {\"rows_total\":1,\"rows_valid\":0,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=1\n"
     "to_files: valid=0 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    {"escaped_nul_in_json_field",
     [](const TempDir& d) { return jsonl_file(d, "{\"a\":1,\"b\":\"x\\u0000y\"}\n"); },
     "{\"b\":{\"max_len\":2}}",
     "open: columns=2\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=18 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: {\"rows_total\":1,\"rows_valid\":0,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=1\n"
     "to_files: valid=0 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    {"nested_array_100000_deep_in_second_row",
     [](const TempDir& d) { return jsonl_file(d, "{\"a\":1}\n" + nested_row(100000) + "{\"a\":2}\n"); }, "{}",
     "open: columns=1\n"
     "next: rows=2 errors=1 first=next failed: InvalidJson\n"
     "count: 3\n"
     "batch: batches=0 bytes=0 batch failed: InvalidJson\n"
     "aggregate: aggregate failed: InvalidJson\n"
     "topk: topk failed: InvalidJson\n"
     "order_by: order_by failed: InvalidJson\n"
     "collect: collect failed: InvalidJson\n"
     "columnar: collect failed: InvalidJson\n"
     "parallel: rows=2\n"
     "validate: validate failed: InvalidJson\n"
     "validator: rows=2 errors=1 first=validate failed: InvalidJson\n"
     "to_files: validate_to_files failed: InvalidJson\n"
     "outcome: validate failed: InvalidJson\n"
     "outcome_memory: validate failed: InvalidJson\n"},
    {"nested_array_100000_deep_in_first_row",
     [](const TempDir& d) { return jsonl_file(d, nested_row(100000)); }, "{}",
     "open: open failed: InvalidJson\n"
     "parallel: parallel scan failed: TooManyTokens\n"
     "validate: validate failed: InvalidJson\n"
     "validator: cannot open validator: InvalidJson\n"
     "to_files: validate_to_files failed: InvalidJson\n"
     "outcome: validate failed: InvalidJson\n"
     "outcome_memory: validate failed: InvalidJson\n"},
    {"nested_object_100000_deep",
     [](const TempDir& d) {
       return jsonl_file(d, "{\"a\":1}\n" + repeat("{\"a\":", 100000) + "1" + repeat("}", 100000) + "\n");
     },
     "{}",
     "open: columns=1\n"
     "next: rows=1 errors=1 first=next failed: InvalidJson\n"
     "count: 2\n"
     "batch: batches=0 bytes=0 batch failed: InvalidJson\n"
     "aggregate: aggregate failed: InvalidJson\n"
     "topk: topk failed: InvalidJson\n"
     "order_by: order_by failed: InvalidJson\n"
     "collect: collect failed: InvalidJson\n"
     "columnar: collect failed: InvalidJson\n"
     "parallel: rows=1\n"
     "validate: validate failed: InvalidJson\n"
     "validator: rows=1 errors=1 first=validate failed: InvalidJson\n"
     "to_files: validate_to_files failed: InvalidJson\n"
     "outcome: validate failed: InvalidJson\n"
     "outcome_memory: validate failed: InvalidJson\n"},
    {"nested_array_2000_deep_under_the_token_limit",
     [](const TempDir& d) { return jsonl_file(d, "{\"a\":1}\n" + nested_row(2000)); }, "{}",
     "open: columns=1\n"
     "next: rows=1 errors=1 first=next failed: NestedValueNotSupported\n"
     "count: 2\n"
     "batch: batches=0 bytes=0 batch failed: NestedValueNotSupported\n"
     "aggregate: aggregate failed: NestedValueNotSupported\n"
     "topk: topk failed: NestedValueNotSupported\n"
     "order_by: order_by failed: NestedValueNotSupported\n"
     "collect: collect failed: NestedValueNotSupported\n"
     "columnar: collect failed: NestedValueNotSupported\n"
     "parallel: rows=2\n"
     "validate: validate failed: NestedValueNotSupported\n"
     "validator: rows=1 errors=1 first=validate failed: NestedValueNotSupported\n"
     "to_files: validate_to_files failed: NestedValueNotSupported\n"
     "outcome: validate failed: NestedValueNotSupported\n"
     "outcome_memory: validate failed: NestedValueNotSupported\n"},
    {"nested_object_800_deep_under_the_token_limit",
     [](const TempDir& d) {
       return jsonl_file(d, "{\"a\":1}\n" + repeat("{\"a\":", 800) + "1" + repeat("}", 800) + "\n");
     },
     "{}",
     "open: columns=1\n"
     "next: rows=1 errors=1 first=next failed: NestedValueNotSupported\n"
     "count: 2\n"
     "batch: batches=0 bytes=0 batch failed: NestedValueNotSupported\n"
     "aggregate: aggregate failed: NestedValueNotSupported\n"
     "topk: topk failed: NestedValueNotSupported\n"
     "order_by: order_by failed: NestedValueNotSupported\n"
     "collect: collect failed: NestedValueNotSupported\n"
     "columnar: collect failed: NestedValueNotSupported\n"
     "parallel: rows=2\n"
     "validate: validate failed: NestedValueNotSupported\n"
     "validator: rows=1 errors=1 first=validate failed: NestedValueNotSupported\n"
     "to_files: validate_to_files failed: NestedValueNotSupported\n"
     "outcome: validate failed: NestedValueNotSupported\n"
     "outcome_memory: validate failed: NestedValueNotSupported\n"},
    {"nested_array_in_json_array_file",
     [](const TempDir& d) { return write_file(d, "in.json", "[{\"a\":1},\n" + nested_row(100000) + "]"); },
     "{}",
     "open: columns=1\n"
     "next: rows=1 errors=1 first=next failed: InvalidJson\n"
     "count: 2\n"
     "batch: batches=0 bytes=0 batch failed: InvalidJson\n"
     "aggregate: aggregate failed: InvalidJson\n"
     "topk: topk failed: InvalidJson\n"
     "order_by: order_by failed: InvalidJson\n"
     "collect: collect failed: InvalidJson\n"
     "columnar: collect failed: InvalidJson\n"
     "parallel: parallel scan failed: InvalidJson\n"
     "validate: validate failed: InvalidJson\n"
     "validator: rows=1 errors=1 first=validate failed: InvalidJson\n"
     "to_files: validate_to_files failed: InvalidJson\n"
     "outcome: validate failed: InvalidJson\n"
     "outcome_memory: validate failed: InvalidJson\n"},
    {"structural_5000_in_second_row",
     [](const TempDir& d) { return jsonl_file(d, "{\"k0\":1}\n" + wide_object(1300)); }, "{}",
     "open: columns=1\n"
     "next: rows=2\n"
     "count: 2\n"
     "batch: batches=1 bytes=13 end\n"
     "aggregate: count=2\n"
     "topk: rows=2\n"
     "order_by: rows=2\n"
     "collect: rows=2\n"
     "columnar: rows=2\n"
     "parallel: rows=2\n"
     "validate: {\"rows_total\":2,\"rows_valid\":2,\"rows_invalid\":0,\"errors_total\":0\n"
     "validator: rows=2\n"
     "to_files: valid=2 invalid=0\n"
     "outcome: true\n"
     "outcome_memory: true\n"},
    {"structural_5000_in_first_row",
     [](const TempDir& d) { return jsonl_file(d, wide_object(1300) + "{\"k0\":2}\n"); }, "{}",
     "open: open failed: InvalidJson\n"
     "parallel: parallel scan failed: TooManyTokens\n"
     "validate: validate failed: InvalidJson\n"
     "validator: cannot open validator: InvalidJson\n"
     "to_files: validate_to_files failed: InvalidJson\n"
     "outcome: validate failed: InvalidJson\n"
     "outcome_memory: validate failed: InvalidJson\n"},
    {"schema_nested_100000_deep", [](const TempDir& d) { return csv_file(d, "a\n1\n"); },
     "{\"a\":" + repeat("[", 100000) + repeat("]", 100000) + "}",
     "open: columns=1\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=7 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: validate failed: BadSchema\n"
     "validator: cannot open validator: BadSchema\n"
     "to_files: validate_to_files failed: BadSchema\n"
     "outcome: validate failed: BadSchema\n"
     "outcome_memory: validate failed: BadSchema\n"},
    {"schema_one_of_nested_600_deep", [](const TempDir& d) { return csv_file(d, "a\n1\n"); },
     "{\"a\":{\"one_of\":" + repeat("[", 600) + repeat("]", 600) + "}}",
     "open: columns=1\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=7 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: validate failed: BadSchema\n"
     "validator: cannot open validator: BadSchema\n"
     "to_files: validate_to_files failed: BadSchema\n"
     "outcome: validate failed: BadSchema\n"
     "outcome_memory: validate failed: BadSchema\n"},
    {"schema_one_of_100000_values", [](const TempDir& d) { return csv_file(d, "a\nv99999\nv100000\nv0\n"); },
     one_of_schema(100000),
     "open: columns=1\n"
     "next: rows=3\n"
     "count: 3\n"
     "batch: batches=1 bytes=31 end\n"
     "aggregate: count=0\n"
     "topk: rows=0\n"
     "order_by: rows=3\n"
     "collect: rows=3\n"
     "columnar: rows=3\n"
     "parallel: rows=3\n"
     "validate: {\"rows_total\":3,\"rows_valid\":2,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=3\n"
     "to_files: valid=2 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    {"million_commas_in_a_row",
     [](const TempDir& d) { return csv_file(d, "a\n" + std::string(1000000, ',') + "\n1\n"); },
     "{\"a\":{\"type\":\"integer\"}}",
     "open: columns=1\n"
     "next: rows=2\n"
     "count: 2\n"
     "batch: batches=1 bytes=3000012 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=2\n"
     "collect: rows=2\n"
     "columnar: rows=2\n"
     "parallel: rows=2\n"
     "validate: {\"rows_total\":2,\"rows_valid\":1,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=2\n"
     "to_files: valid=1 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    {"million_commas_as_header",
     [](const TempDir& d) { return csv_file(d, std::string(1000000, ',') + "\n1\n"); }, "{}",
     "open: columns=1000001\n"
     "next: rows=1\n"
     "count: 1\n"
     "batch: batches=1 bytes=7 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=1\n"
     "collect: rows=1\n"
     "columnar: rows=1\n"
     "parallel: rows=1\n"
     "validate: {\"rows_total\":1,\"rows_valid\":0,\"rows_invalid\":1,\"errors_total\":1\n"
     "validator: rows=1\n"
     "to_files: valid=0 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
};

Hostile large_cases[] = {
    {"line_of_100_mib",
     [](const TempDir& d) { return csv_file(d, "a,b\n" + std::string(100u << 20, 'x') + "\n1,2\n"); },
     "{\"a\":{\"max_len\":10}}",
     "open: columns=2\n"
     "next: rows=2\n"
     "count: 2\n"
     "batch: batches=1 bytes=104857616 end\n"
     "aggregate: count=1\n"
     "topk: rows=1\n"
     "order_by: rows=2\n"
     "collect: rows=2\n"
     "columnar: rows=2\n"
     "parallel: rows=2\n"
     "validate: {\"rows_total\":2,\"rows_valid\":1,\"rows_invalid\":1,\"errors_total\":2\n"
     "validator: rows=2\n"
     "to_files: valid=1 invalid=1\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    {"ten_million_empty_lines_csv",
     [](const TempDir& d) { return csv_file(d, "a\n" + std::string(10000000, '\n')); },
     "{\"a\":{\"required\":true}}",
     "open: columns=1\n"
     "next: rows=10000000\n"
     "count: 10000000\n"
     "batch: batches=153 bytes=50000153 end\n"
     "aggregate: count=0\n"
     "topk: rows=0\n"
     "order_by: rows=10000000\n"
     "collect: rows=10000000\n"
     "columnar: rows=10000000\n"
     "parallel: rows=10000000\n"
     "validate: "
     "{\"rows_total\":10000000,\"rows_valid\":0,\"rows_invalid\":10000000,\"errors_total\":10000000\n"
     "validator: rows=10000000\n"
     "to_files: valid=0 invalid=10000000\n"
     "outcome: false\n"
     "outcome_memory: false\n"},
    {"ten_million_empty_lines_jsonl",
     [](const TempDir& d) { return jsonl_file(d, "{\"a\":1}\n" + std::string(10000000, '\n')); }, "{}",
     "open: columns=1\n"
     "next: rows=1 errors=10000000 first=next failed: InvalidJson\n"
     "count: 10000001\n"
     "batch: batches=0 bytes=0 batch failed: InvalidJson\n"
     "aggregate: aggregate failed: InvalidJson\n"
     "topk: topk failed: InvalidJson\n"
     "order_by: order_by failed: InvalidJson\n"
     "collect: collect failed: InvalidJson\n"
     "columnar: collect failed: InvalidJson\n"
     "parallel: rows=1\n"
     "validate: validate failed: InvalidJson\n"
     "validator: rows=1 errors=4 first=validate failed: InvalidJson\n"
     "to_files: validate_to_files failed: InvalidJson\n"
     "outcome: validate failed: InvalidJson\n"
     "outcome_memory: validate failed: InvalidJson\n"},
};

INSTANTIATE_TEST_SUITE_P(HostileSmall, HostileInput, ::testing::ValuesIn(small_cases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(HostileLarge, HostileInput, ::testing::ValuesIn(large_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Size arguments at their extremes: each call gives its documented refusal or
// a bounded answer, without allocating for the size it was asked for.
TEST(HostileArguments, SizesAtTheirExtremes) {
  TempDir dir;
  const std::string path = dir.write("in.csv", "k,v\n3,a\n1,b\n2,c\n5,d\n4,e\n");
  const std::string schema = "{\"k\":{\"max\":2}}";
  const int64_t live = platform::heap_live_blocks();
  auto batches = [&](size_t max_rows, size_t max_bytes, bool validator) {
    ScannerHandle s(validator ? nullptr : quelta_open(path.c_str(), nullptr));
    Validator* v = validator ? quelta_validator_open(path.c_str(), schema.c_str()) : nullptr;
    std::string out;
    for (;;) {
      Batch* b = nullptr;
      int32_t r = validator ? quelta_validator_next_batch(v, max_rows, max_bytes, &b)
                            : quelta_next_batch(s.get(), max_rows, max_bytes, &b);
      if (r != 1) {
        out += r == 0 ? "end" : said();
        break;
      }
      out += std::to_string(batch_text(b).size()) + " ";
      quelta_batch_free(b);
    }
    quelta_validator_close(v);
    return out;
  };
  auto scan = [&](int64_t limit, int64_t max_column) {
    ScanOptions o = no_options();
    o.limit = limit;
    o.max_column = max_column;
    ScannerHandle s(quelta_open(path.c_str(), &o));
    Rows rows = drain(s.get());
    std::string out;
    for (const Row& r : rows) out += std::to_string(r.size());
    return out;
  };
  auto report = [&](size_t max_errors) {
    ValidationReport* r = quelta_validate(path.c_str(), schema.c_str(), max_errors);
    std::string json = r ? quelta_validate_json(r) : said();
    quelta_validate_free(r);
    size_t errors = 0;
    for (size_t at = json.find("\"row\":"); at != std::string::npos; at = json.find("\"row\":", at + 1))
      ++errors;
    return json.substr(json.find("\"truncated\""), 17) + " listed=" + std::to_string(errors);
  };
  auto topk = [&](size_t column, size_t k) {
    ScannerHandle s(quelta_open(path.c_str(), nullptr));
    TopkContext* ctx = quelta_topk(s.get(), column, k, 1);
    std::string out = ctx ? "" : said();
    double key = 0;
    while (ctx && quelta_topk_next(ctx, nullptr, nullptr, &key) == 1) out += std::to_string(int(key));
    quelta_topk_close(ctx);
    return out;
  };
  auto ordered = [&](size_t column) {
    ScannerHandle s(quelta_open(path.c_str(), nullptr));
    OrderByContext* ctx = quelta_order_by(s.get(), column, 0);
    std::string out = ctx ? "" : said();
    const char** f = nullptr;
    size_t n = 0;
    while (ctx && quelta_order_by_next(ctx, &f, &n) == 1) out += f[0];
    quelta_order_by_close(ctx);
    return out;
  };
  auto aggregate = [&](size_t column) {
    ScannerHandle s(quelta_open(path.c_str(), nullptr));
    AggregateResult a{};
    return quelta_aggregate(s.get(), column, &a) == 0 ? std::to_string(a.count) : said();
  };
  auto parallel = [&](size_t threads) {
    ColumnarCollectContext* c = quelta_parallel_collect_columnar(path.c_str(), ',', nullptr, 0, 0, threads);
    std::string out = c ? std::to_string(quelta_collect_columnar_n_rows(c)) : said();
    quelta_collect_columnar_close(c);
    return out;
  };
  const struct {
    const char* call;
    std::string got, want;
  } cases[] = {
      {"next_batch max_rows 0", batches(0, 100, false), "batch failed: InvalidBatchSize"},
      {"next_batch max_rows 65537", batches(65537, 100, false), "batch failed: InvalidBatchSize"},
      {"next_batch max_rows SIZE_MAX", batches(SIZE_MAX, SIZE_MAX, false), "batch failed: InvalidBatchSize"},
      {"next_batch max_bytes 0", batches(1, 0, false), "batch failed: InvalidBatchSize"},
      {"next_batch 65536 rows, SIZE_MAX bytes", batches(65536, SIZE_MAX, false), "51 end"},
      {"next_batch 1 byte: one row each", batches(65536, 1, false), "11 11 11 11 11 end"},
      {"validator batch max_rows 0", batches(0, 100, true), "batch failed: InvalidBatchSize"},
      {"validator batch max_rows SIZE_MAX", batches(SIZE_MAX, 100, true), "batch failed: InvalidBatchSize"},
      {"validator batch 65536 rows, SIZE_MAX bytes", batches(65536, SIZE_MAX, true), "404 end"},
      {"limit INT64_MAX", scan(INT64_MAX, -1), "22222"},
      {"limit INT64_MIN (no limit)", scan(INT64_MIN, -1), "22222"},
      {"limit 0", scan(0, -1), ""},
      {"max_column INT64_MAX", scan(-1, INT64_MAX), "22222"},
      {"max_column INT64_MIN (all)", scan(-1, INT64_MIN), "22222"},
      {"max_column 0", scan(-1, 0), "11111"},
      {"max_errors SIZE_MAX", report(SIZE_MAX), "\"truncated\":false listed=3"},
      {"max_errors 1", report(1), "\"truncated\":true, listed=1"},
      {"max_errors 0 (100)", report(0), "\"truncated\":false listed=3"},
      {"topk k SIZE_MAX (room for k is reserved)", topk(0, SIZE_MAX), "topk failed: OutOfMemory"},
      {"topk k 1000000", topk(0, 1000000), "54321"},
      {"topk k 0", topk(0, 0), ""},
      {"topk column SIZE_MAX", topk(SIZE_MAX, 3), ""},
      {"order_by column SIZE_MAX", ordered(SIZE_MAX), "31254"},
      {"aggregate column SIZE_MAX", aggregate(SIZE_MAX), "0"},
      {"parallel threads SIZE_MAX", parallel(SIZE_MAX), "5"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.call;
  EXPECT_EQ(platform::heap_live_blocks(), live);
}

// A file that shrinks or grows between reads: the scanner and the validator
// deliver what the reads return and end; nothing is read past the new end.
TEST(HostileArguments, FileChangesWhileRead) {
  TempDir dir;
  std::string text = "a\n";
  for (int i = 0; i < 100000; ++i) text += std::to_string(i) + "\n";  // more than one 256 KiB chunk
  const int64_t live = platform::heap_live_blocks();
  struct Change {
    const char* name;
    std::function<void(const std::string&)> apply;
    size_t rows_max;  // rows a drain may deliver at most
  };
  const Change changes[] = {
      {"truncated to 0", [](const std::string& p) { std::filesystem::resize_file(p, 0); }, 100000},
      {"truncated mid-line", [](const std::string& p) { std::filesystem::resize_file(p, 300001); }, 100000},
      {"grown by 1000 rows",
       [](const std::string& p) {
         std::ofstream out(p, std::ios::app);
         for (int i = 0; i < 1000; ++i) out << "x\n";
       },
       101000},
  };
  for (const Change& c : changes) {
    const std::string path = dir.write("in.csv", text);
    ScannerHandle s(quelta_open(path.c_str(), nullptr));
    Validator* v = quelta_validator_open(path.c_str(), "{\"a\":{\"type\":\"integer\"}}");
    ASSERT_TRUE(s && v);
    Row row;
    ASSERT_EQ(step(s.get(), &row), 1);
    ASSERT_EQ(quelta_validator_next(v, nullptr, nullptr, nullptr, nullptr), 1);
    c.apply(path);
    Rows rest = drain(s.get());
    EXPECT_LE(rest.size() + 1, c.rows_max) << c.name;
    for (const Row& r : rest) EXPECT_EQ(r.size(), 1u) << c.name;
    uint64_t n = 1;
    while (quelta_validator_next(v, nullptr, nullptr, nullptr, nullptr) == 1) ++n;
    EXPECT_EQ(n, rest.size() + 1) << c.name << ": the validator reads what the scanner read";
    if (c.rows_max > 100000) {
      EXPECT_EQ(n, c.rows_max) << c.name << ": appended rows are read";
    }
    quelta_validator_close(v);
    std::filesystem::remove(path);
  }
  EXPECT_EQ(platform::heap_live_blocks(), live);
}

}  // namespace
}  // namespace quelta::test
