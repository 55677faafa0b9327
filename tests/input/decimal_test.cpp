// Tests of the decimal conversion: the number corpus bit for bit, the accepted and
// rejected syntax, ties and long texts, and round trips checked against the C library.
#include "input/decimal.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

#include "input/decimal_words.h"

namespace quelta {
namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;

uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }

// Converts from an exactly sized heap copy, so the sanitizers catch any read past the text.
Error convert(std::string_view text, double* out) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[text.size()]);
  std::memcpy(copy.get(), text.data(), text.size());
  return decimal_to_double(copy.get(), text.size(), out);
}

// The bits of the converted text, or a NaN's when it was rejected.
uint64_t converted_bits(std::string_view text) {
  double d;
  if (convert(text, &d) != Error::None) return 0x7FF8DEADDEADDEAD;
  return bits_of(d);
}

// The same number with an underscore between every two adjacent digits.
std::string with_separators(std::string_view text) {
  std::string s;
  for (size_t i = 0; i < text.size(); ++i) {
    s += text[i];
    if (i + 1 < text.size() && std::isdigit(uint8_t(text[i])) && std::isdigit(uint8_t(text[i + 1]))) s += '_';
  }
  return s;
}

// glibc's strtod rounds exactly and shares no code with ours: the oracle for made-up texts.
uint64_t oracle_bits(const std::string& text) { return bits_of(std::strtod(text.c_str(), nullptr)); }

TEST(DecimalCorpus, EveryLineConvertsToItsBits) {
  size_t lines = 0, mismatches = 0;
  auto check = [&](const std::string& text, uint64_t want) {
    uint64_t got = converted_bits(text);
    if (got != want && ++mismatches <= 10) {
      ADD_FAILURE() << text.substr(0, 80) << ": got " << std::hex << got << ", want " << want;
    }
  };
  for (const auto& entry : std::filesystem::directory_iterator(QUELTA_TESTDATA_DIR "/number-corpus")) {
    if (entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path());
    std::string line, half, single, dbl, quad, text;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      if (!(fields >> half >> single >> dbl >> quad >> text)) continue;
      uint64_t want = std::strtoull(dbl.c_str(), nullptr, 16);
      ++lines;
      check(text, want);
      check("-" + text, want ^ kSignBit);
      check(with_separators(text), want);
    }
  }
  EXPECT_GT(lines, 20000u);
  EXPECT_EQ(mismatches, 0u);
}

TEST(DecimalSyntax, AcceptedForms) {
  const struct {
    const char* text;
    double want;
  } cases[] = {
      {"1.5", 1.5},
      {".5", 0.5},
      {"5.", 5},
      {"+.5", 0.5},
      {"00012", 12},
      {"1e5", 1e5},
      {"1E+5", 1e5},
      {"1e-5", 1e-5},
      {"1.e5", 1e5},
      {"-2.5E-3", -2.5e-3},
      {"1e0005", 1e5},
      {"1_000", 1000},
      {"0.000_1", 0.0001},
      {"1_2.3_4e1_0", 12.34e10},
      {"0x1p3", 8},
      {"0x1.8", 1.5},
      {"0x.8", 0.5},
      {"0X1P-2", 0.25},
      {"0x1e3", 483},
      {"0xA_bP+1", 342},
      {"-0x1.8e", -1.5546875},
      {"0x00.00_01p16", 1},
      {"0x1P1_0", 1024},
      {"12345678901234567", 12345678901234568.0},
  };
  for (const auto& c : cases) {
    double got = -1;
    EXPECT_EQ(convert(c.text, &got), Error::None) << c.text;
    EXPECT_EQ(got, c.want) << c.text;
  }
}

TEST(DecimalSyntax, Words) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* text;
    double want;
  } cases[] = {{"inf", inf},        {"INF", inf},       {"Infinity", inf},
               {"-Infinity", -inf}, {"+iNfInItY", inf}, {"-inf", -inf}};
  for (const auto& c : cases) {
    double got = 0;
    EXPECT_EQ(convert(c.text, &got), Error::None) << c.text;
    EXPECT_EQ(got, c.want) << c.text;
  }
  for (const char* text : {"nan", "NaN", "+nan", "-NAN"}) {
    double got = 0;
    EXPECT_EQ(convert(text, &got), Error::None) << text;
    EXPECT_TRUE(std::isnan(got)) << text;
  }
}

