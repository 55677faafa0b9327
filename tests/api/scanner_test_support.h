// Helpers shared by the Scanner API tests: owning handles, option records with
// every field off, and rows read back as strings (a failed step becomes a row
// holding "!" and the message, so expected outcomes can be written as tables).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "quelta.h"

namespace quelta::test {

struct ScannerCloser {
  void operator()(Scanner* s) const { quelta_close(s); }
};
using ScannerHandle = std::unique_ptr<Scanner, ScannerCloser>;

struct BatchFreer {
  void operator()(Batch* b) const { quelta_batch_free(b); }
};
using BatchHandle = std::unique_ptr<Batch, BatchFreer>;

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// The last error as a string; "<none>" when the slot is clear.
inline std::string last_error() {
  const char* m = quelta_last_error();
  return m ? std::string(m) : std::string("<none>");
}

// A failed step as it appears in drained rows.
inline Row failure(const char* message) {
  std::string text = "!";
  text.append(message);
  return Row{text};
}

// No projection, no predicates, no limit, all columns, no negation.
inline ScanOptions no_options() {
  ScanOptions o{};
  o.limit = -1;
  o.max_column = -1;
  return o;
}

inline Predicate predicate(size_t column, int32_t op, const char* value) {
  Predicate p{};
  p.column = column;
  p.op = op;
  p.value = value;
  return p;
}

inline Predicate in_predicate(size_t column, const char* const* values, size_t n) {
  Predicate p{};
  p.column = column;
  p.op = QUELTA_OP_IN;
  p.in_values = values;
  p.n_in_values = n;
  return p;
}

inline ScannerHandle open_scanner(const std::string& path, const ScanOptions* options = nullptr) {
  Scanner* s = quelta_open(path.c_str(), options);
  EXPECT_NE(s, nullptr) << path << ": " << last_error();
  return ScannerHandle(s);
}

// One quelta_next; the row (or "!" + message) goes to *row.
inline int32_t step(Scanner* s, Row* row) {
  const char** fields = nullptr;
  size_t n = 0;
  int32_t r = quelta_next(s, &fields, &n);
  row->clear();
  if (r == 1) {
    for (size_t i = 0; i < n; ++i) row->emplace_back(fields[i]);
  } else if (r < 0) {
    *row = failure(quelta_last_error() ? quelta_last_error() : "(no message)");
  }
  return r;
}

// Every remaining step until the end, failures included.
inline Rows drain(Scanner* s, size_t max_steps = 1000000) {
  Rows rows;
  for (size_t i = 0; i < max_steps; ++i) {
    Row row;
    if (step(s, &row) == 0) return rows;
    rows.push_back(row);
  }
  ADD_FAILURE() << "scanner did not reach its end";
  return rows;
}

inline Rows read_all(const std::string& path, const ScanOptions* options = nullptr) {
  ScannerHandle s = open_scanner(path, options);
  return s ? drain(s.get()) : Rows{failure("open failed")};
}

inline std::string batch_text(Batch* b) {
  size_t len = 0;
  const char* text = quelta_batch_json(b, &len);
  return text ? std::string(text, len) : std::string();
}

}  // namespace quelta::test
