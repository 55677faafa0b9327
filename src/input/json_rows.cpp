// Set-up, row mapping and the ordered fast path of the JSON row reader.
#include "input/json_rows.h"

#include <bit>
#include <cstring>

#include "input/names.h"
#include "platform/heap.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

constexpr uint8_t kTrue[] = {'t', 'r', 'u', 'e'};
constexpr uint8_t kFalse[] = {'f', 'a', 'l', 's', 'e'};

inline bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_vf(uint8_t c) { return c == '\v' || c == '\f'; }
inline bool is_structural_byte(uint8_t c) {
  return c == '{' || c == '}' || c == '[' || c == ']' || c == '"' || c == ':' || c == ',';
}

// How the ordered fast path treats a byte of a bare value: part of the word,
// its end (a separator, a closing brace or a blank), or a byte that sends the
// record to the general parser.
constexpr uint8_t kWordByte = 0, kWordEnds = 1, kWordRejects = 2;
constexpr struct BareClass {
  uint8_t c[256] = {};
  constexpr BareClass() {
    for (uint8_t b : {',', '}', ' ', '\t', '\n', '\r'}) c[b] = kWordEnds;
    for (uint8_t b : {'"', ':', '[', ']', '{'}) c[b] = kWordRejects;
  }
  constexpr uint8_t operator[](uint8_t b) const { return c[b]; }
} kBareClass;

// The offset of the first byte in p[i..n) that is not a digit, '.' or '-', or
// the start of the last partial eight bytes: a bare number is passed over
// eight bytes a step, and the byte loop after it finds its end exactly.
inline size_t skip_number_bytes(const uint8_t* p, size_t i, size_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
  for (; n - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    // Outside '-'..'9' (0x2D..0x39), or '/'. An in-range byte carries into none
    // above it, so the lowest flag is exact.
    const uint64_t slash = w ^ (kOnes * '/');
    const uint64_t out =
        ((w + kOnes * (0x80 - 0x3A)) | (w - kOnes * 0x2D) | w | ((slash - kOnes) & ~slash)) & kHighs;
    if (out) return i + (static_cast<size_t>(std::countr_zero(out)) >> 3);
  }
  return i;
}

// The offset of the first '"' or '\\' in p[i..n), or n. Most strings of a row
// are short enough that a vector search costs more to set up than it saves: the
// first 32 bytes go eight a step, a longer string to the vector search.
inline size_t find_quote_or_backslash(const uint8_t* p, size_t i, size_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
  for (int step = 0; n - i >= 8; i += 8, ++step) {
    if (step == 4) return i + find_either(p + i, n - i, '"', '\\');
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    const uint64_t q = w ^ (kOnes * '"'), b = w ^ (kOnes * '\\');
    // The lowest flagged byte is exact: a borrow starts only above a zero byte.
    const uint64_t hit = ((q - kOnes) & ~q & kHighs) | ((b - kOnes) & ~b & kHighs);
    if (hit) return i + (static_cast<size_t>(std::countr_zero(hit)) >> 3);
  }
  while (i < n && p[i] != '"' && p[i] != '\\') ++i;
  return i;
}

// How the ordered fast path finds the end of a string or a bare word: by
// searching the bytes (ByteFinder) or from the record's structural index
// (IndexFinder). Both give the same offsets.
struct ByteFinder {
  const uint8_t* p;
  size_t n;
  // The first '"' or '\\' at or after i, or n.
  size_t quote_or_backslash(size_t i) const { return find_quote_or_backslash(p, i, n); }
  // The first byte at or after i that ends a bare word or sends it to the general parser, or n.
  size_t word_end(size_t i) const {
    i = skip_number_bytes(p, i, n);
    while (i < n && kBareClass[p[i]] == kWordByte) ++i;
    return i;
  }
};

// Classifies the blocks of a record as the walk reaches them: a row whose
// needed members end early leaves the rest of its bytes unread.
struct IndexFinder {
  const uint8_t* p;
  size_t n;
  JsonRecordIndex* ix;

