// Writes the benchmark inputs: rows.csv, the same rows as JSON lines and as one
// JSON array, and numbers.txt. A fixed-seed xoshiro256** drives every choice and
// all text is formatted by hand, so the bytes are identical on every machine.
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

constexpr uint64_t kSeed = 0x5155454c54410001ull;
constexpr uint64_t kDefaultMiB = 256;
constexpr uint64_t kDefaultNumbers = 10'000'000;
constexpr size_t kOutBufferSize = 1 << 20;

// ---- random numbers ----

uint64_t splitmix64(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

class Random {
 public:
  explicit Random(uint64_t seed) {
    for (uint64_t& word : s_) word = splitmix64(&seed);
  }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, n) by multiply-shift (a bias below 2^-32 does not matter here).
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }
  bool one_in(uint32_t n) { return below(n) == 0; }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

// ---- buffered output ----

class Output {
 public:
  ~Output() { close(); }

  bool open(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) std::fprintf(stderr, "gen_data: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return file_ != nullptr;
  }

  void put(std::string_view s) {
    if (used_ + s.size() > kOutBufferSize) flush();
    if (s.size() > kOutBufferSize) {
      write(s.data(), s.size());
      return;
    }
    std::memcpy(buffer_ + used_, s.data(), s.size());
    used_ += s.size();
  }
  void put(char c) {
    if (used_ == kOutBufferSize) flush();
    buffer_[used_++] = c;
  }
  void put_uint(uint64_t v) {
    char text[24];
    put(std::string_view(text, static_cast<size_t>(std::to_chars(text, text + sizeof text, v).ptr - text)));
  }

  uint64_t written() const { return total_ + used_; }

  // Flushes and closes; false (after a message) if any write failed.
  bool close() {
    if (!file_) return ok_;
    flush();
    if (std::fclose(file_) != 0) fail();
    file_ = nullptr;
    return ok_;
  }

 private:
  void flush() {
    write(buffer_, used_);
    used_ = 0;
  }
  void write(const char* p, size_t n) {
    if (n && ok_ && std::fwrite(p, 1, n, file_) != n) fail();
    total_ += n;
  }
  void fail() {
    if (ok_) std::fprintf(stderr, "gen_data: writing %s failed: %s\n", path_.c_str(), std::strerror(errno));
    ok_ = false;
  }

  std::string path_;
  FILE* file_ = nullptr;
  bool ok_ = true;
  size_t used_ = 0;
  uint64_t total_ = 0;
  char buffer_[kOutBufferSize];
};

// ---- small formatting helpers ----

// Appends v with exactly width digits, zero-padded.
char* put_digits(char* out, uint32_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return out + width;
}

char* put_uint(char* out, uint64_t v) { return std::to_chars(out, out + 24, v).ptr; }

// n random digits, the first one non-zero when lead_nonzero.
char* put_random_digits(char* out, Random& rng, int n, bool lead_nonzero) {
  for (int i = 0; i < n; ++i) {
    uint32_t d = (i == 0 && lead_nonzero) ? 1 + rng.below(9) : rng.below(10);
    *out++ = static_cast<char>('0' + d);
  }
  return out;
}

// ---- rows ----

constexpr std::string_view kColumns[] = {"id", "name", "city",  "price", "qty",
                                         "ts", "flag", "score", "note",  "code"};

constexpr std::string_view kNames[] = {
    "alice", "bruno",  "chloe",  "dmitri", "elena", "farid",  "greta", "hiro",    "ines",  "jonas", "kofi",
    "lena",  "mateo",  "nadia",  "oscar",  "priya", "quinn",  "rosa",  "sven",    "tara",  "umar",  "vera",
    "wei",   "ximena", "yusuf",  "zoe",    "amara", "bjorn",  "carla", "diego",   "emil",  "fatma", "gusti",
    "hanna", "igor",   "julia",  "karim",  "lucia", "milan",  "noor",  "otto",    "paula", "rahul", "sofia",
    "tomas", "ursula", "viktor", "wanda",  "yara",  "zainab", "anton", "beatriz", "cyril", "dalia", "eero",
    "flora", "goran",  "helga",  "ivan",   "jana",  "kenji",  "leila", "marta",   "nils"};

