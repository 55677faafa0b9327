// Compressed input through the public header: every packing of every text
// kind reads as the plain file does, through every export family; empty
// payloads, concatenated members, zip layouts, damaged files, streams and
// allocation failures inside the decoders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "input/read_ahead.h"
#include "quelta.h"
#include "support/compress.h"
#include "support/fault.h"
#include "support/temp_dir.h"

namespace quelta::test {
namespace {

enum class Text { Csv, JsonLines, JsonArray };

struct TextKind {
  Text text;
  const char* name;  // the plain file's name: its suffix chooses the format
};
constexpr TextKind kTexts[] = {
    {Text::Csv, "rows.csv"}, {Text::JsonLines, "rows.jsonl"}, {Text::JsonArray, "rows.json"}};

// Enough rows to span several of the reader's 256 KiB chunks.
std::string make_text(Text t, size_t rows, size_t first = 0, bool header = true) {
  std::string s;
  if (t == Text::Csv && header) s = "id,name,price\n";
  if (t == Text::JsonArray) s = "[\n";
  for (size_t i = first; i < first + rows; ++i) {
    const std::string id = std::to_string(i), name = "name_" + std::to_string(i * 7919 % 100003);
    const std::string price = std::to_string(i % 997) + "." + std::to_string(i % 10);
    if (t == Text::Csv) {
      s += id + "," + name + "," + price + "\n";
    } else {
      if (t == Text::JsonArray && i > first) s += ",\n";
      s += R"({"id":")" + id + R"(","name":")" + name + R"(","price":)" + price + "}";
      if (t == Text::JsonLines) s += "\n";
    }
  }
  if (t == Text::JsonArray) s += "\n]\n";
  return s;
}

std::string error_text() {
  const char* e = quelta_last_error();
  return e ? e : "";
}

// Every row's fields joined, or the message of the first failure.
std::string read_all(const std::string& path, const ReadOptions* read = nullptr) {
  Scanner* s = quelta_open_with(path.c_str(), nullptr, read);
  if (!s) return "! " + error_text();
  std::string out;
  const char** fields = nullptr;
  size_t n = 0;
  int32_t got;
  while ((got = quelta_next(s, &fields, &n)) == 1) {
    for (size_t i = 0; i < n; ++i) out.append(fields[i]).push_back(i + 1 < n ? ',' : '\n');
  }
  if (got < 0) out = "! " + error_text();
  quelta_close(s);
  return out;
}

// quelta_count's answer, or the message of the failure.
std::string count_of(const std::string& path, const ReadOptions* read = nullptr) {
  Scanner* s = quelta_open_with(path.c_str(), nullptr, read);
  if (!s) return "! " + error_text();
  const int64_t n = quelta_count(s);
  std::string out = n < 0 ? "! " + error_text() : std::to_string(n);
  quelta_close(s);
  return out;
}

// Reads on after every failure, as a caller may: the failures met before the
// end, at most limit of them; -1 when the file does not open.
int failures_before_end(const std::string& path, int limit = 20) {
  Scanner* s = quelta_open(path.c_str(), nullptr);
  if (!s) return -1;
  int failures = 0;
  int32_t got;
  while ((got = quelta_next(s, nullptr, nullptr)) != 0 && failures < limit) failures += got < 0;
  quelta_close(s);
  return failures;
}

class CompressedInput : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(CompressedInput, EveryPackingOfEveryTextReadsAsThePlainFile) {
  for (const TextKind& t : kTexts) {
    const std::string text = make_text(t.text, 12000);
    const std::string plain = dir.write(t.name, text);
    const std::string want_rows = read_all(plain), want_count = count_of(plain);
    ASSERT_EQ(want_count, "12000") << t.name;
    for (Packing p : kAllPackings) {
      const std::string path = dir.write(std::string(t.name) + packing_suffix(p), pack(p, text));
      SCOPED_TRACE(path);
      EXPECT_EQ(count_of(path), want_count);
      EXPECT_TRUE(read_all(path) == want_rows);
    }
  }
}

TEST_F(CompressedInput, AnEmptyPayloadIsAnEmptyFile) {
  std::vector<std::pair<std::string, std::string>> files;
  for (Packing p : kAllPackings) files.push_back({packing_name(p), pack(p, "")});
  files.push_back({"zip without members", zip_archive({})});
  for (const auto& [what, bytes] : files) {
    for (const TextKind& t : kTexts) {
      const std::string path = dir.write(std::string(t.name) + ".packed", bytes);
      EXPECT_EQ(count_of(path), "! open failed: EmptyFile") << what << " " << t.name;
    }
  }
}

TEST_F(CompressedInput, ConcatenatedMembersFramesAndStreamsReadOnAfterEachOther) {
  const std::string first = make_text(Text::Csv, 9000), second = make_text(Text::Csv, 5000, 9000, false);
  const std::string want = read_all(dir.write("whole.csv", first + second));
  for (Packing p : {Packing::Gzip, Packing::Zstd, Packing::Bzip2, Packing::Xz}) {
    const std::string path =
        dir.write(std::string("two.csv") + packing_suffix(p), pack(p, first) + pack(p, second));
    SCOPED_TRACE(path);
    EXPECT_EQ(count_of(path), "14000");
    EXPECT_TRUE(read_all(path) == want);
    // An empty member in between changes nothing.
    const std::string with_empty = dir.write(std::string("three.csv") + packing_suffix(p),
                                             pack(p, first) + pack(p, "") + pack(p, second));
    EXPECT_EQ(count_of(with_empty), "14000");
  }
}

TEST_F(CompressedInput, ZipLayouts) {
  const std::string text = make_text(Text::Csv, 3000);
  const std::string want = count_of(dir.write("plain.csv", text));
  const struct {
    const char* what;
    std::string bytes;
    std::string expect;
  } cases[] = {
      {"deflated", zip_archive({{"a.csv", text}}), want},
      {"stored", zip_archive({{"a.csv", text}}, true), want},
      {"deflated, sizes after the data", zip_archive({{"a.csv", text}}, false, true), want},
      // A stored member whose size comes only after it has no end to find in a stream.
      {"stored, sizes after the data", zip_archive({{"a.csv", text}}, true, true),
       "! open failed: UnsupportedZipEntry"},
      {"two members", zip_archive({{"a.csv", text}, {"b.csv", text}}), "! open failed: SeveralZipMembers"},
      {"an empty member", zip_archive({{"a.csv", ""}}), "! open failed: EmptyFile"},
  };
  for (const auto& c : cases) EXPECT_EQ(count_of(dir.write("x.zip", c.bytes)), c.expect) << c.what;
}

TEST_F(CompressedInput, DamagedFilesEndInAConditionNeverInRows) {
  const std::string text = make_text(Text::JsonLines, 6000);
  for (Packing p : kAllPackings) {
    const std::string whole = pack(p, text);
    // A zip member's data ends where the archive's directory starts.
    const size_t member_end = p == Packing::Zip ? whole.rfind("PK\x01\x02") : whole.size();
    struct Damage {
      std::string what;
      std::string bytes;
      const char* condition;
    };
    std::vector<Damage> damages = {
        {"cut in half", whole.substr(0, whole.size() / 2), "TruncatedInput"},
        {"cut before the last byte of the data", whole.substr(0, member_end - 1), "TruncatedInput"},
        {"cut after the first bytes", whole.substr(0, 12), "TruncatedInput"},
    };
    std::string flipped = whole;
    flipped[whole.size() / 2] = static_cast<char>(flipped[whole.size() / 2] ^ 0x5A);
    damages.push_back({"a byte changed", flipped, "CorruptInput"});
    std::string trailing = whole + "garbage after the end";
    if (p != Packing::Zip) damages.push_back({"bytes after the end", trailing, "CorruptInput"});
    for (const Damage& d : damages) {
      const std::string path = dir.write(std::string("rows.jsonl") + packing_suffix(p), d.bytes);
      const std::string got = count_of(path);
      SCOPED_TRACE(std::string(packing_name(p)) + ": " + d.what);
      ASSERT_EQ(got.rfind("! ", 0), 0u) << got;
      // A change inside the data may also read as an early end, and the reverse.
      if (d.what == "a byte changed")
        EXPECT_TRUE(got.find("CorruptInput") != std::string::npos ||
                    got.find("TruncatedInput") != std::string::npos)
            << got;
      else
        EXPECT_NE(got.find(d.condition), std::string::npos) << got;
      const std::string rows = read_all(path);
      EXPECT_EQ(rows.rfind("! ", 0), 0u) << "rows read without a failure";
      // A stream cut short or followed by garbage cannot be read past that
      // point: one failure, then the end (or no open at all when nothing
      // before it can be read), whether a thread
      // decompresses ahead or the reader does. A changed byte may instead
      // garble lines, each a failure of its own.
      if (d.what == "a byte changed") continue;
      for (bool ahead : {true, false}) {
        read_ahead_use(ahead);
        const int failures = failures_before_end(path);
        EXPECT_LE(failures, 1) << (ahead ? "read ahead" : "read in turn");
      }
      read_ahead_use(true);
    }
  }
  // A zstd frame whose raw block claims more bytes than follow (found by
  // fuzzing): two rows, then TruncatedInput, then the end.
  const std::string cut_block(
      "\x28\xb5\x2f\xfd\0\0\0\0\0\0\x10\0"
      "2,\"q\0\0\0\0\"\"q\",z\n2,4w\n",
      32);
  const std::string path = dir.write("cut_block.csv", cut_block);
  for (bool ahead : {true, false}) {
    read_ahead_use(ahead);
    EXPECT_EQ(failures_before_end(path), 1) << (ahead ? "read ahead" : "read in turn");
  }
  read_ahead_use(true);
}

TEST_F(CompressedInput, EveryExportFamilyReadsThroughTheDecompression) {
  const char* kSchema = R"({"id":{"required":true},"price":{"type":"float","max":500}})";
  // One figure per family, as text, for a path.
  auto families = [&](const std::string& path) {
    std::vector<std::string> out;
    out.push_back(count_of(path));
    Scanner* s = quelta_open(path.c_str(), nullptr);
    if (!s) return std::vector<std::string>{"! " + error_text()};
    AggregateResult agg{};
    out.push_back(quelta_aggregate(s, 2, &agg) == 0
                      ? std::to_string(agg.count) + " " + std::to_string(agg.sum)
                      : "! " + error_text());
    quelta_close(s);
    s = quelta_open(path.c_str(), nullptr);
    TopkContext* top = quelta_topk(s, 2, 3, 1);
    const char** fields = nullptr;
    size_t n = 0;
    double key = 0;
    std::string best;
    while (top && quelta_topk_next(top, &fields, &n, &key) == 1) best += std::string(fields[0]) + " ";
    out.push_back(top ? best : "! " + error_text());
    quelta_topk_close(top);
    quelta_close(s);
    s = quelta_open(path.c_str(), nullptr);
    OrderByContext* order = quelta_order_by(s, 0, 1);
    out.push_back(order && quelta_order_by_next(order, &fields, &n) == 1 ? fields[0] : "! " + error_text());
    quelta_order_by_close(order);
    quelta_close(s);
    s = quelta_open(path.c_str(), nullptr);
    CollectContext* all = quelta_collect(s);
    out.push_back(all ? std::to_string(quelta_collect_n_rows(all)) : "! " + error_text());
    quelta_collect_close(all);
    quelta_close(s);
    s = quelta_open(path.c_str(), nullptr);
    ColumnarCollectContext* columns = quelta_collect_columnar(s);
    out.push_back(columns ? std::to_string(quelta_collect_columnar_n_rows(columns)) : "! " + error_text());
    quelta_collect_columnar_close(columns);
    quelta_close(s);
    columns = quelta_parallel_collect_columnar(path.c_str(), ',', nullptr, 0, 0, 2);
    out.push_back(columns ? std::to_string(quelta_collect_columnar_n_rows(columns)) : "! " + error_text());
    quelta_collect_columnar_close(columns);
    ValidationReport* report = quelta_validate(path.c_str(), kSchema, 5);
    out.push_back(report ? quelta_validate_json(report) : "! " + error_text());
    quelta_validate_free(report);
    Validator* v = quelta_validator_open(path.c_str(), kSchema);
    while (v && quelta_validator_next(v, &fields, &n, nullptr, nullptr) == 1) {
    }
    out.push_back(v ? std::to_string(quelta_validator_rows_invalid(v)) : "! " + error_text());
    quelta_validator_close(v);
    ValidationStats stats{};
    const std::string valid = path + ".valid.csv", invalid = path + ".invalid.jsonl";
    const int32_t r = quelta_validate_to_files(path.c_str(), kSchema, valid.c_str(), invalid.c_str(), &stats);
    out.push_back(r == 0 ? std::to_string(stats.rows_valid) + "/" + std::to_string(stats.rows_invalid)
                         : "! " + error_text());
    std::remove(valid.c_str());
    std::remove(invalid.c_str());
    return out;
  };
  for (const TextKind& t : kTexts) {
    const std::string text = make_text(t.text, 4000);
    const std::vector<std::string> want = families(dir.write(t.name, text));
    ASSERT_EQ(want.size(), 10u);
    for (const std::string& w : want) ASSERT_NE(w.rfind("! ", 0), 0u) << t.name << ": " << w;
    for (Packing p : {Packing::Gzip, Packing::Zstd, Packing::Zip}) {
      const std::string path = dir.write(std::string(t.name) + packing_suffix(p), pack(p, text));
      EXPECT_EQ(families(path), want) << path;
    }
  }
}

TEST_F(CompressedInput, TextDecodingFollowsTheDecompression) {
  // Latin-1 with lone CR line ends, long enough to span several chunks.
  std::string text = "name,city\r";
  for (int i = 0; i < 40000; ++i) text += "Jos\xe9 " + std::to_string(i) + ",K\xf6ln\r";
  ReadOptions read{};
  read.size = sizeof read;
  read.encoding = QUELTA_ENCODING_LATIN1;
  read.line_ends = QUELTA_LINE_ENDS_ANY;
  const std::string want = read_all(dir.write("plain.csv", text), &read);
  ASSERT_NE(want.find("Jos\xc3\xa9 39999,K\xc3\xb6ln\n"), std::string::npos);
  for (Packing p : kAllPackings) {
    const std::string path = dir.write(std::string("latin.csv") + packing_suffix(p), pack(p, text));
    EXPECT_TRUE(read_all(path, &read) == want) << path;
    EXPECT_EQ(count_of(path, &read), "40000") << path;
  }
}

// A FIFO fed by a writer thread, so a stream reaches the library.
class Fifo {
 public:
  Fifo(const TempDir& dir, const std::string& bytes, const char* name = "fifo")
      : path_((dir.path() / name).string()) {
    std::signal(SIGPIPE, SIG_IGN);  // the reader may stop early: the writer sees EPIPE instead
    if (::mkfifo(path_.c_str(), 0600) != 0) std::abort();
    writer_ = std::thread([this, bytes] {
      const int fd = ::open(path_.c_str(), O_WRONLY);
      if (fd < 0) return;
      size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      ::close(fd);
    });
  }
  ~Fifo() {
    writer_.join();
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::thread writer_;
};

TEST_F(CompressedInput, StreamsAreReadWhenTheReadOptionsAdmitThem) {
  ReadOptions stream{};
  stream.size = sizeof stream;
  stream.stream = 1;
  const std::string text = make_text(Text::Csv, 20000);
  const std::string want = read_all(dir.write("plain.csv", text));
  for (const std::string& bytes : {text, pack(Packing::Gzip, text), pack(Packing::Zstd, text)}) {
    {
      Fifo fifo(dir, bytes);
      EXPECT_TRUE(read_all(fifo.path(), &stream) == want);
    }
    {
      Fifo fifo(dir, bytes);
      ValidationReport* report =
          quelta_validate_with(fifo.path().c_str(), R"({"id":{"required":true}})", 1, &stream);
      ASSERT_TRUE(report) << error_text();
      EXPECT_NE(std::string(quelta_validate_json(report)).find(R"("rows_total":20000)"), std::string::npos);
      quelta_validate_free(report);
    }
  }
  {
    const std::string packed = pack(Packing::Bzip2, text);
    Fifo fifo(dir, packed);
    Validator* v = quelta_validator_open_with(fifo.path().c_str(), R"({"id":{"required":true}})", &stream);
    ASSERT_TRUE(v) << error_text();
    const char** fields = nullptr;
    size_t n = 0;
    while (quelta_validator_next(v, &fields, &n, nullptr, nullptr) == 1) {
    }
    EXPECT_EQ(quelta_validator_rows_valid(v), 20000u);
    quelta_validator_close(v);
    Fifo again(dir, packed, "fifo2");
    ValidationStats stats{};
    const std::string valid = (dir.path() / "valid.csv").string(),
                      invalid = (dir.path() / "bad.jsonl").string();
    ASSERT_EQ(quelta_validate_to_files_with(again.path().c_str(), R"({"id":{"required":true}})",
                                            valid.c_str(), invalid.c_str(), &stats, &stream),
              0)
        << error_text();
    EXPECT_EQ(stats.rows_valid, 20000u);
  }
  {
    Fifo fifo(dir, "");
    EXPECT_EQ(count_of(fifo.path(), &stream), "! open failed: EmptyFile");
  }
  {
    // Through a stream a second zip member shows only when the reader reaches it.
    Fifo fifo(dir, zip_archive({{"a.csv", text}, {"b.csv", text}}));
    EXPECT_EQ(count_of(fifo.path(), &stream), "! count failed: SeveralZipMembers");
  }
  // Without the option, and in the parallel collect, a FIFO stays refused (the
  // open does not wait for a writer).
  const std::string lone = (dir.path() / "lone").string();
  ASSERT_EQ(::mkfifo(lone.c_str(), 0600), 0);
  EXPECT_EQ(count_of(lone), "! open failed: NotRegularFile");
  EXPECT_FALSE(quelta_parallel_collect_columnar_with(lone.c_str(), nullptr, 0, 0, 2, &stream));
  EXPECT_NE(error_text().find("NotRegularFile"), std::string::npos) << error_text();
  // A character device is a stream too: /dev/null reads as an empty input.
  EXPECT_EQ(count_of("/dev/null", &stream), "! open failed: EmptyFile");
  EXPECT_EQ(count_of("/dev/null"), "! open failed: NotRegularFile");
}

TEST_F(CompressedInput, AllocationFailuresInTheDecodersAreReported) {
  const std::string text = make_text(Text::Csv, 300);
  for (Packing p : kAllPackings) {
    const std::string path = dir.write(std::string("rows.csv") + packing_suffix(p), pack(p, text));
    SCOPED_TRACE(packing_name(p));
    sweep_allocation_failures([&] {
      const std::string got = count_of(path);
      if (got == "6000") std::system(("cp " + path + " /tmp/zb/bad.zip").c_str());
      if (got == "300") return false;
      EXPECT_TRUE(got == "! open failed: OutOfMemory" || got == "! count failed: OutOfMemory" ||
                  got == "! out of memory allocating scanner context" ||
                  got == "! out of memory allocating header")
          << got;
      return true;
    });
  }
}

}  // namespace
}  // namespace quelta::test
