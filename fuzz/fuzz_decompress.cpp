// The decompressing reader over memory (reader_init_memory,
// reader_detect_compression, reader_refill): every input ends in plain bytes
// or a condition, never a crash or a hang; the bytes and the condition do not
// depend on the refill size; after a failure the input ends; an allocation failure is
// reported; whatever gzip payload the reader accepts, zlib reads alike.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "input/buffered_reader.h"
#include "platform/heap.h"

namespace {

using quelta::Error;

// Enough output to see any decoder at work; a small input may expand far beyond it.
constexpr size_t kMaxOutput = size_t{8} << 20;

struct Drained {
  std::string bytes;
  Error error = Error::None;
  bool capped = false;
};

Drained drain(const uint8_t* data, size_t size, size_t chunk) {
  Drained out;
  quelta::BufferedReader r;
  Error e = quelta::reader_init_memory(&r, data, size, chunk);
  if (!quelta::failed(e)) e = quelta::reader_detect_compression(&r);
  const bool opened = !quelta::failed(e);
  while (!quelta::failed(e)) {
    e = quelta::reader_refill(&r);
    if (quelta::failed(e)) break;
    if (r.eof) break;
    out.bytes.append(reinterpret_cast<const char*>(r.buffer + r.pos), r.end - r.pos);
    if (out.bytes.size() >= kMaxOutput) {
      out.capped = true;
      break;
    }
  }
  if (quelta::failed(e) && opened) {
    // The stream cannot be resumed past its failure: the input ends there.
    const Error again = quelta::reader_refill(&r);
    FUZZ_CHECK(again == Error::None && r.eof, "refill after %s gave %s%s", quelta::error_name(e),
               quelta::error_name(again), r.eof ? "" : " and more bytes");
  }
  out.error = e;
  quelta::reader_close(&r);
  return out;
}

// zlib's reading of a gzip file of one or more members; false when it refuses.
bool gunzip(const uint8_t* data, size_t size, std::string* out) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  uint8_t buf[65536];
  bool ok = true;
  while (ok) {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    const int r = inflate(&z, Z_NO_FLUSH);
    out->append(reinterpret_cast<const char*>(buf), sizeof buf - z.avail_out);
    if (r == Z_STREAM_END) {
      if (z.avail_in == 0) break;
      if (inflateReset(&z) != Z_OK) ok = false;
    } else if (r != Z_OK || (z.avail_in == 0 && z.avail_out != 0)) {
      ok = false;
    }
    if (out->size() > kMaxOutput) break;
  }
  inflateEnd(&z);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const uint8_t control = in.byte();
  const uint8_t fault = in.byte();
  const uint8_t* text = in.rest();
  const size_t n = in.rest_size();
  const size_t small_chunk = 1 + control % 97;

  const int64_t live = quelta::platform::heap_live_blocks();
  const Drained full = drain(text, n, quelta::kChunkSize);
  const Drained small = drain(text, n, small_chunk);
  FUZZ_CHECK(quelta::platform::heap_live_blocks() == live, "blocks leaked");
  if (!full.capped && !small.capped) {
    FUZZ_CHECK(full.error == small.error, "chunk %zu: %s, full chunk: %s", small_chunk,
               quelta::error_name(small.error), quelta::error_name(full.error));
    if (!quelta::failed(full.error))
      FUZZ_CHECK(full.bytes == small.bytes, "chunk %zu: %zu bytes, full chunk %zu", small_chunk,
                 small.bytes.size(), full.bytes.size());
  }
  // A gzip payload the reader accepts is one zlib accepts, with the same bytes.
  if (n >= 3 && text[0] == 0x1f && text[1] == 0x8b && text[2] == 8 && !quelta::failed(full.error) &&
      !full.capped) {
    std::string reference;
    FUZZ_CHECK(gunzip(text, n, &reference), "zlib refuses a gzip input the reader read (%zu bytes)",
               full.bytes.size());
    // A byte-order mark at the start is the reader's to skip.
    if (reference.size() >= 3 && reference.compare(0, 3, "\xEF\xBB\xBF") == 0) reference.erase(0, 3);
    FUZZ_CHECK(reference == full.bytes, "zlib gives %zu bytes, the reader %zu", reference.size(),
               full.bytes.size());
  }

  // One allocation fails: it is reported (as OutOfMemory) or not reached, and nothing leaks.
  if (fault != 0) {
    const uint64_t before = quelta::platform::heap_alloc_count();
    quelta::platform::heap_fail_at(fault % 16 + 1);
    const Drained failing = drain(text, n, quelta::kChunkSize);
    const bool reached =
        quelta::platform::heap_alloc_count() - before >= static_cast<uint64_t>(fault % 16 + 1);
    quelta::platform::heap_fail_at(0);
    FUZZ_CHECK(quelta::platform::heap_live_blocks() == live, "blocks leaked with an allocation failing");
    if (reached && !full.capped) FUZZ_CHECK(quelta::failed(failing.error), "an allocation failed silently");
    if (!reached && !full.capped)
      FUZZ_CHECK(failing.error == full.error, "a failure that never came changed the outcome");
  }
  return 0;
}