// Cities with a comma are quoted in the CSV; a few others are quoted anyway.
constexpr std::string_view kCities[] = {
    "Lyon",          "Osaka",         "Porto",          "New York",   "Nairobi",      "Bergen",
    "Quito",         "Leipzig",       "Hanoi",          "Cork",       "Portland, OR", "Springfield, IL",
    "Paris, France", "Cambridge, MA", "Perth, WA",      "London, UK", "Valencia",     "Tampere",
    "Cusco",         "Da Nang",       "Salt Lake City", "Kyoto",      "Graz",         "Accra",
    "Austin, TX",    "Victoria, BC",  "Hamilton, ON",   "Georgetown", "Bilbao",       "Utrecht",
    "Izmir",         "Rosario",       "Dunedin",        "Tromso",     "Ghent",        "Brno",
    "Kochi",         "Richmond, VA",  "Santiago",       "Windhoek"};

constexpr std::string_view kNoteWords[] = {
    "ships",    "in",       "two",      "days",      "fragile",  "gift",     "wrap",     "backorder",
    "priority", "return",   "customer", "asked",     "for",      "morning",  "delivery", "window",
    "damaged",  "box",      "replace",  "invoice",   "attached", "call",     "before",   "arrival",
    "leave",    "at",       "door",     "signature", "required", "express",  "standard", "bulk",
    "order",    "discount", "applied",  "warehouse", "north",    "south",    "dock",     "pallet",
    "sealed",   "checked",  "by",       "night",     "shift",    "label",    "missing",  "reprint",
    "pending",  "approval", "refund",   "issued",    "partial",  "shipment", "extra",    "care",
    "cold",     "chain",    "keep",     "dry",       "upright",  "heavy",    "item",     "note"};

constexpr char kHex[] = "0123456789abcdef";
constexpr char kCodeLead[] = "ghjkmnpqrstvwxyz";

template <typename T, size_t N>
constexpr uint32_t count_of(const T (&)[N]) {
  return static_cast<uint32_t>(N);
}

struct Row {
  uint64_t id = 0;
  std::string_view name, city;
  char price[16];
  size_t price_len = 0;
  uint32_t qty = 0;
  char ts[19];
  bool flag = false;
  char score[24];
  size_t score_len = 0;
  std::string note;  // raw text; may hold '"' and ','
  char code[8];
};

