// quelta_open through the public header: failure messages, the choice of
// format by file name, the last-error slot, and the column directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/scanner_test_support.h"
#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

class ScannerOpen : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(ScannerOpen, NullPath) {
  EXPECT_EQ(quelta_open(nullptr, nullptr), nullptr);
  EXPECT_EQ(last_error(), "path is null");
}

struct OpenFailureCase {
  const char* name;
  const char* bytes;  // null: nothing is created under name
  bool make_dir;
  const char* message;
};

TEST_F(ScannerOpen, FailuresNameTheirCondition) {
  const OpenFailureCase cases[] = {
      {"missing.csv", nullptr, false, "open failed: FileNotFound"},
      {"missing.jsonl", nullptr, false, "open failed: FileNotFound"},
      {"folder.csv", nullptr, true, "open failed: IsDir"},
      {"folder.json", nullptr, true, "open failed: IsDir"},
      {"empty.csv", "", false, "open failed: EmptyFile"},
      {"empty.json", "", false, "open failed: EmptyFile"},
      {"empty.ndjson", "", false, "open failed: EmptyFile"},
      {"quote.csv", "id,\"name\n1,2\n", false, "open failed: UnterminatedQuote"},
      {"csv.json", "a,b\n1,2\n", false, "open failed: InvalidJson"},
      {"blank-first.jsonl", "\n{\"a\":1}\n", false, "open failed: InvalidJson"},
      {"no-objects.json", "[]", false, "open failed: EmptyFile"},
      {"open-object.json", "[{\"a\":1", false, "open failed: InvalidJson"},
  };
  for (const auto& c : cases) {
    std::string path = (dir.path() / c.name).string();
    if (c.make_dir) std::filesystem::create_directory(path);
    if (c.bytes) dir.write(c.name, c.bytes);
    EXPECT_EQ(quelta_open(path.c_str(), nullptr), nullptr) << c.name;
    EXPECT_EQ(last_error(), c.message) << c.name;
  }
}

// A file that reads as columns a,b in JSON and as `{"a":1`, b in CSV.
constexpr const char* kAmbiguous = "{\"a\":1,\"b\":2}\n";

TEST_F(ScannerOpen, FormatFollowsTheNameSuffix) {
  const struct {
    const char* name;
    bool json;
  } cases[] = {
      {"x.ndjson", true},
      {"x.jsonl", true},
      {"x.json", true},
      {"x.csv", false},
      {"x.JSON", false},
      {"x.Jsonl", false},
      {"x.json.gz", true},
      {"x.txt", false},
      {"x.ndjson ", false},
      {"x.NDJSON", false},
      {"x.jsonl.bak", false},
      {"json", false},
      // A compression suffix is looked through (one of them, as written); the
      // bytes themselves tell whether the file is compressed.
      {"x.jsonl.zst", true},
      {"x.ndjson.bz2", true},
      {"x.json.xz", true},
      {"x.jsonl.zip", true},
      {"x.csv.gz", false},
      {"x.json.GZ", false},
      {"x.json.gz.gz", false},
      {".gz", false},
  };
  for (const auto& c : cases) {
    ScannerHandle s = open_scanner(dir.write(c.name, kAmbiguous));
    ASSERT_TRUE(s) << c.name;
    EXPECT_STREQ(quelta_column_name(s.get(), 0), c.json ? "a" : "{\"a\":1") << c.name;
    // As CSV, the bytes after the closing quote of "b" stay in the field.
    EXPECT_STREQ(quelta_column_name(s.get(), 1), c.json ? "b" : "b:2}") << c.name;
  }
}

// Runs in the temp dir so that the path can be exactly ".json" or "json".
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& p) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(p);
  }
  ~CurrentDirectory() {
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
  }

 private:
  std::filesystem::path saved_;
};

TEST_F(ScannerOpen, BareSuffixAsWholeRelativePath) {
  dir.write(".json", kAmbiguous);
  dir.write("json", kAmbiguous);
  {
    ScannerHandle abs = open_scanner((dir.path() / ".json").string());
    ASSERT_TRUE(abs);
    EXPECT_STREQ(quelta_column_name(abs.get(), 0), "a");
  }
  CurrentDirectory here(dir.path());
  ScannerHandle json = open_scanner(".json");
  ScannerHandle csv = open_scanner("json");
  ASSERT_TRUE(json && csv);
  EXPECT_STREQ(quelta_column_name(json.get(), 0), "a");
  EXPECT_STREQ(quelta_column_name(csv.get(), 0), "{\"a\":1");
}

TEST_F(ScannerOpen, SuccessClearsTheLastError) {
  std::string good = dir.write("t.csv", "a\n1\n");
  EXPECT_EQ(quelta_open((dir.path() / "nope.csv").c_str(), nullptr), nullptr);
  ASSERT_NE(quelta_last_error(), nullptr);
  ScannerHandle s(quelta_open(good.c_str(), nullptr));
  ASSERT_TRUE(s);
  EXPECT_EQ(quelta_last_error(), nullptr);
}

