// The detail beside the last-error message: the accessor's contract, and the
// exact values every condition with a position or a subject leaves.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quelta.h"
#include "scanner_test_support.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

// The detail as plain values; "<none>" when the accessor reports no failure.
struct Detail {
  std::string message, condition, subject, detail;
  uint64_t line = 0, column = 0;
  int64_t offset = -1;
  uint64_t schema_line = 0, schema_column = 0;
  int64_t schema_offset = -1;
};

Detail read_detail() {
  QueltaErrorDetail d{};
  d.size = sizeof d;
  const int32_t r = quelta_last_error_detail(&d);
  EXPECT_GE(r, 0);
  Detail out;
  out.message = last_error();
  out.condition = d.condition;
  out.subject = d.subject;
  out.detail = d.detail;
  out.line = d.line;
  out.column = d.column;
  out.offset = d.offset;
  out.schema_line = d.schema_line;
  out.schema_column = d.schema_column;
  out.schema_offset = d.schema_offset;
  return out;
}

// The 1-based line and column of a byte offset, counted afresh.
void line_column(const std::string& text, size_t offset, uint64_t* line, uint64_t* column) {
  *line = 1;
  size_t start = 0;
  for (size_t i = 0; i < offset; ++i)
    if (text[i] == '\n') {
      ++*line;
      start = i + 1;
    }
  *column = offset - start + 1;
}

TEST(ErrorDetail, AccessorContract) {
  EXPECT_EQ(quelta_last_error_detail(nullptr), -1);
  QueltaErrorDetail small{};
  small.size = sizeof small - 1;
  EXPECT_EQ(quelta_open(nullptr, nullptr), nullptr);
  EXPECT_EQ(quelta_last_error_detail(&small), -1);
  EXPECT_EQ(small.condition, nullptr) << "a refused record is not written";
  EXPECT_EQ(last_error(), "path is null") << "the accessor leaves the message";

  // A fixed phrase has no condition and nothing beside it.
  Detail d = read_detail();
  EXPECT_EQ(d.condition, "");
  EXPECT_EQ(d.subject, "");
  EXPECT_EQ(d.offset, -1);

  // A caller built against a longer record keeps its bytes past ours.
  struct Longer {
    QueltaErrorDetail d;
    uint64_t later;
  } longer{};
  longer.d.size = sizeof longer;
  longer.later = 77;
  TempDir dir;
  const std::string missing = (dir.path() / "missing.csv").string();
  EXPECT_EQ(quelta_open(missing.c_str(), nullptr), nullptr);
  EXPECT_EQ(quelta_last_error_detail(&longer.d), 1);
  EXPECT_STREQ(longer.d.subject, missing.c_str());
  EXPECT_EQ(longer.d.size, sizeof longer);
  EXPECT_EQ(longer.later, 77u);

  // The next call that clears the message clears the detail too.
  const std::string ok = dir.write("ok.csv", "a\n1\n");
  ScannerHandle s(quelta_open(ok.c_str(), nullptr));
  ASSERT_TRUE(s);
  QueltaErrorDetail cleared{};
  cleared.size = sizeof cleared;
  EXPECT_EQ(quelta_last_error_detail(&cleared), 0);
  EXPECT_STREQ(cleared.subject, "");
  EXPECT_STREQ(cleared.detail, "");
  EXPECT_EQ(cleared.line, 0u);
  EXPECT_EQ(cleared.offset, -1);
  EXPECT_EQ(cleared.schema_offset, -1);
}

// One failing call and where it should say it stood. offset_of names the
// text whose first occurrence in the input starts the failing record
// (nullptr: unknown, -1).
struct InputCase {
  const char* name;
  const char* file;
  std::string content;
  std::function<void(const std::string& path)> act;
  const char* message;
  const char* subject;  // "$" stands for the input's path
  const char* detail;
  uint64_t line, column;
  const char* offset_of;
};

