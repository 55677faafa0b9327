// The document reader behind json_tree_parse. It runs without recursion: the
// items of every open container wait on one value stack (and the names of open
// objects on one name stack) until the container closes, and are then moved
// into arrays in the tree's arena. Depth is bounded by kJsonMaxDepth.
#include "validate/json_tree.h"

#include <cmath>
#include <cstring>

#include "input/decimal.h"
#include "input/json_parser.h"
#include "platform/owned.h"
#include "util/grow_buffer.h"
#include "util/utf8.h"
#include "validate/text_set.h"

namespace quelta {
namespace {

inline bool is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(uint8_t c) { return static_cast<uint8_t>(c - '0') < 10; }

// Objects up to this size are checked for repeated names pair by pair.
constexpr size_t kPairwiseNames = 16;

struct Frame {
  size_t first_value;  // position of the container's first item on the value stack
  size_t first_name;   // and of its first name on the name stack (objects)
  size_t start;        // offset of the opening bracket
  size_t key_offset;   // offset of the member name it is the value of
  bool object;
};

// Whether names[0..n) holds the same text twice (*repeated: the index of the
// second one, or SIZE_MAX); OutOfMemory when the set that answers this for
// large objects cannot be allocated.
Error find_repeated_name(const FieldView* names, size_t n, size_t* repeated) {
  *repeated = SIZE_MAX;
  if (n <= kPairwiseNames) {
    for (size_t i = 1; i < n; ++i)
      for (size_t j = 0; j < i; ++j)
        if (names[i].equals(names[j])) {
          *repeated = i;
          return Error::None;
        }
    return Error::None;
  }
  if (n > kTextSetMaxItems) return Error::OutOfMemory;
  size_t n_slots = text_set_slot_count(n);
  auto slots = platform::HeapArray<uint32_t>::allocate(n_slots);
  if (!slots) return Error::OutOfMemory;
  TextSet set;
  text_set_init(&set, names, slots.get(), n_slots);
  for (size_t i = 0; i < n && *repeated == SIZE_MAX; ++i)
    if (!text_set_insert(&set, i)) *repeated = i;
  return Error::None;
}

class TreeReader {
 public:
  TreeReader(const uint8_t* text, size_t len, Arena* arena, bool allow_repeated_names, FailureSite* site)
      : p_(text), n_(len), arena_(arena), allow_repeated_(allow_repeated_names), site_(site) {}
  ~TreeReader() {
    values_.release();
    names_.release();
    frames_.release();
    scratch_.release();
  }

  Error run(JsonNode* root) {
    skip_space();
    for (;;) {
      // A value starts here.
      if (pos_ == n_) return fail(JsonSyntax::UnexpectedEnd, pos_);
      const uint8_t c = p_[pos_];
      if (c == '{' || c == '[') {
        if (frames_.len == kJsonMaxDepth) return fail(JsonSyntax::TooDeep, pos_);
        const Frame f{values_.len, names_.len, pos_, in_object() ? key_at_ : pos_, c == '{'};
        if (Error e = frames_.push(f); failed(e)) return e;
        ++pos_;
        skip_space();
        if (pos_ < n_ && p_[pos_] == (c == '{' ? '}' : ']')) {
          ++pos_;
          if (Error e = close(); failed(e)) return e;
        } else {
          if (c == '{') {
            if (Error e = member_name(); failed(e)) return e;
          }
          continue;
        }
      } else {
        JsonNode node;
        if (Error e = scalar(&node); failed(e)) return e;
        if (Error e = values_.push(node); failed(e)) return e;
      }
      // After a value: close containers until one wants another item.
      for (;;) {
        skip_space();
        if (frames_.len == 0) {
          if (pos_ != n_) return fail(JsonSyntax::TrailingText, pos_);
          *root = values_[0];
          return Error::None;
        }
        if (pos_ == n_) return fail(JsonSyntax::UnexpectedEnd, pos_);
        const bool object = frames_[frames_.len - 1].object;
        const uint8_t d = p_[pos_++];
        if (d == ',') {
          const size_t comma = pos_ - 1;
          skip_space();
          if (pos_ < n_ && p_[pos_] == (object ? '}' : ']')) return fail(JsonSyntax::TrailingComma, comma);
          if (object) {
            if (Error e = member_name(); failed(e)) return e;
          }
          break;
        }
        if (d != (object ? '}' : ']')) return fail(JsonSyntax::ExpectedCommaOrEnd, pos_ - 1);
        if (Error e = close(); failed(e)) return e;
      }
    }
  }

