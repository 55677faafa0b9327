// The ring of row blocks, the turns by which threads take columns of them, and
// the waits. An idle column thread sleeps until the next block is published
// (or the end); the reading thread, when it can neither fill a block nor take
// a column, sleeps until some column's turn ends. A thread that ends a turn
// looks again at once, so no work waits for a wake-up.
#include "profile/parallel_profile.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/owned.h"
#include "platform/thread.h"
#include "util/grow_buffer.h"
#include "util/short_copy.h"

namespace quelta {
namespace {

// Blocks in the ring, and when a block is closed: once its text or its fields
// reach these sizes (a block always takes at least one row).
constexpr size_t kRingBlocks = 16;
constexpr size_t kBlockBytes = size_t{64} << 10;
constexpr size_t kBlockFields = size_t{8} << 10;
// Threads beyond a few per processor only queue for the same cores.
constexpr size_t kThreadsPerProcessor = 8;
constexpr size_t kWorkerStackSize = size_t{256} << 10;

// Rows copied out of the reader: every row has exactly n_columns fields (a
// missing one empty), each a span of data.
struct FieldSpan {
  size_t start;
  size_t end;
};

struct RowBlock {
  ByteBuffer data;
  GrowBuffer<FieldSpan> fields;
  size_t rows = 0;
};

// The progress of one column through the blocks.
struct ColumnTurn {
  std::atomic<uint64_t> done{0};  // blocks this column has profiled
  std::atomic<bool> busy{false};  // a thread is profiling it
};

struct Shared {
  ColumnProfile* columns = nullptr;
  size_t n_columns = 0;
  platform::ObjectArray<ColumnTurn> turns;
  RowBlock ring[kRingBlocks];
  alignas(64) std::atomic<uint64_t> produced{0};   // blocks filled, in row order
  std::atomic<bool> finished{false};               // no block will follow
  std::atomic<bool> stop{false};                   // a failure: everyone leaves
  std::atomic<uint8_t> failure{0};                 // the first column failure (an Error), 0 for none
  alignas(64) std::atomic<uint32_t> published{0};  // bumped for every block, the end and a failure
  alignas(64) std::atomic<uint32_t> released{0};   // bumped for every turn that ends

