// Compressed input: quelta_count over the generated CSV as .gz and .zst
// against the shell pipelines `zcat FILE | wc -l` and `zstd -dc FILE | wc -l`
// timed in the same run; the decompression alone (the reader drained without
// framing) plus the plain count, which a compressed count should not exceed;
// the peak resident memory of a compressed count; and the parallel collect,
// which reads a compressed file in one pass, against the plain file.
//
// usage: bench_compressed [CSV [GZ [ZST]]]
//        (defaults bench/data/rows.csv, rows.csv.gz, rows.csv.zst; make the
//        last two with `gzip -6 -k` and `zstd -k` when they are missing)
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "bench_common.h"
#include "input/buffered_reader.h"
#include "input/read_ahead.h"

namespace quelta::bench {
namespace {

constexpr double kAimPipelineRatio = 1.3;  // pipeline time / quelta_count time
constexpr double kAimPeakMiB = 32.0;

// The reader drained chunk by chunk: the decompression and nothing else.
Tally drain(const char* path) {
  Tally t;
  quelta::platform::File file;
  if (quelta::failed(quelta::open_input_file(path, &file))) return t;
  quelta::BufferedReader r;
  if (quelta::failed(quelta::reader_init_file(&r, file))) {
    quelta::platform::file_close(&file);
    return t;
  }
  for (;;) {
    if (quelta::failed(quelta::reader_refill(&r))) break;
    if (r.eof) {
      t.ok = true;
      break;
    }
    t.bytes += r.end - r.pos;
    t.units += r.buffer[r.end - 1];
  }
  t.rows = t.bytes;
  quelta::reader_close(&r);
  return t;
}

// A shell pipeline's wall time; its output (a line count) in rows.
Tally pipeline(const std::string& command) {
  Tally t;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return t;
  unsigned long long lines = 0;
  t.ok = std::fscanf(p, "%llu", &lines) == 1;
  t.ok &= ::pclose(p) == 0;
  t.rows = lines;
  return t;
}

// quelta_parallel_collect_columnar on all processors; rows collected.
Tally parallel_collect(const char* path) {
  Tally t;
  ColumnarCollectContext* c = quelta_parallel_collect_columnar(path, ',', nullptr, 0, 0, 0);
  if (!c) {
    report_library_error("parallel collect failed on", path);
    return t;
  }
  t.rows = quelta_collect_columnar_n_rows(c);
  t.ok = true;
  quelta_collect_columnar_close(c);
  return t;
}

bool exists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

void print_row(const char* pass, const char* input, const Timing& t, uint64_t text_bytes, double base) {
  std::printf("%-34s %-5s %9.1f %8.3f %6.2f\n", pass, input, mb_per_s(text_bytes, t.seconds), t.seconds,
              base / t.seconds);
}

void print_aim(const char* what, double value, const char* unit, const char* relation, double aim, bool met) {
  std::printf("%-40s %8.2f %-4s (aim %s %.2f)%s\n", what, value, unit, relation, aim,
              met ? "" : "  BELOW AIM");
}

int run(int argc, char** argv) {
  if (!start_program("bench_compressed", argc, 3, "[CSV [GZ [ZST]]]")) return 2;
  const char* csv = arg_or(argc, argv, 1, "bench/data/rows.csv");
  const std::string gz = arg_or(argc, argv, 2, "bench/data/rows.csv.gz");
  const std::string zst = arg_or(argc, argv, 3, "bench/data/rows.csv.zst");
  for (const char* p : {csv, gz.c_str(), zst.c_str()}) {
    if (!exists(p)) {
      print_error("%s is missing (make the compressed files with gzip -6 -k and zstd -k)", p);
      return 1;
    }
  }
  const Tally reference = count_newlines(csv);
  if (!reference.ok) return 1;
  count_newlines(gz.c_str());  // into the page cache
  count_newlines(zst.c_str());
  const uint64_t text_bytes = reference.bytes;

  std::printf("files     %s %.1f MiB; %s; %s\n", csv, bytes_to_mib(text_bytes), gz.c_str(), zst.c_str());
  std::printf("cpu       %s; build %s; load %s\n", cpu_model().c_str(), quelta_build_mode(),
              load_average().c_str());
  std::printf("method    best of %d runs, files in page cache; MB/s over the plain text's bytes;\n", kRuns);
  std::printf("          ratio = the row's baseline (the pipeline, or the plain pass) / pass time\n\n");
  std::printf("%-34s %-5s %9s %8s %6s\n", "pass", "input", "MB/s", "best s", "ratio");

  bool consistent = true;
  const Timing plain = best_of([&] { return count_rows(csv, nullptr); });
  if (!plain.tally.ok) return 1;
  print_row("quelta_count", "csv", plain, text_bytes, plain.seconds);

  struct Format {
    const char* name;
    const std::string& path;
    std::string command;
  };
  const Format formats[] = {{"gz", gz, "zcat '" + gz + "' | wc -l"},
                            {"zst", zst, "zstd -dc '" + zst + "' | wc -l"}};
  double pipeline_ratio[2] = {0, 0}, budget_ratio[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    const Format& f = formats[i];
    const Timing shell = best_of([&] { return pipeline(f.command); });
    // On the reading thread: the decompression's own cost, not its overlap with the reads.
    quelta::read_ahead_use(false);
    const Timing decompress = best_of([&] { return drain(f.path.c_str()); });
    quelta::read_ahead_use(true);
    const Timing count = best_of([&] { return count_rows(f.path.c_str(), nullptr); });
    if (!shell.tally.ok || !decompress.tally.ok || !count.tally.ok) return 1;
    const std::string pipe_name = f.command.substr(0, f.command.find(' ')) + " | wc -l";
    print_row(pipe_name.c_str(), f.name, shell, text_bytes, shell.seconds);
    print_row("decompression alone (reader drained)", f.name, decompress, text_bytes, shell.seconds);
    print_row("quelta_count", f.name, count, text_bytes, shell.seconds);
    pipeline_ratio[i] = shell.seconds / count.seconds;
    budget_ratio[i] = (decompress.seconds + plain.seconds) / count.seconds;
    consistent &= count.tally.rows == plain.tally.rows && shell.tally.rows == reference.rows;
    consistent &= decompress.tally.bytes == text_bytes;
  }

  // The same passes with the decompression on the reading thread.
  quelta::read_ahead_use(false);
  for (int i = 0; i < 2; ++i) {
    const Timing count = best_of([&] { return count_rows(formats[i].path.c_str(), nullptr); });
    if (!count.tally.ok) return 1;
    print_row("quelta_count, no read-ahead", formats[i].name, count, text_bytes, count.seconds);
  }
  const Timing one_pass_sync = best_of([&] { return parallel_collect(gz.c_str()); });
  quelta::read_ahead_use(true);

  const Timing split = best_of([&] { return parallel_collect(csv); });
  const Timing one_pass = best_of([&] { return parallel_collect(gz.c_str()); });
  if (!split.tally.ok || !one_pass.tally.ok || !one_pass_sync.tally.ok) return 1;
  std::printf("\n");
  print_row("parallel collect (split)", "csv", split, text_bytes, split.seconds);
  print_row("parallel collect (one pass)", "gz", one_pass, text_bytes, split.seconds);
  print_row("  the same without read-ahead", "gz", one_pass_sync, text_bytes, split.seconds);
  consistent &= split.tally.rows == one_pass.tally.rows && one_pass_sync.tally.rows == one_pass.tally.rows;

  const MemoryReport memory = measure_in_child([&](MemoryReport* r) {
    Scanner* s = quelta_open(gz.c_str(), nullptr);
    if (!s) return;
    r->rows = quelta_count(s);
    quelta_close(s);
    r->peak = peak_kib();
  });
  const MemoryReport memory_zst = measure_in_child([&](MemoryReport* r) {
    Scanner* s = quelta_open(zst.c_str(), nullptr);
    if (!s) return;
    r->rows = quelta_count(s);
    quelta_close(s);
    r->peak = peak_kib();
  });
  const bool memory_ok = memory.ok && memory_zst.ok;
  const double peak = std::max(kib_to_mib(memory.peak - memory.rss_before),
                               kib_to_mib(memory_zst.peak - memory_zst.rss_before));
  std::printf("\npeak resident memory of a count, above the RSS before it: gz %.2f MiB, zst %.2f MiB\n\n",
              kib_to_mib(memory.peak - memory.rss_before),
              kib_to_mib(memory_zst.peak - memory_zst.rss_before));

  print_aim("zcat | wc -l / quelta_count gz", pipeline_ratio[0], "", ">=", kAimPipelineRatio,
            pipeline_ratio[0] >= kAimPipelineRatio);
  print_aim("zstd -dc | wc -l / quelta_count zst", pipeline_ratio[1], "", ">=", kAimPipelineRatio,
            pipeline_ratio[1] >= kAimPipelineRatio);
  print_aim("(decompression + plain count) / count gz", budget_ratio[0], "", ">=", 1.0,
            budget_ratio[0] >= 1.0);
  print_aim("(decompression + plain count) / count zst", budget_ratio[1], "", ">=", 1.0,
            budget_ratio[1] >= 1.0);
  print_aim("peak memory of a compressed count", peak, "MiB", "<", kAimPeakMiB,
            memory_ok && peak < kAimPeakMiB);
  std::printf("load      %s (at the end)\n", load_average().c_str());
  if (!memory_ok) print_error("a memory measurement failed");
  return exit_status(consistent, "passes disagree on row or byte counts");
}

}  // namespace
}  // namespace quelta::bench

int main(int argc, char** argv) { return quelta::bench::run(argc, argv); }
