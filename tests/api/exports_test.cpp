// The shared library exports exactly the quelta_ functions built so far.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "quelta.h"

namespace {

const std::set<std::string> kExpected = {
    "quelta_build_mode",
    "quelta_last_error",
    "quelta_open",
    "quelta_close",
    "quelta_n_columns",
    "quelta_column_name",
    "quelta_column_index",
    "quelta_next",
    "quelta_count",
    "quelta_next_batch",
    "quelta_batch_json",
    "quelta_batch_free",
    "quelta_aggregate",
    "quelta_topk",
    "quelta_topk_next",
    "quelta_topk_close",
    "quelta_order_by",
    "quelta_order_by_next",
    "quelta_order_by_close",
    "quelta_collect",
    "quelta_collect_data",
    "quelta_collect_n_rows",
    "quelta_collect_n_cols",
    "quelta_collect_close",
    "quelta_collect_columnar",
    "quelta_collect_columnar_n_rows",
    "quelta_collect_columnar_n_cols",
    "quelta_collect_columnar_data",
    "quelta_collect_columnar_offsets",
    "quelta_collect_columnar_close",
    "quelta_parallel_collect_columnar",
    "quelta_validate",
    "quelta_validate_json",
    "quelta_validate_free",
    "quelta_validator_open",
    "quelta_validator_next",
    "quelta_validator_next_batch",
    "quelta_validator_n_columns",
    "quelta_validator_column_name",
    "quelta_validator_rows_total",
    "quelta_validator_rows_valid",
    "quelta_validator_rows_invalid",
    "quelta_validator_close",
    "quelta_validate_to_files",
    "quelta_validate_outcome",
    "quelta_outcome_free",
    // Read options.
    "quelta_open_with",
    "quelta_parallel_collect_columnar_with",
    "quelta_validate_with",
    "quelta_validator_open_with",
    "quelta_validate_to_files_with",
    "quelta_validate_outcome_with",
    // Typed columns.
    "quelta_collect_columnar_float64",
    "quelta_collect_columnar_int64",
    "quelta_collect_columnar_boolean",
    "quelta_collect_columnar_datetime",
    "quelta_collect_columnar_infer_type",
    "quelta_collect_columnar_join",
    "quelta_collect_columnar_dictionary",
    // Rows in bulk.
    "quelta_next_rows",
    "quelta_unread_rows",
    // Failure detail.
    "quelta_last_error_detail",
    // Profile and schema inference.
    "quelta_profile",
    "quelta_profile_with",
    "quelta_infer_schema",
    "quelta_infer_schema_with",
    "quelta_parallel_profile",
    "quelta_parallel_infer_schema",
    "quelta_profile_free",
    // The HTML validation report.
    "quelta_validate_html",
};

std::set<std::string> exported_symbols(const std::string& lib) {
  std::set<std::string> out;
  std::string cmd = "nm -D --defined-only '" + lib + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char line[1024];
  while (fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[900];
    if (sscanf(line, "%63s %7s %899s", addr, type, name) != 3) continue;
    // Text, data and bss symbols that the library defines and exports.
    if (std::string("TtWwDdBbRrVvi").find(type[0]) == std::string::npos) continue;
    out.insert(name);
  }
  pclose(p);
  return out;
}

TEST(Exports, ExactlyTheBuiltFunctions) {
  std::set<std::string> got = exported_symbols(QUELTA_SHARED_LIBRARY);
  ASSERT_FALSE(got.empty()) << "nm could not read " << QUELTA_SHARED_LIBRARY;
  EXPECT_EQ(got, kExpected);
}

TEST(Frame, BuildModeIsStable) {
  const char* a = quelta_build_mode();
  EXPECT_STREQ(a, "ReleaseFast");
  EXPECT_EQ(a, quelta_build_mode());
}

// The shared library is a separate image from the code linked into this test,
// so loading it shows the slot exactly as a host finds it.
TEST(Frame, NoErrorAfterLoad) {
  void* lib = dlopen(QUELTA_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using LastError = const char* (*)();
  using Open = void* (*)(const char*, const void*);
  auto last_error = reinterpret_cast<LastError>(dlsym(lib, "quelta_last_error"));
  auto open = reinterpret_cast<Open>(dlsym(lib, "quelta_open"));
  ASSERT_NE(last_error, nullptr);
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(last_error(), nullptr);
  EXPECT_EQ(open(nullptr, nullptr), nullptr);
  EXPECT_STREQ(last_error(), "path is null");
  dlclose(lib);
}

}  // namespace
