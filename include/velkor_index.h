/*
 * velkor index: an embeddable token index kept in one file.
 *
 * A host registers paths (byte strings naming its documents) and gets random
 * 32-bit path ids, indexes texts under path ids, queries single tokens, and
 * discards path ids. Nothing is written to the index file except by
 * idx_save(); idx_close() never writes.
 *
 * Every idx_ function clears the last-error record on entry. On failure it
 * returns the failure value named below and, unless the handle was null,
 * fills the record, which the five _get_err_ accessors read. A null handle is
 * answered with the failure value alone (the record stays empty).
 *
 * Threads: a handle may be used by one thread at a time; different handles
 * may be used by different threads at once. The last-error record and the
 * buffers behind text results belong to the calling thread, as errno does:
 * the _get_err_ accessors report the last idx_ call of that thread, and a
 * text result stays valid until that thread's next call of the same export
 * (or until the thread ends).
 */
#ifndef VELKOR_INDEX_H_
#define VELKOR_INDEX_H_

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(VELKOR_INDEX_BUILD)
#define VELKOR_API __declspec(dllexport)
#else
#define VELKOR_API __declspec(dllimport)
#endif
#elif defined(VELKOR_INDEX_BUILD)
#define VELKOR_API __attribute__((visibility("default")))
#else
#define VELKOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of one open index. */
typedef struct idx_index_s* idx_handle;

/* Called by idx_enum_path once per registered path, in ascending signed path
 * id order. `path` is valid only during the call. Return false to stop. */
typedef bool (*idx_enum_callback)(uint32_t path_id, const char* path, int32_t time,
                                  void* user_data);

/* Opens an existing index file exclusively (an empty file, or any file of 512
 * bytes or less, opens as a new empty index). Failure: NULL. */
VELKOR_API idx_handle idx_open(const char* path, bool read_only);

/* Releases the index and closes its file without writing. Always true. */
VELKOR_API bool idx_close(idx_handle index);

/* Writes every change and all tables to the file. Failure: false (also for a
 * read-only index, which records no error). */
VELKOR_API bool idx_save(idx_handle index);

/* Removes a path id: its name, its postings, tokens left without postings and
 * its path entry. Returns the path entry id it had, or 0xFFFFFFFF when it had
 * none. Failure: 0xFFFFFFFF. */
VELKOR_API uint32_t idx_discard(idx_handle index, uint32_t path_id);

/* Cuts `text` at every occurrence of the whole `delimiter` string (NULL or ""
 * means " ") and adds each distinct token with its count under `path_id`.
 * Returns the number of distinct tokens. Failure: 0xFFFFFFFF. */
VELKOR_API uint32_t idx_index(idx_handle index, uint32_t path_id, const char* text,
                              const char* delimiter);

/* Looks up one token; returns "id,count,id,count..." joined by `separator`
 * (NULL or "" means ","), path ids as signed decimals. Not found, empty query
 * or failure: "" (never NULL). The text lasts until the thread's next
 * idx_query, which empties or replaces it. */
VELKOR_API const char* idx_query(idx_handle index, const char* query, const char* separator);

/* Returns the path id registered for `path`; with `create`, registers it with
 * a new random id when needed. Unknown or empty path, or failure: 0xFFFFFFFF. */
VELKOR_API uint32_t idx_id_of(idx_handle index, const char* path, bool create);

/* Returns the path registered under `path_id`. Unknown or failure: "". */
VELKOR_API const char* idx_path_of(idx_handle index, uint32_t path_id);

/* Returns the creation time (seconds since 1970, stored in 32 bits, sign
 * extended) of a registered path id. Unknown or failure: 0. */
VELKOR_API int64_t idx_time_of(idx_handle index, int32_t path_id);

/* Returns a counter: 0 file size, 1 slot records, 2 idle slots, 3 token table
 * pairs, 4 path table pairs, 5 cached token entries, 6 modified token entries,
 * 7 cached path entries, 8 modified path entries, 9 registered paths.
 * Unknown selector or failure: -1. */
VELKOR_API int32_t idx_count_of(idx_handle index, uint32_t selector);

/* Calls `callback` for each registered path; returns the number of calls made
 * (the one that returned false included). Failure (a NULL callback too): -1. */
VELKOR_API int32_t idx_enum_path(idx_handle index, idx_enum_callback callback, void* user_data);

/* True when the index holds changes not yet saved. Failure: false. */
VELKOR_API bool idx_get_modify(idx_handle index);

/* Sets the token and path cache limits (values below 64 become 64); they take
 * effect at the next idx_index. Returns true. Failure: false. */
VELKOR_API bool idx_adjust_cache(idx_handle index, int32_t token_cache_limit,
                                 int32_t path_cache_limit);

/* The five texts of the calling thread's last failure (never NULL; "" after a
 * call that did not fail): error id, message, raising operation, parameters,
 * advice. */
VELKOR_API const char* _get_err_id(void);
VELKOR_API const char* _get_err_msg(void);
VELKOR_API const char* _get_err_where(void);
VELKOR_API const char* _get_err_params(void);
VELKOR_API const char* _get_err_comment(void);

#ifdef __cplusplus
}
#endif

#endif /* VELKOR_INDEX_H_ */
