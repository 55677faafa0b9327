// quelta_validate_to_files through the header: the exact bytes of both outputs,
// outputs that are never overwritten, every failure removing both outputs and
// leaving stats at zero, write failures (through the platform's switch and a
// real one from the kernel) and allocation failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <set>
#include <string>

#include "api/validation_output_support.h"
#include "platform/file.h"
#include "quelta.h"
#include "support/fault.h"
#include "support/temp_dir.h"

// Beside the caller record, where the test macros look for them.
static bool operator==(const ValidationStats& a, const ValidationStats& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
[[maybe_unused]] static std::ostream& operator<<(std::ostream& os, const ValidationStats& s) {
  return os << s.rows_total << "/" << s.rows_valid << "/" << s.rows_invalid << "/" << s.errors_total;
}

namespace quelta::test {
namespace {

constexpr const char* kSchema = R"({"name":{"required":true},"age":{"type":"integer"}})";

const ValidationStats kZero{};
constexpr ValidationStats kJunk{7, 7, 7, 7};

class ValidateFiles : public ::testing::Test {
 protected:
  std::string at(const char* name) const { return (dir.path() / name).string(); }
  // Runs into valid.csv and bad.jsonl of the test folder.
  int32_t run(const std::string& input, ValidationStats* stats, const char* schema = kSchema) {
    *stats = kJunk;
    return quelta_validate_to_files(input.c_str(), schema, valid.c_str(), invalid.c_str(), stats);
  }
  // A failed run: its message, zeroed stats, and no output left.
  void expect_failure(const std::string& input, const std::string& message, const char* schema = kSchema) {
    ValidationStats stats;
    EXPECT_EQ(run(input, &stats, schema), -1);
    EXPECT_EQ(error_text(), message);
    EXPECT_EQ(stats, kZero);
    EXPECT_FALSE(std::filesystem::exists(valid)) << message;
    EXPECT_FALSE(std::filesystem::exists(invalid)) << message;
  }

  TempDir dir;
  std::string valid = at("valid.csv");
  std::string invalid = at("bad.jsonl");
};

TEST_F(ValidateFiles, OutputBytes) {
  struct Case {
    const char* name;
    std::string input;
    const char* schema;
    std::string valid, invalid;
    ValidationStats stats;
  };
  const Case cases[] = {
      {"header.csv", "name,age\n", kSchema, "name,age\r\n", "", {0, 0, 0, 0}},
      {"quoting.csv",
       "name,age\n\"a,b\",1\n\"say \"\"hi\"\"\",2\n\"cr\rx\",4\n\xC3\xA9 y,5\n",
       kSchema,
       "name,age\r\n\"a,b\",1\r\n\"say \"\"hi\"\"\",2\r\n\"cr\rx\",4\r\n\xC3\xA9 y,5\r\n",
       "",
       {4, 4, 0, 0}},
      {"lone.csv",
       "v\n\"\"\n\nx\n",
       "{}",
       "v\r\n\"\"\r\n\"\"\r\n"
       "x\r\n",
       "",
       {3, 3, 0, 0}},
      {"escapes.csv",
       "name,age\nok,1\n\"q\"\"x\ty\x01\",z\nsolo\n,\n",
       kSchema,
       "name,age\r\nok,1\r\n",
       R"({"values":["q\"x\ty\u0001","z"],"errors":[{"row":2,"column":1,"column_name":"age","rule":"bad_type","value":"z"}]})"
       "\n"
       R"({"values":["solo"],"errors":[{"row":3,"column":null,"column_name":"","rule":"too_few_fields","value":""}]})"
       "\n"
       R"({"values":["",""],"errors":[{"row":4,"column":0,"column_name":"name","rule":"missing_required","value":""}]})"
       "\n",
       {4, 1, 3, 3}},
      // Fields past the short-text path in an invalid row: non-ASCII text stays text.
      {"long.csv",
       "name,age\n\xC3\xA9t\xC3\xA9 and a name well beyond thirty-two bytes,x\n",
       kSchema,
       "name,age\r\n",
       "{\"values\":[\"\xC3\xA9t\xC3\xA9 and a name well beyond thirty-two "
       "bytes\",\"x\"],\"errors\":[{\"row\":1,"
       "\"column\":1,\"column_name\":\"age\",\"rule\":\"bad_type\",\"value\":\"x\"}]}\n",
       {1, 0, 1, 1}},
      // Only JSON text holds line breaks inside a field.
      {"rows.jsonl",
       "{\"name\":\"a,b\",\"age\":1}\n{\"name\":\" "
       "\",\"age\":\"x\"}\n{\"name\":\"two\\nli\\r\\\"nes\\\"\",\"age\":2}\n",
       kSchema,
       "name,age\r\n\"a,b\",1\r\n\"two\nli\r\"\"nes\"\"\",2\r\n",
       R"({"values":[" ","x"],"errors":[{"row":2,"column":0,"column_name":"name","rule":"missing_required","value":" "},{"row":2,"column":1,"column_name":"age","rule":"bad_type","value":"x"}]})"
       "\n",
       {3, 2, 1, 2}},
  };
  for (const Case& c : cases) {
    ValidationStats stats;
    ASSERT_EQ(run(dir.write(c.name, c.input), &stats, c.schema), 0) << c.name << ": " << error_text();
    EXPECT_EQ(quelta_last_error(), nullptr);
    EXPECT_EQ(file_bytes(valid), c.valid) << c.name;
    EXPECT_EQ(file_bytes(invalid), c.invalid) << c.name;
    EXPECT_EQ(stats, c.stats) << c.name;
    std::filesystem::remove(valid);
    std::filesystem::remove(invalid);
  }
}

