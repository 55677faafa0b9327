/* quelta.h: querying and validating tabular text files (CSV and JSON rows).
 *
 * Inputs
 *   CSV: a header line of column names, then one record per line. Fields are
 *   separated by ',' (quelta_parallel_collect_columnar takes its own
 *   delimiter); a field that starts with '"' is quoted up to the next lone '"'
 *   on the same line, '""' inside it stands for one '"', and bytes after the
 *   closing quote up to the next delimiter are kept as part of the field.
 *   Quotes never span a line end: an unclosed quote is the condition
 *   UnterminatedQuote. A trailing '\r' is removed from every line; an empty
 *   line is a row of one empty field. A UTF-8 byte-order mark at the very
 *   start of any input is skipped. The _with exports read other dialects and
 *   encodings (ReadOptions).
 *   JSON rows: a path ending in ".ndjson", ".jsonl" or ".json" (case-sensitive)
 *   is read as flat JSON objects, one per line or as the members of one
 *   top-level array. The keys of the first object are the columns; each row
 *   gives one text per column (an absent member is empty, null is empty, true
 *   and false are those words, numbers their literal text).
 *
 * Numbers
 *   A field is numeric when all of it converts to a finite double, correctly
 *   rounded: an optional sign, then decimal digits with an optional point and
 *   exponent (1.5, .5, 5., 1e-5), or a hexadecimal float (0x1.8p3). A single
 *   '_' between two digits is skipped (1_000). No white space is allowed.
 *   "inf", "infinity" and "nan" (any case) convert but are not finite, so such
 *   fields compare as text and are left out of aggregates and keys.
 *
 * Errors
 *   Operations that can fail clear the last-error message on entry and, on
 *   failure, return NULL, -1 or 0 as each function says, leaving one message:
 *   a fixed phrase ("scanner is null") or a prefix and a condition name
 *   ("open failed: FileNotFound"). quelta_last_error returns it, and
 *   quelta_last_error_detail what the library knows beside it (the subject,
 *   the line and offset in the input or the schema text, the condition's own
 *   detail). Accessors and close/free functions never touch the message.
 *
 * Ownership
 *   Every handle is released by its own close/free function, which accepts
 *   NULL. Texts and arrays a function returns belong to the library and stay
 *   valid until the point each function names. Result handles of operators
 *   (top-k, order-by, collect, columnar collect) and batches hold their own
 *   copies: they stay valid after their Scanner is closed.
 *
 * Threads
 *   The last-error message is one slot per process without a lock: call the
 *   library from one thread at a time (a host serialises its calls).
 *   quelta_parallel_collect_columnar, quelta_parallel_profile and
 *   quelta_parallel_infer_schema start threads of their own, and all of
 *   them have ended when they return. A compressed regular file is, besides,
 *   decompressed a chunk ahead on one thread of its own while it is read; that
 *   thread touches nothing but the input's buffers and has ended when the
 *   input is closed (at the latest when its handle is, or the call that read
 *   it returns). Where no thread can be started, the input is decompressed as
 *   it is read. No other export starts a thread.
 */
#ifndef QUELTA_H
#define QUELTA_H

#include <stddef.h>
#include <stdint.h>

/* The library's version; the build checks these against the project version,
 * and the shared library's SONAME carries the major number. */
#define QUELTA_VERSION_MAJOR 0
#define QUELTA_VERSION_MINOR 1
#define QUELTA_VERSION_PATCH 0
#define QUELTA_VERSION_STRING "0.1.0"

/* QUELTA_API marks the exports: exported while the library itself is built
 * (QUELTA_BUILDING), imported by hosts on platforms that need it. */
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(QUELTA_BUILDING)
#define QUELTA_API __declspec(dllexport)
#else
#define QUELTA_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define QUELTA_API __attribute__((visibility("default")))
#else
#define QUELTA_API
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

/* One filter condition on the field at column (its index as read, before
 * projection; a row without that field has the empty text there). When both
 * the field and the value are numeric they compare as numbers, otherwise as
 * bytes (a proper prefix is smaller). IN tests equality against each of
 * in_values the same way. */
typedef struct Predicate {
  size_t column;     /* column index tested */
  int32_t op;        /* a PredicateOp code */
  const char* value; /* comparison text, referenced until quelta_close; NULL is ""; unused by IN */
  /* IN only: n_in_values texts, copied when the scan opens (a NULL entry is "") */
  const char* const* in_values;
  size_t n_in_values;
} Predicate;

/* Options of quelta_open; NULL means none of them. The projection array and
 * each predicate's value text are referenced, not copied, and must stay valid
 * until quelta_close. */
typedef struct ScanOptions {
  const size_t* projection;    /* column indices to output, in output order (NULL with n_projection 0) */
  size_t n_projection;         /* 0: output every field as read */
  const Predicate* predicates; /* all must pass (AND) */
  size_t n_predicates;
  int64_t limit;      /* most matching rows to deliver; negative: no limit */
  int64_t max_column; /* highest column index needed, later fields are not split; negative: all */
  int32_t negate;     /* nonzero: deliver the rows that do not pass */
} ScanOptions;

/* How an input is read: the form of every export that reads input ends in
 * _with and takes one of these (NULL: every field at its default). The record
 * grows over releases; a caller sets size to sizeof(ReadOptions) after zeroing
 * it, and a zeroed record reads as the exports without _with do. A record
 * whose size is below the first version's, or longer than this library's
 * with a non-zero byte past it, is refused ("invalid read options"), as is a
 * field out of its range. */
