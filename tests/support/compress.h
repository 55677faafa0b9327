// Compressed test inputs made in process: gzip and zip through zlib (an
// inflate independent of the library's), zstd, bzip2 and xz through their own
// libraries' encoders.
#pragma once

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelta::test {

enum class Packing { Gzip, Zstd, Bzip2, Xz, Zip };

inline const char* packing_name(Packing p) {
  static constexpr const char* kNames[] = {"gzip", "zstd", "bzip2", "xz", "zip"};
  return kNames[static_cast<int>(p)];
}

// The suffix a file of this packing usually carries.
inline const char* packing_suffix(Packing p) {
  static constexpr const char* kSuffixes[] = {".gz", ".zst", ".bz2", ".xz", ".zip"};
  return kSuffixes[static_cast<int>(p)];
}

// Deflate through zlib: window_bits 31 writes a gzip member, -15 raw deflate.
inline std::string zlib_deflate(std::string_view in, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&z, in.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline uint32_t crc32_of(std::string_view s) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

inline void put16(std::string* s, uint32_t v) {
  s->push_back(static_cast<char>(v & 0xFF));
  s->push_back(static_cast<char>(v >> 8 & 0xFF));
}
inline void put32(std::string* s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

struct ZipMember {
  std::string name;
  std::string payload;
};

// A zip archive of the members, each deflated (or stored), with its CRC and
// sizes in the local header or (descriptor) in a data descriptor after the data.
inline std::string zip_archive(const std::vector<ZipMember>& members, bool stored = false,
                               bool descriptor = false) {
  std::string out, directory;
  for (const ZipMember& m : members) {
    const std::string data = stored ? m.payload : zlib_deflate(m.payload, -15);
    const uint32_t crc = crc32_of(m.payload), offset = static_cast<uint32_t>(out.size());
    const uint16_t flags = descriptor ? 8 : 0, method = stored ? 0 : 8;
    auto header = [&](std::string* s, bool central) {
      put32(s, central ? 0x02014b50 : 0x04034b50);
      if (central) put16(s, 20);
      put16(s, 20);
      put16(s, flags);
      put16(s, method);
      put32(s, 0);  // time and date
      const bool sizes = central || !descriptor;
      put32(s, sizes ? crc : 0);
      put32(s, sizes ? static_cast<uint32_t>(data.size()) : 0);
      put32(s, sizes ? static_cast<uint32_t>(m.payload.size()) : 0);
      put16(s, static_cast<uint32_t>(m.name.size()));
      put16(s, 0);
      if (central) {
        put16(s, 0);  // comment
        put16(s, 0);  // disk
        put16(s, 0);  // internal attributes
        put32(s, 0);  // external attributes
        put32(s, offset);
      }
      *s += m.name;
    };
    header(&out, false);
    out += data;
    if (descriptor) {
      put32(&out, 0x08074b50);
      put32(&out, crc);
      put32(&out, static_cast<uint32_t>(data.size()));
      put32(&out, static_cast<uint32_t>(m.payload.size()));
    }
    header(&directory, true);
  }
  const uint32_t directory_at = static_cast<uint32_t>(out.size());
  out += directory;
  put32(&out, 0x06054b50);
  put32(&out, 0);
  put16(&out, static_cast<uint32_t>(members.size()));
  put16(&out, static_cast<uint32_t>(members.size()));
  put32(&out, static_cast<uint32_t>(directory.size()));
  put32(&out, directory_at);
  put16(&out, 0);
  return out;
}

// One member, frame or stream of payload in the packing (zip: an archive of one file).
inline std::string pack(Packing p, std::string_view payload) {
  std::string out;
  switch (p) {
    case Packing::Gzip:
      return zlib_deflate(payload, 31);
    case Packing::Zstd: {
      out.resize(ZSTD_compressBound(payload.size()));
      ZSTD_CCtx* c = ZSTD_createCCtx();
      ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
      const size_t n = ZSTD_compress2(c, out.data(), out.size(), payload.data(), payload.size());
      ZSTD_freeCCtx(c);
      if (ZSTD_isError(n)) std::abort();
      out.resize(n);
      return out;
    }
    case Packing::Bzip2: {
      unsigned n = static_cast<unsigned>(payload.size() + payload.size() / 100 + 600);
      out.resize(n);
      if (BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char*>(payload.data()),
                                   static_cast<unsigned>(payload.size()), 9, 0, 0) != BZ_OK)
        std::abort();
      out.resize(n);
      return out;
    }
    case Packing::Xz: {
      out.resize(lzma_stream_buffer_bound(payload.size()));
      size_t n = 0;
      if (lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                                  reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                  reinterpret_cast<uint8_t*>(out.data()), &n, out.size()) != LZMA_OK)
        std::abort();
      out.resize(n);
      return out;
    }
    case Packing::Zip:
      return zip_archive({{"rows", std::string(payload)}});
  }
  return out;
}

inline constexpr Packing kAllPackings[] = {Packing::Gzip, Packing::Zstd, Packing::Bzip2, Packing::Xz,
                                           Packing::Zip};

}  // namespace quelta::test
