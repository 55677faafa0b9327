// Throughput of the decimal conversion against the C library's strtod and
// std::from_chars on the same number texts, best of three runs each.
//
// Usage: bench_decimal [numbers.txt]   (one number text per line; default
// bench/data/numbers.txt). When the file is missing, ten million texts of mixed
// forms (integers, short decimals, scientific, 17-digit doubles) are generated in
// memory from a fixed seed.
//
// With a file, quelta_aggregate over it (a one-column CSV whose first line is the
// header) is timed too: reading, splitting and converting every line, against
// the from_chars loop over the same texts already split in memory.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "input/decimal.h"
#include "quelta.h"

namespace {

using quelta::bench::kRuns;

constexpr size_t kGeneratedCount = 10'000'000;

// All texts back to back; texts[i] spans offsets[i]..offsets[i + 1].
struct Corpus {
  std::string bytes;
  std::vector<uint64_t> offsets{0};
  void add(const char* p, size_t n) {
    bytes.append(p, n);
    offsets.push_back(bytes.size());
  }
  size_t count() const { return offsets.size() - 1; }
};

bool load(const char* path, Corpus* c) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::string line;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      if (buf[i] == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) c->add(line.data(), line.size());
        line.clear();
      } else {
        line += buf[i];
      }
    }
  }
  if (!line.empty()) c->add(line.data(), line.size());
  std::fclose(f);
  return true;
}

void generate(Corpus* c) {
  std::mt19937_64 rng(42);
  char buf[64];
  for (size_t i = 0; i < kGeneratedCount; ++i) {
    int n = 0;
    switch (i % 4) {
      case 0: {  // integers, up to ten digits, some negative
        uint64_t digits = 1 + rng() % 10;
        uint64_t limit = 1;
        for (uint64_t d = 0; d < digits; ++d) limit *= 10;
        n = std::snprintf(buf, sizeof buf, "%s%llu", rng() % 8 == 0 ? "-" : "",
                          static_cast<unsigned long long>(rng() % limit));
        break;
      }
      case 1:  // short decimals such as prices and measurements
        n = std::snprintf(buf, sizeof buf, "%.*f", int(1 + rng() % 3),
                          double(rng() % 100000) / double(1 + rng() % 100));
        break;
      case 2:  // scientific with a few digits
        n = std::snprintf(buf, sizeof buf, "%.*e", int(rng() % 6),
                          std::ldexp(double(rng() >> 11) / double(1ull << 53), int(rng() % 200) - 100));
        break;
      default:  // full 17-digit doubles
        n = std::snprintf(buf, sizeof buf, "%.17g",
                          std::ldexp(double(rng() >> 11) / double(1ull << 53), int(rng() % 64) - 32));
    }
    c->add(buf, size_t(n));
  }
}

struct Result {
  double seconds;
  double checksum;
  size_t failures;
};

template <typename Convert>
Result time_once(const Corpus& c, Convert convert) {
  double sum = 0;
  size_t failures = 0;
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < c.count(); ++i) {
    double v;
    if (convert(i, &v)) {
      sum += v;
    } else {
      ++failures;
    }
  }
  return {quelta::bench::seconds_since(start), sum, failures};
}

void keep_best(Result* best, const Result& r) {
  if (r.seconds < best->seconds) *best = r;
}

void report(const char* name, const Result& r, const Corpus& c) {
  std::printf("%-12s %9.1f MB/s %12.0f numbers/s   (%zu rejected, checksum %.6g)\n", name,
              quelta::bench::mb_per_s(c.bytes.size(), r.seconds), double(c.count()) / r.seconds, r.failures,
              r.checksum);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "bench/data/numbers.txt";
  Corpus c;
  const bool from_file = load(path, &c);
  if (from_file) {
    std::printf("%zu texts, %zu bytes from %s\n", c.count(), c.bytes.size(), path);
  } else {
    generate(&c);
    std::printf("%s not found; generated %zu texts, %zu bytes\n", path, c.count(), c.bytes.size());
  }
  if (c.count() == 0) return 1;

  // strtod needs NUL-terminated texts; they are laid out before any timing.
  std::string terminated;
  terminated.reserve(c.bytes.size() + c.count());
  std::vector<uint64_t> starts(c.count());
  for (size_t i = 0; i < c.count(); ++i) {
    starts[i] = terminated.size();
    terminated.append(c.bytes, c.offsets[i], c.offsets[i + 1] - c.offsets[i]);
    terminated += '\0';
  }

  const uint8_t* base = reinterpret_cast<const uint8_t*>(c.bytes.data());
  auto ours_one = [&](size_t i, double* v) {
    return quelta::decimal_to_double(base + c.offsets[i], c.offsets[i + 1] - c.offsets[i], v) ==
           quelta::Error::None;
  };
  auto strtod_one = [&](size_t i, double* v) {
    const char* s = terminated.data() + starts[i];
    char* end;
    *v = std::strtod(s, &end);
    return end != s;
  };
  auto from_chars_one = [&](size_t i, double* v) {
    const char* s = c.bytes.data() + c.offsets[i];
    return std::from_chars(s, c.bytes.data() + c.offsets[i + 1], *v).ec == std::errc();
  };
  // The three take turns within each run, so a busy machine slows them alike.
  Result ours{1e300, 0, 0}, libc{1e300, 0, 0}, std_fc{1e300, 0, 0};
  for (int run = 0; run < kRuns; ++run) {
    keep_best(&ours, time_once(c, ours_one));
    keep_best(&libc, time_once(c, strtod_one));
    keep_best(&std_fc, time_once(c, from_chars_one));
  }

  report("ours", ours, c);
  report("strtod", libc, c);
  report("from_chars", std_fc, c);
  std::printf("ours/strtod     %.2fx\nours/from_chars %.2fx\n", libc.seconds / ours.seconds,
              std_fc.seconds / ours.seconds);
  if (!from_file) return 0;

  // The whole file through the public interface; the first line is the header.
  double aggregate_best = 1e300;
  AggregateResult result{};
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    Scanner* s = quelta_open(path, nullptr);
    bool ok = s && quelta_aggregate(s, 0, &result) == 0;
    quelta_close(s);
    double seconds = quelta::bench::seconds_since(start);
    if (!ok) {
      std::printf("aggregate failed: %s\n", quelta_last_error());
      return 1;
    }
    if (seconds < aggregate_best) aggregate_best = seconds;
  }
  std::printf("aggregate    %9.3f s for the file (%llu values, sum %.6g); from_chars loop / aggregate %.2f\n",
              aggregate_best, static_cast<unsigned long long>(result.count), result.sum,
              std_fc.seconds / aggregate_best);
  return result.count + 1 == c.count() ? 0 : 1;
}
