// The subcommands' entry points; each returns the exit status or throws a
// Failure or UsageError.
#pragma once

namespace cli {

class Args;

int run_columns(const Args& args);
int run_rows(const Args& args);
int run_count(const Args& args);
int run_collect(const Args& args);
int run_stats(const Args& args);
int run_top(const Args& args);
int run_sort(const Args& args);
int run_columnar(const Args& args);
int run_validate(const Args& args);
int run_check(const Args& args);
int run_summary(const Args& args);
int run_infer(const Args& args);

}  // namespace cli
