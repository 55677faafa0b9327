// Fuzzes the validation row step over memory with one fixed schema that uses
// every type and rule (one_of both as a short list and as a set). The rows are
// random CSV or JSON lines behind a fixed header. Checked: the counters add
// up; a run that records nothing (budget 0) marks and counts exactly as a run
// that records everything; a smaller budget records a prefix of the same
// breaches; each breach points at its field and obeys the field-count shape;
// the length breaches agree with a plain code-point count; and each row's
// error list reads back (strict JSON) to the same records.
//
// Input: [mode] then the rows. mode bit 0: JSON lines; bits 1-3: the budget.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "validate/validator.h"

using namespace quelta;
using fuzz::text_of;

namespace {

const char kSchema[] =
    R"({"i":{"type":"integer","required":true,"min":-5,"max":1e3},)"
    R"("f":{"type":"float","min":0.5},)"
    R"("b":{"type":"boolean","one_of":["true","FALSE",1]},)"
    R"("d":{"type":"datetime","min_len":10,"max_len":20},)"
    R"("s":{"type":"string","min_len":1,"max_len":3,"required":true},)"
    R"("e":{"one_of":["a0","a1","a2","a3","a4","a5","a6","a7","a8","a9","b0","b1","b2","b3","b4","b5",)"
    R"("b6","b7","b8","b9","c0","c1","c2","c3","c4","c5","c6","c7","c8","c9","","\u00e9",-0.0,2.5]}})";
const char kCsvHeader[] = "i,f,b,d,s,e,x\n";
const char kJsonFirst[] = R"({"i":1,"f":2,"b":"true","d":"2024-01-01","s":"ab","e":"a0","x":0})"
                          "\n";
constexpr size_t kColumns = 7;
const char* const kNames[kColumns] = {"i", "f", "b", "d", "s", "e", ""};

// Code points of well-formed UTF-8, else bytes.
uint64_t plain_length(const std::string& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  if (!fuzz::reference_utf8(p, s.size())) return s.size();
  uint64_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// The texts of column e's one_of list, as the schema states them.
bool in_e_list(const std::string& v) {
  static const char* const kTexts[] = {"a0", "a1", "a2", "a3", "a4",       "a5", "a6", "a7", "a8",
                                       "a9", "b0", "b1", "b2", "b3",       "b4", "b5", "b6", "b7",
                                       "b8", "b9", "c0", "c1", "c2",       "c3", "c4", "c5", "c6",
                                       "c7", "c8", "c9", "",   "\xC3\xA9", "-0", "2.5"};
  for (const char* t : kTexts)
    if (v == t) return true;
  return false;
}

bool blank(const std::string& v) { return v.find_first_not_of(" \t\r\n") == std::string::npos; }

// What one step gave: the breaches recorded ("rule@column=value"), or a read
// failure; and whether the row was marked invalid.
struct Step {
  std::vector<std::string> breaches;
  bool invalid = false;
};

std::string describe(const ValidationError& e) {
  return std::string(rule_name(e.rule)) + "@" + (e.has_column ? std::to_string(e.column) : "-") + "=" +
         text_of(e.value);
}

// The error list of one row read back: [{"row":N,"column":N|null,"column_name":S,"rule":"R","value":S},...].
void check_error_list(const ValidationError* errors, size_t n) {
  MemorySink sink;
  FUZZ_CHECK(!failed(write_error_list(sink, errors, n)));
  std::string s(reinterpret_cast<const char*>(sink.data()), sink.size());
  size_t i = 0;
  auto expect = [&](const std::string& lit) {
    FUZZ_CHECK(s.compare(i, lit.size(), lit) == 0, "wanted %s at %zu of %s", lit.c_str(), i, s.c_str());
    i += lit.size();
  };
  expect("[");
  for (size_t k = 0; k < n; ++k) {
    const ValidationError& e = errors[k];
    if (k) expect(",");
    expect("{\"row\":" + std::to_string(e.row) +
           ",\"column\":" + (e.has_column ? std::to_string(e.column) : "null") + ",\"column_name\":");
    std::string name, value;
    FUZZ_CHECK(fuzz::read_field_value(s, &i, &name));
    FUZZ_CHECK(name == text_of(e.column_name));
    expect(std::string(",\"rule\":\"") + rule_name(e.rule) + "\",\"value\":");
    FUZZ_CHECK(fuzz::read_field_value(s, &i, &value));
    FUZZ_CHECK(value == text_of(e.value));
    expect("}");
  }
  expect("]");
  FUZZ_CHECK(i == s.size());
}

// Validates every row with the budget; fills the breaches recorded, the
// invalid flag of each row and the counts. False when set-up failed.
bool run(const std::string& text, bool json, uint64_t budget, std::vector<Step>* steps, RuleCounts* counts) {
  ValidatorState v;
  if (failed(validator_setup_memory(&v, reinterpret_cast<const uint8_t*>(text.data()), text.size(), json,
                                    kSchema))) {
    return false;
  }
  FUZZ_CHECK(v.schema.n_header_columns == kColumns);
  for (int n = 0; n < 100000; ++n) {
    Step step;
    RowResult r;
    uint64_t before = v.rows_total;
    Error e = validate_next_row(&v, budget, counts, &r);
    FUZZ_CHECK(v.rows_total == v.rows_valid + v.rows_invalid);
    if (failed(e)) {
      FUZZ_CHECK(v.rows_total == before);
      step.breaches.push_back(std::string("error ") + error_name(e));
      steps->push_back(step);
      continue;
    }
    if (!r.has_row) break;
    FUZZ_CHECK(r.row == v.rows_total && r.row == before + 1);
    FUZZ_CHECK(r.n_errors <= budget);
    FUZZ_CHECK(r.invalid || r.n_errors == 0);
    if (json) FUZZ_CHECK(r.n_fields == kColumns);
    for (size_t k = 0; k < r.n_errors; ++k) {
      const ValidationError& er = r.errors[k];
      FUZZ_CHECK(er.row == r.row);
      const bool count_rule = er.rule == Rule::TooFewFields || er.rule == Rule::TooManyFields;
      FUZZ_CHECK(er.has_column == !count_rule);
      if (count_rule) {
        FUZZ_CHECK(k == 0 && er.value.len == 0 && er.column_name.len == 0);
        FUZZ_CHECK(er.rule == (r.n_fields < kColumns ? Rule::TooFewFields : Rule::TooManyFields));
        FUZZ_CHECK(r.n_fields != kColumns);
      } else {
        FUZZ_CHECK(er.column < r.n_fields && er.column < kColumns - 1);
        FUZZ_CHECK(er.value.ptr == r.fields[er.column].ptr && er.value.len == r.fields[er.column].len);
        FUZZ_CHECK(text_of(er.column_name) == kNames[er.column]);
        uint64_t len = plain_length(text_of(er.value));
        if (er.rule == Rule::TooShort) FUZZ_CHECK(er.column == 3 ? len < 10 : len < 1);
        if (er.rule == Rule::TooLong) FUZZ_CHECK(er.column == 3 ? len > 20 : len > 3);
      }
      if (er.rule == Rule::NotInSet && er.column == 5) FUZZ_CHECK(!in_e_list(text_of(er.value)));
      step.breaches.push_back(describe(er));
    }
    if (budget == kUnlimitedErrors && r.n_fields > 5) {
      // Every non-blank value of e outside the list is reported.
      std::string e5 = text_of(r.fields[5]);
      bool reported = false;
      for (const std::string& b : step.breaches) reported |= b.rfind("not_in_set@5=", 0) == 0;
      FUZZ_CHECK(reported == (!blank(e5) && !in_e_list(e5)), "value %s", fuzz::escaped(e5).c_str());
    }
    if (budget > 0) check_error_list(r.errors, r.n_errors);
    step.invalid = r.invalid;
    steps->push_back(step);
  }
  validator_release(&v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Choices in(data, size);
  const uint8_t mode = in.byte();
  const bool json = mode & 1;
  const uint64_t budget = (mode >> 1) & 7;  // 0..7 breaches per row
  std::string text = json ? kJsonFirst : kCsvHeader;
  text.append(reinterpret_cast<const char*>(in.rest()), in.rest_size());

  std::vector<Step> all, some, none;
  RuleCounts counts_all, counts_none;
  bool ok = run(text, json, kUnlimitedErrors, &all, &counts_all);
  FUZZ_CHECK(ok, "set-up failed on the fixed header");
  run(text, json, budget, &some, nullptr);
  run(text, json, 0, &none, &counts_none);
  FUZZ_CHECK(all.size() == some.size() && all.size() == none.size());

  uint64_t counted = 0, recorded = 0;
  for (size_t i = 0; i < kRuleCount; ++i) {
    FUZZ_CHECK(counts_all.n[i] == counts_none.n[i]);
    counted += counts_all.n[i];
  }
  for (size_t i = 0; i < all.size(); ++i) {
    const Step &a = all[i], &b = some[i], &c = none[i];
    FUZZ_CHECK(a.invalid == b.invalid && a.invalid == c.invalid);
    if (!a.breaches.empty() && a.breaches[0].rfind("error ", 0) == 0) {
      FUZZ_CHECK(b.breaches == a.breaches && c.breaches == a.breaches);
      continue;
    }
    FUZZ_CHECK(a.invalid == !a.breaches.empty());
    recorded += a.breaches.size();
    // A smaller budget keeps the first breaches of the row.
    size_t keep = a.breaches.size() < budget ? a.breaches.size() : budget;
    FUZZ_CHECK(b.breaches == std::vector<std::string>(a.breaches.begin(), a.breaches.begin() + keep));
    FUZZ_CHECK(c.breaches.empty());
  }
  FUZZ_CHECK(counted == recorded);
  return 0;
}