typedef enum QueltaQuoting {
  QUELTA_QUOTING_LINE = 0,   /* a quote never spans a line end (unclosed: UnterminatedQuote) */
  QUELTA_QUOTING_RFC4180 = 1 /* a quoted field may hold line breaks, kept as written; a record
                                ends at a line end outside quotes; an unclosed quote at the end
                                of the input is UnterminatedQuote */
} QueltaQuoting;

typedef enum QueltaLineEnds {
  QUELTA_LINE_ENDS_LF = 0, /* '\n' ends a line; one '\r' before it is removed */
  QUELTA_LINE_ENDS_ANY = 1 /* '\n', "\r\n" or a lone '\r' ends a line */
} QueltaLineEnds;

typedef enum QueltaEncoding {
  QUELTA_ENCODING_UTF8 = 0,   /* bytes pass through as read */
  QUELTA_ENCODING_LATIN1 = 1, /* ISO-8859-1, transcoded to UTF-8 while reading */
  QUELTA_ENCODING_CP1252 = 2  /* Windows-1252, transcoded to UTF-8 (its five unassigned bytes
                                 become U+0081, U+008D, U+008F, U+0090, U+009D) */
} QueltaEncoding;

typedef enum QueltaFormat {
  QUELTA_FORMAT_AUTO = 0,       /* by the path's extension (JSON for .json, .jsonl, .ndjson) */
  QUELTA_FORMAT_CSV = 1,        /* delimited text with a header line */
  QUELTA_FORMAT_JSON_LINES = 2, /* one JSON object per line */
  QUELTA_FORMAT_JSON_ARRAY = 3, /* the objects of one top-level JSON array */
  QUELTA_FORMAT_JSON = 4        /* JSON rows: one array when the text starts with '[' (after a
                                   byte-order mark and blanks), else one object per line */
} QueltaFormat;

typedef enum QueltaNested {
  QUELTA_NESTED_REFUSE = 0, /* a nested object or array is NestedValueNotSupported */
  QUELTA_NESTED_TEXT = 1    /* a nested object or array is delivered as its JSON text, as written */
} QueltaNested;

typedef struct ReadOptions {
  size_t size;       /* sizeof(ReadOptions) as the caller was built */
  char delimiter;    /* CSV field separator; 0 is ','. Not '"', '\r' or '\n' */
  int32_t quoting;   /* a QueltaQuoting */
  int32_t line_ends; /* a QueltaLineEnds */
  int32_t encoding;  /* a QueltaEncoding */
  int32_t format;    /* a QueltaFormat */
  int32_t nested;    /* a QueltaNested */
  int32_t stream;    /* nonzero: the path may name a pipe, FIFO or character device (standard
                        input as "/dev/stdin"), read once from start to end; 0 refuses those
                        (NotRegularFile). Taken by quelta_open_with, quelta_validate_with,
                        quelta_validator_open_with and quelta_validate_to_files_with; the
                        parallel collect reads regular files only */
} ReadOptions;

/* Filled by quelta_aggregate on success only. */
typedef struct AggregateResult {
  uint64_t count;     /* values that took part (numeric fields) */
  double sum;         /* added in row order */
  double min;         /* 0.0 when count is 0 */
  double max;         /* 0.0 when count is 0 */
  double mean;        /* sum / count; 0.0 when count is 0 */
  int32_t has_values; /* 1 when count > 0 */
} AggregateResult;

/* Filled by quelta_validate_to_files on success; zeroed on entry and left
 * zero on failure. */
typedef struct ValidationStats {
  uint64_t rows_total;   /* rows read */
  uint64_t rows_valid;   /* rows written to the valid output */
  uint64_t rows_invalid; /* rows written to the invalid output */
  uint64_t errors_total; /* breaches over all invalid rows */
} ValidationStats;

/* Where and what of the last failure, beside its message: filled by
 * quelta_last_error_detail. The record grows over releases: a caller sets
 * size to sizeof(QueltaErrorDetail) (after zeroing it) before the call; the
 * library writes only the fields it knows, and a size below the first
 * version's is refused. Texts are never NULL ("" when not known) and, like
 * the message, stay valid until the next call that clears or sets it. */
typedef struct QueltaErrorDetail {
  size_t size;            /* set by the caller: sizeof(QueltaErrorDetail) */
  const char* condition;  /* the condition's name ("UnterminatedQuote"); "" for a fixed phrase */
  const char* subject;    /* what failed: the path given, a column name, a schema key or its
                             place inside the schema ("price.min", "price.one_of[2]"); "" */
  const char* detail;     /* the condition's own detail ("expected ':' after key",
                             "unknown key \"minimum\" (did you mean \"min\"?)",
                             "the quote opened at line 6420"); "" */
  uint64_t line;          /* 1-based line of the input (the header is line 1); 0 unknown */
  uint64_t column;        /* 1-based byte within that line; 0 unknown */
  int64_t offset;         /* byte offset in the input as read (after decompression and
                             decoding); -1 unknown */
  uint64_t schema_line;   /* for a schema failure: its 1-based line in the schema text; 0 none */
  uint64_t schema_column; /* 1-based byte within that line; 0 none */
  int64_t schema_offset;  /* byte offset in the schema text; -1 none */
} QueltaErrorDetail;

