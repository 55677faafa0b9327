// The parallel columnar collect: boundaries, column directory, chunk workers
// and the merge. Workers share the file (positional reads only) and read-only
// prepared data; each writes only its own task, so no locks are needed.
#include "ops/parallel_collect.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "input/buffered_reader.h"
#include "input/csv_reader.h"
#include "input/json_parser.h"
#include "input/key_index.h"
#include "input/open_input.h"
#include "platform/heap.h"
#include "platform/thread.h"
#include "scan/predicate.h"
#include "scan/scan_state.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

constexpr uint64_t kMinChunkBytes = 65536;
// Threads beyond a few per processor only queue for the same cores while each
// holds a read buffer and a stack.
constexpr size_t kThreadsPerProcessor = 8;
constexpr size_t kLineWindow = 65536;
constexpr size_t kWorkerReadSize = 1048576;
constexpr size_t kWorkerStackSize = 16 * 1048576;
constexpr size_t kSniffSize = 256;
constexpr size_t kFirstLineRead = 1048576;

inline bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline FieldView without_cr(FieldView line) {
  if (line.len > 0 && line.ptr[line.len - 1] == '\r') --line.len;
  return line;
}

// One byte range, prepared by the calling thread, filled in by one worker and
// read back after the join.
struct ChunkTask {
  platform::File file;
  uint64_t file_size = 0;
  uint64_t start = 0;
  uint64_t end = 0;
  // The worker's own copy of the prepared array: a numeric test caches its
  // last conversion in it. IN texts stay shared and read-only.
  PredicateSet predicates;
  bool negate = false;
  uint8_t delimiter = ',';
  bool quotes_span_lines = false;  // CSV records end at line ends outside quotes
  bool misplanned = false;         // quotes spanning lines: the range did not end at a record end
  bool nested_text = false;        // JSON nested values as their text
  size_t n_columns = 0;
  const FieldView* names = nullptr;  // JSON only
  const KeyIndex* key_index = nullptr;
  ColumnBuffer* columns = nullptr;
  uint64_t n_rows = 0;
  Error error = Error::None;
  struct MergeShare* merge = nullptr;
};

// The merge, shared by the workers: each one, once every range is parsed, joins
// whole columns (the first chunk's column and the others' appended to it) taken
// in turn from next_column, so the copy and the first touch of the joined columns
// run on every worker instead of after the join on the calling thread.
struct MergeShare {
  ChunkTask* tasks = nullptr;
  size_t n_tasks = 0;
  size_t n_columns = 0;
  std::atomic<size_t> parsed{0};       // workers done parsing
  std::atomic<bool> abandoned{false};  // set when not every worker could start
  std::atomic<size_t> next_column{0};
  std::atomic<bool> failed{false};  // a column could not be joined
};

bool append_row(ChunkTask* t, const FieldView* fields, size_t count) {
  for (size_t c = 0; c < t->n_columns; ++c) {
    const FieldView f = c < count ? fields[c] : FieldView{};
    if (!column_append(&t->columns[c], f.ptr, f.len)) return false;
  }
  ++t->n_rows;
  return true;
}

// After the first read of a chunk, sizes its columns for the whole chunk.
Error presize_columns(ChunkTask* t, uint64_t consumed) {
  const uint64_t chunk = t->end - t->start;
  if (consumed == 0 || consumed >= chunk || t->n_rows == 0) return Error::None;
  return column_buffers_presize(t->columns, t->n_columns,
                                static_cast<double>(chunk) / static_cast<double>(consumed));
}

