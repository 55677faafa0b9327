// Building the CSV structural index over a window of the buffer and handing
// out its records.
#include "input/csv_index.h"

#include <bit>
#include <cstring>

#include "input/csv_tokenizer.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

// The fields of the window w[0..n), which starts at a line start: one view per
// separator or line end, and the lines and marks that index them. Stops early
// where a list could overflow; the window's last line is then incomplete, like
// a line cut by the end of the window, and is never handed out from it.
__attribute__((always_inline)) inline void build_fields(CsvIndex* ix, const uint8_t* w, size_t n,
                                                        uint8_t delimiter) {
  BlockMasks raw[kIndexWindowBlocks];
  const uint8_t bytes[4] = {kQuote, delimiter, '\n', '\r'};
  const size_t blocks = match_blocks(w, n, bytes, raw, kIndexWindowBlocks);
  // Views past the last field of a block are written too and overwritten
  // later, so addresses are reckoned as integers: those may lie past the buffer.
  const uintptr_t window = reinterpret_cast<uintptr_t>(w);
  uintptr_t start = window;  // where the next field starts
  uint32_t n_fields = 0, n_lines = 0, n_marks = 0;
  uint64_t inside = 0;                   // all ones when the byte before the block lies inside quotes
  uint64_t after_end = 1;                // bit 0: the byte before the block ends a field, a line or a quote
  uint64_t after_close = 0;              // bit 0: the byte before the block is a closing quote
  uint64_t last_quote = 0, last_cr = 0;  // the previous block's quote and '\r' masks
  for (size_t k = 0; k < blocks; ++k) {
    // Each block adds at most 64 entries to a list; views are written eight at a time.
    static_assert(kIndexMaxFields >= 64 + 8 && kIndexMaxLines >= 64 && kIndexMaxMarks >= 64);
    if (n_fields + 64 + 8 > kIndexMaxFields || n_lines + 64 > kIndexMaxLines || n_marks + 64 > kIndexMaxMarks)
      break;
    const BlockMasks& m = raw[k];
    const uint64_t quote = m.a, delim = m.b, nl = m.c, cr = m.d;
    const uint64_t next_nl = k + 1 < blocks ? raw[k + 1].c << 63 : 0;

    uint64_t in = m.a_parity ^ inside;
    // Quotes never span lines: a line that ends inside quotes is marked, and
    // the quote state starts afresh after it.
    uint64_t bad = 0;
    for (uint64_t odd = nl & in; odd;) {
      const uint64_t low = odd & (0 - odd);
      const uint64_t above = 0 - (low << 1);
      bad |= low;
      in ^= above;
      odd = nl & in & above;
    }
    inside = 0 - ((in & ~nl) >> 63);  // a line end (odd or not) leaves the quotes
    const uint64_t sep = delim & ~in;
    const uint64_t open = quote & in, close = quote & ~in;
    // An opening quote starts its field, or follows a closing quote (a doubled quote).
    const uint64_t ends = sep | nl | close;
    bad |= open & ~(ends << 1 | after_end);
    // A closing quote ends its field (before the '\r' of a "\r\n"), or is
    // followed by an opening quote.
    const uint64_t closed = close << 1 | after_close;
    bad |= closed & ~(sep | nl | open | (cr & (nl >> 1 | next_nl)));
    const uint64_t doubled = closed & open;
    after_end = ends >> 63;
    after_close = close >> 63;

    // Bit i: byte i - 1 (or i - 2) is a quote or a '\r'.
    const uint64_t quote_1 = quote << 1 | last_quote >> 63, quote_2 = quote << 2 | last_quote >> 62;
    const uint64_t cr_1 = cr << 1 | last_cr >> 63;
    last_quote = quote;
    last_cr = cr;
    const uint64_t cut = sep | nl;
    // Cuts after a quoted field: where the marks allow, such a field starts
    // with a quote too, and loses both.
    const uint64_t after_quoted = (sep & quote_1) | (nl & (quote_1 | (cr_1 & quote_2)));

    // Eight views are written whatever the count, so that most blocks take no branch.
    const uintptr_t block = window + 64 * k;
    const uint32_t count = static_cast<uint32_t>(std::popcount(cut));
    FieldView* out = ix->fields + n_fields;
    uint64_t rest = cut;
    uintptr_t s = start;
    auto emit = [&](uint32_t i) {
      const uint32_t bit = static_cast<uint32_t>(std::countr_zero(rest)) & 63;
      const uintptr_t at = block + bit;
      const uintptr_t q = after_quoted >> bit & 1;
      out[i] = FieldView{reinterpret_cast<const uint8_t*>(s + q), at - s - 2 * q};
      s = at + 1;
      rest &= rest - 1;
    };
    for (uint32_t i = 0; i < 8; ++i) emit(i);
    for (uint32_t i = 8; i < count; ++i) emit(i);
    if (cut) start = block + 64 - static_cast<uint32_t>(std::countl_zero(cut));

    const uint32_t base = static_cast<uint32_t>(64 * k);
    // Lines are longer than a block in most files: the first line end of a
    // block takes no branch (without one it rewrites a field as it is).
    const uint64_t stripped = nl & cr_1;  // line ends after a '\r'
    auto end_line = [&](uint32_t bit) {
      const uint32_t field =
          n_fields + static_cast<uint32_t>(std::popcount(cut & ((uint64_t{1} << bit) - 1)));
      ix->fields[field].len -= stripped >> bit & 1;
      ix->lines[n_lines] = IndexLine{base + bit, field + 1};
    };
    end_line(static_cast<uint32_t>(std::countr_zero(nl)) & 63);
    n_lines += nl != 0;
    for (uint64_t more = nl & (nl - 1); more; more &= more - 1) {
      end_line(static_cast<uint32_t>(std::countr_zero(more)));
      ++n_lines;
    }
    for (uint64_t ms = bad | doubled; ms; ms &= ms - 1) {
      const uint32_t bit = static_cast<uint32_t>(std::countr_zero(ms));
      const uint32_t field =
          n_fields + static_cast<uint32_t>(std::popcount(cut & ((uint64_t{1} << bit) - 1)));
      ix->marks[n_marks++] = IndexMark{field, (base + bit) << 1 | static_cast<uint32_t>(bad >> bit & 1)};
    }
    n_fields += count;
  }
  ix->marks[n_marks] = IndexMark{UINT32_MAX, UINT32_MAX};
  ix->n_lines = n_lines;
  ix->line_at = ix->field_at = ix->mark_at = 0;
}