TEST(DecimalSyntax, RejectedForms) {
  const char* cases[] = {
      "",      "+",       "-",     "++1",    "+-1",   "--1",      "e5",   ".",     ".e5",
      "1e",    "1e+",     "1e--5", "1.2.3",  "1,5",   "1d",       " 1",   "1 ",    "\t1",
      "1\n",   "0x1p3.5", "1e5.0", "_1",     "1_",    "-_1",      "1__0", "1_.5",  "1._5",
      "1.5_",  "1_e5",    "1e_5",  "1e+_5",  "1e5_",  "0_x1",     "0x",   "0x.",   "0x1p",
      "0x1p-", "0x_1",    "0x1_",  "0x1p_3", "0x.p1", "0x1g",     "0b1",  "infin", "infinityx",
      "in",    "nan(1)",  "nana",  "i nf",   "1e5x",  "\xd9\xa3",
  };
  for (const char* text : cases) {
    double got = 42;
    EXPECT_EQ(convert(text, &got), Error::InvalidCharacter) << '"' << text << '"';
    EXPECT_EQ(got, 42) << "output written for rejected \"" << text << '"';
  }
  double got;
  EXPECT_EQ(convert(std::string_view("1\0", 2), &got), Error::InvalidCharacter);
}

// Each byte value at each position of digit texts of 1 to 20 bytes: whatever the
// alignment of the eight-byte windows, a text is accepted exactly when the grammar
// allows it, and then has the oracle's value.
TEST(DecimalSyntax, EveryByteAtEveryPosition) {
  const std::string digits = "12345678901234567890";
  for (size_t len = 1; len <= digits.size(); ++len) {
    for (size_t pos = 0; pos < len; ++pos) {
      for (int b = 0; b < 256; ++b) {
        std::string text = digits.substr(0, len);
        text[pos] = char(b);
        bool inner = pos > 0 && pos + 1 < len;
        bool valid = std::isdigit(b) || (len > 1 && (b == '.' || (pos == 0 && (b == '+' || b == '-')) ||
                                                     (inner && (b == '_' || b == 'e' || b == 'E'))));
        double got;
        ASSERT_EQ(convert(text, &got) == Error::None, valid) << "byte " << b << " in " << text;
        if (!valid) continue;
        std::string plain = text;
        std::erase(plain, '_');
        ASSERT_EQ(bits_of(got), oracle_bits(plain)) << text;
      }
    }
  }
}

TEST(DecimalValue, SignedZeroAndOutOfRange) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* text;
    uint64_t want;
  } cases[] = {
      {"-0", kSignBit},
      {"-0.0e5", kSignBit},
      {"-0x0p0", kSignBit},
      {"0e99999999999999999999", 0},
      {"-1e-400", kSignBit},
      {"1e-400", 0},
      {"1e400", bits_of(inf)},
      {"-1e400", bits_of(-inf)},
      {"1e99999999999999999999", bits_of(inf)},
      {"1e-99999999999999999999", 0},
      {"0x1p99999999999999999999", bits_of(inf)},
      {"0x1p-99999999999999999999", 0},
      {"1.7976931348623157e308", 0x7FEFFFFFFFFFFFFF},
      {"1.7976931348623159e308", bits_of(inf)},  // past the tie with 2^1024
      {"4.9406564584124654e-324", 1},
      {"2.4703282292062327e-324", 0},  // just below half the smallest subnormal
      {"2.4703282292062328e-324", 1},
      {"0x1.fffffffffffffp1023", 0x7FEFFFFFFFFFFFFF},
      {"0x1.fffffffffffff8p1023", bits_of(inf)},  // the tie rounds to even, which is 2^1024
      {"0x1p-1074", 1},
      {"0x1p-1075", 0},  // tie with zero
      {"0x1.0000001p-1075", 1},
      {"0x3p-1076", 1},
      {"0x0.fffffffffffff8p-1022", 0x0010000000000000},  // rounds up into the normal range
  };
  for (const auto& c : cases) EXPECT_EQ(converted_bits(c.text), c.want) << c.text;
}

