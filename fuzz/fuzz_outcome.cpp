// Fuzzes quelta_validate_outcome over CSV and JSON-row text in memory. The
// same bytes, written to a temporary file, are validated again through a path
// and must give the same answer or the same message; the streaming validator's
// batches over that file are the reference for the list of invalid rows, and
// the two result kinds must agree with each other.
//
// Input: one control byte (format, schema, whether a fixed header line comes
// first), then the text.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "input/decompress.h"
#include "platform/heap.h"
#include "quelta.h"

namespace {

std::string g_dir;

// Four fixed schemas over the columns a, b, c.
constexpr const char* kTypedSchema =
    R"({"a":{"type":"integer","required":true},"b":{"type":"float","min":-1.5,"max":100},)"
    R"("c":{"one_of":["x","y",""],"max_len":3}})";
const char* const kSchemas[4] = {
    "{}",
    kTypedSchema,
    R"({"c":{"type":"datetime"},"a":{"type":"boolean","min_len":4}})",
    R"({"b":{"type":"string","required":true,"min":0,"min_len":1,"max_len":2}})",
};

// The outcome, or "!" and the message.
std::string run(const char* input, size_t len, const char* schema, uint32_t input_kind,
                uint32_t result_kind) {
  char* text = quelta_validate_outcome(input, len, schema, input_kind, result_kind);
  if (!text) {
    const char* m = quelta_last_error();
    FUZZ_CHECK(m, "a failure without a message");
    return std::string("!") + m;
  }
  FUZZ_CHECK(!quelta_last_error(), "a message after success");
  std::string out(text);
  quelta_outcome_free(text);
  return out;
}

// The invalid rows as the outcome lists them, built from the streaming
// validator's batches: each batch row {"number":N,"values":..,"errors":[{"row":N,..
// loses its number and row members. Quotes inside strings are escaped, so the
// member texts cannot occur in a value. "!" and the condition on failure.
std::string invalid_rows_from_batches(const std::string& path, const char* schema) {
  Validator* v = quelta_validator_open(path.c_str(), schema);
  if (!v) {
    std::string m = quelta_last_error();
    return "!" + m.substr(m.find(": ") + 2);
  }
  std::string out = "[";
  std::string failure;
  for (;;) {
    Batch* b = nullptr;
    int32_t r = quelta_validator_next_batch(v, 3, 200, &b);
    if (r < 0) {
      std::string m = quelta_last_error();
      failure = "!" + m.substr(m.find(": ") + 2);
      break;
    }
    if (r == 0) break;
    size_t len = 0;
    const char* p = quelta_batch_json(b, &len);
    std::string text(p, len);
    quelta_batch_free(b);
    FUZZ_CHECK(text.size() > 2 && text.front() == '[' && text.back() == ']', "batch %s", text.c_str());
    // Split at the row objects: each starts with {"number":
    size_t pos = 1;
    while (pos < text.size() - 1) {
      FUZZ_CHECK(text.compare(pos, 10, "{\"number\":") == 0, "row at %zu of %s", pos, text.c_str());
      size_t next = text.find(",{\"number\":", pos);
      if (next == std::string::npos) next = text.size() - 1;
      std::string row = text.substr(pos, next - pos);
      pos = next + 1;
      if (row.find(",\"errors\":[") == std::string::npos) continue;
      std::string stripped = "{" + row.substr(row.find(",\"values\":") + 1);
      for (size_t at; (at = stripped.find("{\"row\":")) != std::string::npos;) {
        size_t comma = stripped.find(',', at);
        stripped.erase(at + 1, comma - at);
      }
      out.append(out.size() > 1 ? "," : "").append(stripped);
    }
  }
  quelta_validator_close(v);
  return failure.empty() ? out + "]" : failure;
}

void remove_dir() {
  unlink((g_dir + "/in.csv").c_str());
  unlink((g_dir + "/in.jsonl").c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/quelta-fuzz-outcome-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern), "cannot make a temporary folder");
  g_dir = pattern;
  std::atexit(remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 100000) return 0;
  const uint8_t control = data[0];
  const bool json = control & 1;
  const char* schema = kSchemas[control >> 1 & 3];
  std::string text;
  if (control & 8) text = json ? "{\"a\":\"1\",\"b\":\"2\",\"c\":\"x\"}\n" : "a,b,c\n";
  text.append(reinterpret_cast<const char*>(data + 1), size - 1);
  // A file that starts like a compressed one is decompressed; text in memory never is.
  if (quelta::compression_from_magic(reinterpret_cast<const uint8_t*>(text.data()), text.size()) !=
      quelta::Compression::None)
    return 0;
  const int64_t live = quelta::platform::heap_live_blocks();

  // An exact-size block: a read past its end is a heap overflow.
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size());
  const std::string path = g_dir + (json ? "/in.jsonl" : "/in.csv");
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f && std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fclose(f) == 0,
             "cannot write %s", path.c_str());

  std::string answers[2];
  for (uint32_t result : {0u, 1u}) {
    answers[result] = run(exact.get(), text.size(), schema, json ? 2 : 1, result);
    std::string by_path = run(path.c_str(), path.size(), schema, 0, result);
    FUZZ_CHECK(answers[result] == by_path, "memory %s\nfile   %s", answers[result].c_str(), by_path.c_str());
  }
  const std::string& all_valid = answers[0];
  const std::string& listed = answers[1];
  if (all_valid[0] != '!') FUZZ_CHECK(all_valid == "true" || all_valid == "false", "%s", all_valid.c_str());
  // Kind 1 reads everything kind 0 reads: when it succeeds, so does kind 0.
  if (listed[0] != '!') {
    FUZZ_CHECK(listed.front() == '[' && listed.back() == ']', "%s", listed.c_str());
    FUZZ_CHECK(all_valid == (listed == "[]" ? "true" : "false"), "%s vs %s", all_valid.c_str(),
               listed.c_str());
  }
  if (all_valid == "true") FUZZ_CHECK(listed == "[]", "true but %s", listed.c_str());

  const std::string reference = invalid_rows_from_batches(path, schema);
  if (listed[0] != '!') {
    FUZZ_CHECK(listed == reference, "outcome   %s\nreference %s", listed.c_str(), reference.c_str());
  } else if (listed != "!validate failed: InvalidUtf8") {
    // The same read or schema failure, unless the rows before it already hold
    // bytes that are not UTF-8 (the batches write them as arrays).
    std::string condition = listed.substr(listed.find(": ") + 2);
    FUZZ_CHECK(reference == "!" + condition, "outcome %s, reference %s", listed.c_str(), reference.c_str());
  }
  FUZZ_CHECK(quelta::platform::heap_live_blocks() == live, "leak");
  return 0;
}
