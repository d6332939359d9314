/*
 * brackenford: the C interface of the embedded SQL database engine.
 *
 * Two opaque handles: a database handle (BkfDb), which owns one open
 * database file and a buffer with the rows of the last query, and a prepared
 * statement handle (BkfStmt), which owns one compiled statement and its bound
 * parameter values.
 *
 *   BkfDb* db = bkf_open("app.db");          creates the file when missing
 *   bkf_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
 *   BkfStmt* ins = bkf_prepare(db, "INSERT INTO t (v) VALUES (?)");
 *   bkf_bind_text(ins, 0, "hello");
 *   bkf_exec_prepared(db, ins);
 *   bkf_exec(db, "SELECT id, v FROM t");      buffers the rows
 *   const char* v = bkf_get_str(db, 0, 1);    "hello"
 *   bkf_finalize(ins);
 *   bkf_close(db);
 *
 * Failures are reported only through return values (-1 or NULL) and a
 * message kept in the database handle (bkf_last_error); nothing unwinds into
 * the caller. Running out of memory is such a failure, with the message
 * "out of memory": the statement ends as a failed one does (outside BEGIN
 * it is rolled back and its locks released; inside BEGIN a statement that
 * writes leaves a transaction that only ROLLBACK ends), and the handle goes
 * on working. Every function accepts NULL handles and then does nothing and
 * returns 0, -1 or NULL as documented below.
 *
 * Strings. Text arguments are NUL-terminated UTF-8. Every string returned
 * points into the database handle and is never freed by the caller. Each of
 * three holders keeps one string at a time:
 *   - bkf_last_error: valid until the next failure that records a message;
 *   - bkf_get_str / bkf_get_text (one holder for both): valid until the next
 *     call of either that reaches a value;
 *   - bkf_col_name: valid until the next call with an in-range column;
 * and all of them until bkf_close. Running statements does not touch them.
 *
 * Threads. The functions take no locks: a BkfDb, and the statements run on
 * it, must not be used from two threads at once; a handle may move between
 * threads. Separate handles, on one file or not, are independent and
 * coordinate through file locks that wait without a time-out.
 *
 * Processes. A BkfDb belongs to the process that opened it. In a child made
 * by fork(), bkf_exec, bkf_prepare and bkf_exec_prepared on an inherited
 * handle fail at once, touching no file or lock, with "execution error:
 * this connection belongs to process {parent}, not to process {child}: open
 * a new connection in this process"; the child opens a handle of its own.
 * bkf_close of an inherited handle only closes the child's copies of its
 * files: the parent keeps its locks and its open transaction. Nor does a
 * child hold its parent's files: the library puts /dev/null over a forked
 * child's copies of the descriptors, so the parent's locks end when the
 * parent closes the handle, ends its transaction or dies, whatever
 * children it has. Neither depends on the library's fork handlers having
 * run, and every bkf_ function may be called from a child handler of the
 * application's. A child that ran none of the library's fork handlers
 * (made by _Fork() or a raw clone system call, or forked while another
 * thread opened the process's first handle) hands its copies back at its
 * first call into the library; until then (or its exit) it keeps them.
 */
#ifndef BRACKENFORD_H
#define BRACKENFORD_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define BKF_API __attribute__((visibility("default")))
#else
#define BKF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BkfDb BkfDb;
typedef struct BkfStmt BkfStmt;

/* Opens (or creates, with 4096-byte pages) the database file at path.
 * NULL on any failure (NULL path, path not UTF-8, engine error); no message
 * is kept, since there is no handle. */
BKF_API BkfDb* bkf_open(const char* path);

/* Releases the handle. In the process that opened it, an open transaction
 * is rolled back and every file lock released (unlocked, not only left to
 * the close) before the files are closed; in another process (a forked
 * child) the files are only closed. NULL is ignored. */
BKF_API void bkf_close(BkfDb* db);