TEST(DecimalValue, TiesGoToEven) {
  const uint64_t one = bits_of(1.0);
  // 1 + 2^-53 and 1 + 3 * 2^-53 are the exact midpoints after 1 and after 1 + 2^-52.
  const std::string low_tie = "1.00000000000000011102230246251565404236316680908203125";
  const std::string high_tie = "1.00000000000000033306690738754696212708950042724609375";
  const std::string zeros(1000, '0');
  const struct {
    std::string text;
    uint64_t want;
  } cases[] = {
      {"9007199254740993", bits_of(9007199254740992.0)},
      {"9007199254740995", bits_of(9007199254740996.0)},
      {"9007199254740993.000000000000000000001", bits_of(9007199254740994.0)},
      {"9007199254740992.999999999999999999999", bits_of(9007199254740992.0)},
      {low_tie, one},
      {high_tie, one + 2},
      {low_tie + zeros, one},  // a tie stays a tie however many zeros follow
      {low_tie + zeros + "1", one + 1},
      {"1.00000000000000011102230246251565404236316680908203124" + zeros + "9", one},
      {"0x1.00000000000008p0", one},
      {"0x1.00000000000018p0", one + 2},
      {"0x1.000000000000080000000001p0", one + 1},
      {"0x1" + zeros + "p-4000", one},
  };
  for (const auto& c : cases) EXPECT_EQ(converted_bits(c.text), c.want) << c.text.substr(0, 60);
}

TEST(DecimalValue, LongTextsKeepTheirExponent) {
  const std::string zeros(5000, '0');
  EXPECT_EQ(converted_bits("1" + zeros + "e-5000"), bits_of(1.0));
  EXPECT_EQ(converted_bits("0." + zeros + "15e5001"), bits_of(1.5));
  EXPECT_EQ(converted_bits("0." + zeros + "1"), 0u);
  EXPECT_EQ(converted_bits("1" + zeros), bits_of(std::numeric_limits<double>::infinity()));
  // 20+ significant digits on both sides of the point, separators included.
  EXPECT_EQ(converted_bits("123_456_789_012_345_678_901.234_567_890_123"),
            oracle_bits("123456789012345678901.234567890123"));
}

TEST(DecimalRoundTrip, ShortestTextsOfRandomDoubles) {
  std::mt19937_64 rng(20240611);
  char buf[64];
  size_t mismatches = 0;
  for (int i = 0; i < 300000; ++i) {
    uint64_t bits = rng();
    if (i % 8 == 0) bits &= kSignBit | ((uint64_t{1} << 52) - 1);  // subnormals
    if (i % 8 == 1) bits >>= 12 + (rng() % 52);                    // short mantissas, tiny subnormals
    double d = std::bit_cast<double>(bits);
    if (!std::isfinite(d)) continue;
    std::to_chars_result r;
    std::string prefix;
    switch (i % 4) {
      case 0:
        r = std::to_chars(buf, buf + sizeof buf, d);
        break;
      case 1:
        r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
        break;
      case 2:
        r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
        break;
      default:
        r = std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::hex);
        prefix = std::signbit(d) ? "-0x" : "0x";
    }
    std::string text = prefix + std::string(buf, r.ptr);
    if (converted_bits(text) != bits && ++mismatches <= 10)
      ADD_FAILURE() << text << " did not give " << std::hex << bits;
  }
  EXPECT_EQ(mismatches, 0u);
}

// Texts within a few units of the 20th to 40th digit of a midpoint between two doubles,
// and exact midpoints: the inputs where a fast path could round the wrong way.
TEST(DecimalRoundTrip, TextsNearMidpointsMatchTheOracle) {
  std::mt19937_64 rng(77);
  char buf[1200];
  size_t mismatches = 0;
  for (int i = 0; i < 40000; ++i) {
    double d = std::bit_cast<double>(rng() & ~kSignBit);
    double next = std::nextafter(d, INFINITY);
    if (!std::isfinite(next) || d == 0) continue;
    long double mid = ((long double)d + (long double)next) / 2;  // exact in 64 bits
    int digits = i % 5 == 0 ? 800 : 17 + int(rng() % 24);
    std::snprintf(buf, sizeof buf, "%.*Le", digits, mid);
    std::string text = buf;
    if (i % 5 != 0) {
      // Nudge the last mantissa digit so the text falls just either side of the midpoint.
      size_t last = text.find('e') - 1;
      text[last] = char('0' + (text[last] - '0' + int(rng() % 3) + 9) % 10);
    }
    if (converted_bits(text) != oracle_bits(text) && ++mismatches <= 10) ADD_FAILURE() << text.substr(0, 80);
  }
  EXPECT_EQ(mismatches, 0u);
}

