// The profile pass over a scan, and the JSON texts written from its result:
// the profile itself and the schema inferred from it.
#include "profile/profile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "input/open_input.h"
#include "platform/heap.h"
#include "platform/owned.h"
#include "profile/parallel_profile.h"
#include "util/utf8.h"

namespace quelta {
namespace {

constexpr double kQuantileFractions[] = {0.01, 0.25, 0.5, 0.75, 0.99};
constexpr const char* kQuantileKeys[] = {"p1", "p25", "p50", "p75", "p99"};
constexpr size_t kQuantileCount = sizeof kQuantileFractions / sizeof kQuantileFractions[0];

// A column whose non-blank values take at most this many distinct texts, each
// seen at least twice on average, gets a one_of rule.
constexpr size_t kOneOfMax = 12;

// Writes onto a sink, keeping the first failure and skipping everything after it.
struct Out {
  OutputSink& sink;
  Error error = Error::None;

  void raw(std::string_view text) {
    if (!failed(error)) error = sink.write(text);
  }
  void key(std::string_view name) {
    raw("\"");
    raw(name);
    raw("\":");
  }
  void count(uint64_t v) {
    if (!failed(error)) error = write_integer(sink, v);
  }
  // The shortest text that reads back as v; null for a value that is not finite.
  void number(double v) {
    if (!std::isfinite(v)) return raw("null");
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    raw(std::string_view(buf, ec == std::errc() ? static_cast<size_t>(end - buf) : 0));
  }
  void text(const uint8_t* p, size_t n) {
    if (failed(error)) return;
    JsonWriter writer(sink);
    error = writer.string_value(p ? p : reinterpret_cast<const uint8_t*>(""), n);
  }
};

const char* type_name(const ColumnProfile& c) {
  const uint64_t present = c.rows - c.blanks;
  if (present == 0) return "any";
  if (c.integers == present) return "integer";
  if (c.numeric == present) return "float";
  if (c.booleans == present) return "boolean";
  if (c.datetimes == present) return "datetime";
  return "string";
}

// The order of the listed distinct values: most frequent first, then by bytes.
Error sorted_distinct(const DistinctTable& t, GrowBuffer<uint32_t>* order) {
  if (Error e = order->reserve(t.values.len); failed(e)) return e;
  for (uint32_t i = 0; i < t.values.len; ++i) order->data[order->len++] = i;
  std::sort(order->data, order->data + order->len, [&](uint32_t a, uint32_t b) {
    const DistinctValue& x = t.values.data[a];
    const DistinctValue& y = t.values.data[b];
    if (x.count != y.count) return x.count > y.count;
    int c = std::memcmp(t.texts.data + x.offset, t.texts.data + y.offset, std::min(x.len, y.len));
    return c != 0 ? c < 0 : x.len < y.len;
  });
  return Error::None;
}

void write_distinct(Out& out, const ColumnProfile& c, const GrowBuffer<uint32_t>& order) {
  out.raw("{\"count\":");
  if (c.exact) {
    out.count(c.distinct.values.len);
    out.raw(",\"exact\":true,\"values\":[");
    for (size_t i = 0; i < order.len; ++i) {
      const DistinctValue& d = c.distinct.values.data[order.data[i]];
      out.raw(i ? ",{\"value\":" : "{\"value\":");
      out.text(c.distinct.texts.data + d.offset, d.len);
      out.raw(",\"count\":");
      out.count(d.count);
      out.raw("}");
    }
    out.raw("]}");
  } else {
    out.count(static_cast<uint64_t>(std::llround(column_distinct_count(c))));
    out.raw(",\"exact\":false,\"standard_error\":");
    out.number(kHllStandardError);
    out.raw("}");
  }
}

Error write_quantiles(Out& out, const ColumnProfile& c) {
  double values[kQuantileCount];
  if (Error e = quantile_values(c.quantiles, kQuantileFractions, kQuantileCount, values); failed(e)) return e;
  // While the sample holds every value, its answers are exact.
  const bool exact = quantile_exact(c.quantiles);
  out.raw("{\"rank_error\":");
  out.number(exact ? 0.0 : kQuantileRankError);
  for (size_t q = 0; q < kQuantileCount; ++q) {
    out.raw(",");
    out.key(kQuantileKeys[q]);
    out.number(values[q]);
  }
  out.raw("}");
  return Error::None;
}

Error write_column(Out& out, const ColumnProfile& c, FieldView name, size_t index) {
  out.raw("{\"name\":");
  out.text(name.ptr, name.len);
  out.raw(",\"index\":");
  out.count(index);
  out.raw(",\"type\":\"");
  out.raw(type_name(c));
  const std::pair<const char*, uint64_t> counts[] = {
      {"\",\"rows\":", c.rows},       {",\"blanks\":", c.blanks},     {",\"numeric\":", c.numeric},
      {",\"integers\":", c.integers}, {",\"booleans\":", c.booleans}, {",\"datetimes\":", c.datetimes},
      {",\"texts\":", c.texts}};
  for (const auto& [k, v] : counts) {
    out.raw(k);
    out.count(v);
  }
  if (c.numeric) {
    out.raw(",\"min\":");
    out.number(c.min);
    out.raw(",\"max\":");
    out.number(c.max);
    out.raw(",\"mean\":");
    out.number(c.mean);
    out.raw(",\"stddev\":");
    out.number(c.numeric > 1 ? std::sqrt(c.m2 / static_cast<double>(c.numeric - 1)) : NAN);
  } else {
    out.raw(",\"min\":null,\"max\":null,\"mean\":null,\"stddev\":null");
  }
  if (c.rows > c.blanks) {
    out.raw(",\"min_length\":");
    out.count(c.min_length);
    out.raw(",\"max_length\":");
    out.count(c.max_length);
    out.raw(",\"min_text\":");
    out.text(c.min_text.data, c.min_text.len);
    out.raw(",\"max_text\":");
    out.text(c.max_text.data, c.max_text.len);
  } else {
    out.raw(",\"min_length\":null,\"max_length\":null,\"min_text\":null,\"max_text\":null");
  }
  out.raw(",\"distinct\":");
  GrowBuffer<uint32_t> order;
  if (c.exact) {
    if (Error e = sorted_distinct(c.distinct, &order); failed(e)) return e;
  }
  write_distinct(out, c, order);
  order.release();
  out.raw(",\"quantiles\":");
  if (c.numeric) {
    if (Error e = write_quantiles(out, c); failed(e)) return e;
  } else {
    out.raw("null");
  }
  out.raw("}");
  return out.error;
}

bool same_name(FieldView a, FieldView b) { return a.len == b.len && std::memcmp(a.ptr, b.ptr, a.len) == 0; }

void write_rules(Out& out, const ColumnProfile& c, const GrowBuffer<uint32_t>& order) {
  const uint64_t present = c.rows - c.blanks;
  const char* type = type_name(c);
  out.raw("{\"type\":\"");
  out.raw(type);
  out.raw("\"");
  if (present > 0 && c.blanks == 0) out.raw(",\"required\":true");
  const bool integer = std::strcmp(type, "integer") == 0;
  if ((integer || std::strcmp(type, "float") == 0) && c.numeric == present) {
    out.raw(",\"min\":");
    out.number(c.min);
    out.raw(",\"max\":");
    out.number(c.max);
  }
  const bool string = std::strcmp(type, "string") == 0;
  if (string) {
    out.raw(",\"min_len\":");
    out.count(c.min_length);
    out.raw(",\"max_len\":");
    out.count(c.max_length);
  }
  const size_t n_distinct = c.distinct.values.len;
  // A schema holds texts only: values that are not UTF-8 cannot be listed.
  bool listable = true;
  for (size_t i = 0; i < order.len && listable; ++i) {
    const DistinctValue& d = c.distinct.values.data[order.data[i]];
    listable = is_valid_utf8(c.distinct.texts.data + d.offset, d.len);
  }
  if ((string || integer) && listable && c.exact && n_distinct <= kOneOfMax && present >= 2 * n_distinct) {
    out.raw(",\"one_of\":[");
    for (size_t i = 0; i < order.len; ++i) {
      const DistinctValue& d = c.distinct.values.data[order.data[i]];
      if (i) out.raw(",");
      out.text(c.distinct.texts.data + d.offset, d.len);
    }
    out.raw("]");
  }
  out.raw("}");
}

}  // namespace

Error profile_columns_init(ScanState* s, FileProfile* out) {
  size_t n_names;
  const FieldView* names = input_names(s->input, &n_names);
  const size_t n_columns = s->n_projection ? s->n_projection : n_names;
  if (Error e = out->columns.fill(ColumnProfile{}, n_columns); failed(e)) return e;
  if (Error e = out->names.reserve(n_columns); failed(e)) return e;
  if (Error e = out->indexes.reserve(n_columns); failed(e)) return e;
  for (size_t i = 0; i < n_columns; ++i) {
    const size_t at = s->n_projection ? s->projection[i] : i;
    out->names.data[out->names.len++] = at < n_names ? names[at] : FieldView{};
    out->indexes.data[out->indexes.len++] = at;
  }
  return Error::None;
}

Error profile_columns_finish(FileProfile* out) {
  for (size_t i = 0; i < out->columns.len; ++i)
    if (Error e = column_profile_finish(&out->columns.data[i]); failed(e)) return e;
  return Error::None;
}

Error profile_rows(ScanState* s, FileProfile* out) {
  ColumnProfile* columns = out->columns.data;
  const size_t n_columns = out->columns.len;
  Error e = for_each_row(s, [&](const FieldView* fields, size_t n) {
    ++out->rows;
    for (size_t i = 0; i < n_columns; ++i) {
      if (Error e = column_profile_add(&columns[i], i < n ? fields[i] : FieldView{}); failed(e)) return e;
    }
    return Error::None;
  });
  return failed(e) ? e : profile_columns_finish(out);
}

Error profile_scan(ScanState* s, FileProfile* out) {
  if (Error e = profile_columns_init(s, out); failed(e)) return e;
  return profile_rows(s, out);
}

void file_profile_free(FileProfile* p) {
  for (size_t i = 0; i < p->columns.len; ++i) column_profile_free(&p->columns.data[i]);
  p->columns.release();
  p->names.release();
  p->indexes.release();
  p->rows = 0;
}

Error write_profile_json(const FileProfile& p, OutputSink& sink) {
  Out out{sink};
  out.raw("{\"rows\":");
  out.count(p.rows);
  out.raw(",\"columns\":[");
  for (size_t i = 0; i < p.columns.len; ++i) {
    if (i) out.raw(",");
    if (Error e = write_column(out, p.columns.data[i], p.names.data[i], p.indexes.data[i]); failed(e))
      return e;
  }
  out.raw("]}");
  return out.error;
}

Error write_inferred_schema(const FileProfile& p, OutputSink& sink) {
  Out out{sink};
  out.raw("{");
  bool first = true;
  for (size_t i = 0; i < p.columns.len; ++i) {
    // A repeated name is bound to its first column only; a name that is not
    // UTF-8 cannot be a schema key.
    if (!is_valid_utf8(p.names.data[i].ptr, p.names.data[i].len)) continue;
    bool repeated = false;
    for (size_t j = 0; j < i && !repeated; ++j) repeated = same_name(p.names.data[j], p.names.data[i]);
    if (repeated) continue;
    const ColumnProfile& c = p.columns.data[i];
    GrowBuffer<uint32_t> order;
    if (c.exact && c.distinct.values.len <= kOneOfMax) {
      if (Error e = sorted_distinct(c.distinct, &order); failed(e)) return e;
    }
    out.raw(first ? "\n  " : ",\n  ");
    first = false;
    out.text(p.names.data[i].ptr, p.names.data[i].len);
    out.raw(": ");
    write_rules(out, c, order);
    order.release();
  }
  out.raw(first ? "}\n" : "\n}\n");
  return out.error;
}

}  // namespace quelta

namespace quelta {

char* profile_text(ScanState* s, ProfileOutput what, size_t n_threads, Error* condition) {
  MemorySink sink;
  Error e;
  {
    // The profile is released before the text is handed out.
    platform::Owned<FileProfile, file_profile_free> profile;
    e = n_threads == 1 ? profile_scan(s, profile.get()) : profile_scan_parallel(s, profile.get(), n_threads);
    if (!failed(e))
      e = what == ProfileOutput::Profile ? write_profile_json(*profile.get(), sink)
                                         : write_inferred_schema(*profile.get(), sink);
    if (!failed(e)) e = sink.put('\0');
  }
  if (failed(e)) {
    *condition = e;
    return nullptr;
  }
  return reinterpret_cast<char*>(sink.take().data);
}

void profile_text_free(char* text) { platform::heap_free(text); }

}  // namespace quelta
