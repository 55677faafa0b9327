// quelta_validate_html through the public header: the page's numbers against
// the report and a tally made by construction, hostile texts that must stay
// text, and a page that is whole or absent whatever fails.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/validation_output_support.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "util/utf8.h"

namespace quelta::test {
namespace {

std::string report_json(const std::string& path, const char* schema, size_t max_errors) {
  ValidationReport* r = quelta_validate(path.c_str(), schema, max_errors);
  std::string json = r ? quelta_validate_json(r) : "!" + error_text();
  quelta_validate_free(r);
  return json;
}

// The page's report JSON, or "!" and the message.
std::string html_report(const std::string& path, const char* schema, size_t max_errors,
                        const std::string& page, const char* title = nullptr) {
  ValidationReport* r = quelta_validate_html(path.c_str(), schema, max_errors, nullptr, page.c_str(), title);
  std::string json = r ? quelta_validate_json(r) : "!" + error_text();
  quelta_validate_free(r);
  return json;
}

// The value of attribute name in the first tag that holds marker, or "".
std::string attribute_near(const std::string& page, const std::string& marker, const std::string& name) {
  size_t at = page.find(marker);
  if (at == std::string::npos) return "";
  size_t open = page.rfind('<', at), close = page.find('>', at);
  std::string tag = page.substr(open, close - open);
  size_t a = tag.find(" " + name + "=\"");
  if (a == std::string::npos) return "";
  a += name.size() + 3;
  return tag.substr(a, tag.find('"', a) - a);
}

// Every tag of the page outside the style sheet and the script: its name must
// be one the page uses, and no attribute may be an event handler or carry a
// URL. A value that escaped its escaping would show up here as a stray tag or
// attribute.
void expect_only_known_markup(const std::string& page) {
  static const std::set<std::string> kTags = {
      "!DOCTYPE", "html",   "head", "meta",  "link",   "title",   "style",  "body",
      "main",     "header", "h1",   "h2",    "div",    "section", "p",      "span",
      "b",        "svg",    "g",    "rect",  "text",   "table",   "thead",  "tbody",
      "tr",       "th",     "td",   "input", "select", "option",  "footer", "script"};
  static const std::set<std::string> kAttributes = {
      "lang",        "charset",      "name",        "content",    "rel",        "href",
      "class",       "id",           "data-value",  "data-valid", "viewBox",    "preserveAspectRatio",
      "role",        "aria-label",   "x",           "y",          "width",      "height",
      "fill",        "rx",           "tabindex",    "data-rule",  "data-count", "data-column",
      "text-anchor", "type",         "placeholder", "value",      "title",      "data-column-index",
      "data-blanks", "data-distinct"};
  size_t scripts = 0;
  for (size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
    size_t end = page.find('>', at);
    ASSERT_NE(end, std::string::npos);
    std::string tag = page.substr(at + 1, end - at - 1);
    bool closing = !tag.empty() && tag[0] == '/';
    if (closing) tag.erase(0, 1);
    size_t name_end = tag.find_first_of(" /");
    const std::string name = tag.substr(0, name_end);
    EXPECT_TRUE(kTags.count(name)) << "tag <" << name << ">";
    if (closing) continue;
    if (name == "script") ++scripts;
    // Attributes: name="value" pairs, values free of quotes by construction.
    for (size_t p = name_end; p != std::string::npos && p < tag.size();) {
      p = tag.find_first_not_of(" /", p);
      if (p == std::string::npos || name == "!DOCTYPE") break;
      size_t eq = tag.find('=', p);
      ASSERT_NE(eq, std::string::npos) << tag;
      const std::string attribute = tag.substr(p, eq - p);
      EXPECT_TRUE(kAttributes.count(attribute)) << "attribute " << attribute << " in <" << name << ">";
      ASSERT_EQ(tag[eq + 1], '"') << tag;
      size_t value_end = tag.find('"', eq + 2);
      ASSERT_NE(value_end, std::string::npos) << tag;
      const std::string value = tag.substr(eq + 2, value_end - eq - 2);
      if (attribute == "href") {
        EXPECT_EQ(value, "data:,");
      }
      p = value_end + 1;
    }
    // The style sheet and the script are the page's own: skip to their end.
    if (name == "style" || name == "script") {
      at = page.find("</" + name + ">", end);
      ASSERT_NE(at, std::string::npos);
    }
  }
  EXPECT_EQ(scripts, 1u);
}

TEST(ValidateHtml, HostileTextsStayText) {
  TempDir dir;
  // Header names and values that would be markup, break out of attributes or
  // the script, are not UTF-8, or reverse the text around them.
  const std::string csv =
      "id,<script>alert(1)</script>,\"q\"\"uote\",\xFF\xFE,it's&co,bidi\xE2\x80\xAE"
      "evil\n"
      "1,<img src=x onerror=alert(1)>,\"\"\"><b>\",ok,\xC3(,x\n"
      "x,</script><script>alert(2)</script>,a\x01"
      "b,\xE2\x80\xAE,<!--,y\n"
      "3,\"a\nb\",&amp;,\xED\xA0\x80,]]>,z\n"
      "4\n";
  const std::string input = dir.write("in.csv", csv);
  const char* schema =
      R"({"id":{"type":"integer"},"<script>alert(1)</script>":{"max_len":3,"one_of":["<b>","\"x\"","'y'"]},)"
      R"("q\"uote":{"type":"float"},"it's&co":{"type":"boolean"},"bidi\u202eevil":{"one_of":["q"]}})";
  const std::string page = (dir.path() / "report.html").string();
  ReadOptions read{};
  read.size = sizeof read;
  read.quoting = QUELTA_QUOTING_RFC4180;
  ValidationReport* r = quelta_validate_html(input.c_str(), schema, 0, &read, page.c_str(), "in <b>&\".csv");
  ASSERT_NE(r, nullptr) << error_text();
  const std::string json = quelta_validate_json(r);
  quelta_validate_free(r);
  ValidationReport* plain = quelta_validate_with(input.c_str(), schema, 0, &read);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(json, quelta_validate_json(plain));
  quelta_validate_free(plain);

  const std::string html = file_bytes(page);
  EXPECT_TRUE(is_valid_utf8(reinterpret_cast<const uint8_t*>(html.data()), html.size()));
  expect_only_known_markup(html);
  EXPECT_EQ(html.find("\xE2\x80\xAE"), std::string::npos);  // the override shows as an escape
  EXPECT_EQ(html.find("\x01"), std::string::npos);
  for (const char* shown : {
           "<title>Validation report: in &lt;b&gt;&amp;&quot;.csv</title>",
           "&lt;script&gt;alert(1)&lt;/script&gt;",
           "&lt;img src=x onerror=alert(1)&gt;",
           "&lt;/script&gt;&lt;script&gt;alert(2)&lt;/script&gt;",
           "&quot;&gt;&lt;b&gt;",
           "q&quot;uote",
           "<span class=\"esc\">\\xFF</span><span class=\"esc\">\\xFE</span>",
           "<span class=\"esc\">\\xC3</span>(",
           "a<span class=\"esc\">\\x01</span>b",
           "a<span class=\"esc\">\\n</span>b",
           "bidi<span class=\"esc\">\\u202E</span>evil",
           "data-column=\"bidi\\u202Eevil\"",
           "it&#39;s&amp;co",
           "&amp;amp;",
           "&lt;!--",
           "one of: <span class=\"mono\">&lt;b&gt;</span>, <span class=\"mono\">&quot;x&quot;</span>",
       }) {
    EXPECT_NE(html.find(shown), std::string::npos) << shown;
  }
}

