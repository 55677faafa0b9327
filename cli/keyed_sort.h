// The sort command's own sort: rows read once, each with a key worked out once,
// sorted in the library's order where the tool can tell that order exactly.
#pragma once

#include <quelta.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output.h"

namespace cli {

struct KeptRow;
class TextStore;

// Rows read with quelta_next and sorted by a key worked out once per row. read()
// is false when the order would not be fixed by the keys alone (numbers mixed with
// text, a number form the tool leaves to the library) or a row cannot be read:
// quelta_order_by must then decide. Otherwise sort() gives its order exactly.
class KeyedSort {
 public:
  KeyedSort();
  ~KeyedSort();
  bool read(Scanner* scanner, size_t position);
  void sort(bool descending);
  void write(RowWriter& writer) const;

 private:
  std::unique_ptr<TextStore> store_;
  std::vector<KeptRow> rows_;
  std::vector<uint64_t> numbers_;  // each row's key in number order while no key is text
  struct SortedRow {
    const char* text;
    uint32_t n;
  };
  std::vector<SortedRow> sorted_;
  uint64_t n_numbers_ = 0, texts_ = 0;
};
// Whether the input's fields are sure to hold no NUL byte, which the C strings of
// quelta_next would hide from the keys.
bool keyed_sort_applies(const std::string& path);

}  // namespace cli
