// A small reader for the JSON texts the library returns (reports, breach lists,
// batches): enough to show them to a person or to split them into rows.
#include "json_text.h"

#include <cstdlib>
#include <string>

namespace cli {

namespace {

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  // Reads one value into out (or skips it when out is null); false when malformed.
  bool value(Json* out) {
    space();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return object(out);
    if (c == '[') return array(out);
    if (c == '"') {
      std::string text;
      if (!string(out ? &text : nullptr)) return false;
      if (out) out->kind = Json::String, out->text = std::move(text);
      return true;
    }
    if (literal("true")) return set_bool(out, true);
    if (literal("false")) return set_bool(out, false);
    if (literal("null")) {
      if (out) out->kind = Json::Null;
      return true;
    }
    size_t start = i_;
    while (i_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[i_]) != std::string_view::npos) ++i_;
    if (i_ == start) return false;
    if (out) out->kind = Json::Number, out->text = std::string(s_.substr(start, i_ - start));
    return true;
  }

  bool at_end() {
    space();
    return i_ == s_.size();
  }
  size_t position() const { return i_; }

 private:
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  static bool set_bool(Json* out, bool b) {
    if (out) out->kind = Json::Bool, out->boolean = b;
    return true;
  }
  bool object(Json* out) {
    ++i_;
    if (out) out->kind = Json::Object;
    space();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    for (;;) {
      space();
      std::string key;
      if (!string(&key)) return false;
      space();
      if (i_ >= s_.size() || s_[i_] != ':') return false;
      ++i_;
      Json member;
      if (!value(out ? &member : nullptr)) return false;
      if (out) {
        out->keys.push_back(std::move(key));
        out->values.push_back(std::move(member));
      }
      space();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
      return false;
    }
  }
  bool array(Json* out) {
    ++i_;
    if (out) out->kind = Json::Array;
    space();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    for (;;) {
      Json item;
      if (!value(out ? &item : nullptr)) return false;
      if (out) out->items.push_back(std::move(item));
      space();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
      return false;
    }
  }
  static void put_utf8(std::string& t, uint32_t cp) {
    if (cp < 0x80) {
      t += static_cast<char>(cp);
    } else if (cp < 0x800) {
      t += static_cast<char>(0xC0 | (cp >> 6));
      t += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      t += static_cast<char>(0xE0 | (cp >> 12));
      t += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      t += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      t += static_cast<char>(0xF0 | (cp >> 18));
      t += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      t += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      t += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool hex4(uint32_t& cp) {
    if (i_ + 4 > s_.size()) return false;
    std::string digits(s_.substr(i_, 4));
    char* end = nullptr;
    cp = static_cast<uint32_t>(std::strtoul(digits.c_str(), &end, 16));
    if (end != digits.c_str() + 4) return false;
    i_ += 4;
    return true;
  }
  bool string(std::string* out) {
    if (i_ >= s_.size() || s_[i_] != '"') return false;
    ++i_;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        if (out) *out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      char plain = e == 'n'   ? '\n'
                   : e == 't' ? '\t'
                   : e == 'r' ? '\r'
                   : e == 'b' ? '\b'
                   : e == 'f' ? '\f'
                              : e;
      if (e != 'u') {
        if (out) *out += plain;
        continue;
      }
      uint32_t cp;
      if (!hex4(cp)) return false;
      if (cp >= 0xD800 && cp < 0xDC00 && s_.substr(i_, 2) == "\\u") {
        i_ += 2;
        uint32_t low;
        if (!hex4(low)) return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out) put_utf8(*out, cp);
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

const Json* Json::get(std::string_view key) const {
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == key) return &values[i];
  return nullptr;
}

uint64_t Json::count() const { return kind == Number ? std::strtoull(text.c_str(), nullptr, 10) : 0; }

std::string Json::bytes() const {
  if (kind == String) return text;
  std::string b;
  if (kind == Array)
    for (const Json& item : items) b += static_cast<char>(item.count());
  return b;
}

bool parse_json(std::string_view text, Json& out) {
  Reader r(text);
  return r.value(&out) && r.at_end();
}

std::vector<std::string_view> json_array_elements(std::string_view text) {
  std::vector<std::string_view> elements;
  size_t open = text.find('[');
  if (open == std::string_view::npos) return elements;
  std::string_view rest = text.substr(open + 1);
  for (;;) {
    size_t skip = rest.find_first_not_of(" \t\r\n");
    if (skip == std::string_view::npos || rest[skip] == ']') return elements;
    rest = rest.substr(skip);
    Reader r(rest);
    if (!r.value(nullptr)) return {};
    elements.push_back(rest.substr(0, r.position()));
    rest = rest.substr(r.position());
    skip = rest.find_first_not_of(" \t\r\n");
    if (skip == std::string_view::npos) return {};
    if (rest[skip] == ',') rest = rest.substr(skip + 1);
  }
}

}  // namespace cli
