// The sort command's quick route: every matching row read once, kept in large
// text blocks with its sort key worked out once, and ordered by a key-cached
// stable sort. It gives quelta_order_by's order whenever that order is fixed by
// the keys alone: every key a number or empty, or every key text. A column that
// mixes numbers and text has an order that depends on the library's sort, so
// such a column (and anything this route cannot judge exactly) goes back to
// quelta_order_by.
#include "keyed_sort.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "number_text.h"

namespace cli {

namespace {

constexpr size_t kTextBlock = size_t{16} << 20;
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kReadBlock = size_t{1} << 20;

// Whether the bytes of a row field could hold a NUL byte that the C strings of
// quelta_next cut short: a NUL in the file, a JSON escape that spells one, or a
// compressed file whose bytes say nothing of its text.
bool may_hold_nul(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  std::unique_ptr<char[]> buf(new char[kReadBlock + 8]);
  const std::string_view escape = "\\u0000";
  bool found = false, first = true;
  size_t kept = 0;  // bytes carried from the previous block, so an escape may cross blocks
  for (;;) {
    ssize_t got = ::read(fd, buf.get() + kept, kReadBlock);
    if (got < 0) {
      if (errno == EINTR) continue;
      found = true;
      break;
    }
    if (got == 0) break;
    const auto* b = reinterpret_cast<const unsigned char*>(buf.get());
    if (first && got >= 2 &&
        ((b[0] == 0x1F && b[1] == 0x8B) || (b[0] == 0x28 && b[1] == 0xB5) || (b[0] == 'B' && b[1] == 'Z') ||
         (b[0] == 0xFD && b[1] == '7'))) {
      found = true;
      break;
    }
    first = false;
    std::string_view text(buf.get(), kept + static_cast<size_t>(got));
    if (std::memchr(text.data() + kept, 0, static_cast<size_t>(got)) || text.find(escape) != text.npos) {
      found = true;
      break;
    }
    kept = std::min(text.size(), escape.size() - 1);
    std::memmove(buf.get(), text.data() + text.size() - kept, kept);
  }
  ::close(fd);
  return found;
}

// A finite number's value mapped to an unsigned integer of the same order;
// 0 and -0 give the same. 0 itself stays free for the empty key.
uint64_t number_order(double value) {
  if (value == 0) value = 0;
  uint64_t bits = std::bit_cast<uint64_t>(value);
  return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}

struct NumberEntry {
  uint64_t key;
  uint32_t row;
};

// Stable least-significant-digit radix sort by key, a byte at a time, skipping
// the bytes that every key shares.
void radix_sort(std::vector<NumberEntry>& entries) {
  std::vector<size_t> counts(8 * 256, 0);
  for (const NumberEntry& e : entries)
    for (int d = 0; d < 8; ++d) ++counts[d * 256 + ((e.key >> (8 * d)) & 0xFF)];
  std::vector<NumberEntry> other(entries.size());
  for (int d = 0; d < 8; ++d) {
    size_t* c = &counts[d * 256];
    if (std::find(c, c + 256, entries.size()) != c + 256) continue;  // one value in this byte
    size_t sum = 0;
    for (int v = 0; v < 256; ++v) sum += std::exchange(c[v], sum);
    for (const NumberEntry& e : entries) other[c[(e.key >> (8 * d)) & 0xFF]++] = e;
    entries.swap(other);
  }
}

struct TextEntry {
  uint64_t head;  // the first eight bytes, big-endian, zero-padded: orders as the bytes do
  const char* text;
  uint32_t len;
  uint32_t row;
};

uint64_t text_head(const char* p, size_t len) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, p, std::min<size_t>(len, 8));
  uint64_t head = 0;
  for (unsigned char b : bytes) head = head << 8 | b;
  return head;
}

// Byte order of two keys; a prefix sorts first. Keys hold no NUL byte, so equal
// heads mean equal first eight bytes and, below eight bytes, equal keys.
bool text_less(const TextEntry& a, const TextEntry& b) {
  if (a.head != b.head) return a.head < b.head;
  if (a.len <= 8 || b.len <= 8) return a.len < b.len;
  int order = std::memcmp(a.text + 8, b.text + 8, std::min(a.len, b.len) - 8);
  return order != 0 ? order < 0 : a.len < b.len;
}

}  // namespace