  const JsonBlockMasks& block(size_t k) const {
    if (k >= ix->ready) {
      // A row read whole is classified at once; one whose needed members may
      // end early, a block at a time, so that the rest stays unread.
      size_t upto = ix->whole ? ix->count : k + 1;
      json_blocks(p + 64 * ix->ready, n - 64 * ix->ready, ix->blocks + ix->ready, upto - ix->ready);
      ix->ready = upto;
    }
    return ix->blocks[k];
  }
  template <typename Select>
  size_t next(size_t i, Select select) const {
    size_t k = i >> 6;
    if (k >= ix->count) return n;
    if (uint64_t bits = select(block(k)) >> (i & 63)) return i + static_cast<size_t>(std::countr_zero(bits));
    for (++k; k < ix->count; ++k)
      if (uint64_t bits = select(block(k))) return 64 * k + static_cast<size_t>(std::countr_zero(bits));
    return n;
  }
  size_t quote_or_backslash(size_t i) const {
    return next(i, [](const JsonBlockMasks& b) { return b.quote | b.backslash; });
  }
  // The structural bytes and blanks are exactly the bytes that are not kWordByte.
  size_t word_end(size_t i) const {
    return next(i, [](const JsonBlockMasks& b) { return b.structural | b.blank; });
  }
  // Classifies what the walk left, for the general parser.
  void finish() const {
    if (ix->ready < ix->count) block(ix->count - 1);
  }
};

// Reads the next record and notes where it starts (a failed read: where it stood).
Error read_json_record(JsonReader* json, FieldView* record, bool* at_end) {
  BufferedReader* r = &json->reader;
  json->record_offset = reader_text_offset(*r);
  Error e = json->array_mode ? read_object(r, record, at_end) : read_line(r, record, at_end);
  if (failed(e) || *at_end) return e;
  // An object starts at its '{', after the blanks and comma before it.
  if (json->array_mode && record->ptr >= r->buffer && record->ptr < r->buffer + r->end)
    json->record_offset = r->text_base + static_cast<uint64_t>(record->ptr - r->buffer);
  ++json->records;
  return e;
}

// Notes in json->site where the record that failed with e stands (lines are
// known when each record is one line).
Error note_failure(JsonReader* json, Error e, const FieldView* nested_key = nullptr) {
  FailureSite& site = json->site;
  site = FailureSite{};
  site.offset = static_cast<int64_t>(json->record_offset);
  if (!json->array_mode) site.line = json->records;
  if (e == Error::InvalidJsonRow) site.cause = e;  // the input ends inside an object
  if (e == Error::NestedValueNotSupported) {
    site.problem = Problem::NestedValue;
    if (nested_key) site.key.set(nested_key->ptr, nested_key->len);
  } else if (e != Error::OutOfMemory) {
    site.problem = Problem::JsonRow;
  }
  return e;
}

// The parser's cause, for a record it refused.
Error refused(JsonReader* json, Error cause) {
  note_failure(json, Error::InvalidJsonRow);
  json->site.cause = cause;
  return Error::InvalidJsonRow;
}

// The first member holding an object or an array.
const FieldView* nested_member(const JsonParser& parser) {
  for (size_t i = 0; i < parser.members.len; ++i)
    if (parser.members[i].kind == JsonKind::Object || parser.members[i].kind == JsonKind::Array)
      return &parser.members[i].key;
  return nullptr;
}

constexpr size_t kNamePadding = 8;

// Copies the parsed keys of the first record into owned names.
Error copy_names(JsonReader* json) {
  const GrowBuffer<JsonMember>& members = json->parser.members;
  size_t n = members.len;
  json->names = static_cast<FieldView*>(platform::heap_alloc((n ? n : 1) * sizeof(FieldView)));
  if (!json->names) return Error::OutOfMemory;
  for (size_t i = 0; i < n; ++i) {
    const FieldView& key = members[i].key;
    uint8_t* copy = nullptr;
    if (key.len) {
      // Eight zero bytes after the name let the fast path read it as one word.
      copy = static_cast<uint8_t*>(platform::heap_alloc(key.len + kNamePadding));
      if (!copy) return Error::OutOfMemory;
      std::memcpy(copy, key.ptr, key.len);
      std::memset(copy + key.len, 0, kNamePadding);
    }
    json->names[i] = FieldView{copy, key.len};
    json->n_columns = i + 1;
  }
  return Error::None;
}

