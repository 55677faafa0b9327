// The streaming validator through the header: rows with their breaches one at
// a time and as batches, the counters, the column directory, every message,
// and allocation failures swept over opening and both stepping exports.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "api/validation_output_support.h"
#include "quelta.h"
#include "support/fault.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

constexpr const char* kSchema = R"({"name":{"required":true},"age":{"type":"integer","required":true}})";
constexpr const char* kCsv =
    "name,age,city\n"
    "ann,31,\"Oslo, NO\"\n"
    "bob,x,Rome\r\n"
    "\n"
    "\"q\"\"t\",\xff,Bern\n"
    "eve,7,Bern,extra\n";

// What one step delivers, written out: values joined by '|', then the errors.
struct Step {
  uint64_t row;
  std::string values;
  std::string errors;  // "null" for a row without breaches
};
bool operator==(const Step& a, const Step& b) {
  return a.row == b.row && a.values == b.values && a.errors == b.errors;
}
std::ostream& operator<<(std::ostream& os, const Step& s) {
  return os << s.row << " [" << s.values << "] " << s.errors;
}

const std::vector<Step> kSteps = {
    {1, "ann|31|Oslo, NO", "null"},
    {2, "bob|x|Rome", R"([{"row":2,"column":1,"column_name":"age","rule":"bad_type","value":"x"}])"},
    {3, "",
     R"([{"row":3,"column":null,"column_name":"","rule":"too_few_fields","value":""},)"
     R"({"row":3,"column":0,"column_name":"name","rule":"missing_required","value":""}])"},
    {4, "q\"t|\xff|Bern", R"([{"row":4,"column":1,"column_name":"age","rule":"bad_type","value":[255]}])"},
    {5, "eve|7|Bern|extra",
     R"([{"row":5,"column":null,"column_name":"","rule":"too_many_fields","value":""}])"},
};

const char* const kBatchRows[] = {
    R"({"number":1,"values":["ann","31","Oslo, NO"]})",
    R"({"number":2,"values":["bob","x","Rome"],"errors":[{"row":2,"column":1,"column_name":"age","rule":"bad_type","value":"x"}]})",
    R"({"number":3,"values":[""],"errors":[{"row":3,"column":null,"column_name":"","rule":"too_few_fields","value":""},{"row":3,"column":0,"column_name":"name","rule":"missing_required","value":""}]})",
    R"({"number":4,"values":["q\"t",[255],"Bern"],"errors":[{"row":4,"column":1,"column_name":"age","rule":"bad_type","value":[255]}]})",
    R"({"number":5,"values":["eve","7","Bern","extra"],"errors":[{"row":5,"column":null,"column_name":"","rule":"too_many_fields","value":""}]})",
};

// One quelta_validator_next; 1 with *step filled, else the return value.
int32_t next_step(Validator* v, Step* step) {
  const char** fields = nullptr;
  size_t n = 0;
  const char* errors = "unset";
  uint64_t row = 0;
  int32_t r = quelta_validator_next(v, &fields, &n, &errors, &row);
  if (r != 1) return r;
  step->row = row;
  step->values.clear();
  for (size_t i = 0; i < n; ++i) step->values.append(i ? "|" : "").append(fields[i]);
  step->errors = errors ? errors : "null";
  return r;
}

std::string batch_of(Batch* b) {
  size_t len = 0;
  const char* text = quelta_batch_json(b, &len);
  return std::string(text, len);
}

void expect_counters_consistent(Validator* v) {
  EXPECT_EQ(quelta_validator_rows_total(v),
            quelta_validator_rows_valid(v) + quelta_validator_rows_invalid(v));
}

class ValidatorApi : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.write("people.csv", kCsv);
};

TEST_F(ValidatorApi, RowsWithTheirBreaches) {
  Validator* v = quelta_validator_open(path.c_str(), kSchema);
  ASSERT_NE(v, nullptr) << error_text();
  EXPECT_EQ(quelta_validator_n_columns(v), 3u);
  EXPECT_STREQ(quelta_validator_column_name(v, 2), "city");
  EXPECT_EQ(quelta_validator_column_name(v, 3), nullptr);
  for (const Step& want : kSteps) {
    Step got;
    ASSERT_EQ(next_step(v, &got), 1) << error_text();
    EXPECT_EQ(got, want);
    EXPECT_EQ(quelta_validator_rows_total(v), want.row);
    expect_counters_consistent(v);
  }
  EXPECT_EQ(quelta_validator_rows_valid(v), 1u);
  EXPECT_EQ(quelta_validator_rows_invalid(v), 4u);
  // At the end the out-parameters are left as they were, on every further call.
  const char** fields = reinterpret_cast<const char**>(&path);
  size_t n = 77;
  const char* errors = "kept";
  uint64_t row = 99;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(quelta_validator_next(v, &fields, &n, &errors, &row), 0);
    Batch* b = reinterpret_cast<Batch*>(&path);
    EXPECT_EQ(quelta_validator_next_batch(v, 10, 100, &b), 0);
    EXPECT_EQ(b, nullptr);
  }
  EXPECT_EQ(fields, reinterpret_cast<const char**>(&path));
  EXPECT_EQ(n, 77u);
  EXPECT_STREQ(errors, "kept");
  EXPECT_EQ(row, 99u);
  EXPECT_EQ(quelta_validator_rows_total(v), 5u);
  quelta_validator_close(v);
}

