// Speed of the decimal conversion against std::from_chars (and fast_float when
// its header is installed) on the same number texts: the whole mix, then plain
// decimals, texts with an exponent and long texts (17+ significant digits) each
// on their own, as ns per number, the median CPU time of five runs; strtod on the
// mix only.
//
// Usage: bench_decimal [numbers.txt]   (one number text per line; default
// bench/data/numbers.txt). When the file is missing, ten million texts of mixed
// forms (integers, short decimals, scientific, 17-digit doubles) are generated in
// memory from a fixed seed.
//
// With a file, quelta_aggregate over it (a one-column CSV whose first line is the
// header) is timed too: reading, splitting and converting every line, against
// the from_chars loop over the same texts already split in memory.
#include <time.h>

#include <algorithm>
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

// fast_float, when its header is installed, is the baseline named in the aims.
#if __has_include(<fast_float/fast_float.h>)
#include <fast_float/fast_float.h>
#define QUELTA_BENCH_FAST_FLOAT 1
#else
#define QUELTA_BENCH_FAST_FLOAT 0
#endif

namespace {

using quelta::bench::kRuns;
constexpr int kMedianRuns = 5;

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

// The forms a text takes, timed apart: plain decimals of up to 16 significant
// digits, texts with an exponent, and long plain texts (17 or more significant digits).
enum Form { kPlain, kExponent, kLong, kForms };
constexpr const char* kFormNames[kForms] = {"plain", "exponent", "long"};

Form form_of(const char* p, size_t n) {
  size_t significant = 0;
  bool leading = true;
  for (size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c == 'e' || c == 'E') return kExponent;
    if (c < '0' || c > '9') continue;
    leading = leading && c == '0';
    significant += !leading;
  }
  return significant >= 17 ? kLong : kPlain;
}

struct Result {
  double seconds;
  double checksum;
  size_t failures;
};

// Seconds of this thread's CPU time: a loaded machine's waits do not count.
double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

template <typename Convert>
Result time_once(const Corpus& c, Convert convert) {
  double sum = 0;
  size_t failures = 0;
  double start = cpu_seconds();
  for (size_t i = 0; i < c.count(); ++i) {
    double v;
    if (convert(c, i, &v)) {
      sum += v;
    } else {
      ++failures;
    }
  }
  return {cpu_seconds() - start, sum, failures};
}

// The median of the runs' times, with the first run's checksum and failures.
Result median(std::vector<Result> runs) {
  std::vector<double> t;
  for (const Result& r : runs) t.push_back(r.seconds);
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], runs[0].checksum, runs[0].failures};
}

void report(const char* name, const Result& r, const Corpus& c) {
  std::printf("  %-11s %7.2f ns/number %9.1f MB/s   (%zu rejected, checksum %.6g)\n", name,
              1e9 * r.seconds / double(c.count()), double(c.bytes.size()) / r.seconds / 1e6, r.failures,
              r.checksum);
}

bool ours_one(const Corpus& c, size_t i, double* v) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(c.bytes.data());
  return quelta::decimal_to_double(base + c.offsets[i], c.offsets[i + 1] - c.offsets[i], v) ==
         quelta::Error::None;
}

bool from_chars_one(const Corpus& c, size_t i, double* v) {
  const char* s = c.bytes.data() + c.offsets[i];
  return std::from_chars(s, c.bytes.data() + c.offsets[i + 1], *v).ec == std::errc();
}

#if QUELTA_BENCH_FAST_FLOAT
bool fast_float_one(const Corpus& c, size_t i, double* v) {
  const char* s = c.bytes.data() + c.offsets[i];
  return fast_float::from_chars(s, c.bytes.data() + c.offsets[i + 1], *v).ec == std::errc();
}
#endif

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

  auto strtod_one = [&](const Corpus&, size_t i, double* v) {
    const char* s = terminated.data() + starts[i];
    char* end;
    *v = std::strtod(s, &end);
    return end != s;
  };
  // The whole mix, then each form on its own.
  Corpus forms[kForms];
  for (size_t i = 0; i < c.count(); ++i) {
    const char* p = c.bytes.data() + c.offsets[i];
    size_t n = c.offsets[i + 1] - c.offsets[i];
    forms[form_of(p, n)].add(p, n);
  }
  const Corpus* sets[kForms + 1] = {&c, &forms[kPlain], &forms[kExponent], &forms[kLong]};
  const char* set_names[kForms + 1] = {"mix", kFormNames[kPlain], kFormNames[kExponent], kFormNames[kLong]};
  double from_chars_mix = 0;
  for (int s = 0; s <= kForms; ++s) {
    const Corpus& set = *sets[s];
    if (set.count() == 0) continue;
    std::printf("%s: %zu texts, %.1f bytes each\n", set_names[s], set.count(),
                double(set.bytes.size()) / double(set.count()));
    // The converters take turns within each run, so a busy machine slows them alike.
    std::vector<Result> ours, std_fc, ff, libc;
    for (int run = 0; run < kMedianRuns; ++run) {
      ours.push_back(time_once(set, ours_one));
      std_fc.push_back(time_once(set, from_chars_one));
#if QUELTA_BENCH_FAST_FLOAT
      ff.push_back(time_once(set, fast_float_one));
#endif
      if (s == 0 && run < 2) libc.push_back(time_once(set, strtod_one));
    }
    Result o = median(ours), f = median(std_fc);
    report("ours", o, set);
    report("from_chars", f, set);
    std::printf("  ours/from_chars %.2fx", f.seconds / o.seconds);
#if QUELTA_BENCH_FAST_FLOAT
    Result fa = median(ff);
    std::printf("\n");
    report("fast_float", fa, set);
    std::printf("  ours/fast_float %.2fx", fa.seconds / o.seconds);
#endif
    if (!libc.empty()) {
      Result l = median(libc);
      std::printf("\n");
      report("strtod", l, set);
      std::printf("  ours/strtod %.2fx", l.seconds / o.seconds);
    }
    std::printf("   (speed ratios, median CPU time of %d runs)\n", kMedianRuns);
    if (s == 0) from_chars_mix = f.seconds;
  }
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
              from_chars_mix / aggregate_best);
  return result.count + 1 == c.count() ? 0 : 1;
}
