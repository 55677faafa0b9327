// Structural-position JSON object parsing and string unescaping.
#include "input/json_parser.h"

#include <bit>

#include "platform/heap.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

inline bool is_space(uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); }

inline FieldView trim(const uint8_t* b, const uint8_t* e) {
  while (b < e && is_space(*b)) ++b;
  while (e > b && is_space(e[-1])) --e;
  return FieldView{b, static_cast<size_t>(e - b)};
}

inline bool word_is(FieldView v, const char* w, size_t n) {
  return v.len == n && std::memcmp(v.ptr, w, n) == 0;
}

inline int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads four hexadecimal digits at p (n bytes available).
inline bool read_hex4(const uint8_t* p, size_t n, uint32_t* out) {
  if (n < 4) return false;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    int h = hex_value(p[i]);
    if (h < 0) return false;
    v = v << 4 | static_cast<uint32_t>(h);
  }
  *out = v;
  return true;
}

// One walk over the tokens of a record; nested objects recurse on sub-ranges
// of the same token array, which hold exactly the tokens of their text.
class Walker {
 public:
  Walker(JsonParser* parser, const uint8_t* text, size_t n_tokens)
      : p_(parser), text_(text), tok_(parser->tokens), n_(n_tokens) {}

  // Parses the object whose '{' is token first and whose text ends before
  // byte limit; collect says whether members are recorded (top level only).
  Error object(size_t first, size_t last, size_t limit, bool collect) {
    if (last - first == 1) return Error::UnexpectedEnd;
    size_t t = first + 1;
    for (;;) {
      uint8_t c = byte(t);
      if (c == '"') {
        size_t close;
        if (!find_close_quote(t, limit, &close)) return Error::MalformedKey;
        FieldView key;
        if (Error e = string_text(tok_[t] + 1, close, &key); failed(e)) return e;
        t = token_after(t + 1, last, close);
        if (t == last || byte(t) != ':') return Error::ExpectedColon;
        JsonMember m{key, JsonKind::Null, false, {}};
        if (Error e = value(t, last, limit, &m, &t); failed(e)) return e;
        if (collect) {
          if (Error e = p_->members.push(m); failed(e)) return e;
        }
        if (t == last) return Error::UnexpectedEnd;
      } else if (c == ',') {
        if (++t == last) return Error::UnexpectedEnd;
      } else if (c == '}') {
        return Error::None;
      } else {
        return Error::ExpectedQuote;
      }
    }
  }

 private:
  uint8_t byte(size_t t) const { return text_[tok_[t]]; }

  // First token index at or after from whose position is beyond pos.
  size_t token_after(size_t from, size_t last, size_t pos) const {
    while (from < last && tok_[from] <= pos) ++from;
    return from;
  }

  // The closing quote of the string opened at token t: the next token when it
  // is a quote behind an even run of backslashes, else a byte scan.
  bool find_close_quote(size_t t, size_t limit, size_t* close) const {
    size_t open = tok_[t];
    if (t + 1 < n_ && byte(t + 1) == '"') {
      size_t q = tok_[t + 1];
      size_t bs = 0;
      while (q - bs > open + 1 && text_[q - bs - 1] == '\\') ++bs;
      if (bs % 2 == 0) {
        *close = q;
        return q < limit;
      }
    }
    for (size_t i = open + 1; i < limit; ++i) {
      if (text_[i] == '\\') {
        ++i;
      } else if (text_[i] == '"') {
        *close = i;
        return true;
      }
    }
    return false;
  }

  Error string_text(size_t begin, size_t end, FieldView* out) {
    FieldView raw{text_ + begin, end - begin};
    if (find_byte(raw.ptr, raw.len, '\\') == raw.len) {
      *out = raw;
      return Error::None;
    }
    return json_unescape(raw, &p_->scratch, out);
  }

