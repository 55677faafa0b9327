// Fuzzes the JSON row reader over memory, in both framings, and the object
// parser on its own. Rows are checked against plain models: the record framing,
// the ordered fast path, and a strict JSON parser (whatever strict JSON accepts,
// the library must read the same way; what it rejects the library may read
// laxly). The reader runs with the full buffer and again with a chunk of a few
// bytes, under different byte-search levels.
//
// Input: [chunk] [max_column] [level] then the JSON text.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/json_rows.h"
#include "util/byte_search.h"

using namespace quelta;
using fuzz::text_of;

namespace {

// ---- strict reference parser ----------------------------------------------

struct RefMember {
  std::string key;
  JsonKind kind = JsonKind::Null;
  bool truth = false;
  std::string value;  // unescaped string, the word as written, or the raw nested text
};

class StrictParser {
 public:
  explicit StrictParser(const std::string& s) : s_(s) {}

  // White space, one object, white space, nothing else.
  bool record(std::vector<RefMember>* members) {
    ws();
    if (!object(members, 0)) return false;
    ws();
    return i_ == s_.size();
  }

 private:
  bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool digits() {
    size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }
  bool number() {
    if (at('-')) ++i_;
    if (at('0')) {
      ++i_;
    } else if (!digits()) {
      return false;
    }
    if (at('.')) {
      ++i_;
      if (!digits()) return false;
    }
    if (at('e') || at('E')) {
      ++i_;
      if (at('+') || at('-')) ++i_;
      if (!digits()) return false;
    }
    return true;
  }
  bool word(const char* w) {
    size_t n = std::strlen(w);
    if (s_.compare(i_, n, w) != 0) return false;
    i_ += n;
    return true;
  }
  bool object(std::vector<RefMember>* members, int depth) {
    if (depth > 100 || !at('{')) return false;
    ++i_;
    ws();
    if (at('}')) {
      ++i_;
      return true;
    }
    for (;;) {
      ws();
      RefMember m;
      if (!fuzz::read_json_string(s_, &i_, &m.key)) return false;
      ws();
      if (!at(':')) return false;
      ++i_;
      ws();
      if (!value(&m, depth)) return false;
      if (members) members->push_back(m);
      ws();
      if (at(',')) {
        ++i_;
        continue;
      }
      if (!at('}')) return false;
      ++i_;
      return true;
    }
  }
  bool array(int depth) {
    if (depth > 100 || !at('[')) return false;
    ++i_;
    ws();
    if (at(']')) {
      ++i_;
      return true;
    }
    for (;;) {
      ws();
      RefMember ignored;
      if (!value(&ignored, depth)) return false;
      ws();
      if (at(',')) {
        ++i_;
        continue;
      }
      if (!at(']')) return false;
      ++i_;
      return true;
    }
  }
  bool value(RefMember* m, int depth) {
    const size_t start = i_;
    if (at('"')) {
      m->kind = JsonKind::String;
      return fuzz::read_json_string(s_, &i_, &m->value);
    }
    if (at('{') || at('[')) {
      m->kind = at('{') ? JsonKind::Object : JsonKind::Array;
      if (!(at('{') ? object(nullptr, depth + 1) : array(depth + 1))) return false;
      m->value = s_.substr(start, i_ - start);
      return true;
    }
    if (word("true") || word("false")) {
      m->kind = JsonKind::Bool;
      m->truth = s_[start] == 't';
    } else if (word("null")) {
      m->kind = JsonKind::Null;
    } else if (number()) {
      m->kind = JsonKind::Bare;
    } else {
      return false;
    }
    m->value = s_.substr(start, i_ - start);
    return true;
  }

