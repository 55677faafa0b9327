// The UTF-8 check against an independent decoder, at range boundaries, across
// vector block boundaries and over the JSON test suite, under every search level.
#include "util/utf8.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "support/simd_levels.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

// Decodes by bit pattern, then rejects overlong forms, surrogates and code
// points above U+10FFFF: the rules stated as code points rather than byte ranges.
bool reference_valid(const uint8_t* p, size_t n) {
  static const uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < n;) {
    const uint8_t b = p[i];
    size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || n - i < len) return false;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (cp < kMinForLength[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

bool valid(const std::string& s) {
  return is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

class Utf8Test : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { byte_search_use(GetParam()); }
  void TearDown() override { byte_search_use(simd_best_level()); }
};

TEST_P(Utf8Test, RangeBoundariesAndTruncation) {
  // Each second-byte range at both ends: E0 A0..BF, ED 80..9F, F0 90..BF, F4 80..8F.
  const std::string well_formed[] = {"\x7f",
                                     "\xc2\x80",
                                     "\xdf\xbf",
                                     "\xe0\xa0\x80",
                                     "\xe0\xbf\xbf",
                                     "\xed\x9f\xbf",
                                     "\xed\x80\x80",
                                     "\xef\xbf\xbf",
                                     "\xf0\x90\x80\x80",
                                     "\xf0\xbf\xbf\xbf",
                                     "\xf4\x8f\xbf\xbf",
                                     "\xf4\x80\x80\x80"};
  const std::string ill_formed[] = {"\x80", "\xbf", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80",
                                    "\xed\xbf\xbf", "\xe1\x7f\x80", "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80",
                                    "\xf5\x80\x80\x80", "\xfe", "\xff",
                                    // cut short, and a continuation replaced by ASCII
                                    "\xc3", "\xe2\x82", "\xf0\x9d\x84", "ab\xf0\x9d", "\xc3\x28",
                                    "\xe2\x28\xa1", "\xe2\x82\x28", "\xf0\x9d\x84\x28"};
  EXPECT_TRUE(valid(""));
  for (const std::string& s : well_formed) EXPECT_TRUE(valid(s)) << testing::PrintToString(s);
  for (const std::string& s : ill_formed) EXPECT_FALSE(valid(s)) << testing::PrintToString(s);
}

// Every string of one to three bytes, and four-byte strings over every lead and
// second byte with representative tails, agree with the decoder.
TEST_P(Utf8Test, AgreesWithDecoderExhaustively) {
  uint8_t s[4];
  for (uint32_t v = 0; v < (1u << 24); ++v) {
    s[0] = static_cast<uint8_t>(v >> 16), s[1] = static_cast<uint8_t>(v >> 8), s[2] = static_cast<uint8_t>(v);
    // The shorter prefixes once each, when the bytes after them are zero.
    const size_t shortest = (v & 0xFFFF) == 0 ? 1 : (v & 0xFF) == 0 ? 2 : 3;
    for (size_t n = shortest; n <= 3; ++n)
      ASSERT_EQ(is_valid_utf8(s, n), reference_valid(s, n)) << std::hex << v << " n=" << n;
  }
  const uint8_t tails[] = {0x00, 0x41, 0x7f, 0x80, 0x9f, 0xbf, 0xc0, 0xff};
  for (int lead = 0xf0; lead <= 0xf7; ++lead)
    for (int second = 0; second < 256; ++second)
      for (uint8_t third : tails)
        for (uint8_t fourth : tails) {
          const uint8_t q[4] = {static_cast<uint8_t>(lead), static_cast<uint8_t>(second), third, fourth};
          ASSERT_EQ(is_valid_utf8(q, 4), reference_valid(q, 4));
        }
}

// Sequences at every offset of ASCII texts of many lengths, so that they fall in
// every word and straddle 16- and 32-byte blocks, alone and at every short
// distance after an earlier sequence; and sequences cut short at the very end.
TEST_P(Utf8Test, SequencesAtEveryOffset) {
  const std::pair<std::string, bool> inserts[] = {{"\xc3\xa9", true},         {"\xe2\x82\xac", true},
                                                  {"\xf0\x9d\x84\x9e", true}, {"\x80", false},
                                                  {"\xed\xa0\x80", false},    {"\xf4\x90\x80\x80", false}};
  for (const auto& [seq, ok] : inserts)
    for (size_t len = 0; len <= 100; len += len < 70 ? 1 : 30)
      for (size_t at = 0; at <= len; ++at) {
        std::string s(len, 'a');
        s.insert(at, seq);
        ASSERT_EQ(valid(s), ok) << len << " at " << at;
        ASSERT_FALSE(valid(s + seq.substr(0, seq.size() - 1) + (seq.size() == 1 ? "\xc3" : "")))
            << len << " at " << at;
        for (size_t gap = 0; gap <= 12; ++gap) {
          std::string t = s;
          t.insert(at, "\xc3\xa9" + std::string(gap, 'b'));
          ASSERT_EQ(valid(t), ok) << len << " at " << at << " gap " << gap;
        }
      }
}

// The suite's files, whose bytes are known: exactly these are not well-formed.
TEST_P(Utf8Test, JsonTestSuiteFiles) {
  const std::filesystem::path dir = std::filesystem::path(QUELTA_TESTDATA_DIR) / "json-test-suite";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no " << dir;
  const std::set<std::string> expected_invalid = {
      "i_string_UTF-16LE_with_BOM.json",
      "i_string_UTF-8_invalid_sequence.json",
      "i_string_UTF8_surrogate_U+D800.json",
      "i_string_invalid_utf-8.json",
      "i_string_iso_latin_1.json",
      "i_string_lone_utf8_continuation_byte.json",
      "i_string_not_in_unicode_range.json",
      "i_string_overlong_sequence_2_bytes.json",
      "i_string_overlong_sequence_6_bytes.json",
      "i_string_overlong_sequence_6_bytes_null.json",
      "i_string_truncated-utf-8.json",
      "i_string_utf16BE_no_BOM.json",
      "i_string_utf16LE_no_BOM.json",
      "n_array_a_invalid_utf8.json",
      "n_array_invalid_utf8.json",
      "n_number_invalid-utf-8-in-bigger-int.json",
      "n_number_invalid-utf-8-in-exponent.json",
      "n_number_invalid-utf-8-in-int.json",
      "n_number_real_with_invalid_utf8_after_e.json",
      "n_object_lone_continuation_byte_in_key_and_trailing_comma.json",
      "n_string_invalid-utf-8-in-escape.json",
      "n_string_invalid_utf8_after_escape.json",
      "n_structure_incomplete_UTF8_BOM.json",
      "n_structure_lone-invalid-utf-8.json",
      "n_structure_single_eacute.json"};
  std::set<std::string> invalid;
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ++files;
    if (!valid(bytes)) invalid.insert(entry.path().filename().string());
  }
  EXPECT_GT(files, 300u);
  EXPECT_EQ(invalid, expected_invalid);
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8Test, test::all_simd_levels(), test::SimdLevelName());

}  // namespace
}  // namespace quelta