TEST_F(ValidateFiles, BothOutputsAtOnePath) {
  const std::string input = dir.write("in.csv", "name,age\nann,1\nbob,x\n");
  ValidationStats stats = kJunk;
  // The first output is created, the second finds it there; the call removes
  // the file it made.
  EXPECT_EQ(quelta_validate_to_files(input.c_str(), kSchema, valid.c_str(), valid.c_str(), &stats), -1);
  EXPECT_EQ(error_text(), "validate_to_files failed: PathAlreadyExists");
  EXPECT_EQ(stats, kZero);
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.csv"}));
}

TEST_F(ValidateFiles, FilesFoundAtTheOutputPathsStayUntouched) {
  const std::string input = dir.write("in.csv", "name,age\nann,1\nbob,x\n");
  for (bool second : {false, true}) {
    const std::string& taken = second ? invalid : valid;
    const std::string& other = second ? valid : invalid;
    dir.write(second ? "bad.jsonl" : "valid.csv", "keep me");
    ValidationStats stats;
    EXPECT_EQ(run(input, &stats), -1);
    EXPECT_EQ(error_text(), "validate_to_files failed: PathAlreadyExists");
    EXPECT_EQ(stats, kZero);
    EXPECT_EQ(file_bytes(taken), "keep me");
    EXPECT_FALSE(std::filesystem::exists(other));
    // The first run's outputs survive a second run onto them.
    std::filesystem::remove(taken);
    ASSERT_EQ(run(input, &stats), 0);
    const std::string v = file_bytes(valid), i = file_bytes(invalid);
    EXPECT_EQ(run(input, &stats), -1);
    EXPECT_EQ(error_text(), "validate_to_files failed: PathAlreadyExists");
    EXPECT_EQ(stats, kZero);
    EXPECT_EQ(file_bytes(valid), v);
    EXPECT_EQ(file_bytes(invalid), i);
    std::filesystem::remove(valid);
    std::filesystem::remove(invalid);
  }
}

TEST_F(ValidateFiles, FailuresRemoveBothOutputs) {
  // Enough rows before the failure that both writers have already flushed.
  std::string rows = "name,age\n";
  for (int i = 0; i < 8000; ++i) rows.append("row").append(std::to_string(i)).append(i % 3 ? ",1\n" : ",x\n");
  struct Case {
    const char* name;
    std::string input;
    const char* message;
  };
  const Case cases[] = {
      {"utf8_valid_row.csv", rows + "\xC3\x28,1\n", "validate_to_files failed: InvalidUtf8"},
      {"utf8_invalid_row.csv", rows + "ok,\xED\xA0\x80\n", "validate_to_files failed: InvalidUtf8"},
      {"utf8_header.csv", "name,age,\xFF\nann,1,2\n", "validate_to_files failed: InvalidUtf8"},
      {"utf8_long_invalid_row.csv", rows + std::string(40, 'n') + "\xC3\x28,x\n",
       "validate_to_files failed: InvalidUtf8"},
      {"utf8_last_field.csv", rows + "ok,x,\xE2\x82\n", "validate_to_files failed: InvalidUtf8"},
      {"quote.csv", rows + "\"open,1\n", "validate_to_files failed: UnterminatedQuote"},
      {"json.jsonl", "{\"name\":\"a\",\"age\":1}\n{\"name\":\n", "validate_to_files failed: InvalidJson"},
      {"empty.csv", "", "validate_to_files failed: EmptyFile"},
  };
  for (const Case& c : cases) expect_failure(dir.write(c.name, c.input), c.message);
  const std::string input = dir.write("in.csv", "name,age\nann,1\n");
  expect_failure(at("none.csv"), "validate_to_files failed: FileNotFound");
  expect_failure(input, "validate_to_files failed: BadSchema", "[]");
  expect_failure(input, "validate_to_files failed: UnknownColumn", "{\"x\":{}}");
  ValidationStats stats = kJunk;
  EXPECT_EQ(quelta_validate_to_files(input.c_str(), kSchema, at("no/such/dir.csv").c_str(), invalid.c_str(),
                                     &stats),
            -1);
  EXPECT_EQ(error_text(), "validate_to_files failed: FileNotFound");
  EXPECT_EQ(entries(dir.path()).count("bad.jsonl"), 0u);
}