  const std::string& s_;
  size_t i_ = 0;
};

size_t structural_count(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c == '{' || c == '}' || c == '[' || c == ']' || c == '"' || c == ':' || c == ',';
  return n;
}

// The parser's answer is settled when strict JSON accepts the record and it
// has fewer structural bytes than the token limit.
bool strict_members(const std::string& record, std::vector<RefMember>* members) {
  members->clear();
  return structural_count(record) < kMaxJsonTokens && StrictParser(record).record(members);
}

// ---- the object parser on its own --------------------------------------------

struct ParseResult {
  Error error;
  std::vector<RefMember> members;
};

ParseResult parse_and_check(const std::string& record) {
  JsonParser parser;
  // A block of exactly the record's size, so any read past it is caught.
  const std::vector<uint8_t> bytes(record.begin(), record.end());
  const uint8_t* p = bytes.empty() ? nullptr : bytes.data();
  ParseResult out;
  out.error = parse_object(&parser, FieldView{p, record.size()});
  if (!failed(out.error)) {
    const uint8_t* scratch_end = parser.scratch.data ? parser.scratch.data + parser.scratch.len : nullptr;
    FUZZ_CHECK(parser.scratch.len <= record.size(), "unescaped texts longer than the record");
    for (size_t i = 0; i < parser.members.len; ++i) {
      const JsonMember& m = parser.members[i];
      for (FieldView v : {m.key, m.value}) {
        bool inside = fuzz::view_within(v, p, p + record.size()) ||
                      fuzz::view_within(v, parser.scratch.data, scratch_end) || (v.len == 0 && !v.ptr);
        FUZZ_CHECK(inside, "member %zu: a view lies outside the record and the scratch buffer", i);
      }
      RefMember r;
      r.key = text_of(m.key);
      r.kind = m.kind;
      r.truth = m.truth;
      r.value = text_of(m.value);
      out.members.push_back(r);
    }
  }
  json_parser_release(&parser);
  return out;
}

void check_members_equal(const std::vector<RefMember>& got, const std::vector<RefMember>& want,
                         const char* what) {
  FUZZ_CHECK(got.size() == want.size(), "%s: %zu members, want %zu", what, got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].key == want[i].key, "%s: member %zu key '%s', want '%s'", what, i,
               fuzz::escaped(got[i].key).c_str(), fuzz::escaped(want[i].key).c_str());
    FUZZ_CHECK(got[i].kind == want[i].kind, "%s: member %zu kind %d, want %d", what, i, int(got[i].kind),
               int(want[i].kind));
    if (want[i].kind == JsonKind::Bool)
      FUZZ_CHECK(got[i].truth == want[i].truth, "%s: member %zu truth", what, i);
    if (want[i].kind != JsonKind::Null)
      FUZZ_CHECK(got[i].value == want[i].value, "%s: member %zu value '%s', want '%s'", what, i,
                 fuzz::escaped(got[i].value).c_str(), fuzz::escaped(want[i].value).c_str());
  }
}

void check_parser(const std::string& record, SimdLevel level) {
  byte_search_use(SimdLevel::Scalar);
  ParseResult scalar = parse_and_check(record);
  byte_search_use(level);
  ParseResult vector = parse_and_check(record);
  FUZZ_CHECK(scalar.error == vector.error, "parse_object: %s with scalar searches, %s with level %d",
             error_name(scalar.error), error_name(vector.error), int(level));
  if (!failed(scalar.error)) check_members_equal(vector.members, scalar.members, "byte-search levels");

  std::vector<RefMember> want;
  const size_t first_structural = record.find_first_of("{}[]\":,");
  if (structural_count(record) >= kMaxJsonTokens && record[first_structural] == '{') {
    FUZZ_CHECK(scalar.error == Error::TooManyTokens, "parse_object: %s, want TooManyTokens",
               error_name(scalar.error));
  } else if (strict_members(record, &want)) {
    FUZZ_CHECK(!failed(scalar.error), "parse_object refused strict JSON: %s", error_name(scalar.error));
    check_members_equal(scalar.members, want, "parse_object against strict JSON");
  }
}

// ---- models of framing, fast path and row mapping -------------------------