  static void bump(std::atomic<uint32_t>* counter) {
    counter->fetch_add(1, std::memory_order_release);
    counter->notify_all();
  }
};

// Profiles column c of every block filled and not yet profiled by it, when no
// other thread has the column. True when it did any work.
bool take_column(Shared* sh, size_t c) {
  ColumnTurn& turn = sh->turns[c];
  if (turn.busy.load(std::memory_order_relaxed) ||
      turn.done.load(std::memory_order_acquire) >= sh->produced.load(std::memory_order_acquire))
    return false;
  if (turn.busy.exchange(true, std::memory_order_acquire)) return false;
  uint64_t done = turn.done.load(std::memory_order_relaxed);
  const uint64_t ready = sh->produced.load(std::memory_order_acquire);
  const size_t stride = sh->n_columns;
  ColumnProfile* column = &sh->columns[c];
  bool worked = false;
  for (; done < ready && !sh->stop.load(std::memory_order_relaxed); ++done) {
    const RowBlock& b = sh->ring[done % kRingBlocks];
    const FieldSpan* spans = b.fields.data + c;
    for (size_t r = 0; r < b.rows; ++r, spans += stride) {
      const FieldView value{b.data.data + spans->start, spans->end - spans->start};
      if (Error e = column_profile_add(column, value); failed(e)) {
        uint8_t none = 0;
        sh->failure.compare_exchange_strong(none, static_cast<uint8_t>(e));
        sh->stop.store(true, std::memory_order_relaxed);
        break;
      }
    }
    turn.done.store(done + 1, std::memory_order_release);
    worked = true;
  }
  turn.busy.store(false, std::memory_order_release);
  if (worked) Shared::bump(&sh->released);
  return worked;
}

// One round over the columns from *cursor on; true when any work was done.
bool take_work(Shared* sh, size_t* cursor) {
  for (size_t i = 0; i < sh->n_columns; ++i) {
    const size_t c = (*cursor + i) % sh->n_columns;
    if (take_column(sh, c)) {
      *cursor = c + 1;
      return true;
    }
  }
  return false;
}

// Whether every column has profiled block `block` (so its slot may be refilled).
bool all_done_with(const Shared& sh, uint64_t block) {
  for (size_t c = 0; c < sh.n_columns; ++c)
    if (sh.turns[c].done.load(std::memory_order_acquire) <= block) return false;
  return true;
}

// Whether every column has profiled every block filled so far.
bool all_done(const Shared& sh) {
  const uint64_t produced = sh.produced.load(std::memory_order_acquire);
  return produced == 0 || all_done_with(sh, produced - 1);
}

// A column thread. Once no block will follow, what it finds nothing of is
// either done or held by a thread that finishes it.
void worker(void* arg) {
  auto* sh = static_cast<Shared*>(arg);
  size_t cursor = 0;
  for (;;) {
    const uint32_t seen = sh->published.load(std::memory_order_acquire);
    if (sh->stop.load(std::memory_order_acquire)) return;
    if (take_work(sh, &cursor)) continue;
    if (sh->finished.load(std::memory_order_acquire)) return;
    sh->published.wait(seen, std::memory_order_acquire);
  }
}

// Whether the bytes [low, high) lie inside one block of the reader's text: its
// buffer, the record it gathered across two reads, or the caller's memory.
bool in_reader_text(const BufferedReader& r, uintptr_t low, uintptr_t high) {
  auto inside = [&](const uint8_t* p, size_t n) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    return p && low >= start && high <= start + n;
  };
  return inside(r.buffer, r.end) || inside(r.pending.data, r.pending.len) || inside(r.mem_data, r.mem_len);
}

// Copies one row into b, n_columns fields, the missing ones empty. The fields
// of a row mostly lie in order in one stretch of the reader's text, between
// delimiters and quotes: that stretch is copied in one piece when it holds
// little else. Otherwise (an unescaped text lies elsewhere, a projection
// reorders the fields) the fields are copied one by one.
Error append_row(RowBlock* b, const BufferedReader& reader, const FieldView* fields, size_t n,
                 size_t n_columns) {
  const size_t given = n < n_columns ? n : n_columns;
  if (Error e = b->fields.reserve(b->fields.len + n_columns); failed(e)) return e;
  FieldSpan* spans = b->fields.data + b->fields.len;
  const size_t at = b->data.len;
  // Addresses as numbers: the fields need not lie in one object.
  const uintptr_t low = given ? reinterpret_cast<uintptr_t>(fields[0].ptr) : 0;
  uintptr_t high = low;
  bool ordered = low != 0;
  size_t bytes = 0;
  for (size_t i = 0; i < given; ++i) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(fields[i].ptr);
    ordered &= p >= high;
    high = p + fields[i].len;
    bytes += fields[i].len;
    const size_t start = at + (p - low);
    spans[i] = FieldSpan{start, start + fields[i].len};
  }
  const size_t stretch = high - low;
  size_t end = at;
  if (ordered && stretch <= bytes + 4 * given + 64 && in_reader_text(reader, low, high)) {
    if (Error e = b->data.reserve(at + stretch); failed(e)) return e;
    if (stretch) std::memcpy(b->data.data + at, fields[0].ptr, stretch);
    end += stretch;
  } else {
    if (Error e = b->data.reserve(at + bytes); failed(e)) return e;
    for (size_t i = 0; i < given; ++i) {
      copy_bytes(b->data.data + end, fields[i].ptr, fields[i].len);
      spans[i] = FieldSpan{end, end + fields[i].len};
      end += fields[i].len;
    }
  }
  for (size_t i = given; i < n_columns; ++i) spans[i] = FieldSpan{end, end};
  b->data.len = end;
  b->fields.len += n_columns;
  ++b->rows;
  return Error::None;
}