// Hands every line of the task's range to step, without its '\n' and one
// trailing '\r'. A line crossing two reads is gathered in carry; a last line
// without '\n' is handed over too, but not the empty rest after a final '\n'.
// When quotes span lines, a line is a whole record: its '\n' lies outside quotes.
template <typename Step>
Error for_each_line(ChunkTask* t, uint8_t* buf, ByteBuffer* carry, Step&& step) {
  uint64_t pos = t->start;
  bool sized = false;
  QuotedFraming framing;
  while (pos < t->end) {
    if (!sized && pos > t->start) {
      sized = true;
      if (Error e = presize_columns(t, pos - t->start); failed(e)) return e;
    }
    uint64_t left = t->end - pos;
    size_t want = left < kWorkerReadSize ? static_cast<size_t>(left) : kWorkerReadSize;
    size_t got = 0;
    if (Error e = platform::file_pread(t->file, buf, want, pos, &got); failed(e)) return e;
    if (got == 0) break;
    pos += got;
    size_t i = 0;
    for (;;) {
      size_t k = t->quotes_span_lines ? scan_quoted_record(&framing, buf, i, got, t->delimiter) - i
                                      : find_byte(buf + i, got - i, '\n');
      if (k == got - i) {
        if (Error e = carry->append(buf + i, k); failed(e)) return e;
        break;
      }
      FieldView line{buf + i, k};
      if (carry->len) {
        if (Error e = carry->append(buf + i, k); failed(e)) return e;
        line = FieldView{carry->data, carry->len};
      }
      if (Error e = step(without_cr(line)); failed(e)) return e;
      carry->clear();
      i += k + 1;
    }
  }
  if (carry->len) {
    // A planned end inside a record: the next range started inside it too.
    if (t->quotes_span_lines && t->end != t->file_size) {
      t->misplanned = true;
      return Error::None;
    }
    return step(without_cr(FieldView{carry->data, carry->len}));
  }
  return Error::None;
}

Error collect_csv_lines(ChunkTask* t, uint8_t* buf, ByteBuffer* carry) {
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  Error e = for_each_line(t, buf, carry, [&](FieldView line) {
    scratch.clear();
    size_t count = 0;
    if (Error s = split_record(line, t->delimiter, kNoMaxColumn, &fields, &scratch, &count); failed(s))
      return s;
    if (!test_row(fields.data, count, t->predicates, t->negate)) return Error::None;
    return append_row(t, fields.data, count) ? Error::None : Error::OutOfMemory;
  });
  fields.release();
  scratch.release();
  return e;
}

Error collect_json_lines(ChunkTask* t, uint8_t* buf, ByteBuffer* carry) {
  GrowBuffer<FieldView> row;
  JsonParser parser;
  Error e = row.reserve(t->n_columns);
  if (!failed(e)) {
    e = for_each_line(t, buf, carry, [&](FieldView line) {
      if (line.len == 0) return Error::None;
      if (!json_ordered_fast_path(line, t->names, t->n_columns, row.data)) {
        Error p = parse_object(&parser, line);
        // A line that is not an object is skipped; running out of memory is not
        // a property of the line and stops the worker.
        if (p == Error::OutOfMemory) return p;
        if (failed(p)) return Error::None;
        // Nested values are left empty here (or given as text) rather than failing the line.
        members_to_row(parser, t->names, t->n_columns, *t->key_index, false, line, row.data, t->nested_text);
      }
      if (!test_row(row.data, t->n_columns, t->predicates, t->negate)) return Error::None;
      return append_row(t, row.data, t->n_columns) ? Error::None : Error::OutOfMemory;
    });
  }
  row.release();
  json_parser_release(&parser);
  return e;
}

// Joins column c of every chunk into the first chunk's column c: one growth to
// the joined size, then each later chunk's column appended and given back.
bool merge_column(ChunkTask* tasks, size_t n_tasks, size_t c) {
  ColumnBuffer& column = tasks[0].columns[c];
  size_t data_bytes = column.data.len, offsets = column.offsets.len;
  for (size_t i = 1; i < n_tasks; ++i) {
    const ColumnBuffer& src = tasks[i].columns[c];
    data_bytes += src.data.len;
    offsets += src.offsets.len > 0 ? src.offsets.len - 1 : 0;
  }
  if (data_bytes <= columnar_data_limit() &&
      (failed(column.data.reserve(data_bytes)) || failed(column.offsets.reserve(offsets))))
    return false;
  bool ok = true;
  // Every later chunk's column is taken (and so released) even after a failure.
  for (size_t i = 1; i < n_tasks; ++i) ok &= column_take_rows(&column, &tasks[i].columns[c]);
  return ok;
}