void make_row(Random& rng, uint64_t id, Row* row) {
  row->id = id;
  row->name = kNames[rng.below(count_of(kNames))];
  row->city = kCities[rng.below(count_of(kCities))];

  uint32_t cents = 1 + rng.below(999'999);  // 0.01 .. 9999.99
  char* p = put_uint(row->price, cents / 100);
  *p++ = '.';
  p = put_digits(p, cents % 100, 2);
  row->price_len = static_cast<size_t>(p - row->price);

  row->qty = rng.below(100);

  p = row->ts;
  p = put_digits(p, 2024, 4);
  *p++ = '-';
  p = put_digits(p, 1 + rng.below(12), 2);
  *p++ = '-';
  p = put_digits(p, 1 + rng.below(28), 2);
  *p++ = 'T';
  p = put_digits(p, rng.below(24), 2);
  *p++ = ':';
  p = put_digits(p, rng.below(60), 2);
  *p++ = ':';
  put_digits(p, rng.below(60), 2);

  row->flag = rng.one_in(2);

  // Score: plain 87.125, or scientific 4.375e-03 / 1.2E+5, sometimes negative.
  p = row->score;
  if (rng.one_in(10)) *p++ = '-';
  if (rng.below(3) != 0) {
    p = put_uint(p, rng.below(1000));
    *p++ = '.';
    p = put_random_digits(p, rng, 1 + static_cast<int>(rng.below(3)), false);
  } else {
    *p++ = static_cast<char>('1' + rng.below(9));
    *p++ = '.';
    p = put_random_digits(p, rng, 1 + static_cast<int>(rng.below(4)), false);
    *p++ = rng.one_in(4) ? 'E' : 'e';
    *p++ = rng.one_in(2) ? '-' : '+';
    uint32_t exponent = rng.below(13);
    p = rng.one_in(2) ? put_digits(p, exponent, 2) : put_uint(p, exponent);
  }
  row->score_len = static_cast<size_t>(p - row->score);

  // Note: a few words, commas now and then, sometimes one word in quotes; rarely empty.
  row->note.clear();
  if (!rng.one_in(20)) {
    int words = 2 + static_cast<int>(rng.below(9));
    int quoted = rng.one_in(6) ? static_cast<int>(rng.below(static_cast<uint32_t>(words))) : -1;
    for (int i = 0; i < words; ++i) {
      if (i > 0) row->note += rng.one_in(5) ? ", " : " ";
      if (i == quoted) row->note += '"';
      row->note += kNoteWords[rng.below(count_of(kNoteWords))];
      if (i == quoted) row->note += '"';
    }
  }

  row->code[0] = kCodeLead[rng.below(16)];
  for (int i = 1; i < 8; ++i) row->code[i] = kHex[rng.below(16)];
}

// s between double quotes, each '"' in it written as escaped_quote.
void put_quoted(Output& out, std::string_view s, std::string_view escaped_quote) {
  out.put('"');
  for (size_t start = 0;;) {
    size_t q = s.find('"', start);
    if (q == std::string_view::npos) {
      out.put(s.substr(start));
      break;
    }
    out.put(s.substr(start, q - start));
    out.put(escaped_quote);
    start = q + 1;
  }
  out.put('"');
}

void put_csv_quoted(Output& out, std::string_view s) { put_quoted(out, s, "\"\""); }

void write_csv_row(Output& out, const Row& row, bool quote_city) {
  out.put_uint(row.id);
  out.put(',');
  out.put(row.name);
  out.put(',');
  if (quote_city || row.city.find(',') != std::string_view::npos) {
    put_csv_quoted(out, row.city);
  } else {
    out.put(row.city);
  }
  out.put(',');
  out.put(std::string_view(row.price, row.price_len));
  out.put(',');
  out.put_uint(row.qty);
  out.put(',');
  out.put(std::string_view(row.ts, sizeof row.ts));
  out.put(',');
  out.put(row.flag ? "true" : "false");
  out.put(',');
  out.put(std::string_view(row.score, row.score_len));
  out.put(',');
  if (!row.note.empty()) put_csv_quoted(out, row.note);
  out.put(',');
  out.put(std::string_view(row.code, sizeof row.code));
  out.put('\n');
}

// Only '"' needs escaping in the generated strings.
void put_json_string(Output& out, std::string_view s) { put_quoted(out, s, "\\\""); }

void put_json_key(Output& out, int column) {
  out.put(column == 0 ? "{\"" : ",\"");
  out.put(kColumns[column]);
  out.put("\":");
}

void write_json_object(Output& out, const Row& row) {
  put_json_key(out, 0);
  out.put_uint(row.id);
  put_json_key(out, 1);
  put_json_string(out, row.name);
  put_json_key(out, 2);
  put_json_string(out, row.city);
  put_json_key(out, 3);
  out.put(std::string_view(row.price, row.price_len));
  put_json_key(out, 4);
  out.put_uint(row.qty);
  put_json_key(out, 5);
  put_json_string(out, std::string_view(row.ts, sizeof row.ts));
  put_json_key(out, 6);
  out.put(row.flag ? "true" : "false");
  put_json_key(out, 7);
  out.put(std::string_view(row.score, row.score_len));
  put_json_key(out, 8);
  put_json_string(out, row.note);
  put_json_key(out, 9);
  put_json_string(out, std::string_view(row.code, sizeof row.code));
  out.put('}');
}

// Rows until rows.csv reaches target_bytes; the JSON files hold the same rows.
bool write_rows(const std::string& dir, uint64_t target_bytes, uint64_t* rows_out) {
  static Output csv, jsonl, array;
  if (!csv.open(dir + "/rows.csv") || !jsonl.open(dir + "/rows.jsonl") ||
      !array.open(dir + "/rows_array.json"))
    return false;

  for (uint32_t c = 0; c < count_of(kColumns); ++c) {
    if (c) csv.put(',');
    csv.put(kColumns[c]);
  }
  csv.put('\n');
  array.put("[\n");

  Random rng(kSeed);
  Row row;
  uint64_t rows = 0;
  while (csv.written() < target_bytes) {
    ++rows;
    make_row(rng, rows, &row);
    write_csv_row(csv, row, rng.one_in(8));
    write_json_object(jsonl, row);
    jsonl.put('\n');
    if (rows > 1) array.put(",\n");
    write_json_object(array, row);
  }
  array.put("\n]\n");
  *rows_out = rows;
  // Close all three even when one fails.
  bool ok = csv.close();
  ok = jsonl.close() && ok;
  return array.close() && ok;
}

// ---- numbers ----

// One number text: integers, short decimals, 17-digit doubles, scientific forms.
size_t make_number(Random& rng, char* out) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  char* p = out;
  if (rng.below(10) < 3) *p++ = '-';
  uint32_t form = rng.below(100);
  if (form < 25) {
    // Integer, mostly short, up to 19 digits.
    int digits = rng.one_in(5) ? 10 + static_cast<int>(rng.below(10)) : 1 + static_cast<int>(rng.below(9));
    p = put_random_digits(p, rng, digits, digits > 1);
  } else if (form < 50) {
    // Short decimal: 0.5, 12.75, 9999.125.
    p = put_uint(p, rng.below(rng.one_in(2) ? 100 : 10000));
    *p++ = '.';
    p = put_random_digits(p, rng, 1 + static_cast<int>(rng.below(3)), false);
  } else if (form < 70) {
    // A random double printed with 17 significant digits, in plain notation.
    double unit = static_cast<double>(rng.next() >> 11) * 0x1p-53;
    double v = unit * kPow10[rng.below(16)];
    if (v < 1e-4) v = 0.5;
    p = std::to_chars(p, p + 40, v, std::chars_format::general, 17).ptr;
  } else if (form < 90) {
    // Scientific: d.ddd with 1 to 17 significant digits, exponent -300 .. 300.
    int digits = 1 + static_cast<int>(rng.below(17));
    *p++ = static_cast<char>('1' + rng.below(9));
    if (digits > 1) {
      *p++ = '.';
      p = put_random_digits(p, rng, digits - 1, false);
    }
    *p++ = rng.one_in(4) ? 'E' : 'e';
    int exponent = static_cast<int>(rng.below(601)) - 300;
    if (exponent < 0) {
      *p++ = '-';
    } else if (rng.one_in(2)) {
      *p++ = '+';
    }
    p = put_uint(p, static_cast<uint64_t>(exponent < 0 ? -exponent : exponent));
  } else {
    // Integer mantissa with an exponent: 5e-7, 12E3.
    p = put_uint(p, 1 + rng.below(99));
    *p++ = rng.one_in(2) ? 'e' : 'E';
    if (rng.one_in(2)) *p++ = '-';
    p = put_uint(p, rng.below(40));
  }
  return static_cast<size_t>(p - out);
}