 private:
  void skip_space() {
    while (pos_ < n_ && is_space(p_[pos_])) ++pos_;
  }

  // Notes what refused the text and where.
  Error fail(JsonSyntax why, size_t at) {
    if (site_) {
      site_->problem = Problem::SchemaSyntax;
      site_->syntax = why;
      site_->offset = static_cast<int64_t>(at);
    }
    return Error::ParserInvalidJson;
  }

  bool in_object() const { return frames_.len > 0 && frames_[frames_.len - 1].object; }

  // A member name, the ':' after it and the space before the value.
  Error member_name() {
    if (pos_ == n_) return fail(JsonSyntax::UnexpectedEnd, pos_);
    if (p_[pos_] != '"') return fail(JsonSyntax::ExpectedName, pos_);
    key_at_ = pos_;
    FieldView name;
    if (Error e = string(&name); failed(e)) return e;
    if (Error e = names_.push(name); failed(e)) return e;
    skip_space();
    if (pos_ == n_) return fail(JsonSyntax::UnexpectedEnd, pos_);
    if (p_[pos_] != ':') return fail(JsonSyntax::ExpectedColon, pos_);
    ++pos_;
    skip_space();
    return Error::None;
  }

  // Moves the items of the innermost container into the arena and leaves
  // the container itself on the value stack.
  Error close() {
    const Frame f = frames_[--frames_.len];
    JsonNode node;
    node.type = f.object ? JsonType::Object : JsonType::Array;
    node.offset = f.start;
    node.key_offset = f.key_offset;
    node.n = values_.len - f.first_value;
    if (node.n) {
      node.items = arena_array<JsonNode>(arena_, node.n);
      if (!node.items) return Error::OutOfMemory;
      std::memcpy(node.items, values_.data + f.first_value, node.n * sizeof(JsonNode));
      if (f.object) {
        node.keys = arena_array<FieldView>(arena_, node.n);
        if (!node.keys) return Error::OutOfMemory;
        std::memcpy(node.keys, names_.data + f.first_name, node.n * sizeof(FieldView));
        if (!allow_repeated_) {
          size_t repeated;
          if (Error e = find_repeated_name(node.keys, node.n, &repeated); failed(e)) return e;
          if (repeated != SIZE_MAX) {
            if (site_) site_->key.set(node.keys[repeated].ptr, node.keys[repeated].len);
            return fail(JsonSyntax::RepeatedName, node.items[repeated].key_offset);
          }
        }
      }
    }
    values_.len = f.first_value;
    names_.len = f.first_name;
    return values_.push(node);
  }

  Error scalar(JsonNode* node) {
    node->offset = pos_;
    node->key_offset = in_object() ? key_at_ : pos_;
    const uint8_t c = p_[pos_];
    if (c == '"') {
      node->type = JsonType::String;
      return string(&node->text);
    }
    if (c == '-' || is_digit(c)) return number(node);
    if (word("true")) {
      node->type = JsonType::True;
    } else if (word("false")) {
      node->type = JsonType::False;
    } else if (word("null")) {
      node->type = JsonType::Null;
    } else {
      return fail(JsonSyntax::ExpectedValue, pos_);
    }
    return Error::None;
  }

  bool word(const char* w) {
    const size_t k = std::strlen(w);
    if (n_ - pos_ < k || std::memcmp(p_ + pos_, w, k) != 0) return false;
    pos_ += k;
    return true;
  }