/* Runs every statement of sql in order, stopping at the first failure.
 * Returns the rows returned plus the rows changed over all statements, or -1
 * (NULL db: no message; otherwise bkf_last_error tells why). The buffer ends
 * holding the last row-returning result of the text, or empty. */
BKF_API int64_t bkf_exec(BkfDb* db, const char* sql);

/* Compiles one SELECT, INSERT ... VALUES, UPDATE or DELETE with `?`
 * parameters. NULL on failure (message in db). The buffer is not touched. */
BKF_API BkfStmt* bkf_prepare(BkfDb* db, const char* sql);

/* Store a value in parameter slot idx (0 = the first `?`). Slots below idx
 * that were never bound read as NULL. Every marker of the statement can be
 * bound, however many it holds. A negative idx does nothing, and so does an
 * idx above 65535 that is past the statement's last marker (slots are kept
 * densely: a stray huge idx must not ask for a huge list). bkf_bind_text
 * copies the text; a NULL text binds NULL. A text that is not valid UTF-8 is
 * refused: every bkf_exec_prepared of stmt then fails, runs nothing and
 * records "bkf_bind_text: parameter {idx} is not valid UTF-8", until that
 * slot is bound again or the binds are cleared. */
BKF_API void bkf_bind_int(BkfStmt* stmt, int64_t idx, int64_t value);
BKF_API void bkf_bind_real(BkfStmt* stmt, int64_t idx, double value);
BKF_API void bkf_bind_text(BkfStmt* stmt, int64_t idx, const char* text);
BKF_API void bkf_bind_null(BkfStmt* stmt, int64_t idx);

/* Removes every bound value. */
BKF_API void bkf_clear_binds(BkfStmt* stmt);

/* Runs stmt with its bound values on db, which must be the handle that
 * prepared it ("prepared statement belongs to another database" otherwise).
 * Returns the number of rows of a query (buffered) or of rows changed, or -1.
 * The bound values stay for the next run. */
BKF_API int64_t bkf_exec_prepared(BkfDb* db, BkfStmt* stmt);

/* Releases the statement. Statement and database handles may be released in
 * either order. NULL is ignored. */
BKF_API void bkf_finalize(BkfStmt* stmt);

/* Number of buffered rows and columns (0 for a NULL handle). */
BKF_API size_t bkf_row_count(BkfDb* db);
BKF_API size_t bkf_col_count(BkfDb* db);

/* The name of buffered column col, or NULL when col is out of range. */
BKF_API const char* bkf_col_name(BkfDb* db, size_t col);

/* Reads cell (row, col) as a 64-bit integer: an integer as it is, a real
 * truncated toward zero and saturated at the 64-bit range (NaN gives 0).
 * Returns 1 and stores the value through out (when not NULL); 0 for NULL,
 * text and blob cells (out untouched); -1 when row or col is out of range. */
BKF_API int32_t bkf_get_i64(BkfDb* db, size_t row, size_t col, int64_t* out);

/* The text of any non-NULL cell: integers in decimal; reals that are whole
 * and below 1e15 in magnitude as integers, others as the shortest decimal
 * that reads back the same, never with an exponent ("0.5", "0.0000001",
 * "NaN", "inf", "-inf"); text as it is; a blob read as UTF-8 with invalid
 * sequences replaced by U+FFFD. NULL for SQL NULL, out-of-range indexes, or a
 * text holding a NUL byte. */
BKF_API const char* bkf_get_str(BkfDb* db, size_t row, size_t col);

/* Like bkf_get_str, but only for text cells: NULL for every other kind. */
BKF_API const char* bkf_get_text(BkfDb* db, size_t row, size_t col);

/* The message of the most recent failure on this handle, or NULL when none
 * happened yet. Successful calls do not clear it. */
BKF_API const char* bkf_last_error(BkfDb* db);

/* The row id of the last row inserted through this handle (0 until one). */
BKF_API int64_t bkf_last_insert_id(BkfDb* db);

#ifdef __cplusplus
}
#endif

#endif /* BRACKENFORD_H */