// The text "name": of each short plain name, as the fast path compares it.
void build_key_patterns(JsonKeyPatterns* keys, const FieldView* names, size_t n) {
  *keys = JsonKeyPatterns{};
  for (size_t j = 0; j < n && j < JsonKeyPatterns::kColumns; ++j) {
    const FieldView& name = names[j];
    if (name.len + 3 > 16 || !json_names_plain(&name, 1)) continue;
    uint8_t text[16] = {}, mask[16] = {};
    text[0] = '"';
    if (name.len) std::memcpy(text + 1, name.ptr, name.len);
    text[name.len + 1] = '"';
    text[name.len + 2] = ':';
    std::memset(mask, 0xFF, name.len + 3);
    std::memcpy(&keys->lo[j], text, 8);
    std::memcpy(&keys->hi[j], text + 8, 8);
    std::memcpy(&keys->mask_lo[j], mask, 8);
    std::memcpy(&keys->mask_hi[j], mask + 8, 8);
    keys->len[j] = static_cast<uint8_t>(name.len + 3);
  }
}

Error json_set_up(JsonReader* json, uint64_t max_column, const ReadSettings& settings) {
  BufferedReader* r = &json->reader;
  json->nested_text = settings.nested_text;
  if (Error e = reader_set_decoding(r, settings); failed(e)) return e;
  if (Error e = reader_refill(r); failed(e)) return e;
  size_t i = r->pos;
  while (i < r->end &&
         (r->buffer[i] == ' ' || r->buffer[i] == '\t' || r->buffer[i] == '\n' || r->buffer[i] == '\r'))
    ++i;
  switch (settings.format) {
    case FormatOverride::JsonLines:
      json->array_mode = false;
      break;
    case FormatOverride::JsonArray:
      json->array_mode = true;
      break;
    default:
      json->array_mode = i < r->end && r->buffer[i] == '[';
  }

  FieldView record;
  bool at_end = false;
  if (Error e = read_json_record(json, &record, &at_end); failed(e)) {
    if (!json->array_mode) ++json->records;  // the first line is the one that failed
    return note_failure(json, e);
  }
  if (at_end) return Error::EmptyFile;
  if (Error e = json->first_record.append(record.ptr, record.len); failed(e)) return e;
  Error parsed = parse_object(&json->parser, FieldView{json->first_record.data, json->first_record.len});
  if (parsed == Error::OutOfMemory) return parsed;
  if (failed(parsed)) return refused(json, parsed);
  if (Error e = copy_names(json); failed(e)) return e;
  if (Error e = key_index_build(&json->key_index, json->names, json->n_columns); failed(e)) return e;
  json->fields_per_row = max_column < json->n_columns ? static_cast<size_t>(max_column) + 1 : json->n_columns;
  json->names_plain = json_names_plain(json->names, json->fields_per_row);
  build_key_patterns(&json->keys, json->names, json->n_columns);
  json->first_delivered = false;
  return Error::None;
}

// The offset of the quote that closes a string whose first backslash is at
// p[k], or n: a backslash takes the byte after it along.
inline size_t escaped_string_end(const uint8_t* p, size_t k, size_t n) {
  for (;;) {
    k += 2;
    if (k >= n) return n;
    k += find_either(p + k, n - k, '"', '\\');
    if (k >= n || p[k] == '"') return k;
  }
}

// Whether the general parser would refuse the record before looking at its
// members: a structural byte before its first '{' (at open), or too many
// structural bytes in all.
bool refused_up_front(const uint8_t* p, size_t n, size_t open) {
  for (size_t i = 0; i < open; ++i)
    if (is_structural_byte(p[i])) return true;
  if (n < kMaxJsonTokens) return false;
  size_t tokens = 0;
  for (size_t i = 0; i < n; ++i) tokens += is_structural_byte(p[i]);
  return tokens >= kMaxJsonTokens;
}

