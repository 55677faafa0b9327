// Decompression under the buffered reader: gzip (also several members), zstd
// (several frames), bzip2 (several streams), xz and a zip archive of one
// file, told apart by their first bytes and decoded as a stream, so memory
// stays bounded whatever the input's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace quelta {

enum class Compression : uint8_t { None, Gzip, Zstd, Bzip2, Xz, Zip };

// Bytes compression_from_magic needs for a sure answer.
constexpr size_t kMagicSize = 6;

// The compression the input's first n bytes announce (None for plain text).
Compression compression_from_magic(const uint8_t* p, size_t n);

// The length of path without a trailing .gz, .zst, .bz2, .xz or .zip, so the
// name before it chooses the text format.
size_t strip_compression_suffix(const char* path, size_t len);

// Where compressed bytes come from: one read of at most want bytes, *got = 0
// at the end of the input.
struct ByteSource {
  Error (*read)(void* context, uint8_t* into, size_t want, size_t* got);
  void* context;
};

struct DecoderState;  // the format's own decoder and its bookkeeping

struct Decompressor {
  Compression kind = Compression::None;
  DecoderState* state = nullptr;
  uint8_t* in = nullptr;  // compressed bytes read ahead
  size_t in_pos = 0;
  size_t in_end = 0;
  bool in_eof = false;          // the source has ended
  bool done = false;            // the payload has ended
  Error failure = Error::None;  // a failure stays: the stream cannot be resumed after it
};

// Sets up the decoder for kind (not None). On failure nothing stays allocated.
Error decompressor_open(Decompressor* d, Compression kind);

// Fills out[0..cap) with the payload's next bytes; *got < cap only at its
// end. A corrupt stream is CorruptInput, one that ends early TruncatedInput,
// a zip archive with a second member SeveralZipMembers. Bytes decoded before
// a failure are handed out first; the failure then comes with every later read.
Error decompressor_read(Decompressor* d, ByteSource source, uint8_t* out, size_t cap, size_t* got);

// Compressed bytes read from the source but not yet decoded.
inline size_t decompressor_unread(const Decompressor& d) { return d.in_end - d.in_pos; }

// Releases everything; safe on a partly set-up decompressor.
void decompressor_close(Decompressor* d);

// The number of entries the end-of-central-directory record in a zip
// archive's last n bytes names, in *entries. False when no such record is
// found there (or it defers to a ZIP64 record).
bool zip_entries_from_tail(const uint8_t* tail, size_t n, uint64_t* entries);

// How many of a zip archive's last bytes hold its end record whatever its comment.
constexpr size_t kZipTailSize = 22 + 65535;

}  // namespace quelta
