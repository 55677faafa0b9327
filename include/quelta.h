/* Quelta: querying and validating tabular text files (CSV and JSON rows).
 *
 * Conventions shared by every function:
 * - Operations that can fail clear the last-error message on entry and, on
 *   failure, leave one message there (read it with quelta_last_error) and
 *   return NULL, -1 or 0 as each function says.
 * - Accessors and close/free functions never touch the last-error message.
 * - The last-error message is one process-wide slot: call the library from one
 *   thread at a time.
 */
#ifndef QUELTA_H
#define QUELTA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QUELTA_API __declspec(dllexport)
#else
#define QUELTA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Caller records ---------------------------------------------------- */

/* Predicate operators. Any other code is treated as QUELTA_OP_EQ. */
typedef enum PredicateOp {
  QUELTA_OP_EQ = 0, /* field equal to value */
  QUELTA_OP_NE = 1, /* not equal */
  QUELTA_OP_GT = 2, /* field greater than value */
  QUELTA_OP_GE = 3, /* greater or equal */
  QUELTA_OP_LT = 4, /* less */
  QUELTA_OP_LE = 5, /* less or equal */
  QUELTA_OP_IN = 6  /* equal to any of in_values */
} PredicateOp;

/* One filter condition. Numbers compare numerically when both the field and
 * the value are finite numbers, otherwise texts compare bytewise. */
typedef struct Predicate {
  size_t column;                /* column index tested */
  int32_t op;                   /* a PredicateOp code */
  const char* value;            /* comparison text; referenced until quelta_close; unused by IN */
  const char* const* in_values; /* IN only: n_in_values texts, copied by quelta_open */
  size_t n_in_values;
} Predicate;

/* Options of quelta_open; NULL means none of them. The projection array and
 * each predicate's value text are referenced, not copied, and must stay valid
 * until quelta_close. */
typedef struct ScanOptions {
  const size_t* projection;    /* column indices to output, in output order */
  size_t n_projection;         /* 0: output every field as read */
  const Predicate* predicates; /* all must pass (AND) */
  size_t n_predicates;
  int64_t limit;      /* most matching rows to deliver; negative: no limit */
  int64_t max_column; /* highest column index needed; negative: all */
  int32_t negate;     /* nonzero: deliver the rows that do not pass */
} ScanOptions;

/* Filled by quelta_aggregate on success only. */
typedef struct AggregateResult {
  uint64_t count;     /* values that took part */
  double sum;         /* added in row order */
  double min;         /* 0.0 when count is 0 */
  double max;         /* 0.0 when count is 0 */
  double mean;        /* sum / count; 0.0 when count is 0 */
  int32_t has_values; /* 1 when count > 0 */
} AggregateResult;

/* Filled by quelta_validate_to_files on success; zeroed on entry. */
typedef struct ValidationStats {
  uint64_t rows_total;   /* rows read */
  uint64_t rows_valid;   /* rows written to the valid output */
  uint64_t rows_invalid; /* rows written to the invalid output */
  uint64_t errors_total; /* breaches over all invalid rows */
} ValidationStats;

/* ---- Handles ------------------------------------------------------------- */

typedef struct Scanner Scanner; /* an open input with its options */
typedef struct Batch Batch;     /* a JSON text of rows, not NUL-terminated */
typedef struct TopkContext TopkContext;
typedef struct OrderByContext OrderByContext;
typedef struct CollectContext CollectContext;
typedef struct ColumnarCollectContext ColumnarCollectContext;
typedef struct ValidationReport ValidationReport;
typedef struct Validator Validator;

/* ---- Frame ----------------------------------------------------------------- */

/* The optimisation mode of the build: the static text "ReleaseFast". */
QUELTA_API const char* quelta_build_mode(void);

/* The message of the last failure, NUL-terminated, or NULL when the last
 * operation succeeded. Valid until the next call that clears or sets it. */
QUELTA_API const char* quelta_last_error(void);

/* ---- Scanner ---------------------------------------------------------------- */

/* Opens a CSV file, or a JSON-rows file when the path ends in ".ndjson",
 * ".jsonl" or ".json". options may be NULL. Returns NULL on failure. */
QUELTA_API Scanner* quelta_open(const char* path, const ScanOptions* options);

/* Releases the scanner and everything it owns; NULL is ignored. */
QUELTA_API void quelta_close(Scanner* scanner);

/* The column directory: the CSV header, or the keys of the first JSON row. */
QUELTA_API size_t quelta_n_columns(Scanner* scanner);
/* The name at index, or NULL when out of range; valid until quelta_close. */
QUELTA_API const char* quelta_column_name(Scanner* scanner, size_t index);
/* The index of the first column named exactly name, or -1. */
QUELTA_API int64_t quelta_column_index(Scanner* scanner, const char* name);

/* The next matching row as NUL-terminated field texts, valid until the next
 * quelta_next or quelta_close. Returns 1 with a row, 0 at the end, -1 on
 * error. Either out pointer may be NULL. */
QUELTA_API int32_t quelta_next(Scanner* scanner, const char*** out_fields, size_t* out_count);

/* How many rows the scanner would still deliver (consuming them), or -1. */
QUELTA_API int64_t quelta_count(Scanner* scanner);

/* Up to max_rows (1..65536) next rows as one JSON array of arrays of
 * strings, stopping early once the text reaches max_bytes. Returns 1 with a
 * batch in *out, 0 when no row was left (*out is NULL), -1 on error. */
QUELTA_API int32_t quelta_next_batch(Scanner* scanner, size_t max_rows, size_t max_bytes, Batch** out);