TEST_F(ScannerOpen, AccessorsLeaveTheLastErrorAlone) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a,b\n1,2\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(quelta_open(nullptr, nullptr), nullptr);
  const char* before = quelta_last_error();
  EXPECT_EQ(quelta_n_columns(s.get()), 2u);
  EXPECT_STREQ(quelta_column_name(s.get(), 1), "b");
  EXPECT_EQ(quelta_column_name(s.get(), 2), nullptr);
  EXPECT_EQ(quelta_column_index(s.get(), "b"), 1);
  EXPECT_EQ(quelta_column_index(s.get(), "zz"), -1);
  EXPECT_EQ(quelta_column_index(nullptr, "a"), -1);
  EXPECT_EQ(quelta_n_columns(nullptr), 0u);
  EXPECT_EQ(quelta_batch_json(nullptr, nullptr), nullptr);
  quelta_batch_free(nullptr);
  quelta_close(nullptr);
  EXPECT_EQ(quelta_last_error(), before);
  EXPECT_EQ(last_error(), "path is null");
}

class ScannerColumns : public ScannerOpen {};

TEST_F(ScannerColumns, CsvHeaderNamesAndLookup) {
  ScannerHandle s = open_scanner(dir.write("t.csv", "a,b,a,,A, b,\"x,y\"\r\n1\n"));
  ASSERT_TRUE(s);
  Scanner* sc = s.get();
  const std::vector<std::string> names = {"a", "b", "a", "", "A", " b", "x,y"};
  ASSERT_EQ(quelta_n_columns(sc), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const char* got = quelta_column_name(sc, i);
    ASSERT_NE(got, nullptr) << i;
    EXPECT_EQ(got, names[i]) << i;
  }
  EXPECT_EQ(quelta_column_name(sc, names.size()), nullptr);
  EXPECT_EQ(quelta_column_name(sc, SIZE_MAX), nullptr);
  EXPECT_EQ(quelta_column_index(sc, "a"), 0);  // first of the duplicates
  EXPECT_EQ(quelta_column_index(sc, "b"), 1);
  EXPECT_EQ(quelta_column_index(sc, ""), 3);
  EXPECT_EQ(quelta_column_index(sc, "A"), 4);  // case-sensitive
  EXPECT_EQ(quelta_column_index(sc, " b"), 5);
  EXPECT_EQ(quelta_column_index(sc, "b "), -1);  // no trimming
  EXPECT_EQ(quelta_column_index(sc, "x,y"), 6);
  EXPECT_EQ(quelta_column_index(sc, "x"), -1);
  EXPECT_EQ(quelta_column_index(sc, nullptr), -1);
  EXPECT_EQ(quelta_column_name(nullptr, 0), nullptr);
}

TEST_F(ScannerColumns, HeaderShapes) {
  const struct {
    const char* bytes;
    std::vector<std::string> names;
  } cases[] = {
      {"a,b,\n1\n", {"a", "b", ""}},            // a trailing delimiter names an empty column
      {"\xEF\xBB\xBFid,v\n", {"id", "v"}},      // the byte-order mark is skipped
      {"\xEF\xBB\xBF\"id\",v\n", {"id", "v"}},  // also before a quoted first name
      {"\xEF\xBB\xBF\n", {""}},                 // and before an empty first line
      {"\nx\n", {""}},                          // an empty first line is one unnamed column
      {"\"a\"\"b\",\"\"\n", {"a\"b", ""}},
  };
  for (const auto& c : cases) {
    ScannerHandle s = open_scanner(dir.write("t.csv", c.bytes));
    ASSERT_TRUE(s);
    ASSERT_EQ(quelta_n_columns(s.get()), c.names.size()) << c.bytes;
    for (size_t i = 0; i < c.names.size(); ++i) {
      const char* got = quelta_column_name(s.get(), i);
      ASSERT_NE(got, nullptr) << c.bytes << " " << i;
      EXPECT_EQ(got, c.names[i]) << c.bytes << " " << i;
    }
  }
}

TEST_F(ScannerColumns, JsonDirectoryComesFromTheFirstObject) {
  ScannerHandle s = open_scanner(
      dir.write("t.jsonl", "{\"id\":1,\"caf\\u00e9\":\"x\",\"id\":2}\n{\"id\":3,\"extra\":4}\n"));
  ASSERT_TRUE(s);
  ASSERT_EQ(quelta_n_columns(s.get()), 3u);
  EXPECT_STREQ(quelta_column_name(s.get(), 0), "id");
  EXPECT_STREQ(quelta_column_name(s.get(), 1), "caf\xC3\xA9");
  EXPECT_STREQ(quelta_column_name(s.get(), 2), "id");
  EXPECT_EQ(quelta_column_index(s.get(), "id"), 0);
  EXPECT_EQ(quelta_column_index(s.get(), "extra"), -1);
}

TEST_F(ScannerColumns, JsonObjectWithoutMembersHasNoColumns) {
  ScannerHandle s = open_scanner(dir.write("t.json", "[{}, {}]"));
  ASSERT_TRUE(s);
  EXPECT_EQ(quelta_n_columns(s.get()), 0u);
  EXPECT_EQ(quelta_column_name(s.get(), 0), nullptr);
  EXPECT_EQ(drain(s.get()), (Rows{{}, {}}));
}

}  // namespace
}  // namespace quelta::test
