// Bad and outsized input through the whole engine: parameters of every
// wrong kind and size, a 100 MB blob (also on a disk that fills up while it
// is written), an IN list of a million terms, queries nested as deep as
// the parser allows and a file whose overflow pages are damaged. Each gives
// its result or a clear error, never a crash, and nothing is ever committed
// half.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "engine/engine_testing.h"
#include "pager/os_vfs.h"
#include "sql/parser.h"
#include "support/fault_vfs.h"

namespace bkf::testing {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
// Sanitized builds run the same code paths with a tenth of the terms.
#ifdef BKF_SANITIZED
constexpr int kInTerms = 100'000;
#else
constexpr int kInTerms = 1'000'000;
#endif

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(BadInput, ParametersOfEveryWrongKindAndSize) {
  TempDir dir;
  Database db = open_db(dir.file("p.db"));
  ASSERT_EQ(run_sql(db,
                    "CREATE TABLE p (id INTEGER PRIMARY KEY, n INT NOT NULL, r REAL, t TEXT UNIQUE, b BLOB);"
                    "INSERT INTO p VALUES (1, 1, 1.5, 'one', x'01')"),
            "ok / affected 1");
  const std::string big(2 << 20, 'x');
  const char* kInsert = "INSERT INTO p VALUES (?, ?, ?, ?, ?)";
  const struct {
    const char* sql;
    std::vector<Value> params;
    std::string want;
  } cases[] = {
      // The row id takes integers only (and text that reads as one).
      {kInsert, {Value::text("x"), Value::integer(1)}, "!execution error: expected an integer, found Text(\"x\")"},
      {kInsert, {Value::real(2.0), Value::integer(1)}, "!execution error: expected an integer, found Real(2.0)"},
      {kInsert, {Value::real(NAN), Value::integer(1)}, "!execution error: expected an integer, found Real(NaN)"},
      {kInsert, {Value::real(-INFINITY), Value::integer(1)}, "!execution error: expected an integer, found Real(-inf)"},
      {kInsert, {Value::blob("\x02"), Value::integer(1)}, "!execution error: expected an integer, found Blob([2])"},
      {kInsert, {Value::null(), Value::integer(1)}, "!execution error: expected an integer, found Null"},
      {kInsert, {Value::text(" 2 "), Value::integer(2), Value::real(NAN), Value::text("two")}, "affected 1"},
      // Too few values read NULL; extra ones are ignored.
      {kInsert, {}, "!constraint violation: NOT NULL constraint failed: n"},
      {kInsert, {Value::integer(3), Value::null()}, "!constraint violation: NOT NULL constraint failed: n"},
      {kInsert,
       {Value::integer(kMin), Value::blob("n"), Value::text("r"), Value::text("min"), Value::text("b"),
        Value::integer(9)},
       "affected 1"},
      {kInsert,
       {Value::integer(4), Value::integer(1), Value::null(), Value::text("one")},
       "!constraint violation: UNIQUE constraint failed: p__t__unique"},
      // Sizes: a key too large for an index page, a large value elsewhere.
      {kInsert,
       {Value::integer(5), Value::integer(1), Value::null(), Value::text(big)},
       "!execution error: index key too large (2097163 bytes)"},
      {kInsert,
       {Value::integer(kMax), Value::integer(1), Value::null(), Value::text("max"), Value::blob(big)},
       "affected 1"},
      {"INSERT INTO p (n) VALUES (?)", {Value::integer(1)}, "!execution error: row id overflow"},
      // Queries take any kind anywhere a value goes.
      {"SELECT id FROM p WHERE id = ? OR t = ? ORDER BY id", {Value::text(" 1"), Value::blob("two")}, "[id] (1)"},
      {"SELECT ? + ? AS a, ? / ? AS b, ? % ? AS c, -? AS d",
       {Value::integer(kMax), Value::integer(1), Value::integer(kMin), Value::integer(-1), Value::integer(kMin),
        Value::integer(-1), Value::integer(kMin)},
       "[a, b, c, d] (9.223372036854776e18, 9.223372036854776e18, 0, 9.223372036854776e18)"},
      {"SELECT length(?) AS a, typeof(?) AS b, substr(?, ?, ?) AS c",
       {Value::blob(big), Value::real(INFINITY), Value::text("abc"), Value::integer(kMin), Value::integer(kMax)},
       "[a, b, c] (2097152, 'real', 'abc')"},
      {"SELECT count(*) FROM p LIMIT ?", {Value::integer(1)}, "!execution error: LIMIT must be a constant integer"},
  };
  for (const auto& c : cases) {
    std::string params;
    for (const Value& v : c.params) params += value_debug(v).substr(0, 40) + " ";
    EXPECT_EQ(run_prepared(db, c.sql, c.params), c.want) << c.sql << " with " << params;
  }
  EXPECT_EQ(run_sql(db, "SELECT id, n, r, t, length(b) AS len FROM p ORDER BY id"),
            "[id, n, r, t, len] (-9223372036854775808, x'6e', 'r', 'min', 1) (1, 1, 1.5, 'one', 1) "
            "(2, 2, NaN, 'two', NULL) (9223372036854775807, 1, NULL, 'max', 2097152)");
  EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
}

// A 100 MB blob goes in, comes back byte for byte, and goes again; on a disk
// that fills up halfway through its commit it is refused whole, in both
// journal modes, and the database goes on.
TEST(BadInput, HundredMegabyteBlob) {
  TempDir dir;
  const std::string path = dir.file("blob.db");
  std::string bytes(100 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
  const Value blob = Value::blob(bytes);
  OsVfs os;
  FaultVfs fault(os);
  auto opened = Database::open(fault, path);
  ASSERT_TRUE(opened.ok());
  Database& db = *opened;
  ASSERT_EQ(run_sql(db, "CREATE TABLE big (id INTEGER PRIMARY KEY, b BLOB)"), "ok");
  for (const char* mode : {"delete", "wal"}) {
    ASSERT_EQ(run_sql(db, std::string("PRAGMA journal_mode = ") + mode),
              std::string("[journal_mode] ('") + mode + "')");
    // The disk fills up a few megabytes into the commit (in journal mode
    // the pages go in runs of a few megabytes; the log takes them in one
    // write, which stops halfway).
    const bool wal = std::string(mode) == "wal";
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Write),
               .nth = wal ? 1u : 3u,
               .error = ENOSPC,
               .torn = true,
               .persistent = true});
    EXPECT_EQ(run_prepared(db, "INSERT INTO big VALUES (1, ?)", {blob}),
              "!io error: No space left on device (os error 28)")
        << mode;
    fault.disarm();
    EXPECT_EQ(run_sql(db, "SELECT count(*) FROM big"), "[count(*)] (0)") << mode;
    EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << mode;
    EXPECT_EQ(run_prepared(db, "INSERT INTO big VALUES (1, ?)", {blob}), "affected 1") << mode;
    {
      Database other = open_db(path);
      auto r = other.execute("SELECT b FROM big WHERE id = 1");
      ASSERT_TRUE(r.ok()) << r.error().to_string();
      ASSERT_EQ(r->back().rows.size(), 1u);
      EXPECT_TRUE(r->back().rows[0][0].identical(blob)) << mode;
    }
    EXPECT_EQ(run_sql(db, "UPDATE big SET b = x'010203' WHERE id = 1; SELECT length(b) AS n FROM big"),
              "affected 1 / [n] (3)")
        << mode;
    EXPECT_EQ(run_sql(db, "DELETE FROM big; PRAGMA integrity_check"), "affected 1 / [integrity_check] ('ok')");
  }
}

