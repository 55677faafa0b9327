// Opening and closing Scanners, and copying rows out as C strings.
#include "scan/scanner.h"

#include <cstring>

#include "platform/heap.h"
#include "platform/owned.h"

struct Scanner {
  quelta::ScanState state;
  quelta::RowCopyOut row_out;
  char** columns = nullptr;  // NUL-terminated copies of the directory
  size_t n_columns = 0;
};

namespace quelta {

static void free_columns(Scanner* s) {
  if (!s->columns) return;
  for (size_t i = 0; i < s->n_columns; ++i) platform::heap_free(s->columns[i]);
  platform::heap_free(s->columns);
  s->columns = nullptr;
  s->n_columns = 0;
}

static bool build_columns(Scanner* s) {
  size_t n;
  const FieldView* names = input_names(s->state.input, &n);
  s->columns = static_cast<char**>(platform::heap_alloc((n ? n : 1) * sizeof(char*)));
  if (!s->columns) return false;
  for (size_t i = 0; i < n; ++i) {
    char* name = static_cast<char*>(platform::heap_alloc(names[i].len + 1));
    if (!name) return false;
    if (names[i].len) std::memcpy(name, names[i].ptr, names[i].len);
    name[names[i].len] = '\0';
    s->columns[i] = name;
    s->n_columns = i + 1;
  }
  return true;
}

Scanner* scanner_open(const char* path, const ScanOptions* options, OpenFailure* failure, Error* condition,
                      const ReadSettings& read, FailureSite* site) {
  *failure = OpenFailure::None;
  *condition = Error::None;
  if (options && options->n_predicates > 0 && !options->predicates) {
    *failure = OpenFailure::NullPredicates;
    return nullptr;
  }
  if (options && options->n_projection > 0 && !options->projection) {
    *failure = OpenFailure::NullProjection;
    return nullptr;
  }
  platform::Owned<PredicateSet, free_predicates> predicates;
  if (options && options->n_predicates > 0) {
    switch (prepare_predicates(options->predicates, options->n_predicates, predicates.get())) {
      case PrepareResult::Ok:
        break;
      case PrepareResult::NoMemoryForPredicates:
        *failure = OpenFailure::NoMemoryForPredicates;
        return nullptr;
      case PrepareResult::NoMemoryForInValues:
        *failure = OpenFailure::NoMemoryForInValues;
        return nullptr;
    }
  }
  auto box = platform::HeapBox<Scanner>::make();
  if (!box) {
    *failure = OpenFailure::NoMemoryForScanner;
    return nullptr;
  }
  ScanState& st = box->state;
  InputParams params;
  params.read = read;
  if (options) {
    if (options->n_projection > 0) {
      st.projection = options->projection;
      st.n_projection = options->n_projection;
    }
    st.has_limit = options->limit >= 0;
    st.limit = st.has_limit ? static_cast<uint64_t>(options->limit) : 0;
    if (options->max_column >= 0) params.max_column = static_cast<uint64_t>(options->max_column);
    st.negate = options->negate != 0;
  }
  // A failed open leaves nothing of the input to close.
  if (Error e = open_input(&st.input, path, params); failed(e)) {
    if (site) *site = input_site(st.input);
    *failure = OpenFailure::Input;
    *condition = e;
    return nullptr;
  }
  // From here the Scanner owns all it holds, and scanner_close releases it.
  platform::OwnedPtr<Scanner, scanner_close> s(box.release());
  st.predicates = predicates.take();
  if (!build_columns(s.get())) {
    *failure = OpenFailure::NoMemoryForHeader;
    return nullptr;
  }
  return s.release();
}

void scanner_close(Scanner* s) {
  if (!s) return;
  scan_state_close(&s->state);
  row_copy_out_release(&s->row_out);
  free_columns(s);
  s->~Scanner();
  platform::heap_free(s);
}

ScanState* scanner_state(Scanner* s) { return &s->state; }

RowCopyOut* scanner_row_out(Scanner* s) { return &s->row_out; }

size_t scanner_n_columns(const Scanner* s) { return s->n_columns; }

const char* scanner_column_name(const Scanner* s, size_t index) {
  return index < s->n_columns ? s->columns[index] : nullptr;
}

}  // namespace quelta
