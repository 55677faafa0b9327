// The read-ahead thread of compressed files and its two-slot hand-over.
#include "input/read_ahead.h"

#include "platform/heap.h"
#include "platform/owned.h"

namespace quelta {

namespace {

// The decoders' deepest stacks (bzip2, liblzma) stay well inside this.
constexpr size_t kStackSize = size_t{1} << 20;

std::atomic<bool> g_use_read_ahead{true};

void produce(void* arg) {
  auto* a = static_cast<ReadAhead*>(arg);
  for (size_t i = 0;; i ^= 1) {
    AheadSlot& s = a->slots[i];
    uint32_t state;
    while ((state = s.state.load(std::memory_order_acquire)) == AheadSlot::Full)
      s.state.wait(AheadSlot::Full);
    if (state == AheadSlot::Stop) return;
    size_t got = 0;
    const Error e = decompressor_read(a->inflow, a->source, s.data, a->capacity, &got);
    s.len = got;
    s.error = e;
    s.consumed = *a->source_read - decompressor_unread(*a->inflow);
    // A stop asked for meanwhile is seen at the next slot, which the consumer stopped too.
    s.state.store(AheadSlot::Full, std::memory_order_release);
    s.state.notify_one();
    if (failed(e) || got == 0) return;
  }
}

}  // namespace

void read_ahead_use(bool on) { g_use_read_ahead.store(on, std::memory_order_relaxed); }
bool read_ahead_in_use() { return g_use_read_ahead.load(std::memory_order_relaxed); }

Error read_ahead_start(ReadAhead** out, Decompressor* inflow, ByteSource source, const uint64_t* source_read,
                       size_t capacity, bool* started) {
  *out = nullptr;
  *started = false;
  auto box = platform::HeapBox<ReadAhead>::make();
  if (!box) return Error::OutOfMemory;
  // From here read_ahead_stop releases the slots and joins the thread if it runs.
  platform::OwnedPtr<ReadAhead, read_ahead_stop> a(box.release());
  a->capacity = capacity;
  a->inflow = inflow;
  a->source = source;
  a->source_read = source_read;
  for (AheadSlot& s : a->slots) {
    s.data = static_cast<uint8_t*>(platform::heap_alloc(capacity));
    if (!s.data) return Error::OutOfMemory;
  }
  // Without a thread the reader decompresses as it reads; only a failed allocation is reported.
  if (Error e = platform::thread_start(&a->thread, kStackSize, produce, a.get()); failed(e))
    return e == Error::OutOfMemory ? e : Error::None;
  *out = a.release();
  *started = true;
  return Error::None;
}

Error read_ahead_take(ReadAhead* a, const uint8_t** data, size_t* got, uint64_t* consumed) {
  *data = nullptr;
  *got = 0;
  if (a->finished) return a->final_error;
  AheadSlot& s = a->slots[a->next];
  while (s.state.load(std::memory_order_acquire) != AheadSlot::Full) s.state.wait(AheadSlot::Empty);
  if (failed(s.error) || s.len == 0) {
    // The producer has stopped; the slot held so far stays readable.
    a->finished = true;
    a->final_error = s.error;
    *consumed = s.consumed;
    return s.error;
  }
  if (a->held >= 0) {
    AheadSlot& back = a->slots[a->held];
    back.state.store(AheadSlot::Empty, std::memory_order_release);
    back.state.notify_one();
  }
  a->held = static_cast<int>(a->next);
  a->next ^= 1;
  *data = s.data;
  *got = s.len;
  *consumed = s.consumed;
  return Error::None;
}

void read_ahead_stop(ReadAhead* a) {
  if (!a) return;
  if (a->thread.started) {
    for (AheadSlot& s : a->slots) {
      s.state.store(AheadSlot::Stop, std::memory_order_release);
      s.state.notify_one();
    }
    platform::thread_join(&a->thread);
  }
  for (AheadSlot& s : a->slots) platform::heap_free(s.data);
  a->~ReadAhead();
  platform::heap_free(a);
}

}  // namespace quelta
