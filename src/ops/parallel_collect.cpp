// The parallel columnar collect: boundaries, column directory, a sample that
// sizes each chunk's region of the result's columns, chunk workers that write
// their values straight into those regions, and the placing of the parts once
// all are parsed. Workers share the file (positional reads only) and read-only
// prepared data; each writes only its own task and regions, so no locks are needed.
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
#include "platform/owned.h"
#include "platform/thread.h"
#include "scan/predicate.h"
#include "scan/scan_state.h"
#include "util/byte_search.h"
#include "util/short_copy.h"

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
// The data sampled on the calling thread to size the workers' regions: a
// 64th of it, within these bounds, so that it stays a small share of the work.
constexpr uint64_t kSampleShare = 64;
constexpr uint64_t kLeastSampleBytes = 16384;
constexpr uint64_t kMostSampleBytes = 262144;
// Room every region has beyond its prediction, so that a small or unsampled
// column does not leave its region at once.
constexpr size_t kRegionSlackBytes = 4096;
constexpr size_t kRegionSlackRows = 1024;

inline bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline FieldView without_cr(FieldView line) {
  if (line.len > 0 && line.ptr[line.len - 1] == '\r') --line.len;
  return line;
}

// One chunk's part of one column: its values end to end and where each ends,
// counted from the part's first byte. They are written into the part's region
// of the column's blocks, of which the result is made, until the region is
// full; the rest goes on in a block of the part's own, copied in once every
// part is done. Values and ends leave their regions independently.
struct ColumnPart {
  // Where values (and ends) are written now, what that piece holds and can hold.
  uint8_t* data = nullptr;
  size_t len = 0, cap = 0;
  uint32_t* ends = nullptr;
  size_t n = 0, n_cap = 0;
  // Values (ends) the region kept when the rest went on in more_data (more_ends).
  size_t kept = 0, kept_n = 0;
  size_t data_at = 0, ends_at = 0;  // where the regions start in the column's blocks
  platform::HeapArray<uint8_t> more_data;
  platform::HeapArray<uint32_t> more_ends;

  size_t total_len() const { return kept + len; }
  size_t total_n() const { return kept_n + n; }
};

// Makes room for need more elements in the piece being written: the first time
// by going on in a block of the part's own (what the region holds stays
// there), later by growing that block by half again.
template <typename T>
bool make_room(T** items, size_t* len, size_t* cap, size_t* kept, platform::HeapArray<T>* more, size_t need) {
  if (!*more) {
    const size_t want = std::max(need, *cap / 4 + 4096 / sizeof(T));
    *more = platform::HeapArray<T>::allocate(want);
    if (!*more) return false;
    *kept = *len;
    *len = 0;
    *cap = want;
  } else {
    const size_t step = *cap / 2 + 4096 / sizeof(T);
    size_t want = *cap > SIZE_MAX - step ? SIZE_MAX : *cap + step;
    if (want - *len < need) want = *len + need;
    if (!more->resize(want)) return false;
    *cap = want;
  }
  *items = more->get();
  return true;
}

bool part_append_slow(ColumnPart* p, const uint8_t* s, size_t n) {
  const uint64_t limit = columnar_data_limit();
  if (n > limit || p->total_len() > limit - n) return false;
  if (n > p->cap - p->len && !make_room(&p->data, &p->len, &p->cap, &p->kept, &p->more_data, n)) return false;
  if (p->n == p->n_cap && !make_room(&p->ends, &p->n, &p->n_cap, &p->kept_n, &p->more_ends, 1)) return false;
  if (n) std::memcpy(p->data + p->len, s, n);
  p->len += n;
  p->ends[p->n++] = static_cast<uint32_t>(p->total_len());
  return true;
}

// Appends one value and its end. Runs once per field: a short value with room
// in both pieces is copied inline. False when a block cannot grow or the
// part's data would pass the column limit.
inline bool part_append(ColumnPart* p, const uint8_t* s, size_t n) {
  if (n <= 32 && n <= p->cap - p->len && p->n < p->n_cap && p->total_len() + n <= columnar_data_limit()) {
    copy_short(p->data + p->len, s, n);
    p->len += n;
    p->ends[p->n++] = static_cast<uint32_t>(p->total_len());
    return true;
  }
  return part_append_slow(p, s, n);
}

