// Line and object framing of the BufferedReader, over memory and files.
#include "input/buffered_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/fault.h"
#include "support/simd_levels.h"
#include "support/temp_dir.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

enum class Framing { Lines, Objects };

struct Collected {
  std::vector<std::string> records;
  Error error = Error::None;
};

Collected drain(BufferedReader* r, Framing framing, size_t max = 1000000) {
  Collected c;
  for (size_t i = 0; i < max; ++i) {
    FieldView v;
    bool at_end = false;
    Error e = framing == Framing::Lines ? read_line(r, &v, &at_end) : read_object(r, &v, &at_end);
    if (failed(e)) {
      c.error = e;
      return c;
    }
    if (at_end) return c;
    c.records.emplace_back(reinterpret_cast<const char*>(v.ptr), v.len);
  }
  return c;
}

Collected frame_memory(const std::string& text, Framing framing, size_t chunk = kChunkSize) {
  BufferedReader r;
  EXPECT_EQ(reader_init_memory(&r, reinterpret_cast<const uint8_t*>(text.data()), text.size(), chunk),
            Error::None);
  Collected c = drain(&r, framing);
  reader_close(&r);
  return c;
}

using Lines = std::vector<std::string>;

TEST(ReadLine, LineEnds) {
  EXPECT_EQ(frame_memory("a\r\nb", Framing::Lines).records, (Lines{"a", "b"}));
  EXPECT_EQ(frame_memory("a\n", Framing::Lines).records, (Lines{"a"}));
  EXPECT_EQ(frame_memory("\r", Framing::Lines).records, (Lines{""}));
  EXPECT_EQ(frame_memory("a\rb\n", Framing::Lines).records, (Lines{"a\rb"}));  // a lone CR inside is data
  EXPECT_EQ(frame_memory("a\r\r\n", Framing::Lines).records, (Lines{"a\r"}));  // only one CR is dropped
  EXPECT_EQ(frame_memory("\n\nx", Framing::Lines).records, (Lines{"", "", "x"}));
  EXPECT_TRUE(frame_memory("", Framing::Lines).records.empty());
}

TEST(ReadLine, EndIsSticky) {
  std::string text = "a";
  BufferedReader r;
  ASSERT_EQ(reader_init_memory(&r, reinterpret_cast<const uint8_t*>(text.data()), text.size()), Error::None);
  EXPECT_EQ(drain(&r, Framing::Lines).records, (Lines{"a"}));
  EXPECT_TRUE(drain(&r, Framing::Lines).records.empty());
  reader_close(&r);
}

// Every split of a record across refills, with small chunks, under each byte-search level.
TEST(ReadLine, RecordsAcrossRefills) {
  std::string text;
  Lines expected;
  for (int i = 0; i < 200; ++i) {
    std::string line(static_cast<size_t>(i % 37), static_cast<char>('a' + i % 26));
    expected.push_back(line);
    text += line + (i % 3 == 0 ? "\r\n" : "\n");
  }
  for (SimdLevel level : kSimdLevels) {
    byte_search_use(level);
    for (size_t chunk : {1, 2, 3, 7, 64, 100})
      EXPECT_EQ(frame_memory(text, Framing::Lines, chunk).records, expected) << "chunk " << chunk;
  }
  byte_search_use(simd_best_level());
}

TEST(ReadLine, CrLfSplitByRefill) {
  // The CR ends one chunk and the LF starts the next.
  EXPECT_EQ(frame_memory("ab\r\ncd", Framing::Lines, 3).records, (Lines{"ab", "cd"}));
}

TEST(ReadLine, RecordStraddlingChunkBoundaryInFile) {
  test::TempDir dir;
  std::string first(kChunkSize - 10, 'x');
  std::string second(100, 'y');
  std::string path = dir.write("big.csv", first + "\n" + second + "\r\n" + "tail");
  platform::File f;
  ASSERT_EQ(open_input_file(path.c_str(), &f), Error::None);
  BufferedReader r;
  ASSERT_EQ(reader_init_file(&r, f), Error::None);
  EXPECT_EQ(drain(&r, Framing::Lines).records, (Lines{first, second, "tail"}));
  reader_close(&r);
}

