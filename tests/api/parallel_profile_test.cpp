// The profile and inferred schema on several threads against the one-pass
// exports, which are their oracle: the same text for every input, option and
// thread count, and the same failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

std::string take(char* text) {
  if (!text) {
    const char* m = quelta_last_error();
    return std::string("error: ") + (m ? m : "<none>");
  }
  std::string s = text;
  quelta_profile_free(text);
  return s;
}

// Rows of every kind the profile tells apart, over well more than the ring of
// blocks the reading thread fills: integers, decimals, blanks, dates, booleans,
// few and many distinct texts, and quoted fields (some with "" and line breaks,
// which are copied field by field).
std::string mixed_csv(size_t rows) {
  std::string s = "id,price,when,flag,city,note\n";
  uint64_t x = 88172645463325252ull;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  for (size_t r = 0; r < rows; ++r) {
    const uint64_t v = next();
    s += std::to_string(r) + ",";
    if (v % 11 != 0) s += std::to_string(v % 100000) + "." + std::to_string(v % 97);
    s += ",2024-0" + std::to_string(1 + v % 9) + "-1" + std::to_string(v % 10) + ",";
    s += v % 3 ? "true," : "FALSE,";
    s += "city" + std::to_string(v % 13) + ",";
    switch (v % 7) {
      case 0:
        s += "\"say \"\"hi\"\"\"";
        break;
      case 1:
        s += "\"two\nlines, one field\"";
        break;
      case 2:
        break;
      default:
        s += "n" + std::to_string(v);
    }
    s += "\n";
  }
  return s;
}

std::string jsonl(size_t rows) {
  std::string s;
  for (size_t r = 0; r < rows; ++r)
    s += "{\"id\":" + std::to_string(r) + ",\"name\":\"x" + std::to_string(r % 1500) +
         "\",\"v\":" + std::to_string(r * 0.25) + (r % 5 ? "" : ",\"extra\":true") + "}\n";
  return s;
}

// Wider than a block holds fields: every block is then one row.
std::string wide_csv(size_t columns, size_t rows) {
  std::string s;
  for (size_t c = 0; c < columns; ++c) s += (c ? ",c" : "c") + std::to_string(c);
  s += "\n";
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns; ++c) s += (c ? "," : "") + std::to_string(r * c % 7);
    s += "\n";
  }
  return s;
}

ScanOptions every_row() {
  ScanOptions o{};
  o.limit = -1;
  o.max_column = -1;
  return o;
}

TEST(ParallelProfile, SameTextAsOnePass) {
  TempDir dir;
  const std::string mixed = dir.write("mixed.csv", mixed_csv(30000));
  const std::string lines = dir.write("rows.jsonl", jsonl(20000));
  const std::string wide = dir.write("wide.csv", wide_csv(9000, 4));
  const std::string ragged = dir.write("ragged.csv", "a,b,c\n1,2,3\n4\n5,6,7,8,9\n\n10,,\n");
  const std::string header_only = dir.write("header.csv", "a,b\n");

  const ScanOptions all = every_row();
  const size_t reordered_columns[] = {4, 0, 5};
  ScanOptions reordered = every_row();
  reordered.projection = reordered_columns;
  reordered.n_projection = 3;
  Predicate cheap{};
  cheap.column = 1;
  cheap.op = QUELTA_OP_LT;
  cheap.value = "20000";
  ScanOptions filtered = every_row();
  filtered.predicates = &cheap;
  filtered.n_predicates = 1;
  ScanOptions rejected = filtered;
  rejected.negate = 1;
  ScanOptions limited = every_row();
  limited.limit = 4321;
  ReadOptions rfc{};
  rfc.size = sizeof rfc;
  rfc.quoting = QUELTA_QUOTING_RFC4180;
  ReadOptions semicolons = rfc;
  semicolons.delimiter = ';';

  struct Case {
    const char* name;
    const std::string& path;
    const ScanOptions* options;
    const ReadOptions* read;
  };
  const Case cases[] = {
      {"mixed", mixed, nullptr, &rfc},
      {"projection out of order", mixed, &reordered, &rfc},
      {"predicate", mixed, &filtered, &rfc},
      {"negated predicate", mixed, &rejected, &rfc},
      {"limit", mixed, &limited, &rfc},
      {"one column when split at ';'", mixed, nullptr, &semicolons},
      {"json lines", lines, &all, nullptr},
      {"wider than a block", wide, nullptr, nullptr},
      {"ragged rows", ragged, nullptr, nullptr},
      {"header only", header_only, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string one = take(quelta_profile_with(c.path.c_str(), c.options, c.read));
    const std::string schema = take(quelta_infer_schema_with(c.path.c_str(), c.options, c.read));
    ASSERT_EQ(one.rfind("error", 0), std::string::npos) << one;
    for (size_t threads : {0, 2, 3, 1000}) {
      SCOPED_TRACE(threads);
      EXPECT_EQ(take(quelta_parallel_profile(c.path.c_str(), c.options, c.read, threads)), one);
      EXPECT_EQ(take(quelta_parallel_infer_schema(c.path.c_str(), c.options, c.read, threads)), schema);
    }
  }
}

TEST(ParallelProfile, FailsAsOnePassAndCarriesOnWithoutThreads) {
  TempDir dir;
  // The broken row comes after many blocks have gone to the other threads.
  const std::string broken = dir.write("broken.csv", mixed_csv(40000) + "1,\"open\n");
  ReadOptions bad_read{};
  bad_read.size = 1;
  ReadOptions rfc{};
  rfc.size = sizeof rfc;
  rfc.quoting = QUELTA_QUOTING_RFC4180;
  struct Case {
    const char* name;
    const char* path;
    const ReadOptions* read;
  };
  const Case cases[] = {
      {"null path", nullptr, nullptr},
      {"missing file", "/nonexistent/x.csv", nullptr},
      {"bad read options", broken.c_str(), &bad_read},
      {"broken row", broken.c_str(), &rfc},
      {"a quote across a line end, read by line", broken.c_str(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string one = take(quelta_profile_with(c.path, nullptr, c.read));
    ASSERT_EQ(one.rfind("error: ", 0), 0u) << one;
    const std::string schema = take(quelta_infer_schema_with(c.path, nullptr, c.read));
    EXPECT_EQ(take(quelta_parallel_profile(c.path, nullptr, c.read, 2)), one);
    EXPECT_EQ(take(quelta_parallel_infer_schema(c.path, nullptr, c.read, 4)), schema);
  }

  // Threads the system refuses leave their share to the others.
  const std::string good = dir.write("good.csv", mixed_csv(30000));
  const std::string one = take(quelta_profile_with(good.c_str(), nullptr, &rfc));
  for (uint64_t refused : {1, 2, 3}) {
    SCOPED_TRACE(refused);
    platform::thread_fail_at(refused);
    EXPECT_EQ(take(quelta_parallel_profile(good.c_str(), nullptr, &rfc, 4)), one);
    platform::thread_fail_at(0);
  }
}

}  // namespace
}  // namespace quelta::test