// One column of the result: every chunk's region in chunk order, then room
// for what did not fit. offsets[0] is the leading 0; regions of ends follow.
struct ColumnBlock {
  platform::HeapArray<uint8_t> data;
  platform::HeapArray<uint32_t> offsets;
  size_t data_cap = 0, offsets_cap = 0;  // elements each block holds
};

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
  platform::HeapArray<PreparedPredicate> own_predicates;
  bool negate = false;
  uint8_t delimiter = ',';
  bool quotes_span_lines = false;  // CSV records end at line ends outside quotes
  bool misplanned = false;         // quotes spanning lines: the range did not end at a record end
  bool nested_text = false;        // JSON nested values as their text
  size_t n_columns = 0;
  const FieldView* names = nullptr;  // JSON only
  const KeyIndex* key_index = nullptr;
  platform::ObjectArray<ColumnPart> parts;  // one per column
  uint64_t n_rows = 0;
  Error error = Error::None;
  struct MergeShare* merge = nullptr;
};

// The joining of the parts, shared by the workers: each one, once every range
// is parsed, places whole columns (every part moved or copied to where it
// belongs) taken in turn from next_column, so that this runs on every worker.
struct MergeShare {
  ChunkTask* tasks = nullptr;
  size_t n_tasks = 0;
  ColumnBlock* blocks = nullptr;
  size_t n_columns = 0;
  std::atomic<size_t> parsed{0};       // workers done parsing
  std::atomic<bool> abandoned{false};  // set when not every worker could start
  std::atomic<size_t> next_column{0};
  std::atomic<bool> failed{false};  // a column could not be placed
};

bool append_row(ChunkTask* t, const FieldView* fields, size_t count) {
  ColumnPart* parts = t->parts.get();
  for (size_t c = 0; c < t->n_columns; ++c) {
    const FieldView f = c < count ? fields[c] : FieldView{};
    if (!part_append(&parts[c], f.ptr, f.len)) return false;
  }
  ++t->n_rows;
  return true;
}