/* ---- Handles ------------------------------------------------------------- */

typedef struct Scanner Scanner;                               /* an open input with its options */
typedef struct Batch Batch;                                   /* a JSON text of rows, not NUL-terminated */
typedef struct TopkContext TopkContext;                       /* the k best rows, with their keys */
typedef struct OrderByContext OrderByContext;                 /* every row, sorted */
typedef struct CollectContext CollectContext;                 /* every row in one buffer */
typedef struct ColumnarCollectContext ColumnarCollectContext; /* every row, column by column */
typedef struct ValidationReport ValidationReport;             /* the JSON report of quelta_validate */
typedef struct Validator Validator;                           /* row-by-row validation of one input */

/* ---- Frame ----------------------------------------------------------------- */

/* The optimisation mode of the build: the static text "ReleaseFast", the
 * same pointer on every call. */
QUELTA_API const char* quelta_build_mode(void);

/* The message of the last failure, NUL-terminated, or NULL when the last
 * operation succeeded. Valid until the next call that clears or sets it.
 * A message longer than 511 bytes reads "error (message too long)". */
QUELTA_API const char* quelta_last_error(void);

/* The detail of the last failure, the message unchanged: the condition,
 * the subject (a path, a column, a schema key), the failure's own detail,
 * and its position in the input or in the schema text, wherever the library
 * knows them (docs/messages.md lists what each condition gives). Returns 1
 * with *out filled when a failure is recorded, 0 with *out filled with
 * empty texts, zero positions and -1 offsets when none is, -1 (nothing
 * written) when out is NULL or out->size is below the first version's. An
 * accessor: it never touches the message; same thread rules as the message. */
QUELTA_API int32_t quelta_last_error_detail(QueltaErrorDetail* out);

/* ---- Scanner ---------------------------------------------------------------- */

/* Opens path (relative to the current directory) with the given options
 * (NULL: every row, every field) and reads its column directory. A path
 * ending in ".ndjson", ".jsonl" or ".json" is read as JSON rows, anything
 * else as CSV; a trailing ".gz", ".zst", ".bz2", ".xz" or ".zip" is looked
 * through. A file compressed with gzip, zstd, bzip2 or xz, or a zip archive
 * of one file (told by its first bytes, in every export that reads a file),
 * is read as the text inside it. Returns NULL on failure: "path is null",
 * "predicates is null", "projection is null", "out of memory ..." phrases,
 * or "open failed: " and a condition (FileNotFound, IsDir, NotRegularFile,
 * AccessDenied, EmptyFile, UnterminatedQuote, InvalidJson,
 * NestedValueNotSupported, CorruptInput, TruncatedInput, SeveralZipMembers,
 * UnsupportedZipEntry, ...). */
QUELTA_API Scanner* quelta_open(const char* path, const ScanOptions* options);
/* quelta_open reading the input as read says (NULL: as quelta_open does).
 * Fails as quelta_open does, and with "invalid read options". */
QUELTA_API Scanner* quelta_open_with(const char* path, const ScanOptions* options, const ReadOptions* read);

/* Closes the input and releases the scanner and everything it owns, except
 * result handles already returned (they live on). NULL is ignored. */
QUELTA_API void quelta_close(Scanner* scanner);

/* The column directory: the CSV header, or the keys of the first JSON row,
 * whatever the projection. 0 for NULL. */
QUELTA_API size_t quelta_n_columns(Scanner* scanner);
/* The NUL-terminated name at index, or NULL when the scanner is NULL or index
 * is out of range; valid until quelta_close. */
QUELTA_API const char* quelta_column_name(Scanner* scanner, size_t index);
/* The index of the first column named exactly name (bytewise, no case
 * folding), or -1 (also for NULL arguments). */
QUELTA_API int64_t quelta_column_index(Scanner* scanner, const char* name);

/* The next matching row (predicates, negate, limit and projection applied)
 * as NUL-terminated field texts. Stores the array in *out_fields and the
 * field count in *out_count when those pointers are not NULL. The texts and
 * the array are valid until the next quelta_next or quelta_close. A field
 * holding a NUL byte is cut short at it in this form (batches keep it).
 * Returns 1 with a row, 0 at the end, -1 on error ("scanner is null",
 * "next failed: " and a condition such as UnterminatedQuote, or "out of
 * memory ..."). After an error in one line the next call reads the next. */
QUELTA_API int32_t quelta_next(Scanner* scanner, const char*** out_fields, size_t* out_count);

/* How many rows the scanner would still deliver; consumes them, leaving the
 * scanner at its end. Returns the count or -1 ("count failed: " and a
 * condition). With no predicates, no limit and no negate it counts line ends
 * without reading fields: every line counts, a last line without line end
 * too, so blank lines and, in JSON lines, lines that would not parse are
 * counted there; with any of the three every row is read and tested. */
QUELTA_API int64_t quelta_count(Scanner* scanner);

