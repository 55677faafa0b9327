// quelta_validate_outcome through the header: both result kinds over CSV and
// JSON-row text in memory and over paths, exact texts, the bytes read being
// only input_len, early stop, every message, and allocation failures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "api/validation_output_support.h"
#include "quelta.h"
#include "support/fault.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

constexpr const char* kSchema = R"({"name":{"required":true},"age":{"type":"integer"}})";
constexpr uint32_t kPath = 0, kCsv = 1, kJson = 2;

// The outcome over an exact-size copy of input[0..len), so that a read past
// len is a heap overflow under the sanitizer.
std::string outcome_of(const std::string& input, size_t len, uint32_t input_kind, uint32_t result_kind,
                       const char* schema = kSchema) {
  std::unique_ptr<char[]> exact(new char[len ? len : 1]);
  std::memcpy(exact.get(), input.data(), len);
  char* text = quelta_validate_outcome(exact.get(), len, schema, input_kind, result_kind);
  std::string out = "!";
  if (!text) return out.append(error_text());
  out.assign(text);
  quelta_outcome_free(text);
  return out;
}

struct Case {
  const char* what;
  std::string input;
  size_t len;  // npos: the whole input
  uint32_t input_kind;
  std::string all_valid, invalid_rows;  // result kinds 0 and 1
};

TEST(Outcome, MemoryInputs) {
  const std::string bob =
      R"({"values":["bob","x"],"errors":[{"column":1,"column_name":"age","rule":"bad_type","value":"x"}]})";
  const std::string blank =
      R"({"values":[""," "],"errors":[{"column":0,"column_name":"name","rule":"missing_required","value":""}]})";
  const std::string npos_marker;
  const Case cases[] = {
      {"header only", "name,age\n", std::string::npos, kCsv, "true", "[]"},
      {"all valid", "name,age\nann,1\r\nbob,+2", std::string::npos, kCsv, "true", "[]"},
      {"one invalid", "name,age\nann,1\nbob,x\n", std::string::npos, kCsv, "false", "[" + bob + "]"},
      {"field count", "name,age\nsolo\nbob,x,z\n", std::string::npos, kCsv, "false",
       R"([{"values":["solo"],"errors":[{"column":null,"column_name":"","rule":"too_few_fields","value":""}]},)"
       R"({"values":["bob","x","z"],"errors":[{"column":null,"column_name":"","rule":"too_many_fields","value":""},)"
       R"({"column":1,"column_name":"age","rule":"bad_type","value":"x"}]}])"},
      {"escapes", "name,age\n\"q\"\"\x01\",\xC3\xA9\n", std::string::npos, kCsv, "false",
       R"([{"values":["q\"\u0001","é"],"errors":[{"column":1,"column_name":"age","rule":"bad_type","value":"é"}]}])"},
      // Only input_len bytes count: what follows would be an invalid row or a
      // malformed one.
      {"longer buffer", "name,age\nann,1\nbob,x\n", 15, kCsv, "true", "[]"},
      {"cut inside a row", "name,age\nann,1\"zzz\n", 14, kCsv, "true", "[]"},
      {"early stop", "name,age\nbob,x\n\"open,1\n", std::string::npos, kCsv, "false",
       "!validate failed: UnterminatedQuote"},
      {"utf8 after the first invalid row", "name,age\nbob,x\n\xFF,1\n", std::string::npos, kCsv, "false",
       "!validate failed: InvalidUtf8"},
      {"utf8 in a valid row", "name,age\n\xC3\x28,1\nbob,x\n", std::string::npos, kCsv,
       "!validate failed: InvalidUtf8", "!validate failed: InvalidUtf8"},
      {"utf8 in the header", "name,age,\xFF\n", std::string::npos, kCsv, "!validate failed: InvalidUtf8",
       "!validate failed: InvalidUtf8"},
      {"empty csv", "name", 0, kCsv, "!validate failed: EmptyFile", "!validate failed: EmptyFile"},
      {"json lines", "{\"name\":\"bob\",\"age\":\"x\"}\n{\"age\":\" \"}\n{\"name\":\"ok\"}",
       std::string::npos, kJson, "false", "[" + bob + "," + blank + "]"},
      {"json array", "[{\"name\":\"ok\",\"age\":1},{\"name\":\"bob\",\"age\":\"x\"}]", std::string::npos,
       kJson, "false", "[" + bob + "]"},
      {"json cut", "{\"name\":\"ok\",\"age\":1}\n{\"name\":", 22, kJson, "true", "[]"},
      {"json malformed", "{\"name\":\"ok\",\"age\":1}\n{\"name\":", std::string::npos, kJson,
       "!validate failed: InvalidJson", "!validate failed: InvalidJson"},
      {"empty json", "", 0, kJson, "!validate failed: EmptyFile", "!validate failed: EmptyFile"},
  };
  for (const Case& c : cases) {
    const size_t len = c.len == std::string::npos ? c.input.size() : c.len;
    EXPECT_EQ(outcome_of(c.input, len, c.input_kind, 0), c.all_valid) << c.what;
    EXPECT_EQ(outcome_of(c.input, len, c.input_kind, 1), c.invalid_rows) << c.what;
  }
}