// Random texts of a sign and up to eight digits with a point anywhere (the short
// path's whole domain, and its edges: a lone point, leading and trailing points,
// nine bytes). Each converts to the oracle's value, and the scaled integers of two
// texts order exactly as the oracle's doubles do.
TEST(DecimalShortTexts, ValuesAndOrderMatchTheOracle) {
  std::mt19937_64 rng(2026);
  auto random_text = [&rng] {
    std::string t = rng() % 3 == 0 ? "-" : rng() % 5 == 0 ? "+" : "";
    size_t len = 1 + rng() % 9;
    size_t point = rng() % (len + 2);
    for (size_t i = 0; i < len; ++i) t += i == point ? '.' : char('0' + rng() % 10);
    return t;
  };
  size_t shorts = 0;
  std::string prev = "0";
  for (int i = 0; i < 200000; ++i) {
    std::string text = random_text();
    double got;
    bool valid = convert(text, &got) == Error::None;
    ASSERT_EQ(valid, text.find_first_of("0123456789") != std::string::npos) << text;
    if (!valid) continue;
    ASSERT_EQ(bits_of(got), oracle_bits(text)) << text;
    int64_t a = 0, b = 0;
    bool short_a = read_short_number(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &a);
    bool short_b = read_short_number(reinterpret_cast<const uint8_t*>(prev.data()), prev.size(), &b);
    size_t digits = text.size() - (text[0] == '-' || text[0] == '+');
    ASSERT_EQ(short_a, digits <= 8) << text;
    if (short_a && short_b) {
      ++shorts;
      double x = std::strtod(text.c_str(), nullptr), y = std::strtod(prev.c_str(), nullptr);
      ASSERT_EQ(a < b, x < y) << text << " vs " << prev;
      ASSERT_EQ(a == b, x == y) << text << " vs " << prev;
    }
    prev = text;
  }
  EXPECT_GT(shorts, 100000u);
}

// Random texts of nine to twenty-four bytes: digits (leading zeros among them), a
// point anywhere or none, a sign, sometimes an exponent or a second point or a
// stray letter. Prices and 17-digit doubles live here, on the word-sized paths.
// Accepted texts give strtod's bits; the others are rejected.
TEST(DecimalMediumTexts, MatchTheOracle) {
  std::mt19937_64 rng(1723);
  size_t checked = 0;
  for (int i = 0; i < 400000; ++i) {
    std::string t = rng() % 3 == 0 ? "-" : rng() % 8 == 0 ? "+" : "";
    const size_t len = 9 + rng() % 16;
    const size_t point = rng() % (len + 4);  // past the end: no point
    const bool zeros = rng() % 4 == 0;
    for (size_t k = 0; k < len; ++k) t += k == point ? '.' : char('0' + (zeros && k < 6 ? 0 : rng() % 10));
    if (rng() % 3 == 0) {
      const int range = rng() % 2 ? 40 : 800;
      t += (rng() % 2 ? "e" : "E") + std::string(rng() % 4 == 0 ? "+" : "") +
           std::to_string(int(rng() % range) - range / 2);
    }
    const int flaw = int(rng() % 16);
    if (flaw == 0) t[rng() % t.size()] = '.';
    if (flaw == 1) t[rng() % t.size()] = "x_e/:"[rng() % 5];
    double got;
    const bool valid = convert(t, &got) == Error::None;
    const std::string plain = t.substr(t[0] == '-' || t[0] == '+');
    char* end = nullptr;
    const double want = std::strtod(t.c_str(), &end);
    // strtod reads a prefix and knows no separators: it judges only texts it reads whole.
    const bool oracle_whole = end == t.c_str() + t.size() && t.find('_') == std::string::npos &&
                              plain.find_first_of("xX") == std::string::npos;
    if (oracle_whole) {
      ASSERT_TRUE(valid) << t;
      ASSERT_EQ(bits_of(got), bits_of(want)) << t;
      ++checked;
    } else if (t.find_first_of("_xX") == std::string::npos) {
      ASSERT_FALSE(valid) << t;
    }
  }
  EXPECT_GT(checked, 300000u);
  // Sixteen-digit integers round once, from the integer itself.
  for (const char* t : {"9007199254740993", "9999999999999999", "9007199254740995", "1234567890123456",
                        "-9007199254740993", "0000000000000001", "9007199254740992.", ".900719925474099"}) {
    EXPECT_EQ(converted_bits(t), oracle_bits(t)) << t;
  }
}

