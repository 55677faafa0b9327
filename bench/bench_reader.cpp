// Throughput of line framing (read_line) and CSV tokenizing (read_record) over
// one file, against a plain memchr newline count of the same bytes read in
// chunks of the reader's size, for each byte search version.
//
// usage: bench_reader [FILE]   (default bench/data/rows.csv)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input/buffered_reader.h"
#include "input/csv_tokenizer.h"
#include "util/byte_search.h"

namespace {

using quelta::Error;
using quelta::SimdLevel;

constexpr int kRuns = 3;
constexpr double kAimFramingRatio = 0.8;
constexpr double kAimTokenizeMBps = 1000.0;

// What one pass saw; compared across runs and passes so a broken pass shows.
struct Tally {
  uint64_t bytes = 0;    // bytes read from the file
  uint64_t records = 0;  // newlines, lines or records
  uint64_t units = 0;    // line bytes or fields, so no work is optimised away
  bool ok = false;
};

struct Timing {
  double seconds = 0;  // best of kRuns
  Tally tally;
};

const char* level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Avx2:
      return "avx2";
    case SimdLevel::Sse2:
      return "sse2";
    case SimdLevel::Scalar:
      break;
  }
  return "scalar";
}

void report_error(const char* what, const char* path, Error e) {
  std::fprintf(stderr, "bench_reader: %s %s: %s\n", what, path, quelta::error_name(e));
}

// The baseline: read(2) in kChunkSize pieces and count '\n' with memchr.
Tally count_newlines(const char* path) {
  Tally t;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "bench_reader: cannot open %s: %s\n", path, std::strerror(errno));
    return t;
  }
  char* buffer = static_cast<char*>(std::malloc(quelta::kChunkSize));
  t.ok = buffer != nullptr;
  while (t.ok) {
    ssize_t got = ::read(fd, buffer, quelta::kChunkSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "bench_reader: reading %s: %s\n", path, std::strerror(errno));
      t.ok = false;
      break;
    }
    if (got == 0) break;
    const char* p = buffer;
    const char* end = buffer + got;
    while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
      ++t.records;
      ++p;
    }
    t.bytes += static_cast<uint64_t>(got);
  }
  t.units = t.bytes;
  std::free(buffer);
  ::close(fd);
  return t;
}

// Every line through read_line: lines counted, line lengths summed.
Tally frame_lines(const char* path) {
  Tally t;
  quelta::platform::File file;
  if (Error e = quelta::open_input_file(path, &file); quelta::failed(e)) {
    report_error("cannot open", path, e);
    return t;
  }
  quelta::BufferedReader reader;
  if (Error e = quelta::reader_init_file(&reader, file); quelta::failed(e)) {
    quelta::platform::file_close(&file);
    report_error("cannot set up a reader for", path, e);
    return t;
  }
  for (;;) {
    quelta::FieldView line;
    bool at_end = false;
    if (Error e = quelta::read_line(&reader, &line, &at_end); quelta::failed(e)) {
      report_error("read_line failed on", path, e);
      quelta::reader_close(&reader);
      return t;
    }
    if (at_end) break;
    ++t.records;
    t.units += line.len;
  }
  quelta::reader_close(&reader);
  t.ok = true;
  return t;
}

// Every record through read_record: records and fields counted. The header
// line is read by csv_open_file and is not counted.
Tally tokenize(const char* path) {
  Tally t;
  quelta::CsvReader csv;
  if (Error e = quelta::csv_open_file(&csv, path, quelta::kNoMaxColumn); quelta::failed(e)) {
    report_error("cannot open", path, e);
    return t;
  }
  for (;;) {
    const quelta::FieldView* fields = nullptr;
    size_t count = 0;
    bool at_end = false;
    if (Error e = quelta::read_record(&csv, &fields, &count, &at_end); quelta::failed(e)) {
      report_error("read_record failed on", path, e);
      quelta::csv_close(&csv);
      return t;
    }
    if (at_end) break;
    ++t.records;
    t.units += count;
  }
  quelta::csv_close(&csv);
  t.ok = true;
  return t;
}

// Best wall time of kRuns runs; the tally must be the same every time.
template <typename Pass>
Timing best_of(Pass pass, const char* path) {
  Timing best;
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    Tally t = pass(path);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!t.ok || (run > 0 && (t.records != best.tally.records || t.units != best.tally.units))) {
      best.tally.ok = false;
      return best;
    }
    if (run == 0 || seconds < best.seconds) best.seconds = seconds;
    best.tally = t;
  }
  return best;
}

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