void drain(const std::string& path, const ReadOptions* read = nullptr) {
  ScannerHandle s(quelta_open_with(path.c_str(), nullptr, read));
  ASSERT_TRUE(s) << last_error();
  while (quelta_next(s.get(), nullptr, nullptr) == 1) {
  }
}

void open_only(const std::string& path) { ScannerHandle s(quelta_open(path.c_str(), nullptr)); }

ReadOptions rfc4180() {
  ReadOptions r{};
  r.size = sizeof r;
  r.quoting = QUELTA_QUOTING_RFC4180;
  return r;
}

std::string many_rows(size_t n) {
  std::string s = "id,name\n";
  for (size_t i = 0; i < n; ++i) s += std::to_string(i) + ",\"name " + std::to_string(i) + "\"\n";
  return s;
}

TEST(ErrorDetail, InputConditions) {
  // Past the first 256 KiB chunk, so lines are counted across refills and the index.
  const std::string big = many_rows(20000) + "7,\"open\n8,b\n";
  const std::string big_crlf = "a,b\r\n1,2\r\n3,x\"y,\"z\r\n";
  const InputCase cases[] = {
      {"missing file", "missing.csv", "", open_only, "open failed: FileNotFound", "$", "", 0, 0, nullptr},
      {"empty file", "empty.csv", "", open_only, "open failed: EmptyFile", "$", "", 0, 0, nullptr},
      {"quote open in the header", "h.csv", "a,\"b\n1,2\n", open_only, "open failed: UnterminatedQuote", "$",
       "the quote at column 3 is not closed", 1, 3, "a,"},
      {"quote open in a row", "r.csv", "a,b\n1,2\n3,\"x\n5,6\n", [](auto& p) { drain(p); },
       "next failed: UnterminatedQuote", "", "the quote at column 3 is not closed", 3, 3, "3,\""},
      {"quote open after a CRLF line and a quote inside a field", "crlf.csv", big_crlf,
       [](auto& p) { drain(p); }, "next failed: UnterminatedQuote", "", "the quote at column 7 is not closed",
       3, 7, "3,x"},
      {"quote open past the first chunk", "big.csv", big, [](auto& p) { drain(p); },
       "next failed: UnterminatedQuote", "", "the quote at column 3 is not closed", 20002, 3, "7,\"open"},
      {"quote spanning lines to the end", "span.csv", "a,b\n1,2\n3,\"x\ny\nz\n",
       [](auto& p) {
         const ReadOptions r = rfc4180();
         drain(p, &r);
       },
       "next failed: UnterminatedQuote", "", "the quote opened at line 3", 5, 0, "3,\""},
      {"quote spanning lines, quote on the last line", "span2.csv", "a,b\n1,\"2\n2\"\n3,\"x",
       [](auto& p) {
         const ReadOptions r = rfc4180();
         drain(p, &r);
       },
       "next failed: UnterminatedQuote", "", "the quote at column 3 is not closed", 4, 3, "3,\""},
      {"first JSON line", "first.jsonl", "{\"a\" 1}\n", open_only, "open failed: InvalidJson", "$",
       "expected ':' after key", 1, 0, "{"},
      {"later JSON line", "later.jsonl", "{\"a\":1}\n{\"a\":2}\n[3]\n", [](auto& p) { drain(p); },
       "next failed: InvalidJson", "", "not a JSON object", 3, 0, "[3]"},
      {"nested value", "nested.jsonl", "{\"a\":1,\"b\":2}\n{\"a\":1,\"b\":{\"c\":[1]}}\n",
       [](auto& p) { drain(p); }, "next failed: NestedValueNotSupported", "b",
       "the value of \"b\" is an object or an array", 2, 0, "{\"a\":1,\"b\":{"},
      {"object of an array", "array.json", "[{\"a\":1},\n {\"a\":2},\n {\"a\" 3}]", [](auto& p) { drain(p); },
       "next failed: InvalidJson", "", "expected ':' after key", 0, 0, "{\"a\" 3"},
      {"array cut short", "cut.json", "[{\"a\":1},\n {\"a\":2", [](auto& p) { drain(p); },
       "next failed: InvalidJson", "", "the input ends inside an object", 0, 0, "{\"a\":2"},
      {"report of a file", "v.csv", "a,b\n1,2\n3,\"x\n",
       [](auto& p) { quelta_validate_free(quelta_validate(p.c_str(), "{}", 0)); },
       "validate failed: UnterminatedQuote", "$", "the quote at column 3 is not closed", 3, 3, "3,\""},
      {"streaming validator", "s.csv", "a,b\n1,2\n3,\"x\n",
       [](auto& p) {
         Validator* v = quelta_validator_open(p.c_str(), "{}");
         ASSERT_NE(v, nullptr);
         while (quelta_validator_next(v, nullptr, nullptr, nullptr, nullptr) == 1) {
         }
         quelta_validator_close(v);
       },
       "validate failed: UnterminatedQuote", "", "the quote at column 3 is not closed", 3, 3, "3,\""},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = std::strcmp(c.name, "missing file") == 0 ? (dir.path() / c.file).string()
                                                                      : dir.write(c.file, c.content);
    c.act(path);
    const Detail d = read_detail();
    EXPECT_EQ(d.message, c.message);
    EXPECT_EQ(d.condition, std::string(c.message).substr(std::string(c.message).find(": ") + 2));
    EXPECT_EQ(d.subject, std::strcmp(c.subject, "$") == 0 ? path : std::string(c.subject));
    EXPECT_EQ(d.detail, c.detail);
    EXPECT_EQ(d.line, c.line);
    EXPECT_EQ(d.column, c.column);
    const int64_t offset = c.offset_of ? static_cast<int64_t>(c.content.find(c.offset_of)) : -1;
    EXPECT_EQ(d.offset, offset);
    EXPECT_EQ(d.schema_offset, -1);
  }
}

