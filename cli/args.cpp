// Parsing a subcommand's arguments against the option table, and the near-miss
// suggestions for mistyped commands and options.
#include "args.h"

#include <algorithm>
#include <charconv>

#include "failures.h"

namespace cli {

Args::Args(const Command& command, int argc, char** argv) : command_(&command) {
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      help_ = true;
      continue;
    }
    std::string name = arg, value;
    bool inline_value = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    const OptionDef* option = nullptr;
    for (const OptionDef& o : options())
      if ((o.commands & command.bit) && name == o.name) option = &o;
    if (!option) {
      std::vector<std::string_view> names = {"--help"};
      for (const OptionDef& o : options())
        if (o.commands & command.bit) names.push_back(o.name);
      std::string guess = nearest(name, names);
      std::string prefix = "unknown option \"" + name + "\"; ";
      if (!guess.empty()) throw UsageError{prefix + "did you mean \"" + guess + "\"?", false};
      throw UsageError{prefix + "'quelta " + command.name + " --help' lists the options", false};
    }
    const size_t n_values = option->n_values();
    if (n_values > 0 && !inline_value) {
      if (i + 1 >= argc) throw UsageError{"option " + name + " needs a value"};
      value = argv[++i];
    } else if (n_values == 0 && inline_value) {
      throw UsageError{"option " + name + " takes no value"};
    }
    options_.emplace_back(option->id, value);
    if (n_values == 2) {
      if (i + 1 >= argc) throw UsageError{"option " + name + " needs two " + option->values_noun};
      options_.emplace_back(option->id, argv[++i]);
    }
  }
}

bool Args::has(Opt option) const {
  for (const auto& [o, v] : options_)
    if (o == option) return true;
  return false;
}

std::optional<std::string> Args::value(Opt option) const {
  std::optional<std::string> found;
  for (const auto& [o, v] : options_)
    if (o == option) found = v;
  return found;
}

std::vector<std::string> Args::values(Opt option) const {
  std::vector<std::string> found;
  for (const auto& [o, v] : options_)
    if (o == option) found.push_back(v);
  return found;
}

uint64_t Args::number(Opt option, uint64_t fallback) const {
  std::optional<std::string> text = value(option);
  if (!text) return fallback;
  uint64_t n = 0;
  const char* end = text->data() + text->size();
  auto [ptr, ec] = std::from_chars(text->data(), end, n);
  if (text->empty() || ec != std::errc() || ptr != end)
    throw UsageError{"option " + std::string(cli::option(option).name) + " needs a whole number, not '" +
                     *text + "'"};
  return n;
}

void Args::expect_positional(size_t n) const {
  if (positional_.size() < n) throw UsageError{"missing arguments"};
  if (positional_.size() > n) throw UsageError{"unexpected argument '" + positional_[n] + "'"};
}

std::string nearest(std::string_view word, const std::vector<std::string_view>& candidates) {
  // Optimal string alignment distance: insertions, deletions, substitutions and
  // swaps of neighbours.
  auto distance = [](std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    return d[a.size()][b.size()];
  };
  std::string best;
  size_t best_distance = 0;
  for (std::string_view candidate : candidates) {
    // About one edit in three letters, so that short words are not matched to anything.
    std::string_view bare = candidate.substr(candidate.find_first_not_of('-'));
    size_t allowed = std::max<size_t>(1, bare.size() / 3);
    size_t d = distance(word, candidate);
    if (d <= allowed && (best.empty() || d < best_distance)) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace cli