bool write_numbers(const std::string& dir, uint64_t count) {
  static Output out;
  if (!out.open(dir + "/numbers.txt")) return false;
  Random rng(kSeed ^ 0x6e756d62657273ull);
  char text[64];
  for (uint64_t i = 0; i < count; ++i) {
    size_t n = make_number(rng, text);
    text[n++] = '\n';
    out.put(std::string_view(text, n));
  }
  return out.close();
}

bool parse_count(const char* s, uint64_t* out) {
  const char* end = s + std::strlen(s);
  auto [ptr, ec] = std::from_chars(s, end, *out);
  return ec == std::errc() && ptr == end && *out > 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: gen_data [OUT_DIR] [--mb N] [--numbers N]\n"
               "  OUT_DIR      where the files go (default bench/data)\n"
               "  --mb N       size of rows.csv in MiB (default %llu)\n"
               "  --numbers N  lines of numbers.txt (default %llu)\n",
               static_cast<unsigned long long>(kDefaultMiB),
               static_cast<unsigned long long>(kDefaultNumbers));
  return 2;
}

uint64_t file_size_or_zero(const std::string& path) {
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "bench/data";
  uint64_t mib = kDefaultMiB;
  uint64_t numbers = kDefaultNumbers;
  bool have_dir = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--mb" && i + 1 < argc) {
      if (!parse_count(argv[++i], &mib)) return usage();
    } else if (arg == "--numbers" && i + 1 < argc) {
      if (!parse_count(argv[++i], &numbers)) return usage();
    } else if (!arg.empty() && arg[0] != '-' && !have_dir) {
      dir = argv[i];
      have_dir = true;
    } else {
      return usage();
    }
  }

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "gen_data: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }

  auto start = std::chrono::steady_clock::now();
  uint64_t rows = 0;
  if (!write_rows(dir, mib << 20, &rows)) return 1;
  if (!write_numbers(dir, numbers)) return 1;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (const char* name : {"rows.csv", "rows.jsonl", "rows_array.json", "numbers.txt"}) {
    std::string path = dir + "/" + name;
    std::printf("%-32s %12llu bytes\n", path.c_str(),
                static_cast<unsigned long long>(file_size_or_zero(path)));
  }
  std::printf("%llu rows, %llu numbers in %.1f s\n", static_cast<unsigned long long>(rows),
              static_cast<unsigned long long>(numbers), seconds);
  return 0;
}