// The same code twice: for any x86-64, and with the bit instructions of the
// processors that run the AVX2 byte searches.
void build_fields_base(CsvIndex* ix, const uint8_t* w, size_t n, uint8_t delimiter) {
  build_fields(ix, w, n, delimiter);
}

__attribute__((target("popcnt,bmi,bmi2,lzcnt"))) void build_fields_bmi(CsvIndex* ix, const uint8_t* w,
                                                                       size_t n, uint8_t delimiter) {
  build_fields(ix, w, n, delimiter);
}

// Copies n bytes, sixteen at a time where the source and the destination
// have room for the whole last sixteen (memcpy calls cost more than these
// short pieces).
inline uint8_t* copy_piece(uint8_t* dst, const uint8_t* src, size_t n, const uint8_t* src_end,
                           const uint8_t* dst_end) {
  uint8_t* const stop = dst + n;
  if (static_cast<size_t>(src_end - src) >= n + 16 && static_cast<size_t>(dst_end - dst) >= n + 16) {
    for (; dst < stop; dst += 16, src += 16) std::memcpy(dst, src, 16);
    return stop;
  }
  std::memcpy(dst, src, n);
  return stop;
}

// Replaces the doubled quotes of the marked fields by single quotes, into
// scratch, which has room for the whole line. The marks end at a field past
// last; src_end is the end of the bytes the fields lie in.
void unescape_doubled(const uint8_t* w, const IndexMark* marks, uint32_t last, FieldView* fields,
                      ByteBuffer* scratch, const uint8_t* src_end) {
  const uint8_t* dst_end = scratch->data + scratch->cap;
  const IndexMark* mk = marks;
  while (mk->field < last) {
    const uint32_t field = mk->field;
    const uint8_t* src = fields[field].ptr;
    const uint8_t* end = src + fields[field].len;
    uint8_t* const begin = scratch->data + scratch->len;
    uint8_t* dst = begin;
    for (; mk->field == field; ++mk) {
      const uint8_t* pair = w + (mk->at >> 1);  // keeps the first quote of the pair, drops this one
      dst = copy_piece(dst, src, static_cast<size_t>(pair - src), src_end, dst_end);
      src = pair + 1;
    }
    dst = copy_piece(dst, src, static_cast<size_t>(end - src), src_end, dst_end);
    fields[field] = FieldView{begin, static_cast<size_t>(dst - begin)};
    scratch->len += static_cast<size_t>(dst - begin);
  }
}

}  // namespace