/* Up to max_rows (1..65536) next matching rows as one JSON array of arrays
 * of strings, [["a","b"],["c","d"]], stopping after the row that brings the
 * text to max_bytes (> 0) or more. A field that is not well-formed UTF-8 is
 * written as an array of its byte values, [255,0]. Returns 1 with a batch in
 * *out, 0 when no row was left (*out NULL), -1 on error (*out NULL; "batch
 * output is null", "batch failed: InvalidBatchSize", "batch failed: " and a
 * read condition). The batch is the caller's until quelta_batch_free and
 * outlives its scanner. */
QUELTA_API int32_t quelta_next_batch(Scanner* scanner, size_t max_rows, size_t max_bytes, Batch** out);

/* The batch text (not NUL-terminated) and, if out_len is not NULL, its
 * length (0 for a NULL batch). Valid until quelta_batch_free. */
QUELTA_API const char* quelta_batch_json(Batch* batch, size_t* out_len);

/* Releases a batch of quelta_next_batch or quelta_validator_next_batch; NULL is ignored. */
QUELTA_API void quelta_batch_free(Batch* batch);

/* ---- Rows in bulk ------------------------------------------------------------ */
/* Many rows in one call, end to end in one block with their boundaries, for
 * hosts that build their own row objects from the block (a split at the
 * separator, or slices at the offsets) instead of calling once per row. */

/* Filled by quelta_next_rows. The caller zeroes it and sets size to
 * sizeof(RowChunk); a smaller size is refused ("invalid row chunk"), a larger
 * record is filled up to this version's fields. The block belongs to the
 * scanner: data, field_ends and row_ends are valid until the next call on the
 * scanner or its close. */
typedef struct RowChunk {
  size_t size;              /* sizeof(RowChunk) as the caller was built */
  const char* data;         /* every field of every row in order, neighbours parted by one separator
                               byte (none after the last field); NULL when data_len is 0 */
  size_t data_len;          /* bytes of data */
  const size_t* field_ends; /* n_fields offsets: field i is data[start .. field_ends[i]), start being 0
                               for the first field and field_ends[i - 1] + 1 for the others */
  const size_t* row_ends;   /* n_rows counts: row r holds the fields from row_ends[r - 1] (0 for the
                               first row) up to, not including, row_ends[r] */
  size_t n_rows;            /* rows in the block */
  size_t n_fields;          /* fields of all rows together */
  size_t width;             /* fields of the first row */
  int32_t uniform;          /* 1: every row has width fields */
  int32_t separated;        /* 1: no field holds the separator byte, so splitting data at every
                               separator gives the n_fields fields in order (when n_fields > 0) */
  char separator;           /* the byte between fields: 0x1f, the ASCII unit separator */
} RowChunk;

/* Up to max_rows (1..65536) next matching rows into *out, stopping after the
 * row that brings data_len to max_bytes (> 0) or more: the rows quelta_next
 * would give, in order, with a field holding a NUL byte kept whole. A read
 * failure after at least one row ends the block before it and is the result
 * of the next call that reads from the scanner, so that each failure comes
 * at its own row; the scanner then reads on as after a failed quelta_next.
 * Returns 1 with rows, 0 when none was left, -1 on error with no rows in
 * *out ("scanner is null", "row chunk is null", "invalid row chunk", "next
 * failed: InvalidBatchSize", "next failed: " and a read condition, "out of
 * memory copying rows": the rows read into the block are then lost). */
QUELTA_API int32_t quelta_next_rows(Scanner* scanner, size_t max_rows, size_t max_bytes, RowChunk* out);

/* Gives back the last n_rows rows of the last quelta_next_rows, which the
 * host did not use: every way of reading from the scanner (quelta_next, the
 * next quelta_next_rows, count, batches, the operators) delivers them again,
 * in order and without testing or counting them again, before it reads on.
 * Only right after that call: any other call that reads from the scanner
 * ends the chance. Returns 0, or -1 ("scanner is null", "unread rows out of
 * range" when n_rows is more than that call gave or the chance has passed,
 * "out of memory keeping rows": the rows are then lost). */
QUELTA_API int32_t quelta_unread_rows(Scanner* scanner, size_t n_rows);

/* ---- Operators: each consumes the scanner's remaining rows --------------- */
/* column is the position within the row as delivered (after projection). The
 * scanner stays open: at its end after a success, after a failure where the
 * scan stopped (the next call reads on from there).                          */

/* Count, sum, min, max and mean of the numeric fields of one column (others
 * are skipped). Returns 0 and fills *out, or -1 with out untouched
 * ("scanner is null", "output pointer is null", "aggregate failed: " and a
 * condition). */
QUELTA_API int32_t quelta_aggregate(Scanner* scanner, size_t column, AggregateResult* out);

/* The k rows with the largest (descending nonzero) or smallest numeric key in
 * column; rows whose key is not numeric are skipped. Returns a context
 * owning copies of the rows, or NULL ("scanner is null", "topk failed: " and
 * a condition, "out of memory allocating topk context"). */
QUELTA_API TopkContext* quelta_topk(Scanner* scanner, size_t column, size_t k, int32_t descending);
/* The next kept row, best first: 1 with a row (fields, count and key stored
 * through the non-NULL pointers), 0 at the end, -1 on error. The strings are
 * valid until the next call on ctx or its close. */
QUELTA_API int32_t quelta_topk_next(TopkContext* ctx, const char*** out_fields, size_t* out_n_fields,
                                    double* out_key);
QUELTA_API void quelta_topk_close(TopkContext* ctx);