// After its own range: waits until every worker has parsed its range, then
// joins columns until none is left. Nothing is joined when a worker failed,
// misread its range, or did not start.
void merge_share(MergeShare* m) {
  const size_t done = m->parsed.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (done == m->n_tasks) {
    m->parsed.notify_all();
  } else {
    for (size_t seen = done; seen < m->n_tasks && !m->abandoned.load(std::memory_order_acquire);
         seen = m->parsed.load(std::memory_order_acquire))
      m->parsed.wait(seen, std::memory_order_acquire);
  }
  if (m->abandoned.load(std::memory_order_acquire)) return;
  for (size_t i = 0; i < m->n_tasks; ++i)
    if (failed(m->tasks[i].error) || m->tasks[i].misplanned || !m->tasks[i].columns) return;
  for (;;) {
    const size_t c = m->next_column.fetch_add(1, std::memory_order_relaxed);
    if (c >= m->n_columns) return;
    if (!merge_column(m->tasks, m->n_tasks, c)) m->failed.store(true, std::memory_order_relaxed);
  }
}

// What both workers share: the columns, the read buffer and the line buffer;
// on failure nothing of the worker's result is kept.
template <Error (*Collect)(ChunkTask*, uint8_t*, ByteBuffer*)>
void run_chunk(void* arg) {
  auto* t = static_cast<ChunkTask*>(arg);
  Error e = column_buffers_new(t->n_columns, &t->columns);
  if (!failed(e)) {
    auto* buf = static_cast<uint8_t*>(platform::heap_alloc(kWorkerReadSize));
    ByteBuffer carry;
    e = buf ? Collect(t, buf, &carry) : Error::OutOfMemory;
    platform::heap_free(buf);
    carry.release();
  }
  if (failed(e)) {
    column_buffers_free(t->columns, t->n_columns);
    t->columns = nullptr;
    t->n_rows = 0;
  }
  t->error = e;
  if (t->merge) merge_share(t->merge);
}

void csv_chunk_worker(void* arg) { run_chunk<collect_csv_lines>(arg); }
void json_chunk_worker(void* arg) { run_chunk<collect_json_lines>(arg); }

// Everything one call holds; released as a whole by release_job, which is
// safe at any stage.
struct Job {
  PredicateSet predicates;
  bool negate = false;
  uint8_t delimiter = ',';
  ReadSettings read;
  uint64_t bom = 0;  // bytes of a byte-order mark at the start
  platform::File file;
  uint64_t size = 0;
  size_t n_columns = 0;
  // JSON lines: the first line, its parse and the directory built from it.
  // names views into first_line or the parser's unescaped keys.
  ByteBuffer first_line;
  JsonParser parser;
  FieldView* names = nullptr;
  KeyIndex key_index;
  ChunkTask* tasks = nullptr;
  size_t n_tasks = 0;
  MergeShare merge;
  platform::Thread* threads = nullptr;
  ColumnBuffer* merged = nullptr;
  uint64_t n_rows = 0;
};

void release_tasks(Job* job) {
  for (size_t i = 0; i < job->n_tasks; ++i) {
    ChunkTask& t = job->tasks[i];
    column_buffers_free(t.columns, t.n_columns);
    platform::heap_free(t.predicates.items);
  }
  platform::heap_free(job->tasks);
  platform::heap_free(job->threads);
  job->tasks = nullptr;
  job->threads = nullptr;
  job->n_tasks = 0;
}

void release_job(Job* job) {
  release_tasks(job);
  column_buffers_free(job->merged, job->n_columns);
  job->merged = nullptr;
  platform::file_close(&job->file);
  job->first_line.release();
  json_parser_release(&job->parser);
  platform::heap_free(job->names);
  job->names = nullptr;
  key_index_release(&job->key_index);
  free_predicates(&job->predicates);
}

// Reads up to len bytes at offset with one positional read.
Error read_at(platform::File file, uint64_t offset, size_t len, ByteBuffer* out) {
  out->clear();
  if (Error e = out->reserve(len ? len : 1); failed(e)) return e;
  size_t got = 0;
  if (Error e = platform::file_pread(file, out->data, len, offset, &got); failed(e)) return e;
  out->len = got;
  return Error::None;
}

