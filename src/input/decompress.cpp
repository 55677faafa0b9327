// Streaming decoders of the compressed formats, behind one read call. Every
// allocation of the decoders goes through the platform heap (isa-l's state is
// ours to allocate; zstd, bzip2 and liblzma take our allocator).
#include "input/decompress.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_createDCtx_advanced, for the custom allocator
#include <bzlib.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <lzma.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>
#include <new>

#include "platform/heap.h"
#include "platform/owned.h"

namespace quelta {

namespace {

// Compressed bytes read ahead: room for a zip local header with the longest
// name and extra field.
constexpr size_t kInputSize = 192 * 1024;

constexpr uint8_t kGzipMagic[] = {0x1f, 0x8b, 0x08};
constexpr uint8_t kZstdMagic[] = {0x28, 0xb5, 0x2f, 0xfd};
constexpr uint8_t kXzMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};
constexpr uint32_t kZipLocal = 0x04034b50, kZipCentral = 0x02014b50, kZipEnd = 0x06054b50,
                   kZipEnd64 = 0x06064b50, kZipDescriptor = 0x08074b50;

bool starts_with(const uint8_t* p, size_t n, const uint8_t* magic, size_t m) {
  return n >= m && std::memcmp(p, magic, m) == 0;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

bool bzip2_magic(const uint8_t* p, size_t n) {
  return n >= 4 && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
}

void* heap_alloc_opaque(void*, size_t size) { return platform::heap_alloc(size); }
void heap_free_opaque(void*, void* block) { platform::heap_free(block); }
void* bzip2_alloc(void*, int n, int m) {
  if (n < 0 || m < 0) return nullptr;
  return platform::heap_alloc(static_cast<size_t>(n) * static_cast<size_t>(m));
}
void* lzma_alloc(void*, size_t n, size_t m) {
  return n && m > SIZE_MAX / n ? nullptr : platform::heap_alloc(n * m);
}

const ZSTD_customMem kZstdHeap = {heap_alloc_opaque, heap_free_opaque, nullptr};
const lzma_allocator kLzmaHeap = {lzma_alloc, heap_free_opaque, nullptr};

// A zip member's progress through its local header, data and trailer.
enum class ZipPhase : uint8_t { Header, Deflated, Stored, Trailer };

}  // namespace

struct DecoderState {
  inflate_state inflate;  // gzip and zip
  ZSTD_DCtx* zstd = nullptr;
  bz_stream bzip2{};
  bool bzip2_open = false;
  lzma_stream xz = LZMA_STREAM_INIT;
  // Whether the decoder stands between members, frames or streams: the input may end here.
  bool at_boundary = false;
  // Zip.
  ZipPhase zip_phase = ZipPhase::Header;
  uint16_t zip_flags = 0;
  uint32_t zip_crc = 0;      // as the local header states it
  uint32_t crc = 0;          // of the bytes stored so far
  uint64_t stored_left = 0;  // of a stored member
};

Compression compression_from_magic(const uint8_t* p, size_t n) {
  if (starts_with(p, n, kGzipMagic, sizeof kGzipMagic)) return Compression::Gzip;
  if (starts_with(p, n, kZstdMagic, sizeof kZstdMagic)) return Compression::Zstd;
  // A skippable zstd frame may come first.
  if (n >= 4 && (p[0] & 0xF0) == 0x50 && p[1] == 0x2A && p[2] == 0x4D && p[3] == 0x18)
    return Compression::Zstd;
  if (starts_with(p, n, kXzMagic, sizeof kXzMagic)) return Compression::Xz;
  if (bzip2_magic(p, n)) return Compression::Bzip2;
  if (n >= 4 && (le32(p) == kZipLocal || le32(p) == kZipEnd)) return Compression::Zip;
  return Compression::None;
}

size_t strip_compression_suffix(const char* path, size_t len) {
  static constexpr const char* kSuffixes[] = {".gz", ".zst", ".bz2", ".xz", ".zip"};
  for (const char* s : kSuffixes) {
    const size_t n = std::strlen(s);
    if (len > n && std::memcmp(path + len - n, s, n) == 0) return len - n;
  }
  return len;
}

bool zip_entries_from_tail(const uint8_t* tail, size_t n, uint64_t* entries) {
  if (n < 22) return false;
  for (size_t i = n - 22 + 1; i-- > 0;) {
    if (le32(tail + i) != kZipEnd) continue;
    // The comment length must reach exactly to the end, or this is a lookalike inside it.
    if (i + 22 + le16(tail + i + 20) != n) continue;
    const uint16_t total = le16(tail + i + 10);
    if (total == 0xFFFF) return false;
    *entries = total;
    return true;
  }
  return false;
}

static Error zstd_condition(size_t code) {
  return ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation ? Error::OutOfMemory : Error::CorruptInput;
}

Error decompressor_open(Decompressor* d, Compression kind) {
  *d = Decompressor{};
  // Until the decoder is ready, a failure closes what there is of it.
  platform::OwnedPtr<Decompressor, decompressor_close> opening(d);
  d->kind = kind;
  d->in = static_cast<uint8_t*>(platform::heap_alloc(kInputSize));
  void* block = platform::heap_alloc(sizeof(DecoderState));
  if (block) d->state = new (block) DecoderState{};
  if (!d->in || !d->state) return Error::OutOfMemory;
  DecoderState* s = d->state;
  Error e = Error::None;
  switch (kind) {
    case Compression::Gzip:
      isal_inflate_init(&s->inflate);
      s->at_boundary = true;  // the first member's header is checked as every later one's
      break;
    case Compression::Zip:
      break;
    case Compression::Zstd:
      s->zstd = ZSTD_createDCtx_advanced(kZstdHeap);
      if (!s->zstd) e = Error::OutOfMemory;
      break;
    case Compression::Bzip2:
      s->at_boundary = true;  // the stream is opened when its first bytes are seen
      break;
    case Compression::Xz: {
      s->xz.allocator = &kLzmaHeap;
      const lzma_ret r = lzma_stream_decoder(&s->xz, UINT64_MAX, LZMA_CONCATENATED);
      if (r != LZMA_OK) e = r == LZMA_MEM_ERROR ? Error::OutOfMemory : Error::Unexpected;
      break;
    }
    case Compression::None:
      e = Error::Unexpected;
      break;
  }
  if (failed(e)) return e;
  (void)opening.release();
  return Error::None;
}

void decompressor_close(Decompressor* d) {
  if (DecoderState* s = d->state) {
    if (s->zstd) ZSTD_freeDCtx(s->zstd);
    if (s->bzip2_open) BZ2_bzDecompressEnd(&s->bzip2);
    lzma_end(&s->xz);
    s->~DecoderState();
    platform::heap_free(s);
  }
  platform::heap_free(d->in);
  *d = Decompressor{};
}

namespace {

// Bytes kept before the read position when the input moves: raw deflate may
// have taken up to 8 bytes past its end, which the zip trailer then gives back.
constexpr size_t kKeptBehind = 8;

// Moves the unread input (and a few bytes before it) to the front and reads
// more after it. A source that gives nothing marks the end of the input.
Error read_more(Decompressor* d, ByteSource source) {
  const size_t keep = d->in_pos < kKeptBehind ? d->in_pos : kKeptBehind;
  if (d->in_pos > keep) {
    std::memmove(d->in, d->in + d->in_pos - keep, d->in_end - d->in_pos + keep);
    d->in_end -= d->in_pos - keep;
    d->in_pos = keep;
  }
  if (d->in_end == kInputSize) return Error::None;
  size_t got = 0;
  if (Error e = source.read(source.context, d->in + d->in_end, kInputSize - d->in_end, &got); failed(e))
    return e;
  if (got == 0) d->in_eof = true;
  d->in_end += got;
  return Error::None;
}

// What one decoding step did.
struct Step {
  size_t used = 0;
  size_t made = 0;
  size_t given_back = 0;    // bytes before the read position that belong to what follows
  bool need_input = false;  // the step needs more input than it has before it can go on
};

Error inflate_step(inflate_state* st, const uint8_t* in, size_t n, uint8_t* out, size_t cap, Step* step) {
  st->next_in = const_cast<uint8_t*>(in);
  st->avail_in = static_cast<uint32_t>(n < UINT32_MAX ? n : UINT32_MAX);
  st->next_out = out;
  st->avail_out = static_cast<uint32_t>(cap < UINT32_MAX ? cap : UINT32_MAX);
  const uint32_t avail_in = st->avail_in, avail_out = st->avail_out;
  const int r = isal_inflate(st);
  if (r < 0) return Error::CorruptInput;
  step->used = avail_in - st->avail_in;
  step->made = avail_out - st->avail_out;
  return Error::None;
}

Error gzip_step(DecoderState* s, const uint8_t* in, size_t n, bool eof, uint8_t* out, size_t cap,
                Step* step) {
  if (s->at_boundary) {
    // A member starts (after another one, as concatenating files makes):
    // its magic, and flags without the reserved bits, which gzip refuses too.
    if (n < 4 && !eof) {
      step->need_input = true;
      return Error::None;
    }
    if (!starts_with(in, n, kGzipMagic, sizeof kGzipMagic)) return Error::CorruptInput;
    if (n < 4) return Error::TruncatedInput;
    if (in[3] & 0xE0) return Error::CorruptInput;
    isal_inflate_reset(&s->inflate);
    s->inflate.crc_flag = ISAL_GZIP;
    s->at_boundary = false;
  }
  if (Error e = inflate_step(&s->inflate, in, n, out, cap, step); failed(e)) return e;
  s->at_boundary = s->inflate.block_state == ISAL_BLOCK_FINISH;
  return Error::None;
}

Error zstd_step(DecoderState* s, const uint8_t* in, size_t n, uint8_t* out, size_t cap, Step* step) {
  ZSTD_inBuffer ib{in, n, 0};
  ZSTD_outBuffer ob{out, cap, 0};
  const size_t r = ZSTD_decompressStream(s->zstd, &ob, &ib);
  if (ZSTD_isError(r)) return zstd_condition(r);
  step->used = ib.pos;
  step->made = ob.pos;
  // 0: a frame is complete and flushed; a new one may start or the input end.
  s->at_boundary = r == 0;
  return Error::None;
}

Error bzip2_step(DecoderState* s, const uint8_t* in, size_t n, bool eof, uint8_t* out, size_t cap,
                 Step* step) {
  if (!s->bzip2_open) {
    if (n < 4 && !eof) {
      step->need_input = true;
      return Error::None;
    }
    if (!bzip2_magic(in, n)) return Error::CorruptInput;
    s->bzip2 = bz_stream{};
    s->bzip2.bzalloc = bzip2_alloc;
    s->bzip2.bzfree = heap_free_opaque;
    const int r = BZ2_bzDecompressInit(&s->bzip2, 0, 0);
    if (r != BZ_OK) return r == BZ_MEM_ERROR ? Error::OutOfMemory : Error::Unexpected;
    s->bzip2_open = true;
    s->at_boundary = false;
  }
  const unsigned kMax = 1u << 30;
  s->bzip2.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
  s->bzip2.avail_in = static_cast<unsigned>(n < kMax ? n : kMax);
  s->bzip2.next_out = reinterpret_cast<char*>(out);
  s->bzip2.avail_out = static_cast<unsigned>(cap < kMax ? cap : kMax);
  const unsigned avail_in = s->bzip2.avail_in, avail_out = s->bzip2.avail_out;
  const int r = BZ2_bzDecompress(&s->bzip2);
  step->used = avail_in - s->bzip2.avail_in;
  step->made = avail_out - s->bzip2.avail_out;
  if (r == BZ_MEM_ERROR) return Error::OutOfMemory;
  if (r != BZ_OK && r != BZ_STREAM_END) return Error::CorruptInput;
  if (r == BZ_STREAM_END) {
    BZ2_bzDecompressEnd(&s->bzip2);
    s->bzip2_open = false;
    s->at_boundary = true;
  }
  return Error::None;
}

Error xz_step(DecoderState* s, const uint8_t* in, size_t n, bool eof, uint8_t* out, size_t cap, Step* step) {
  s->xz.next_in = in;
  s->xz.avail_in = n;
  s->xz.next_out = out;
  s->xz.avail_out = cap;
  const lzma_ret r = lzma_code(&s->xz, eof ? LZMA_FINISH : LZMA_RUN);
  step->used = n - s->xz.avail_in;
  step->made = cap - s->xz.avail_out;
  if (r == LZMA_MEM_ERROR) return Error::OutOfMemory;
  if (r == LZMA_BUF_ERROR) return Error::TruncatedInput;
  if (r != LZMA_OK && r != LZMA_STREAM_END) return Error::CorruptInput;
  s->at_boundary = r == LZMA_STREAM_END;
  return Error::None;
}

// The local header of the archive's member: 30 bytes, the name and the extra field.
Error zip_header(DecoderState* s, const uint8_t* in, size_t n, bool eof, Step* step) {
  if (n >= 4 && le32(in) == kZipEnd) {  // an archive without members
    s->at_boundary = true;
    step->used = n;
    return Error::None;
  }
  if (n < 30 || n < 30u + le16(in + 26) + le16(in + 28)) {
    if (eof) return Error::TruncatedInput;
    step->need_input = true;
    return Error::None;
  }
  if (le32(in) != kZipLocal) return Error::CorruptInput;
  const uint16_t flags = le16(in + 6), method = le16(in + 8);
  const size_t name_len = le16(in + 26), extra_len = le16(in + 28);
  if (flags & 1) return Error::UnsupportedZipEntry;  // encrypted
  s->zip_flags = flags;
  s->zip_crc = le32(in + 14);
  s->crc = 0;
  if (method == 8) {
    isal_inflate_init(&s->inflate);
    s->inflate.crc_flag = ISAL_GZIP_NO_HDR;  // raw deflate; the CRC-32 of the output is kept
    s->zip_phase = ZipPhase::Deflated;
  } else if (method == 0) {
    if (flags & 8) return Error::UnsupportedZipEntry;  // stored with its size after the data: no end to find
    uint64_t size = le32(in + 18);
    if (size == 0xFFFFFFFF) {  // the size is in the ZIP64 extra field
      const uint8_t* x = in + 30 + name_len;
      size_t k = 0;
      for (; k + 4 <= extra_len; k += 4u + le16(x + k + 2))
        if (le16(x + k) == 1 && le16(x + k + 2) >= 16 && k + 20 <= extra_len) break;
      if (k + 4 > extra_len) return Error::CorruptInput;
      size = le64(x + k + 12);
    }
    s->stored_left = size;
    s->zip_phase = ZipPhase::Stored;
  } else {
    return Error::UnsupportedZipEntry;
  }
  step->used = 30 + name_len + extra_len;
  return Error::None;
}

bool zip_after_member(uint32_t signature) {
  return signature == kZipCentral || signature == kZipEnd || signature == kZipEnd64 || signature == kZipLocal;
}

// The member's CRC (from the header or the data descriptor after the data),
// then the signature of what follows: the central directory, or a second member.
Error zip_trailer(DecoderState* s, const uint8_t* in, size_t n, bool eof, Step* step) {
  size_t at = 0;
  uint32_t crc = s->zip_crc;
  if (s->zip_flags & 8) {
    // The descriptor: an optional signature, the CRC, then sizes of 4 or (ZIP64) 8 bytes each.
    if (n >= 4 && le32(in) == kZipDescriptor) at = 4;
    if (n < at + 4 + 8 + 4) {
      if (eof) return Error::TruncatedInput;
      step->need_input = true;
      return Error::None;
    }
    crc = le32(in + at);
    at += 4 + 8;
    if (!zip_after_member(le32(in + at))) {
      if (n < at + 8 + 4) {
        if (eof) return Error::TruncatedInput;
        step->need_input = true;
        return Error::None;
      }
      at += 8;
    }
  } else if (n < 4) {
    if (eof) return Error::TruncatedInput;
    step->need_input = true;
    return Error::None;
  }
  if (crc != s->crc) return Error::CorruptInput;
  const uint32_t next = le32(in + at);
  if (next == kZipLocal) return Error::SeveralZipMembers;
  if (!zip_after_member(next)) return Error::CorruptInput;
  // The rest is the archive's directory: nothing more to read.
  s->at_boundary = true;
  step->used = n;
  return Error::None;
}

Error zip_step(DecoderState* s, const uint8_t* in, size_t n, bool eof, uint8_t* out, size_t cap, Step* step) {
  switch (s->zip_phase) {
    case ZipPhase::Header:
      return zip_header(s, in, n, eof, step);
    case ZipPhase::Deflated:
      if (Error e = inflate_step(&s->inflate, in, n, out, cap, step); failed(e)) return e;
      if (s->inflate.block_state == ISAL_BLOCK_FINISH) {
        // Whole bytes left in the bit buffer were read past the deflate stream's end.
        if (s->inflate.read_in_length > 0)
          step->given_back = static_cast<size_t>(s->inflate.read_in_length) / 8;
        s->crc = s->inflate.crc;
        s->zip_phase = ZipPhase::Trailer;
      }
      return Error::None;
    case ZipPhase::Stored: {
      size_t k = n < cap ? n : cap;
      if (k > s->stored_left) k = static_cast<size_t>(s->stored_left);
      std::memcpy(out, in, k);
      s->crc = crc32_gzip_refl(s->crc, in, k);
      s->stored_left -= k;
      step->used = step->made = k;
      if (s->stored_left == 0) s->zip_phase = ZipPhase::Trailer;
      return Error::None;
    }
    case ZipPhase::Trailer:
      return zip_trailer(s, in, n, eof, step);
  }
  return Error::Unexpected;
}

Error decode_step(Decompressor* d, uint8_t* out, size_t cap, Step* step) {
  DecoderState* s = d->state;
  const uint8_t* in = d->in + d->in_pos;
  const size_t n = d->in_end - d->in_pos;
  switch (d->kind) {
    case Compression::Gzip:
      return gzip_step(s, in, n, d->in_eof, out, cap, step);
    case Compression::Zstd:
      return zstd_step(s, in, n, out, cap, step);
    case Compression::Bzip2:
      return bzip2_step(s, in, n, d->in_eof, out, cap, step);
    case Compression::Xz:
      return xz_step(s, in, n, d->in_eof, out, cap, step);
    case Compression::Zip:
      return zip_step(s, in, n, d->in_eof, out, cap, step);
    case Compression::None:
      break;
  }
  return Error::Unexpected;
}

Error fill(Decompressor* d, ByteSource source, uint8_t* out, size_t cap, size_t* got) {
  DecoderState* s = d->state;
  while (*got < cap && !d->done) {
    if (d->in_pos == d->in_end && !d->in_eof) {
      if (Error e = read_more(d, source); failed(e)) return e;
    }
    const bool input_left = d->in_pos < d->in_end;
    if (!input_left && d->in_eof && s->at_boundary) {
      d->done = true;
      break;
    }
    Step step;
    if (Error e = decode_step(d, out + *got, cap - *got, &step); failed(e)) return e;
    d->in_pos += step.used;
    d->in_pos -= step.given_back <= d->in_pos ? step.given_back : d->in_pos;
    *got += step.made;
    if (d->kind == Compression::Zip && s->at_boundary) {
      d->done = true;  // the member has ended; what follows is the directory
      break;
    }
    if (step.used || step.made) continue;
    // No progress: more input is needed.
    if (d->in_eof) {
      if (d->in_pos == d->in_end && s->at_boundary) {
        d->done = true;
        break;
      }
      return d->in_pos == d->in_end || step.need_input ? Error::TruncatedInput : Error::CorruptInput;
    }
    if (d->in_pos <= kKeptBehind && d->in_end == kInputSize) return Error::CorruptInput;
    if (Error e = read_more(d, source); failed(e)) return e;
  }
  return Error::None;
}

}  // namespace

Error decompressor_read(Decompressor* d, ByteSource source, uint8_t* out, size_t cap, size_t* got) {
  *got = 0;
  if (failed(d->failure)) return d->failure;
  Error e = fill(d, source, out, cap, got);
  if (failed(e)) {
    d->failure = e;
    // The bytes decoded before the failure are handed out; the failure comes with the next read.
    if (*got > 0) return Error::None;
  }
  return e;
}

}  // namespace quelta