// Every operator that reads a scanner's rows reports the failing line.
TEST(ErrorDetail, OperatorsReportTheLine) {
  TempDir dir;
  const std::string path = dir.write("bad.csv", "a,b\n1,2\n3,4\n5,\"x\n7,8\n");
  const struct {
    const char* message;
    std::function<void(Scanner*)> act;
  } ops[] = {
      {"aggregate failed: UnterminatedQuote",
       [](Scanner* s) {
         AggregateResult r;
         quelta_aggregate(s, 0, &r);
       }},
      {"topk failed: UnterminatedQuote", [](Scanner* s) { quelta_topk_close(quelta_topk(s, 0, 2, 1)); }},
      {"order_by failed: UnterminatedQuote",
       [](Scanner* s) { quelta_order_by_close(quelta_order_by(s, 0, 0)); }},
      {"collect failed: UnterminatedQuote", [](Scanner* s) { quelta_collect_close(quelta_collect(s)); }},
      {"collect failed: UnterminatedQuote",
       [](Scanner* s) { quelta_collect_columnar_close(quelta_collect_columnar(s)); }},
      {"batch failed: UnterminatedQuote",
       [](Scanner* s) {
         Batch* b = nullptr;
         while (quelta_next_batch(s, 1, 1 << 20, &b) == 1) quelta_batch_free(b);
       }},
  };
  for (const auto& op : ops) {
    SCOPED_TRACE(op.message);
    ScannerHandle s(quelta_open(path.c_str(), nullptr));
    ASSERT_TRUE(s);
    op.act(s.get());
    const Detail d = read_detail();
    EXPECT_EQ(d.message, op.message);
    EXPECT_EQ(d.line, 4u);
    EXPECT_EQ(d.column, 3u);
    EXPECT_EQ(d.offset, 12);
  }
  // A filtered count reads every row; the line after the failure reads on.
  ScanOptions o = no_options();
  o.limit = 100;
  ScannerHandle s(quelta_open(path.c_str(), &o));
  EXPECT_EQ(quelta_count(s.get()), -1);
  EXPECT_EQ(read_detail().line, 4u);
  EXPECT_EQ(quelta_count(s.get()), 1);
  EXPECT_EQ(read_detail().line, 0u);
}