TEST(ReadObject, Framing) {
  EXPECT_EQ(frame_memory(R"([{"a":"}"},{"b":1}])", Framing::Objects).records,
            (Lines{R"({"a":"}"})", R"({"b":1})"}));
  EXPECT_EQ(frame_memory(R"([{"a":"x\"}"} , {"b":{"c":2}}])", Framing::Objects).records,
            (Lines{R"({"a":"x\"}"})", R"({"b":{"c":2}})"}));
  EXPECT_EQ(frame_memory(R"([{"a":"\\"},{"b":"{"}])", Framing::Objects).records,
            (Lines{R"({"a":"\\"})", R"({"b":"{"})"}));
  EXPECT_TRUE(frame_memory("[]", Framing::Objects).records.empty());
  EXPECT_TRUE(frame_memory("[1, 2, \"x\"]", Framing::Objects).records.empty());
  // Nothing after the closing bracket is read.
  EXPECT_EQ(frame_memory("[{}] {\"x\":1}", Framing::Objects).records, (Lines{"{}"}));
}

TEST(ReadObject, EndOfInputInsideObject) {
  Collected c = frame_memory(R"([{"a":1},{"b":2)", Framing::Objects);
  EXPECT_EQ(c.records, (Lines{R"({"a":1})"}));
  EXPECT_EQ(c.error, Error::InvalidJsonRow);
}

TEST(ReadObject, ObjectsAcrossRefills) {
  std::string text = "[";
  Lines expected;
  for (int i = 0; i < 50; ++i) {
    std::string obj = "{\"k\":\"v}" + std::to_string(i) + "\\\"\",\"n\":{\"x\":[" + std::to_string(i) + "]}}";
    expected.push_back(obj);
    text += (i ? ",\n" : "") + obj;
  }
  text += "]";
  for (size_t chunk : {1, 5, 16, 333})
    EXPECT_EQ(frame_memory(text, Framing::Objects, chunk).records, expected);
}

// Escapes, quotes and braces inside strings at every offset against the
// 64-byte blocks and the refills.
TEST(ReadObject, EscapesAtEveryBlockOffset) {
  std::mt19937 rng(11);
  const char* pieces[] = {"a", "\\\\", "\\\"", "{", "}", "[", "]", "\\u00e9", " "};
  std::string text = "[";
  Lines expected;
  for (int i = 0; i < 300; ++i) {
    std::string value;
    size_t n = rng() % 90;
    for (size_t k = 0; k < n; ++k) value += pieces[rng() % 9];
    std::string obj = "{\"k\":\"";
    obj.append(value).append("\",\"n\":{\"x\":\"}\"},\"e\":\"\\\\\"}");
    expected.push_back(obj);
    if (i) text += ",";
    text.append(std::string(rng() % 70, ' ')).append(obj);
  }
  text += "]";
  for (size_t chunk : {1, 63, 64, 65, 200, 4096})
    EXPECT_EQ(frame_memory(text, Framing::Objects, chunk).records, expected) << "chunk " << chunk;
}

TEST(ReadObject, StraddlingChunkBoundaryInFile) {
  test::TempDir dir;
  std::string pad(kChunkSize - 20, ' ');
  std::string obj = "{\"a\":\"" + std::string(100, 'z') + "\"}";
  std::string path = dir.write("rows.json", "[" + pad + obj + "," + obj + "]");
  platform::File f;
  ASSERT_EQ(open_input_file(path.c_str(), &f), Error::None);
  BufferedReader r;
  ASSERT_EQ(reader_init_file(&r, f), Error::None);
  EXPECT_EQ(drain(&r, Framing::Objects).records, (Lines{obj, obj}));
  reader_close(&r);
}

TEST(OpenInputFile, Conditions) {
  test::TempDir dir;
  platform::File f;
  EXPECT_EQ(open_input_file((dir.path() / "missing.csv").c_str(), &f), Error::FileNotFound);
  EXPECT_EQ(open_input_file(dir.path().c_str(), &f), Error::IsDir);
  EXPECT_EQ(open_input_file(dir.write("empty.csv", "").c_str(), &f), Error::EmptyFile);
  EXPECT_FALSE(f.valid());
}

// Records delivered after failures are whole records of the input, in order:
// a record whose bytes could not be kept is dropped, never handed out in part.
void expect_whole_records_in_order(const Lines& got, const Lines& want) {
  size_t j = 0;
  for (const std::string& g : got) {
    while (j < want.size() && want[j] != g) ++j;
    ASSERT_LT(j, want.size()) << "not a whole record in order: " << g.substr(0, 40);
    ++j;
  }
}

TEST(BufferedReader, AllocationFailuresLoseNoMoreThanTheFailedRecord) {
  for (Framing framing : {Framing::Lines, Framing::Objects}) {
    std::string text;
    Lines want;
    for (int i = 0; i < 12; ++i) {
      std::string body(static_cast<size_t>(40 + 37 * i), static_cast<char>('a' + i));
      std::string record = framing == Framing::Lines ? body : "{\"k\":\"" + body + "{}\"}";
      want.push_back(record);
      text += record + (framing == Framing::Lines ? "\n" : ",\n");
    }
    if (framing == Framing::Objects) text = "[" + text + "{}]";
    if (framing == Framing::Objects) want.push_back("{}");
    test::sweep_allocation_failures([&] {
      BufferedReader r;
      Error e = reader_init_memory(&r, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 64);
      Lines got;
      bool any_failure = failed(e);
      for (int guard = 0; !failed(e) && guard < 1000; ++guard) {
        Collected c = drain(&r, framing);
        got.insert(got.end(), c.records.begin(), c.records.end());
        if (!failed(c.error)) break;
        EXPECT_EQ(c.error, Error::OutOfMemory);
        any_failure = true;
      }
      reader_close(&r);
      expect_whole_records_in_order(got, want);
      if (!any_failure) {
        EXPECT_EQ(got, want);
      }
      return any_failure;
    });
  }
}

}  // namespace
}  // namespace quelta

