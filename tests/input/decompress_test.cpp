// The pieces of the decompressing reader that choose: magic bytes, suffixes,
// the zip end record; and the reader over tiny refills and after a failure.
#include "input/decompress.h"

#include <gtest/gtest.h>

#include <string>

#include "input/buffered_reader.h"
#include "platform/heap.h"
#include "platform/thread.h"
#include "support/compress.h"
#include "support/temp_dir.h"

namespace quelta {
namespace {

TEST(Decompress, MagicBytesTellTheFormat) {
  const struct {
    std::string head;
    Compression want;
  } cases[] = {
      {"\x1f\x8b\x08\x00", Compression::Gzip},
      {"\x1f\x8b\x07\x00", Compression::None},  // gzip names deflate (8) as its only method
      {"\x28\xb5\x2f\xfd", Compression::Zstd},
      {"\x5a\x2a\x4d\x18", Compression::Zstd},  // a skippable frame first
      {"BZh9", Compression::Bzip2},
      {"BZh0", Compression::None},
      {"BZh", Compression::None},
      {std::string("\xfd"
                   "7zXZ\0",
                   6),
       Compression::Xz},
      {std::string("\xfd"
                   "7zXZ",
                   5),
       Compression::None},
      {"PK\x03\x04", Compression::Zip},
      {"PK\x05\x06", Compression::Zip},
      {"PK\x01\x02", Compression::None},
      {"id,name", Compression::None},
      {"", Compression::None},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compression_from_magic(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size()), c.want)
        << c.head;
  }
}

TEST(Decompress, OneCompressionSuffixIsLookedThrough) {
  const struct {
    const char* path;
    const char* rest;
  } cases[] = {
      {"a.jsonl.gz", "a.jsonl"},
      {"a.csv.zst", "a.csv"},
      {"a.json.bz2", "a.json"},
      {"a.xz", "a"},
      {"a.ndjson.zip", "a.ndjson"},
      {"a.gz.gz", "a.gz"},
      {".gz", ".gz"},
      {"a.GZ", "a.GZ"},
      {"agz", "agz"},
  };
  for (const auto& c : cases) {
    const size_t len = std::char_traits<char>::length(c.path);
    EXPECT_EQ(std::string(c.path, strip_compression_suffix(c.path, len)), c.rest) << c.path;
  }
}

TEST(Decompress, TheZipEndRecordIsFoundBehindItsComment) {
  std::string one = test::zip_archive({{"a", "x"}});
  std::string two = test::zip_archive({{"a", "x"}, {"b", "y"}});
  uint64_t entries = 0;
  auto tail = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  ASSERT_TRUE(zip_entries_from_tail(tail(one), one.size(), &entries));
  EXPECT_EQ(entries, 1u);
  ASSERT_TRUE(zip_entries_from_tail(tail(two), two.size(), &entries));
  EXPECT_EQ(entries, 2u);
  // A comment holding an end record's signature: the real record is the one
  // whose comment length reaches the end.
  std::string commented = two;
  const std::string comment = std::string("PK\x05\x06", 4) + std::string(18, 'x');
  commented[commented.size() - 2] = static_cast<char>(comment.size());
  commented += comment;
  ASSERT_TRUE(zip_entries_from_tail(tail(commented), commented.size(), &entries));
  EXPECT_EQ(entries, 2u);
  EXPECT_FALSE(zip_entries_from_tail(tail(one), one.size() - 1, &entries));
}

// Reads everything through the reader with the given chunk size: the text, or "!" and the condition.
std::string read_through(const std::string& bytes, size_t chunk) {
  BufferedReader r;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  Error e = reader_init_memory(&r, p, bytes.size(), chunk);
  if (!failed(e)) e = reader_detect_compression(&r);
  std::string out;
  bool refill_failed = false;
  while (!failed(e)) {
    e = reader_refill(&r);
    refill_failed = failed(e);
    if (failed(e) || r.eof) break;
    out.append(reinterpret_cast<const char*>(r.buffer + r.pos), r.end - r.pos);
  }
  if (refill_failed) {
    // The stream cannot be read on: after its failure, the input ends.
    EXPECT_EQ(reader_refill(&r), Error::None);
    EXPECT_TRUE(r.eof);
  }
  if (failed(e)) out = std::string("!") + error_name(e);
  reader_close(&r);
  return out;
}

TEST(Decompress, TinyRefillsReadAsWholeChunksDo) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += std::to_string(i) + ",row " + std::to_string(i * 31 % 977) + "\n";
  for (test::Packing p : test::kAllPackings) {
    const std::string packed = test::pack(p, text);
    SCOPED_TRACE(test::packing_name(p));
    EXPECT_TRUE(read_through(packed, kChunkSize) == text);
    for (size_t chunk : {4, 5, 63, 4096}) EXPECT_TRUE(read_through(packed, chunk) == text) << chunk;
    EXPECT_EQ(read_through(packed.substr(0, packed.size() * 2 / 3), 7), "!TruncatedInput");
  }
}

// A compressed file is read through the read-ahead thread, or without one
// when none can be started; a reader closed early stops its thread.
TEST(Decompress, ReadAheadGivesTheSameBytesAndStopsEarly) {
  std::string text;
  for (int i = 0; i < 60000; ++i) text += std::to_string(i) + ",ahead\n";
  test::TempDir dir;
  for (test::Packing p : {test::Packing::Gzip, test::Packing::Zstd}) {
    const std::string path = dir.write("t.csv.packed", test::pack(p, text));
    for (int fail_thread : {0, 1}) {
      for (bool early : {false, true}) {
        SCOPED_TRACE(std::string(test::packing_name(p)) + (fail_thread ? " without thread" : "") +
                     (early ? " closed early" : ""));
        const int64_t live = platform::heap_live_blocks();
        platform::File file;
        ASSERT_EQ(open_input_file(path.c_str(), &file), Error::None);
        BufferedReader r;
        platform::thread_fail_at(static_cast<uint64_t>(fail_thread));
        ASSERT_EQ(reader_init_file(&r, file, 4096), Error::None);
        std::string got;
        int chunks = 0;
        while (reader_refill(&r) == Error::None && !r.eof) {
          got.append(reinterpret_cast<const char*>(r.buffer + r.pos), r.end - r.pos);
          if (early && ++chunks == 3) break;
        }
        platform::thread_fail_at(0);
        // The thread starts at the second refill.
        EXPECT_EQ(r.ahead != nullptr, fail_thread == 0);
        if (!early) {
          EXPECT_TRUE(got == text);
        }
        reader_close(&r);
        EXPECT_EQ(platform::heap_live_blocks(), live);
      }
    }
    // A count reads on its own thread: the text stays hot in its cache.
    platform::File file;
    ASSERT_EQ(open_input_file(path.c_str(), &file), Error::None);
    BufferedReader r;
    ASSERT_EQ(reader_init_file(&r, file, 4096), Error::None);
    uint64_t lines = 0;
    ASSERT_EQ(count_remaining_lines(&r, &lines), Error::None);
    EXPECT_EQ(lines, 60000u);
    EXPECT_EQ(r.ahead, nullptr);
    reader_close(&r);
  }
}

}  // namespace
}  // namespace quelta
