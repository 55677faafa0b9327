// Throughput of line framing (read_line) and CSV tokenizing (read_record, and
// for comparison read_line + split_record, the tokenizer read_record must
// agree with) over one file, against a plain memchr newline count of the same
// bytes read in chunks of the reader's size, for each byte search version.
//
// usage: bench_reader [FILE]   (default bench/data/rows.csv)
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include "bench_common.h"
#include "input/buffered_reader.h"
#include "input/csv_reader.h"
#include "input/csv_tokenizer.h"
#include "util/byte_search.h"

namespace quelta::bench {
namespace {

static_assert(kChunkSize == quelta::kChunkSize, "the baseline reads in the reader's chunks");

constexpr double kAimFramingRatio = 0.8;
constexpr double kAimTokenizeMBps = 2000.0;
constexpr double kAimQuotedRatio = 0.90;        // rfc4180 tokenizing against line mode
constexpr double kAimQuotedCountMBps = 2000.0;  // quelta_count with quotes spanning lines

const char* level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Avx2:
      return "avx2";
    case SimdLevel::Sse2:
      return "sse2";
    case SimdLevel::Neon:
      return "neon";
    case SimdLevel::Scalar:
      break;
  }
  return "scalar";
}

void report_error(const char* what, const char* path, Error e) {
  report_failure(what, path, quelta::error_name(e));
}

// A buffered reader over path; false, with the failure reported, when it cannot be set up.
bool open_reader(const char* path, quelta::BufferedReader* reader) {
  quelta::platform::File file;
  if (Error e = quelta::open_input_file(path, &file); quelta::failed(e)) {
    report_error("cannot open", path, e);
    return false;
  }
  if (Error e = quelta::reader_init_file(reader, file); quelta::failed(e)) {
    quelta::platform::file_close(&file);
    report_error("cannot set up a reader for", path, e);
    return false;
  }
  return true;
}

// Every line through read_line: lines counted, line lengths summed.
Tally frame_lines(const char* path) {
  Tally t;
  quelta::BufferedReader reader;
  if (!open_reader(path, &reader)) return t;
  for (;;) {
    quelta::FieldView line;
    bool at_end = false;
    if (Error e = quelta::read_line(&reader, &line, &at_end); quelta::failed(e)) {
      report_error("read_line failed on", path, e);
      quelta::reader_close(&reader);
      return t;
    }
    if (at_end) break;
    ++t.rows;
    t.units += line.len;
  }
  quelta::reader_close(&reader);
  t.ok = true;
  return t;
}

// Every record through read_record: records and fields counted. The header
// line is read by csv_open_file and is not counted.
Tally tokenize(const char* path, quelta::Quoting quoting = quelta::Quoting::Line) {
  Tally t;
  quelta::CsvReader csv;
  quelta::ReadSettings settings;
  settings.quoting = quoting;
  if (Error e = quelta::csv_open_file(&csv, path, quelta::kNoMaxColumn, settings); quelta::failed(e)) {
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
    ++t.rows;
    t.units += count;
  }
  quelta::csv_close(&csv);
  t.ok = true;
  return t;
}

// Records counted by quelta_count with quotes that may span lines: the
// quote-aware record ends, without splitting fields.
Tally count_quoted(const char* path) {
  Tally t;
  ReadOptions read{};
  read.size = sizeof read;
  read.quoting = QUELTA_QUOTING_RFC4180;
  Scanner* s = quelta_open_with(path, nullptr, &read);
  const int64_t n = s ? quelta_count(s) : -1;
  quelta_close(s);
  if (n < 0) {
    std::fprintf(stderr, "bench_reader: quelta_count with quotes spanning lines failed on %s\n", path);
    return t;
  }
  t.rows = static_cast<uint64_t>(n);
  t.ok = true;
  return t;
}

// The same records through read_line and split_record alone, as read_record
// split them before its structural index: the first line (the header) is
// framed and not counted.
Tally tokenize_by_lines(const char* path) {
  Tally t;
  quelta::BufferedReader reader;
  if (!open_reader(path, &reader)) return t;
  quelta::GrowBuffer<quelta::FieldView> fields;
  quelta::ByteBuffer scratch;
  bool header = true;
  for (;;) {
    quelta::FieldView line;
    bool at_end = false;
    Error e = quelta::read_line(&reader, &line, &at_end);
    if (!quelta::failed(e) && !at_end && !header) {
      scratch.clear();
      size_t count = 0;
      e = quelta::split_record(line, ',', quelta::kNoMaxColumn, &fields, &scratch, &count);
      ++t.rows;
      t.units += count;
    }
    if (quelta::failed(e)) {
      report_error("read_line + split_record failed on", path, e);
      break;
    }
    if (at_end) {
      t.ok = true;
      break;
    }
    header = false;
  }
  fields.release();
  scratch.release();
  quelta::reader_close(&reader);
  return t;
}

void print_row(const char* pass, const char* search, const Timing& t, uint64_t file_bytes,
               double baseline_seconds) {
  std::printf("%-22s %-7s %9.1f %9.2f %8.3f %6.2f\n", pass, search, mb_per_s(file_bytes, t.seconds),
              mrows_per_s(t.tally.rows, t.seconds), t.seconds, baseline_seconds / t.seconds);
}

