// HTML text from arbitrary bytes: what each kind of byte becomes, the cut, and
// that no input whatever can open or close markup.
#include "report/html_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "util/utf8.h"

namespace quelta {
namespace {

std::string html(const std::string& in, HtmlTextOptions options = {}, bool* cut = nullptr) {
  MemorySink sink;
  EXPECT_EQ(
      write_html_text(sink, FieldView{reinterpret_cast<const uint8_t*>(in.data()), in.size()}, options, cut),
      Error::None);
  return std::string(reinterpret_cast<const char*>(sink.data()), sink.size());
}

TEST(HtmlText, EachKindOfByte) {
  struct Case {
    std::string in, plain, marked;
  };
  const Case cases[] = {
      {"", "", ""},
      {"plain text 123", "plain text 123", "plain text 123"},
      {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;",
       "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"a \"b\" & c", "a &quot;b&quot; &amp; c", "a &quot;b&quot; &amp; c"},
      {"&amp;", "&amp;amp;", "&amp;amp;"},
      // Line breaks, tabs and other controls are seen, not acted on.
      {"a\nb\r\tc", "a\\nb\\r\\tc",
       "a<span class=\"esc\">\\n</span>b<span class=\"esc\">\\r</span><span class=\"esc\">\\t</span>c"},
      {std::string("\0\x1f\x7f", 3), "\\x00\\x1F\\x7F",
       "<span class=\"esc\">\\x00</span><span class=\"esc\">\\x1F</span><span class=\"esc\">\\x7F</span>"},
      // Well-formed text beyond ASCII passes as is.
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      // Bytes that are not UTF-8, one at a time, the text after them still read.
      {"\xFF\xFE", "\\xFF\\xFE", "<span class=\"esc\">\\xFF</span><span class=\"esc\">\\xFE</span>"},
      {"\xC3(", "\\xC3(", "<span class=\"esc\">\\xC3</span>("},
      {"\xC0\xAF", "\\xC0\\xAF",
       "<span class=\"esc\">\\xC0</span><span class=\"esc\">\\xAF</span>"},  // overlong
      {"\xED\xA0\x80x", "\\xED\\xA0\\x80x",
       "<span class=\"esc\">\\xED</span><span class=\"esc\">\\xA0</span><span class=\"esc\">\\x80</span>x"},
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80",
       "<span class=\"esc\">\\xF4</span><span class=\"esc\">\\x90</span><span "
       "class=\"esc\">\\x80</span><span "
       "class=\"esc\">\\x80</span>"},
      {"\xE2\x82", "\\xE2\\x82",
       "<span class=\"esc\">\\xE2</span><span class=\"esc\">\\x82</span>"},  // cut short
      // Marks that change direction or hide, C1 controls and noncharacters.
      {"a\xE2\x80\xAE"
       "b",
       "a\\u202Eb", "a<span class=\"esc\">\\u202E</span>b"},
      {"\xE2\x80\x8B\xEF\xBB\xBF\xC2\x85\xC2\xAD", "\\u200B\\uFEFF\\u0085\\u00AD",
       "<span class=\"esc\">\\u200B</span><span class=\"esc\">\\uFEFF</span><span "
       "class=\"esc\">\\u0085</span><span class=\"esc\">\\u00AD</span>"},
      {"\xEF\xBF\xBE\xF4\x8F\xBF\xBF\xF3\xA0\x80\x81", "\\uFFFE\\u10FFFF\\u0E0001",
       "<span class=\"esc\">\\uFFFE</span><span class=\"esc\">\\u10FFFF</span><span "
       "class=\"esc\">\\u0E0001</span>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(html(c.in), c.plain) << c.in;
    EXPECT_EQ(html(c.in, HtmlTextOptions{0, true}), c.marked) << c.in;
  }
}

TEST(HtmlText, CutAfterCodePoints) {
  struct Case {
    std::string in;
    size_t max;
    std::string out;
    bool cut;
  };
  const Case cases[] = {
      {"abcdef", 6, "abcdef", false},
      {"abcdef", 5, "abcde\xE2\x80\xA6", true},
      // An entity, an escape and a four-byte character count as one each.
      {"<\n\xF0\x9F\x98\x80xyz", 3, "&lt;\\n\xF0\x9F\x98\x80\xE2\x80\xA6", true},
      {"\xFF\xFF\xFF", 2, "\\xFF\\xFF\xE2\x80\xA6", true},
      {"", 1, "", false},
  };
  for (const Case& c : cases) {
    bool cut = !c.cut;
    EXPECT_EQ(html(c.in, HtmlTextOptions{c.max, false}, &cut), c.out) << c.in;
    EXPECT_EQ(cut, c.cut) << c.in;
  }
}

// Whatever the bytes, the text is well-formed UTF-8 with no character that
// starts or ends markup or an attribute, and every '&' starts one of the five
// entities; marked, the only tags are the escape spans.
TEST(HtmlText, NoInputMakesMarkup) {
  std::mt19937 rng(24);
  const std::string alphabet[] = {"<",         ">",
                                  "&",         "\"",
                                  "'",         "\xFF",
                                  "\xC3",      "\xE2\x80\xAE",
                                  "\n",        "a",
                                  "\x80",      "\xF0\x9F",
                                  "</script>", "<span class=\"esc\">"};
  for (int round = 0; round < 2000; ++round) {
    std::string in;
    const size_t pieces = rng() % 12;
    for (size_t i = 0; i < pieces; ++i) {
      if (rng() % 3 == 0)
        in += static_cast<char>(rng() & 0xFF);
      else
        in += alphabet[rng() % std::size(alphabet)];
    }
    const std::string plain = html(in);
    EXPECT_TRUE(is_valid_utf8(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
    EXPECT_EQ(plain.find_first_of("<>\"'"), std::string::npos) << plain;
    for (size_t at = plain.find('&'); at != std::string::npos; at = plain.find('&', at + 1)) {
      const std::string rest = plain.substr(at);
      bool entity = false;
      for (const char* e : {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"}) entity |= rest.rfind(e, 0) == 0;
      EXPECT_TRUE(entity) << plain;
    }
    std::string marked = html(in, HtmlTextOptions{0, true});
    for (const std::string tag : {"<span class=\"esc\">", "</span>"}) {
      for (size_t at = marked.find(tag); at != std::string::npos; at = marked.find(tag))
        marked.erase(at, tag.size());
    }
    EXPECT_EQ(marked, plain);
  }
}

}  // namespace
}  // namespace quelta
