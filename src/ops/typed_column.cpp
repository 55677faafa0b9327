// Typed columns: one pass over a column's offsets, converting each value in
// place from the collected bytes. Only the dictionary allocates (its hash slots).
#include "ops/typed_column.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "input/datetime_text.h"
#include "input/decimal.h"
#include "input/value_text.h"
#include "platform/owned.h"

namespace quelta {
namespace {

// The shared loop: convert(view, &value) true stores the value; otherwise the
// row holds missing and counts as blank or invalid.
template <typename T, typename Convert>
void convert_column(const ColumnBuffer& c, T* values, uint8_t* valid, TypedCounts* counts, T missing,
                    Convert convert) {
  const uint8_t* data = c.data.data;
  const uint32_t* off = c.offsets.data;
  const size_t rows = column_rows(c);
  uint64_t blank = 0, invalid = 0;
  for (size_t r = 0; r < rows; ++r) {
    FieldView v{data + off[r], off[r + 1] - off[r]};
    T value;
    bool ok = convert(v, &value);
    if (!ok) {
      value = missing;
      if (is_blank(v))
        ++blank;
      else
        ++invalid;
    }
    values[r] = value;
    if (valid) valid[r] = ok;
  }
  counts->blank += blank;
  counts->invalid += invalid;
}

}  // namespace

void column_to_float64(const ColumnBuffer& c, double* values, uint8_t* valid, TypedCounts* counts) {
  convert_column(c, values, valid, counts, std::numeric_limits<double>::quiet_NaN(),
                 [](FieldView v, double* out) { return v.len > 0 && parse_finite(v.ptr, v.len, out); });
}

void column_to_int64(const ColumnBuffer& c, int64_t* values, uint8_t* valid, TypedCounts* counts) {
  convert_column(c, values, valid, counts, int64_t{0},
                 [](FieldView v, int64_t* out) { return parse_int64(v, out); });
}

void column_to_boolean(const ColumnBuffer& c, uint8_t* values, uint8_t* valid, TypedCounts* counts) {
  convert_column(c, values, valid, counts, uint8_t{0}, [](FieldView v, uint8_t* out) {
    FieldView t = trim_space_tab(v);
    if (!is_boolean_text(t)) return false;
    *out = boolean_value(t);
    return true;
  });
}

void column_to_datetime_ns(const ColumnBuffer& c, int64_t* values, uint8_t* valid, TypedCounts* counts) {
  uint64_t zoned = 0;
  convert_column(c, values, valid, counts, kMissingDatetime, [&zoned](FieldView v, int64_t* out) {
    DatetimeParts parts;
    if (!parse_datetime_text(trim_space_tab(v), &parts) || !datetime_epoch_ns(parts, out)) return false;
    zoned += parts.has_zone;
    return true;
  });
  counts->zoned += zoned;
}

ColumnType infer_column_type(const ColumnBuffer& c) {
  const uint8_t* data = c.data.data;
  const uint32_t* off = c.offsets.data;
  const size_t rows = column_rows(c);
  unsigned candidates = kKindAll;
  bool any = false;
  for (size_t r = 0; r < rows && candidates; ++r) {
    FieldView v{data + off[r], off[r + 1] - off[r]};
    if (v.len == 0 || is_blank(v)) continue;
    any = true;
    unsigned kinds = value_kinds(v, candidates);
    // An integer out of range still counts as a number.
    candidates &= kinds;
  }
  if (!any) return ColumnType::Blank;
  if (candidates & kKindInteger) return ColumnType::Int64;
  if (candidates & kKindNumber) return ColumnType::Float64;
  if (candidates & kKindBoolean) return ColumnType::Boolean;
  if (candidates & kKindDatetime) return ColumnType::Datetime;
  return ColumnType::Text;
}

namespace {

// A quick hash of a short value: eight bytes at a time, multiplied and folded.
inline uint64_t value_hash(const uint8_t* p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  if (i < n) {
    uint64_t w = 0;
    std::memcpy(&w, p + i, n - i);
    h = (h ^ w) * 0x94D049BB133111EBull;
  }
  return h ^ (h >> 29);
}

}  // namespace

uint64_t column_dictionary(const ColumnBuffer& c, uint32_t* codes, uint32_t* first_rows,
                           uint32_t max_distinct, bool* failed) {
  const uint8_t* data = c.data.data;
  const uint32_t* off = c.offsets.data;
  const size_t rows = column_rows(c);
  // At most half full: a power of two at least twice the most values kept.
  size_t wanted = std::min<size_t>(max_distinct, rows);
  size_t n_slots = 16;
  while (n_slots < 2 * wanted) n_slots *= 2;
  auto slots = platform::HeapArray<uint32_t>::allocate(n_slots);
  if (!slots) {
    *failed = true;
    return 0;
  }
  std::memset(slots.get(), 0, n_slots * sizeof(uint32_t));  // 0: empty, else value number + 1
  const size_t mask = n_slots - 1;
  uint32_t distinct = 0;
  uint64_t result = 0;
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* p = data + off[r];
    const size_t n = off[r + 1] - off[r];
    size_t slot = value_hash(p, n) & mask;
    for (;; slot = (slot + 1) & mask) {
      uint32_t held = slots[slot];
      if (held == 0) {
        if (distinct == max_distinct) {
          result = uint64_t{max_distinct} + 1;
          break;
        }
        first_rows[distinct] = static_cast<uint32_t>(r);
        slots[slot] = ++distinct;
        codes[r] = distinct - 1;
        break;
      }
      const uint32_t first = first_rows[held - 1];
      if (off[first + 1] - off[first] == n && (n == 0 || std::memcmp(data + off[first], p, n) == 0)) {
        codes[r] = held - 1;
        break;
      }
    }
    if (result) break;
  }
  return result ? result : distinct;
}

int32_t column_free_separator(const ColumnBuffer& c) {
  // Unit, record, group and file separators first: text data rarely holds them.
  static constexpr uint8_t kPreferred[] = {0x1F, 0x1E, 0x1D, 0x1C, 0x00};
  const uint8_t* data = c.data.data;
  const size_t n = c.data.len;
  if (n == 0) return kPreferred[0];
  for (uint8_t b : kPreferred)
    if (!std::memchr(data, b, n)) return b;
  bool seen[128] = {};
  for (size_t i = 0; i < n; ++i)
    if (data[i] < 128) seen[data[i]] = true;
  for (int32_t b = 0; b < 128; ++b)
    if (!seen[b]) return b;
  return -1;
}

void column_join(const ColumnBuffer& c, uint8_t separator, uint8_t* out) {
  const uint8_t* data = c.data.data;
  const uint32_t* off = c.offsets.data;
  const size_t rows = column_rows(c);
  for (size_t r = 0; r < rows; ++r) {
    if (r) *out++ = separator;
    size_t n = off[r + 1] - off[r];
    if (n) std::memcpy(out, data + off[r], n);
    out += n;
  }
}

}  // namespace quelta