/* Every remaining row, sorted stably by column: numerically where both keys
 * are numeric, bytewise otherwise (a missing field is the empty text).
 * Returns a context owning copies of the rows, or NULL ("scanner is null",
 * "order_by failed: " and a condition, "out of memory allocating order_by
 * context"). */
QUELTA_API OrderByContext* quelta_order_by(Scanner* scanner, size_t column, int32_t descending);
/* The next row in order: 1, 0 at the end, -1 on error; strings valid until
 * the next call on ctx or its close. */
QUELTA_API int32_t quelta_order_by_next(OrderByContext* ctx, const char*** out_fields, size_t* out_n_fields);
QUELTA_API void quelta_order_by_close(OrderByContext* ctx);

/* Every remaining row in one buffer: each field's bytes followed by a NUL,
 * row after row. n_cols is the first row's field count. Returns NULL on
 * failure ("scanner is null", "collect failed: " and a condition, "out of
 * memory allocating collect context", "out of memory collecting rows"). */
QUELTA_API CollectContext* quelta_collect(Scanner* scanner);
/* The buffer (NULL when empty) and its length through out_len (if not NULL);
 * valid until quelta_collect_close. */
QUELTA_API const char* quelta_collect_data(CollectContext* ctx, size_t* out_len);
QUELTA_API size_t quelta_collect_n_rows(CollectContext* ctx);
QUELTA_API size_t quelta_collect_n_cols(CollectContext* ctx);
QUELTA_API void quelta_collect_close(CollectContext* ctx);

/* Every remaining row column by column: per column the values end to end and
 * n_rows + 1 uint32 offsets, value r being data[offsets[r] .. offsets[r+1]).
 * The first row fixes the number of columns; a narrower row gives empty
 * values, a wider one has its extra fields dropped. A column's data must stay
 * below 4 GiB ("out of memory collecting rows" otherwise). Returns NULL on
 * failure, with the messages of quelta_collect (context phrase: "out of
 * memory allocating columnar collect context"). */
QUELTA_API ColumnarCollectContext* quelta_collect_columnar(Scanner* scanner);
QUELTA_API size_t quelta_collect_columnar_n_rows(ColumnarCollectContext* ctx);
QUELTA_API size_t quelta_collect_columnar_n_cols(ColumnarCollectContext* ctx);
/* Column data and its length (through out_len if not NULL). NULL, with
 * out_len untouched, for a NULL ctx or a column not below n_cols; NULL with
 * *out_len 0 when every value of the column is empty. Valid until close. */
QUELTA_API const uint8_t* quelta_collect_columnar_data(ColumnarCollectContext* ctx, size_t column,
                                                       size_t* out_len);
/* Column offsets and their count, n_rows + 1 (through out_count if not
 * NULL); NULL, with out_count untouched, for a NULL ctx or a column out of
 * range. Valid until close. */
QUELTA_API const uint32_t* quelta_collect_columnar_offsets(ColumnarCollectContext* ctx, size_t column,
                                                           size_t* out_count);
QUELTA_API void quelta_collect_columnar_close(ColumnarCollectContext* ctx);

/* A whole CSV or JSON-lines file column by column on up to n_threads threads
 * (0: one per processor this process may use), in file order: the same
 * result as a single pass. Each thread takes at least 64 KiB of the file, and
 * at most eight threads per processor start whatever n_threads asks. Every column of the header is collected;
 * CSV fields are split at delimiter. predicates (n_predicates of them, copied for the call) and negate filter
 * rows as in quelta_open. A file whose first non-blank byte is '[' is read as one JSON array on the calling
 * thread. In JSON lines, blank, malformed and non-object lines are skipped and nested values left empty. A
 * CSV file holding only its header gives 0 columns and 0 rows. Returns NULL on failure ("path is null", "out
 * of memory allocating predicates", "parallel scan failed: " and a condition such as FileNotFound, EmptyFile,
 * UnterminatedQuote, InvalidJSON, OutOfMemory). */
QUELTA_API ColumnarCollectContext* quelta_parallel_collect_columnar(const char* path, char delimiter,
                                                                    const Predicate* predicates,
                                                                    size_t n_predicates, int32_t negate,
                                                                    size_t n_threads);
/* quelta_parallel_collect_columnar reading the file as read says (NULL: as
 * with a ',' delimiter); the delimiter is read's. The result is the same as a
 * single pass with the same read options, quoted line breaks included. Fails
 * as quelta_parallel_collect_columnar does, and with "invalid read options". */
QUELTA_API ColumnarCollectContext* quelta_parallel_collect_columnar_with(const char* path,
                                                                         const Predicate* predicates,
                                                                         size_t n_predicates, int32_t negate,
                                                                         size_t n_threads,
                                                                         const ReadOptions* read);