TEST(Outcome, Paths) {
  TempDir dir;
  const std::string csv = dir.write("in.csv", "name,age\nann,1\nbob,x\n");
  const std::string jsonl = dir.write("in.jsonl", "{\"name\":\"bob\",\"age\":\"x\"}\n");
  const std::string bob =
      R"([{"values":["bob","x"],"errors":[{"column":1,"column_name":"age","rule":"bad_type","value":"x"}]}])";
  // The path needs no terminator: what follows input_len is not part of it.
  EXPECT_EQ(outcome_of(csv + ".gone", csv.size(), kPath, 1), bob);
  EXPECT_EQ(outcome_of(jsonl + "x", jsonl.size(), kPath, 1), bob);
  EXPECT_EQ(outcome_of(csv, csv.size(), kPath, 0), "false");
  EXPECT_EQ(outcome_of(csv, 0, kPath, 0), "!validate failed: FileNotFound");
  // A NUL inside the path would silently name another file.
  EXPECT_EQ(outcome_of(csv + std::string(1, '\0') + "x", csv.size() + 2, kPath, 0),
            "!validate failed: BadPathName");
  EXPECT_EQ(outcome_of(csv, csv.size(), kPath, 0, "{\"nope\":{}}"), "!validate failed: UnknownColumn");
  EXPECT_EQ(outcome_of(csv, csv.size(), kPath, 0, "{"), "!validate failed: BadSchema");
}

TEST(Outcome, ArgumentsAreCheckedBeforeAnythingIsOpened) {
  const std::string missing = "/no/such/file.csv";
  EXPECT_EQ(outcome_of(missing, missing.size(), 3, 0), "!invalid validation options");
  EXPECT_EQ(outcome_of(missing, missing.size(), kPath, 2), "!invalid validation options");
  EXPECT_EQ(outcome_of("", 0, kCsv, 7), "!invalid validation options");
  EXPECT_EQ(quelta_validate_outcome(nullptr, 0, kSchema, kCsv, 0), nullptr);
  EXPECT_EQ(error_text(), "input is null");
  EXPECT_EQ(quelta_validate_outcome(missing.c_str(), missing.size(), nullptr, 3, 0), nullptr);
  EXPECT_EQ(error_text(), "schema is null");
  quelta_outcome_free(nullptr);
  char* ok = quelta_validate_outcome("a\n", 2, "{}", kCsv, 0);
  ASSERT_NE(ok, nullptr);
  EXPECT_STREQ(ok, "true");
  EXPECT_EQ(quelta_last_error(), nullptr);
  quelta_outcome_free(ok);
}

TEST(Outcome, AllocationFailures) {
  TempDir dir;
  std::string csv = "name,age\nann,1\n";
  csv.append(std::string(300000, 'l')).append(",x,y\n,\nbob,x\n");
  std::string jsonl = "{\"name\":\"a\",\"age\":1}\n{\"name\":\"";
  jsonl.append(std::string(300000, 'l')).append("\",\"age\":\"q\"}\n{\"age\":2}\n");
  const std::string path = dir.write("in.csv", csv);
  const std::set<std::string> allowed = {"validate failed: OutOfMemory", "validate failed: BadSchema",
                                         "out of memory"};
  struct Input {
    const std::string* text;
    uint32_t kind;
  };
  std::set<std::string> seen;
  for (const Input& in : {Input{&path, kPath}, Input{&csv, kCsv}, Input{&jsonl, kJson}}) {
    for (uint32_t result : {0u, 1u}) {
      const std::string want = outcome_of(*in.text, in.text->size(), in.kind, result);
      ASSERT_NE(want[0], '!') << want;
      sweep_allocation_failures([&] {
        std::string got = outcome_of(*in.text, in.text->size(), in.kind, result);
        if (got[0] != '!') {
          EXPECT_EQ(got, want);
          return false;
        }
        seen.insert(got.substr(1));
        EXPECT_TRUE(allowed.count(got.substr(1))) << got;
        return true;
      });
    }
  }
  EXPECT_EQ(seen, allowed);
}

}  // namespace
}  // namespace quelta::test