TEST_F(ValidatorApi, NullOutParametersStillAdvance) {
  Validator* v = quelta_validator_open(path.c_str(), kSchema);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(quelta_validator_next(v, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(quelta_validator_next(v, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(quelta_validator_rows_valid(v), 1u);
  EXPECT_EQ(quelta_validator_rows_invalid(v), 1u);
  Step got;
  ASSERT_EQ(next_step(v, &got), 1);
  EXPECT_EQ(got, kSteps[2]);
  quelta_validator_close(v);
}

TEST_F(ValidatorApi, Batches) {
  std::string all = "[";
  for (const char* row : kBatchRows) all.append(all.size() > 1 ? "," : "").append(row);
  all.append("]");
  struct Case {
    size_t max_rows, max_bytes;
    std::vector<std::string> batches;
  };
  const Case cases[] = {
      {65536, SIZE_MAX, {all}},
      {1, SIZE_MAX, {}},  // filled below: one row each
      {100, 1, {}},       // the size is tested after a whole row
      {2,
       SIZE_MAX,
       {std::string("[") + kBatchRows[0] + "," + kBatchRows[1] + "]",
        std::string("[") + kBatchRows[2] + "," + kBatchRows[3] + "]",
        std::string("[") + kBatchRows[4] + "]"}},
  };
  for (Case c : cases) {
    if (c.batches.empty())
      for (const char* row : kBatchRows) c.batches.push_back(std::string("[") + row + "]");
    Validator* v = quelta_validator_open(path.c_str(), kSchema);
    ASSERT_NE(v, nullptr);
    std::vector<std::string> got;
    std::vector<Batch*> kept;
    Batch* b = nullptr;
    while (quelta_validator_next_batch(v, c.max_rows, c.max_bytes, &b) == 1) {
      kept.push_back(b);
      expect_counters_consistent(v);
    }
    EXPECT_EQ(quelta_last_error(), nullptr) << error_text();
    quelta_validator_close(v);
    for (Batch* k : kept) got.push_back(batch_of(k));  // batches outlive their validator
    for (Batch* k : kept) quelta_batch_free(k);
    EXPECT_EQ(got, c.batches) << c.max_rows << "/" << c.max_bytes;
  }
}

TEST_F(ValidatorApi, RowsAndBatchesShareOnePosition) {
  Validator* v = quelta_validator_open(path.c_str(), kSchema);
  ASSERT_NE(v, nullptr);
  Step got;
  ASSERT_EQ(next_step(v, &got), 1);
  Batch* b = nullptr;
  ASSERT_EQ(quelta_validator_next_batch(v, 2, 1000, &b), 1);
  EXPECT_EQ(batch_of(b), std::string("[") + kBatchRows[1] + "," + kBatchRows[2] + "]");
  quelta_batch_free(b);
  ASSERT_EQ(next_step(v, &got), 1);
  EXPECT_EQ(got, kSteps[3]);
  EXPECT_EQ(quelta_validator_rows_total(v), 4u);
  quelta_validator_close(v);
}

TEST_F(ValidatorApi, Messages) {
  const std::string missing = (dir.path() / "none.csv").string();
  struct Open {
    const char* path;
    const char* schema;
    const char* message;
  };
  const Open opens[] = {
      {nullptr, kSchema, "path is null"},
      {path.c_str(), nullptr, "schema_json is null"},
      {missing.c_str(), kSchema, "cannot open validator: FileNotFound"},
      {path.c_str(), "{\"age\":{\"type\":\"Integer\"}}", "cannot open validator: BadSchema"},
      {path.c_str(), "{\"Age\":{}}", "cannot open validator: UnknownColumn"},
  };
  for (const Open& o : opens) {
    EXPECT_EQ(quelta_validator_open(o.path, o.schema), nullptr);
    EXPECT_EQ(error_text(), o.message);
  }
  EXPECT_EQ(quelta_validator_next(nullptr, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(error_text(), "validator is null");
  Batch* b = reinterpret_cast<Batch*>(&b);
  EXPECT_EQ(quelta_validator_next_batch(nullptr, 1, 1, &b), -1);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(error_text(), "validator is null");
  // Accessors of a null handle answer 0 or null and leave the message alone.
  EXPECT_EQ(quelta_validator_n_columns(nullptr), 0u);
  EXPECT_EQ(quelta_validator_column_name(nullptr, 0), nullptr);
  EXPECT_EQ(quelta_validator_rows_total(nullptr) + quelta_validator_rows_valid(nullptr) +
                quelta_validator_rows_invalid(nullptr),
            0u);
  EXPECT_EQ(error_text(), "validator is null");
  quelta_validator_close(nullptr);

  Validator* v = quelta_validator_open(path.c_str(), kSchema);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(quelta_validator_next_batch(v, 1, 1, nullptr), -1);
  EXPECT_EQ(error_text(), "batch output is null");
  for (auto [rows, bytes] : {std::pair<size_t, size_t>{0, 1}, {65537, 1}, {1, 0}}) {
    b = reinterpret_cast<Batch*>(&b);
    EXPECT_EQ(quelta_validator_next_batch(v, rows, bytes, &b), -1);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(error_text(), "batch failed: InvalidBatchSize");
  }
  EXPECT_EQ(quelta_validator_rows_total(v), 0u);
  quelta_validator_close(v);
}

TEST_F(ValidatorApi, ReadFailuresLeaveTheHandleUsable) {
  const std::string bad = dir.write("bad.csv", "name,age\nann,1\n\"open,2\nbob,3\n\"x,4\ncid,5\n");
  Validator* v = quelta_validator_open(bad.c_str(), kSchema);
  ASSERT_NE(v, nullptr);
  Step got;
  ASSERT_EQ(next_step(v, &got), 1);
  EXPECT_EQ(next_step(v, &got), -1);
  EXPECT_EQ(error_text(), "validate failed: UnterminatedQuote");
  ASSERT_EQ(next_step(v, &got), 1);
  EXPECT_EQ(got, (Step{2, "bob|3", "null"}));
  Batch* b = nullptr;
  EXPECT_EQ(quelta_validator_next_batch(v, 10, 1000, &b), -1);
  EXPECT_EQ(error_text(), "batch failed: UnterminatedQuote");
  ASSERT_EQ(quelta_validator_next_batch(v, 10, 1000, &b), 1);
  EXPECT_EQ(batch_of(b), R"([{"number":3,"values":["cid","5"]}])");
  quelta_batch_free(b);
  EXPECT_EQ(quelta_validator_rows_total(v), 3u);
  quelta_validator_close(v);
}

// Opening, stepping and batching with every allocation failing in turn: each
// failure has one of its messages, nothing leaks, and the rows before and after
// a failed step are the ones a clean run delivers.
TEST_F(ValidatorApi, AllocationFailures) {
  // Growth everywhere: a field too long for the first chunk, more fields than
  // the header, and error texts longer than the first block of their buffer.
  std::string text = "name,age,city\nann,1,x\n";
  text.append(std::string(300000, 'l')).append(",x,y,z\n");
  for (int i = 0; i < 20; ++i) text.append("r").append(std::to_string(i)).append(",q,\"a,b\"\n");
  const std::string big = dir.write("big.csv", text);
  // The schema's JSON reader reports running out of memory as BadSchema.
  const std::set<std::string> open_messages = {"out of memory", "cannot open validator: OutOfMemory",
                                               "cannot open validator: BadSchema",
                                               "out of memory copying header"};
  const std::set<std::string> step_messages = {
      "validate failed: OutOfMemory", "out of memory growing field buffers", "out of memory copying row",
      "out of memory rendering row errors"};
  const std::set<std::string> batch_messages = {"batch failed: OutOfMemory",
                                                "out of memory allocating batch"};
  std::set<std::string> seen;
  for (bool batches : {false, true}) {
    int shrinks = 0;
    uint64_t run = 0;
    sweep_allocation_failures([&] {
      ++run;
      const uint64_t before = platform::heap_alloc_count();
      Validator* v = quelta_validator_open(big.c_str(), kSchema);
      if (!v) {
        EXPECT_TRUE(open_messages.count(error_text())) << error_text();
        seen.insert(error_text());
        return true;
      }
      int failures = 0;
      uint64_t last_row = 0;
      for (int i = 0; i < 100; ++i) {
        int32_t r;
        if (batches) {
          Batch* b = nullptr;
          r = quelta_validator_next_batch(v, 3, 1 << 20, &b);
          quelta_batch_free(b);
        } else {
          Step got;
          r = next_step(v, &got);
          if (r == 1) {
            EXPECT_GT(got.row, last_row);
            last_row = got.row;
          }
        }
        expect_counters_consistent(v);
        if (r == 0) break;
        if (r < 0) {
          ++failures;
          EXPECT_TRUE((batches ? batch_messages : step_messages).count(error_text())) << error_text();
          seen.insert(error_text());
        }
      }
      // A row whose reading failed is lost uncounted; every other row counts.
      EXPECT_LE(quelta_validator_rows_total(v), 22u);
      EXPECT_GE(quelta_validator_rows_total(v) + failures, 22u);
      quelta_validator_close(v);
      // Shrinking a finished batch text may fail without harm.
      if (batches && failures == 0 && platform::heap_alloc_count() - before >= run) {
        ++shrinks;
        return true;
      }
      return failures > 0;
    });
    EXPECT_LE(shrinks, 30);
  }
  for (const auto* set : {&open_messages, &step_messages, &batch_messages})
    for (const std::string& m : *set) EXPECT_TRUE(seen.count(m)) << m;
}

}  // namespace
}  // namespace quelta::test