// Generated decimal and hexadecimal texts against strtod, which knows no digit
// separators: one to twenty digits with a point anywhere or none, exponents across
// the whole range (subnormals, the overflow edge, far beyond both, leading zeros),
// every sign form, and separators between random pairs of digits. A separator
// placed anywhere else must make the text fail.
TEST(DecimalDifferential, GeneratedTextsMatchStrtod) {
  std::mt19937_64 rng(4417);
  auto pick = [&rng](uint64_t n) { return rng() % n; };
  auto digit_run = [&](size_t n, bool hex) {
    std::string r;
    for (size_t i = 0; i < n; ++i) r += (hex ? "0123456789abcdefABCDEF" : "0123456789")[pick(hex ? 22 : 10)];
    if (!hex && pick(4) == 0) r[0] = '0';
    return r;
  };
  auto exponent_value = [&]() -> int64_t {
    switch (pick(6)) {
      case 0:
        return int64_t(pick(35)) - 17;  // the exact range of small powers
      case 1:
        return -int64_t(pick(40)) - 300;  // subnormals and below
      case 2:
        return int64_t(pick(30)) + 290;  // up to and past the overflow edge
      case 3:
        return int64_t(pick(900)) - 450;
      case 4:
        return pick(2) ? 99999999999 : -99999999999;
      default:
        return int64_t(pick(700)) - 350;
    }
  };
  size_t checked = 0, separated = 0;
  for (int i = 0; i < 400000; ++i) {
    const bool hex = i % 8 == 7;
    std::string text = pick(3) == 0 ? "-" : pick(6) == 0 ? "+" : "";
    if (hex) text += pick(2) ? "0x" : "0X";
    const size_t digits = 1 + pick(hex ? 16 : 20);
    std::string mantissa = digit_run(digits, hex);
    const size_t point = pick(digits + 4);  // past the end: no point
    if (point <= digits) mantissa.insert(point, ".");
    text += mantissa;
    if (pick(hex ? 2 : 3) != 0) {
      int64_t e = hex ? int64_t(pick(2300)) - 1150 : exponent_value();
      text += hex ? (pick(2) ? "p" : "P") : (pick(2) ? "e" : "E");
      text += e < 0 ? "-" : pick(4) == 0 ? "+" : "";
      text += std::string(pick(5) == 0 ? pick(4) : 0, '0') + std::to_string(e < 0 ? -e : e);
    }
    const uint64_t want = oracle_bits(text);
    ASSERT_EQ(converted_bits(text), want) << text;
    ++checked;
    // An underscore at a random place: valid only between two digits of one run.
    std::string with = text;
    const size_t at = pick(with.size() + 1);
    with.insert(at, "_");
    auto digit_at = [&](size_t k) {
      if (k >= with.size()) return false;
      uint8_t c = uint8_t(with[k]);
      bool in_exponent = with.find_first_of(hex ? "pP" : "eE") < k;
      return (hex && !in_exponent ? std::isxdigit(c) : std::isdigit(c)) != 0;
    };
    const bool valid = at > 0 && digit_at(at - 1) && digit_at(at + 1);
    double got;
    ASSERT_EQ(convert(with, &got) == Error::None, valid) << with;
    if (valid) {
      ASSERT_EQ(bits_of(got), want) << with;
      ++separated;
    }
  }
  EXPECT_EQ(checked, 400000u);
  EXPECT_GT(separated, 100000u);
}