namespace quelta {
namespace {

// Texts of records whose quoted fields hold delimiters, doubled quotes and
// line ends; now and then a stray quote that parity cannot read.
std::string quoted_records(std::mt19937& rng, size_t bytes, int stray_per_mille) {
  const char* pieces[] = {"a", "bc", ",", "\n", "\r\n", "\"\"", " ", "xyz"};
  std::string text;
  while (text.size() < bytes) {
    const size_t fields = 1 + rng() % 5;
    for (size_t f = 0; f < fields; ++f) {
      if (f) text += ',';
      const bool quoted = rng() % 2;
      if (quoted) text += '"';
      for (size_t k = rng() % 6; k-- > 0;) {
        std::string piece = pieces[rng() % 8];
        if (!quoted && (piece == "," || piece == "\n" || piece == "\r\n" || piece == "\"\"")) piece = "q";
        text += piece;
      }
      if (quoted) text += '"';
      if (static_cast<int>(rng() % 1000) < stray_per_mille) text += '"';
    }
    text += rng() % 4 ? "\n" : "\r\n";
  }
  return text;
}

class QuotedCount : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

// Counting by quote parity finds the record ends the byte-by-byte scan finds,
// leaves the same state, and reports the first end at or after any offset.
TEST_P(QuotedCount, AgreesWithTheByteByByteScan) {
  std::mt19937 rng(4180);
  for (int round = 0; round < 300; ++round) {
    const std::string text = quoted_records(rng, 1 + rng() % 3000,
                                            round % 3 == 0   ? 0
                                            : round % 3 == 1 ? 3
                                                             : 200);
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t delimiter = round % 5 == 0 ? '\t' : ',';
    // The state of a record start, or one inside quotes or after a closing quote.
    QuotedFraming start;
    if (round % 7 == 1) start.state = QuotedFraming::Inside;
    if (round % 7 == 2) start.state = QuotedFraming::QuoteInside;
    const size_t from = rng() % (text.size() + 1);

    QuotedFraming want = start;
    std::vector<size_t> ends;
    for (size_t i = 0; i < text.size();) {
      const size_t k = scan_quoted_record(&want, p, i, text.size(), delimiter);
      if (k == text.size()) break;
      ends.push_back(k);
      i = k + 1;
    }
    size_t want_first = SIZE_MAX;
    for (size_t e : ends)
      if (e >= from) {
        want_first = e;
        break;
      }
    QuotedFraming got = start;
    size_t first = SIZE_MAX;
    EXPECT_EQ(count_quoted_ends(&got, p, text.size(), delimiter, from, &first), ends.size()) << round;
    EXPECT_EQ(first, want_first) << round << " from " << from;
    EXPECT_EQ(got.state, want.state) << round;
    if (want.state == QuotedFraming::Outside) {
      EXPECT_EQ(got.field_start, want.field_start) << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, QuotedCount, test::all_simd_levels(), test::SimdLevelName());

// Records framed one by one over small refills, and counted, agree.
TEST(ReadQuotedRecord, FramingAndCountingAcrossRefills) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    const std::string text = quoted_records(rng, 2000, round % 2 ? 5 : 0);
    for (size_t chunk : {4, 13, 64, 1000}) {
      BufferedReader r;
      ASSERT_EQ(reader_init_memory(&r, reinterpret_cast<const uint8_t*>(text.data()), text.size(), chunk),
                Error::None);
      uint64_t framed = 0;
      Error e = Error::None;
      for (;;) {
        FieldView v;
        bool at_end = false;
        e = read_quoted_record(&r, ',', &v, &at_end);
        if (failed(e) || at_end) break;
        ++framed;
      }
      reader_close(&r);
      ASSERT_EQ(reader_init_memory(&r, reinterpret_cast<const uint8_t*>(text.data()), text.size(), chunk),
                Error::None);
      uint64_t counted = 0;
      EXPECT_EQ(count_quoted_records(&r, ',', &counted), e) << round << " chunk " << chunk;
      if (!failed(e)) {
        EXPECT_EQ(counted, framed) << round << " chunk " << chunk;
      }
      reader_close(&r);
    }
  }
}

}  // namespace
}  // namespace quelta