// Fills b with the next matching rows until it is full or the scan ends.
Error fill_block(ScanState* s, RowBlock* b, size_t n_columns, uint64_t* rows, bool* at_end) {
  b->data.clear();
  b->fields.clear();
  b->rows = 0;
  while (b->data.len < kBlockBytes && b->fields.len < kBlockFields) {
    const FieldView* fields;
    size_t n;
    if (Error e = next_matching_row(s, &fields, &n, at_end); failed(e)) return e;
    if (*at_end) return Error::None;
    if (Error e = append_row(b, *input_buffer(&s->input), fields, n, n_columns); failed(e)) return e;
    ++*rows;
  }
  return Error::None;
}

// The calling thread's part: fills blocks while the ring has room, profiles
// columns while it has none, and at the end helps until every column is done.
Error produce(Shared* sh, ScanState* s, uint64_t* rows) {
  size_t cursor = 0;
  for (;;) {
    const uint32_t seen = sh->released.load(std::memory_order_acquire);
    if (sh->stop.load(std::memory_order_acquire)) return Error::None;
    const uint64_t next = sh->produced.load(std::memory_order_relaxed);
    if (next < kRingBlocks || all_done_with(*sh, next - kRingBlocks)) {
      bool at_end = false;
      const Error e = fill_block(s, &sh->ring[next % kRingBlocks], sh->n_columns, rows, &at_end);
      if (failed(e)) return e;
      if (sh->ring[next % kRingBlocks].rows) sh->produced.store(next + 1, std::memory_order_release);
      if (at_end) sh->finished.store(true, std::memory_order_release);
      Shared::bump(&sh->published);
      if (at_end) break;
      continue;
    }
    if (!take_work(sh, &cursor)) sh->released.wait(seen, std::memory_order_acquire);
  }
  while (!sh->stop.load(std::memory_order_acquire) && !all_done(*sh)) {
    const uint32_t seen = sh->released.load(std::memory_order_acquire);
    if (!take_work(sh, &cursor) && !all_done(*sh)) sh->released.wait(seen, std::memory_order_acquire);
  }
  return Error::None;
}

void release_ring(Shared* sh) {
  for (RowBlock& b : sh->ring) {
    b.data.release();
    b.fields.release();
  }
}

}  // namespace

Error profile_scan_parallel(ScanState* s, FileProfile* out, size_t n_threads) {
  if (n_threads == 0) n_threads = platform::processor_count();
  const size_t most = platform::processor_count() * kThreadsPerProcessor;
  if (n_threads > most) n_threads = most;
  if (Error e = profile_columns_init(s, out); failed(e)) return e;
  // The reading thread and one per column at most have anything to do.
  if (n_threads > out->columns.len + 1) n_threads = out->columns.len + 1;
  if (n_threads <= 1) return profile_rows(s, out);

  Shared sh;
  sh.columns = out->columns.data;
  sh.n_columns = out->columns.len;
  sh.turns = platform::ObjectArray<ColumnTurn>::make(sh.n_columns);
  auto threads = platform::ObjectArray<platform::Thread>::make(n_threads - 1);
  if (!sh.turns || !threads) return Error::OutOfMemory;
  // A thread the system refuses leaves its share to the others; memory of our
  // own that runs out is a failure like any other.
  Error e = Error::None;
  size_t started = 0;
  for (; started < n_threads - 1; ++started) {
    const Error start = platform::thread_start(&threads[started], kWorkerStackSize, worker, &sh);
    if (start == Error::OutOfMemory) e = start;
    if (failed(start)) break;
  }
  if (!failed(e)) e = produce(&sh, s, &out->rows);
  if (failed(e)) sh.stop.store(true, std::memory_order_release);
  // Failed or not, a column thread asleep wakes to find the end or the stop.
  Shared::bump(&sh.published);
  for (size_t i = 0; i < started; ++i) platform::thread_join(&threads[i]);
  release_ring(&sh);
  if (const uint8_t f = sh.failure.load(); f != 0) return static_cast<Error>(f);
  if (failed(e)) return e;
  return profile_columns_finish(out);
}

}  // namespace quelta