bool has_bom(const uint8_t* p, size_t n) { return n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Framing {
  std::vector<std::string> records;
  bool ends_inside_object = false;
};

Framing model_framing(const uint8_t* p, size_t n, bool array_mode) {
  Framing f;
  if (!array_mode) {
    size_t start = has_bom(p, n) ? 3 : 0;
    while (start < n) {
      size_t end = start;
      while (end < n && p[end] != '\n') ++end;
      std::string line(reinterpret_cast<const char*>(p + start), end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      f.records.push_back(line);
      start = end + 1;
    }
    return f;
  }
  bool in_object = false, in_string = false, escape = false;
  size_t depth = 0, start = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = p[i];
    if (!in_object) {
      if (c == ']') return f;
      if (c == '{') in_object = true, depth = 1, start = i, in_string = escape = false;
      continue;
    }
    if (in_string) {
      if (escape)
        escape = false;
      else if (c == '\\')
        escape = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      f.records.emplace_back(reinterpret_cast<const char*>(p + start), i + 1 - start);
      in_object = false;
    }
  }
  f.ends_inside_object = in_object;
  return f;
}

// The ordered fast path as the rules state it.
bool model_fast_path(const std::string& r, const std::vector<std::string>& names, size_t fields_per_row,
                     std::vector<std::string>* row) {
  const size_t n = r.size();
  size_t i = r.find('{');
  if (i == std::string::npos) return false;
  ++i;
  row->assign(fields_per_row, std::string());
  for (size_t j = 0; j < fields_per_row; ++j) {
    while (i < n && (r[i] == ' ' || r[i] == ',')) ++i;
    if (i >= n || r[i] != '"') return false;
    ++i;
    size_t k = r.find_first_of("\"\\", i);
    if (k == std::string::npos || r[k] == '\\' || r.compare(i, k - i, names[j]) != 0 ||
        k - i != names[j].size())
      return false;
    i = k + 1;
    while (i < n && r[i] == ' ') ++i;
    if (i >= n || r[i] != ':') return false;
    ++i;
    while (i < n && is_blank(r[i])) ++i;
    if (i >= n) return false;
    if (r[i] == '"') {
      ++i;
      k = r.find_first_of("\"\\", i);
      if (k == std::string::npos || r[k] == '\\') return false;
      (*row)[j] = r.substr(i, k - i);
      i = k + 1;
    } else if (r[i] == '{' || r[i] == '[') {
      return false;
    } else {
      // A bare word, trimmed; null is empty. Blanks inside a word, or other
      // JSON punctuation in it, leave the record to the general parser.
      size_t start = i;
      while (i < n && r[i] != ',' && r[i] != '}' && !is_blank(r[i])) {
        if (std::string(":\"[]{").find(r[i]) != std::string::npos) return false;
        ++i;
      }
      const size_t end = i;
      while (i < n && is_blank(r[i])) ++i;
      if (end == start || (i < n && r[i] != ',' && r[i] != '}')) return false;
      const std::string word = r.substr(start, end - start);
      (*row)[j] = word == "null" ? std::string() : word;
    }
  }
  while (i < n && (r[i] == ' ' || r[i] == '\t')) ++i;
  if (i >= n) return false;
  if (r[i] == '}') return true;
  if (r[i] != ',') return false;
  size_t last = r.find_last_not_of(" \t\n\r");
  return last != std::string::npos && r[last] == '}';
}

// What one record must give: an exact row, an exact condition, or (for text
// that strict JSON refuses and the fast path does not take) anything lax.
struct Expected {
  enum Kind { Row, Fail, Lax } kind = Lax;
  std::vector<std::string> row;
  Error error = Error::None;
};

Expected model_row(const std::string& record, const std::vector<std::string>& names, size_t fields_per_row) {
  Expected x;
  if (model_fast_path(record, names, fields_per_row, &x.row)) {
    x.kind = Expected::Row;
    return x;
  }
  std::vector<RefMember> members;
  if (structural_count(record) >= kMaxJsonTokens) {
    x.kind = Expected::Fail;
    x.error = Error::InvalidJsonRow;
    return x;
  }
  if (!strict_members(record, &members)) return x;
  std::vector<std::string> row(names.size());
  for (size_t p = 0; p < members.size(); ++p) {
    const RefMember& m = members[p];
    size_t col = SIZE_MAX;
    if (p < names.size() && names[p] == m.key) {
      col = p;
    } else {
      for (size_t c = 0; c < names.size(); ++c)
        if (names[c] == m.key) col = c;  // the last column of that name
    }
    if (col == SIZE_MAX) continue;
    switch (m.kind) {
      case JsonKind::String:
      case JsonKind::Bare:
      case JsonKind::Bool:
        row[col] = m.value;
        break;
      case JsonKind::Null:
        row[col].clear();
        break;
      case JsonKind::Object:
      case JsonKind::Array:
        x.kind = Expected::Fail;
        x.error = Error::NestedValueNotSupported;
        return x;
    }
  }
  row.resize(fields_per_row);
  x.kind = Expected::Row;
  x.row = row;
  return x;
}

// ---- reading -------------------------------------------------------------------

// json_open_memory, then the same position again on a reader with a small
// chunk: the framing was chosen from the whole input, the first record is read
// anew and must match the one kept.
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
  FUZZ_CHECK(text_of(first) == text_of(FieldView{json->first_record.data, json->first_record.len}),
             "first record differs with chunk %zu", chunk);
  return Error::None;
}