/* ---- Typed columns ----------------------------------------------------------- */
/* One column of a columnar result (either collect) turned into typed values
 * in one pass, for hosts that build arrays. The caller provides the buffers:
 * values and valid hold n entries each, n at least the context's n_rows
 * (values may be NULL only when there are no rows; valid may be NULL when
 * the caller needs no mask). Row r is converted into values[r] and valid[r]
 * (1: converted; 0: blank or not convertible, values[r] then holds the
 * type's missing value). A value is blank when it is empty or only spaces,
 * tabs, CRs and LFs. Numbers are read by the rules of "Numbers" above, from
 * the text as it is: float64 takes every numeric value (inf, nan and
 * overflowing values such as 1e400 do not convert; missing is NaN); int64
 * takes the texts of an optional sign and decimal digits (single '_' between
 * two digits skipped) within int64 (missing is 0). Booleans and datetimes
 * are read from the text without spaces and tabs at either end, as the
 * schema's types read them: boolean "true" and "false" in any case (1 and 0;
 * missing 0); datetime the schema's grammar (YYYY-MM-DD, optionally 'T' or
 * ' ' and HH:MM[:SS[.fraction]], optionally Z or +HH:MM / -HH:MM) as
 * nanoseconds since 1970-01-01T00:00:00Z: no zone reads as UTC, an offset
 * is subtracted, a date alone is its midnight, fraction digits past the
 * ninth are dropped (truncated), a leap second :60 is the next minute's
 * first second, and an instant outside int64 nanoseconds (1677-09-21 to
 * 2262-04-11) does not convert (missing is INT64_MIN, numpy's NaT).
 * Returns 0 and, when counts is not NULL, stores the counts in it; -1 on
 * error with the buffers and counts untouched ("context is null", "column
 * out of range", "values is null", "output too small"). Nothing is
 * allocated; the context is only read. */
typedef struct ColumnCounts {
  uint64_t n_blank;   /* blank values */
  uint64_t n_invalid; /* values neither blank nor convertible */
  uint64_t n_zoned;   /* datetime only: converted values written with Z or an offset */
} ColumnCounts;

QUELTA_API int32_t quelta_collect_columnar_float64(ColumnarCollectContext* ctx, size_t column, double* values,
                                                   uint8_t* valid, size_t n, ColumnCounts* counts);
QUELTA_API int32_t quelta_collect_columnar_int64(ColumnarCollectContext* ctx, size_t column, int64_t* values,
                                                 uint8_t* valid, size_t n, ColumnCounts* counts);
QUELTA_API int32_t quelta_collect_columnar_boolean(ColumnarCollectContext* ctx, size_t column,
                                                   uint8_t* values, uint8_t* valid, size_t n,
                                                   ColumnCounts* counts);
QUELTA_API int32_t quelta_collect_columnar_datetime(ColumnarCollectContext* ctx, size_t column,
                                                    int64_t* values, uint8_t* valid, size_t n,
                                                    ColumnCounts* counts);

/* What quelta_collect_columnar_infer_type reports: the first type in this
 * order that every non-blank value of the column converts to. */
typedef enum QueltaColumnType {
  QUELTA_COLUMN_BLANK = 0,    /* no rows, or every value blank */
  QUELTA_COLUMN_INT64 = 1,    /* every non-blank value converts to int64 */
  QUELTA_COLUMN_FLOAT64 = 2,  /* ... to float64 */
  QUELTA_COLUMN_BOOLEAN = 3,  /* ... to boolean */
  QUELTA_COLUMN_DATETIME = 4, /* ... to a datetime */
  QUELTA_COLUMN_TEXT = 5      /* none of these */
} QueltaColumnType;

/* The column's QueltaColumnType, by the rules of the conversions above, in
 * one pass that stops at the first value ruling out every type; -1 on error
 * ("context is null", "column out of range"). */
QUELTA_API int32_t quelta_collect_columnar_infer_type(ColumnarCollectContext* ctx, size_t column);

/* The column's distinct values, told apart bytewise and numbered by first
 * appearance, so a host builds one object per distinct value: codes[r] (n
 * entries, n at least n_rows) receives the number of row r's value and
 * first_rows[k] (max_distinct entries) the row where value k first appears.
 * Returns the number of distinct values; max_distinct + 1 when the column has
 * more (the buffers then hold what was read up to there, the rest is
 * untouched); -1 on error ("context is null", "column out of range", "codes
 * is null", "first_rows is null", "output too small", "too many rows" past
 * UINT32_MAX rows, "out of memory" for its one hash table of about 8 bytes
 * per distinct value allowed, freed before it returns). */
QUELTA_API int64_t quelta_collect_columnar_dictionary(ColumnarCollectContext* ctx, size_t column,
                                                      uint32_t* codes, size_t n, uint32_t* first_rows,
                                                      uint32_t max_distinct);

/* The column's values joined by one separator byte: an ASCII byte that no
 * value holds (0x1F when it can), so a host splits the text at it in one
 * step. The joined text is the data length plus n_rows - 1 bytes (0 without
 * rows); its length is stored in *out_len when out_len is not NULL. When out
 * is NULL nothing is written but the length; otherwise out_cap must hold the
 * text. Returns the separator (0..127); -1 on error ("context is null",
 * "column out of range", "output too small", "no free separator byte" when
 * the column holds every ASCII byte). */
QUELTA_API int32_t quelta_collect_columnar_join(ColumnarCollectContext* ctx, size_t column, uint8_t* out,
                                                size_t out_cap, size_t* out_len);

/* ---- Validation ------------------------------------------------------------ */
/* A schema is a JSON object mapping column names to rule objects with the
 * keys "type" ("any", "integer", "float", "boolean", "datetime", "string"),
 * "required" (true/false), "min" and "max" (numbers), "min_len" and
 * "max_len" (integers >= 0, counted in characters) and "one_of" (an array of
 * strings and numbers), e.g. {"age":{"type":"integer","min":0}}. A schema
 * that is not such a document is BadSchema; a name the header lacks is
 * UnknownColumn. Breaches are reported under the rule names
 * "too_few_fields", "too_many_fields", "missing_required", "bad_type",
 * "below_min", "above_max", "too_short", "too_long" and "not_in_set". */

