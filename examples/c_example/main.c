/* Keeps a bird-watching log in a database file through the C interface:
 * create a table, insert rows with a prepared statement, query them, and
 * report an error. */
#include <stdio.h>
#include <stdlib.h>

#include <brackenford.h>

static const char* const kPath = "birds_c.db";

static int fail(BkfDb* db, const char* what) {
  fprintf(stderr, "%s failed: %s\n", what, bkf_last_error(db) ? bkf_last_error(db) : "(no message)");
  bkf_close(db);
  return EXIT_FAILURE;
}

int main(void) {
  remove(kPath); /* start afresh at every run */
  BkfDb* db = bkf_open(kPath);
  if (db == NULL) {
    fprintf(stderr, "cannot open %s\n", kPath);
    return EXIT_FAILURE;
  }
  if (bkf_exec(db, "CREATE TABLE birds (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, seen INTEGER)") < 0)
    return fail(db, "create");

  static const struct {
    const char* name;
    int64_t seen;
  } birds[] = {{"wren", 3}, {"robin", 5}, {"heron", 1}, {"kestrel", 2}};
  BkfStmt* insert = bkf_prepare(db, "INSERT INTO birds (name, seen) VALUES (?, ?)");
  if (insert == NULL) return fail(db, "prepare");
  for (size_t i = 0; i < sizeof birds / sizeof birds[0]; ++i) {
    bkf_bind_text(insert, 0, birds[i].name);
    bkf_bind_int(insert, 1, birds[i].seen);
    if (bkf_exec_prepared(db, insert) < 0) {
      bkf_finalize(insert);
      return fail(db, "insert");
    }
  }
  printf("kestrel has id %lld\n", (long long)bkf_last_insert_id(db));

  int64_t n = bkf_exec(db, "SELECT name, seen FROM birds WHERE seen >= 2 ORDER BY seen DESC");
  if (n < 0) {
    bkf_finalize(insert);
    return fail(db, "query");
  }
  /* Each call of bkf_col_name replaces the string the previous one returned. */
  printf("%lld rows of %s", (long long)n, bkf_col_name(db, 0));
  printf(", %s\n", bkf_col_name(db, 1));
  for (size_t row = 0; row < bkf_row_count(db); ++row) {
    int64_t seen = 0;
    bkf_get_i64(db, row, 1, &seen);
    printf("  %-8s seen %lld times\n", bkf_get_text(db, row, 0), (long long)seen);
  }

  bkf_bind_text(insert, 0, "wren");
  bkf_bind_int(insert, 1, 9);
  if (bkf_exec_prepared(db, insert) < 0) printf("refused: %s\n", bkf_last_error(db));

  bkf_finalize(insert);
  bkf_close(db);
  return EXIT_SUCCESS;
}
