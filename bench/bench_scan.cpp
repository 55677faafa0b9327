// Throughput of the Scanner through the public interface: counting with and
// without a predicate, row copy-out, JSON batches, over CSV and both JSON-row
// framings, each against a memchr newline count of the same file, and the
// peak resident memory of a whole-file count measured in a child process.
//
// usage: bench_scan [CSV [JSONL [JSON_ARRAY]]]
//        (defaults bench/data/rows.csv, rows.jsonl, rows_array.json)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quelta.h"

namespace {

constexpr int kRuns = 3;
constexpr size_t kChunkSize = 256 * 1024;  // the library reader's chunk size
constexpr size_t kBatchRows = 4096;
constexpr size_t kPriceColumn = 3;
constexpr const char* kPriceLimit = "5000";

constexpr double kAimCountRatio = 0.9;
constexpr double kAimCsvPredicateMBps = 1000.0;
constexpr double kAimJsonPredicateMBps = 750.0;
constexpr double kAimPeakMiB = 16.0;

// What one pass saw; compared across runs so a broken pass shows.
struct Tally {
  bool ok = false;
  uint64_t bytes = 0;  // input bytes (baseline only)
  uint64_t rows = 0;   // rows, lines or newlines
  uint64_t units = 0;  // fields or output bytes, so no work is optimised away
};

struct Timing {
  double seconds = 0;  // best of kRuns
  Tally tally;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best wall time of kRuns runs; rows and units must agree every time.
template <typename Pass>
Timing best_of(Pass pass) {
  Timing best;
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    Tally t = pass();
    double seconds = seconds_since(start);
    if (!t.ok || (run > 0 && (t.rows != best.tally.rows || t.units != best.tally.units))) {
      if (t.ok) std::fprintf(stderr, "bench_scan: runs of one pass disagree\n");
      best.tally.ok = false;
      return best;
    }
    if (run == 0 || seconds < best.seconds) best.seconds = seconds;
    best.tally = t;
  }
  return best;
}

void report_library_error(const char* what, const char* path) {
  const char* message = quelta_last_error();
  std::fprintf(stderr, "bench_scan: %s %s: %s\n", what, path, message ? message : "(no message)");
}

// The baseline: read(2) in kChunkSize pieces and count '\n' with memchr.
Tally count_newlines(const char* path) {
  Tally t;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "bench_scan: cannot open %s: %s\n", path, std::strerror(errno));
    return t;
  }
  char* buffer = static_cast<char*>(std::malloc(kChunkSize));
  t.ok = buffer != nullptr;
  while (t.ok) {
    ssize_t got = ::read(fd, buffer, kChunkSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "bench_scan: reading %s: %s\n", path, std::strerror(errno));
      t.ok = false;
      break;
    }
    if (got == 0) break;
    const char* p = buffer;
    const char* end = buffer + got;
    while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
      ++t.rows;
      ++p;
    }
    t.bytes += static_cast<uint64_t>(got);
  }
  t.units = t.bytes;
  std::free(buffer);
  ::close(fd);
  return t;
}

// price > 5000, the one numeric predicate every filtered pass uses.
Predicate price_predicate() {
  Predicate p{};
  p.column = kPriceColumn;
  p.op = QUELTA_OP_GT;
  p.value = kPriceLimit;
  return p;
}

ScanOptions scan_options(const Predicate* predicates, size_t n_predicates, int64_t max_column) {
  ScanOptions o{};
  o.predicates = predicates;
  o.n_predicates = n_predicates;
  o.limit = -1;
  o.max_column = max_column;
  return o;
}

// open + quelta_count + close.
Tally count_rows(const char* path, const ScanOptions* options) {
  Tally t;
  Scanner* s = quelta_open(path, options);
  if (!s) {
    report_library_error("cannot open", path);
    return t;
  }
  int64_t n = quelta_count(s);
  if (n < 0) {
    report_library_error("count failed on", path);
  } else {
    t.ok = true;
    t.rows = static_cast<uint64_t>(n);
  }
  quelta_close(s);
  return t;
}

// open + quelta_next over every row (the C-string copy-out) + close.
Tally next_rows(const char* path) {
  Tally t;
  Scanner* s = quelta_open(path, nullptr);
  if (!s) {
    report_library_error("cannot open", path);
    return t;
  }
  const char** fields = nullptr;
  size_t n = 0;
  int32_t got;
  while ((got = quelta_next(s, &fields, &n)) == 1) {
    ++t.rows;
    t.units += n + static_cast<unsigned char>(fields[0][0]);
  }
  if (got < 0)
    report_library_error("next failed on", path);
  else
    t.ok = true;
  quelta_close(s);
  return t;
}