// Random signed texts of digits (leading zeros among them) with up to two points,
// one to 24 bytes: read_plain_number takes exactly the plain decimals of at most
// 15 significant digits and 18 fraction digits, with their exact value, and two
// of them compare as their strtod values do.
TEST(DecimalPlainNumbers, ExactlyThePlainOnesWithTheirValueAndOrder) {
  std::mt19937_64 rng(3131);
  auto pick = [&rng](uint64_t n) { return rng() % n; };
  std::string prev = "0";
  PlainNumber prev_plain{0, 0};
  size_t plain = 0, compared = 0;
  for (int i = 0; i < 300000; ++i) {
    std::string t = pick(3) == 0 ? "-" : pick(8) == 0 ? "+" : "";
    const size_t len = 1 + pick(24);
    const size_t zeros = pick(4) == 0 ? pick(len + 1) : 0;
    std::string body;
    for (size_t k = 0; k < len; ++k) body += k < zeros ? '0' : char('0' + pick(10));
    for (int points = pick(12) == 0 ? 2 : 1; points > 0; --points) {
      const size_t at = pick(body.size() + 3);
      if (at <= body.size()) body.insert(at, ".");
    }
    if (pick(40) == 0) body[pick(body.size())] = "e_x/"[pick(4)];
    t += body;
    // The rule, read independently: one point at most, a digit, the counts.
    const size_t point = body.find('.');
    const bool shape = body.find_first_not_of("0123456789.") == std::string::npos &&
                       body.find('.', point == std::string::npos ? point : point + 1) == std::string::npos &&
                       body.find_first_of("0123456789") != std::string::npos;
    std::string digits = body;
    std::erase(digits, '.');
    const size_t first = digits.find_first_not_of('0');
    const size_t significant = first == std::string::npos ? 0 : digits.size() - first;
    const size_t scale = point == std::string::npos ? 0 : body.size() - point - 1;
    const bool want = shape && significant <= 15 && scale <= 18;
    PlainNumber got{};
    ASSERT_EQ(read_plain_number(reinterpret_cast<const uint8_t*>(t.data()), t.size(), &got), want) << t;
    if (!want) continue;
    ++plain;
    // The same digits and scale written as an exponent give the text's double.
    ASSERT_EQ(got.scale, int32_t(scale)) << t;
    const std::string rewritten = std::to_string(got.digits) + "e-" + std::to_string(got.scale);
    const double value = std::strtod(t.c_str(), nullptr);
    ASSERT_EQ(std::strtod(rewritten.c_str(), nullptr), value) << t << " read as " << rewritten;
    ASSERT_EQ(got.digits < 0, t[0] == '-' && significant > 0) << t;
    const double other = std::strtod(prev.c_str(), nullptr);
    ASSERT_EQ(compare_plain_numbers(got, prev_plain), value < other   ? -1
                                                      : value > other ? 1
                                                                      : 0)
        << t << " vs " << prev;
    ++compared;
    prev = t;
    prev_plain = got;
  }
  EXPECT_GT(plain, 100000u);
  EXPECT_EQ(compared, plain);
  // Sixteen digits can name one double twice; fifteen cannot.
  for (const char* t : {"9007199254740993", "9007199254740992", "1234567890123456", "0.1234567890123456",
                        "1.000000000000000", "9999999999999999"}) {
    PlainNumber p;
    EXPECT_FALSE(read_plain_number(reinterpret_cast<const uint8_t*>(t), std::strlen(t), &p)) << t;
  }
}

TEST(DecimalParseFinite, OnlyFiniteValuesAreNumeric) {
  const auto finite = [](const char* text) {
    double d = 7;
    bool ok = parse_finite(reinterpret_cast<const uint8_t*>(text), std::strlen(text), &d);
    return ok ? d : -7;
  };
  EXPECT_EQ(finite("2.5e1"), 25);
  EXPECT_EQ(finite("1e-400"), 0);
  EXPECT_EQ(finite("1e400"), -7);
  EXPECT_EQ(finite("-inf"), -7);
  EXPECT_EQ(finite("nan"), -7);
  EXPECT_EQ(finite("x"), -7);
}

}  // namespace
}  // namespace quelta
