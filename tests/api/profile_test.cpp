// The profile and inferred-schema exports through the public header: argument
// checks and messages, what the profile says about hand-made columns, and the
// round trip every inferred schema must make (the file passes it; one bad value
// appended does not).
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "quelta.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

std::string message() {
  const char* m = quelta_last_error();
  return m ? m : "<none>";
}

// The text of one export call, or "error: " and the message.
std::string take(char* text) {
  if (!text) return "error: " + message();
  std::string s = text;
  quelta_profile_free(text);
  return s;
}

std::string profile(const std::string& path, const ScanOptions* o = nullptr, const ReadOptions* r = nullptr) {
  return take(quelta_profile_with(path.c_str(), o, r));
}

std::string infer(const std::string& path, const ScanOptions* o = nullptr, const ReadOptions* r = nullptr) {
  return take(quelta_infer_schema_with(path.c_str(), o, r));
}

// rows_invalid of a validation, or -1 when it failed.
int64_t invalid_rows(const std::string& path, const std::string& schema) {
  ValidationReport* report = quelta_validate(path.c_str(), schema.c_str(), 5);
  if (!report) {
    ADD_FAILURE() << path << ": " << message() << "\nschema: " << schema;
    return -1;
  }
  const std::string json = quelta_validate_json(report);
  quelta_validate_free(report);
  const size_t at = json.find("\"rows_invalid\":");
  return std::stoll(json.substr(at + 15));
}