// Rows in one batch text [[..],[..]]: '[' opening at depth 1, outside strings.
uint64_t rows_in_batch(const char* json, size_t len) {
  uint64_t rows = 0;
  int depth = 0;
  bool in_string = false, escape = false;
  for (size_t i = 0; i < len; ++i) {
    char c = json[i];
    if (in_string) {
      if (escape)
        escape = false;
      else if (c == '\\')
        escape = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[') {
      if (++depth == 2) ++rows;
    } else if (c == ']') {
      --depth;
    }
  }
  return rows;
}

// open + quelta_next_batch of kBatchRows rows until the end + close; units are
// JSON bytes. With count_rows_too each batch's rows are counted (untimed use).
Tally batch_rows(const char* path, bool count_rows_too) {
  Tally t;
  Scanner* s = quelta_open(path, nullptr);
  if (!s) {
    report_library_error("cannot open", path);
    return t;
  }
  Batch* batch = nullptr;
  int32_t got;
  while ((got = quelta_next_batch(s, kBatchRows, SIZE_MAX, &batch)) == 1) {
    size_t len = 0;
    const char* json = quelta_batch_json(batch, &len);
    t.units += len;
    t.rows += count_rows_too ? rows_in_batch(json, len) : 1;
    quelta_batch_free(batch);
  }
  if (got < 0)
    report_library_error("next_batch failed on", path);
  else
    t.ok = true;
  quelta_close(s);
  return t;
}

// ---- memory, measured in a child so the figures belong to one pass ----

struct MemoryReport {
  int32_t ok = 0;
  int32_t peak_reset = 0;  // whether the kernel's peak was reset before the pass
  int64_t rss_before = 0;  // KiB, just before quelta_open
  int64_t peak = 0;        // KiB, VmHWM after the pass
  int64_t rows = 0;
};

// A "Vm...:" line of /proc/self/status in KiB, or -1.
int64_t proc_status_kib(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  int64_t value = -1;
  size_t key_len = std::strlen(key);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, key, key_len) == 0 && line[key_len] == ':') {
      value = std::strtoll(line + key_len + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

// Resets VmHWM to the current RSS (Linux 4.0+), so the peak excludes whatever
// the parent held when it forked.
bool reset_peak_rss() {
  int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return ok;
}

// Runs work() (returning rows, or -1) in a child and reports its memory.
template <typename Work>
MemoryReport measure_in_child(Work work) {
  MemoryReport report;
  int fds[2];
  if (::pipe(fds) != 0) return report;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return report;
  }
  if (pid == 0) {
    ::close(fds[0]);
    MemoryReport r;
    r.peak_reset = reset_peak_rss() ? 1 : 0;
    r.rss_before = proc_status_kib("VmRSS");
    r.rows = work();
    r.peak = proc_status_kib("VmHWM");
    if (r.peak < 0) {
      struct rusage usage {};
      if (::getrusage(RUSAGE_SELF, &usage) == 0) r.peak = usage.ru_maxrss;
    }
    r.ok = r.rows >= 0 && r.rss_before >= 0 && r.peak >= 0;
    ssize_t written = ::write(fds[1], &r, sizeof r);
    ::_exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  ::close(fds[1]);
  MemoryReport received;
  ssize_t got = ::read(fds[0], &received, sizeof received);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof received) && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    report = received;
  return report;
}

int64_t count_in_child(const char* path, const ScanOptions* options) {
  Scanner* s = quelta_open(path, options);
  if (!s) return -1;
  int64_t n = quelta_count(s);
  quelta_close(s);
  return n;
}

// ---- reporting ----

std::string cpu_model() {
  std::string model = "unknown";
  if (FILE* f = std::fopen("/proc/cpuinfo", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (std::strncmp(line, "model name", 10) != 0) continue;
      const char* colon = std::strchr(line, ':');
      if (colon) {
        model = colon + 1 + (colon[1] == ' ');
        if (!model.empty() && model.back() == '\n') model.pop_back();
      }
      break;
    }
    std::fclose(f);
  }
  return model;
}

std::string load_average() {
  std::string load = "unknown";
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    double one, five, fifteen;
    if (std::fscanf(f, "%lf %lf %lf", &one, &five, &fifteen) == 3) {
      char text[64];
      std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
      load = text;
    }
    std::fclose(f);
  }
  return load;
}

double mb_per_s(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }
double mib(int64_t kib) { return static_cast<double>(kib) / 1024.0; }

void print_header() {
  std::printf("%-30s %-6s %9s %9s %8s %6s\n", "pass", "input", "MB/s", "Mrows/s", "best s", "ratio");
}

// MB/s over bytes, rows per second, and baseline time / pass time.
void print_row(const char* pass, const char* input, double seconds, uint64_t bytes, uint64_t rows,
               double baseline_seconds) {
  std::printf("%-30s %-6s %9.1f %9.2f %8.3f %6.2f\n", pass, input, mb_per_s(bytes, seconds),
              static_cast<double>(rows) / seconds / 1e6, seconds, baseline_seconds / seconds);
}