// Hands every line of the task's range to step, without its '\n' and one
// trailing '\r'. A line crossing two reads is gathered in carry; a last line
// without '\n' is handed over too, but not the empty rest after a final '\n'.
// When quotes span lines, a line is a whole record: its '\n' lies outside quotes.
template <typename Step>
Error for_each_line(ChunkTask* t, uint8_t* buf, ByteBuffer* carry, Step&& step) {
  uint64_t pos = t->start;
  QuotedFraming framing;
  while (pos < t->end) {
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

// Where one part's values (or ends) are and where they belong in the block.
template <typename T>
struct Piece {
  const T* own;      // the part's own block, or null when in its region at from
  size_t from = 0;   // index in the block
  size_t count = 0;  // elements
  size_t to = 0;     // index in the block
  T add = 0;         // added to each element on the way (ends become offsets)
};

template <typename T>
void move_piece(T* block, const Piece<T>& p) {
  T* dst = block + p.to;
  const T* src = p.own ? p.own : block + p.from;
  if (p.add == 0) {
    if (dst != src && p.count) std::memmove(dst, src, p.count * sizeof(T));
  } else if (dst <= src) {
    for (size_t k = 0; k < p.count; ++k) dst[k] = static_cast<T>(src[k] + p.add);
  } else {
    for (size_t k = p.count; k-- > 0;) dst[k] = static_cast<T>(src[k] + p.add);
  }
}

// What part p kept in its region of values (Piece<uint8_t>) or ends
// (Piece<uint32_t>), or with more set what went on in its own block; the part
// belongs after at bytes and row rows of the parts before it.
template <typename T>
Piece<T> piece_of(const ColumnPart& p, size_t at, size_t row, bool more) {
  if constexpr (sizeof(T) == 1) {
    if (more) return Piece<T>{p.more_data.get(), 0, p.more_data ? p.len : 0, at + p.kept, 0};
    return Piece<T>{nullptr, p.data_at, p.more_data ? p.kept : p.len, at, 0};
  } else {
    const auto add = static_cast<uint32_t>(at);
    if (more) return Piece<T>{p.more_ends.get(), 0, p.more_ends ? p.n : 0, 1 + row + p.kept_n, add};
    return Piece<T>{nullptr, p.ends_at, p.more_ends ? p.kept_n : p.n, 1 + row, add};
  }
}

// Moves every part's values (or ends) of column c to where they belong.
// Regions lie in chunk order and nothing kept in a region passes its end, so
// what moves up (taken from the last part) and then what moves down or stays
// (from the first) never overwrites what is still to be moved; what went on in
// blocks of the parts' own is copied in last, over what is free by then.
template <typename T>
void place_parts(const MergeShare& m, size_t c, T* block, size_t data_len, size_t rows) {
  const auto part = [&](size_t i) -> const ColumnPart& { return m.tasks[i].parts[c]; };
  size_t at = data_len, row = rows;
  for (size_t i = m.n_tasks; i-- > 0;) {
    at -= part(i).total_len();
    row -= part(i).total_n();
    const Piece<T> p = piece_of<T>(part(i), at, row, false);
    if (p.to > p.from) move_piece(block, p);
  }
  for (bool more : {false, true}) {
    at = row = 0;
    for (size_t i = 0; i < m.n_tasks; ++i) {
      const Piece<T> p = piece_of<T>(part(i), at, row, more);
      if (more || p.to <= p.from) move_piece(block, p);
      at += part(i).total_len();
      row += part(i).total_n();
    }
  }
}

// Places every chunk's part of column c in its block, in chunk order, with
// each part's ends turned into offsets. The blocks grow first when the parts
// outgrew their regions; a column past the data limit fails.
bool place_column(MergeShare* m, size_t c) {
  ColumnBlock& block = m->blocks[c];
  size_t data_len = 0, rows = 0;
  for (size_t i = 0; i < m->n_tasks; ++i) {
    const ColumnPart& p = m->tasks[i].parts[c];
    if (p.total_len() > columnar_data_limit() - data_len) return false;
    data_len += p.total_len();
    rows += p.total_n();
  }
  if (data_len > block.data_cap) {
    if (!block.data.resize(data_len)) return false;
    block.data_cap = data_len;
  }
  if (rows + 1 > block.offsets_cap) {
    if (!block.offsets.resize(rows + 1)) return false;
    block.offsets_cap = rows + 1;
  }
  place_parts(*m, c, block.data.get(), data_len, rows);
  place_parts(*m, c, block.offsets.get(), data_len, rows);
  block.offsets[0] = 0;
  // Region room past the joined values was written by no one or is stale:
  // give its pages back.
  platform::heap_discard(block.data.get(), data_len, block.data_cap);
  platform::heap_discard(block.offsets.get(), (rows + 1) * sizeof(uint32_t),
                         block.offsets_cap * sizeof(uint32_t));
  return true;
}

// After its own range: waits until every worker has parsed its range, then
// places columns until none is left. Nothing is placed when a worker failed,
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
    if (failed(m->tasks[i].error) || m->tasks[i].misplanned) return;
  for (;;) {
    const size_t c = m->next_column.fetch_add(1, std::memory_order_relaxed);
    if (c >= m->n_columns) return;
    if (!place_column(m, c)) m->failed.store(true, std::memory_order_relaxed);
  }
}

// What both workers share: the read buffer and the line buffer.
template <Error (*Collect)(ChunkTask*, uint8_t*, ByteBuffer*)>
Error run_range(ChunkTask* t) {
  const uint64_t range = t->end - t->start;
  auto buf = platform::HeapArray<uint8_t>::allocate(range < kWorkerReadSize ? std::max<size_t>(range, 1)
                                                                            : kWorkerReadSize);
  if (!buf) return Error::OutOfMemory;
  ByteBuffer carry;
  Error e = Collect(t, buf.get(), &carry);
  carry.release();
  return e;
}

template <Error (*Collect)(ChunkTask*, uint8_t*, ByteBuffer*)>
void run_chunk(void* arg) {
  auto* t = static_cast<ChunkTask*>(arg);
  t->error = run_range<Collect>(t);
  if (t->merge) merge_share(t->merge);
}

void csv_chunk_worker(void* arg) { run_chunk<collect_csv_lines>(arg); }
void json_chunk_worker(void* arg) { run_chunk<collect_json_lines>(arg); }

// Column bytes and rows per input byte, from the first bytes of the data:
// they size every chunk's regions.
struct Rates {
  platform::HeapArray<double> bytes;  // per column
  double rows = 0;
};

// Everything one call holds; what is not handed to the result is released
// with it.
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
  platform::HeapArray<FieldView> names;
  KeyIndex key_index;
  Rates rates;
  platform::ObjectArray<ColumnBlock> blocks;
  platform::ObjectArray<ChunkTask> tasks;
  MergeShare merge;
  platform::HeapArray<platform::Thread> threads;
  ColumnBuffer* merged = nullptr;
  uint64_t n_rows = 0;

  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job() {
    release_tasks();
    column_buffers_free(merged, n_columns);
    platform::file_close(&file);
    first_line.release();
    json_parser_release(&parser);
    key_index_release(&key_index);
    free_predicates(&predicates);
  }

  void release_tasks() {
    tasks.reset();
    threads = {};
    blocks.reset();
  }
};

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
  job->names = platform::HeapArray<FieldView>::allocate(n ? n : 1);
  if (!job->names) return Error::OutOfMemory;
  for (size_t i = 0; i < n; ++i) job->names[i] = job->parser.members[i].key;
  job->n_columns = n;
  return key_index_build(&job->key_index, job->names.get(), n);
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