  // A string starting at its opening quote. Unescaped strings stay views into
  // the text; others are decoded into the arena.
  Error string(FieldView* out) {
    const size_t start = ++pos_;
    bool escaped = false;
    for (;;) {
      if (pos_ == n_) return fail(JsonSyntax::UnexpectedEnd, pos_);
      const uint8_t c = p_[pos_];
      if (c == '"') break;
      if (c < 0x20) return fail(JsonSyntax::BadString, pos_);
      if (c == '\\') {
        // The escaped byte is checked by the unescaping below.
        if (n_ - pos_ < 2) return fail(JsonSyntax::UnexpectedEnd, n_);
        escaped = true;
        pos_ += 2;
      } else {
        ++pos_;
      }
    }
    const FieldView raw{p_ + start, pos_ - start};
    ++pos_;
    // Escapes are ASCII, so checking the raw bytes checks the decoded ones too
    // (json_unescape refuses lone surrogates).
    if (!is_valid_utf8(raw.ptr, raw.len)) return fail(JsonSyntax::BadString, start - 1);
    if (!escaped) {
      *out = raw;
      return Error::None;
    }
    scratch_.clear();
    if (Error e = scratch_.reserve(raw.len); failed(e)) return e;
    FieldView decoded;
    if (failed(json_unescape(raw, &scratch_, &decoded))) return fail(JsonSyntax::BadString, start - 1);
    uint8_t* copy = arena_copy(arena_, decoded.ptr, decoded.len);
    if (!copy) return Error::OutOfMemory;
    *out = FieldView{copy, decoded.len};
    return Error::None;
  }

  size_t digits() {
    const size_t start = pos_;
    while (pos_ < n_ && is_digit(p_[pos_])) ++pos_;
    return pos_ - start;
  }

  // An integer literal (no '.', 'e' or 'E', and not "-0") that fits int64 is an
  // Integer; any other literal converts to a Float when finite. What fits
  // neither is a BigNumber holding its literal.
  Error number(JsonNode* node) {
    const size_t start = pos_;
    const bool negative = p_[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ == n_ || !is_digit(p_[pos_])) return fail(JsonSyntax::BadNumber, start);
    if (p_[pos_] == '0')
      ++pos_;
    else
      digits();
    bool integral = true;
    if (pos_ < n_ && p_[pos_] == '.') {
      ++pos_;
      integral = false;
      if (digits() == 0) return fail(JsonSyntax::BadNumber, start);
    }
    if (pos_ < n_ && (p_[pos_] == 'e' || p_[pos_] == 'E')) {
      ++pos_;
      integral = false;
      if (pos_ < n_ && (p_[pos_] == '+' || p_[pos_] == '-')) ++pos_;
      if (digits() == 0) return fail(JsonSyntax::BadNumber, start);
    }
    const FieldView literal{p_ + start, pos_ - start};
    if (integral && !(negative && literal.len == 2 && literal.ptr[1] == '0')) {
      // Magnitude limit: 2^63 for a negative literal, 2^63 - 1 otherwise.
      const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
      uint64_t m = 0;
      bool fits = true;
      for (size_t i = negative ? 1 : 0; i < literal.len && fits; ++i) {
        const uint64_t d = literal.ptr[i] - '0';
        if (m > (limit - d) / 10)
          fits = false;
        else
          m = m * 10 + d;
      }
      if (fits) {
        node->type = JsonType::Integer;
        node->integer = negative ? static_cast<int64_t>(0 - m) : static_cast<int64_t>(m);
        return Error::None;
      }
    } else {
      double v;
      if (failed(decimal_to_double(literal.ptr, literal.len, &v))) return fail(JsonSyntax::BadNumber, start);
      if (std::isfinite(v)) {
        node->type = JsonType::Float;
        node->number = v;
        return Error::None;
      }
    }
    node->type = JsonType::BigNumber;
    node->text = literal;
    return Error::None;
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  Arena* arena_;
  bool allow_repeated_;
  FailureSite* site_;
  size_t key_at_ = 0;  // offset of the latest member name
  GrowBuffer<JsonNode> values_;
  GrowBuffer<FieldView> names_;
  GrowBuffer<Frame> frames_;
  ByteBuffer scratch_;
};

}  // namespace

Error json_tree_parse(const uint8_t* text, size_t len, JsonTree* out, bool allow_repeated_names,
                      FailureSite* site) {
  *out = JsonTree{};
  if (!text) len = 0;
  platform::OwnedPtr<JsonTree, json_tree_free> building(out);
  Error e;
  {
    TreeReader reader(text, len, &out->arena, allow_repeated_names, site);
    e = reader.run(&out->root);
  }
  if (e == Error::OutOfMemory && site) {
    site->problem = Problem::SchemaSyntax;
    site->syntax = JsonSyntax::NoMemory;
  }
  if (failed(e)) return e;
  (void)building.release();
  return Error::None;
}

void json_tree_free(JsonTree* tree) {
  arena_release(&tree->arena);
  *tree = JsonTree{};
}

}  // namespace quelta