// The directory of a JSON-lines file: the keys of its first line, which stays
// a data row of the first chunk. A first line that does not parse fails with
// the parser's own condition.
Error read_json_directory(Job* job) {
  const uint64_t rest = job->size - job->bom;
  size_t len = rest < kFirstLineRead ? static_cast<size_t>(rest) : kFirstLineRead;
  if (Error e = read_at(job->file, job->bom, len, &job->first_line); failed(e)) return e;
  FieldView line{job->first_line.data, find_byte(job->first_line.data, job->first_line.len, '\n')};
  line = without_cr(line);
  if (line.len == 0) return Error::ParserInvalidJson;
  if (Error e = parse_object(&job->parser, line); failed(e)) return e;
  const size_t n = job->parser.members.len;
  job->names = static_cast<FieldView*>(platform::heap_alloc((n ? n : 1) * sizeof(FieldView)));
  if (!job->names) return Error::OutOfMemory;
  for (size_t i = 0; i < n; ++i) job->names[i] = job->parser.members[i].key;
  job->n_columns = n;
  return key_index_build(&job->key_index, job->names, n);
}

Error read_csv_directory(Job* job, const char* path) {
  CsvReader csv;
  ReadSettings settings = job->read;
  settings.delimiter = job->delimiter;
  if (Error e = csv_open_file(&csv, path, kNoMaxColumn, settings); failed(e)) return e;
  job->n_columns = csv.n_names;
  csv_close(&csv);
  return Error::None;
}

// Where a range that starts near offset should start when quotes span lines,
// guessed from the parity of the quotes before offset (right whenever every
// quote before it stands where parity reads it right; the workers check it).
Error guess_record_start(const Job& job, uint64_t offset, bool odd_quotes, uint64_t* out) {
  uint8_t before = 0;
  size_t got = 0;
  if (Error e = platform::file_pread(job.file, &before, 1, offset - 1, &got); failed(e)) return e;
  QuotedFraming state;
  state.state = odd_quotes      ? QuotedFraming::Inside
                : before == '"' ? QuotedFraming::QuoteInside
                                : QuotedFraming::Outside;
  state.field_start = before == job.delimiter || before == '\n';
  return find_record_start_from(job.file, offset, state, offset, job.size, job.delimiter, out);
}

// Whether the quotes in [from, to) are odd in number.
Error quote_parity(platform::File file, uint64_t from, uint64_t to, uint8_t* buf, bool* odd) {
  for (uint64_t pos = from; pos < to;) {
    size_t got = 0;
    const uint64_t rest = to - pos;
    if (Error e = platform::file_pread(file, buf, rest < kWorkerReadSize ? rest : kWorkerReadSize, pos, &got);
        failed(e))
      return e;
    if (got == 0) break;
    *odd ^= count_byte(buf, got, '"') & 1;
    pos += got;
  }
  return Error::None;
}

// The chunk ranges: n of them over [data_start, size), each ending just after
// a line end (the last at size). When quotes span lines, each ends at a record
// end: found by a pass of the record framing over the file before the range
// ends (exact), or guessed from quote parity (speculate; checked by the
// workers, which mark a range that did not end at a record end).
Error plan_chunks(Job* job, bool is_json, uint64_t data_start, size_t n_threads, bool speculate = false) {
  const uint64_t data_len = job->size - data_start;
  uint64_t n = data_len / kMinChunkBytes;
  if (n < 1) n = 1;
  if (n > n_threads) n = n_threads;
  if (n > SIZE_MAX / sizeof(ChunkTask) || n > SIZE_MAX / sizeof(platform::Thread)) return Error::OutOfMemory;
  job->tasks = static_cast<ChunkTask*>(platform::heap_alloc(n * sizeof(ChunkTask)));
  job->threads = static_cast<platform::Thread*>(platform::heap_alloc(n * sizeof(platform::Thread)));
  if (!job->tasks || !job->threads) return Error::OutOfMemory;
  const uint64_t step = data_len / n;
  uint64_t start = data_start;
  bool odd_quotes = false;
  uint64_t counted_to = data_start;
  uint8_t* buf = nullptr;
  if (speculate && n > 1) {
    buf = static_cast<uint8_t*>(platform::heap_alloc(kWorkerReadSize));
    if (!buf) return Error::OutOfMemory;
  }
  Error planned = Error::None;
  for (size_t i = 0; i < n && !failed(planned); ++i) {
    new (&job->threads[i]) platform::Thread{};
    ChunkTask* t = new (&job->tasks[i]) ChunkTask{};
    job->n_tasks = i + 1;
    t->file = job->file;
    t->file_size = job->size;
    t->start = start;
    t->end = job->size;
    if (i + 1 < n) {
      const uint64_t target = speculate ? data_start + step * (i + 1) : start + step;
      if (job->read.quoting != Quoting::Rfc4180) {
        planned = find_next_line_start(job->file, target, job->size, &t->end);
      } else if (!speculate) {
        planned = find_next_record_start(job->file, start, target, job->size, job->delimiter, &t->end);
      } else if (target <= start) {
        planned = find_next_record_start(job->file, start, start, job->size, job->delimiter, &t->end);
      } else {
        planned = quote_parity(job->file, counted_to, target, buf, &odd_quotes);
        counted_to = target;
        if (!failed(planned)) planned = guess_record_start(*job, target, odd_quotes, &t->end);
      }
      if (failed(planned)) break;
    }
    start = t->end;
    t->negate = job->negate;
    t->delimiter = job->delimiter;
    t->quotes_span_lines = job->read.quoting == Quoting::Rfc4180;
    t->nested_text = job->read.nested_text;
    t->n_columns = job->n_columns;
    if (is_json) {
      t->names = job->names;
      t->key_index = &job->key_index;
    }
    if (job->predicates.count) {
      const size_t bytes = job->predicates.count * sizeof(PreparedPredicate);
      t->predicates.items = static_cast<PreparedPredicate*>(platform::heap_alloc(bytes));
      if (!t->predicates.items) {
        planned = Error::OutOfMemory;
        break;
      }
      std::memcpy(static_cast<void*>(t->predicates.items), job->predicates.items, bytes);
      t->predicates.count = job->predicates.count;
    }
  }
  platform::heap_free(buf);
  return planned;
}

