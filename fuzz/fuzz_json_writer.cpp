// Fuzzes the JSON text writer and the UTF-8 check. Pieces of the input are
// written as string values into one array on a memory sink; the text must be
// exactly what the escaping table gives, and a strict JSON reader must get the
// original bytes back. The UTF-8 check must agree with a plain decoder under
// every byte-search level, and integers must print as the C library prints them.
//
// Input: [separator] [integer, 8 bytes] then the pieces, split at the separator.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "json/json_writer.h"
#include "util/byte_search.h"
#include "util/utf8.h"

using namespace quelta;

namespace {

// The writer's text for one value, straight from the escaping table.
std::string reference_value(const std::string& b) {
  const auto* p = reinterpret_cast<const uint8_t*>(b.data());
  std::string out;
  if (!fuzz::reference_utf8(p, b.size())) {
    out += '[';
    for (size_t i = 0; i < b.size(); ++i) {
      if (i) out += ',';
      out += std::to_string(p[i]);
    }
    return out + ']';
  }
  out += '"';
  for (unsigned char c : b) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + '"';
}

void check_utf8(const uint8_t* p, size_t n) {
  const bool want = fuzz::reference_utf8(p, n);
  for (SimdLevel level : kSimdLevels) {
    byte_search_use(level);
    FUZZ_CHECK(is_valid_utf8(p, n) == want, "is_valid_utf8 says %d at level %d over %zu bytes, want %d",
               !want, int(level), n, want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const uint8_t separator = in.byte();
  uint64_t integer = 0;
  for (int i = 0; i < 8; ++i) integer = integer << 8 | in.byte();
  const std::vector<uint8_t> rest(in.rest(), in.rest() + in.rest_size());

  const SimdLevel saved = byte_search_level();
  // Every tail of the first bytes, each in a block of exactly its size, so the
  // word and vector loads meet every alignment and every short length.
  for (size_t skip = 0; skip < 8 && skip <= rest.size(); ++skip) {
    const std::vector<uint8_t> tail(rest.begin() + static_cast<ptrdiff_t>(skip), rest.end());
    check_utf8(tail.empty() ? nullptr : tail.data(), tail.size());
  }
  byte_search_use(saved);

  std::vector<std::string> pieces(1);
  for (uint8_t b : rest) {
    if (b == separator)
      pieces.emplace_back();
    else
      pieces.back() += static_cast<char>(b);
  }

  MemorySink sink;
  JsonWriter w(sink);
  FUZZ_CHECK(!failed(w.begin_array()));
  std::string want = "[";
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::vector<uint8_t> piece(pieces[i].begin(), pieces[i].end());
    FUZZ_CHECK(!failed(w.string_value(piece.empty() ? nullptr : piece.data(), piece.size())));
    if (i) want += ',';
    want += reference_value(pieces[i]);
  }
  FUZZ_CHECK(!failed(w.end_array()));
  FUZZ_CHECK(!failed(w.integer_value(integer)));
  want += "]," + std::to_string(integer);
  FUZZ_CHECK(w.depth == 0, "depth %zu after a closed array", w.depth);

  const std::string got(reinterpret_cast<const char*>(sink.data()), sink.size());
  FUZZ_CHECK(got == want, "writer text\n  '%s'\nwant\n  '%s'", fuzz::escaped(got).c_str(),
             fuzz::escaped(want).c_str());

  // Read the text back: '[' values ']' ',' integer.
  size_t i = 1;
  for (size_t k = 0; k < pieces.size(); ++k) {
    std::string value;
    FUZZ_CHECK(fuzz::read_field_value(got, &i, &value), "value %zu does not read back", k);
    FUZZ_CHECK(value == pieces[k], "value %zu reads back as '%s', want '%s'", k, fuzz::escaped(value).c_str(),
               fuzz::escaped(pieces[k]).c_str());
    FUZZ_CHECK(i < got.size() && got[i] == (k + 1 < pieces.size() ? ',' : ']'), "separator after value %zu",
               k);
    ++i;
  }
  return 0;
}
