// Differential fuzzing of the CSV tokenizer: read_record (the structural
// index, with read_line and split_record behind it) against read_line and
// split_record alone, at every byte-search level, with a small refill size and
// with the full buffer, so that lines cross refills and index windows. Every
// call must give the same record, the same error and the same end. With one
// allocation made to fail, read_record may only differ by OutOfMemory in
// place of a record, must still consume one line per call, and leaks nothing.
//
// Input: [chunk] [max_column] [delimiter] [fault] [shape] then the CSV text.
// The delimiter may be any byte (0-7 pick common ones, NUL and quote among
// them); shape bit 0 reads the first line as a header first, bits 1-3 repeat the
// text (so that it spans several 4 KiB index windows).
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/csv_tokenizer.h"
#include "platform/heap.h"
#include "util/byte_search.h"

using namespace quelta;

namespace {

// What one read gave.
struct Outcome {
  Error error = Error::None;
  bool at_end = false;
  std::vector<std::string> fields;

  bool operator==(const Outcome& o) const {
    return error == o.error && at_end == o.at_end && fields == o.fields;
  }
};

std::string describe(const Outcome& o) {
  std::string s = error_name(o.error);
  if (o.at_end) s += " at end";
  for (const std::string& f : o.fields) s += " [" + fuzz::escaped(f) + "]";
  return s;
}

struct Setup {
  const uint8_t* data;
  size_t size;
  size_t chunk;
  uint8_t delimiter;
  uint64_t max_column;
  bool header;
  size_t calls;  // reads per run: every line, then the end twice
};

// The reference: lines from read_line, split by split_record.
std::vector<Outcome> run_reference(const Setup& s) {
  std::vector<Outcome> out;
  BufferedReader reader;
  FUZZ_CHECK(!failed(reader_init_memory(&reader, s.data, s.size, s.chunk)), "reference reader");
  GrowBuffer<FieldView> fields;
  ByteBuffer scratch;
  FieldView line;
  bool at_end = false;
  if (s.header) FUZZ_CHECK(!failed(read_line(&reader, &line, &at_end)), "reference header");
  for (size_t i = 0; i < s.calls; ++i) {
    Outcome o;
    o.error = read_line(&reader, &line, &o.at_end);
    if (!failed(o.error) && !o.at_end) {
      scratch.clear();
      size_t count = 0;
      o.error = split_record(line, s.delimiter, s.max_column, &fields, &scratch, &count);
      if (!failed(o.error))
        for (size_t k = 0; k < count; ++k) o.fields.push_back(fuzz::text_of(fields[k]));
    }
    out.push_back(o);
  }
  fields.release();
  scratch.release();
  reader_close(&reader);
  return out;
}

// read_record over a CSV reader set up by hand (no header parsing), with the
// n-th allocation failing when fail_at is not 0. *reached tells whether it was.
std::vector<Outcome> run_indexed(const Setup& s, uint64_t fail_at, bool* reached) {
  std::vector<Outcome> out;
  const uint64_t allocations = platform::heap_alloc_count();
  platform::heap_fail_at(fail_at);
  CsvReader csv;
  csv.delimiter = s.delimiter;
  csv.max_column = s.max_column;
  Error e = reader_init_memory(&csv.reader, s.data, s.size, s.chunk);
  if (!failed(e) && s.header) {
    FieldView line;
    bool at_end = false;
    e = read_line(&csv.reader, &line, &at_end);
  }
  if (!failed(e)) {
    for (size_t i = 0; i < s.calls; ++i) {
      Outcome o;
      const FieldView* fields = nullptr;
      size_t count = 0;
      o.error = read_record(&csv, &fields, &count, &o.at_end);
      if (!failed(o.error) && !o.at_end)
        for (size_t k = 0; k < count; ++k) o.fields.push_back(fuzz::text_of(fields[k]));
      out.push_back(o);
    }
  } else {
    out.push_back(Outcome{e, false, {}});
  }
  csv_close(&csv);
  *reached = fail_at && platform::heap_alloc_count() - allocations >= fail_at;
  platform::heap_fail_at(0);
  return out;
}

void compare(const Setup& s, SimdLevel level, const std::vector<Outcome>& want) {
  bool reached = false;
  const std::vector<Outcome> got = run_indexed(s, 0, &reached);
  FUZZ_CHECK(got.size() == want.size(), "set-up failed: %s", describe(got[0]).c_str());
  for (size_t i = 0; i < want.size(); ++i)
    FUZZ_CHECK(got[i] == want[i],
               "read %zu (level %d, chunk %zu, delimiter 0x%02x, max_column %lld):\n got  %s\n want %s", i,
               static_cast<int>(level), s.chunk, s.delimiter, static_cast<long long>(s.max_column),
               describe(got[i]).c_str(), describe(want[i]).c_str());
}

void compare_with_fault(const Setup& s, uint64_t fail_at, const std::vector<Outcome>& want) {
  const int64_t live = platform::heap_live_blocks();
  bool reached = false;
  const std::vector<Outcome> got = run_indexed(s, fail_at, &reached);
  FUZZ_CHECK(platform::heap_live_blocks() == live, "leak with allocation %llu failing",
             static_cast<unsigned long long>(fail_at));
  bool reported = false;
  if (got.size() == 1 && want.size() != 1) {
    // Setting up failed.
    FUZZ_CHECK(got[0].error == Error::OutOfMemory, "set-up gave %s", error_name(got[0].error));
    reported = true;
  } else {
    for (size_t i = 0; i < want.size(); ++i) {
      // One line per read, failed or not: the failure costs at most its own line.
      if (got[i].error == Error::OutOfMemory && want[i].error != Error::OutOfMemory) {
        reported = true;
        continue;
      }
      FUZZ_CHECK(got[i] == want[i], "read %zu with allocation %llu failing:\n got  %s\n want %s", i,
                 static_cast<unsigned long long>(fail_at), describe(got[i]).c_str(),
                 describe(want[i]).c_str());
    }
  }
  FUZZ_CHECK(!reached || reported, "allocation %llu failed silently",
             static_cast<unsigned long long>(fail_at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const uint8_t chunk_choice = in.byte();
  const uint8_t column_choice = in.byte();
  const uint8_t delimiter_choice = in.byte();
  const uint8_t fault = in.byte();
  const uint8_t shape = in.byte();

  static constexpr uint8_t kDelimiters[8] = {',', '\0', ';', '\t', '|', '"', '\r', '\n'};
  Setup s{};
  s.chunk = chunk_choice < 200 ? 1 + chunk_choice % 64 : 64 + 97 * static_cast<size_t>(chunk_choice - 200);
  s.delimiter = delimiter_choice < 8 ? kDelimiters[delimiter_choice] : delimiter_choice;  // any byte
  s.max_column = column_choice & 0x80 ? kNoMaxColumn : column_choice & 15;
  s.header = shape & 1;

  // The text, repeated, in a block of exactly its size so that any read past it is caught.
  std::vector<uint8_t> text;
  for (int copies = 1 + (shape >> 1 & 7); copies > 0; --copies)
    text.insert(text.end(), in.rest(), in.rest() + in.rest_size());
  s.data = text.empty() ? nullptr : text.data();
  s.size = text.size();
  size_t lines = 0;
  for (uint8_t c : text) lines += c == '\n';
  s.calls = lines + 3;

  const SimdLevel saved = byte_search_level();
  byte_search_use(SimdLevel::Scalar);
  const std::vector<Outcome> want = run_reference(s);
  for (SimdLevel level : kSimdLevels) {
    byte_search_use(level);
    compare(s, level, want);
    Setup full = s;
    full.chunk = kChunkSize;
    compare(full, level, want);
  }
  if (fault) {
    byte_search_use(kSimdLevels[fault % std::size(kSimdLevels)]);
    compare_with_fault(s, fault >> 2 ? fault >> 2 : 1, want);
  }
  byte_search_use(saved);
  return 0;
}
