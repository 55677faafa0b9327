// What the benchmark programs share: start-up (usage check, arguments) and error
// messages that start with the program's name; the best-of-kRuns timing of a pass
// and the Tally it compares across runs; the baseline every ratio is measured
// against (a memchr newline count over read(2) chunks of the library reader's
// size, which also brings a file into the page cache); the machine's description
// (CPU model, load average); unit conversions; the scan options and the count
// pass of the public interface; and the peak resident memory of one pass,
// measured in a child process.
//
// Header-only: each bench_<name>.cpp is its own program and includes this file.
// gen_data does not: it stands apart from the library.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "quelta.h"

namespace quelta::bench {

inline constexpr int kRuns = 3;
inline constexpr size_t kChunkSize = 256 * 1024;  // the library reader's chunk size

// ---- start-up and error messages ----

namespace internal {
// What every message below starts with; set by start_program.
inline const char* program_name = "bench";
}  // namespace internal

// The first call of a program: names it for the messages below and checks its
// argument count, false after printing "usage: <name> <args>" when there are
// more than max_args.
inline bool start_program(const char* name, int argc, int max_args, const char* args) {
  internal::program_name = name;
  if (argc - 1 <= max_args) return true;
  std::fprintf(stderr, "usage: %s %s\n", name, args);
  return false;
}

// argv[i], or fallback when fewer arguments were given.
inline const char* arg_or(int argc, char** argv, int i, const char* fallback) {
  return i < argc ? argv[i] : fallback;
}

// "<program>: <formatted message>" and a newline on stderr.
[[gnu::format(printf, 1, 2)]] inline void print_error(const char* format, ...) {
  std::fprintf(stderr, "%s: ", internal::program_name);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// The exit status at the end of a run: 0, or 1 after printing disagreement
// when the passes' results did not agree with each other.
inline int exit_status(bool consistent, const char* disagreement) {
  if (consistent) return 0;
  print_error("%s", disagreement);
  return 1;
}

// "<program>: <what> <path>: <message>", as in "bench_scan: cannot open x.csv: ...".
inline void report_failure(const char* what, const char* path, const char* message) {
  print_error("%s %s: %s", what, path, message);
}

// A failure of a public-interface call, with the library's last-error message.
inline void report_library_error(const char* what, const char* path) {
  const char* message = quelta_last_error();
  report_failure(what, path, message ? message : "(no message)");
}

// ---- timing ----

// What one pass saw; compared across runs, so a broken pass shows.
struct Tally {
  bool ok = false;
  uint64_t bytes = 0;  // input bytes (the newline count)
  uint64_t rows = 0;   // rows, records, lines or newlines
  uint64_t units = 0;  // fields, line bytes or output bytes, so no work is optimised away
  double value = 0;    // a result figure (a sum, a best key, bytes held)
};

struct Timing {
  double seconds = 0;      // best of kRuns
  double cpu_seconds = 0;  // the process's CPU time (user and system), best of kRuns
  Tally tally;
};

// The whole number after key in a report's JSON text, or UINT64_MAX.
inline uint64_t report_member(const char* json, const char* key) {
  const char* at = std::strstr(json, key);
  return at ? std::strtoull(at + std::strlen(key), nullptr, 10) : UINT64_MAX;
}

// CPU time of the whole process, user and system: on a loaded machine it
// still measures the work of a one-thread pass.
inline double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline bool same_result(const Tally& a, const Tally& b) {
  return a.rows == b.rows && a.units == b.units && a.value == b.value;
}

// Best wall time of kRuns runs of pass(); every run must see the same result.
// after() runs after each run, outside the timing (to remove what it wrote).
template <typename Pass, typename After = void (*)()>
Timing best_of(
    Pass pass, After after = [] {}) {
  Timing best;
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    const double cpu_start = process_cpu_seconds();
    Tally t = pass();
    double seconds = seconds_since(start);
    const double cpu = process_cpu_seconds() - cpu_start;
    after();
    if (!t.ok || (run > 0 && !same_result(t, best.tally))) {
      if (t.ok) print_error("runs of one pass disagree");
      best.tally.ok = false;
      return best;
    }
    if (run == 0 || seconds < best.seconds) best.seconds = seconds;
    if (run == 0 || cpu < best.cpu_seconds) best.cpu_seconds = cpu;
    best.tally = t;
  }
  return best;
}

// ---- the baseline ----

// Number of newlines in [p, end).
inline uint64_t count_newlines_in(const char* p, const char* end) {
  uint64_t newlines = 0;
  while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
    ++newlines;
    ++p;
  }
  return newlines;
}