TEST(BadInput, MillionTermInLists) {
  TempDir dir;
  Database db = open_db(dir.file("in.db"));
  ASSERT_EQ(run_sql(db,
                    "CREATE TABLE t (id INTEGER PRIMARY KEY, x INT); "
                    "INSERT INTO t (x) VALUES (-5), (0), (17), (" +
                        std::to_string(kInTerms - 1) + "), (" + std::to_string(kInTerms) + "), (NULL)"),
            "ok / affected 6");
  std::string list = "(";
  for (int i = 0; i < kInTerms; ++i) list += (i ? "," : "") + std::to_string(i);
  list += ")";
  EXPECT_EQ(run_sql(db, "SELECT count(*) FROM t WHERE x IN " + list), "[count(*)] (3)");
  EXPECT_EQ(run_sql(db, "SELECT count(*) FROM t WHERE x NOT IN " + list), "[count(*)] (2)");
  EXPECT_EQ(run_sql(db, "UPDATE t SET x = -x WHERE x IN " + list), "affected 3");
  EXPECT_EQ(run_sql(db, "DELETE FROM t WHERE -x IN " + list + "; SELECT x FROM t ORDER BY id"),
            "affected 4 / [x] (" + std::to_string(kInTerms) + ") (NULL)");
}

// Every shape of nesting runs end to end at the deepest level the parser
// takes, and one level more is a parse error.
TEST(BadInput, QueriesNestedAsDeepAsAllowed) {
  TempDir dir;
  Database db = open_db(dir.file("deep.db"));
  ASSERT_EQ(run_sql(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, x INT); INSERT INTO t (x) VALUES (1), (2)"),
            "ok / affected 2");
  const struct {
    const char* open;
    const char* leaf;
    const char* close;
    const char* want;  // null: any one row
  } shapes[] = {
      {"(SELECT ", "1", ")", "[v] (1)"},
      {"(SELECT x FROM t WHERE x IN ", "(1)", ")", "[v] (1)"},
      {"(SELECT count(*) FROM t AS q WHERE q.x >= ", "t.x", ")", nullptr},
      {"(", "x", ")", "[v] (1)"},
      {"CASE WHEN x > 0 THEN ", "x", " END", "[v] (1)"},
      {"abs(", "x", ")", "[v] (1)"},
      {"coalesce(NULL, ", "x", ")", "[v] (1)"},
      {"NOT ", "x", "", nullptr},
  };
  auto query = [](const auto& s, int d) {
    return "SELECT " + repeat(s.open, d) + s.leaf + repeat(s.close, d) + " AS v FROM t ORDER BY id LIMIT 1";
  };
  for (const auto& s : shapes) {
    int depth = 0;  // the deepest nesting that parses
    while (depth <= sql::kMaxNestingDepth && sql::parse(query(s, depth + 1)).ok()) ++depth;
    ASSERT_GT(depth, 10) << s.open;
    ASSERT_LE(depth, sql::kMaxNestingDepth) << s.open;
    const std::string got = run_sql(db, query(s, depth));
    if (s.want) {
      EXPECT_EQ(got, s.want) << s.open << " x" << depth;
    } else {
      EXPECT_EQ(got.substr(0, 5), "[v] (") << s.open << " x" << depth << ": " << got.substr(0, 200);
    }
    EXPECT_NE(run_sql(db, query(s, depth + 1)).find("expression nested too deeply"), std::string::npos) << s.open;
  }
}