// Starts one worker per chunk and waits for all of them, in chunk order. When
// a start fails, the workers already started are still waited for.
Error run_workers(Job* job, bool is_json) {
  platform::ThreadMain worker = is_json ? json_chunk_worker : csv_chunk_worker;
  MergeShare& m = job->merge;
  m.tasks = job->tasks;
  m.n_tasks = job->n_tasks;
  m.n_columns = job->n_columns;
  m.parsed.store(0);
  m.abandoned.store(false);
  m.next_column.store(0);
  m.failed.store(false);
  for (size_t i = 0; i < job->n_tasks; ++i) job->tasks[i].merge = &m;
  Error start_error = Error::None;
  for (size_t i = 0; i < job->n_tasks; ++i) {
    start_error = platform::thread_start(&job->threads[i], kWorkerStackSize, worker, &job->tasks[i]);
    if (failed(start_error)) break;
  }
  if (failed(start_error)) {
    // The started workers wait for the others before joining columns: let them go.
    m.abandoned.store(true, std::memory_order_release);
    m.parsed.fetch_add(job->n_tasks + 1, std::memory_order_acq_rel);
    m.parsed.notify_all();
  }
  for (size_t i = 0; i < job->n_tasks; ++i) platform::thread_join(&job->threads[i]);
  if (failed(start_error)) return start_error;
  for (size_t i = job->n_tasks; i-- > 0;)
    if (failed(job->tasks[i].error)) return job->tasks[i].error;
  return Error::None;
}

// The chunks' columns, joined in file order by the workers (merge_share), become
// the result: the first chunk's columns with every later chunk's rows appended.
Error merge_chunks(Job* job) {
  ChunkTask* tasks = job->tasks;
  job->merged = tasks[0].columns;
  tasks[0].columns = nullptr;
  job->n_rows = 0;
  for (size_t i = 0; i < job->n_tasks; ++i) job->n_rows += tasks[i].n_rows;
  return job->merge.failed.load() ? Error::OutOfMemory : Error::None;
}

bool any_misplanned(const Job& job) {
  for (size_t i = 0; i < job.n_tasks; ++i)
    if (job.tasks[i].misplanned) return true;
  return false;
}