/* Validates every row of a file and returns a report of counts and of the
 * first max_errors breaches (0: 100). NULL on failure ("path is null",
 * "schema_json is null", "validate failed: " and a condition, "out of memory
 * rendering report", "out of memory"). The file is closed on return. */
QUELTA_API ValidationReport* quelta_validate(const char* path, const char* schema_json, size_t max_errors);
/* quelta_validate reading the file as read says; fails as it does, and with
 * "invalid read options". */
QUELTA_API ValidationReport* quelta_validate_with(const char* path, const char* schema_json,
                                                  size_t max_errors, const ReadOptions* read);
/* The report as NUL-terminated JSON, valid until quelta_validate_free; NULL for NULL:
 * {"rows_total":..,"rows_valid":..,"rows_invalid":..,"errors_total":..,"truncated":..,
 *  "counts":{rule:count,...},"errors":[{"row":..,"column":..,"column_name":..,"rule":..,"value":..},...]} */
QUELTA_API const char* quelta_validate_json(ValidationReport* report);
QUELTA_API void quelta_validate_free(ValidationReport* report);

/* Validates a file as quelta_validate_with does (read NULL: default reading)
 * and also writes the result as one self-contained HTML page to a new file
 * at html_path: the verdict, row counts, breaches by rule and by column as
 * bar charts, each column's rules, and the kept breaches (max_errors, 0: 100)
 * as a table filtered in the page. The page fetches nothing (inline style,
 * SVG and script). Every text from the input, the schema or title is escaped
 * for HTML; control characters, bytes that are not UTF-8 and invisible or
 * direction-changing marks show as \n, \xFF, \u202E. title names the input
 * on the page (NULL: path). html_path must not exist (PathAlreadyExists).
 * Returns the report, as quelta_validate_with would, or NULL with no page left
 * behind ("validate_html requires input, schema and html path", "invalid read
 * options", "validate_html failed: " and a condition, "out of memory rendering
 * report", "out of memory"). */
QUELTA_API ValidationReport* quelta_validate_html(const char* path, const char* schema_json,
                                                  size_t max_errors, const ReadOptions* read,
                                                  const char* html_path, const char* title);

/* Opens a file for row-by-row validation. NULL on failure ("path is null",
 * "schema_json is null", "out of memory", "cannot open validator: " and a
 * condition, "out of memory copying header"). */
QUELTA_API Validator* quelta_validator_open(const char* path, const char* schema_json);
/* quelta_validator_open reading the file as read says; fails as it does,
 * and with "invalid read options". */
QUELTA_API Validator* quelta_validator_open_with(const char* path, const char* schema_json,
                                                 const ReadOptions* read);
/* The next row with every breach found in it. Each out pointer is written
 * only when not NULL: the fields as NUL-terminated texts and their count,
 * the row's breaches as a JSON array (NULL for a row without breaches), and
 * its row number (1 for the first data row). All valid until the next
 * stepping call or close. Returns 1, 0 at the end (outputs untouched), -1 on
 * error ("validator is null", "validate failed: " and a condition, "out of
 * memory ..."). */
QUELTA_API int32_t quelta_validator_next(Validator* v, const char*** out_fields, size_t* out_count,
                                         const char** out_errors_json, uint64_t* out_row);
/* Up to max_rows (1..65536) next rows as one JSON array of
 * {"number":..,"values":[..],"errors":[..]} objects ("errors" only on rows
 * with breaches), sharing the position of quelta_validator_next. Returns
 * and messages as quelta_next_batch; free the batch with quelta_batch_free
 * (it outlives the validator). */
QUELTA_API int32_t quelta_validator_next_batch(Validator* v, size_t max_rows, size_t max_bytes, Batch** out);
/* The column directory of the input; 0 / NULL for NULL or an index out of
 * range. Names are valid until quelta_validator_close. */
QUELTA_API size_t quelta_validator_n_columns(Validator* v);
QUELTA_API const char* quelta_validator_column_name(Validator* v, size_t index);
/* Rows delivered so far by either stepping function; 0 for NULL. */
QUELTA_API uint64_t quelta_validator_rows_total(Validator* v);
QUELTA_API uint64_t quelta_validator_rows_valid(Validator* v);
QUELTA_API uint64_t quelta_validator_rows_invalid(Validator* v);
QUELTA_API void quelta_validator_close(Validator* v);

/* Splits a file in one pass: rows without breaches to a new CSV file at
 * valid_path (header first, CRLF line ends, fields quoted where needed),
 * rows with breaches to a new JSON-lines file at invalid_path, one
 * {"values":[..],"errors":[..]} line each. Neither path may exist
 * (PathAlreadyExists); every name and field must be well-formed UTF-8
 * (InvalidUtf8). Returns 0 with *stats filled, or -1: then neither output is
 * left behind and *stats stays zero ("validate_to_files requires input,
 * schema, two outputs and stats", "validate_to_files failed: " and a
 * condition, including the write failure of a full disk). */