// Rows as NUL-terminated fields end to end in large blocks.
class TextStore {
 public:
  char* reserve(size_t n) {
    if (static_cast<size_t>(end_ - pos_) < n) {
      // Huge pages where the system gives them: rows are read back in key
      // order, from anywhere in the store.
      const size_t size = (std::max(n, kTextBlock) + kHugePage - 1) / kHugePage * kHugePage;
      char* block = static_cast<char*>(std::aligned_alloc(kHugePage, size));
      if (!block) throw std::bad_alloc();
      blocks_.emplace_back(block);
      (void)::madvise(block, size, MADV_HUGEPAGE);
      pos_ = block;
      end_ = pos_ + size;
    }
    char* at = pos_;
    pos_ += n;
    return at;
  }

 private:
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::vector<std::unique_ptr<char, Free>> blocks_;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};

struct KeptRow {
  const char* text;  // n NUL-terminated fields, one after another
  const char* key;
  uint32_t n;
  uint32_t key_len;
};

bool KeyedSort::read(Scanner* scanner, size_t position) {
  const char** fields = nullptr;
  size_t n = 0;
  std::vector<size_t> lengths;
  int32_t status;
  while ((status = quelta_next(scanner, &fields, &n)) > 0) {
    if (rows_.size() >= UINT32_MAX || n >= UINT32_MAX) return false;
    lengths.resize(n);
    size_t bytes = 0;
    for (size_t i = 0; i < n; ++i) bytes += (lengths[i] = std::strlen(fields[i])) + 1;
    char* text = store_->reserve(bytes);
    KeptRow row{text, "", static_cast<uint32_t>(n), 0};
    for (size_t i = 0; i < n; ++i) {
      std::memcpy(text, fields[i], lengths[i] + 1);
      if (i == position) {
        if (lengths[i] >= UINT32_MAX) return false;
        row.key = text;
        row.key_len = static_cast<uint32_t>(lengths[i]);
      }
      text += lengths[i] + 1;
    }
    std::string_view key(row.key, row.key_len);
    if (key.empty()) {
      if (texts_ == 0) numbers_.push_back(0);
    } else {
      double value = 0;
      switch (read_number(key, &value)) {
        case NumberText::Finite:
          ++n_numbers_;
          if (texts_ == 0) numbers_.push_back(number_order(value));
          break;
        case NumberText::NotNumber:
          if (texts_++ == 0) numbers_ = {};
          break;
        case NumberText::Unsure:
          return false;
      }
      // Numbers and text together: the order is the library sort's own.
      if (n_numbers_ && texts_) return false;
    }
    rows_.push_back(row);
  }
  return status == 0;
}

void KeyedSort::sort(bool descending) {
  std::vector<uint32_t> order(rows_.size());
  if (texts_ == 0) {
    std::vector<NumberEntry> entries(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i)
      entries[i] = NumberEntry{descending ? ~numbers_[i] : numbers_[i], static_cast<uint32_t>(i)};
    numbers_ = {};
    radix_sort(entries);
    for (size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].row;
  } else {
    std::vector<TextEntry> entries(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
      const KeptRow& r = rows_[i];
      entries[i] = TextEntry{text_head(r.key, r.key_len), r.key, r.key_len, static_cast<uint32_t>(i)};
    }
    if (descending) {
      std::stable_sort(entries.begin(), entries.end(),
                       [](const TextEntry& a, const TextEntry& b) { return text_less(b, a); });
    } else {
      std::stable_sort(entries.begin(), entries.end(), text_less);
    }
    for (size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].row;
  }
  // The rows gathered in key order: independent loads the processor overlaps,
  // where reading them one by one while writing would wait for each.
  sorted_.resize(rows_.size());
  for (size_t i = 0; i < order.size(); ++i) {
    const KeptRow& r = rows_[order[i]];
    sorted_[i] = SortedRow{r.text, r.n};
  }
  rows_ = {};
}

void KeyedSort::write(RowWriter& writer) const {
  // Each row's text is fetched some rows ahead of its turn: sorted rows lie
  // anywhere in the store.
  constexpr size_t kTextAhead = 16;
  for (size_t i = 0; i < sorted_.size(); ++i) {
    if (out().closed()) break;
    if (i + kTextAhead < sorted_.size()) {
      const char* ahead = sorted_[i + kTextAhead].text;
      for (int line = 0; line < 3; ++line) __builtin_prefetch(ahead + 64 * line);
    }
    writer.packed_row(sorted_[i].text, sorted_[i].n);
  }
}

KeyedSort::KeyedSort() : store_(std::make_unique<TextStore>()) {}
KeyedSort::~KeyedSort() = default;

bool keyed_sort_applies(const std::string& path) { return !may_hold_nul(path); }

}  // namespace cli