Error collect_lines(Job* job, const char* path, bool is_json, size_t n_threads, bool* no_data) {
  uint64_t data_start = job->bom;
  if (!is_json) {
    Error e =
        job->read.quoting == Quoting::Rfc4180
            ? find_next_record_start(job->file, job->bom, job->bom, job->size, job->delimiter, &data_start)
            : find_next_line_start(job->file, 0, job->size, &data_start);
    if (failed(e)) return e;
    if (data_start >= job->size) {
      *no_data = true;
      // A header whose quotes span lines is read, so that an unclosed one fails as it does in one pass.
      return job->read.quoting == Quoting::Rfc4180 ? read_csv_directory(job, path) : Error::None;
    }
  }
  Error e = is_json ? read_json_directory(job) : read_csv_directory(job, path);
  if (failed(e)) return e;
  const bool quoted = !is_json && job->read.quoting == Quoting::Rfc4180;
  if (Error p = plan_chunks(job, is_json, data_start, n_threads, quoted); failed(p)) return p;
  Error r = run_workers(job, is_json);
  if (quoted && any_misplanned(*job)) {
    // Quote parity misread the file (a quote that is data): plan again by framing every record.
    release_tasks(job);
    if (Error p = plan_chunks(job, is_json, data_start, n_threads); failed(p)) return p;
    r = run_workers(job, is_json);
  }
  if (failed(r)) return r;
  return merge_chunks(job);
}

// Inputs that cannot be split at line ends (a JSON array, text that is
// decoded while it is read, a compressed file) are read here, through the record reader, on the
// calling thread. As in the workers, JSON lines that do not parse are skipped
// and every row fills every column; an array's rows must all parse.
Error collect_in_one_pass(Job* job, const char* path, bool is_json, bool* no_data) {
  ScanState st;
  st.predicates = job->predicates;
  st.negate = job->negate;
  InputParams params;
  params.read = job->read;
  params.read.delimiter = job->delimiter;
  if (is_json && params.read.format == FormatOverride::None) params.read.format = FormatOverride::Json;
  if (!is_json) params.read.format = FormatOverride::Csv;
  params.read.stream = false;  // regular files only, as when split
  if (Error e = open_input(&st.input, path, params); failed(e)) return e;
  size_t n_names = 0;
  input_names(st.input, &n_names);
  job->n_columns = n_names;
  bool any = false;
  Error e = column_buffers_new(job->n_columns, &job->merged);
  while (!failed(e)) {
    const FieldView* fields;
    size_t n;
    bool at_end = false;
    e = next_record(&st.input, &fields, &n, &at_end);
    if (is_json && !st.input.json.array_mode &&
        (e == Error::InvalidJsonRow || e == Error::NestedValueNotSupported)) {
      e = Error::None;
      continue;
    }
    if (failed(e) || at_end) break;
    any = true;
    if (!test_row(fields, n, st.predicates, st.negate)) continue;
    for (size_t c = 0; c < job->n_columns; ++c) {
      const FieldView f = c < n ? fields[c] : FieldView{};
      if (!column_append(&job->merged[c], f.ptr, f.len)) {
        e = Error::OutOfMemory;
        break;
      }
    }
    ++job->n_rows;
  }
  // As when split: a CSV file that is only a header line has no columns.
  if (!failed(e) && !is_json && !any) *no_data = true;
  close_input(&st.input);
  st.predicates = PredicateSet{};  // the job's own, released with it
  st.projected.release();
  return e;
}

Error collect(Job* job, const char* path, size_t n_threads, bool* no_data) {
  if (Error e = open_input_file(path, &job->file); failed(e)) return e;
  if (Error e = platform::file_size(job->file, &job->size); failed(e)) return e;
  ByteBuffer head;
  Error e =
      read_at(job->file, 0, job->size < kSniffSize ? static_cast<size_t>(job->size) : kSniffSize, &head);
  size_t i = 0;
  if (job->read.encoding == Encoding::Utf8) i = job->bom = utf8_bom_length(head.data, head.len);
  while (i < head.len && is_blank(head.data[i])) ++i;
  const bool starts_array = i < head.len && head.data[i] == '[';
  // A compressed file cannot be split by offsets: it is decompressed and read in one pass.
  const bool compressed = compression_from_magic(head.data, head.len) != Compression::None;
  head.release();
  if (failed(e)) return e;
  bool is_json = false, array = false;
  switch (job->read.format) {
    case FormatOverride::Csv:
      break;
    case FormatOverride::JsonLines:
      is_json = true;
      break;
    case FormatOverride::JsonArray:
      is_json = array = true;
      break;
    case FormatOverride::Json:
      is_json = true;
      array = starts_array && !compressed;
      break;
    default:
      array = starts_array && !compressed;
      is_json = array || path_selects_json(path, std::strlen(path));
  }
  if (array || compressed || job->read.decodes()) {
    platform::file_close(&job->file);
    return collect_in_one_pass(job, path, is_json, no_data);
  }
  return collect_lines(job, path, is_json, n_threads, no_data);
}

}  // namespace