bool is_word(FieldView v) { return text_of(v) == "true" || text_of(v) == "false"; }

void check_reader(const uint8_t* data, size_t size, uint64_t max_column, size_t chunk) {
  size_t i = has_bom(data, size) ? 3 : 0;
  while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '\n' || data[i] == '\r')) ++i;
  const bool array_mode = i < size && data[i] == '[';
  const Framing framing = model_framing(data, size, array_mode);

  JsonReader json;
  Error e = open_with_chunk(&json, data, size, max_column, chunk);
  if (framing.records.empty()) {
    Error want = framing.ends_inside_object ? Error::InvalidJsonRow : Error::EmptyFile;
    FUZZ_CHECK(e == want, "open gave %s, want %s", error_name(e), error_name(want));
    return;
  }
  std::vector<RefMember> first;
  const std::string& first_text = framing.records[0];
  if (structural_count(first_text) >= kMaxJsonTokens) {
    FUZZ_CHECK(e == Error::InvalidJsonRow, "open gave %s, want InvalidJson (token limit)", error_name(e));
    return;
  }
  const bool strict_first = strict_members(first_text, &first);
  if (strict_first)
    FUZZ_CHECK(e == Error::None, "open refused a strict JSON first record: %s", error_name(e));
  if (failed(e)) {
    FUZZ_CHECK(e == Error::InvalidJsonRow, "open gave %s", error_name(e));
    return;
  }
  FUZZ_CHECK(json.array_mode == array_mode, "framing chosen wrongly");
  std::vector<std::string> names;
  for (size_t c = 0; c < json.n_columns; ++c) names.push_back(text_of(json.names[c]));
  if (strict_first) {
    FUZZ_CHECK(names.size() == first.size(), "directory has %zu names, want %zu", names.size(), first.size());
    for (size_t c = 0; c < names.size(); ++c) FUZZ_CHECK(names[c] == first[c].key, "directory name %zu", c);
  }
  const size_t want_per_row = max_column < names.size() ? max_column + 1 : names.size();
  FUZZ_CHECK(json.fields_per_row == want_per_row, "fields_per_row %zu, want %zu", json.fields_per_row,
             want_per_row);

  const size_t n_events = framing.records.size() + (framing.ends_inside_object ? 1 : 0);
  for (size_t r = 0; r < n_events + 2; ++r) {
    const FieldView* fields = nullptr;
    size_t count = 0;
    bool at_end = false;
    e = json_next_row(&json, &fields, &count, &at_end);
    if (r >= n_events) {
      FUZZ_CHECK(e == Error::None && at_end, "after the last record: %s, at_end %d", error_name(e), at_end);
      continue;
    }
    if (r == framing.records.size()) {
      FUZZ_CHECK(e == Error::InvalidJsonRow, "end inside an object gave %s", error_name(e));
      continue;
    }
    FUZZ_CHECK(!at_end, "record %zu: end of rows too early (chunk %zu)", r, chunk);
    const std::string& record = framing.records[r];
    const Expected want = model_row(record, names, json.fields_per_row);

    // The library's own fast path must agree with the model of it.
    std::vector<std::string> fast_row;
    bool model_fast = model_fast_path(record, names, json.fields_per_row, &fast_row);
    std::vector<FieldView> lib_row(names.size() + 1);
    const std::vector<uint8_t> bytes(record.begin(), record.end());
    bool lib_fast = json_ordered_fast_path(FieldView{bytes.empty() ? nullptr : bytes.data(), bytes.size()},
                                           json.names, json.fields_per_row, lib_row.data());
    FUZZ_CHECK(lib_fast == model_fast, "record %zu: fast path %s, model %s", r,
               lib_fast ? "takes" : "refuses", model_fast ? "takes" : "refuses");
    if (lib_fast)
      for (size_t c = 0; c < json.fields_per_row; ++c)
        FUZZ_CHECK(text_of(lib_row[c]) == fast_row[c], "record %zu: fast path field %zu", r, c);

    if (want.kind == Expected::Fail) {
      FUZZ_CHECK(e == want.error, "record %zu: got %s, want %s (chunk %zu)", r, error_name(e),
                 error_name(want.error), chunk);
      continue;
    }
    if (want.kind == Expected::Row)
      FUZZ_CHECK(e == Error::None, "record %zu: got %s, want a row (chunk %zu)", r, error_name(e), chunk);
    if (failed(e)) {
      FUZZ_CHECK(e == Error::InvalidJsonRow || e == Error::NestedValueNotSupported, "record %zu: got %s", r,
                 error_name(e));
      continue;
    }
    FUZZ_CHECK(count == json.fields_per_row, "record %zu: %zu fields, want %zu", r, count,
               json.fields_per_row);
    const BufferedReader& rd = json.reader;
    for (size_t c = 0; c < count; ++c) {
      const FieldView& f = fields[c];
      bool inside =
          fuzz::view_within(f, rd.buffer, rd.buffer + rd.end) ||
          fuzz::view_within(f, rd.pending.data, rd.pending.data + rd.pending.len) ||
          fuzz::view_within(f, json.first_record.data, json.first_record.data + json.first_record.len) ||
          fuzz::view_within(f, json.parser.scratch.data,
                            json.parser.scratch.data + json.parser.scratch.len) ||
          is_word(f);
      FUZZ_CHECK(inside, "record %zu field %zu lies outside the record and the scratch buffer", r, c);
      if (want.kind == Expected::Row)
        FUZZ_CHECK(text_of(f) == want.row[c], "record %zu field %zu is '%s', want '%s' (chunk %zu)", r, c,
                   fuzz::escaped(text_of(f)).c_str(), fuzz::escaped(want.row[c]).c_str(), chunk);
    }
  }
  json_close(&json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const fuzz::ReaderChoices choice(in);
  const size_t chunk = choice.chunk;
  const uint64_t max_column = choice.max_column;
  const SimdLevel level = choice.level;

  // The text in a block of exactly its size, so any read past it is caught.
  std::vector<uint8_t> text(in.rest(), in.rest() + in.rest_size());
  const uint8_t* p = text.empty() ? nullptr : text.data();

  const SimdLevel saved = byte_search_level();
  check_parser(std::string(text.begin(), text.end()), level);
  byte_search_use(SimdLevel::Scalar);
  check_reader(p, text.size(), max_column, kChunkSize);
  byte_search_use(level);
  check_reader(p, text.size(), max_column, chunk);
  byte_search_use(saved);
  return 0;
}