// A text on overflow pages 4-8 with a byte of its last page made invalid UTF-8, then that page cut off the file: the
// integrity check names the row, and queries report the damage as it is, also from inside a subquery that folding
// runs before the statement is compiled.
TEST(BadInput, DamagedOverflowPages) {
  TempDir dir;
  const std::string path = dir.file("d.db"), cut = dir.file("cut.db");
  {
    Database db = open_db(path);
    ASSERT_EQ(run_sql(db, "CREATE TABLE u (a TEXT); INSERT INTO u VALUES ('" + std::string(20000, 'u') + "')"),
              "ok / affected 1");
  }
  ASSERT_EQ(std::filesystem::file_size(path), 8u * 4096);
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(7 * 4096 + 100).put('\xff');
  std::filesystem::copy_file(path, cut);
  std::filesystem::resize_file(cut, 7 * 4096);
  const struct {
    std::string file, error, check;
  } damaged[] = {
      {path, "corrupt data: text body is not valid UTF-8", ""},
      {cut, "short read at offset 28672: wanted 4096 bytes, got 0", " ('page 8 is used by nothing')"},
  };
  for (const auto& d : damaged) {
    Database db = open_db(d.file);
    EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('table u: row 1: " + d.error + "')" + d.check);
    for (const char* sql : {"SELECT a FROM u", "SELECT (SELECT a FROM u)", "SELECT (SELECT (SELECT a FROM u)) AS v",
                            "SELECT 1 WHERE 'x' IN (SELECT a FROM u)", "DELETE FROM u WHERE a IN (SELECT a FROM u)"}) {
      EXPECT_EQ(run_sql(db, sql), "!" + d.error) << sql;
    }
  }
}

}  // namespace
}  // namespace bkf::testing