Error find_next_line_start(platform::File file, uint64_t offset, uint64_t size, uint64_t* out) {
  *out = size;
  if (offset >= size) return Error::None;
  const uint64_t rest = size - offset;
  size_t window = rest < kLineWindow ? static_cast<size_t>(rest) : kLineWindow;
  uint8_t* buf = nullptr;
  size_t have = 0;
  Error e = Error::None;
  for (;;) {
    void* grown = platform::heap_realloc(buf, window);
    if (!grown) {
      e = Error::OutOfMemory;
      break;
    }
    buf = static_cast<uint8_t*>(grown);
    size_t got = 0;
    if (e = platform::file_pread(file, buf + have, window - have, offset + have, &got); failed(e)) break;
    if (got == 0) break;  // the file ended early
    size_t k = find_byte(buf + have, got, '\n');
    if (k < got) {
      *out = offset + have + k + 1;
      break;
    }
    have += got;
    if (have < window) continue;
    if (window >= rest) break;
    window = rest - window < window ? static_cast<size_t>(rest) : window * 2;
  }
  platform::heap_free(buf);
  return e;
}

Error find_next_record_start(platform::File file, uint64_t record_start, uint64_t offset, uint64_t size,
                             uint8_t delimiter, uint64_t* out) {
  return find_record_start_from(file, record_start, QuotedFraming{}, offset, size, delimiter, out);
}

Error find_record_start_from(platform::File file, uint64_t from, QuotedFraming framing, uint64_t offset,
                             uint64_t size, uint8_t delimiter, uint64_t* out) {
  const uint64_t record_start = from;
  *out = size;
  auto* buf = static_cast<uint8_t*>(platform::heap_alloc(kLineWindow));
  if (!buf) return Error::OutOfMemory;
  Error e = Error::None;
  for (uint64_t pos = record_start; pos < size;) {
    const uint64_t rest = size - pos;
    size_t got = 0;
    if (e = platform::file_pread(file, buf, rest < kLineWindow ? static_cast<size_t>(rest) : kLineWindow, pos,
                                 &got);
        failed(e) || got == 0)
      break;
    size_t first = SIZE_MAX;
    count_quoted_ends(&framing, buf, got, delimiter, offset > pos ? offset - pos : 0, &first);
    if (first != SIZE_MAX) {
      *out = pos + first + 1;
      break;
    }
    pos += got;
  }
  platform::heap_free(buf);
  return e;
}

ColumnarCollectContext* parallel_collect_columnar(const char* path, uint8_t delimiter,
                                                  const Predicate* predicates, size_t n_predicates,
                                                  bool negate, size_t n_threads, ParallelFailure* failure,
                                                  Error* condition, const ReadSettings& read) {
  *failure = ParallelFailure::None;
  *condition = Error::None;
  Job job;
  job.negate = negate;
  job.delimiter = delimiter;
  job.read = read;
  if (n_predicates > 0) {
    switch (prepare_predicates(predicates, n_predicates, &job.predicates)) {
      case PrepareResult::Ok:
        break;
      case PrepareResult::NoMemoryForPredicates:
        *failure = ParallelFailure::NoMemoryForPredicates;
        return nullptr;
      case PrepareResult::NoMemoryForInValues:
        *failure = ParallelFailure::NoMemoryForInValues;
        return nullptr;
    }
  }
  const size_t processors = platform::processor_count();
  if (n_threads == 0) n_threads = processors;
  n_threads = std::min(n_threads, kThreadsPerProcessor * processors);
  bool no_data = false;
  if (Error e = collect(&job, path, n_threads, &no_data); failed(e)) {
    release_job(&job);
    *failure = ParallelFailure::Scan;
    *condition = e;
    return nullptr;
  }
  // A CSV file that is only a header line has no columns and no rows.
  if (no_data) job.n_columns = 0;
  release_tasks(&job);
  platform::file_close(&job.file);
  ColumnarCollectContext* ctx = columnar_context_create(job.merged, job.n_columns, job.n_rows);
  if (!ctx) {
    release_job(&job);
    *failure = ParallelFailure::NoMemoryForContext;
    return nullptr;
  }
  job.merged = nullptr;
  release_job(&job);
  return ctx;
}

}  // namespace quelta