QUELTA_API int32_t quelta_validate_to_files(const char* input_path, const char* schema_json,
                                            const char* valid_path, const char* invalid_path,
                                            ValidationStats* stats);
/* quelta_validate_to_files reading the input as read says; fails as it
 * does, and with "invalid read options". */
QUELTA_API int32_t quelta_validate_to_files_with(const char* input_path, const char* schema_json,
                                                 const char* valid_path, const char* invalid_path,
                                                 ValidationStats* stats, const ReadOptions* read);

/* One validation answer as a NUL-terminated text. input_kind 0: input is a
 * path of input_len bytes (no terminator needed); 1: CSV text; 2: JSON-row
 * text (input_len bytes each, only those are read). result_kind 0: "true"
 * when every row is valid, else "false" as soon as one row is not (the rest
 * is not read); 1: the invalid rows as a JSON array of
 * {"values":[..],"errors":[{"column":..,"column_name":..,"rule":..,"value":..}]}.
 * Fields and names must be well-formed UTF-8. NULL on failure ("input is
 * null", "schema is null", "invalid validation options", "validate failed: "
 * and a condition, "out of memory"). Free the text with quelta_outcome_free. */
QUELTA_API char* quelta_validate_outcome(const char* input, size_t input_len, const char* schema_json,
                                         uint32_t input_kind, uint32_t result_kind);
/* quelta_validate_outcome reading the input as read says. For a path
 * (input_kind 0) read->format may choose the format; for a text, input_kind
 * does, and read->format must be QUELTA_FORMAT_AUTO or agree with it (JSON
 * lines or a JSON array for input_kind 2). Fails as quelta_validate_outcome
 * does, and with "invalid read options". */
QUELTA_API char* quelta_validate_outcome_with(const char* input, size_t input_len, const char* schema_json,
                                              uint32_t input_kind, uint32_t result_kind,
                                              const ReadOptions* read);
QUELTA_API void quelta_outcome_free(char* text);

/* ---- Profile and schema inference ------------------------------------------ */
/* One pass over the rows of a file, with the scan options and read options of
 * quelta_open_with (predicates, negate, limit and projection apply; NULL for
 * either: every row and field, default reading). Every delivered column is
 * profiled; a row without the column's field counts as a blank there. Memory
 * is bounded per column whatever the number of rows. */

/* The profile as one NUL-terminated JSON text (layout in docs/profile.md):
 * {"rows":..,"columns":[{"name":..,"index":..,"type":..,"rows":..,"blanks":..,
 *  "numeric":..,"integers":..,"booleans":..,"datetimes":..,"texts":..,
 *  "min":..,"max":..,"mean":..,"stddev":..,"min_length":..,"max_length":..,
 *  "min_text":..,"max_text":..,"distinct":{"count":..,"exact":..,..},
 *  "quantiles":{"rank_error":..,"p1":..,"p25":..,"p50":..,"p75":..,"p99":..}},..]}
 * Distinct values are exact (listed with their counts, most frequent first)
 * up to 1,000 per column, then a HyperLogLog estimate of standard error
 * 0.81 %; quantiles come from a uniform sample of 16,384 values (exact
 * below that), within 1.65 % of the count in rank with 99 % confidence.
 * Returns NULL on failure: the messages of quelta_open_with, or "profile
 * failed: " and a condition (a read condition, OutOfMemory). Free the text
 * with quelta_profile_free. */
QUELTA_API char* quelta_profile(const char* path, const ScanOptions* options);
QUELTA_API char* quelta_profile_with(const char* path, const ScanOptions* options, const ReadOptions* read);

/* A schema inferred from the same pass, as the NUL-terminated JSON text
 * quelta_validate takes, that every profiled row passes: per column (a
 * repeated name once, for its first column) the strictest type every
 * non-blank value meets, "required" when no value is blank, "min" and "max"
 * from the numbers of a numeric column, "min_len" and "max_len" for a string
 * column, and "one_of" for a string or integer column of at most 12 distinct
 * values each seen twice on average. Returns NULL on failure: the messages of
 * quelta_open_with, or "infer_schema failed: " and a condition. Free the text
 * with quelta_profile_free. */
QUELTA_API char* quelta_infer_schema(const char* path, const ScanOptions* options);
QUELTA_API char* quelta_infer_schema_with(const char* path, const ScanOptions* options,
                                          const ReadOptions* read);

/* quelta_profile_with and quelta_infer_schema_with on up to n_threads threads
 * in all (0: one per processor this process may use; 1: the calling thread
 * only, as the forms above). The calling thread reads the rows and the
 * threads share out the columns, each column taking the rows in file order:
 * the text is the same as a single pass's, whatever the number of threads.
 * More threads than one per delivered column and the reading thread, or than
 * eight per processor, are not started; when the system refuses a thread, the
 * others do its share. Fails as the forms above do. */
QUELTA_API char* quelta_parallel_profile(const char* path, const ScanOptions* options,
                                         const ReadOptions* read, size_t n_threads);
QUELTA_API char* quelta_parallel_infer_schema(const char* path, const ScanOptions* options,
                                              const ReadOptions* read, size_t n_threads);

/* Releases a text of quelta_profile or quelta_infer_schema (any form); NULL is ignored. */
QUELTA_API void quelta_profile_free(char* text);

#ifdef __cplusplus
}
#endif

#endif /* QUELTA_H */