// How the ordered fast path ended.
enum class FastPath : uint8_t { Accepted, Declined, OutOfMemory };

// With kPaddedNames every name of eight bytes or fewer may be read as one word
// (the reader's own copies, see copy_names).
//
// With a scratch buffer, strings holding escapes are taken too, unescaped into
// it. Such a record is accepted only where the general parser, which alone
// decided it before, would give the same row: it must list every name of the
// directory in order (n_columns of them) and close right after the last; its
// bare words must be ones the parser trims alike; every escape must be valid;
// and the parser must not refuse it as a whole. Anything else is declined,
// and the general parser decides as before.
template <bool kPaddedNames, typename Finder>
FastPath ordered_fast_path(const Finder& find, FieldView record, const FieldView* names,
                           size_t fields_per_row, size_t n_columns, FieldView* row, bool names_plain,
                           ByteBuffer* scratch, const JsonKeyPatterns* keys = nullptr) {
  constexpr FastPath kDeclined = FastPath::Declined;
  // A key holding a quote or a backslash never matches its text here.
  if (!names_plain) return kDeclined;
  const uint8_t* p = record.ptr;
  const size_t n = record.len;
  size_t i = n && p[0] == '{' ? 0 : find_byte(p, n, '{');
  if (i == n) return kDeclined;
  const size_t open = i;
  ++i;
  // Set once a string with an escape has been taken: from then on the record
  // is walked to its closing brace by the stricter rules above.
  bool escapes = false;
  bool trimmed_apart = false;  // a word the general parser would trim further
  size_t members = fields_per_row;
  for (size_t j = 0; j < members; ++j) {
    // Most rows write a member as ,"name": with nothing between: one look at
    // sixteen bytes then stands for the steps below.
    if (i < n && p[i] == ',') ++i;
    bool key_seen = false;
    if (keys && j < JsonKeyPatterns::kColumns && keys->len[j] && n - i >= 16) {
      uint64_t lo, hi;
      std::memcpy(&lo, p + i, 8);
      std::memcpy(&hi, p + i + 8, 8);
      if ((((lo ^ keys->lo[j]) & keys->mask_lo[j]) | ((hi ^ keys->hi[j]) & keys->mask_hi[j])) == 0) {
        i += keys->len[j];
        key_seen = true;
      }
    }
    if (!key_seen) {
      while (i < n && (p[i] == ' ' || p[i] == ',')) ++i;
      if (i >= n || p[i] != '"') return kDeclined;
      ++i;
      // The key's text is the name exactly when the name's bytes follow, then its closing quote.
      const FieldView& name = names[j];
      if (n - i <= name.len) return kDeclined;
      if (kPaddedNames && name.len - 1 < 8 && n - i >= 8) {
        // One to eight bytes: the first name.len bytes of the two words must agree.
        uint64_t key, want;
        std::memcpy(&key, p + i, 8);
        std::memcpy(&want, name.ptr, 8);
        if ((key ^ want) << (8 * (8 - name.len))) return kDeclined;
      } else {
        for (size_t t = 0; t < name.len; ++t) {
          if (p[i + t] != name.ptr[t]) return kDeclined;
        }
      }
      i += name.len;
      if (p[i] != '"') return kDeclined;
      ++i;
      while (i < n && p[i] == ' ') ++i;
      if (i >= n || p[i] != ':') return kDeclined;
      ++i;
    }
    while (i < n && is_blank(p[i])) ++i;
    if (i >= n) return kDeclined;
    uint8_t c = p[i];
    if (c == '"') {
      ++i;
      size_t k = find.quote_or_backslash(i);
      if (k >= n) return kDeclined;
      if (p[k] == '\\') {
        if (!scratch) return kDeclined;
        k = escaped_string_end(p, k, n);
        if (k >= n) return kDeclined;
        if (!escapes) {
          if (trimmed_apart || refused_up_front(p, n, open)) return kDeclined;
          escapes = true;
          members = n_columns;
          scratch->clear();
          // Unescaped text is never longer than its source: views into the
          // buffer stay put for the whole record.
          if (failed(scratch->reserve(n))) return FastPath::OutOfMemory;
        }
        if (failed(json_unescape(FieldView{p + i, k - i}, scratch, &row[j]))) return kDeclined;
      } else {
        row[j] = FieldView{p + i, k - i};
      }
      i = k + 1;
    } else if (c == '{' || c == '[') {
      return kDeclined;
    } else {
      // A bare word as the general parser reads it: up to ',' or '}',
      // trimmed, with null as the empty text.
      const size_t start = i;
      i = find.word_end(i);
      if (i < n && kBareClass[p[i]] == kWordRejects) return kDeclined;
      const size_t end = i;
      while (i < n && is_blank(p[i])) ++i;
      // Blanks inside a word, or no word: the general parser decides.
      if (end == start || (i < n && p[i] != ',' && p[i] != '}')) return kDeclined;
      // The general parser also trims '\v' and '\f', which the words here keep.
      if (is_vf(p[start]) || is_vf(p[end - 1])) {
        if (escapes) return kDeclined;
        trimmed_apart = true;
      }
      row[j] = end - start == 4 && std::memcmp(p + start, "null", 4) == 0 ? FieldView{p, 0}
                                                                          : FieldView{p + start, end - start};
    }
  }
  while (i < n && (p[i] == ' ' || p[i] == '\t')) ++i;
  if (i >= n) return kDeclined;
  if (p[i] == '}') return FastPath::Accepted;
  if (p[i] != ',' || escapes) return kDeclined;
  size_t last = n;
  while (last > 0 && is_blank(p[last - 1])) --last;
  return last > 0 && p[last - 1] == '}' ? FastPath::Accepted : kDeclined;
}

}  // namespace