Error read_indexed_record(CsvIndex* ix, BufferedReader* r, uint8_t delimiter, uint64_t max_column,
                          GrowBuffer<FieldView>* fields, ByteBuffer* scratch, const FieldView** record,
                          size_t* count, bool* indexed) {
  *indexed = false;
  if (ix->fills != r->fills || ix->next != r->pos || ix->line_at == ix->n_lines) {
    // A window that already starts here holds no whole line: the line is too
    // long for a window or crosses a refill.
    if (ix->fills == r->fills && ix->base == r->pos && ix->next == r->pos) return Error::None;
    const size_t avail = r->end - r->pos;
    const size_t n = avail < 64 * kIndexWindowBlocks ? avail : 64 * kIndexWindowBlocks;
    if (byte_search_level() == SimdLevel::Avx2)
      build_fields_bmi(ix, r->buffer + r->pos, n, delimiter);
    else
      build_fields_base(ix, r->buffer + r->pos, n, delimiter);
    ix->fills = r->fills;
    ix->base = ix->next = r->pos;
    if (ix->n_lines == 0) return Error::None;
  }
  *indexed = true;

  const uint8_t* w = r->buffer + ix->base;
  const uint32_t s = static_cast<uint32_t>(r->pos - ix->base);
  const IndexLine line = ix->lines[ix->line_at++];
  const uint32_t first = ix->field_at;
  ix->field_at = line.fields_end;
  // The line is consumed whatever follows.
  r->pos = ix->base + line.end + 1;
  ix->next = r->pos;
  r->pending.clear();
  const uint32_t n_fields = line.fields_end - first;
  const uint32_t used = max_column < n_fields ? static_cast<uint32_t>(max_column) + 1 : n_fields;

  if (ix->marks[ix->mark_at].field < line.fields_end) {
    const IndexMark* marks = ix->marks + ix->mark_at;
    const IndexMark* mk = marks;
    bool irregular = false, doubled = false;
    for (; mk->field < line.fields_end; ++mk) {
      if (mk->field >= first + used) continue;
      if (mk->at & 1)
        irregular = true;
      else
        doubled = true;
    }
    ix->mark_at = static_cast<uint32_t>(mk - ix->marks);
    const uint32_t line_len = line.end - s - (line.end > s && w[line.end - 1] == '\r');
    if (irregular || (doubled && scratch->cap < line_len)) {
      // split_record decides, with the allocations it would make anyway.
      Error e = split_record(FieldView{w + s, line_len}, delimiter, max_column, fields, scratch, count);
      if (!failed(e)) *record = fields->data;
      return e;
    }
    if (doubled) unescape_doubled(w, marks, first + used, ix->fields, scratch, r->buffer + r->end);
  }
  *record = ix->fields + first;
  *count = used;
  return Error::None;
}

}  // namespace quelta
