#!/usr/bin/env python3
"""Opens the page of `quelta validate --html` in headless Chromium and checks what
a reader sees: the numbers of the rendered page against the JSON report and a
tally of the streamed breaches, each listed value as the page must show it, no
console message, no markup from the data, and the filter driven as a reader
would, and each column's profile against `quelta summary`. Saves screenshots of the page (laptop window and whole page) in --out.

Usage: html_report_browser_test.py --tool PATH --out DIR
Exit status 77 (skipped) when no chromium is installed.
"""
import argparse
import collections
import html.parser
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
COLUMNS = ["id", "name", "email", "age", "country", "joined", "score", "note"]
SCHEMA = {
    "id": {"type": "integer", "required": True, "min": 1},
    "name": {"type": "string", "required": True, "max_len": 24},
    "email": {"required": True, "min_len": 5},
    "age": {"type": "integer", "min": 0, "max": 120},
    "country": {"one_of": ["CH", "DE", "DK", "FI", "FR", "GB", "NL", "US"]},
    "joined": {"type": "datetime"},
    "score": {"type": "float", "min": 0, "max": 1},
}
# Values that must show as text: markup, quotes, bytes that are not UTF-8,
# controls, a direction override, a long text.
HOSTILE = [b"<script>alert(1)</script>", b"<img src=x onerror=alert(2)>", b'"><b>bold</b>', b"\xff\xfe",
           b"a\x01b", "x\u202eevil".encode(), b"&amp;", b"</td></tr></table>", b"w" * 400]
MAX_ERRORS = 400
PAGE_TAGS = {"html", "head", "meta", "link", "title", "style", "body", "main", "header", "h1", "h2", "div", "section",
             "p", "span", "b", "svg", "g", "rect", "text", "table", "thead", "tbody", "tr", "th", "td", "input",
             "select", "option", "footer", "script"}


def generated_csv(rows: int) -> bytes:
    rnd = random.Random(24)
    out = [",".join(COLUMNS).encode()]
    for i in range(1, rows + 1):
        f = [str(i).encode(), b"Person %d" % i, b"p%d@example.org" % i, str(rnd.randint(18, 90)).encode(),
             rnd.choice([b"CH", b"DE", b"FR", b"GB", b"US"]), b"2024-%02d-%02d" % (rnd.randint(1, 12), rnd.randint(1, 28)),
             b"0.%d" % rnd.randint(0, 99), b"ok"]
        roll = rnd.random()
        if roll < 0.04:
            f[3] = rnd.choice([b"thirty", b"-4", b"130", b""])
        elif roll < 0.07:
            f[4] = rnd.choice([b"XX", b"uk", rnd.choice(HOSTILE)])
        elif roll < 0.09:
            f[5] = rnd.choice([b"2024-02-30", b"yesterday"])
        elif roll < 0.10:
            f[6] = rnd.choice([b"1.5", b"-0.1", b"NaN"])
        elif roll < 0.11:
            f[1] = rnd.choice(HOSTILE)
        elif roll < 0.115:
            f[2] = b""
        elif roll < 0.118:
            f = f[:5]
        out.append(b",".join(b'"' + v.replace(b'"', b'""') + b'"' if b'"' in v or b"," in v else v for v in f))
    return b"\n".join(out) + b"\n"


def shown(value: bytes, limit: int = 160) -> str:
    """The text a reader sees for a value: the page's escapes written out independently."""
    text, n, chars, i = [], len(value), 0, 0
    while i < n:
        if chars == limit:
            return "".join(text) + "\u2026" + "(%d bytes)" % n
        chars += 1
        for size in (1, 2, 3, 4):
            try:
                c = value[i:i + size].decode("utf-8")
                break
            except UnicodeDecodeError:
                c = None
        if c is None or len(c) != 1:
            text.append("\\x%02X" % value[i])
            i += 1
            continue
        i += size
        cp = ord(c)
        if c in "\n\r\t":
            text.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}[c])
        elif cp < 0x20 or cp == 0x7F:
            text.append("\\x%02X" % cp)
        elif 0x80 <= cp <= 0x9F or cp in (0xAD, 0x61C, 0x180E, 0xFEFF) or 0x200B <= cp <= 0x200F or \
                0x2028 <= cp <= 0x202E or 0x2060 <= cp <= 0x206F or 0xFFF9 <= cp <= 0xFFFB or \
                0xFDD0 <= cp <= 0xFDEF or cp & 0xFFFE == 0xFFFE or 0xE0000 <= cp <= 0xE007F:
            text.append("\\u%04X" % cp if cp <= 0xFFFF else "\\u%06X" % cp)
        else:
            text.append(c)
    return "".join(text)


def json_bytes(v) -> bytes:
    return bytes(v) if isinstance(v, list) else v.encode("utf-8")