void print_aim(const char* what, double value, const char* unit, const char* relation, double aim, bool met) {
  std::printf("%-34s %8.2f %-5s (aim %s %.2f)%s\n", what, value, unit, relation, aim,
              met ? "" : "  BELOW AIM");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4) {
    std::fprintf(stderr, "usage: bench_scan [CSV [JSONL [JSON_ARRAY]]]\n");
    return 2;
  }
  const char* csv = argc > 1 ? argv[1] : "bench/data/rows.csv";
  const char* jsonl = argc > 2 ? argv[2] : "bench/data/rows.jsonl";
  const char* array = argc > 3 ? argv[3] : "bench/data/rows_array.json";

  const Predicate price = price_predicate();
  const ScanOptions no_options = scan_options(nullptr, 0, -1);
  const ScanOptions with_price = scan_options(&price, 1, static_cast<int64_t>(kPriceColumn));

  // Memory first, while the parent holds next to nothing the child could inherit.
  MemoryReport plain_memory = measure_in_child([&] { return count_in_child(csv, &no_options); });
  MemoryReport price_memory = measure_in_child([&] { return count_in_child(csv, &with_price); });
  MemoryReport jsonl_memory = measure_in_child([&] { return count_in_child(jsonl, &with_price); });

  // Warm-up: brings each file into the page cache and gives the reference counts.
  Tally csv_ref = count_newlines(csv);
  Tally jsonl_ref = count_newlines(jsonl);
  Tally array_ref = count_newlines(array);
  if (!csv_ref.ok || !jsonl_ref.ok || !array_ref.ok) return 1;

  std::printf("files     %s %.1f MiB, %s %.1f MiB, %s %.1f MiB\n", csv, csv_ref.bytes / 1048576.0, jsonl,
              jsonl_ref.bytes / 1048576.0, array, array_ref.bytes / 1048576.0);
  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf("method    best of %d runs, files in page cache; each pass is open + work + close;\n", kRuns);
  std::printf("          MB = 10^6 input bytes, ratio = memchr count of the same file / pass time;\n");
  std::printf("          predicate: price (column %zu) > %s, max_column %zu\n\n", kPriceColumn, kPriceLimit,
              kPriceColumn);

  auto newline_pass = [](const char* path) { return [path] { return count_newlines(path); }; };
  auto count_pass = [](const char* path, const ScanOptions* o) {
    return [path, o] { return count_rows(path, o); };
  };

  bool ok = true;
  bool consistent = true;
  print_header();

  // CSV
  Timing csv_base = best_of(newline_pass(csv));
  Timing csv_count = best_of(count_pass(csv, &no_options));
  Timing csv_price = best_of(count_pass(csv, &with_price));
  Timing csv_next = best_of([&] { return next_rows(csv); });
  Timing csv_batch = best_of([&] { return batch_rows(csv, false); });
  ok &= csv_base.tally.ok && csv_count.tally.ok && csv_price.tally.ok && csv_next.tally.ok &&
        csv_batch.tally.ok;
  if (!ok) return 1;
  const uint64_t csv_bytes = csv_ref.bytes;
  const uint64_t csv_rows = csv_count.tally.rows;
  print_row("memchr newline count", "csv", csv_base.seconds, csv_bytes, csv_base.tally.rows,
            csv_base.seconds);
  print_row("count", "csv", csv_count.seconds, csv_bytes, csv_rows, csv_base.seconds);
  print_row("count price>5000", "csv", csv_price.seconds, csv_bytes, csv_rows, csv_base.seconds);
  print_row("next (C-string copy-out)", "csv", csv_next.seconds, csv_bytes, csv_next.tally.rows,
            csv_base.seconds);
  print_row("next_batch 4096 rows", "csv", csv_batch.seconds, csv_bytes, csv_rows, csv_base.seconds);
  std::printf("%-30s %-6s %9.1f   (%.1f MB of JSON text in %llu batches)\n", "  JSON text produced", "json",
              mb_per_s(csv_batch.tally.units, csv_batch.seconds), csv_batch.tally.units / 1e6,
              static_cast<unsigned long long>(csv_batch.tally.rows));
  // Every data line is one row; the header is not.
  consistent &= csv_rows + 1 == csv_ref.rows;
  consistent &= csv_next.tally.rows == csv_rows;
  Tally batch_check = batch_rows(csv, true);
  consistent &= batch_check.ok && batch_check.rows == csv_rows && batch_check.units == csv_batch.tally.units;

  // JSON lines
  Timing jsonl_base = best_of(newline_pass(jsonl));
  Timing jsonl_count = best_of(count_pass(jsonl, &no_options));
  Timing jsonl_price = best_of(count_pass(jsonl, &with_price));
  ok &= jsonl_base.tally.ok && jsonl_count.tally.ok && jsonl_price.tally.ok;
  if (!ok) return 1;
  const uint64_t jsonl_bytes = jsonl_ref.bytes;
  print_row("memchr newline count", "jsonl", jsonl_base.seconds, jsonl_bytes, jsonl_base.tally.rows,
            jsonl_base.seconds);
  print_row("count", "jsonl", jsonl_count.seconds, jsonl_bytes, jsonl_count.tally.rows, jsonl_base.seconds);
  print_row("count price>5000", "jsonl", jsonl_price.seconds, jsonl_bytes, jsonl_count.tally.rows,
            jsonl_base.seconds);
  consistent &= jsonl_count.tally.rows == csv_rows && jsonl_price.tally.rows == csv_price.tally.rows;

  // One JSON array, for reference
  Timing array_base = best_of(newline_pass(array));
  Timing array_count = best_of(count_pass(array, &no_options));
  Timing array_price = best_of(count_pass(array, &with_price));
  ok &= array_base.tally.ok && array_count.tally.ok && array_price.tally.ok;
  if (!ok) return 1;
  const uint64_t array_bytes = array_ref.bytes;
  print_row("memchr newline count", "array", array_base.seconds, array_bytes, array_base.tally.rows,
            array_base.seconds);
  print_row("count", "array", array_count.seconds, array_bytes, array_count.tally.rows, array_base.seconds);
  print_row("count price>5000", "array", array_price.seconds, array_bytes, array_count.tally.rows,
            array_base.seconds);
  consistent &= array_count.tally.rows == csv_rows && array_price.tally.rows == csv_price.tally.rows;

  std::printf("\n%llu rows, %llu with price > %s\n", static_cast<unsigned long long>(csv_rows),
              static_cast<unsigned long long>(csv_price.tally.rows), kPriceLimit);

  // Memory
  std::printf("\npeak resident memory of a child process (MiB; before = RSS just before quelta_open%s)\n",
              plain_memory.peak_reset ? ", peak reset there" : "");
  std::printf("%-30s %-6s %9s %9s %9s\n", "pass", "input", "before", "peak", "library");
  auto print_memory = [&](const char* pass, const char* input, const MemoryReport& m) {
    if (!m.ok) {
      std::printf("%-30s %-6s   (measurement failed)\n", pass, input);
      return;
    }
    std::printf("%-30s %-6s %9.2f %9.2f %9.2f\n", pass, input, mib(m.rss_before), mib(m.peak),
                mib(m.peak - m.rss_before));
  };
  print_memory("count", "csv", plain_memory);
  print_memory("count price>5000", "csv", price_memory);
  print_memory("count price>5000", "jsonl", jsonl_memory);
  consistent &= !plain_memory.ok || static_cast<uint64_t>(plain_memory.rows) == csv_rows;
  consistent &= !price_memory.ok || static_cast<uint64_t>(price_memory.rows) == csv_price.tally.rows;
  consistent &= !jsonl_memory.ok || static_cast<uint64_t>(jsonl_memory.rows) == csv_price.tally.rows;

  // Aims
  double count_ratio = csv_base.seconds / csv_count.seconds;
  double csv_price_mbps = mb_per_s(csv_bytes, csv_price.seconds);
  double jsonl_price_mbps = mb_per_s(jsonl_bytes, jsonl_price.seconds);
  double peak_mib = std::max({mib(plain_memory.peak), mib(price_memory.peak), mib(jsonl_memory.peak)});
  std::printf("\n");
  print_aim("count csv / memchr count", count_ratio, "", ">=", kAimCountRatio, count_ratio >= kAimCountRatio);
  print_aim("count price>5000 csv", csv_price_mbps, "MB/s", ">=", kAimCsvPredicateMBps,
            csv_price_mbps >= kAimCsvPredicateMBps);
  print_aim("count price>5000 jsonl", jsonl_price_mbps, "MB/s", ">=", kAimJsonPredicateMBps,
            jsonl_price_mbps >= kAimJsonPredicateMBps);
  bool memory_ok = plain_memory.ok && price_memory.ok && jsonl_memory.ok;
  print_aim("peak RSS while counting", peak_mib, "MiB", "<", kAimPeakMiB,
            memory_ok && peak_mib < kAimPeakMiB);
  std::printf("load      %s (at the end)\n", load_average().c_str());

  if (!memory_ok) std::fprintf(stderr, "bench_scan: a memory measurement failed\n");
  if (!consistent) {
    std::fprintf(stderr, "bench_scan: passes disagree on row counts or batch text\n");
    return 1;
  }
  return 0;
}