void print_row(const char* pass, const char* search, const Timing& t, uint64_t file_bytes,
               double baseline_seconds) {
  double mbps = static_cast<double>(file_bytes) / t.seconds / 1e6;
  double mrows = static_cast<double>(t.tally.records) / t.seconds / 1e6;
  std::printf("%-22s %-7s %9.1f %9.2f %8.3f %6.2f\n", pass, search, mbps, mrows, t.seconds,
              baseline_seconds / t.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: bench_reader [FILE]   (default bench/data/rows.csv)\n");
    return 2;
  }
  const char* path = argc > 1 ? argv[1] : "bench/data/rows.csv";
  const SimdLevel best_level = quelta::simd_best_level();

  // Warm-up: brings the file into the page cache and gives the reference counts.
  Tally reference = count_newlines(path);
  if (!reference.ok) return 1;
  const uint64_t file_bytes = reference.bytes;

  std::printf("file      %s, %llu bytes (%.1f MiB), %llu lines\n", path,
              static_cast<unsigned long long>(file_bytes), static_cast<double>(file_bytes) / (1 << 20),
              static_cast<unsigned long long>(reference.records));
  std::printf("cpu       %s; best byte search %s\n", cpu_model().c_str(), level_name(best_level));
  std::printf("method    best of %d runs, file in page cache, chunk %zu bytes; MB = 10^6 bytes,\n", kRuns,
              quelta::kChunkSize);
  std::printf("          MB/s over the whole file, ratio = baseline time / pass time\n\n");

  Timing baseline = best_of(count_newlines, path);
  if (!baseline.tally.ok) return 1;

  std::printf("%-22s %-7s %9s %9s %8s %6s\n", "pass", "search", "MB/s", "Mrows/s", "best s", "ratio");
  print_row("memchr newline count", "libc", baseline, file_bytes, baseline.seconds);

  bool consistent = true;
  Timing framing_best, tokenize_best;
  // The best version first: its figures are the ones the aims apply to.
  for (SimdLevel level : {SimdLevel::Avx2, SimdLevel::Sse2, SimdLevel::Scalar}) {
    if (level > best_level) continue;
    quelta::byte_search_use(level);
    Timing framing = best_of(frame_lines, path);
    Timing tokenizing = best_of(tokenize, path);
    if (!framing.tally.ok || !tokenizing.tally.ok) {
      quelta::byte_search_use(best_level);
      return 1;
    }
    print_row("read_line", level_name(level), framing, file_bytes, baseline.seconds);
    print_row("read_record", level_name(level), tokenizing, file_bytes, baseline.seconds);
    // A file ending in '\n' has as many lines as newlines; the header is not a record.
    consistent &=
        framing.tally.records == reference.records || framing.tally.records == reference.records + 1;
    consistent &= tokenizing.tally.records + 1 == framing.tally.records;
    if (level == best_level) {
      framing_best = framing;
      tokenize_best = tokenizing;
    } else {
      consistent &= framing.tally.units == framing_best.tally.units;
      consistent &= tokenizing.tally.units == tokenize_best.tally.units;
    }
  }
  quelta::byte_search_use(best_level);

  double framing_ratio = baseline.seconds / framing_best.seconds;
  double tokenize_mbps = static_cast<double>(file_bytes) / tokenize_best.seconds / 1e6;
  std::printf("\n%llu records, %llu fields, %llu line bytes\n",
              static_cast<unsigned long long>(tokenize_best.tally.records),
              static_cast<unsigned long long>(tokenize_best.tally.units),
              static_cast<unsigned long long>(framing_best.tally.units));
  std::printf("line framing   %.2f of baseline (aim >= %.2f)%s\n", framing_ratio, kAimFramingRatio,
              framing_ratio >= kAimFramingRatio ? "" : "  BELOW AIM");
  std::printf("tokenizing     %.0f MB/s (aim >= %.0f)%s\n", tokenize_mbps, kAimTokenizeMBps,
              tokenize_mbps >= kAimTokenizeMBps ? "" : "  BELOW AIM");
  if (!consistent) {
    std::fprintf(stderr, "bench_reader: passes disagree on line, record or field counts\n");
    return 1;
  }
  return 0;
}
