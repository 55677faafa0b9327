// Row copies laid out for a sort key: whatever the key position, width and field
// lengths, the copy holds the row's fields unchanged, every copy in one arena
// stays intact while later ones are added, and the key's text ends just before
// the views, where the sort's prefetch looks for it.
#include "ops/row_copy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/arena.h"

namespace quelta {
namespace {

std::vector<std::string> row_texts(size_t n, size_t seed) {
  // Lengths around the views' alignment and past a cache line, empty fields included.
  static const size_t kLengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 70, 3};
  std::vector<std::string> row;
  for (size_t i = 0; i < n; ++i) {
    const size_t len = kLengths[(i + seed) % 10];
    std::string text;
    for (size_t k = 0; k < len; ++k) text += static_cast<char>('a' + (i * 7 + k + seed) % 26);
    row.push_back(text);
  }
  return row;
}

TEST(RowCopy, KeyedCopiesHoldTheRowForEveryKeyPosition) {
  Arena arena;
  struct Made {
    std::vector<std::string> texts;
    RowCopy copy;
    size_t key;
  };
  std::vector<Made> made;
  size_t seed = 0;
  for (size_t n : {0u, 1u, 2u, 3u, 10u, 11u}) {
    for (size_t key = 0; key <= n + 1; ++key) {
      for (size_t variant = 0; variant < 10; ++variant, ++seed) {
        Made m{row_texts(n, seed), {}, key};
        std::vector<FieldView> fields;
        for (const std::string& t : m.texts)
          fields.push_back({reinterpret_cast<const uint8_t*>(t.data()), t.size()});
        ASSERT_EQ(row_copy_make_keyed(&arena, fields.data(), n, key, &m.copy), Error::None);
        made.push_back(std::move(m));
      }
    }
  }
  for (const Made& m : made) {
    SCOPED_TRACE("n " + std::to_string(m.texts.size()) + " key " + std::to_string(m.key));
    ASSERT_EQ(m.copy.n, m.texts.size());
    for (size_t i = 0; i < m.copy.n; ++i) {
      const FieldView f = m.copy.fields[i];
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.ptr), f.len), m.texts[i]) << "field " << i;
      if (f.len) {
        EXPECT_NE(reinterpret_cast<const void*>(f.ptr), m.texts[i].data());
      }
    }
    if (m.key < m.copy.n) {
      const FieldView k = m.copy.fields[m.key];
      const auto* views = reinterpret_cast<const uint8_t*>(m.copy.fields);
      EXPECT_LE(k.ptr + k.len, views);
      EXPECT_LT(views - (k.ptr + k.len), static_cast<ptrdiff_t>(alignof(FieldView)));
    }
  }
  arena_release(&arena);
}

}  // namespace
}  // namespace quelta
