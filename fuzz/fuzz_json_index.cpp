// Differential target for the JSON row reader: every call of json_next_row on
// the reader as it is (escapes on the fast path, the structural index of the
// byte-search level chosen) must give exactly what the reference reader gives
// over the same text with the same refill size (reference_rows: the fast path
// without escapes, then the general parser; scalar searches): the same row texts, the same condition, the
// same failure site (problem, parser condition, line, offset, member key), the same end.
//
// Input: [chunk] [max_column] [level and mode] then the JSON text. Mode bit 4
// repeats the text's lines after the first eight times, so that rows cross
// the index's windows and the reader's refills at every offset.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/json_rows.h"
#include "util/byte_search.h"

using namespace quelta;
using fuzz::text_of;

namespace {

std::string site_text(const SiteText& t) { return std::string(t.text, t.len); }

// One call's outcome, with the site when it failed.
struct Outcome {
  Error error = Error::None;
  bool at_end = false;
  std::vector<std::string> fields;
  Problem problem = Problem::None;
  Error cause = Error::None;
  uint64_t line = 0;
  int64_t offset = -1;
  std::string key;
};

Outcome next(JsonReader* json, SimdLevel level) {
  byte_search_use(level);
  Outcome o;
  const FieldView* fields = nullptr;
  size_t count = 0;
  o.error = json_next_row(json, &fields, &count, &o.at_end);
  if (failed(o.error)) {
    o.problem = json->site.problem;
    o.cause = json->site.cause;
    o.line = json->site.line;
    o.offset = json->site.offset;
    o.key = site_text(json->site.key);
  } else if (!o.at_end) {
    FUZZ_CHECK(count == json->fields_per_row, "%zu fields, want %zu", count, json->fields_per_row);
    for (size_t i = 0; i < count; ++i) o.fields.push_back(text_of(fields[i]));
  }
  return o;
}

void check_same(const Outcome& got, const Outcome& want, size_t call) {
  FUZZ_CHECK(got.error == want.error, "call %zu: %s, reference %s", call, error_name(got.error),
             error_name(want.error));
  FUZZ_CHECK(got.at_end == want.at_end, "call %zu: end %d, reference %d", call, got.at_end, want.at_end);
  FUZZ_CHECK(got.fields.size() == want.fields.size(), "call %zu: %zu fields, reference %zu", call,
             got.fields.size(), want.fields.size());
  for (size_t i = 0; i < got.fields.size(); ++i)
    FUZZ_CHECK(got.fields[i] == want.fields[i], "call %zu field %zu: '%s', reference '%s'", call, i,
               fuzz::escaped(got.fields[i]).c_str(), fuzz::escaped(want.fields[i]).c_str());
  FUZZ_CHECK(got.problem == want.problem && got.cause == want.cause, "call %zu: cause %s, reference %s", call,
             error_name(got.cause), error_name(want.cause));
  FUZZ_CHECK(got.line == want.line && got.offset == want.offset,
             "call %zu: line %llu offset %lld, reference line %llu offset %lld", call,
             static_cast<unsigned long long>(got.line), static_cast<long long>(got.offset),
             static_cast<unsigned long long>(want.line), static_cast<long long>(want.offset));
  FUZZ_CHECK(got.key == want.key, "call %zu: key '%s', reference '%s'", call, fuzz::escaped(got.key).c_str(),
             fuzz::escaped(want.key).c_str());
}

// The reader on a refill size of chunk bytes, at the same position as one on
// the whole buffer: set up on the whole text (the framing is chosen from it),
// then its reader started afresh and the first record read again.
Error open_with_chunk(JsonReader* json, const uint8_t* data, size_t size, uint64_t max_column, size_t chunk) {
  Error e = json_open_memory(json, data, size, max_column);
  if (failed(e) || chunk == kChunkSize) return e;
  reader_close(&json->reader);
  FUZZ_CHECK(!failed(reader_init_memory(&json->reader, data, size, chunk)));
  FUZZ_CHECK(!failed(reader_refill(&json->reader)));
  FieldView first;
  bool at_end = false;
  e = json->array_mode ? read_object(&json->reader, &first, &at_end)
                       : read_line(&json->reader, &first, &at_end);
  FUZZ_CHECK(!failed(e) && !at_end, "first record with chunk %zu: %s", chunk, error_name(e));
  return Error::None;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const fuzz::ReaderChoices choice(in);
  std::vector<uint8_t> text(in.rest(), in.rest() + in.rest_size());
  if (choice.mode & 0x10) {
    // The first line, then the others eight times over.
    size_t first_end = 0;
    while (first_end < text.size() && text[first_end] != '\n') ++first_end;
    if (first_end < text.size()) {
      const std::vector<uint8_t> rest(text.begin() + static_cast<std::ptrdiff_t>(first_end) + 1, text.end());
      for (int copy = 1; copy < 8; ++copy) {
        if (!text.empty() && text.back() != '\n') text.push_back('\n');
        text.insert(text.end(), rest.begin(), rest.end());
      }
    }
  }
  // Blocks of exactly the text's size, so any read past it is caught.
  const uint8_t* p = text.empty() ? nullptr : text.data();
  const SimdLevel saved = byte_search_level();

  JsonReader reference;
  byte_search_use(SimdLevel::Scalar);
  const Error reference_open = open_with_chunk(&reference, p, text.size(), choice.max_column, choice.chunk);
  JsonReader current;
  byte_search_use(choice.level);
  const Error current_open = open_with_chunk(&current, p, text.size(), choice.max_column, choice.chunk);
  FUZZ_CHECK(current_open == reference_open, "open: %s, reference %s", error_name(current_open),
             error_name(reference_open));
  if (!failed(reference_open)) {
    reference.reference_rows = true;
    for (size_t call = 0;; ++call) {
      const Outcome want = next(&reference, SimdLevel::Scalar);
      const Outcome got = next(&current, choice.level);
      check_same(got, want, call);
      if (want.at_end) break;
      FUZZ_CHECK(call < text.size() + 2, "reading does not end");
    }
    json_close(&reference);
    json_close(&current);
  }
  byte_search_use(saved);
  return 0;
}