// Breaches made by construction: the page's counts by rule and by column must
// be the whole file's, though only five breaches are kept.
TEST(ValidateHtml, CountsOfTheWholeFile) {
  TempDir dir;
  std::string csv = "a,b,c\n";
  std::map<std::string, uint64_t> by_column;
  uint64_t bad_type = 0, above_max = 0, too_few = 0, invalid_rows = 0;
  const uint64_t rows = 1000;
  for (uint64_t i = 1; i <= rows; ++i) {
    if (i % 7 == 0) {
      csv += "1\n";  // too few fields; b and c are not tested
      ++too_few;
      ++invalid_rows;
      continue;
    }
    const bool a_bad = i % 3 == 0, b_bad = i % 5 == 0;
    csv += std::string(a_bad ? "x" : "1") + "," + (b_bad ? "99" : "5") + ",c\n";
    bad_type += a_bad;
    above_max += b_bad;
    by_column["a"] += a_bad;
    by_column["b"] += b_bad;
    invalid_rows += a_bad || b_bad;
  }
  const std::string input = dir.write("in.csv", csv);
  const char* schema = R"({"a":{"type":"integer"},"b":{"max":10},"c":{"required":true}})";
  const std::string page = (dir.path() / "p.html").string();
  const std::string json = html_report(input, schema, 5, page);
  EXPECT_EQ(json, report_json(input, schema, 5));
  const std::string html = file_bytes(page);

  const std::map<std::string, uint64_t> tiles = {{"rows-total", rows},
                                                 {"rows-valid", rows - invalid_rows},
                                                 {"rows-invalid", invalid_rows},
                                                 {"errors-total", bad_type + above_max + too_few},
                                                 {"f-total", 5}};
  for (const auto& [id, want] : tiles)
    EXPECT_EQ(attribute_near(html, "id=\"" + id + "\"", "data-value"), std::to_string(want)) << id;
  const std::map<std::string, uint64_t> rules = {
      {"bad_type", bad_type}, {"above_max", above_max}, {"too_few_fields", too_few}};
  for (const auto& [rule, want] : rules)
    EXPECT_EQ(attribute_near(html, "data-rule=\"" + rule + "\"", "data-count"), std::to_string(want)) << rule;
  for (const auto& [column, want] : by_column)
    EXPECT_EQ(attribute_near(html, "data-column=\"" + column + "\"", "data-count"), std::to_string(want))
        << column;
  EXPECT_EQ(attribute_near(html, "data-column=\"(whole row)\"", "data-count"), std::to_string(too_few));
  EXPECT_EQ(html.find("data-column=\"c\""), std::string::npos);  // no breaches, no bar
  EXPECT_NE(html.find("The table lists the first 5 of "), std::string::npos);
  EXPECT_NE(html.find("data-valid=\"false\""), std::string::npos);
}

