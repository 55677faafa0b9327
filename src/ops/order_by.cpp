// Materialising, comparing and sorting rows for order-by.
#include "ops/order_by.h"

#include "input/decimal.h"
#include "input/decimal_words.h"
#include "ops/stable_sort.h"
#include "platform/heap.h"
#include "platform/owned.h"
#include "scan/predicate.h"
#include "util/arena.h"

namespace quelta {
namespace {

// The materialised rows: their copies and the array that orders them.
struct RowTable {
  Arena row_memory;  // every row's copy, side by side in file order
  RowCopy* rows = nullptr;
  size_t count = 0;
};

void free_rows(RowTable* table) {
  arena_release(&table->row_memory);
  platform::heap_free(table->rows);
  table->rows = nullptr;
  table->count = 0;
}

}  // namespace
}  // namespace quelta

struct OrderByContext {
  quelta::RowTable table;
  size_t cursor = 0;
  quelta::RowCopyOut row_out;
};

namespace quelta {
namespace {

// Rows are copied into an arena of blocks up to this size, so a sort that
// jumps between rows stays within few pages (and huge ones, at this size).
constexpr size_t kRowBlock = size_t{8} << 20;

// Appends one row to the array, growing it from c to c + c/2 + 4 entries.
Error append_row(RowCopy** rows, size_t* count, size_t* cap, const RowCopy& row) {
  if (*count == *cap) {
    size_t c = *cap;
    size_t grown = c > SIZE_MAX - c / 2 - 4 ? SIZE_MAX : c + c / 2 + 4;
    if (grown > SIZE_MAX / sizeof(RowCopy)) return Error::OutOfMemory;
    // In place when the block allows (heap_realloc resizes within its usable size).
    void* moved = platform::heap_realloc(*rows, grown * sizeof(RowCopy));
    if (!moved) return Error::OutOfMemory;
    *rows = static_cast<RowCopy*>(moved);
    *cap = grown;
  }
  (*rows)[(*count)++] = row;
  return Error::None;
}

// Fills the table; on failure it holds what was copied so far.
Error materialise(ScanState* s, size_t column, RowTable* table) {
  size_t cap = 0;
  Error scanned = for_each_row(s, [&](const FieldView* fields, size_t n) {
    RowCopy copy;
    if (Error e = row_copy_make_keyed(&table->row_memory, fields, n, column, &copy); failed(e)) return e;
    return append_row(&table->rows, &table->count, &cap, copy);
  });
  if (failed(scanned)) return scanned;
  if (table->count == 0) {
    platform::heap_free(table->rows);
    table->rows = nullptr;
  } else if (table->count < cap) {
    void* trimmed = platform::heap_realloc(table->rows, table->count * sizeof(RowCopy));
    if (!trimmed) return Error::OutOfMemory;
    table->rows = static_cast<RowCopy*>(trimmed);
  }
  return Error::None;
}

FieldView key_of(const RowCopy& row, size_t column) {
  return column < row.n ? row.fields[column] : FieldView{};
}

// A plain decimal ([sign] digits [. digits], no exponent or separator) of at
// most 15 significant digits and 20 fraction digits: its value is
// digits / 10^scale, read exactly. Distinct such values lie apart by more than
// the rounding of their conversion can close, and correctly rounded conversion
// keeps order, so comparing them exactly compares their converted values.
struct PlainDecimal {
  int64_t digits;  // signed
  int scale;
};

constexpr int kPlainDigits = 15;
constexpr int kPlainScale = 20;

bool read_plain_decimal(FieldView t, PlainDecimal* out) {
  size_t i = 0;
  bool negative = false;
  if (i < t.len && (t.ptr[i] == '-' || t.ptr[i] == '+')) negative = t.ptr[i++] == '-';
  int64_t digits = 0;
  int significant = 0, scale = 0;
  bool any = false, point = false;
  for (; i < t.len; ++i) {
    const uint8_t c = t.ptr[i];
    if (c >= '0' && c <= '9') {
      any = true;
      scale += point;
      if (digits == 0 && c == '0') continue;  // a leading zero is not significant
      if (++significant > kPlainDigits) return false;
      digits = digits * 10 + (c - '0');
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (!any || scale > kPlainScale) return false;
  *out = PlainDecimal{negative ? -digits : digits, scale};
  return true;
}

// -1, 0 or 1 as a is below, equal to or above b: both brought to the larger
// scale, which fits 128 bits (10^15 * 10^20).
int compare_plain(PlainDecimal a, PlainDecimal b) {
  constexpr __int128 kPow10[kPlainScale + 1] = {1,
                                                10,
                                                100,
                                                1000,
                                                10000,
                                                100000,
                                                1000000,
                                                10000000,
                                                100000000,
                                                1000000000,
                                                10000000000,
                                                100000000000,
                                                1000000000000,
                                                10000000000000,
                                                100000000000000,
                                                1000000000000000,
                                                10000000000000000,
                                                100000000000000000,
                                                1000000000000000000,
                                                __int128{1000000000000000000} * 10,
                                                __int128{1000000000000000000} * 100};
  __int128 x = a.digits, y = b.digits;
  if (a.scale < b.scale) x *= kPow10[b.scale - a.scale];
  if (b.scale < a.scale) y *= kPow10[a.scale - b.scale];
  return (x > y) - (x < y);
}

// order_by_before, inlined into the merges that call it for every step.
[[gnu::always_inline]] inline bool key_before(const RowCopy& a, const RowCopy& b, size_t column,
                                              bool descending) {
  FieldView ka = key_of(a, column), kb = key_of(b, column);
  // Short plain decimals compare as exact scaled integers, which order exactly
  // as their converted values do, without the division of the conversion.
  int64_t sa, sb;
  if (read_short_number(ka.ptr, ka.len, &sa) && read_short_number(kb.ptr, kb.len, &sb))
    return descending ? sa > sb : sa < sb;
  // Longer plain decimals compare exactly as well, digit strings as integers.
  PlainDecimal da, db;
  if (read_plain_decimal(ka, &da) && read_plain_decimal(kb, &db)) {
    const int order = compare_plain(da, db);
    return descending ? order > 0 : order < 0;
  }
  double x, y;
  if (parse_finite(ka.ptr, ka.len, &x) && parse_finite(kb.ptr, kb.len, &y)) return descending ? x > y : x < y;
  int order = compare_bytes(ka, kb);
  return descending ? order > 0 : order < 0;
}

// The sort order, with a prefetch hook that lets the merges fetch a row's key
// ahead of the comparisons that read it. The key's text ends just before the
// row's views (row_copy_make_keyed), so both addresses are known without
// reading the row.
struct KeyOrder {
  size_t column;
  bool descending;
  bool operator()(const RowCopy& a, const RowCopy& b) const { return key_before(a, b, column, descending); }
  void prefetch_far(const RowCopy& row) const {
    if (column >= row.n) return;
    __builtin_prefetch(row.fields + column);
    __builtin_prefetch(reinterpret_cast<const uint8_t*>(row.fields) - 1);
  }
};

}  // namespace

bool order_by_before(const RowCopy& a, const RowCopy& b, size_t column, bool descending) {
  return key_before(a, b, column, descending);
}

OrderByContext* order_by_run(ScanState* s, size_t column, bool descending, OpFailure* failure) {
  *failure = OpFailure{};
  platform::Owned<RowTable, free_rows> table;
  table->row_memory.max_block = kRowBlock;
  if (Error e = materialise(s, column, table.get()); failed(e)) {
    *failure = {OpFailure::Stage::Scan, e};
    return nullptr;
  }
  stable_sort(table->rows, table->count, KeyOrder{column, descending});
  auto ctx = platform::HeapBox<OrderByContext>::make();
  if (!ctx) {
    *failure = {OpFailure::Stage::Context, Error::OutOfMemory};
    return nullptr;
  }
  ctx->table = table.take();
  return ctx.release();
}

// How far ahead of the cursor the rows to hand out are fetched, and how many
// cache lines of each: sorted rows lie anywhere in the row memory.
constexpr size_t kTakeAhead = 8;
constexpr size_t kTakeLines = 6;

const RowCopy* order_by_take(OrderByContext* ctx) {
  const RowTable& table = ctx->table;
  if (ctx->cursor >= table.count) return nullptr;
  if (ctx->cursor + kTakeAhead < table.count) {
    const RowCopy& ahead = table.rows[ctx->cursor + kTakeAhead];
    const auto* block = reinterpret_cast<const uint8_t*>(ahead.fields);
    if (block) {
      __builtin_prefetch(block - 1);
      for (size_t line = 0; line < kTakeLines; ++line) __builtin_prefetch(block + 64 * line);
    }
  }
  return &table.rows[ctx->cursor++];
}

RowCopyOut* order_by_row_out(OrderByContext* ctx) { return &ctx->row_out; }

void order_by_close(OrderByContext* ctx) {
  if (!ctx) return;
  free_rows(&ctx->table);
  row_copy_out_release(&ctx->row_out);
  ctx->~OrderByContext();
  platform::heap_free(ctx);
}

}  // namespace quelta