  // End of the bracketed value opening at byte open: the matching close byte,
  // skipping strings. Returns limit when there is none.
  size_t matching(size_t open, size_t limit, uint8_t up, uint8_t down) const {
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = open; i < limit; ++i) {
      uint8_t c = text_[i];
      if (in_string) {
        if (c == '\\')
          ++i;
        else if (c == '"')
          in_string = false;
      } else if (c == '"') {
        in_string = true;
      } else if (c == up) {
        ++depth;
      } else if (c == down && --depth == 0) {
        return i;
      }
    }
    return limit;
  }

  // Parses the value after the ':' at token colon; *next is where the walk resumes.
  Error value(size_t colon, size_t last, size_t limit, JsonMember* m, size_t* next) {
    size_t v = colon + 1;
    if (v == last) return Error::UnexpectedEnd;
    uint8_t c = byte(v);
    if (c == '"') {
      size_t close;
      if (!find_close_quote(v, limit, &close)) return Error::MalformedString;
      m->kind = JsonKind::String;
      if (Error e = string_text(tok_[v] + 1, close, &m->value); failed(e)) return e;
      *next = token_after(v + 1, last, close);
      return Error::None;
    }
    if (c == '}' || c == ',') {
      classify_word(trim(text_ + tok_[colon] + 1, text_ + tok_[v]), m);
      *next = v;
      return Error::None;
    }
    if (c == '{' || c == '[') {
      size_t open = tok_[v];
      size_t close = matching(open, limit, c, c == '{' ? '}' : ']');
      if (close == limit) return Error::UnexpectedEnd;
      size_t after = token_after(v + 1, last, close);
      m->kind = c == '{' ? JsonKind::Object : JsonKind::Array;
      m->value = FieldView{text_ + open, close + 1 - open};
      Error e = c == '{' ? object(v, after, close + 1, false) : array(v, after, open, close);
      if (failed(e)) return e;
      *next = after;
      return Error::None;
    }
    return Error::UnexpectedToken;
  }

  static void classify_word(FieldView w, JsonMember* m) {
    if (word_is(w, "true", 4)) {
      m->kind = JsonKind::Bool;
      m->truth = true;
    } else if (word_is(w, "false", 5)) {
      m->kind = JsonKind::Bool;
      m->truth = false;
    } else if (word_is(w, "null", 4)) {
      m->kind = JsonKind::Null;
    } else {
      m->kind = JsonKind::Bare;
    }
    m->value = w;
  }

  // Checks the elements of the array text[open..close]; tokens [first, last) lie inside it.
  Error array(size_t first, size_t last, size_t open, size_t close) {
    size_t depth = 0;
    bool in_string = false;
    size_t piece = open + 1;
    for (size_t i = open + 1; i <= close; ++i) {
      uint8_t c = text_[i];
      if (in_string) {
        if (c == '\\')
          ++i;
        else if (c == '"')
          in_string = false;
        continue;
      }
      if (c == '"') {
        in_string = true;
      } else if (c == '[' || c == '{') {
        ++depth;
      } else if ((c == ']' || c == '}') && depth > 0 && i < close) {
        --depth;
      } else if ((c == ',' && depth == 0) || i == close) {
        if (Error e = element(first, last, piece, i); failed(e)) return e;
        piece = i + 1;
      }
    }
    return Error::None;
  }

  Error element(size_t first, size_t last, size_t begin, size_t end) {
    const uint8_t* b = text_ + begin;
    const uint8_t* e = text_ + end;
    while (b < e && (*b == ' ' || *b == '\t' || *b == '\n' || *b == '\r')) ++b;
    while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\n' || e[-1] == '\r')) --e;
    if (b == e) return Error::None;
    if (*b == '"') {
      if (e - b < 2 || e[-1] != '"') return Error::MalformedString;
      FieldView ignored;
      return string_text(static_cast<size_t>(b - text_) + 1, static_cast<size_t>(e - 1 - text_), &ignored);
    }
    if (*b == '{') {
      size_t s = static_cast<size_t>(b - text_);
      size_t stop = static_cast<size_t>(e - text_);
      size_t t = token_after(first, last, s - 1);
      size_t u = token_after(t, last, stop - 1);
      return object(t, u, stop, false);
    }
    return Error::None;
  }

  JsonParser* p_;
  const uint8_t* text_;
  const size_t* tok_;
  size_t n_;
};

}  // namespace