/* The batch text (not NUL-terminated) and, if out_len is not NULL, its length. */
QUELTA_API const char* quelta_batch_json(Batch* batch, size_t* out_len);

/* Releases a batch; NULL is ignored. */
QUELTA_API void quelta_batch_free(Batch* batch);

/* ---- Operators: each consumes the scanner's remaining rows --------------- */
/* column is the position within the row as delivered (after projection).     */

/* Count, sum, min, max and mean of the finite numbers in one column.
 * Returns 0 and fills *out, or -1 (out untouched). */
QUELTA_API int32_t quelta_aggregate(Scanner* scanner, size_t column, AggregateResult* out);

/* The k rows with the largest (descending nonzero) or smallest numeric key. */
QUELTA_API TopkContext* quelta_topk(Scanner* scanner, size_t column, size_t k, int32_t descending);
/* The next kept row, best first: 1 with a row, 0 at the end, -1 on error.
 * The strings are valid until the next call on ctx. */
QUELTA_API int32_t quelta_topk_next(TopkContext* ctx, const char*** out_fields, size_t* out_n_fields,
                                    double* out_key);
QUELTA_API void quelta_topk_close(TopkContext* ctx);

/* Every remaining row, sorted stably by one column: numerically where both
 * keys are finite numbers, bytewise otherwise. */
QUELTA_API OrderByContext* quelta_order_by(Scanner* scanner, size_t column, int32_t descending);
QUELTA_API int32_t quelta_order_by_next(OrderByContext* ctx, const char*** out_fields, size_t* out_n_fields);
QUELTA_API void quelta_order_by_close(OrderByContext* ctx);

/* Every remaining row in one buffer: each field's bytes followed by a NUL. */
QUELTA_API CollectContext* quelta_collect(Scanner* scanner);
QUELTA_API const char* quelta_collect_data(CollectContext* ctx, size_t* out_len);
QUELTA_API size_t quelta_collect_n_rows(CollectContext* ctx);
QUELTA_API size_t quelta_collect_n_cols(CollectContext* ctx);
QUELTA_API void quelta_collect_close(CollectContext* ctx);

/* Every remaining row column by column: per column the values end to end and
 * n_rows + 1 uint32 offsets. The first row fixes the number of columns. */
QUELTA_API ColumnarCollectContext* quelta_collect_columnar(Scanner* scanner);
QUELTA_API size_t quelta_collect_columnar_n_rows(ColumnarCollectContext* ctx);
QUELTA_API size_t quelta_collect_columnar_n_cols(ColumnarCollectContext* ctx);
QUELTA_API const uint8_t* quelta_collect_columnar_data(ColumnarCollectContext* ctx, size_t column,
                                                       size_t* out_len);
QUELTA_API const uint32_t* quelta_collect_columnar_offsets(ColumnarCollectContext* ctx, size_t column,
                                                           size_t* out_count);
QUELTA_API void quelta_collect_columnar_close(ColumnarCollectContext* ctx);

/* A whole CSV or JSON-lines file column by column on up to n_threads threads
 * (0: one per processor), with the same result handle and accessors. */
QUELTA_API ColumnarCollectContext* quelta_parallel_collect_columnar(const char* path, char delimiter,
                                                                    const Predicate* predicates,
                                                                    size_t n_predicates, int32_t negate,
                                                                    size_t n_threads);

/* ---- Validation ------------------------------------------------------------ */

/* Validates every row of a file against a JSON schema; keeps at most
 * max_errors breaches in detail (0: 100). */
QUELTA_API ValidationReport* quelta_validate(const char* path, const char* schema_json, size_t max_errors);
/* The report as NUL-terminated JSON, valid until quelta_validate_free. */
QUELTA_API const char* quelta_validate_json(ValidationReport* report);
QUELTA_API void quelta_validate_free(ValidationReport* report);

/* Row-by-row validation. */
QUELTA_API Validator* quelta_validator_open(const char* path, const char* schema_json);
QUELTA_API int32_t quelta_validator_next(Validator* v, const char*** out_fields, size_t* out_count,
                                         const char** out_errors_json, uint64_t* out_row);
QUELTA_API int32_t quelta_validator_next_batch(Validator* v, size_t max_rows, size_t max_bytes, Batch** out);
QUELTA_API size_t quelta_validator_n_columns(Validator* v);
QUELTA_API const char* quelta_validator_column_name(Validator* v, size_t index);
QUELTA_API uint64_t quelta_validator_rows_total(Validator* v);
QUELTA_API uint64_t quelta_validator_rows_valid(Validator* v);
QUELTA_API uint64_t quelta_validator_rows_invalid(Validator* v);
QUELTA_API void quelta_validator_close(Validator* v);

/* Valid rows to a new CSV file, invalid rows with their breaches to a new
 * JSON-lines file; on failure neither output is left behind. 0 or -1. */
QUELTA_API int32_t quelta_validate_to_files(const char* input_path, const char* schema_json,
                                            const char* valid_path, const char* invalid_path,
                                            ValidationStats* stats);

/* input_kind 0: input is a path; 1: CSV text; 2: JSON-row text (input_len
 * bytes, no terminator needed). result_kind 0: "true"/"false"; 1: the invalid
 * rows as a JSON array. Free the text with quelta_outcome_free. */
QUELTA_API char* quelta_validate_outcome(const char* input, size_t input_len, const char* schema_json,
                                         uint32_t input_kind, uint32_t result_kind);
QUELTA_API void quelta_outcome_free(char* text);

#ifdef __cplusplus
}
#endif

#endif /* QUELTA_H */