TEST(ValidateHtml, ValidAndEmptyFiles) {
  TempDir dir;
  const char* schema = R"({"a":{"type":"integer"}})";
  struct Case {
    const char* data;
    const char* says;
  };
  for (const Case& c : {Case{"a\n1\n2\n", "Every one of the 2 rows pass the schema."},
                        Case{"a\n", "The file has no data rows."}}) {
    const std::string input = dir.write("in.csv", c.data);
    const std::string page = (dir.path() / "p.html").string();
    std::filesystem::remove(page);
    EXPECT_EQ(html_report(input, schema, 0, page), report_json(input, schema, 0));
    const std::string html = file_bytes(page);
    EXPECT_NE(html.find("data-valid=\"true\""), std::string::npos);
    EXPECT_NE(html.find(c.says), std::string::npos) << c.data;
    EXPECT_NE(html.find("No rule was broken."), std::string::npos);
    EXPECT_EQ(html.find("id=\"breaches\""), std::string::npos);
  }
}

// Whatever fails, no page is left and a file already at the page's path is
// untouched.
TEST(ValidateHtml, FailuresLeaveNoPage) {
  TempDir dir;
  const std::string input = dir.write("in.csv", "a\n1\n");
  const std::string kept = dir.write("kept.html", "untouched");
  const std::string page = (dir.path() / "new.html").string();
  const std::string missing_folder = (dir.path() / "no" / "p.html").string();
  const char* schema = R"({"a":{"type":"integer"}})";
  ReadOptions bad_read{};  // size 0: refused
  struct Case {
    const char* path;
    const char* schema;
    const char* page;
    const ReadOptions* read;
    const char* message;
  };
  const std::string missing_input = (dir.path() / "none.csv").string();
  const Case cases[] = {
      {nullptr, schema, page.c_str(), nullptr, "validate_html requires input, schema and html path"},
      {input.c_str(), nullptr, page.c_str(), nullptr, "validate_html requires input, schema and html path"},
      {input.c_str(), schema, nullptr, nullptr, "validate_html requires input, schema and html path"},
      {input.c_str(), schema, page.c_str(), &bad_read, "invalid read options"},
      {input.c_str(), "{\"a\":1}", page.c_str(), nullptr, "validate_html failed: BadSchema"},
      {input.c_str(), R"({"z":{}})", page.c_str(), nullptr, "validate_html failed: UnknownColumn"},
      {missing_input.c_str(), schema, page.c_str(), nullptr, "validate_html failed: FileNotFound"},
      {input.c_str(), schema, kept.c_str(), nullptr, "validate_html failed: PathAlreadyExists"},
      {input.c_str(), schema, missing_folder.c_str(), nullptr, "validate_html failed: FileNotFound"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quelta_validate_html(c.path, c.schema, 0, c.read, c.page, nullptr), nullptr) << c.message;
    EXPECT_EQ(error_text(), c.message);
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.csv", "kept.html"})) << c.message;
    EXPECT_EQ(file_bytes(kept), "untouched");
  }
}

// A write that fails at any point of a page of several buffers removes it.
TEST(ValidateHtml, FailedWriteRemovesThePage) {
  TempDir dir;
  std::string csv = "a\n";
  for (int i = 0; i < 3000; ++i) csv += "bad value " + std::to_string(i) + "\n";
  const std::string input = dir.write("in.csv", csv);
  const std::string page = (dir.path() / "p.html").string();
  const char* schema = R"({"a":{"type":"integer"}})";
  uint64_t n = 1;
  for (; n < 100; ++n) {
    platform::file_fail_write_at(n, Error::NoSpaceLeft);
    ValidationReport* r = quelta_validate_html(input.c_str(), schema, 3000, nullptr, page.c_str(), nullptr);
    platform::file_fail_write_at(0, Error::None);
    if (r) {
      quelta_validate_free(r);
      break;
    }
    EXPECT_EQ(error_text(), "validate_html failed: NoSpaceLeft");
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.csv"})) << "write " << n;
  }
  EXPECT_GE(n, 4u);  // the page spans several 64 KiB buffers
  EXPECT_NE(file_bytes(page).find("bad value 2999"), std::string::npos);
}

}  // namespace
}  // namespace quelta::test
