// The JSON writer's strings, byte arrays, integers and punctuation, on a memory
// sink and on a small draining sink, including sink failures part-way.
#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "platform/heap.h"
#include "util/utf8.h"

namespace quelta {
namespace {

std::string text_of(const MemorySink& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

// The writer's output as the rules state it, byte by byte.
std::string reference_json(const std::string& s) {
  std::string out;
  if (!is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size())) {
    for (unsigned char c : s) {
      out += out.empty() ? '[' : ',';
      out += std::to_string(c);
    }
    return out.empty() ? "[]" : out + "]";
  }
  out.push_back('"');
  static const std::map<unsigned char, std::string> kNamed = {{'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"},
                                                              {'\t', "\\t"}, {'\n', "\\n"},  {'\f', "\\f"},
                                                              {'\r', "\\r"}};
  for (unsigned char c : s) {
    char u[8];
    std::snprintf(u, sizeof u, "\\u%04x", c);
    out += kNamed.count(c) ? kNamed.at(c) : c < 0x20 ? std::string(u) : std::string(1, static_cast<char>(c));
  }
  return out + "\"";
}

// A sink with a fixed window of kMaxReserve bytes that drains into a string, as
// a buffered file does; it fails with NoSpaceLeft once draining would pass budget.
class DrainSink final : public OutputSink {
 public:
  explicit DrainSink(size_t budget = SIZE_MAX) : OutputSink(drain, nullptr), budget_(budget) {
    reset_window();
  }
  std::string text() const {
    return out_ + std::string(reinterpret_cast<const char*>(window_), pos_ - window_);
  }

 private:
  static Error drain(OutputSink& sink, size_t n) {
    DrainSink& self = static_cast<DrainSink&>(sink);
    EXPECT_LE(n, kMaxReserve);
    const size_t pending = static_cast<size_t>(self.pos_ - self.window_);
    if (self.out_.size() + pending > self.budget_) return Error::NoSpaceLeft;
    self.out_.append(reinterpret_cast<const char*>(self.window_), pending);
    self.reset_window();
    return Error::None;
  }
  void reset_window() { pos_ = window_, end_ = window_ + kMaxReserve; }

  uint8_t window_[kMaxReserve];
  std::string out_;
  size_t budget_;
};

std::string written(const std::string& s) {
  MemorySink sink;
  JsonWriter w(sink);
  EXPECT_EQ(w.string_value(s), Error::None);
  return text_of(sink);
}

TEST(JsonWriterTest, StringsAndByteArrays) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"a\tb", R"("a\tb")"},
      {"\x01", R"("\u0001")"},
      {"\x1f", R"("\u001f")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\"\\\b\f\n\r", R"("\"\\\b\f\n\r")"},
      {"\x7f \x20~", "\"\x7f  ~\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xc3\x28", "[195,40]"},
      {"\xed\xa0\x80", "[237,160,128]"},
      {std::string("\xff\0\x09\x63", 4), "[255,0,9,99]"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(written(in), out) << testing::PrintToString(in);
}

// Each byte needing an escape, or making the text not ASCII, at every position
// of texts up to 40 bytes long: every place in the one-word check of short
// texts, the eight-byte steps and the overlapping tail.
TEST(JsonWriterTest, EscapeAtEveryPosition) {
  for (char escaped : {'"', '\\', '\0', '\x1f', '\n', '\x80', '\xff'})
    for (size_t len = 1; len <= 40; ++len)
      for (size_t at = 0; at < len; ++at) {
        std::string s(len, 'x');
        s[at] = escaped;
        if (at + 1 < len) s[len - 1] = '\x7f';  // the top ASCII byte must not count as a hit
        ASSERT_EQ(written(s), reference_json(s)) << len << " " << at;
      }
}

TEST(JsonWriterTest, Integers) {
  const std::pair<uint64_t, const char*> cases[] = {{0, "0"},
                                                    {7, "7"},
                                                    {10, "10"},
                                                    {99, "99"},
                                                    {100, "100"},
                                                    {1000000, "1000000"},
                                                    {10000000000000000000u, "10000000000000000000"},
                                                    {UINT64_MAX, "18446744073709551615"}};
  for (const auto& [v, text] : cases) {
    MemorySink sink;
    ASSERT_EQ(write_integer(sink, v), Error::None);
    EXPECT_EQ(text_of(sink), text);
  }
}

TEST(JsonWriterTest, Punctuation) {
  MemorySink sink;
  JsonWriter w(sink);
  ASSERT_EQ(w.begin_array(), Error::None);
  ASSERT_EQ(w.string_value("a"), Error::None);
  ASSERT_EQ(w.integer_value(1), Error::None);
  ASSERT_EQ(w.begin_array(), Error::None);
  EXPECT_EQ(w.depth, 2u);
  ASSERT_EQ(w.end_array(), Error::None);
  ASSERT_EQ(w.string_value("\xc3"), Error::None);  // a byte array counts as one value
  ASSERT_EQ(w.integer_value(2), Error::None);
  ASSERT_EQ(w.end_array(), Error::None);
  EXPECT_EQ(w.depth, 0u);
  // A key and the caller's own separator between fields.
  ASSERT_EQ(sink.write(R"(,{"k")"), Error::None);
  w.next = JsonNext::Colon;
  ASSERT_EQ(w.string_value("v"), Error::None);
  ASSERT_EQ(sink.write("},"), Error::None);
  w.next = JsonNext::None;
  ASSERT_EQ(w.integer_value(3), Error::None);
  EXPECT_EQ(text_of(sink), R"(["a",1,[],[195],2],{"k":"v"},3)");
}

// A mixed document written through the small window matches the memory sink, and
// with every smaller budget fails with the sink's condition after a prefix of it.
TEST(JsonWriterTest, DrainingSinkAndItsFailures) {
  std::mt19937 rng(7);
  const char alphabet[] = "ab\"\\\x01\n\x7f\xc3\xa9\xe2\x82\xac\xff";
  auto write_all = [&](OutputSink& sink) {
    std::mt19937 r(11);
    JsonWriter w(sink);
    for (int i = 0; i < 300; ++i) {
      std::string s(r() % 90, ' ');
      for (char& c : s) c = alphabet[r() % (sizeof alphabet - 1)];
      if (Error e = w.string_value(s); failed(e)) return e;
      if (Error e = w.integer_value(uint64_t{r()} << (r() % 32)); failed(e)) return e;
      if (Error e = sink.write_repeat('-', r() % 150); failed(e)) return e;
    }
    return Error::None;
  };
  MemorySink memory;
  ASSERT_EQ(write_all(memory), Error::None);
  const std::string full = text_of(memory);
  DrainSink drain;
  ASSERT_EQ(write_all(drain), Error::None);
  EXPECT_EQ(drain.text(), full);
  for (size_t budget = 0; budget < full.size(); budget += 1 + rng() % 200) {
    DrainSink limited(budget);
    ASSERT_EQ(write_all(limited), Error::NoSpaceLeft) << budget;
    const std::string part = limited.text();
    ASSERT_EQ(part, full.substr(0, part.size())) << budget;
  }
}

// Making each allocation fail in turn gives OutOfMemory after a correct prefix,
// and releasing the sink frees everything.
TEST(JsonWriterTest, MemorySinkOutOfMemory) {
  const std::string field(100, 'q');
  auto write_all = [&](JsonWriter& w) {
    for (int i = 0; i < 200; ++i) {
      if (Error e = w.string_value(field); failed(e)) return e;
      if (Error e = w.string_value("\xc3\x28"); failed(e)) return e;
      if (Error e = w.integer_value(UINT64_MAX); failed(e)) return e;
    }
    return Error::None;
  };
  MemorySink reference;
  JsonWriter rw(reference);
  ASSERT_EQ(write_all(rw), Error::None);
  const std::string full = text_of(reference);

  const int64_t live = platform::heap_live_blocks();
  int failures = 0;
  for (uint64_t n = 1;; ++n) {
    Error e;
    {
      MemorySink sink;
      JsonWriter w(sink);
      platform::heap_fail_at(n);
      e = write_all(w);
      platform::heap_fail_at(0);
      ASSERT_TRUE(e == Error::None || e == Error::OutOfMemory);
      ASSERT_EQ(text_of(sink), full.substr(0, sink.size())) << n;
      if (e == Error::None) {
        ByteBuffer taken = sink.take();
        EXPECT_EQ(taken.len, full.size());
        EXPECT_EQ(sink.size(), 0u);
        taken.release();
      }
    }
    EXPECT_EQ(platform::heap_live_blocks(), live) << n;
    if (e == Error::None) break;
    ++failures;
  }
  EXPECT_GT(failures, 5);
}

}  // namespace
}  // namespace quelta
