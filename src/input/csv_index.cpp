// Building the CSV structural index over a window of the buffer and handing
// out its records.
#include "input/csv_index.h"

#include <bit>
#include <cstring>

#include "input/csv_tokenizer.h"
#include "util/byte_search.h"

namespace quelta {
namespace {

// The second quote of a doubled pair, in field `field` of the window.
struct Pair {
  uint32_t field;
  uint32_t at;  // offset from the window start
};

// Copies n bytes sixteen at a time, writing and reading up to fifteen past
// them (memcpy calls cost more than these short pieces).
inline uint8_t* copy_in_sixteens(uint8_t* dst, const uint8_t* src, size_t n) {
  uint8_t* const stop = dst + n;
  for (; dst < stop; dst += 16, src += 16) std::memcpy(dst, src, 16);
  return stop;
}

// Replaces the doubled quotes of the window's quoted fields by single ones,
// into the index's text. In lines that break the rules a view may be any:
// those are only kept inside the window and the text (such lines go to
// split_record).
void unescape_pairs(CsvIndex* ix, const uint8_t* w, size_t n, const Pair* pairs, uint32_t n_pairs,
                    uint32_t n_fields) {
  uint8_t* dst = ix->text;
  const uint8_t* const dst_end = ix->text + sizeof ix->text;
  for (uint32_t i = 0; i < n_pairs;) {
    const uint32_t field = pairs[i].field;
    uint32_t j = i + 1;
    while (j < n_pairs && pairs[j].field == field) ++j;
    // As integers until checked.
    const uintptr_t from =
        reinterpret_cast<uintptr_t>(ix->fields[field].ptr) - reinterpret_cast<uintptr_t>(w);
    const size_t len = ix->fields[field].len;
    if (field < n_fields && from <= n && len <= n - from && len + 16 <= static_cast<size_t>(dst_end - dst)) {
      const uint8_t* src = w + from;
      const uint8_t* const end = src + len;
      uint8_t* const begin = dst;
      // Pieces end at the second quote of each pair, which is dropped.
      if (static_cast<size_t>(w + n - end) >= 16) {
        for (; i < j; ++i) {
          const uint8_t* pair = w + pairs[i].at;
          if (pair < src || pair >= end) continue;
          dst = copy_in_sixteens(dst, src, static_cast<size_t>(pair - src));
          src = pair + 1;
        }
        dst = copy_in_sixteens(dst, src, static_cast<size_t>(end - src));
      } else {
        for (; i < j; ++i) {
          const uint8_t* pair = w + pairs[i].at;
          if (pair < src || pair >= end) continue;
          std::memcpy(dst, src, static_cast<size_t>(pair - src));
          dst += pair - src;
          src = pair + 1;
        }
        std::memcpy(dst, src, static_cast<size_t>(end - src));
        dst += end - src;
      }
      ix->fields[field] = FieldView{begin, static_cast<size_t>(dst - begin)};
    }
    i = j;
  }
}

// The quoting rules over a window's masks. Each block's masks are replaced
// by what cutting needs: a the cuts, b the cuts after a quoted field, c the
// line ends, d the bytes that break the rules, a_parity the second quotes of
// doubled pairs; and, where the window holds a '\r' at all (kCr; most files
// have none), stripped[k] the line ends after one.
template <bool kCr>
__attribute__((always_inline)) inline void apply_rules(BlockMasks* m, uint64_t* stripped, size_t blocks) {
  uint64_t inside = 0;                   // all ones when the byte before the block lies inside quotes
  uint64_t after_end = 1;                // bit 0: the byte before the block ends a field, a line or a quote
  uint64_t after_close = 0;              // bit 0: the byte before the block is a closing quote
  uint64_t last_quote = 0, last_cr = 0;  // the previous block's quote and '\r' masks
  for (size_t k = 0; k < blocks; ++k) {
    const uint64_t quote = m[k].a, delim = m[k].b, nl = m[k].c;
    uint64_t in = m[k].a_parity ^ inside;
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
    // Bit i: byte i - 1 is a quote.
    const uint64_t quote_1 = quote << 1 | last_quote >> 63;
    // Where the marks allow, a field that ends in a quote starts with one too, and loses both.
    if constexpr (kCr) {
      const uint64_t cr = m[k].d;
      const uint64_t next_nl = k + 1 < blocks ? m[k + 1].c << 63 : 0;
      bad |= closed & ~(sep | nl | open | (cr & (nl >> 1 | next_nl)));
      const uint64_t quote_2 = quote << 2 | last_quote >> 62;
      const uint64_t cr_1 = cr << 1 | last_cr >> 63;
      last_cr = cr;
      m[k].b = (sep & quote_1) | (nl & (quote_1 | (cr_1 & quote_2)));
      stripped[k] = nl & cr_1;
    } else {
      bad |= closed & ~(sep | nl | open);
      m[k].b = (sep | nl) & quote_1;
    }
    after_end = ends >> 63;
    after_close = close >> 63;
    last_quote = quote;
    m[k].a = sep | nl;
    m[k].d = bad;
    m[k].a_parity = closed & open;
  }
}

// Set bits of m. Without the POPCNT instruction std::popcount is a library
// call; this takes a dozen operations instead.
template <bool kBitOps>
inline uint32_t count_bits(uint64_t m) {
  if constexpr (kBitOps) {
    return static_cast<uint32_t>(std::popcount(m));
  } else {
    m -= m >> 1 & 0x5555555555555555ULL;
    m = (m & 0x3333333333333333ULL) + (m >> 2 & 0x3333333333333333ULL);
    m = (m + (m >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<uint32_t>((m * 0x0101010101010101ULL) >> 56);
  }
}

// One view per cut of the masks apply_rules left, and the lines and marks
// that index the views (see build_fields). Views past the last cut of a block
// are written too and overwritten later (so that most blocks take no branch);
// their addresses are reckoned as integers, as they may lie past the buffer.
template <bool kBitOps, bool kCr>
__attribute__((always_inline)) inline void cut_fields(CsvIndex* ix, const uint8_t* w, size_t n,
                                                      const BlockMasks* m, const uint64_t* stripped,
                                                      size_t blocks) {
  const uintptr_t window = reinterpret_cast<uintptr_t>(w);
  uintptr_t last_cut = window - 1;
  uint32_t n_fields = 0, n_lines = 0, n_marks = 0, n_pairs = 0;
  Pair pairs[kIndexMaxMarks];
  for (size_t k = 0; k < blocks; ++k) {
    // A block adds at most 64 views, and writes eight past the count; there
    // are no more lines than views.
    static_assert(kIndexMaxFields >= 64 + 8 && kIndexMaxMarks >= 64);
    if (n_fields + 64 + 8 > kIndexMaxFields) break;
    const uint64_t cut = m[k].a, after_quoted = m[k].b, nl = m[k].c;
    const uint32_t base = static_cast<uint32_t>(64 * k);
    auto field_at = [&](uint32_t bit) {
      return n_fields + count_bits<kBitOps>(cut & ((uint64_t{1} << bit) - 1));
    };
    if (const uint64_t bad = m[k].d, doubled = m[k].a_parity; bad | doubled) {
      if (n_marks + 64 > kIndexMaxMarks || n_pairs + 64 > kIndexMaxMarks) break;
      for (uint64_t ms = bad; ms; ms &= ms - 1) ix->marks[n_marks++] = field_at(std::countr_zero(ms));
      for (uint64_t ps = doubled; ps; ps &= ps - 1) {
        const uint32_t bit = static_cast<uint32_t>(std::countr_zero(ps));
        pairs[n_pairs++] = Pair{field_at(bit), base + bit};
      }
    }

    const uintptr_t block = window + base;
    const uint32_t count = count_bits<kBitOps>(cut);
    FieldView* out = ix->fields + n_fields;
    uint64_t rest = cut;
    uintptr_t prev = last_cut;
    auto emit = [&](uint32_t i) {
      const uint64_t bit = static_cast<uint64_t>(std::countr_zero(rest));
      const uintptr_t at = block + bit;
      const uintptr_t q = after_quoted >> (bit & 63) & 1;
      const uintptr_t ptr = prev + 1 + q;
      out[i] = FieldView{reinterpret_cast<const uint8_t*>(ptr), at - q - ptr};
      prev = at;
      rest &= rest - 1;
    };
    for (uint32_t i = 0; i < 8; ++i) emit(i);
    for (uint32_t i = 8; i < count; ++i) emit(i);
    if (cut) last_cut = block + 63 - static_cast<uint32_t>(std::countl_zero(cut));

    // Lines are longer than a block in most files: the first line end of a
    // block takes no branch (without one its entry is written and not kept).
    auto line_at = [&](uint32_t bit) {
      return IndexLine{base + bit, static_cast<uint16_t>(field_at(bit) + 1),
                       static_cast<uint16_t>(kCr ? stripped[k] >> bit & 1 : 0)};
    };
    ix->lines[n_lines] = line_at(static_cast<uint32_t>(std::countr_zero(nl)) & 63);
    n_lines += nl != 0;
    for (uint64_t more = nl & (nl - 1); more; more &= more - 1)
      ix->lines[n_lines++] = line_at(static_cast<uint32_t>(std::countr_zero(more)));
    n_fields += count;
  }
  ix->marks[n_marks] = UINT32_MAX;
  ix->n_lines = n_lines;
  ix->line_at = ix->field_at = ix->mark_at = 0;
  unescape_pairs(ix, w, n, pairs, n_pairs, n_fields);
}

// The fields of the window w[0..n), which starts at a line start: one view per
// separator or line end, and the lines and marks that index them. Stops early
// where a list could overflow; the window's last line is then incomplete, like
// a line cut by the end of the window, and is never handed out from it.
template <bool kBitOps>
__attribute__((always_inline)) inline void build_fields(CsvIndex* ix, const uint8_t* w, size_t n,
                                                        uint8_t delimiter) {
  BlockMasks m[kIndexWindowBlocks];
  const uint8_t bytes[4] = {kQuote, delimiter, '\n', '\r'};
  const size_t blocks = match_blocks(w, n, bytes, m, kIndexWindowBlocks);
  uint64_t any_cr = 0;
  for (size_t k = 0; k < blocks; ++k) any_cr |= m[k].d;
  uint64_t stripped[kIndexWindowBlocks];
  if (any_cr) {
    apply_rules<true>(m, stripped, blocks);
    cut_fields<kBitOps, true>(ix, w, n, m, stripped, blocks);
  } else {
    apply_rules<false>(m, stripped, blocks);
    cut_fields<kBitOps, false>(ix, w, n, m, stripped, blocks);
  }
}

#if defined(__x86_64__)
// The same code twice: for any x86-64, and with the bit instructions of the
// processors that run the AVX2 byte searches.
void build_fields_base(CsvIndex* ix, const uint8_t* w, size_t n, uint8_t delimiter) {
  build_fields<false>(ix, w, n, delimiter);
}

__attribute__((target("popcnt,bmi,bmi2,lzcnt"))) void build_fields_bmi(CsvIndex* ix, const uint8_t* w,
                                                                       size_t n, uint8_t delimiter) {
  build_fields<true>(ix, w, n, delimiter);
}

void build_window(CsvIndex* ix, const uint8_t* w, size_t n, uint8_t delimiter) {
  if (byte_search_level() == SimdLevel::Avx2)
    build_fields_bmi(ix, w, n, delimiter);
  else
    build_fields_base(ix, w, n, delimiter);
}
#else
// Elsewhere (ARM64 among them) counting bits is one short instruction sequence
// of the base architecture.
void build_window(CsvIndex* ix, const uint8_t* w, size_t n, uint8_t delimiter) {
  build_fields<true>(ix, w, n, delimiter);
}
#endif

}  // namespace

Error read_indexed_record(CsvIndex* ix, BufferedReader* r, uint8_t delimiter, uint64_t max_column,
                          GrowBuffer<FieldView>* fields, ByteBuffer* scratch, const FieldView** record,
                          size_t* count, bool* indexed, bool decline_marked) {
  *indexed = false;
  if (ix->fills != r->fills || ix->next != r->pos || ix->line_at == ix->n_lines) {
    // A window that already starts here holds no whole line: the line is too
    // long for a window or crosses a refill.
    if (ix->fills == r->fills && ix->base == r->pos && ix->next == r->pos) return Error::None;
    const size_t avail = r->end - r->pos;
    const size_t n = avail < 64 * kIndexWindowBlocks ? avail : 64 * kIndexWindowBlocks;
    build_window(ix, r->buffer + r->pos, n, delimiter);
    ix->fills = r->fills;
    ix->base = ix->next = r->pos;
    if (ix->n_lines == 0) return Error::None;
  }
  if (decline_marked && ix->marks[ix->mark_at] < ix->lines[ix->line_at].fields_end) {
    ix->fills = UINT64_MAX;
    return Error::None;
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
  ix->fields[line.fields_end - 1].len -= line.cr;

  if (ix->marks[ix->mark_at] < line.fields_end) {
    const uint32_t first_mark = ix->marks[ix->mark_at];
    while (ix->marks[ix->mark_at] < line.fields_end) ++ix->mark_at;
    if (first_mark < first + used) {
      // split_record decides, with the allocations it would make.
      Error e = split_record(FieldView{w + s, line.end - s - line.cr}, delimiter, max_column, fields, scratch,
                             count);
      if (!failed(e)) *record = fields->data;
      return e;
    }
  }
  *record = ix->fields + first;
  *count = used;
  return Error::None;
}

}  // namespace quelta