Error json_open_file(JsonReader* json, const char* path, uint64_t max_column, const ReadSettings& settings) {
  *json = JsonReader{};
  platform::File file;
  if (Error e = open_input_file(path, &file, settings.stream); failed(e)) return e;
  if (Error e = reader_init_file(&json->reader, file); failed(e)) {
    platform::file_close(&file);
    return e;
  }
  Error e = json_set_up(json, max_column, settings);
  if (failed(e)) json_close(json);
  return e;
}

Error json_open_memory(JsonReader* json, const uint8_t* data, size_t len, uint64_t max_column,
                       const ReadSettings& settings) {
  *json = JsonReader{};
  if (Error e = reader_init_memory(&json->reader, data, len); failed(e)) return e;
  Error e = json_set_up(json, max_column, settings);
  if (failed(e)) json_close(json);
  return e;
}

bool json_ordered_fast_path(FieldView record, const FieldView* names, size_t fields_per_row, FieldView* row) {
  return json_ordered_fast_path(record, names, fields_per_row, row, json_names_plain(names, fields_per_row));
}

bool json_names_plain(const FieldView* names, size_t n) {
  for (size_t j = 0; j < n; ++j) {
    for (size_t t = 0; t < names[j].len; ++t) {
      if (names[j].ptr[t] == '"' || names[j].ptr[t] == '\\') return false;
    }
  }
  return true;
}

bool json_ordered_fast_path(FieldView record, const FieldView* names, size_t fields_per_row, FieldView* row,
                            bool names_plain) {
  return ordered_fast_path<false>(ByteFinder{record.ptr, record.len}, record, names, fields_per_row,
                                  fields_per_row, row, names_plain, nullptr) == FastPath::Accepted;
}

