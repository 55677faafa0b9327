// The scan set-up shared by the query and profile commands: the input's column
// directory, and the scan options built from the filter and --select options.
#pragma once

#include <quelta.h>

#include <deque>
#include <string>
#include <vector>

#include "args.h"
#include "handles.h"

namespace cli {

// The column directory of an input, names resolved as the library resolves them
// (first exact match), or "#N" for index N.
struct Directory {
  std::vector<std::string> names;
  ScannerPtr probe;  // answers quelta_column_index; null when names came from elsewhere
  size_t resolve(const std::string& column, const std::string& file) const;  // throws Failure
};
Directory read_directory(const std::string& path, const ReadOptions& read);

// The ScanOptions of --select, --where, --numeric, --not and --limit, with the
// storage its pointers refer to; it must outlive every scanner opened with it.
struct ScanPlan {
  std::vector<size_t> projection;
  std::vector<Predicate> predicates;
  std::deque<std::string> texts;
  std::deque<std::vector<const char*>> in_lists;
  ScanOptions options{};
  std::vector<std::string> output_names;  // names of the delivered columns
  std::vector<std::string> json_keys;     // their member names in JSON rows, quoted (json_key)
  ScanPlan() = default;
  ScanPlan(const ScanPlan&) = delete;
  ScanPlan& operator=(const ScanPlan&) = delete;
};
// Fills plan from the arguments (the options the command does not take are absent).
void build_scan_plan(const Args& args, const Directory& dir, const std::string& file, ScanPlan& plan);
ScannerPtr open_scanner(const std::string& path, const ScanPlan& plan, const ReadOptions& read);

}  // namespace cli