// Gives t the call's settings and its own copy of the prepared predicates.
Error init_task(const Job& job, bool is_json, ChunkTask* t) {
  t->file = job.file;
  t->file_size = job.size;
  t->negate = job.negate;
  t->delimiter = job.delimiter;
  t->quotes_span_lines = !is_json && job.read.quoting == Quoting::Rfc4180;
  t->nested_text = job.read.nested_text;
  t->n_columns = job.n_columns;
  if (is_json) {
    t->names = job.names.get();
    t->key_index = &job.key_index;
  }
  if (job.predicates.count) {
    t->own_predicates = platform::HeapArray<PreparedPredicate>::allocate(job.predicates.count);
    if (!t->own_predicates) return Error::OutOfMemory;
    std::memcpy(static_cast<void*>(t->own_predicates.get()), job.predicates.items,
                job.predicates.count * sizeof(PreparedPredicate));
    t->predicates.items = t->own_predicates.get();
    t->predicates.count = job.predicates.count;
  }
  if (job.n_columns) {
    t->parts = platform::ObjectArray<ColumnPart>::make(job.n_columns);
    if (!t->parts) return Error::OutOfMemory;
  }
  return Error::None;
}

// Collects the first bytes of the data on the calling thread into
// parts of their own and keeps what they hold per input byte. A failure other
// than running out of memory only ends the sample early: the workers meet it
// again and report it.
Error sample_rates(Job* job, bool is_json, uint64_t data_start) {
  if (job->n_columns) {
    job->rates.bytes = platform::HeapArray<double>::allocate(job->n_columns);
    if (!job->rates.bytes) return Error::OutOfMemory;
  }
  ChunkTask t;
  if (Error e = init_task(*job, is_json, &t); failed(e)) return e;
  const uint64_t data_len = job->size - data_start;
  const uint64_t len =
      std::min(data_len, std::clamp(data_len / kSampleShare, kLeastSampleBytes, kMostSampleBytes));
  t.start = data_start;
  t.end = data_start + len;
  Error e = is_json ? run_range<collect_json_lines>(&t) : run_range<collect_csv_lines>(&t);
  if (e == Error::OutOfMemory) return e;
  const double scale = 1.0 / static_cast<double>(len);
  for (size_t c = 0; c < job->n_columns; ++c)
    job->rates.bytes[c] = static_cast<double>(t.parts[c].total_len()) * scale;
  job->rates.rows = static_cast<double>(t.n_rows) * scale;
  return Error::None;
}

// Room for what rate per byte predicts over bytes, with a sixteenth and slack
// more, but never more than bytes + slack (no part holds more than its range).
size_t region_size(double rate, uint64_t bytes, size_t slack) {
  const double predicted = rate * static_cast<double>(bytes);
  const double most = static_cast<double>(bytes);
  const double want = std::min(predicted + predicted / 16, most);
  return static_cast<size_t>(want) + slack;
}

// A block for n elements on ordinary pages. A large one is grown from one
// element because a block allocated large is advised to use huge pages, whose
// first touch zeroes 2 MiB ahead of the writer: measured slower here than
// faulting 4 KiB pages just before they are written.
template <typename T>
platform::HeapArray<T> column_block(size_t n) {
  if (n < platform::kHugePageBlock / sizeof(T)) return platform::HeapArray<T>::allocate(n);
  platform::HeapArray<T> block = platform::HeapArray<T>::allocate(1);
  if (block && n > 1 && !block.resize(n)) return {};
  return block;
}