int run(int argc, char** argv) {
  if (!start_program("bench_reader", argc, 1, "[FILE]   (default bench/data/rows.csv)")) return 2;
  const char* path = arg_or(argc, argv, 1, "bench/data/rows.csv");
  const SimdLevel best_level = quelta::simd_best_level();

  // Warm-up: brings the file into the page cache and gives the reference counts.
  Tally reference = count_newlines(path);
  if (!reference.ok) return 1;
  const uint64_t file_bytes = reference.bytes;

  std::printf("file      %s, %llu bytes (%.1f MiB), %llu lines\n", path,
              static_cast<unsigned long long>(file_bytes), bytes_to_mib(file_bytes),
              static_cast<unsigned long long>(reference.rows));
  std::printf("cpu       %s; best byte search %s\n", cpu_model().c_str(), level_name(best_level));
  std::printf("method    best of %d runs, file in page cache, chunk %zu bytes; MB = 10^6 bytes,\n", kRuns,
              kChunkSize);
  std::printf("          MB/s over the whole file, ratio = baseline time / pass time\n\n");

  Timing baseline = best_of([path] { return count_newlines(path); });
  if (!baseline.tally.ok) return 1;

  std::printf("%-22s %-7s %9s %9s %8s %6s\n", "pass", "search", "MB/s", "Mrows/s", "best s", "ratio");
  print_row("memchr newline count", "libc", baseline, file_bytes, baseline.seconds);

  bool consistent = true;
  Timing framing_best, tokenize_best, quoted_best, count_best;
  // The best version first: its figures are the ones the aims apply to.
  for (auto it = std::rbegin(quelta::kSimdLevels); it != std::rend(quelta::kSimdLevels); ++it) {
    const SimdLevel level = *it;
    if (!quelta::simd_level_supported(level)) continue;
    quelta::byte_search_use(level);
    Timing framing = best_of([path] { return frame_lines(path); });
    Timing tokenizing = best_of([path] { return tokenize(path); });
    Timing by_lines = best_of([path] { return tokenize_by_lines(path); });
    Timing quoted = best_of([path] { return tokenize(path, quelta::Quoting::Rfc4180); });
    Timing counted = best_of([path] { return count_quoted(path); });
    if (!framing.tally.ok || !tokenizing.tally.ok || !by_lines.tally.ok || !quoted.tally.ok ||
        !counted.tally.ok) {
      quelta::byte_search_use(best_level);
      return 1;
    }
    print_row("read_line", level_name(level), framing, file_bytes, baseline.seconds);
    print_row("read_record", level_name(level), tokenizing, file_bytes, baseline.seconds);
    print_row("read_line+split_record", level_name(level), by_lines, file_bytes, baseline.seconds);
    print_row("read_record rfc4180", level_name(level), quoted, file_bytes, baseline.seconds);
    print_row("count rfc4180", level_name(level), counted, file_bytes, baseline.seconds);
    // The generated file has no line end inside quotes: both quoting rules read the same records.
    consistent &= quoted.tally.rows == tokenizing.tally.rows && quoted.tally.units == tokenizing.tally.units;
    consistent &= counted.tally.rows == tokenizing.tally.rows;
    consistent &=
        by_lines.tally.rows == tokenizing.tally.rows && by_lines.tally.units == tokenizing.tally.units;
    // A file ending in '\n' has as many lines as newlines; the header is not a record.
    consistent &= framing.tally.rows == reference.rows || framing.tally.rows == reference.rows + 1;
    consistent &= tokenizing.tally.rows + 1 == framing.tally.rows;
    if (level == best_level) {
      framing_best = framing;
      tokenize_best = tokenizing;
      quoted_best = quoted;
      count_best = counted;
    } else {
      consistent &= framing.tally.units == framing_best.tally.units;
      consistent &= tokenizing.tally.units == tokenize_best.tally.units;
    }
  }
  quelta::byte_search_use(best_level);

  double framing_ratio = baseline.seconds / framing_best.seconds;
  double tokenize_mbps = mb_per_s(file_bytes, tokenize_best.seconds);
  std::printf("\n%llu records, %llu fields, %llu line bytes\n",
              static_cast<unsigned long long>(tokenize_best.tally.rows),
              static_cast<unsigned long long>(tokenize_best.tally.units),
              static_cast<unsigned long long>(framing_best.tally.units));
  std::printf("line framing   %.2f of baseline (aim >= %.2f)%s\n", framing_ratio, kAimFramingRatio,
              framing_ratio >= kAimFramingRatio ? "" : "  BELOW AIM");
  std::printf("tokenizing     %.0f MB/s (aim >= %.0f)%s\n", tokenize_mbps, kAimTokenizeMBps,
              tokenize_mbps >= kAimTokenizeMBps ? "" : "  BELOW AIM");
  const double quoted_ratio = tokenize_best.seconds / quoted_best.seconds;
  const double count_mbps = mb_per_s(file_bytes, count_best.seconds);
  std::printf("rfc4180        tokenizing %.2f of line mode (aim >= %.2f)%s\n", quoted_ratio, kAimQuotedRatio,
              quoted_ratio >= kAimQuotedRatio ? "" : "  BELOW AIM");
  std::printf("rfc4180 count  %.0f MB/s (aim >= %.0f)%s\n", count_mbps, kAimQuotedCountMBps,
              count_mbps >= kAimQuotedCountMBps ? "" : "  BELOW AIM");
  return exit_status(consistent, "passes disagree on line, record or field counts");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