Error json_next_row(JsonReader* json, const FieldView** fields, size_t* count, bool* at_end) {
  *at_end = false;
  FieldView record;
  if (!json->first_delivered) {
    record = FieldView{json->first_record.data, json->first_record.len};
    json->first_delivered = true;
  } else {
    if (Error e = read_json_record(json, &record, at_end); failed(e)) {
      // A line cut by a failed refill is read again; any other failure consumed it.
      if (!json->array_mode && json->reader.resume != ReadResume::Continue) ++json->records;
      note_failure(json, e);
      const BufferedReader& r = json->reader;
      if (!json->array_mode && r.resume == ReadResume::Continue) ++json->site.line;
      // An object cut short by the end of input starts its kept head.
      if (json->array_mode && e == Error::InvalidJsonRow && !r.pending.empty())
        json->site.offset = static_cast<int64_t>(r.text_base + r.pos - r.pending.len);
      return e;
    }
    if (*at_end) return Error::None;
  }
  const size_t n = json->n_columns;
  if (Error e = json->row.reserve(n); failed(e)) return e;
  FieldView* row = json->row.data;
  *fields = row;
  *count = json->fields_per_row;
  FastPath fast;
  const JsonBlockMasks* blocks = nullptr;
  if (json->reference_rows) {
    fast = ordered_fast_path<true>(ByteFinder{record.ptr, record.len}, record, json->names,
                                   json->fields_per_row, n, row, json->names_plain, nullptr);
  } else if (record.len <= 64 * JsonRecordIndex::kMaxBlocks) {
    JsonRecordIndex* ix = &json->index;
    ix->ready = 0;
    ix->count = (record.len + 63) / 64;
    ix->whole = json->fields_per_row == n;
    const IndexFinder find{record.ptr, record.len, ix};
    fast = ordered_fast_path<true>(find, record, json->names, json->fields_per_row, n, row, json->names_plain,
                                   &json->parser.scratch, &json->keys);
    if (fast == FastPath::Declined) {
      find.finish();
      blocks = ix->blocks;
    }
  } else {
    fast = ordered_fast_path<true>(ByteFinder{record.ptr, record.len}, record, json->names,
                                   json->fields_per_row, n, row, json->names_plain, &json->parser.scratch);
  }
  if (fast == FastPath::Accepted) return Error::None;
  if (fast == FastPath::OutOfMemory) return Error::OutOfMemory;

  Error parsed = parse_object(&json->parser, record, blocks);
  if (parsed == Error::OutOfMemory) return parsed;
  if (failed(parsed)) return refused(json, parsed);
  if (!members_to_row(json->parser, json->names, n, json->key_index, true, record, row, json->nested_text))
    return note_failure(json, Error::NestedValueNotSupported, nested_member(json->parser));
  return Error::None;
}

bool members_to_row(const JsonParser& parser, const FieldView* names, size_t n, const KeyIndex& index,
                    bool positional, FieldView record, FieldView* row, bool nested_text) {
  bool flat = true;
  for (size_t c = 0; c < n; ++c) row[c] = FieldView{record.ptr, 0};
  const GrowBuffer<JsonMember>& members = parser.members;
  for (size_t p = 0; p < members.len; ++p) {
    const JsonMember& m = members[p];
    size_t col = positional && p < n && names[p].equals(m.key) ? p : key_index_find(index, m.key);
    if (col == SIZE_MAX) continue;
    switch (m.kind) {
      case JsonKind::String:
      case JsonKind::Bare:
        row[col] = m.value;
        break;
      case JsonKind::Bool:
        row[col] = m.truth ? FieldView{kTrue, sizeof kTrue} : FieldView{kFalse, sizeof kFalse};
        break;
      case JsonKind::Null:
        row[col] = FieldView{record.ptr, 0};
        break;
      case JsonKind::Object:
      case JsonKind::Array:
        if (nested_text) {
          row[col] = m.value;
        } else {
          row[col] = FieldView{record.ptr, 0};
          flat = false;
        }
        break;
    }
  }
  return flat;
}

void json_close(JsonReader* json) {
  reader_close(&json->reader);
  free_names(json->names, json->n_columns);
  json->names = nullptr;
  json->n_columns = 0;
  key_index_release(&json->key_index);
  json->first_record.release();
  json->row.release();
  json_parser_release(&json->parser);
}

}  // namespace quelta