class Dom(html.parser.HTMLParser):
    """The rendered DOM: elements with their attributes and text, by id and in order."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.elements = []  # [tag, attrs, text]
        self.open = []
        self.by_id = {}

    def handle_starttag(self, tag, attrs):
        e = [tag, dict(attrs), []]
        self.elements.append(e)
        if "id" in e[1]:
            self.by_id[e[1]["id"]] = e
        if tag not in ("meta", "link", "input", "rect", "br", "img"):
            self.open.append(e)

    def handle_endtag(self, tag):
        while self.open:
            if self.open.pop()[0] == tag:
                break

    def handle_data(self, data):
        for e in self.open:
            e[2].append(data)

    def text(self, e) -> str:
        return "".join(e[2])

    def find(self, tag, **attrs):
        return [e for e in self.elements if e[0] == tag and all(e[1].get(k.replace("_", "-")) == v
                                                               for k, v in attrs.items())]


def chromium(binary, profile, args, page):
    cmd = [binary, "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run", "--hide-scrollbars",
           f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0", *args, "file://" + page]
    p = subprocess.run(cmd, capture_output=True, timeout=120)
    console = [line for line in p.stderr.decode("utf-8", "replace").splitlines() if ":CONSOLE" in line]
    if p.returncode != 0:
        raise AssertionError(f"chromium failed ({p.returncode}): {p.stderr.decode('utf-8', 'replace')[-2000:]}")
    return p.stdout.decode("utf-8"), console


# Drives the filter as a reader would and leaves the visible row counts in the page.
DRIVER = """<script>
(function () {
  function visible() {
    return Array.prototype.filter.call(document.querySelectorAll("#breaches tbody tr"),
                                       function (r) { return !r.hidden; }).length;
  }
  function set(id, value, kind) {
    var e = document.getElementById(id);
    e.value = value;
    e.dispatchEvent(new Event(kind));
  }
  var out = {all: visible()};
  set("f-rule", "bad_type", "change"); out.rule = visible();
  out.rule_shown = document.getElementById("f-shown").getAttribute("data-value");
  set("f-rule", "", "change");
  set("f-column", "age", "change"); out.column = visible();
  set("f-text", "<SCRIPT>", "input"); out.column_and_text = visible();
  set("f-column", "", "change"); out.text = visible();
  set("f-text", "", "input");
  document.querySelector('g.bar[data-rule="not_in_set"]').dispatchEvent(new MouseEvent("click", {bubbles: true}));
  out.click = visible(); out.click_rule = document.getElementById("f-rule").value;
  var pre = document.createElement("pre");
  pre.id = "driver-result";
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
})();
</script>
"""


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--out", required=True)
    opts = ap.parse_args()
    binary = next((shutil.which(b) for b in ("chromium", "chromium-browser") if shutil.which(b)), None)
    if not binary:
        print("SKIP: no chromium on PATH; the browser test needs Debian's chromium (.ci/deps installs it)")
        return SKIP
    os.makedirs(opts.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="quelta-html-")
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    try:
        data = os.path.join(work, "people.csv")
        with open(data, "wb") as f:
            f.write(generated_csv(5000))
        schema = os.path.join(work, "people.schema.json")
        with open(schema, "w") as f:
            json.dump(SCHEMA, f)
        page = os.path.join(opts.out, "report.html")
        run = subprocess.run([opts.tool, "validate", data, "--schema", schema, "--max-errors", str(MAX_ERRORS), "--json",
                              "--html", page, "--force"], capture_output=True, timeout=120)
        if run.returncode != 0:
            raise AssertionError("quelta validate --html failed: " + run.stderr.decode("utf-8", "replace"))
        report = json.loads(run.stdout)
        # Every breach of the file, streamed: the tally the charts must show.
        stream = subprocess.run([opts.tool, "validate", data, "--schema", schema, "--stream", "--json"],
                                capture_output=True, timeout=120)
        by_column = collections.Counter()
        for line in stream.stdout.splitlines():
            for e in json.loads(line)["errors"]:
                by_column["(whole row)" if e["column"] is None else e["column_name"]] += 1
        check(sum(by_column.values()) == report["errors_total"], "streamed breaches add up to errors_total")

        raw = open(page, "rb").read()
        # Attributes that load something, and style sheet references: only the empty data: icon.
        loads = re.findall(rb'\s(?:src|href|action|srcset|poster|data)="([^"]*)"|@import|url\(', raw)
        check(loads == [b"data:,"], f"the page loads nothing from outside it: {loads}")

        profile = os.path.join(work, "profile")
        dom_text, console = chromium(binary, profile, ["--dump-dom"], page)
        check(not console, "no console messages: " + "\n".join(console))
        dom = Dom()
        dom.feed(dom_text)

        def number(element_id):
            e = dom.by_id.get(element_id)
            if e is None:
                failures.append(f"#{element_id} is on the page")
                return None
            shown_value = int(dom.text(e).replace(",", ""))
            check(str(shown_value) == e[1].get("data-value"), f"#{element_id} shows its data-value")
            return shown_value

        for key in ("rows_total", "rows_valid", "rows_invalid", "errors_total"):
            check(number(key.replace("_", "-")) == report[key], f"{key} on the page")
        check(dom.by_id["verdict"][1]["data-valid"] == ("true" if report["rows_invalid"] == 0 else "false"), "verdict")
        rule_bars = {e[1]["data-rule"]: int(e[1]["data-count"]) for e in dom.find("g") if "data-rule" in e[1]}
        check(rule_bars == report["counts"], f"bars by rule {rule_bars} == counts {report['counts']}")
        column_bars = {e[1]["data-column"]: int(e[1]["data-count"]) for e in dom.find("g") if "data-column" in e[1]}
        check(column_bars == dict(by_column), f"bars by column {column_bars} == streamed {dict(by_column)}")

        # The breach table: row, column, rule and the value as a reader sees it.
        table = dom.by_id["breaches"]
        start = dom.elements.index(table)
        cells = [e for e in dom.elements[start:] if e[0] == "td"][: 4 * len(report["errors"])]
        listed = [tuple(dom.text(c) for c in cells[i:i + 4]) for i in range(0, len(cells), 4)]
        want = []
        for e in report["errors"]:
            column = "(whole row)" if e["column"] is None else shown(json_bytes(e["column_name"]), 60)
            value = json_bytes(e["value"])
            want.append((str(e["row"]), column, e["rule"],
                         "" if e["column"] is None else ("(empty)" if not value else shown(value))))
        check(len(listed) == len(want) == min(MAX_ERRORS, report["errors_total"]), "every kept breach is listed")
        for got, expected in zip(listed, want):
            if got != expected:
                failures.append(f"listed breach {got!r} should read {expected!r}")
                break
        check(dom.by_id["f-shown"][1].get("data-value") == str(len(want)), "the script counted the listed rows")
        check(len(dom.find("option")) > 3, "the script filled the filter choices")
        tags = {e[0] for e in dom.elements}
        check(tags <= PAGE_TAGS, f"no markup from the data: {sorted(tags - PAGE_TAGS)}")
        check(len(dom.find("script")) == 1, "one script, the page's own")
        check(not any(k.startswith("on") for e in dom.elements for k in e[1]), "no event handler attributes")

        # The profile beside each column's rules, against the tool's own summary of the file.
        summary = subprocess.run([opts.tool, "summary", data, "--json"], capture_output=True, timeout=120)
        if summary.returncode != 0:
            raise AssertionError("quelta summary failed: " + summary.stderr.decode("utf-8", "replace"))
        profiled = [(int(e[1]["data-blanks"]), int(e[1]["data-distinct"]))
                    for e in dom.elements if "data-distinct" in e[1]]
        want_profile = [(c["blanks"], c["distinct"]["count"]) for c in json.loads(summary.stdout)["columns"]]
        check(profiled == want_profile, f"profile by column {profiled} == summary {want_profile}")

        # The filter, driven in the page.
        driven = os.path.join(work, "driven.html")
        with open(driven, "wb") as f:
            f.write(raw.replace(b"</body>", DRIVER.encode() + b"</body>"))
        dom_text, console = chromium(binary, profile, ["--dump-dom"], driven)
        check(not console, "no console messages while filtering: " + "\n".join(console))
        driven_dom = Dom()
        driven_dom.feed(dom_text)
        result = json.loads(driven_dom.text(driven_dom.by_id["driver-result"]))
        rules = collections.Counter(w[2] for w in want)
        expected = {
            "all": len(want),
            "rule": rules["bad_type"],
            "rule_shown": str(rules["bad_type"]),
            "column": sum(1 for w in want if w[1] == "age"),
            "column_and_text": sum(1 for w in want if w[1] == "age" and "<script>" in "".join(w).lower()),
            "text": sum(1 for w in want if "<script>" in "".join(w).lower()),
            "click": rules["not_in_set"],
            "click_rule": "not_in_set",
        }
        check(result == expected, f"filtering: {result} == {expected}")
        check(expected["text"] > 0, "the data holds a script text to find")

        for name, size in (("report.png", "1366,900"), ("report-full.png", "1366,2400")):
            shot = os.path.join(opts.out, name)
            if os.path.exists(shot):
                os.unlink(shot)
            _, console = chromium(binary, profile, [f"--window-size={size}", f"--screenshot={shot}"], page)
            check(not console, "no console messages in the screenshot run")
            check(os.path.getsize(shot) > 10000, f"{shot} was written")
        print("page:", page)
        print("screenshots:", os.path.join(opts.out, "report.png"), os.path.join(opts.out, "report-full.png"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
