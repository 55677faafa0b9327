// The HTML page of a validation run. The page is written top to bottom in one
// pass; its look lives in the style sheet below, its numbers carry data-value
// attributes (the exact integers) beside their grouped display, and the breach
// table is filtered by a short script that only reads and hides table rows.
#include "report/html_report.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "json/file_sink.h"
#include "platform/file.h"
#include "platform/heap.h"
#include "platform/owned.h"
#include "profile/profile.h"
#include "quelta.h"
#include "report/html_text.h"

namespace quelta {
namespace {

constexpr size_t kFileBuffer = 65536;
constexpr size_t kValueChars = 160;  // a breach's value in the table
constexpr size_t kNameChars = 60;    // a column name in tables and filters
constexpr size_t kLabelChars = 22;   // a column name beside a bar
constexpr size_t kOneOfShown = 8;    // allowed values listed per rule
constexpr size_t kOneOfChars = 40;   // each of them
constexpr size_t kColumnBars = 15;   // bars in the by-column chart
constexpr size_t kTitleChars = 200;  // the input's name
constexpr size_t kTopValues = 5;     // most frequent values shown per column

// Rule colours by rule code, told apart on white and in print.
constexpr const char* kRuleColours[kRuleCount] = {
    "#7b4fb5", "#a05cc9", "#e07b24", "#d1453b", "#2f73c9", "#1a9a9a", "#d4508f", "#9c7a12", "#3c8d4f",
};

constexpr const char* kRuleMeanings[kRuleCount] = {
    "the row has fewer fields than the header",
    "the row has more fields than the header",
    "a required value is blank",
    "the value is not of the column's type",
    "the number is below the minimum",
    "the number is above the maximum",
    "the text is shorter than the shortest length allowed",
    "the text is longer than the longest length allowed",
    "the value is not one of those allowed",
};

constexpr std::string_view kStyle = R"(<style>
:root{--fg:#1c2330;--muted:#5d6878;--line:#e2e6ed;--bg:#f4f6f9;--card:#fff;--ok:#17794a;--ok-bg:#e4f4eb;--bad:#b8322a;--bad-bg:#fbe9e7}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--fg);font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif}
main{max-width:1220px;margin:0 auto;padding:18px 24px 32px}
h1{font-size:21px;margin:0}
h2{font-size:15px;margin:0 0 10px}
.file{font-family:ui-monospace,SFMono-Regular,Menlo,Consolas,"DejaVu Sans Mono",monospace;color:var(--muted);word-break:break-all;margin-top:2px}
.card{background:var(--card);border:1px solid var(--line);border-radius:10px;padding:14px 18px;margin-top:14px}
.verdict{display:grid;grid-template-columns:auto 1fr;gap:12px 18px;align-items:center}
.badge{font-weight:700;font-size:19px;padding:7px 16px;border-radius:8px;white-space:nowrap}
.ok .badge{background:var(--ok-bg);color:var(--ok)}
.bad .badge{background:var(--bad-bg);color:var(--bad)}
.summary{margin:0;font-size:15px}
.tiles{grid-column:1/-1;display:grid;grid-template-columns:repeat(4,minmax(0,1fr));gap:12px}
.tile{border:1px solid var(--line);border-radius:8px;padding:7px 12px}
.tile .k{font-size:11.5px;color:var(--muted);text-transform:uppercase;letter-spacing:.05em}
.tile .v{font-size:22px;font-weight:650;font-variant-numeric:tabular-nums}
.tile.good .v{color:var(--ok)}
.tile.poor .v{color:var(--bad)}
svg.split{grid-column:1/-1;width:100%;height:10px;display:block;border-radius:5px}
.charts{display:grid;grid-template-columns:minmax(0,1fr) minmax(0,1fr);gap:14px}
.charts .card{margin-top:14px}
svg.chart{width:100%;height:auto;display:block}
svg text{font-size:12.5px;fill:var(--fg)}
svg text.num{fill:var(--muted);font-variant-numeric:tabular-nums}
g.bar{cursor:pointer}
g.bar:hover rect,g.bar:focus rect{opacity:.78}
g.bar:focus{outline:none}
table{border-collapse:collapse;width:100%}
th,td{text-align:left;padding:6px 10px;border-bottom:1px solid var(--line);vertical-align:top}
th{font-size:11.5px;color:var(--muted);font-weight:600;text-transform:uppercase;letter-spacing:.04em;position:sticky;top:0;background:var(--card);z-index:1}
tbody tr:hover{background:#f8f9fc}
th.w-row{width:90px;text-align:right}
th.w-col{width:24%}
th.w-rule{width:170px}
th.w-idx{width:48px;text-align:right}
td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.mono,td.val{font-family:ui-monospace,SFMono-Regular,Menlo,Consolas,"DejaVu Sans Mono",monospace;font-size:12.5px}
td.val{word-break:break-all}
.esc{color:#9b2c2c;background:#fbe9e9;border-radius:3px;padding:0 1px}
.chip{display:inline-block;border:1px solid var(--line);border-radius:999px;padding:0 8px;margin:1px 4px 1px 0;font-size:12px;background:#f8fafc;white-space:nowrap}
.chip.type{border-color:#c8d5f1;background:#edf2fd;color:#274a9b}
.chip.req{border-color:#f0d2b4;background:#fdf3e8;color:#8a4a10}
.chip.seen{border-color:#d5dbe4;background:#f1f3f7;color:var(--fg)}
.prof{font-size:12.5px;color:var(--muted);white-space:nowrap;font-variant-numeric:tabular-nums}
.prof .chip{margin-right:6px}
.prof.top{white-space:normal;color:var(--fg)}
.rule{white-space:nowrap}
.rule::before{content:"";display:inline-block;width:9px;height:9px;border-radius:2px;margin-right:6px;background:var(--c)}
.muted{color:var(--muted)}
.more{color:var(--muted);font-size:11.5px;margin-left:4px}
.filters{display:flex;gap:10px;flex-wrap:wrap;align-items:center;margin-bottom:10px}
.filters input,.filters select{font:inherit;padding:5px 8px;border:1px solid #cdd4de;border-radius:6px;background:#fff;color:var(--fg)}
.filters input{min-width:260px}
.scroll{max-height:520px;overflow:auto;border:1px solid var(--line);border-radius:8px}
.frame{border:1px solid var(--line);border-radius:8px}
.scroll table th:first-child,.scroll table td:first-child{padding-left:12px}
.note{color:var(--muted);font-size:13px;margin:8px 0 0}
.empty{color:var(--muted);margin:6px 0}
footer{color:var(--muted);font-size:12px;margin-top:22px;text-align:center}
@media (max-width:900px){.charts{grid-template-columns:1fr}.tiles{grid-template-columns:repeat(2,minmax(0,1fr))}}
)";

// The filter: text, rule and column choices hide the breach rows that do not
// match; a click on a bar chooses its rule or column. The choices are built
// from the table's own cells, so nothing the script handles is markup.
constexpr std::string_view kScript = R"(<script>
(function () {
  "use strict";
  var table = document.getElementById("breaches");
  if (!table) return;
  var rows = Array.prototype.slice.call(table.tBodies[0].rows);
  var text = document.getElementById("f-text");
  var rule = document.getElementById("f-rule");
  var column = document.getElementById("f-column");
  var shown = document.getElementById("f-shown");
  function fill(select, cell) {
    var seen = {};
    var names = [];
    rows.forEach(function (r) {
      var t = r.cells[cell].textContent;
      if (!Object.prototype.hasOwnProperty.call(seen, t)) { seen[t] = true; names.push(t); }
    });
    names.sort().forEach(function (t) {
      var o = document.createElement("option");
      o.value = t;
      o.textContent = t;
      select.appendChild(o);
    });
  }
  function apply() {
    var needle = text.value.toLowerCase(), r = rule.value, c = column.value, n = 0;
    rows.forEach(function (row) {
      var ok = (!r || row.cells[2].textContent === r) && (!c || row.cells[1].textContent === c) &&
               (!needle || row.textContent.toLowerCase().indexOf(needle) >= 0);
      row.hidden = !ok;
      if (ok) n++;
    });
    shown.textContent = n.toLocaleString("en-US");
    shown.setAttribute("data-value", String(n));
  }
  function choose(select, value) {
    var known = Array.prototype.some.call(select.options, function (o) { return o.value === value; });
    select.value = known ? value : "";
    apply();
    table.scrollIntoView({behavior: "smooth", block: "nearest"});
  }
  fill(rule, 2);
  fill(column, 1);
  text.addEventListener("input", apply);
  rule.addEventListener("change", apply);
  column.addEventListener("change", apply);
  Array.prototype.forEach.call(document.querySelectorAll("g.bar"), function (g) {
    function pick() {
      if (g.hasAttribute("data-rule")) { column.value = ""; choose(rule, g.getAttribute("data-rule")); }
      else { rule.value = ""; choose(column, g.getAttribute("data-column")); }
    }
    g.addEventListener("click", pick);
    g.addEventListener("keydown", function (e) { if (e.key === "Enter" || e.key === " ") { e.preventDefault(); pick(); } });
  });
  apply();
})();
</script>
)";

// Writes onto a sink, keeping the first failure and skipping everything after
// it, so the page reads as one sequence of pieces.
class Html {
 public:
  explicit Html(OutputSink& sink) : sink_(sink) {}

  Html& operator<<(std::string_view t) {
    if (!failed(error_)) error_ = sink_.write(t);
    return *this;
  }
  // Input or schema text; mark sets escapes apart (element content only).
  Html& text(FieldView t, size_t max_chars, bool mark = false, bool* cut = nullptr) {
    if (!failed(error_)) error_ = write_html_text(sink_, t, HtmlTextOptions{max_chars, mark}, cut);
    return *this;
  }
  Html& integer(uint64_t v) {
    if (!failed(error_)) error_ = write_integer(sink_, v);
    return *this;
  }
  // 1234567 as 1,234,567.
  Html& grouped(uint64_t v) {
    char digits[20];
    size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    char out[27];
    size_t k = 0;
    for (size_t i = n; i-- > 0;) {
      out[k++] = digits[i];
      if (i > 0 && i % 3 == 0) out[k++] = ',';
    }
    return *this << std::string_view(out, k);
  }
  // A count for people, with its exact value for programs.
  Html& counted(const char* tag, const char* id, uint64_t v) {
    *this << "<" << tag;
    if (id) *this << " id=\"" << id << "\"";
    *this << " data-value=\"";
    integer(v) << "\">";
    grouped(v) << "</" << tag << ">";
    return *this;
  }
  // part of whole in percent with one decimal, never rounded to 0 or 100
  // when it is neither.
  Html& percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return *this << "0%";
    const double p = static_cast<double>(part) * 100.0 / static_cast<double>(whole);
    auto tenths = static_cast<uint64_t>(p * 10.0 + 0.5);
    if (part > 0 && tenths == 0) return *this << "&lt;0.1%";
    if (part < whole && tenths == 1000) return *this << "&gt;99.9%";
    integer(tenths / 10);
    if (tenths % 10) *this << "." << std::string_view(&"0123456789"[tenths % 10], 1);
    return *this << "%";
  }
  // A number of the profile: integers as they are, others to digits significant digits.
  Html& number(const JsonNode* v, int digits) {
    if (!v) return *this << "\xE2\x80\x94";
    if (v->type == JsonType::Integer) {
      if (v->integer < 0) *this << "-";
      return integer(v->integer < 0 ? 0 - static_cast<uint64_t>(v->integer)
                                    : static_cast<uint64_t>(v->integer));
    }
    if (v->type == JsonType::BigNumber)
      return *this << std::string_view(reinterpret_cast<const char*>(v->text.ptr), v->text.len);
    if (v->type != JsonType::Float) return *this << "\xE2\x80\x94";
    char buf[48];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v->number, std::chars_format::general, digits);
    return *this << std::string_view(buf, ec == std::errc() ? static_cast<size_t>(end - buf) : 0);
  }
  Html& plural(uint64_t n, std::string_view one, std::string_view many) {
    grouped(n) << " ";
    return *this << (n == 1 ? one : many);
  }
  Error error() const { return error_; }

 private:
  OutputSink& sink_;
  Error error_ = Error::None;
};

uint64_t total_breaches(const RuleCounts& counts) {
  uint64_t sum = 0;
  for (uint64_t n : counts.n) sum += n;
  return sum;
}

const char* rule_text(size_t rule) { return rule_name(static_cast<Rule>(rule)); }

uint64_t column_total(const ReportDetail& d, size_t column) {
  uint64_t sum = 0;
  for (size_t r = 0; r < kRuleCount; ++r) sum += d.column_counts[column * kRuleCount + r];
  return sum;
}

// Breaches with no column: the field-count rules.
uint64_t row_length_breaches(const RuleCounts& counts) {
  return counts.n[static_cast<size_t>(Rule::TooFewFields)] +
         counts.n[static_cast<size_t>(Rule::TooManyFields)];
}

void write_rule_classes(Html& h) {
  for (size_t r = 0; r < kRuleCount; ++r) {
    h << ".r";
    h.integer(r) << "{--c:" << kRuleColours[r] << "}\n";
  }
}

void write_head(Html& h, const HtmlReportInput& in) {
  h << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       "<meta name=\"generator\" content=\"quelta " QUELTA_VERSION_STRING
       "\">\n"
       "<link rel=\"icon\" href=\"data:,\">\n<title>Validation report: ";
  h.text(in.title, kTitleChars) << "</title>\n" << kStyle;
  write_rule_classes(h);
  h << "</style>\n</head>\n<body>\n<main>\n";
}

void write_header(Html& h, const HtmlReportInput& in) {
  const ReportDetail& d = *in.detail;
  size_t with_rules = 0;
  for (size_t c = 0; c < d.n_names; ++c) {
    for (size_t i = 0; i < d.schema.n_rules; ++i) {
      if (d.schema.rules[i].column == c) {
        ++with_rules;
        break;
      }
    }
  }
  h << "<header>\n<h1>Validation report</h1>\n<div class=\"file\" id=\"input-name\">";
  h.text(in.title, kTitleChars, true) << "</div>\n<div class=\"muted\">";
  h.plural(d.n_names, "column", "columns") << ", ";
  h.grouped(with_rules) << " with rules</div>\n</header>\n";
}

void write_tile(Html& h, const char* label, const char* id, uint64_t v, const char* tone) {
  h << "<div class=\"tile" << tone << "\"><div class=\"k\">" << label << "</div><div class=\"v\">";
  h.counted("span", id, v) << "</div></div>\n";
}

void write_verdict(Html& h, const HtmlReportInput& in) {
  const ReportRun& run = *in.run;
  const uint64_t breaches = total_breaches(run.counts);
  const bool valid = run.rows_invalid == 0;
  h << "<section class=\"card verdict " << (valid ? "ok" : "bad") << "\" id=\"verdict\" data-valid=\""
    << (valid ? "true" : "false") << "\">\n<div class=\"badge\">"
    << (valid ? "\xE2\x9C\x93 Valid" : "\xE2\x9C\x97 Invalid") << "</div>\n<p class=\"summary\">";
  if (run.rows_total == 0) {
    h << "The file has no data rows.";
  } else if (valid) {
    h << "Every one of the ";
    h.plural(run.rows_total, "row passes", "rows pass") << " the schema.";
  } else {
    size_t rules = 0;
    for (uint64_t n : run.counts.n) rules += n != 0;
    h.grouped(run.rows_invalid) << " of ";
    h.plural(run.rows_total, "row", "rows") << " (";
    h.percent(run.rows_invalid, run.rows_total) << ") break the schema: ";
    h.plural(breaches, "breach", "breaches") << " of ";
    h.plural(rules, "rule.", "rules.");
  }
  h << "</p>\n<div class=\"tiles\">\n";
  write_tile(h, "Rows", "rows-total", run.rows_total, "");
  write_tile(h, "Valid rows", "rows-valid", run.rows_valid, valid ? " good" : "");
  write_tile(h, "Invalid rows", "rows-invalid", run.rows_invalid, valid ? "" : " poor");
  write_tile(h, "Breaches", "errors-total", breaches, breaches ? " poor" : "");
  h << "</div>\n";
  if (run.rows_total > 0) {
    // The share of valid rows as a bar, at least one unit for a share that exists.
    uint64_t good = run.rows_valid * 1000 / run.rows_total;
    if (run.rows_valid > 0 && good == 0) good = 1;
    if (run.rows_invalid > 0 && good == 1000) good = 999;
    h << "<svg class=\"split\" viewBox=\"0 0 1000 10\" preserveAspectRatio=\"none\" role=\"img\" "
         "aria-label=\"valid and invalid rows\"><rect x=\"0\" y=\"0\" width=\"";
    h.integer(good) << "\" height=\"10\" fill=\"#2f9e62\"/><rect x=\"";
    h.integer(good) << "\" y=\"0\" width=\"";
    h.integer(1000 - good) << "\" height=\"10\" fill=\"#d1453b\"/></svg>\n";
  }
  h << "</section>\n";
}

// Bar geometry of both charts, in the units of their viewBox.
constexpr uint64_t kChartWidth = 560, kRowHeight = 28, kBarHeight = 18, kTop = 6;
constexpr uint64_t kRuleLabelWidth = 150, kColumnLabelWidth = 196, kCountRoom = 72;

uint64_t bar_length(uint64_t count, uint64_t max, uint64_t room) {
  if (count == 0 || max == 0) return 0;
  uint64_t w = static_cast<uint64_t>(
      static_cast<double>(count) / static_cast<double>(max) * static_cast<double>(room) + 0.5);
  return w < 2 ? 2 : w;
}

void write_chart_open(Html& h, size_t bars, const char* label) {
  h << "<svg class=\"chart\" viewBox=\"0 0 ";
  h.integer(kChartWidth) << " ";
  h.integer(kTop * 2 + bars * kRowHeight) << "\" role=\"img\" aria-label=\"" << label << "\">\n";
}

void write_label(Html& h, uint64_t label_width, uint64_t y) {
  h << "<text x=\"";
  h.integer(label_width - 8) << "\" y=\"";
  h.integer(y + 13) << "\" text-anchor=\"end\">";
}

void write_count_text(Html& h, uint64_t x, uint64_t y, uint64_t count) {
  h << "<text class=\"num\" x=\"";
  h.integer(x + 6) << "\" y=\"";
  h.integer(y + 13) << "\">";
  h.grouped(count) << "</text>";
}

void write_rect(Html& h, uint64_t x, uint64_t y, uint64_t w, size_t rule) {
  h << "<rect x=\"";
  h.integer(x) << "\" y=\"";
  h.integer(y) << "\" width=\"";
  h.integer(w) << "\" height=\"";
  h.integer(kBarHeight) << "\" rx=\"2\" fill=\"" << kRuleColours[rule] << "\"/>";
}

void write_rule_chart(Html& h, const RuleCounts& counts) {
  // Most breaches first, rule order among equals: an insertion sort of at most nine.
  size_t order[kRuleCount];
  size_t n = 0;
  for (size_t r = 0; r < kRuleCount; ++r) {
    if (!counts.n[r]) continue;
    size_t at = n++;
    for (; at > 0 && counts.n[order[at - 1]] < counts.n[r]; --at) order[at] = order[at - 1];
    order[at] = r;
  }
  h << "<section class=\"card\" id=\"by-rule\">\n<h2>Breaches by rule</h2>\n";
  if (n == 0) {
    h << "<p class=\"empty\">No rule was broken.</p>\n</section>\n";
    return;
  }
  write_chart_open(h, n, "breaches by rule");
  const uint64_t max = counts.n[order[0]];
  const uint64_t room = kChartWidth - kRuleLabelWidth - kCountRoom;
  for (size_t i = 0; i < n; ++i) {
    const size_t r = order[i];
    const uint64_t y = kTop + i * kRowHeight;
    const uint64_t w = bar_length(counts.n[r], max, room);
    h << "<g class=\"bar\" tabindex=\"0\" data-rule=\"" << rule_text(r) << "\" data-count=\"";
    h.integer(counts.n[r]) << "\"><title>" << rule_text(r) << ": ";
    h.plural(counts.n[r], "breach", "breaches") << " (" << kRuleMeanings[r] << ")</title>";
    write_label(h, kRuleLabelWidth, y);
    h << rule_text(r) << "</text>";
    write_rect(h, kRuleLabelWidth, y, w, r);
    write_count_text(h, kRuleLabelWidth + w, y, counts.n[r]);
    h << "</g>\n";
  }
  h << "</svg>\n</section>\n";
}

// One bar per column with breaches, most first, its parts coloured by rule;
// the field-count breaches, which belong to no column, as a bar of their own.
Error write_column_chart(Html& h, const ReportRun& run, const ReportDetail& d) {
  OwnedBuffer<size_t> owned_order;
  GrowBuffer<size_t>& order = *owned_order.get();
  for (size_t c = 0; c < d.n_names; ++c) {
    if (column_total(d, c) == 0) continue;
    if (Error e = order.push(c); failed(e)) return e;
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const uint64_t ta = column_total(d, a), tb = column_total(d, b);
    return ta != tb ? ta > tb : a < b;
  });
  const uint64_t whole_row = row_length_breaches(run.counts);
  const size_t shown = std::min(order.len, kColumnBars);
  const size_t bars = shown + (whole_row ? 1 : 0);
  h << "<section class=\"card\" id=\"by-column\">\n<h2>Breaches by column</h2>\n";
  if (bars == 0) {
    h << "<p class=\"empty\">No column has a breach.</p>\n</section>\n";
    return h.error();
  }
  uint64_t max = whole_row;
  if (shown) max = std::max(max, column_total(d, order[0]));
  const uint64_t room = kChartWidth - kColumnLabelWidth - kCountRoom;
  write_chart_open(h, bars, "breaches by column");
  for (size_t i = 0; i < bars; ++i) {
    const uint64_t y = kTop + i * kRowHeight;
    if (i == shown) {
      // Field-count breaches: the row as a whole.
      h << "<g class=\"bar\" tabindex=\"0\" data-column=\"(whole row)\" data-count=\"";
      h.integer(whole_row) << "\"><title>the number of fields: ";
      h.plural(whole_row, "breach", "breaches") << "</title>";
      write_label(h, kColumnLabelWidth, y);
      h << "(whole row)</text>";
      uint64_t x = kColumnLabelWidth, done = 0;
      const uint64_t w = bar_length(whole_row, max, room);
      for (size_t r = 0; r < 2; ++r) {
        if (!run.counts.n[r]) continue;
        done += run.counts.n[r];
        const uint64_t end = kColumnLabelWidth + bar_length(done, whole_row, w);
        write_rect(h, x, y, end - x, r);
        x = end;
      }
      write_count_text(h, x, y, whole_row);
      h << "</g>\n";
      continue;
    }
    const size_t c = order[i];
    const uint64_t total = column_total(d, c);
    const uint64_t w = bar_length(total, max, room);
    h << "<g class=\"bar\" tabindex=\"0\" data-column=\"";
    h.text(d.names[c], kNameChars) << "\" data-count=\"";
    h.integer(total) << "\"><title>";
    h.text(d.names[c], kNameChars) << ": ";
    h.plural(total, "breach", "breaches");
    for (size_t r = 0; r < kRuleCount; ++r) {
      const uint64_t n = d.column_counts[c * kRuleCount + r];
      if (!n) continue;
      h << "\n" << rule_text(r) << ": ";
      h.grouped(n);
    }
    h << "</title>";
    write_label(h, kColumnLabelWidth, y);
    h.text(d.names[c], kLabelChars) << "</text>";
    // Each rule's part ends where the running total reaches, so rounding never
    // makes the parts overrun the bar.
    uint64_t x = kColumnLabelWidth, done = 0;
    for (size_t r = 0; r < kRuleCount; ++r) {
      const uint64_t n = d.column_counts[c * kRuleCount + r];
      if (!n) continue;
      done += n;
      const uint64_t end = kColumnLabelWidth + bar_length(done, total, w);
      if (end > x) write_rect(h, x, y, end - x, r);
      x = std::max(x, end);
    }
    write_count_text(h, x, y, total);
    h << "</g>\n";
  }
  h << "</svg>\n";
  if (order.len > shown) {
    h << "<p class=\"note\">and ";
    h.plural(order.len - shown, "more column", "more columns") << " with fewer breaches (see Columns)</p>\n";
  }
  h << "</section>\n";
  return h.error();
}

void write_number(Html& h, double v) {
  char buf[kPlainDoubleMax];
  const size_t n = format_plain_double(v, buf);
  h << std::string_view(buf, n);
}

void write_rules(Html& h, const ReportDetail& d, size_t column) {
  bool any = false;
  for (size_t i = 0; i < d.schema.n_rules; ++i) {
    const ColumnRule& r = d.schema.rules[i];
    if (r.column != column) continue;
    any = true;
    const bool constrained =
        r.required || r.has_min || r.has_max || r.has_min_len || r.has_max_len || r.n_one_of;
    if (r.type != ValueType::Any || !constrained)
      h << "<span class=\"chip type\">" << value_type_name(r.type) << "</span>";
    if (r.required) h << "<span class=\"chip req\">required</span>";
    if (r.has_min) {
      h << "<span class=\"chip\">min ";
      write_number(h, r.min);
      h << "</span>";
    }
    if (r.has_max) {
      h << "<span class=\"chip\">max ";
      write_number(h, r.max);
      h << "</span>";
    }
    if (r.has_min_len || r.has_max_len) {
      h << "<span class=\"chip\">length ";
      if (r.has_min_len && r.has_max_len) {
        h.grouped(r.min_len) << "\xE2\x80\x93";
        h.grouped(r.max_len);
      } else if (r.has_min_len) {
        h << "\xE2\x89\xA5 ";
        h.grouped(r.min_len);
      } else {
        h << "\xE2\x89\xA4 ";
        h.grouped(r.max_len);
      }
      h << "</span>";
    }
    if (r.n_one_of > 0) {
      h << "<span class=\"chip\">one of: ";
      for (size_t k = 0; k < r.n_one_of && k < kOneOfShown; ++k) {
        if (k) h << ", ";
        h << "<span class=\"mono\">";
        h.text(r.one_of[k], kOneOfChars, true) << "</span>";
      }
      if (r.n_one_of > kOneOfShown) {
        h << " and ";
        h.grouped(r.n_one_of - kOneOfShown) << " more";
      }
      h << "</span>";
    }
  }
  if (!any) h << "<span class=\"muted\">no rules</span>";
}

const JsonNode* member(const JsonNode* object, std::string_view key) {
  if (!object || object->type != JsonType::Object) return nullptr;
  for (size_t i = 0; i < object->n; ++i) {
    const FieldView& k = object->keys[i];
    if (k.len == key.size() && std::memcmp(k.ptr, key.data(), k.len) == 0) return &object->items[i];
  }
  return nullptr;
}

uint64_t count_of(const JsonNode* v) {
  return v && v->type == JsonType::Integer && v->integer > 0 ? static_cast<uint64_t>(v->integer) : 0;
}

// A text of the profile: a string, or the array of byte values the profile
// writes for bytes that are not UTF-8 (its first bytes, enough for a short view).
void write_profile_text(Html& h, const JsonNode* v, size_t max_chars) {
  if (!v) return;
  if (v->type == JsonType::String) {
    h.text(v->text, max_chars, true);
    return;
  }
  if (v->type != JsonType::Array) return;
  uint8_t bytes[256];
  size_t n = 0;
  for (; n < v->n && n < sizeof bytes; ++n) bytes[n] = static_cast<uint8_t>(v->items[n].integer);
  h.text(FieldView{bytes, n}, max_chars, true);
  if (n < v->n) h << "\xE2\x80\xA6";
}

// The profile of column index: the object of the profile's columns whose "index" it is.
const JsonNode* profile_of(const JsonNode* columns, size_t index) {
  if (!columns || columns->type != JsonType::Array) return nullptr;
  for (size_t i = 0; i < columns->n; ++i) {
    const JsonNode* at = member(&columns->items[i], "index");
    if (at && at->type == JsonType::Integer && static_cast<uint64_t>(at->integer) == index)
      return &columns->items[i];
  }
  return nullptr;
}

bool is_word(const JsonNode* v, std::string_view word) {
  return v && v->type == JsonType::String && v->text.len == word.size() &&
         std::memcmp(v->text.ptr, word.data(), word.size()) == 0;
}

void write_profile(Html& h, const JsonNode* p) {
  if (!p) return;
  const uint64_t rows = count_of(member(p, "rows")), blanks = count_of(member(p, "blanks"));
  const JsonNode* type = member(p, "type");
  const JsonNode* distinct = member(p, "distinct");
  const uint64_t n_distinct = count_of(member(distinct, "count"));
  // The figures a program checks, beside their display.
  h << "<div class=\"prof\" data-blanks=\"";
  h.integer(blanks) << "\" data-distinct=\"";
  h.integer(n_distinct) << "\"><span class=\"chip seen\" title=\"the strictest type every non-blank value "
                           "meets\">";
  if (type && type->type == JsonType::String) h.text(type->text, 20);
  h << "</span> ";
  if (blanks == 0) {
    h << "no blanks";
  } else {
    h.plural(blanks, "blank", "blanks");
    h << " (";
    h.percent(blanks, rows) << ")";
  }
  const JsonNode* exact = member(distinct, "exact");
  h << " \xC2\xB7 ";
  if (exact && exact->type == JsonType::False) h << "\xE2\x89\x88";
  h.grouped(n_distinct) << " distinct";
  const uint64_t numeric = count_of(member(p, "numeric")), texts = count_of(member(p, "texts"));
  // A text column mixing kinds: how many values of each, which tells a stray value from a wrong type.
  const uint64_t booleans = count_of(member(p, "booleans")), datetimes = count_of(member(p, "datetimes"));
  if (is_word(type, "string") && (numeric || booleans || datetimes)) {
    const std::pair<uint64_t, const char*> kinds[] = {
        {numeric, " numeric"}, {booleans, " boolean"}, {datetimes, " datetime"}, {texts, " other"}};
    const char* separator = " \xC2\xB7 ";
    for (const auto& [n, word] : kinds) {
      if (!n) continue;
      h << separator;
      h.grouped(n) << word;
      separator = ", ";
    }
  }
  h << "</div>";
  if (numeric) {
    h << "<div class=\"prof\">min ";
    h.number(member(p, "min"), 6) << " \xC2\xB7 max ";
    h.number(member(p, "max"), 6) << " \xC2\xB7 mean ";
    h.number(member(p, "mean"), 4) << " \xC2\xB7 sd ";
    h.number(member(p, "stddev"), 4) << "</div>";
    const JsonNode* q = member(p, "quantiles");
    if (q && q->type == JsonType::Object) {
      h << "<div class=\"prof\" title=\"percentiles of the numeric values\">p1 ";
      h.number(member(q, "p1"), 6) << " \xC2\xB7 p25 ";
      h.number(member(q, "p25"), 6) << " \xC2\xB7 median ";
      h.number(member(q, "p50"), 6) << " \xC2\xB7 p75 ";
      h.number(member(q, "p75"), 6) << " \xC2\xB7 p99 ";
      h.number(member(q, "p99"), 6) << "</div>";
    }
  }
  const JsonNode* min_length = member(p, "min_length");
  if (min_length && min_length->type == JsonType::Integer) {
    h << "<div class=\"prof\">length ";
    h.number(min_length, 6) << "\xE2\x80\x93";
    h.number(member(p, "max_length"), 6) << "</div>";
  }
  // The most frequent values, unless every value is seen once.
  const JsonNode* values = member(distinct, "values");
  if (values && values->type == JsonType::Array && values->n > 0 &&
      count_of(member(&values->items[0], "count")) > 1) {
    h << "<div class=\"prof top\">";
    for (size_t i = 0; i < values->n && i < kTopValues; ++i) {
      if (i) h << ", ";
      h << "<span class=\"mono\">";
      write_profile_text(h, member(&values->items[i], "value"), kOneOfChars);
      h << "</span>&#8201;\xC3\x97";
      h.grouped(count_of(member(&values->items[i], "count")));
    }
    if (values->n > kTopValues) h << ", \xE2\x80\xA6";
    h << "</div>";
  }
}

void write_columns(Html& h, const ReportDetail& d, const JsonNode* profile) {
  h << "<section class=\"card\" id=\"columns\">\n<h2>Columns</h2>\n<div class=\"frame\"><table>\n"
       "<thead><tr><th class=\"w-idx\">#</th><th class=\"w-col\">Column</th><th>Rules</th><th>Breaches</th>";
  if (profile) h << "<th>Profile of the file</th>";
  h << "</tr></thead>\n<tbody>\n";
  for (size_t c = 0; c < d.n_names; ++c) {
    const uint64_t total = column_total(d, c);
    h << "<tr data-column-index=\"";
    h.integer(c) << "\"><td class=\"n muted\">";
    h.integer(c) << "</td><td class=\"mono\">";
    h.text(d.names[c], kNameChars, true) << "</td><td>";
    write_rules(h, d, c);
    h << "</td><td>";
    h.counted("span", nullptr, total);
    for (size_t r = 0; r < kRuleCount; ++r) {
      const uint64_t n = d.column_counts[c * kRuleCount + r];
      if (!n) continue;
      h << " <span class=\"more rule r";
      h.integer(r) << "\">" << rule_text(r) << " ";
      h.grouped(n) << "</span>";
    }
    h << "</td>";
    if (profile) {
      h << "<td>";
      write_profile(h, profile_of(profile, c));
      h << "</td>";
    }
    h << "</tr>\n";
  }
  h << "</tbody></table></div>\n</section>\n";
}

void write_breaches(Html& h, const HtmlReportInput& in) {
  const ReportRun& run = *in.run;
  const uint64_t breaches = total_breaches(run.counts);
  h << "<section class=\"card\" id=\"breach-list\">\n<h2>Breaches</h2>\n";
  if (run.errors.len == 0) {
    h << "<p class=\"empty\">No breaches to list.</p>\n</section>\n";
    return;
  }
  h << "<div class=\"filters\"><input id=\"f-text\" type=\"search\" placeholder=\"Filter by any text\" "
       "aria-label=\"filter by text\"><select id=\"f-rule\" aria-label=\"rule\"><option value=\"\">every "
       "rule</option></select><select id=\"f-column\" aria-label=\"column\"><option value=\"\">every "
       "column</option></select><span class=\"muted\">showing <b id=\"f-shown\">";
  h.grouped(run.errors.len) << "</b> of ";
  h.counted("b", "f-total", run.errors.len) << "</span></div>\n";
  h << "<div class=\"scroll\"><table id=\"breaches\">\n<thead><tr><th class=\"w-row\">Row</th>"
       "<th class=\"w-col\">Column</th><th class=\"w-rule\">Rule</th><th>Value</th></tr></thead>\n<tbody>\n";
  for (size_t i = 0; i < run.errors.len; ++i) {
    const ValidationError& e = run.errors[i];
    const size_t r = static_cast<size_t>(e.rule);
    h << "<tr><td class=\"n\">";
    h.integer(e.row) << "</td><td class=\"mono\">";
    if (e.has_column)
      h.text(e.column_name, kNameChars, true);
    else
      h << "(whole row)";
    h << "</td><td><span class=\"rule r";
    h.integer(r) << "\" title=\"" << kRuleMeanings[r] << "\">" << rule_text(r)
                 << "</span></td><td class=\"val\">";
    if (e.has_column && e.value.len == 0) {
      h << "<span class=\"muted\">(empty)</span>";
    } else {
      bool cut = false;
      h.text(e.value, kValueChars, true, &cut);
      if (cut) {
        h << "<span class=\"more\">(";
        h.plural(e.value.len, "byte", "bytes") << ")</span>";
      }
    }
    h << "</td></tr>\n";
  }
  h << "</tbody></table></div>\n";
  if (run.errors.len < breaches) {
    h << "<p class=\"note\" id=\"truncated\">The table lists the first ";
    h.grouped(run.errors.len) << " of ";
    h.plural(breaches, "breach", "breaches") << "; a larger max_errors (--max-errors) lists more.</p>\n";
  }
  h << "</section>\n";
}

// Profiles every header column from the rows the run reads; the columns are
// made at the first row (or after the run, for a file without rows).
struct RowProfiler {
  const ReportDetail* detail;
  platform::Owned<FileProfile, file_profile_free> profile;

  static Error observe(void* context, const FieldView* fields, size_t n) {
    auto* self = static_cast<RowProfiler*>(context);
    FileProfile& p = *self->profile.get();
    if (p.columns.len < self->detail->n_names) {
      if (Error e = p.columns.fill(ColumnProfile{}, self->detail->n_names); failed(e)) return e;
    }
    ++p.rows;
    for (size_t i = 0; i < p.columns.len; ++i) {
      if (Error e = column_profile_add(&p.columns.data[i], i < n ? fields[i] : FieldView{}); failed(e))
        return e;
    }
    return Error::None;
  }

  // The profile's JSON text in text, parsed into tree (whose views point into text).
  Error finish(MemorySink& text, JsonTree* tree) {
    FileProfile& p = *profile.get();
    const size_t n = detail->n_names;
    if (p.columns.len < n) {
      if (Error e = p.columns.fill(ColumnProfile{}, n); failed(e)) return e;
    }
    if (Error e = p.names.reserve(n); failed(e)) return e;
    if (Error e = p.indexes.reserve(n); failed(e)) return e;
    for (size_t i = 0; i < n; ++i) {
      if (Error e = column_profile_finish(&p.columns.data[i]); failed(e)) return e;
      p.names.data[p.names.len++] = detail->names[i];
      p.indexes.data[p.indexes.len++] = i;
    }
    if (Error e = write_profile_json(p, text); failed(e)) return e;
    return json_tree_parse(text.data(), text.size(), tree);
  }
};

}  // namespace

Error write_html_report(OutputSink& sink, const HtmlReportInput& in) {
  Html h(sink);
  write_head(h, in);
  write_header(h, in);
  write_verdict(h, in);
  h << "<div class=\"charts\">\n";
  write_rule_chart(h, in.run->counts);
  if (Error e = write_column_chart(h, *in.run, *in.detail); failed(e)) return e;
  h << "</div>\n";
  write_breaches(h, in);
  write_columns(h, *in.detail, in.profile);
  h << "<footer>Written by quelta " QUELTA_VERSION_STRING
       "; the page is self-contained and works offline.</footer>\n</main>\n"
    << kScript << "</body>\n</html>\n";
  return h.error();
}

Error write_html_report_file(const char* path, const HtmlReportInput& in) {
  platform::File file;
  if (Error e = platform::file_create_new(path, &file); failed(e)) return e;
  FileSink sink;
  Error e = sink.attach(file, kFileBuffer);
  if (!failed(e)) e = write_html_report(sink, in);
  if (!failed(e)) e = sink.flush();
  sink.release();
  Error closed = platform::file_close_written(&file);
  if (!failed(e)) e = closed;
  if (failed(e)) (void)platform::file_delete(path);
  return e;
}

Error html_report_run(ReportRun* run, const char* path, const char* schema_json, uint64_t cap,
                      const ReadSettings& read, const char* html_path, const char* title, FailureSite* site) {
  platform::Owned<ReportDetail, report_detail_release> detail;
  // A failed report_run leaves nothing in the run; a later failure releases it here.
  platform::OwnedPtr<ReportRun, report_run_release> run_owner;
  MemorySink profile_text;
  platform::Owned<JsonTree, json_tree_free> profile;
  {
    // The rows' profile lasts until its text is written and parsed.
    RowProfiler profiler{detail.get(), {}};
    detail->observe = RowProfiler::observe;
    detail->observer = &profiler;
    if (Error e = report_run(run, path, schema_json, cap, read, site, detail.get()); failed(e)) return e;
    run_owner = platform::OwnedPtr<ReportRun, report_run_release>(run);
    if (Error e = profiler.finish(profile_text, profile.get()); failed(e)) return e;
  }
  const HtmlReportInput page{run, detail.get(),
                             FieldView{reinterpret_cast<const uint8_t*>(title), std::strlen(title)}, cap,
                             member(&profile->root, "columns")};
  if (Error e = write_html_report_file(html_path, page); failed(e)) return e;
  (void)run_owner.release();
  return Error::None;
}

void html_report_discard(const char* html_path) { (void)platform::file_delete(html_path); }

}  // namespace quelta
