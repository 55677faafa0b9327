// HTML text from arbitrary bytes: UTF-8 is decoded one sequence at a time, so a
// byte that does not start a well-formed sequence is shown on its own and the
// text after it is still read as text.
#include "report/html_text.h"

#include <string_view>

namespace quelta {
namespace {

inline bool in_range(uint8_t b, uint8_t lo, uint8_t hi) {
  return static_cast<uint8_t>(b - lo) <= static_cast<uint8_t>(hi - lo);
}

// The length of the well-formed sequence at p[0..n) and its code point, or 0.
size_t decode(const uint8_t* p, size_t n, uint32_t* cp) {
  const uint8_t b = p[0];
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  auto cont = [&](size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
  if (in_range(b, 0xC2, 0xDF)) {
    if (!cont(1)) return 0;
    *cp = (b & 0x1Fu) << 6 | (p[1] & 0x3Fu);
    return 2;
  }
  if (in_range(b, 0xE0, 0xEF)) {
    if (n < 2) return 0;
    const uint8_t lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    if (!in_range(p[1], lo, hi) || !cont(2)) return 0;
    *cp = (b & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    return 3;
  }
  if (in_range(b, 0xF0, 0xF4)) {
    if (n < 2) return 0;
    const uint8_t lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    if (!in_range(p[1], lo, hi) || !cont(2) || !cont(3)) return 0;
    *cp = (b & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    return 4;
  }
  return 0;
}

// Code points shown as \uXXXX: C1 controls, invisible and direction-changing
// marks, separators that break lines, and the noncharacters that an HTML
// parser reports.
bool shown_escaped(uint32_t cp) {
  if (cp < 0x20 || cp == 0x7F) return true;
  if (cp < 0x80) return false;
  if (cp <= 0x9F || cp == 0xAD || cp == 0x061C || cp == 0x180E) return true;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F))
    return true;
  if (cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp >= 0xFDD0 && cp <= 0xFDEF)) return true;
  if ((cp & 0xFFFE) == 0xFFFE) return true;
  return cp >= 0xE0000 && cp <= 0xE007F;  // tag characters
}

constexpr char kHex[] = "0123456789ABCDEF";

Error write_escape(OutputSink& sink, std::string_view text, bool mark) {
  if (mark) {
    if (Error e = sink.write("<span class=\"esc\">"); failed(e)) return e;
  }
  if (Error e = sink.write(text); failed(e)) return e;
  return mark ? sink.write("</span>") : Error::None;
}

Error write_byte_escape(OutputSink& sink, uint8_t b, bool mark) {
  const char text[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
  return write_escape(sink, std::string_view(text, 4), mark);
}

Error write_code_point_escape(OutputSink& sink, uint32_t cp, bool mark) {
  if (cp == '\n') return write_escape(sink, "\\n", mark);
  if (cp == '\r') return write_escape(sink, "\\r", mark);
  if (cp == '\t') return write_escape(sink, "\\t", mark);
  if (cp < 0x80) return write_byte_escape(sink, static_cast<uint8_t>(cp), mark);
  char text[10] = {'\\', 'u'};
  size_t n = 2;
  const int digits = cp > 0xFFFF ? 6 : 4;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text[n++] = kHex[(cp >> shift) & 15];
  return write_escape(sink, std::string_view(text, n), mark);
}

Error write_entity_or_byte(OutputSink& sink, uint8_t b) {
  switch (b) {
    case '&':
      return sink.write("&amp;");
    case '<':
      return sink.write("&lt;");
    case '>':
      return sink.write("&gt;");
    case '"':
      return sink.write("&quot;");
    case '\'':
      return sink.write("&#39;");
    default:
      return sink.put(b);
  }
}

}  // namespace

Error write_html_text(OutputSink& sink, FieldView text, const HtmlTextOptions& options, bool* cut) {
  if (cut) *cut = false;
  const uint8_t* p = text.ptr;
  size_t n = text.len;
  size_t shown = 0;
  while (n > 0) {
    if (options.max_chars != 0 && shown == options.max_chars) {
      if (cut) *cut = true;
      return sink.write("\xE2\x80\xA6");  // …
    }
    ++shown;
    uint32_t cp = 0;
    const size_t len = decode(p, n, &cp);
    Error e;
    if (len == 0) {
      e = write_byte_escape(sink, p[0], options.mark_escapes);
    } else if (shown_escaped(cp)) {
      e = write_code_point_escape(sink, cp, options.mark_escapes);
    } else if (len == 1) {
      e = write_entity_or_byte(sink, p[0]);
    } else {
      e = sink.write(p, len);
    }
    if (failed(e)) return e;
    const size_t step = len == 0 ? 1 : len;
    p += step;
    n -= step;
  }
  return Error::None;
}

}  // namespace quelta
