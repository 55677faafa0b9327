// quelta_validate through the public header: report JSON text, messages and
// allocation failures.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "quelta.h"
#include "support/fault.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

std::string last_error() {
  const char* m = quelta_last_error();
  return m ? m : "<none>";
}

// The report text, or "!" and the message when quelta_validate fails.
std::string report(const std::string& path, const char* schema, size_t max_errors = 0) {
  ValidationReport* r = quelta_validate(path.c_str(), schema, max_errors);
  if (!r) return std::string("!").append(last_error());
  EXPECT_EQ(quelta_last_error(), nullptr);
  std::string json = quelta_validate_json(r);
  quelta_validate_free(r);
  return json;
}

std::string error(int row, const char* column, const char* name, const char* rule, const char* value) {
  return std::string("{\"row\":") + std::to_string(row) + ",\"column\":" + column +
         ",\"column_name\":" + name + ",\"rule\":\"" + rule + "\",\"value\":" + value + "}";
}

TEST(Validate, ReportTexts) {
  TempDir dir;
  struct Case {
    const char* name;
    const char* data;
    const char* schema;
    size_t max_errors;
    std::string want;
  };
  const Case cases[] = {
      {"header_only.csv", "id,age\n", R"({"id":{"type":"integer","required":true}})", 0,
       R"({"rows_total":0,"rows_valid":0,"rows_invalid":0,"errors_total":0,"truncated":false,"counts":{},"errors":[]})"},
      {"documented.csv", "name,age\nann,31\nbob,abc\n", R"({"age":{"type":"integer"}})", 0,
       R"({"rows_total":2,"rows_valid":1,"rows_invalid":1,"errors_total":1,"truncated":false,"counts":{"bad_type":1},"errors":[)" +
           error(2, "1", R"("age")", "bad_type", R"("abc")") + "]}"},
      // max_errors 1 keeps the first breach; a second one anywhere truncates.
      {"truncated.csv", "a,b\nx,1\n1,1\n1,y\n", R"({"a":{"type":"integer"},"b":{"type":"integer"}})", 1,
       R"({"rows_total":3,"rows_valid":1,"rows_invalid":2,"errors_total":2,"truncated":true,"counts":{"bad_type":2},"errors":[)" +
           error(1, "0", R"("a")", "bad_type", R"("x")") + "]}"},
      // Field-count breach first, then per entry in schema order (b before a).
      {"order.csv", "a,b,c\n,x\n1,2,3,4\n", R"({"b":{"type":"integer"},"a":{"required":true},"c":{"max":1}})",
       0,
       R"({"rows_total":2,"rows_valid":0,"rows_invalid":2,"errors_total":5,"truncated":false,)"
       R"("counts":{"too_few_fields":1,"too_many_fields":1,"missing_required":1,"bad_type":1,"above_max":1},"errors":[)" +
           error(1, "null", R"("")", "too_few_fields", R"("")") + "," +
           error(1, "1", R"("b")", "bad_type", R"("x")") + "," +
           error(1, "0", R"("a")", "missing_required", R"("")") + "," +
           error(2, "null", R"("")", "too_many_fields", R"("")") + "," +
           error(2, "2", R"("c")", "above_max", R"("3")") + "]}"},
      // Quotes, backslashes and control bytes are escaped; bytes that are not
      // UTF-8 become an array of their values.
      {"escapes.csv", "k,n\n\"a\"\"b\\c\x01\",\xC3\x28\n", R"({"k":{"max_len":1},"n":{"type":"integer"}})", 0,
       std::string(
           R"({"rows_total":1,"rows_valid":0,"rows_invalid":1,"errors_total":2,"truncated":false,"counts":{"bad_type":1,"too_long":1},"errors":[)") +
           error(1, "0", R"("k")", "too_long", R"("a\"b\\c\u0001")") + "," +
           error(1, "1", R"("n")", "bad_type", "[195,40]") + "]}"},
      // A JSON row without a required member has an empty field for it.
      {"rows.jsonl", "{\"id\":1,\"name\":\"x\"}\n{\"name\":\"y\"}\n",
       R"({"id":{"type":"integer","required":true},"name":{"one_of":["x","y"]}})", 0,
       R"({"rows_total":2,"rows_valid":1,"rows_invalid":1,"errors_total":1,"truncated":false,"counts":{"missing_required":1},"errors":[)" +
           error(2, "0", R"("id")", "missing_required", R"("")") + "]}"},
      {"empty_schema.csv", "a,b\n1,2\n3\n", "{}", 0,
       R"({"rows_total":2,"rows_valid":1,"rows_invalid":1,"errors_total":1,"truncated":false,"counts":{"too_few_fields":1},"errors":[)" +
           error(2, "null", R"("")", "too_few_fields", R"("")") + "]}"},
      {"unknown.csv", "a,b\n1,2\n", R"({"Age":{}})", 0, "!validate failed: UnknownColumn"},
      {"bad.csv", "a,b\n1,2\n", R"({"a":{"type":"Integer"}})", 0, "!validate failed: BadSchema"},
      {"quote.csv", "a,b\n\"1,2\n", "{}", 0, "!validate failed: UnterminatedQuote"},
      {"empty.csv", "", "{}", 0, "!validate failed: EmptyFile"},
  };
  for (const Case& c : cases) {
    std::string path = dir.write(c.name, c.data);
    EXPECT_EQ(report(path, c.schema, c.max_errors), c.want) << c.name;
  }
  EXPECT_EQ(report((dir.path() / "missing.csv").string(), "{}"), "!validate failed: FileNotFound");
}