// After a failure the next rows are read on, and so are their lines, whichever
// path (the index, a line across refills, JSON lines) reads them.
TEST(ErrorDetail, LinesCountOnAfterAFailure) {
  const struct {
    const char* file;
    std::string content;
    std::vector<uint64_t> lines;  // of the failures, in order
  } cases[] = {
      {"twice.csv", "a,b\n\"x\n1,2\n3,\"\n\n4,5\n", {2, 4}},
      {"far.csv", many_rows(15000) + "\"x\n" + many_rows(15000).substr(8) + "y,\"z\n", {15002, 30003}},
      {"rows.jsonl", "{\"a\":1}\n\n{\"a\":2}\n[]\n{\"a\":3}\n", {2, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    const std::string path = dir.write(c.file, c.content);
    ScannerHandle s(quelta_open(path.c_str(), nullptr));
    ASSERT_TRUE(s) << last_error();
    std::vector<uint64_t> lines;
    for (int32_t r; (r = quelta_next(s.get(), nullptr, nullptr)) != 0;)
      if (r < 0) lines.push_back(read_detail().line);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(ErrorDetail, OutputThatExistsIsNamed) {
  TempDir dir;
  const std::string in = dir.write("in.csv", "a\n1\n");
  const std::string valid = dir.write("valid.csv", "kept");
  const std::string invalid = dir.write("invalid.jsonl", "kept");
  const std::string fresh = (dir.path() / "fresh.csv").string();
  ValidationStats st;
  EXPECT_EQ(quelta_validate_to_files(in.c_str(), "{}", valid.c_str(), (dir.path() / "x").c_str(), &st), -1);
  EXPECT_EQ(read_detail().subject, valid);
  EXPECT_EQ(quelta_validate_to_files(in.c_str(), "{}", fresh.c_str(), invalid.c_str(), &st), -1);
  const Detail d = read_detail();
  EXPECT_EQ(d.message, "validate_to_files failed: PathAlreadyExists");
  EXPECT_EQ(d.subject, invalid);
  EXPECT_EQ(d.line, 0u);
}

// Schema failures: the message keeps its condition; the detail names the
// entry and key, says what was expected, and points into the schema text at
// the first occurrence of `at`.
TEST(ErrorDetail, SchemaFailures) {
  const char* kCsv = "id,price,name\n1,2,x\n";
  const struct {
    const char* schema;
    const char* condition;
    const char* subject;
    const char* detail;
    const char* at;  // nullptr: the end of the text
  } cases[] = {
      {R"({"price":{"minimum":0}})", "BadSchema", "price.minimum",
       R"(unknown key "minimum" (did you mean "min"?))", R"("minimum")"},
      {R"({"price":{"mni":0}})", "BadSchema", "price.mni", R"(unknown key "mni" (did you mean "min"?))",
       R"("mni")"},
      {R"({"price":{"maxLength":3}})", "BadSchema", "price.maxLength",
       R"(unknown key "maxLength" (did you mean "max_len"?))", R"("maxLength")"},
      {R"({"price":{"enum":[1]}})", "BadSchema", "price.enum",
       R"(unknown key "enum" (did you mean "one_of"?))", R"("enum")"},
      {R"({"price":{"pattern":"x"}})", "BadSchema", "price.pattern",
       R"(unknown key "pattern" (rules are type, required, min, max, min_len, max_len, one_of))",
       R"("pattern")"},
      {R"({"price":{"min":"0"}})", "BadSchema", "price.min", R"("min" must be a number)", R"("0")"},
      {R"({"price":{"max":null}})", "BadSchema", "price.max", R"("max" must be a number)", "null"},
      {R"({"price":{"min_len":2.0}})", "BadSchema", "price.min_len",
       R"("min_len" must be a whole number, 0 or more)", "2.0"},
      {R"({"price":{"max_len":-1}})", "BadSchema", "price.max_len",
       R"("max_len" must be a whole number, 0 or more)", "-1"},
      {R"({"price":{"required":1}})", "BadSchema", "price.required", R"("required" must be true or false)",
       "1}"},
      {R"({"price":{"type":5}})", "BadSchema", "price.type",
       R"("type" must be a string, one of any, integer, float, boolean, datetime, string)", "5"},
      {R"({"price":{"type":"int"}})", "BadSchema", "price.type",
       R"(unknown type "int" (did you mean "integer"?); types are any, integer, float, boolean, datetime, string)",
       R"("int")"},
      {R"({"price":{"type":"Integer"}})", "BadSchema", "price.type",
       R"(unknown type "Integer" (did you mean "integer"?); types are any, integer, float, boolean, datetime, string)",
       R"("Integer")"},
      {R"({"price":{"type":"money"}})", "BadSchema", "price.type",
       R"(unknown type "money"; types are any, integer, float, boolean, datetime, string)", R"("money")"},
      {R"({"price":{"one_of":"a"}})", "BadSchema", "price.one_of",
       R"("one_of" must be an array of strings and numbers)", R"("a")"},
      {R"({"price":{"one_of":[1,"b",true]}})", "BadSchema", "price.one_of[2]",
       R"(items of "one_of" must be strings or numbers)", "true"},
      {R"({"price":5})", "BadSchema", "price",
       R"(the rules of "price" must be an object, e.g. {"type":"integer","min":0})", "5"},
      {R"(["price"])", "BadSchema", "",
       R"(the schema must be a JSON object that maps column names to rules, e.g. {"age":{"type":"integer","min":0}})",
       "["},
      {R"({"Price":{}})", "UnknownColumn", "Price",
       R"(no column "Price" in the header (did you mean "price"?))", R"("Price")"},
      {R"({"id":{},"cost":{}})", "UnknownColumn", "cost", R"(no column "cost" in the header)", R"("cost")"},
      {R"({"$schema":"https://json-schema.org/draft/2020-12/schema","properties":{"price":{"type":"number"}}})",
       "UnknownColumn", "$schema",
       R"(this looks like JSON Schema ("$schema"); a schema here maps column names to rules, e.g. {"age":{"type":"integer","min":0}})",
       R"("$schema")"},
      {R"({"type":"object","properties":{}})", "UnknownColumn", "type",
       R"(this looks like JSON Schema ("type"); a schema here maps column names to rules, e.g. {"age":{"type":"integer","min":0}})",
       R"("type")"},
      {R"({"price":{"minimum":0},"properties":{}})", "BadSchema", "properties",
       R"(this looks like JSON Schema ("properties"); a schema here maps column names to rules, e.g. {"age":{"type":"integer","min":0}})",
       R"("minimum")"},
      {R"({"price":{"min":0},})", "BadSchema", "",
       "a comma before the closing bracket (JSON allows no trailing comma)", ",}"},
      {R"({"price":{"one_of":[1,]}})", "BadSchema", "",
       "a comma before the closing bracket (JSON allows no trailing comma)", ",]"},
      {R"({"price" {"min":0}})", "BadSchema", "", "expected ':' after key", R"({"min")"},
      {R"({"price":{"min":0 "max":1}})", "BadSchema", "", "expected ',' or a closing bracket after a value",
       R"("max")"},
      {R"({price:{}})", "BadSchema", "", "expected a key in double quotes", "price"},
      {R"({"price":{"min":01}})", "BadSchema", "", "expected ',' or a closing bracket after a value", "1}"},
      {R"({"price":{"min":-}})", "BadSchema", "", "a malformed number", "-"},
      {R"({"price":{"type":'int'}})", "BadSchema", "",
       "expected a value (a string in double quotes, a number, true, false, null, an object or an array)",
       "'"},
      {R"({"price":{}} x)", "BadSchema", "", "text after the end of the document", "x"},
      {R"({"price":{},"price":{}})", "BadSchema", "price", "a key given twice in one object",
       R"("price":{}})"},
      {"{\"price\":{\"type\":\"a\tb\"}}", "BadSchema", "",
       "a string holding a raw control character, a bad escape or bytes that are not UTF-8", "\t"},
      {R"({"price":{"min":0})", "BadSchema", "", "the text ends inside the document", nullptr},
      {"", "BadSchema", "", "the text ends inside the document", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.schema);
    EXPECT_EQ(quelta_validate_outcome(kCsv, std::strlen(kCsv), c.schema, 1, 0), nullptr);
    const Detail d = read_detail();
    EXPECT_EQ(d.message, std::string("validate failed: ") + c.condition);
    EXPECT_EQ(d.condition, c.condition);
    EXPECT_EQ(d.subject, c.subject);
    EXPECT_EQ(d.detail, c.detail);
    const std::string text = c.schema;
    const size_t at = c.at ? text.find(c.at) : text.size();
    ASSERT_NE(at, std::string::npos);
    uint64_t line, column;
    line_column(text, at, &line, &column);
    EXPECT_EQ(d.schema_offset, static_cast<int64_t>(at));
    EXPECT_EQ(d.schema_line, line);
    EXPECT_EQ(d.schema_column, column);
    EXPECT_EQ(d.line, 0u);
    EXPECT_EQ(d.offset, -1);
  }
}

// Names longer than the detail keeps are cut, never inside a UTF-8 character,
// and the message is the same as ever.
TEST(ErrorDetail, LongNamesAreCutWhole) {
  std::string name = "x";
  for (int i = 0; i < 200; ++i) name += "\xC3\xA9";
  const std::string csv = "id\n1\n";
  const std::string schema = "{\"" + name + "\":{}}";
  EXPECT_EQ(quelta_validate_outcome(csv.data(), csv.size(), schema.c_str(), 1, 0), nullptr);
  const Detail d = read_detail();
  EXPECT_EQ(d.message, "validate failed: UnknownColumn");
  ASSERT_LT(d.subject.size(), name.size());
  EXPECT_GT(d.subject.size(), 100u);
  EXPECT_EQ(d.subject, name.substr(0, d.subject.size()));
  EXPECT_EQ(d.subject.size() % 2, 1u) << "ends after a whole two-byte character";
  EXPECT_LT(d.detail.size(), 256u);
}

// Lines and columns in a schema written over several lines, and the same
// detail through every export that takes a schema.
TEST(ErrorDetail, SchemaPositionThroughEveryExport) {
  TempDir dir;
  const std::string csv = dir.write("in.csv", "id,price\n1,2\n");
  const char* schema = "{\n  \"price\": {\n    \"type\": \"float\",\n    \"minimum\": 0\n  }\n}";
  const std::string out1 = (dir.path() / "v.csv").string(), out2 = (dir.path() / "i.jsonl").string();
  const struct {
    const char* message;
    std::function<void()> act;
  } exports[] = {
      {"validate failed: BadSchema", [&] { quelta_validate_free(quelta_validate(csv.c_str(), schema, 0)); }},
      {"cannot open validator: BadSchema",
       [&] { quelta_validator_close(quelta_validator_open(csv.c_str(), schema)); }},
      {"validate_to_files failed: BadSchema",
       [&] {
         ValidationStats st;
         quelta_validate_to_files(csv.c_str(), schema, out1.c_str(), out2.c_str(), &st);
       }},
      {"validate failed: BadSchema",
       [&] { quelta_outcome_free(quelta_validate_outcome(csv.c_str(), csv.size(), schema, 0, 0)); }},
  };
  for (const auto& e : exports) {
    SCOPED_TRACE(e.message);
    e.act();
    const Detail d = read_detail();
    EXPECT_EQ(d.message, e.message);
    EXPECT_EQ(d.subject, "price.minimum");
    EXPECT_EQ(d.detail, R"(unknown key "minimum" (did you mean "min"?))");
    EXPECT_EQ(d.schema_line, 4u);
    EXPECT_EQ(d.schema_column, 5u);
    EXPECT_EQ(d.schema_offset, static_cast<int64_t>(std::string(schema).find("\"minimum\"")));
  }
}

}  // namespace
}  // namespace quelta::test