// Reads fd to the end in kChunkSize pieces with read(2), counting newlines into
// t->rows and bytes into t->bytes. False (after a message) on a read error.
inline bool count_newlines_of(int fd, const char* path, Tally* t) {
  char* buffer = static_cast<char*>(std::malloc(kChunkSize));
  bool ok = buffer != nullptr;
  while (ok) {
    ssize_t got = ::read(fd, buffer, kChunkSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      print_error("reading %s: %s", path, std::strerror(errno));
      ok = false;
      break;
    }
    if (got == 0) break;
    t->rows += count_newlines_in(buffer, buffer + got);
    t->bytes += static_cast<uint64_t>(got);
  }
  std::free(buffer);
  return ok;
}

// The baseline: read(2) in kChunkSize pieces and count '\n' with memchr. It also
// serves as the warm-up that brings a file into the page cache.
inline Tally count_newlines(const char* path) {
  Tally t;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    print_error("cannot open %s: %s", path, std::strerror(errno));
    return t;
  }
  t.ok = count_newlines_of(fd, path, &t);
  t.units = t.bytes;
  ::close(fd);
  return t;
}

// ---- the machine and units ----

inline std::string cpu_model() {
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

inline std::string load_average() {
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

// MB = 10^6 bytes.
inline double mb_per_s(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }
inline double mrows_per_s(uint64_t rows, double seconds) { return static_cast<double>(rows) / seconds / 1e6; }
inline double bytes_to_mib(double bytes) { return bytes / 1048576.0; }
inline double kib_to_mib(double kib) { return kib / 1024.0; }

// ---- scanning through the public interface ----

// The filtered passes keep the rows whose price (column 3 of gen_data's rows)
// is above 5000, about half of them.
inline constexpr size_t kPriceColumn = 3;
inline constexpr const char* kPriceLimit = "5000";

inline Predicate price_predicate() {
  Predicate p{};
  p.column = kPriceColumn;
  p.op = QUELTA_OP_GT;
  p.value = kPriceLimit;
  return p;
}

inline ScanOptions scan_options(const Predicate* predicates, size_t n_predicates, int64_t max_column) {
  ScanOptions o{};
  o.predicates = predicates;
  o.n_predicates = n_predicates;
  o.limit = -1;
  o.max_column = max_column;
  return o;
}

// quelta_open, or nullptr after a message.
inline Scanner* open_scanner(const char* path, const ScanOptions* options) {
  Scanner* s = quelta_open(path, options);
  if (!s) report_library_error("cannot open", path);
  return s;
}

// open + quelta_count + close; rows = the count.
inline Tally count_rows(const char* path, const ScanOptions* options) {
  Tally t;
  Scanner* s = open_scanner(path, options);
  if (!s) return t;
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

// ---- peak memory, measured in a child so the figures belong to one pass ----

// Sent from the child through a pipe, so plain fixed-size fields only.
struct MemoryReport {
  int32_t ok = 0;
  int32_t peak_reset = 0;  // whether the kernel's peak was reset before the pass
  int64_t rss_before = 0;  // KiB, just before the pass
  int64_t peak = 0;        // KiB, set by the pass from peak_kib()
  int64_t rows = 0;        // set by the pass; -1 when it failed
};

// A "Vm...:" line of /proc/self/status in KiB, or -1.
inline int64_t proc_status_kib(const char* key) {
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

// The peak resident memory so far in KiB (VmHWM, else ru_maxrss), or -1.
inline int64_t peak_kib() {
  int64_t peak = proc_status_kib("VmHWM");
  if (peak < 0) {
    struct rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) == 0) peak = usage.ru_maxrss;
  }
  return peak;
}

// Resets VmHWM to the current RSS (Linux 4.0+), so the peak excludes whatever
// the parent held when it forked.
inline bool reset_peak_rss() {
  int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return ok;
}

// The child's side: runs work(&report), writes the report to fd and exits.
template <typename Work>
[[noreturn]] void run_measured_child(Work work, int fd) {
  MemoryReport r;
  r.peak_reset = reset_peak_rss() ? 1 : 0;
  r.rss_before = proc_status_kib("VmRSS");
  r.rows = -1;
  work(&r);
  r.ok = r.rows >= 0 && r.rss_before >= 0 && r.peak >= 0;
  ssize_t written = ::write(fd, &r, sizeof r);
  ::_exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
}

// The parent's side: the child's report, or a report with ok = 0 when the
// child did not send one whole or did not exit cleanly.
inline MemoryReport receive_report(pid_t pid, int fd) {
  MemoryReport received;
  ssize_t got = ::read(fd, &received, sizeof received);
  ::close(fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof received) && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return received;
  return MemoryReport{};
}

// Runs work(&report) in a child process; work sets rows (left at -1 on failure)
// and peak, and the report comes back through a pipe.
template <typename Work>
MemoryReport measure_in_child(Work work) {
  int fds[2];
  if (::pipe(fds) != 0) return MemoryReport{};
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return MemoryReport{};
  }
  if (pid == 0) {
    ::close(fds[0]);
    run_measured_child(work, fds[1]);
  }
  ::close(fds[1]);
  return receive_report(pid, fds[0]);
}

}  // namespace quelta::bench