Error json_unescape(FieldView src, ByteBuffer* out, FieldView* result) {
  const uint8_t* p = src.ptr;
  const size_t n = src.len;
  uint8_t* dst = out->data + out->len;
  size_t w = 0;
  size_t i = 0;
  while (i < n) {
    size_t k = find_byte(p + i, n - i, '\\');
    std::memcpy(dst + w, p + i, k);
    w += k;
    i += k;
    if (i == n) break;
    if (i + 1 == n) return Error::InvalidEscape;
    uint8_t c = p[i + 1];
    i += 2;
    switch (c) {
      case '"':
      case '/':
      case '\\':
        dst[w++] = c;
        continue;
      case 'b':
        dst[w++] = 0x08;
        continue;
      case 'f':
        dst[w++] = 0x0C;
        continue;
      case 'n':
        dst[w++] = 0x0A;
        continue;
      case 'r':
        dst[w++] = 0x0D;
        continue;
      case 't':
        dst[w++] = 0x09;
        continue;
      case 'u':
        break;
      default:
        return Error::InvalidEscape;
    }
    uint32_t cp;
    if (!read_hex4(p + i, n - i, &cp)) return Error::InvalidUnicodeEscape;
    i += 4;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return Error::InvalidUnicodeEscape;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low;
      if (i + 2 > n || p[i] != '\\' || p[i + 1] != 'u' || !read_hex4(p + i + 2, n - i - 2, &low) ||
          low < 0xDC00 || low > 0xDFFF)
        return Error::InvalidUnicodeEscape;
      i += 6;
      cp = 0x10000 + (cp - 0xD800) * 0x400 + (low - 0xDC00);
    }
    if (cp < 0x80) {
      dst[w++] = static_cast<uint8_t>(cp);
    } else if (cp < 0x800) {
      dst[w++] = static_cast<uint8_t>(0xC0 | cp >> 6);
      dst[w++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      dst[w++] = static_cast<uint8_t>(0xE0 | cp >> 12);
      dst[w++] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
      dst[w++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    } else {
      dst[w++] = static_cast<uint8_t>(0xF0 | cp >> 18);
      dst[w++] = static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F));
      dst[w++] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
      dst[w++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    }
  }
  *result = FieldView{dst, w};
  out->len += w;
  return Error::None;
}

namespace {

// The offsets of the structural bytes the masks mark, in order, at most max of them.
size_t structural_from_blocks(const JsonBlockMasks* blocks, size_t len, size_t* out, size_t max) {
  size_t k = 0;
  for (size_t b = 0; b * 64 < len; ++b) {
    for (uint64_t m = blocks[b].structural; m; m &= m - 1) {
      if (k == max) return k;
      out[k++] = 64 * b + static_cast<size_t>(std::countr_zero(m));
    }
  }
  return k;
}

}  // namespace

Error parse_object(JsonParser* parser, FieldView record, const JsonBlockMasks* blocks) {
  parser->members.clear();
  parser->scratch.clear();
  if (!parser->tokens) {
    parser->tokens = static_cast<size_t*>(platform::heap_alloc(kMaxJsonTokens * sizeof(size_t)));
    if (!parser->tokens) return Error::OutOfMemory;
  }
  size_t n = blocks ? structural_from_blocks(blocks, record.len, parser->tokens, kMaxJsonTokens)
                    : find_structural(record.ptr, record.len, parser->tokens, kMaxJsonTokens);
  if (n == 0 || record.ptr[parser->tokens[0]] != '{') return Error::ParserInvalidJson;
  if (n == kMaxJsonTokens) return Error::TooManyTokens;
  if (n == 1) return Error::UnexpectedEnd;
  // Unescaped text is never longer than its source, so this one reservation
  // keeps every view into scratch valid for the whole record.
  if (Error e = parser->scratch.reserve(record.len); failed(e)) return e;
  Walker walker(parser, record.ptr, n);
  return walker.object(0, n, record.len, true);
}

void json_parser_release(JsonParser* parser) {
  platform::heap_free(parser->tokens);
  parser->tokens = nullptr;
  parser->members.release();
  parser->scratch.release();
}

}  // namespace quelta
