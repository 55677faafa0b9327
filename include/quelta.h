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

/* The optimisation mode of the build: the static text "ReleaseFast". */
QUELTA_API const char* quelta_build_mode(void);

/* The message of the last failure, NUL-terminated, or NULL when the last
 * operation succeeded. Valid until the next call that clears or sets it. */
QUELTA_API const char* quelta_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* QUELTA_H */