TEST(Validate, ZeroMaxErrorsKeepsAHundred) {
  TempDir dir;
  std::string data = "n\n";
  for (int i = 0; i < 150; ++i) data += "x\n";
  std::string path = dir.write("many.csv", data);
  std::string json = report(path, R"({"n":{"type":"integer"}})", 0);
  size_t kept = 0;
  for (size_t at = json.find("\"rule\""); at != std::string::npos; at = json.find("\"rule\"", at + 1)) ++kept;
  EXPECT_EQ(kept, 100u);
  EXPECT_EQ(
      json.rfind(R"({"rows_total":150,"rows_valid":0,"rows_invalid":150,"errors_total":150,"truncated":true,)"
                 R"("counts":{"bad_type":150},"errors":[)",
                 0),
      0u);
  EXPECT_NE(json.find(error(100, "0", R"("n")", "bad_type", R"("x")") + "]}"), std::string::npos);
}

TEST(Validate, NullArguments) {
  EXPECT_EQ(quelta_validate(nullptr, "{}", 0), nullptr);
  EXPECT_EQ(last_error(), "path is null");
  EXPECT_EQ(quelta_validate("x.csv", nullptr, 0), nullptr);
  EXPECT_EQ(last_error(), "schema_json is null");
  EXPECT_EQ(quelta_validate_json(nullptr), nullptr);
  quelta_validate_free(nullptr);
}

TEST(Validate, AllocationFailures) {
  TempDir dir;
  const char* schema = R"({"a":{"type":"integer","one_of":["1","2"]},"b":{"max_len":2}})";
  for (const char* name : {"faults.csv", "faults.jsonl"}) {
    std::string data = std::string(name).ends_with(".csv")
                           ? "a,b\n1,xyz\nq,ok\n3,\n"
                           : "{\"a\":1,\"b\":\"xyz\"}\n{\"b\":\"ok\",\"a\":\"q\"}\n";
    std::string path = dir.write(name, data);
    std::string want = report(path, schema);
    ASSERT_EQ(want.find('!'), std::string::npos) << want;
    const std::set<std::string> required = {"validate failed: OutOfMemory", "out of memory rendering report",
                                            "out of memory"};
    // The schema reader reports running out of memory while it builds its
    // tree as a rejected schema.
    std::set<std::string> allowed = required;
    allowed.insert("validate failed: BadSchema");
    std::set<std::string> seen;
    sweep_allocation_failures([&] {
      ValidationReport* r = quelta_validate(path.c_str(), schema, 0);
      if (!r) {
        seen.insert(last_error());
        EXPECT_TRUE(allowed.count(last_error())) << last_error();
        return true;
      }
      EXPECT_EQ(quelta_validate_json(r), want);
      quelta_validate_free(r);
      return false;
    });
    for (const std::string& m : required) EXPECT_TRUE(seen.count(m)) << name << ": never saw " << m;
  }
}

}  // namespace
}  // namespace quelta::test
