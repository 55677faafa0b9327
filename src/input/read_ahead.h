// Read-ahead for compressed files: one thread decompresses the next chunk
// while the reader's caller works on the current one, through two chunk
// slots handed back and forth. The consumer holds at most one slot, so the
// producer always has one to fill.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "input/decompress.h"
#include "platform/error.h"
#include "platform/thread.h"

namespace quelta {

struct AheadSlot {
  enum State : uint32_t { Empty, Full, Stop };
  uint8_t* data = nullptr;
  size_t len = 0;
  Error error = Error::None;
  uint64_t consumed = 0;  // compressed bytes behind the decoder when the slot was filled
  std::atomic<uint32_t> state{Empty};
};

struct ReadAhead {
  AheadSlot slots[2];
  size_t capacity = 0;
  Decompressor* inflow = nullptr;  // driven by the thread only, once started
  ByteSource source{};
  const uint64_t* source_read = nullptr;  // bytes the source has given so far
  platform::Thread thread;
  // The consumer's side.
  size_t next = 0;        // the slot the next take waits for
  int held = -1;          // the slot the consumer reads from, -1 for none
  bool finished = false;  // the last slot (end or failure) has been taken
  Error final_error = Error::None;
};

// Starts decompressing inflow from source into chunks of capacity bytes on a
// thread of its own. *started is false when no thread could be had (the
// caller then decompresses as it reads); OutOfMemory is the only failure.
Error read_ahead_start(ReadAhead** out, Decompressor* inflow, ByteSource source, const uint64_t* source_read,
                       size_t capacity, bool* started);

// The next chunk: *data and *got (0 at the end), valid until the next take;
// *consumed tells how far into the compressed input it reaches. A failure
// comes again with every later take.
Error read_ahead_take(ReadAhead* a, const uint8_t** data, size_t* got, uint64_t* consumed);

// Switches read-ahead on (the default) or off for readers opened from now on,
// so benchmarks can measure both in one run.
void read_ahead_use(bool on);
bool read_ahead_in_use();

// Stops and joins the thread and frees the slots; safe on null.
void read_ahead_stop(ReadAhead* a);

}  // namespace quelta