TEST_F(ValidateFiles, NullArguments) {
  const std::string input = dir.write("in.csv", "name,age\nann,1\n");
  const char* in = input.c_str();
  const char* v = valid.c_str();
  const char* i = invalid.c_str();
  const char* const args[4][4] = {
      {nullptr, kSchema, v, i}, {in, nullptr, v, i}, {in, kSchema, nullptr, i}, {in, kSchema, v, nullptr}};
  for (const auto& a : args) {
    ValidationStats stats = kJunk;
    EXPECT_EQ(quelta_validate_to_files(a[0], a[1], a[2], a[3], &stats), -1);
    EXPECT_EQ(error_text(), "validate_to_files requires input, schema, two outputs and stats");
    EXPECT_EQ(stats, kZero);
  }
  EXPECT_EQ(quelta_validate_to_files(in, kSchema, v, i, nullptr), -1);
  EXPECT_EQ(error_text(), "validate_to_files requires input, schema, two outputs and stats");
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.csv"}));
}

// An input whose valid output takes several buffers and whose invalid output
// takes more than one.
std::string large_input() {
  std::string text = "name,age\n";
  for (int i = 0; i < 20000; ++i)
    text.append("name number ").append(std::to_string(i)).append(i % 4 ? ",1\n" : ",x\n");
  return text;
}

TEST_F(ValidateFiles, WriteFailuresAreReported) {
  const std::string input = dir.write("in.csv", large_input());
  ValidationStats clean;
  ASSERT_EQ(run(input, &clean), 0);
  const std::string want_valid = file_bytes(valid), want_invalid = file_bytes(invalid);
  ASSERT_GT(want_valid.size(), 3u * 65536);
  ASSERT_GT(want_invalid.size(), 65536u);
  std::filesystem::remove(valid);
  std::filesystem::remove(invalid);
  uint64_t n = 1;
  for (; n < 100; ++n) {
    platform::file_fail_write_at(n, Error::NoSpaceLeft);
    ValidationStats stats;
    int32_t r = run(input, &stats);
    platform::file_fail_write_at(0, Error::None);
    if (r == 0) break;
    EXPECT_EQ(error_text(), "validate_to_files failed: NoSpaceLeft");
    EXPECT_EQ(stats, kZero);
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.csv"})) << "write " << n;
  }
  EXPECT_GE(n, 7u);  // at least four buffers of valid rows, two of invalid ones, and a last one
  EXPECT_EQ(file_bytes(valid), want_valid);
  EXPECT_EQ(file_bytes(invalid), want_invalid);
}

// A real write failure from the kernel: the process's file size limit, which
// an unprivileged process may lower and raise again.
TEST_F(ValidateFiles, FileSizeLimitOfTheProcess) {
  const std::string input = dir.write("in.csv", large_input());
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  if (old.rlim_max != RLIM_INFINITY && old.rlim_max < 100000) GTEST_SKIP() << "file size limit already low";
  struct rlimit low = old;
  low.rlim_cur = 100000;
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  ValidationStats stats;
  int32_t r = run(input, &stats);
  std::string message = error_text();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(message, "validate_to_files failed: FileTooBig");
  EXPECT_EQ(stats, kZero);
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.csv"}));
}

TEST_F(ValidateFiles, AllocationFailures) {
  // A record across the first read chunk and more breaches than the error
  // list's first block, in CSV and in JSON lines.
  std::string csv = "name,age\nann,1\n";
  csv.append(std::string(300000, 'l')).append(",x,y,z,w\n,q\nbob,2\n");
  std::string jsonl = "{\"name\":\"a\",\"age\":1}\n{\"name\":\"";
  jsonl.append(std::string(300000, 'l')).append("\",\"age\":\"q\"}\n{\"age\":2}\n");
  const std::set<std::string> allowed = {"validate_to_files failed: OutOfMemory",
                                         "validate_to_files failed: BadSchema"};
  for (const std::string& input : {dir.write("in.csv", csv), dir.write("in.jsonl", jsonl)}) {
    ValidationStats clean;
    ASSERT_EQ(run(input, &clean), 0);
    const std::string want_valid = file_bytes(valid), want_invalid = file_bytes(invalid);
    std::filesystem::remove(valid);
    std::filesystem::remove(invalid);
    std::set<std::string> seen;
    sweep_allocation_failures([&] {
      ValidationStats stats;
      int32_t r = run(input, &stats);
      if (r == 0) {
        EXPECT_EQ(stats, clean);
        EXPECT_EQ(file_bytes(valid), want_valid);
        EXPECT_EQ(file_bytes(invalid), want_invalid);
        std::filesystem::remove(valid);
        std::filesystem::remove(invalid);
        return false;
      }
      seen.insert(error_text());
      EXPECT_TRUE(allowed.count(error_text())) << error_text();
      EXPECT_EQ(stats, kZero);
      EXPECT_FALSE(std::filesystem::exists(valid));
      EXPECT_FALSE(std::filesystem::exists(invalid));
      return true;
    });
    EXPECT_TRUE(seen.count("validate_to_files failed: OutOfMemory"));
  }
}

}  // namespace
}  // namespace quelta::test
