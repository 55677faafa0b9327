// Entry point of the quelta tool: the tool's --help and --version, the choice of
// the subcommand, and the mapping of failures to messages and exit statuses.
#include <quelta.h>

#include <csignal>
#include <cstdio>
#include <new>
#include <string>

#include "args.h"
#include "atomic_output.h"
#include "command_table.h"
#include "failures.h"
#include "output.h"

namespace cli {
namespace {

void print(FILE* stream, const char* text) { std::fputs(text, stream); }

int run_tool(int argc, char** argv) {
  if (argc < 2) {
    print(stderr, tool_usage().c_str());
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    if (first == "help" && argc > 2) {
      for (const Command& c : commands())
        if (c.name == std::string(argv[2])) {
          print(stdout, c.usage.c_str());
          return 0;
        }
    }
    print(stdout, tool_usage().c_str());
    return 0;
  }
  if (first == "--version" || first == "-V") {
    std::printf("quelta %s (%s)\n", QUELTA_VERSION_STRING, quelta_build_mode());
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& c : commands())
    if (first == c.name) command = &c;
  if (!command) {
    std::vector<std::string_view> names;
    for (const Command& c : commands()) names.push_back(c.name);
    std::string guess = nearest(first, names);
    if (!guess.empty()) {
      std::fprintf(stderr, "quelta: unknown command \"%s\"; did you mean \"%s\"?\n", first.c_str(),
                   guess.c_str());
    } else {
      std::string list;
      for (std::string_view name : names) list += (list.empty() ? "" : ", ") + std::string(name);
      std::fprintf(stderr,
                   "quelta: unknown command \"%s\"; the commands are %s ('quelta --help' describes them)\n",
                   first.c_str(), list.c_str());
    }
    return 2;
  }
  try {
    Args args(*command, argc - 2, argv + 2);
    if (args.wants_help()) {
      print(stdout, command->usage.c_str());
      return 0;
    }
    int status = command->run(args);
    out().flush();
    return status;
  } catch (const UsageError& e) {
    out().flush();
    std::fprintf(stderr, "quelta %s: %s\n", command->name, e.message.c_str());
    if (e.show_usage) {
      print(stderr, "\n");
      print(stderr, command->usage.c_str());
    }
    return 2;
  }
}

}  // namespace
}  // namespace cli

namespace {

void flush_quietly() {
  try {
    cli::out().flush();
  } catch (const cli::Failure&) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe shows up as EPIPE from write, which the output ends on quietly.
  std::signal(SIGPIPE, SIG_IGN);
  cli::install_signal_handlers();
  try {
    return cli::run_tool(argc, argv);
  } catch (const cli::Failure& e) {
    flush_quietly();
    std::fprintf(stderr, "quelta: %s\n", e.message.c_str());
  } catch (const std::bad_alloc&) {
    flush_quietly();
    std::fputs("quelta: out of memory\n", stderr);
  }
  return 2;
}