// Lays every task's part of every column into that column's blocks, each
// part's region sized from the sampled rates and its range's length. The
// blocks are allocated here but first written by the workers.
Error lay_out_regions(Job* job) {
  if (job->n_columns == 0) return Error::None;
  job->blocks = platform::ObjectArray<ColumnBlock>::make(job->n_columns);
  if (!job->blocks) return Error::OutOfMemory;
  for (size_t c = 0; c < job->n_columns; ++c) {
    size_t data = 0, ends = 1;
    for (ChunkTask& t : job->tasks) {
      ColumnPart& p = t.parts[c];
      const uint64_t bytes = t.end - t.start;
      p.data_at = data;
      p.ends_at = ends;
      p.cap = region_size(job->rates.bytes[c], bytes, kRegionSlackBytes);
      p.n_cap = region_size(job->rates.rows, bytes, kRegionSlackRows);
      if (p.cap > SIZE_MAX - data || p.n_cap > SIZE_MAX - ends) return Error::OutOfMemory;
      data += p.cap;
      ends += p.n_cap;
    }
    ColumnBlock& block = job->blocks[c];
    block.data = column_block<uint8_t>(data);
    block.offsets = column_block<uint32_t>(ends);
    if (!block.data || !block.offsets) return Error::OutOfMemory;
    block.data_cap = data;
    block.offsets_cap = ends;
    for (ChunkTask& t : job->tasks) {
      ColumnPart& p = t.parts[c];
      p.data = block.data.get() + p.data_at;
      p.ends = block.offsets.get() + p.ends_at;
    }
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
  job->tasks = platform::ObjectArray<ChunkTask>::make(n);
  job->threads = platform::HeapArray<platform::Thread>::allocate(n);
  if (!job->tasks || !job->threads) return Error::OutOfMemory;
  const uint64_t step = data_len / n;
  uint64_t start = data_start;
  bool odd_quotes = false;
  uint64_t counted_to = data_start;
  platform::HeapArray<uint8_t> buf;
  if (speculate && n > 1) {
    buf = platform::HeapArray<uint8_t>::allocate(kWorkerReadSize);
    if (!buf) return Error::OutOfMemory;
  }
  for (size_t i = 0; i < n; ++i) {
    job->threads[i] = platform::Thread{};
    ChunkTask* t = &job->tasks[i];
    t->start = start;
    t->end = job->size;
    if (i + 1 < n) {
      const uint64_t target = speculate ? data_start + step * (i + 1) : start + step;
      Error planned = Error::None;
      if (job->read.quoting != Quoting::Rfc4180) {
        planned = find_next_line_start(job->file, target, job->size, &t->end);
      } else if (!speculate) {
        planned = find_next_record_start(job->file, start, target, job->size, job->delimiter, &t->end);
      } else if (target <= start) {
        planned = find_next_record_start(job->file, start, start, job->size, job->delimiter, &t->end);
      } else {
        planned = quote_parity(job->file, counted_to, target, buf.get(), &odd_quotes);
        counted_to = target;
        if (!failed(planned)) planned = guess_record_start(*job, target, odd_quotes, &t->end);
      }
      if (failed(planned)) return planned;
    }
    start = t->end;
    if (Error e = init_task(*job, is_json, t); failed(e)) return e;
  }
  return lay_out_regions(job);
}

// Starts one worker per chunk and waits for all of them, in chunk order. When
// a start fails, the workers already started are still waited for.
Error run_workers(Job* job, bool is_json) {
  platform::ThreadMain worker = is_json ? json_chunk_worker : csv_chunk_worker;
  const size_t n_tasks = job->tasks.size();
  MergeShare& m = job->merge;
  m.tasks = job->tasks.get();
  m.n_tasks = n_tasks;
  m.blocks = job->blocks.get();
  m.n_columns = job->n_columns;
  m.parsed.store(0);
  m.abandoned.store(false);
  m.next_column.store(0);
  m.failed.store(false);
  for (ChunkTask& t : job->tasks) t.merge = &m;
  Error start_error = Error::None;
  for (size_t i = 0; i < n_tasks; ++i) {
    start_error = platform::thread_start(&job->threads[i], kWorkerStackSize, worker, &job->tasks[i]);
    if (failed(start_error)) break;
  }
  if (failed(start_error)) {
    // The started workers wait for the others before placing columns: let them go.
    m.abandoned.store(true, std::memory_order_release);
    m.parsed.fetch_add(n_tasks + 1, std::memory_order_acq_rel);
    m.parsed.notify_all();
  }
  for (size_t i = 0; i < n_tasks; ++i) platform::thread_join(&job->threads[i]);
  if (failed(start_error)) return start_error;
  for (size_t i = n_tasks; i-- > 0;)
    if (failed(job->tasks[i].error)) return job->tasks[i].error;
  return Error::None;
}

// The columns placed by the workers (merge_share) become the result's.
Error take_columns(Job* job) {
  if (job->merge.failed.load()) return Error::OutOfMemory;
  job->n_rows = 0;
  for (const ChunkTask& t : job->tasks) job->n_rows += t.n_rows;
  if (job->n_columns == 0) return Error::None;
  if (job->n_columns > SIZE_MAX / sizeof(ColumnBuffer)) return Error::OutOfMemory;
  auto* columns = static_cast<ColumnBuffer*>(platform::heap_alloc(job->n_columns * sizeof(ColumnBuffer)));
  if (!columns) return Error::OutOfMemory;
  for (size_t c = 0; c < job->n_columns; ++c) {
    ColumnBlock& block = job->blocks[c];
    ColumnBuffer* column = new (&columns[c]) ColumnBuffer{};
    column->data.len = 0;
    column->offsets.len = 1;
    for (const ChunkTask& t : job->tasks) {
      column->data.len += t.parts[c].total_len();
      column->offsets.len += t.parts[c].total_n();
    }
    column->data.cap = block.data_cap;
    column->offsets.cap = block.offsets_cap;
    column->data.data = block.data.release();
    column->offsets.data = block.offsets.release();
  }
  job->merged = columns;
  return Error::None;
}

bool any_misplanned(const Job& job) {
  for (const ChunkTask& t : job.tasks)
    if (t.misplanned) return true;
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
  if (Error s = sample_rates(job, is_json, data_start); failed(s)) return s;
  const bool quoted = !is_json && job->read.quoting == Quoting::Rfc4180;
  if (Error p = plan_chunks(job, is_json, data_start, n_threads, quoted); failed(p)) return p;
  Error r = run_workers(job, is_json);
  if (quoted && any_misplanned(*job)) {
    // Quote parity misread the file (a quote that is data): plan again by framing every record.
    job->release_tasks();
    if (Error p = plan_chunks(job, is_json, data_start, n_threads); failed(p)) return p;
    r = run_workers(job, is_json);
  }
  if (failed(r)) return r;
  return take_columns(job);
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
  auto buf = platform::HeapArray<uint8_t>::allocate(window);
  if (!buf) return Error::OutOfMemory;
  size_t have = 0;
  for (;;) {
    size_t got = 0;
    if (Error e = platform::file_pread(file, buf.get() + have, window - have, offset + have, &got); failed(e))
      return e;
    if (got == 0) return Error::None;  // the file ended early
    size_t k = find_byte(buf.get() + have, got, '\n');
    if (k < got) {
      *out = offset + have + k + 1;
      return Error::None;
    }
    have += got;
    if (have < window) continue;
    if (window >= rest) return Error::None;
    window = rest - window < window ? static_cast<size_t>(rest) : window * 2;
    if (!buf.resize(window)) return Error::OutOfMemory;
  }
}

Error find_next_record_start(platform::File file, uint64_t record_start, uint64_t offset, uint64_t size,
                             uint8_t delimiter, uint64_t* out) {
  return find_record_start_from(file, record_start, QuotedFraming{}, offset, size, delimiter, out);
}

Error find_record_start_from(platform::File file, uint64_t from, QuotedFraming framing, uint64_t offset,
                             uint64_t size, uint8_t delimiter, uint64_t* out) {
  *out = size;
  auto buf = platform::HeapArray<uint8_t>::allocate(kLineWindow);
  if (!buf) return Error::OutOfMemory;
  for (uint64_t pos = from; pos < size;) {
    const uint64_t rest = size - pos;
    size_t got = 0;
    if (Error e = platform::file_pread(
            file, buf.get(), rest < kLineWindow ? static_cast<size_t>(rest) : kLineWindow, pos, &got);
        failed(e))
      return e;
    if (got == 0) break;
    size_t first = SIZE_MAX;
    count_quoted_ends(&framing, buf.get(), got, delimiter, offset > pos ? offset - pos : 0, &first);
    if (first != SIZE_MAX) {
      *out = pos + first + 1;
      break;
    }
    pos += got;
  }
  return Error::None;
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
    *failure = ParallelFailure::Scan;
    *condition = e;
    return nullptr;
  }
  // A CSV file that is only a header line has no columns and no rows.
  if (no_data) {
    column_buffers_free(job.merged, job.n_columns);
    job.merged = nullptr;
    job.n_columns = 0;
  }
  job.release_tasks();
  platform::file_close(&job.file);
  ColumnarCollectContext* ctx = columnar_context_create(job.merged, job.n_columns, job.n_rows);
  if (!ctx) {
    *failure = ParallelFailure::NoMemoryForContext;
    return nullptr;
  }
  job.merged = nullptr;
  return ctx;
}

}  // namespace quelta