TEST(Profile, ArgumentsAndMessages) {
  TempDir dir;
  const std::string csv = dir.write("a.csv", "a,b\n1,x\n2,\"y\n3,z\n");
  const std::string good = dir.write("g.csv", "a,b\n1,x\n");
  ReadOptions bad_read{};
  bad_read.size = 1;
  ScanOptions null_predicates{};
  null_predicates.n_predicates = 1;
  null_predicates.limit = -1;
  null_predicates.max_column = -1;
  struct Case {
    const char* name;
    const char* path;
    const ScanOptions* options;
    const ReadOptions* read;
    const char* profile_message;
    const char* infer_message;
  };
  const Case cases[] = {
      {"null path", nullptr, nullptr, nullptr, "path is null", "path is null"},
      {"missing file", "/nonexistent/x.csv", nullptr, nullptr, "open failed: FileNotFound",
       "open failed: FileNotFound"},
      {"bad read options", good.c_str(), nullptr, &bad_read, "invalid read options", "invalid read options"},
      {"null predicates", good.c_str(), &null_predicates, nullptr, "predicates is null",
       "predicates is null"},
      {"broken row", csv.c_str(), nullptr, nullptr, "profile failed: UnterminatedQuote",
       "infer_schema failed: UnterminatedQuote"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(quelta_profile_with(c.path, c.options, c.read), nullptr);
    EXPECT_EQ(message(), c.profile_message);
    EXPECT_EQ(quelta_infer_schema_with(c.path, c.options, c.read), nullptr);
    EXPECT_EQ(message(), c.infer_message);
  }
  // Success clears the slot; the plain forms read as the _with forms with NULL.
  EXPECT_EQ(quelta_profile(nullptr, nullptr), nullptr);
  const std::string plain = take(quelta_profile(good.c_str(), nullptr));
  EXPECT_EQ(quelta_last_error(), nullptr);
  EXPECT_EQ(plain, profile(good));
  EXPECT_EQ(take(quelta_infer_schema(good.c_str(), nullptr)), infer(good));
  quelta_profile_free(nullptr);
}

TEST(Profile, DescribesHandMadeColumns) {
  TempDir dir;
  // kinds: integers (one padded), a float, a blank, booleans, datetimes, texts; "é" is one character.
  const std::string csv = dir.write("k.csv",
                                    "n,kind,word\n"
                                    "1,true,b\n"
                                    " 2 ,2024-02-29,é\n"
                                    "2.5,TRUE,b\n"
                                    ",x,\n"
                                    "-4,2024-01-05T10:00Z,aa\n"
                                    "1e400,false,b\n");
  const std::string p = profile(csv);
  auto has = [&](const std::string& piece) {
    EXPECT_NE(p.find(piece), std::string::npos) << piece << "\n" << p;
  };
  has("{\"rows\":6,\"columns\":[");
  has("{\"name\":\"n\",\"index\":0,\"type\":\"string\",\"rows\":6,\"blanks\":1,\"numeric\":4,\"integers\":3,"
      "\"booleans\":0,\"datetimes\":0,\"texts\":1,\"min\":-4,\"max\":2.5,\"mean\":0.375,");
  has("\"min_length\":1,\"max_length\":5,\"min_text\":\" 2 \",\"max_text\":\"2.5\"");
  has("\"name\":\"kind\",\"index\":1,\"type\":\"string\",\"rows\":6,\"blanks\":0,\"numeric\":0,\"integers\":"
      "0,"
      "\"booleans\":3,\"datetimes\":2,\"texts\":1,\"min\":null,\"max\":null,\"mean\":null,\"stddev\":null");
  has("\"name\":\"word\",\"index\":2,\"type\":\"string\"");
  // Most frequent first, equal counts in byte order.
  has("\"distinct\":{\"count\":3,\"exact\":true,\"values\":[{\"value\":\"b\",\"count\":3},{\"value\":\"aa\","
      "\"count\":1},{\"value\":\"é\",\"count\":1}]},\"quantiles\":null}");
  has("\"min_length\":1,\"max_length\":2,\"min_text\":\"aa\",\"max_text\":\"é\"");
  has("\"quantiles\":{\"rank_error\":0,\"p1\":-4,\"p25\":-4,\"p50\":1,\"p75\":2,\"p99\":2.5}");

  // A projection, a predicate and a limit choose what is profiled.
  const size_t projection[] = {2, 0};
  Predicate where{};
  where.column = 1;
  where.op = QUELTA_OP_NE;
  where.value = "x";
  ScanOptions o{};
  o.projection = projection;
  o.n_projection = 2;
  o.predicates = &where;
  o.n_predicates = 1;
  o.limit = 4;
  o.max_column = -1;
  const std::string chosen = profile(csv, &o);
  EXPECT_EQ(chosen.find("\"kind\""), std::string::npos);
  EXPECT_NE(chosen.find("{\"rows\":4,\"columns\":[{\"name\":\"word\",\"index\":2"), std::string::npos)
      << chosen;
  EXPECT_NE(
      chosen.find("{\"name\":\"n\",\"index\":0,\"type\":\"float\",\"rows\":4,\"blanks\":0,\"numeric\":4"),
      std::string::npos)
      << chosen;

  // Past 1,000 distinct values the count is an estimate.
  std::string many = "id\n";
  for (int i = 0; i < 5000; ++i) many += "k" + std::to_string(i) + "\n";
  const std::string estimated = profile(dir.write("many.csv", many));
  const size_t at = estimated.find("\"distinct\":{\"count\":");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NEAR(std::stod(estimated.substr(at + 20)), 5000, 3 * 0.008125 * 5000);
  EXPECT_NE(estimated.find("\"exact\":false,\"standard_error\":0.008125}"), std::string::npos);
}

// A file described by a few columns of generated values.
struct Generated {
  const char* name;
  std::string header;
  std::function<std::string(int)> row;  // line i (1-based), without its line end
  int rows;
  std::string bad_row;  // appended: must break the inferred schema
};

TEST(InferSchema, EveryFilePassesItsOwnSchemaAndNotABadRow) {
  TempDir dir;
  const Generated cases[] = {
      {"integer column that turns to text at row 21,068", "id,count",
       [](int i) {
         return std::to_string(i) + "," + (i == 21068 ? std::string("n/a") : std::to_string(i % 97));
       },
       30000, "30001,toolongvalue"},
      {"integer column with a float after 21,067 rows", "id,v",
       [](int i) {
         return std::to_string(i) + "," + (i == 21068 ? std::string("0.5") : std::to_string(i % 50));
       },
       25000, "25001,-1"},
      {"blanks, padding, exponents and huge values", "a,b,c",
       [](int i) {
         return std::string(i % 5 == 0 ? "" : (i % 3 ? " 7 " : "1.5e3")) + "," +
                (i % 11 ? std::to_string(i) : std::string("123456789012345678901234567890")) + "," +
                (i % 2 ? "-0.25" : "1e-300");
       },
       3000, "x,1,1"},
      {"booleans, datetimes and a category", "flag,when,color",
       [](int i) {
         const char* colors[] = {"red", "green", "blue"};
         return std::string(i % 2 ? "True" : "false") + "," +
                (i % 4 ? "2024-02-29T10:00:00Z" : "1999-12-31") + "," + colors[i % 3];
       },
       4000, "true,2024-02-29,purple"},
      {"texts of mixed lengths and scripts", "word,n",
       [](int i) {
         return std::string(i % 7 ? "ab" : "日本語テキスト") + std::to_string(i) + "," + std::to_string(i);
       },
       2000, "abc,0"},
      {"a column that is always blank", "a,b", [](int i) { return std::to_string(i) + ","; }, 100, "x,"},
      {"bytes that are not UTF-8 in a name and in few values", "id,\xff,code",
       [](int i) { return std::to_string(i) + ",x," + (i % 2 ? "\xe9t\xe9" : "ok"); }, 50, "51,x,okay"},
  };
  for (const Generated& g : cases) {
    SCOPED_TRACE(g.name);
    std::string text = g.header + "\n";
    for (int i = 1; i <= g.rows; ++i) text += g.row(i) + "\n";
    const std::string path = dir.write("g.csv", text);
    const std::string schema = infer(path);
    ASSERT_EQ(schema.rfind("error", 0), std::string::npos) << schema;
    EXPECT_EQ(invalid_rows(path, schema), 0) << schema;
    // The last case has nothing to break (every column is any or one of numbers seen).
    if (std::string(g.name) == "a column that is always blank") continue;
    const std::string with_bad = dir.write("bad.csv", text + g.bad_row + "\n");
    EXPECT_EQ(invalid_rows(with_bad, schema), 1) << schema;
  }
}

TEST(InferSchema, SamplesPassTheirSchemaAsWellAsAnEmptyOne) {
  // A sample may have rows of the wrong width on purpose: the inferred schema
  // adds no breach beyond the ones an empty schema finds.
  for (const char* name : {"people.csv", "people.jsonl"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(QUELTA_SOURCE_DIR) + "/examples/" + name;
    const std::string schema = infer(path);
    ASSERT_EQ(schema.rfind("error", 0), std::string::npos) << schema;
    EXPECT_EQ(invalid_rows(path, schema), invalid_rows(path, "{}")) << schema;
  }
}

}  // namespace
}  // namespace quelta::test
