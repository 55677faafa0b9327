// read_record, which cuts records from the structural index, against read_line
// and split_record, the tokenizer it must agree with, at every byte-search
// level and over refill sizes that cut lines, blocks and index windows.
#include "input/csv_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "input/csv_reader.h"
#include "input/csv_tokenizer.h"
#include "support/fault.h"
#include "support/simd_levels.h"

namespace quelta {
namespace {

struct Read {
  Error error = Error::None;
  bool at_end = false;
  std::vector<std::string> fields;

  bool operator==(const Read& o) const = default;
};

std::ostream& operator<<(std::ostream& os, const Read& r) {
  os << error_name(r.error) << (r.at_end ? " at end" : "");
  for (const std::string& f : r.fields) os << " [" << f << "]";
  return os;
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Every line through read_line and split_record, then the end.
std::vector<Read> reference(const std::string& text, uint8_t delimiter, uint64_t max_column) {
  std::vector<Read> out;
  BufferedReader reader;
  EXPECT_EQ(reader_init_memory(&reader, bytes(text), text.size()), Error::None);
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  for (;;) {
    Read r;
    FieldView line;
    r.error = read_line(&reader, &line, &r.at_end);
    if (!failed(r.error) && !r.at_end) {
      scratch.clear();
      size_t n = 0;
      r.error = split_record(line, delimiter, max_column, &fields, &scratch, &n);
      for (size_t i = 0; !failed(r.error) && i < n; ++i)
        r.fields.emplace_back(fields[i].ptr, fields[i].ptr + fields[i].len);
    }
    out.push_back(r);
    if (r.at_end) break;
  }
  fields.release();
  scratch.release();
  reader_close(&reader);
  return out;
}

struct Indexed {
  std::vector<Read> reads;
  size_t from_index = 0;  // records handed out from the index's own views
  Error setup = Error::None;
};

// Every record through read_record over a reader with the given refill size.
Indexed indexed(const std::string& text, uint8_t delimiter, uint64_t max_column, size_t chunk) {
  Indexed out;
  CsvReader csv;
  csv.delimiter = delimiter;
  csv.max_column = max_column;
  out.setup = reader_init_memory(&csv.reader, bytes(text), text.size(), chunk);
  for (size_t guard = 0; !failed(out.setup) && guard <= text.size() + 1; ++guard) {
    Read r;
    const FieldView* fields = nullptr;
    size_t n = 0;
    r.error = read_record(&csv, &fields, &n, &r.at_end);
    if (!failed(r.error) && !r.at_end) {
      for (size_t i = 0; i < n; ++i) r.fields.emplace_back(fields[i].ptr, fields[i].ptr + fields[i].len);
      out.from_index += fields >= csv.index.fields && fields < csv.index.fields + kIndexMaxFields;
    }
    out.reads.push_back(r);
    if (r.at_end) break;
  }
  csv_close(&csv);
  return out;
}

struct Case {
  const char* name;
  std::string text;
  uint8_t delimiter = ',';
};

std::vector<Case> cases() {
  std::vector<Case> c = {
      {"plain", "id,name,qty\n1,ada,3\n2,,\n,,\n"},
      {"quoted", "\"a,b\",\"\",c\n\"x\"\"y\",\"\"\"\",\"\"\"\"\"\"\n\"q\"\"\",\"w\"\n"},
      {"line ends", "a,b\r\n\"c\",\"d\"\r\n\r\n,\r\n\"e\"\r\r\na\rb\n\r\r\nlast,\"no end\""},
      {"empty lines", "\n\n,\n\nx"},
      {"unterminated", "a,\"open\nnext,line\n\"a\nb\"\nc\n\"\n\"\"\"\nz"},
      {"irregular quotes", "a\"b,c\"\n\"ab\"cd,e\n\"x\"y\"z\",w\n\"a\"\r,b\n\"a\" ,b\n,\"\"x\"\",\n"},
      {"max_column before trouble", "a,b,c,\"open\na,b,\"bad\"x,d\n1,2,3,4,5,6\n"},
      {"tab", "a\tb\t\"c\td\"\n1\t\t\"2\"\"3\"\n", '\t'},
      {"nul", std::string("a\0b\0\"c\0d\"\n", 11), '\0'},
      {"quote delimiter", "a\"b\"\"c\n\"x\"\n\"\"\n", '"'},
      {"cr delimiter", "a\rb\r\nc\r\r\n\r\n", '\r'},
      {"newline delimiter", "a,b\nc\n", '\n'},
  };
  // Lines and quotes at every offset against the 64-byte blocks: an odd line
  // (ending inside quotes) must not leak its quote state into the next one.
  std::string offsets;
  for (size_t k = 0; k < 140; ++k)
    offsets += std::string(k, 'x') + "\"" + std::string(k % 7, 'y') + "\nq,\"r\"\"s\",t\"\n";
  c.push_back({"every block offset", offsets});
  // Longer than an index window; more separators, lines, doubled quotes and
  // marks than one holds.
  std::string big = std::string(5000, 'L') + "\n" + std::string(1500, ',') + "\n";
  for (const char* line : {"\"\"\"\"\n", "a\"\n", ",\n"})
    for (int i = 0; i < 1200; ++i) big += line;
  c.push_back({"window limits", big});
  // Wide lines of many fields (the index cuts only up to max_column): quoted
  // fields, doubled quotes and '\r' before and after the last column cut, lines
  // whose cut columns cross 64-byte blocks, and lines with fewer fields.
  std::string wide;
  for (size_t k = 0; k < 200; ++k) {
    const size_t fields = k % 90;
    for (size_t f = 0; f < fields; ++f) {
      if (f) wide += ',';
      switch ((k + f) % 6) {
        case 0:
          wide += "\"a,\"\"b\"";
          break;
        case 1:
          wide += std::to_string(k * f);
          break;
        case 2:
          wide += "\"\"";
          break;
        case 3:
          wide += std::string(k % 13, 'w');
          break;
        case 4:
          wide += k % 17 == 0 ? "x\"y" : "\"q\"";
          break;
        default:
          break;
      }
    }
    wide += k % 5 == 0 ? "\r\n" : "\n";
  }
  c.push_back({"wide lines", wide});
  // Pieces in random order, for what the cases above do not think of.
  std::mt19937 rng(5);
  const char* pieces[] = {"a", ",", "\"", "\"\"", "\r", "\r\n", "\n", "xy,z", "\"q,\"\"q\"", ",\"w\"\n"};
  std::string random;
  for (int i = 0; i < 6000; ++i) random += pieces[rng() % 10];
  c.push_back({"random pieces", random});
  return c;
}

class CsvIndexAgrees : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

TEST_P(CsvIndexAgrees, WithSplitRecord) {
  for (const Case& c : cases()) {
    for (uint64_t max_column :
         {kNoMaxColumn, uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{7}, uint64_t{70}}) {
      const std::vector<Read> want = reference(c.text, c.delimiter, max_column);
      for (size_t chunk :
           {size_t{1}, size_t{2}, size_t{5}, size_t{63}, size_t{64}, size_t{100}, size_t{4096}, kChunkSize}) {
        const Indexed got = indexed(c.text, c.delimiter, max_column, chunk);
        ASSERT_EQ(got.reads.size(), want.size())
            << c.name << ", chunk " << chunk << ", max_column " << max_column;
        for (size_t i = 0; i < want.size(); ++i)
          ASSERT_EQ(got.reads[i], want[i])
              << c.name << ": read " << i << ", chunk " << chunk << ", max_column " << max_column;
      }
    }
  }
}

// The comparisons above would pass if the index never served a record.
TEST_P(CsvIndexAgrees, ServesRegularLinesItself) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += std::to_string(i) + ",\"a, b\",\"say \"\"hi\"\"\",x\r\n";
  // (The first read finds the buffer empty and fills it through read_line.)
  EXPECT_EQ(indexed(text, ',', kNoMaxColumn, kChunkSize).from_index, 499u);
  EXPECT_EQ(indexed(text, ',', 1, kChunkSize).from_index, 499u);
  EXPECT_EQ(indexed(text, '"', kNoMaxColumn, kChunkSize).from_index, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllLevels, CsvIndexAgrees, test::all_simd_levels(), test::SimdLevelName());

// A failed allocation costs the record of its own line and nothing else.
TEST(CsvIndex, AllocationFailuresCostOnlyTheirLine) {
  std::string text;
  for (int i = 0; i < 30; ++i)
    text += "1,\"x\"\"y\"," + std::string(static_cast<size_t>(i), ',') + (i % 5 ? "\n" : "\"z\"q\n");
  const std::vector<Read> want = reference(text, ',', kNoMaxColumn);
  for (size_t chunk : {size_t{16}, kChunkSize}) {
    test::sweep_allocation_failures([&] {
      const Indexed got = indexed(text, ',', kNoMaxColumn, chunk);
      if (failed(got.setup)) return true;
      bool reported = false;
      EXPECT_EQ(got.reads.size(), want.size());
      for (size_t i = 0; i < want.size() && i < got.reads.size(); ++i) {
        if (got.reads[i].error == Error::OutOfMemory) {
          reported = true;
          continue;
        }
        EXPECT_EQ(got.reads[i], want[i]) << "read " << i << ", chunk " << chunk;
      }
      return reported;
    });
  }
}

}  // namespace
}  // namespace quelta
