// One allocation-failure table for every export that allocates: a
// representative call is run with its 1st, 2nd, ... allocation failing until
// it succeeds. Each failure must give one of the export's messages (every one
// of them shows up over the sweep), leak nothing and leave the handles it was
// given usable; the run that succeeds gives the undisturbed result. The table
// records how many allocations each call makes, so a new allocation shows up
// here as a failing test. Only the export's own call runs armed: the set-up
// (opening the scanner or validator it works on) never fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "api/operator_support.h"
#include "api/validation_output_support.h"
#include "support/temp_dir.h"

namespace quelta::test::ops {
namespace {

// The answer of one call: failed with a message, or the result as text.
struct Answer {
  bool failed = false;
  std::string text;
};

Answer failure() { return Answer{true, last_error()}; }

struct Entry {
  const char* name;
  uint64_t allocations;            // allocations of one undisturbed call
  uint64_t allocations_exact;      // the same where blocks have exactly the size asked for
  std::set<std::string> messages;  // what a failing allocation reports, each seen at least once
  std::function<Answer(FaultArm&)> call;
};

// Rows that make every buffer grow: wide rows, a quoted field, a line across
// the 256 KiB refill.
std::string csv_text() {
  std::string t = "k,a,b\n3,x,y\n1,\"q\"\"q\",z,extra\n";
  t += "2," + std::string(300000, 'l') + ",w\n5,e,\n4,,f\n";
  return t;
}

std::string jsonl_text() {
  return "{\"k\":3,\"a\":\"x\",\"b\":\"y\"}\n{\"a\":\"q\\\"\",\"k\":1}\n{\"k\":2,\"a\":\"" +
         std::string(300000, 'l') + "\",\"b\":null}\n";
}

const char* const kSchema =
    "{\"k\":{\"type\":\"integer\",\"max\":3},\"a\":{\"max_len\":4,\"one_of\":[\"x\",\"e\",1]}}";

std::string batch_of(Batch* b) {
  size_t len = 0;
  const char* p = quelta_batch_json(b, &len);
  return std::string(p, len);
}

// One quelta_next_rows of up to max_rows rows, their fields (cut to 8 bytes) appended to *text.
int32_t bulk_rows(Scanner* s, size_t max_rows, std::string* text) {
  RowChunk c{};
  c.size = sizeof c;
  const int32_t r = quelta_next_rows(s, max_rows, 1u << 20, &c);
  for (size_t i = 0; r == 1 && i < c.n_fields; ++i) {
    const size_t start = i ? c.field_ends[i - 1] + 1 : 0;
    *text += std::string(c.data + start, std::min<size_t>(c.field_ends[i] - start, 8)) + ",";
  }
  return r;
}

class AllocationTable : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string csv = dir.write("in.csv", csv_text());
  const std::string jsonl = dir.write("in.jsonl", jsonl_text());
  const size_t projection[2] = {1, 0};
  const char* const in_values[3] = {"1", "2", "3"};

  ScannerPtr scanner(const std::string& path) { return open(path); }

  // Arms the switch around one scanner operator and renders its result.
  template <typename Op>
  Answer on_scanner(FaultArm& fault, const std::string& path, Op op) {
    ScannerPtr s = scanner(path);
    fault.arm();
    Answer a = op(s.get());
    fault.disarm();
    // Whatever happened, the scanner stays usable: it reads on from where the
    // operator stopped to its end.
    for (int guard = 0; guard < 100 && quelta_next(s.get(), nullptr, nullptr) != 0; ++guard) {
      EXPECT_EQ(quelta_last_error(), nullptr) << last_error();
    }
    return a;
  }

  // As above for an operator that returns a handle: only the operator runs
  // armed, the handle is read back afterwards.
  template <typename Ptr, typename Op, typename Read>
  Answer on_scanner(FaultArm& fault, const std::string& path, Op op, Read read) {
    Ptr handle;
    Answer a = on_scanner(fault, path, [&](Scanner* s) {
      handle.reset(op(s));
      return handle ? Answer{} : failure();
    });
    if (handle) a.text = read(handle.get());
    return a;
  }

  // Arms the switch around every stepping call of a drain; after a failed step
  // the handle goes on (unarmed) to its end.
  template <typename Step>
  Answer drain_steps(FaultArm& fault, Step step) {
    Answer a;
    fault.arm();
    for (int guard = 0; guard < 100; ++guard) {
      std::string row;
      int32_t r = step(&row);
      if (r == 0) break;
      if (r < 0) {
        a = failure();
        fault.disarm();
        while (step(&row) != 0 && ++guard < 100) {
        }
        return a;
      }
      a.text += row + "|";
    }
    fault.disarm();
    return a;
  }
};

TEST_F(AllocationTable, EveryExportThatAllocates) {
  const std::string valid = (dir.path() / "valid.csv").string(),
                    invalid = (dir.path() / "invalid.jsonl").string();
  const std::string kept = dir.write("kept.txt", "untouched");
  const Entry table[] = {
      {"quelta_open",
       17,
       17,
       {"open failed: OutOfMemory", "out of memory allocating IN values", "out of memory allocating header",
        "out of memory allocating predicates", "out of memory allocating scanner context"},
       [&](FaultArm& fault) {
         Predicate p[2] = {};
         p[0].column = 0;
         p[0].op = QUELTA_OP_IN;
         p[0].in_values = in_values;
         p[0].n_in_values = 3;
         p[1].column = 1;
         p[1].op = QUELTA_OP_NE;
         p[1].value = "zz";
         ScanOptions o = options(projection, 2);
         o.predicates = p;
         o.n_predicates = 2;
         fault.arm();
         ScannerPtr s(quelta_open(csv.c_str(), &o));
         fault.disarm();
         return s ? Answer{false, std::to_string(quelta_n_columns(s.get()))} : failure();
       }},
      {"quelta_open (JSON lines)",
       15,
       15,
       {"open failed: OutOfMemory", "out of memory allocating header",
        "out of memory allocating scanner context"},
       [&](FaultArm& fault) {
         fault.arm();
         ScannerPtr s(quelta_open(jsonl.c_str(), nullptr));
         fault.disarm();
         return s ? Answer{false, std::to_string(quelta_n_columns(s.get()))} : failure();
       }},
      {"quelta_next",
       9,
       10,
       {"next failed: OutOfMemory", "out of memory copying row", "out of memory growing field buffers"},
       [&](FaultArm& fault) {
         ScannerPtr s = scanner(csv);
         return drain_steps(fault, [&](std::string* row) {
           const char** f = nullptr;
           size_t n = 0;
           int32_t r = quelta_next(s.get(), &f, &n);
           for (size_t i = 0; r == 1 && i < n; ++i) *row += std::string(f[i]).substr(0, 8) + ",";
           return r;
         });
       }},
      {"quelta_count",
       2,
       2,
       {"count failed: OutOfMemory"},
       [&](FaultArm& fault) {
         Predicate p{};
         p.column = 0;
         p.op = QUELTA_OP_GE;
         p.value = "2";
         ScanOptions o = options();
         o.predicates = &p;
         o.n_predicates = 1;
         ScannerPtr s = open(csv, &o);
         fault.arm();
         int64_t n = quelta_count(s.get());
         fault.disarm();
         return n < 0 ? failure() : Answer{false, std::to_string(n)};
       }},
      {"quelta_next_batch",
       8,
       8,
       {"batch failed: OutOfMemory", "out of memory allocating batch"},
       [&](FaultArm& fault) {
         ScannerPtr s = scanner(jsonl);
         return drain_steps(fault, [&](std::string* row) {
           Batch* b = nullptr;
           int32_t r = quelta_next_batch(s.get(), 2, 1u << 20, &b);
           if (r == 1) *row = std::to_string(batch_of(b).size());
           quelta_batch_free(b);
           return r;
         });
       }},
      {"quelta_next_rows",
       6,
       6,
       {"next failed: OutOfMemory", "out of memory copying rows"},
       [&](FaultArm& fault) {
         ScannerPtr s = scanner(csv);
         return drain_steps(fault, [&](std::string* row) { return bulk_rows(s.get(), 2, row); });
       }},
      {"quelta_unread_rows",
       1,
       1,
       {"out of memory keeping rows"},
       [&](FaultArm& fault) {
         ScannerPtr s = scanner(csv);
         std::string rows;
         bulk_rows(s.get(), 4, &rows);
         EXPECT_EQ(quelta_unread_rows(s.get(), 3), 0);
         bulk_rows(s.get(), 1, &rows);  // two rows still held behind the one read
         fault.arm();
         const int32_t r = quelta_unread_rows(s.get(), 1);
         fault.disarm();
         Answer a = r < 0 ? failure() : Answer{};
         std::string rest;
         while (bulk_rows(s.get(), 64, &rest) > 0) {
         }
         if (!a.failed) a.text = rest;
         return a;
       }},
      {"quelta_aggregate",
       2,
       2,
       {"aggregate failed: OutOfMemory"},
       [&](FaultArm& fault) {
         return on_scanner(fault, csv, [](Scanner* s) {
           AggregateResult r{};
           return quelta_aggregate(s, 0, &r) == 0 ? Answer{false, std::to_string(r.sum)} : failure();
         });
       }},
      {"quelta_topk",
       9,
       9,
       {"out of memory allocating topk context", "topk failed: OutOfMemory"},
       [&](FaultArm& fault) {
         return on_scanner<TopkPtr>(
             fault, csv, [](Scanner* s) { return quelta_topk(s, 0, 3, 1); },
             [](TopkContext* t) { return std::to_string(drain(t).size()); });
       }},
      {"quelta_topk_next",
       5,
       6,
       {"out of memory copying row", "out of memory growing field buffers"},
       [&](FaultArm& fault) {
         ScannerPtr s = scanner(csv);
         TopkPtr t(quelta_topk(s.get(), 0, 3, 1));
         return drain_steps(fault, [&](std::string* row) {
           const char** f = nullptr;
           size_t n = 0;
           int32_t r = quelta_topk_next(t.get(), &f, &n, nullptr);
           if (r == 1) *row = std::to_string(n) + f[0];
           return r;
         });
       }},
      {"quelta_order_by",
       7,
       7,
       {"order_by failed: OutOfMemory", "out of memory allocating order_by context"},
       [&](FaultArm& fault) {
         return on_scanner<OrderByPtr>(
             fault, csv, [](Scanner* s) { return quelta_order_by(s, 0, 0); },
             [](OrderByContext* o) { return std::to_string(drain(o).size()); });
       }},
      {"quelta_order_by_next",
       7,
       8,
       {"out of memory copying row", "out of memory growing field buffers"},
       [&](FaultArm& fault) {
         ScannerPtr s = scanner(csv);
         OrderByPtr o(quelta_order_by(s.get(), 0, 1));
         return drain_steps(fault, [&](std::string* row) {
           const char** f = nullptr;
           size_t n = 0;
           int32_t r = quelta_order_by_next(o.get(), &f, &n);
           if (r == 1) *row = std::to_string(n) + f[0];
           return r;
         });
       }},
      {"quelta_collect",
       5,
       5,
       {"collect failed: OutOfMemory", "out of memory allocating collect context",
        "out of memory collecting rows"},
       [&](FaultArm& fault) {
         return on_scanner(fault, jsonl, [](Scanner* s) {
           CollectPtr c(quelta_collect(s));
           return c ? Answer{false, std::to_string(strings(c.get()).size())} : failure();
         });
       }},
      {"quelta_collect_columnar",
       11,
       11,
       {"collect failed: OutOfMemory", "out of memory allocating columnar collect context",
        "out of memory collecting rows"},
       [&](FaultArm& fault) {
         return on_scanner(fault, csv, [](Scanner* s) {
           ColumnarPtr c(quelta_collect_columnar(s));
           return c ? Answer{false, std::to_string(column(c.get(), 1).size())} : failure();
         });
       }},
      {"quelta_parallel_collect_columnar",
       41,
       41,
       {"out of memory allocating columnar collect context", "out of memory allocating predicates",
        "parallel scan failed: OutOfMemory"},
       [&](FaultArm& fault) {
         Predicate p{};
         p.column = 0;
         p.op = QUELTA_OP_LE;
         p.value = "4";
         fault.arm();
         ColumnarPtr c(quelta_parallel_collect_columnar(csv.c_str(), ',', &p, 1, 0, 1));
         fault.disarm();
         return c ? Answer{false, std::to_string(column(c.get(), 2).size())} : failure();
       }},
      {"quelta_collect_columnar_dictionary",
       1,
       1,
       {"out of memory"},
       [&](FaultArm& fault) {
         ColumnarPtr c(quelta_parallel_collect_columnar(csv.c_str(), ',', nullptr, 0, 0, 1));
         uint32_t codes[8] = {}, first_rows[8] = {};
         fault.arm();
         int64_t distinct = quelta_collect_columnar_dictionary(c.get(), 2, codes, 8, first_rows, 8);
         fault.disarm();
         return distinct >= 0 ? Answer{false, std::to_string(distinct) + "/" + std::to_string(codes[4])}
                              : failure();
       }},
      {"quelta_validate",
       23,
       23,
       {"out of memory", "out of memory rendering report", "validate failed: BadSchema",
        "validate failed: OutOfMemory"},
       [&](FaultArm& fault) {
         fault.arm();
         ValidationReport* r = quelta_validate(csv.c_str(), kSchema, 2);
         fault.disarm();
         Answer a = r ? Answer{false, quelta_validate_json(r)} : failure();
         quelta_validate_free(r);
         return a;
       }},
      {"quelta_validate_html",
       76,
       76,
       {"out of memory", "out of memory rendering report", "validate_html failed: BadSchema",
        "validate_html failed: OutOfMemory"},
       [&](FaultArm& fault) {
         const std::string page = (dir.path() / "page.html").string();
         fault.arm();
         ValidationReport* r = quelta_validate_html(csv.c_str(), kSchema, 2, nullptr, page.c_str(), nullptr);
         fault.disarm();
         Answer a = r ? Answer{false, quelta_validate_json(r) + file_bytes(page).substr(0, 200)} : failure();
         quelta_validate_free(r);
         // The page is there exactly when the report is.
         EXPECT_EQ(std::filesystem::exists(page), r != nullptr);
         std::filesystem::remove(page);
         return a;
       }},
      {"quelta_validator_open",
       23,
       23,
       {"cannot open validator: BadSchema", "cannot open validator: OutOfMemory", "out of memory",
        "out of memory copying header"},
       [&](FaultArm& fault) {
         fault.arm();
         Validator* v = quelta_validator_open(jsonl.c_str(), kSchema);
         fault.disarm();
         Answer a = v ? Answer{false, std::to_string(quelta_validator_n_columns(v))} : failure();
         quelta_validator_close(v);
         return a;
       }},
      {"quelta_validator_next",
       14,
       15,
       {"out of memory copying row", "out of memory growing field buffers",
        "out of memory rendering row errors", "validate failed: OutOfMemory"},
       [&](FaultArm& fault) {
         Validator* v = quelta_validator_open(csv.c_str(), kSchema);
         Answer a = drain_steps(fault, [&](std::string* row) {
           const char* errors = nullptr;
           uint64_t number = 0;
           int32_t r = quelta_validator_next(v, nullptr, nullptr, &errors, &number);
           if (r == 1) *row = std::to_string(number) + (errors ? errors : "");
           return r;
         });
         quelta_validator_close(v);
         return a;
       }},
      {"quelta_validator_next_batch",
       12,
       12,
       {"batch failed: OutOfMemory", "out of memory allocating batch"},
       [&](FaultArm& fault) {
         Validator* v = quelta_validator_open(jsonl.c_str(), kSchema);
         Answer a = drain_steps(fault, [&](std::string* row) {
           Batch* b = nullptr;
           int32_t r = quelta_validator_next_batch(v, 2, 1u << 20, &b);
           if (r == 1) *row = std::to_string(batch_of(b).size());
           quelta_batch_free(b);
           return r;
         });
         quelta_validator_close(v);
         return a;
       }},
      {"quelta_validate_to_files",
       20,
       20,
       {"validate_to_files failed: BadSchema", "validate_to_files failed: OutOfMemory"},
       [&](FaultArm& fault) {
         ValidationStats st{};
         fault.arm();
         int32_t r = quelta_validate_to_files(csv.c_str(), kSchema, valid.c_str(), invalid.c_str(), &st);
         fault.disarm();
         Answer a = r == 0
                        ? Answer{false, file_bytes(valid).substr(0, 40) + file_bytes(invalid).substr(0, 80)}
                        : failure();
         const std::set<std::string> expected_entries =
             r == 0 ? std::set<std::string>{"in.csv", "in.jsonl", "kept.txt", "valid.csv", "invalid.jsonl"}
                    : std::set<std::string>{"in.csv", "in.jsonl", "kept.txt"};
         EXPECT_EQ(entries(dir.path()), expected_entries) << "outputs left behind by: " << a.text;
         EXPECT_EQ(file_bytes(kept), "untouched");
         if (r != 0) {
           EXPECT_EQ(st.rows_total + st.rows_valid + st.rows_invalid + st.errors_total, 0u);
         }
         std::filesystem::remove(valid);
         std::filesystem::remove(invalid);
         return a;
       }},
      {"quelta_validate_outcome",
       25,
       25,
       {"out of memory", "validate failed: BadSchema", "validate failed: OutOfMemory"},
       [&](FaultArm& fault) {
         fault.arm();
         char* text = quelta_validate_outcome(csv.data(), csv.size(), kSchema, 0, 1);
         fault.disarm();
         Answer a = text ? Answer{false, text} : failure();
         quelta_outcome_free(text);
         return a;
       }},
      {"quelta_validate_outcome (memory)",
       26,
       26,
       {"out of memory", "validate failed: BadSchema", "validate failed: OutOfMemory"},
       [&](FaultArm& fault) {
         const std::string text = jsonl_text();
         fault.arm();
         char* out = quelta_validate_outcome(text.data(), text.size(), kSchema, 2, 1);
         fault.disarm();
         Answer a = out ? Answer{false, out} : failure();
         quelta_outcome_free(out);
         return a;
       }},
      {"quelta_profile_with",
       46,
       46,
       {"open failed: OutOfMemory", "out of memory allocating scanner context",
        "out of memory allocating header", "profile failed: OutOfMemory"},
       [&](FaultArm& fault) {
         fault.arm();
         char* text = quelta_profile_with(csv.c_str(), nullptr, nullptr);
         fault.disarm();
         Answer a = text ? Answer{false, text} : failure();
         quelta_profile_free(text);
         return a;
       }},
      // Two threads: the column profiles' allocations are made on either, in
      // an order that varies, but their number does not.
      {"quelta_parallel_profile",
       55,
       55,
       {"open failed: OutOfMemory", "out of memory allocating scanner context",
        "out of memory allocating header", "profile failed: OutOfMemory"},
       [&](FaultArm& fault) {
         fault.arm();
         char* text = quelta_parallel_profile(csv.c_str(), nullptr, nullptr, 2);
         fault.disarm();
         Answer a = text ? Answer{false, text} : failure();
         quelta_profile_free(text);
         return a;
       }},
      {"quelta_infer_schema_with",
       44,
       44,
       {"open failed: OutOfMemory", "out of memory allocating scanner context",
        "out of memory allocating header", "infer_schema failed: OutOfMemory"},
       [&](FaultArm& fault) {
         fault.arm();
         char* text = quelta_infer_schema_with(jsonl.c_str(), nullptr, nullptr);
         fault.disarm();
         Answer a = text ? Answer{false, text} : failure();
         quelta_profile_free(text);
         return a;
       }},
  };
  // Growth in place depends on the block sizes the allocator hands out: glibc
  // rounds requests up, the sanitizers' and valgrind's allocators do not, so
  // some buffers move (one allocation more) there.
  const bool exact_blocks = [] {
    void* p = platform::heap_alloc(1);
    const bool exact = platform::heap_usable_size(p) == 1;
    platform::heap_free(p);
    return exact;
  }();
  for (const Entry& e : table) {
    SCOPED_TRACE(e.name);
    FaultArm off{0};
    const Answer undisturbed = e.call(off);
    ASSERT_FALSE(undisturbed.failed) << undisturbed.text;
    std::set<std::string> seen;
    uint64_t allocations = 0;
    sweep_operator([&](FaultArm& fault) {
      Answer a = e.call(fault);
      if (!fault.reached) {
        allocations = fault.n - 1;
        EXPECT_FALSE(a.failed) << a.text;
        EXPECT_EQ(a.text, undisturbed.text);
        return false;
      }
      EXPECT_TRUE(!a.failed || e.messages.count(a.text)) << "allocation " << fault.n << ": " << a.text;
      if (a.failed) seen.insert(a.text);
      return a.failed;
    });
    EXPECT_EQ(allocations, exact_blocks ? e.allocations_exact : e.allocations)
        << "allocations of one call changed";
    EXPECT_EQ(seen, e.messages);
  }
}

}  // namespace
}  // namespace quelta::test::ops
