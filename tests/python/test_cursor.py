"""Cursors: results kept per cursor, description and rowcount after every
kind of statement, fetching, executemany, lastrowid, context managers and the
use checks of calls that re-enter a cursor."""

import unittest

import brackenford
from support import DbTestCase, is_internal_failure


def desc(*names):
    return [(n, None, None, None, None, None, None) for n in names]


class Results(DbTestCase):
    def state(self, sql, params=None):
        self.cur.execute(sql, params)
        return self.cur.rowcount, self.cur.description

    def test_description_and_rowcount_by_statement_kind(self):
        cases = [
            ("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)", None, -1, None),
            ("CREATE INDEX tv ON t (v)", None, -1, None),
            ("INSERT INTO t (v) VALUES ('a'), ('b'), ('c')", None, 3, None),
            ("INSERT INTO t (v) VALUES (?)", ("d",), 1, None),
            ("SELECT id, v AS value FROM t", None, 4, desc("id", "value")),
            ("SELECT id FROM t WHERE id = ?", (2,), 1, desc("id")),
            ("SELECT id FROM t WHERE id > 100", None, 0, desc("id")),
            ("UPDATE t SET v = 'z' WHERE id > ?", (1,), 3, None),
            ("DELETE FROM t WHERE id = 4", None, 1, None),
            ("BEGIN", None, -1, None),
            ("COMMIT", None, -1, None),
            ("PRAGMA journal_mode", None, 1, desc("journal_mode")),
            ("ALTER TABLE t ADD COLUMN w INTEGER", None, -1, None),
            ("", None, -1, None),
            ("SELECT 1; INSERT INTO t (v) VALUES ('e'), ('f')", None, 2, None),
            ("INSERT INTO t (v) VALUES ('g'); SELECT v FROM t WHERE id = 1", None, 1, desc("v")),
            ("DROP INDEX tv", None, -1, None),
        ]
        for sql, params, rowcount, description in cases:
            with self.subTest(sql):
                self.assertEqual(self.state(sql, params), (rowcount, description))
                if description is None:
                    self.assertEqual(self.cur.fetchall(), [])
                else:
                    self.assertEqual(len(self.cur.fetchall()), rowcount)
        self.cur.execute("INSERT INTO t (v) VALUES ('h'); SELECT v FROM t WHERE id = 1")
        self.assertEqual(self.cur.fetchall(), [("a",)])

    def test_fetching(self):
        self.assertEqual((self.cur.rowcount, self.cur.description, self.cur.lastrowid), (-1, None, 0))
        self.assertEqual((self.cur.fetchone(), self.cur.fetchmany(), self.cur.fetchall()), (None, [], []))
        self.cur.execute("CREATE TABLE t (a INTEGER)")
        self.cur.executemany("INSERT INTO t VALUES (?)", [(i,) for i in range(6)])
        self.cur.execute("SELECT a FROM t ORDER BY a")
        self.assertEqual(self.cur.fetchmany(), [(0,)])
        self.assertEqual(self.cur.fetchmany(0), [])
        self.assertEqual(self.cur.fetchone(), (1,))
        self.assertEqual(self.cur.fetchmany(2), [(2,), (3,)])
        self.assertEqual(self.cur.fetchmany(2**64 - 1), [(4,), (5,)])
        self.assertEqual(self.cur.fetchmany(3), [])
        self.assertIsNone(self.cur.fetchone())
        self.assertEqual(self.cur.fetchall(), [])
        self.assertEqual(self.cur.rowcount, 6)  # fetching leaves the result alone
        self.cur.execute("SELECT a FROM t WHERE a >= 3 ORDER BY a")
        self.assertEqual(self.cur.fetchone(), (3,))
        self.assertEqual(self.cur.fetchall(), [(4,), (5,)])
        self.cur.execute("SELECT a FROM t ORDER BY a LIMIT 2")
        self.assertEqual(self.cur.fetchmany(size=True), [(0,)])  # any __index__ serves
        self.assertEqual(self.cur.fetchmany(10), [(1,)])

    def test_cursors_keep_their_own_results(self):
        self.cur.execute("SELECT 1")
        other = self.conn.execute("SELECT ?, 3", (2,))
        self.assertIsInstance(other, brackenford.Cursor)
        self.assertIsNot(self.conn.execute("SELECT 1"), other)
        self.assertEqual(self.cur.fetchall(), [(1,)])
        self.assertEqual(len(other.description), 2)
        self.assertEqual(other.fetchall(), [(2, 3)])

    def test_failed_execute_leaves_cursor_unchanged(self):
        self.cur.execute("SELECT 1 UNION ALL SELECT 2")
        self.assertEqual(self.cur.fetchone(), (1,))
        for sql, params in (("SELECT * FROM nowhere", None), ("SELECT * FROM nowhere", ()),
                            ("SELEKT", None), ("SELECT ?", (bytearray(),))):
            with self.subTest(sql):
                self.assertRaises(brackenford.Error, self.cur.execute, sql, params)
                self.assertEqual(self.cur.rowcount, 2)
        self.assertEqual(self.cur.fetchall(), [(2,)])

    def test_statement_texts_run_again_follow_the_schema_and_data(self):
        # The connection keeps the statements execute() prepared; a kept one
        # must behave as a freshly prepared one.
        def rows(sql, params):
            self.cur.execute(sql, params)
            return self.cur.fetchall()

        select = "SELECT v FROM t WHERE id = ?"
        self.cur.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)")
        self.cur.execute("INSERT INTO t VALUES (?, ?)", (1, "a"))
        self.assertEqual(rows(select, (1,)), [("a",)])
        self.cur.execute("DROP TABLE t")
        self.assertEngineError("execution error: no such table: t", self.cur.execute, select, (1,))
        self.assertEngineError("execution error: no such table: t", self.cur.execute,
                               "INSERT INTO t VALUES (?, ?)", (2, "b"))
        self.cur.execute("CREATE TABLE t (w INTEGER, v TEXT, id INTEGER PRIMARY KEY)")
        self.cur.execute("INSERT INTO t (id, v) VALUES (?, ?)", (1, "c"))
        self.assertEqual(rows(select, (1,)), [("c",)])
        sub = "SELECT (SELECT count(*) FROM t) + ?"
        self.assertEqual(rows(sub, (10,)), [(11,)])
        self.cur.execute("INSERT INTO t (id, v) VALUES (?, ?)", (2, "d"))
        self.assertEqual(rows(sub, (10,)), [(12,)])
        for i in range(40):  # more texts than are kept
            self.assertEqual(rows(f"SELECT ? + {i}", (1,)), [(1 + i,)])
        self.assertEqual(rows(select, (2,)), [("d",)])


class LastRowId(DbTestCase):
    def test_lastrowid(self):
        conn, cur = self.conn, self.cur
        cur.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT UNIQUE)")
        self.assertEqual(cur.lastrowid, 0)
        cur.execute("INSERT INTO t (id, v) VALUES (10, 'a')")
        self.assertEqual(cur.lastrowid, 10)
        cur.execute("INSERT INTO t (v) VALUES (?)", ("b",))
        self.assertEqual(cur.lastrowid, 11)
        cur.execute("SELECT v FROM t")
        self.assertEqual(cur.lastrowid, 11)  # a query shows the connection's last insert
        other = conn.execute("DELETE FROM t WHERE id = 10")
        self.assertEqual(other.lastrowid, 11)
        self.assertRaises(brackenford.Error, cur.execute, "INSERT INTO t (v) VALUES ('b')")
        self.assertEqual(cur.lastrowid, 11)
        cur.executemany("INSERT INTO t (v) VALUES (?)", [("c",), ("d",)])
        self.assertEqual(cur.lastrowid, 13)


class ExecuteMany(DbTestCase):
    def setUp(self):
        super().setUp()
        self.cur.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT UNIQUE)")

    def count(self):
        return self.conn.execute("SELECT count(*) FROM t").fetchone()[0]

    def test_counts(self):
        self.cur.execute("SELECT 1")
        self.assertIsNone(self.cur.executemany("INSERT INTO t (v) VALUES (?)", [("a",), ("b",), ("c",)]))
        self.assertEqual((self.cur.rowcount, self.cur.description, self.cur.fetchall()), (3, None, []))
        self.cur.executemany("UPDATE t SET v = ? WHERE id = ?", (("x", 1), ("y", 2), ("z", 3), ("w", 9)))
        self.assertEqual(self.cur.rowcount, 3)
        self.cur.executemany("INSERT INTO t (v) VALUES (?)", [])
        self.assertEqual(self.cur.rowcount, 0)
        self.cur.executemany("SELECT v FROM t WHERE id = ?", [(1,), (2,)])  # rows are discarded
        self.assertEqual((self.cur.rowcount, self.cur.description, self.cur.fetchone()), (0, None, None))
        self.cur.executemany("INSERT INTO t (v) VALUES (?)", (str(i) for i in range(5)))  # str: one per char
        self.assertEqual(self.count(), 8)

    def test_failure_in_the_middle(self):
        self.cur.execute("SELECT 'kept'")
        rows = [("a",), ("b",), ("a",), ("d",)]
        self.assertEngineError("constraint violation: UNIQUE constraint failed: t__v__unique",
                               self.cur.executemany, "INSERT INTO t (v) VALUES (?)", rows)
        self.assertEqual(self.count(), 2)
        self.assertEqual((self.cur.rowcount, self.cur.fetchall()), (1, [("kept",)]))
        self.assertEngineError("unsupported parameter type (want None/int/float/str/bytes)",
                               self.cur.executemany, "INSERT INTO t (v) VALUES (?)", [("c",), (bytearray(),)])
        self.assertEqual(self.count(), 3)

    def test_prepare_failure_before_seq_is_touched(self):
        started = []

        def seq():
            started.append(True)
            yield (1,)

        self.assertRaises(brackenford.Error, self.cur.executemany, "INSERT INTO nowhere VALUES (?)", seq())
        self.assertRaises(brackenford.Error, self.cur.executemany, "SELECT 1; SELECT 2", seq())
        self.assertEqual(started, [])
        self.assertRaises(TypeError, self.cur.executemany, "INSERT INTO t (v) VALUES (?)", 5)
        self.assertRaises(TypeError, self.cur.executemany, "INSERT INTO t (v) VALUES (?)", [5])


class ContextManagers(DbTestCase):
    def test_with_blocks_neither_commit_nor_swallow(self):
        conn = self.connect()
        conn.execute("CREATE TABLE t (a INTEGER)")
        with conn as c:
            self.assertIs(c, conn)
            conn.execute("BEGIN")
            conn.execute("INSERT INTO t VALUES (1)")
        conn.commit()
        conn.rollback()
        conn.close()
        conn.execute("COMMIT")  # still open after all of the above
        with self.assertRaises(ZeroDivisionError):
            with conn.cursor() as cur:
                self.assertIsInstance(cur, brackenford.Cursor)
                cur.execute("SELECT a FROM t")
                1 / 0
        cur.close()
        self.assertEqual(cur.fetchall(), [(1,)])  # no closed state


class ReentrantCalls(DbTestCase):
    """Python code run by a call (parameter conversion, iteration) that uses
    the same cursor or connection."""

    def setUp(self):
        super().setUp()
        self.cur.execute("CREATE TABLE t (a INTEGER)")

    def test_cursor_reentered_during_parameter_conversion(self):
        seen = []
        cur = self.cur

        class Sneaky:
            def __index__(self):
                try:
                    cur.fetchone()
                except RuntimeError as e:
                    seen.append(str(e))
                return 3

        cur.execute("SELECT ?", (Sneaky(),))
        self.assertEqual(cur.fetchone(), (3,))
        self.assertEqual(seen, ["Already borrowed"])

    def test_cursor_reentered_during_executemany(self):
        cur = self.cur

        def reads():
            yield (1,)
            cur.rowcount

        with self.assertRaises(RuntimeError) as cm:
            cur.executemany("INSERT INTO t VALUES (?)", reads())
        self.assertEqual(str(cm.exception), "Already mutably borrowed")

        def fetches():
            cur.fetchall()
            yield (1,)

        with self.assertRaises(RuntimeError) as cm:
            cur.executemany("INSERT INTO t VALUES (?)", fetches())
        self.assertEqual(str(cm.exception), "Already borrowed")

    def test_connection_during_executemany(self):
        conn = self.conn

        def nested_prepared():
            for i in range(3):
                conn.execute("INSERT INTO t VALUES (?)", (100 + i,))  # shared use nests
                yield (i,)

        self.cur.executemany("INSERT INTO t VALUES (?)", nested_prepared())
        self.assertEqual(self.cur.rowcount, 3)
        self.assertEqual(conn.execute("SELECT count(*) FROM t").fetchone(), (6,))

        def whole_text():
            yield (1,)
            conn.execute("INSERT INTO t VALUES (999)")

        with self.assertRaises(BaseException) as cm:
            self.cur.executemany("INSERT INTO t VALUES (?)", whole_text())
        self.assertTrue(is_internal_failure(cm.exception), repr(cm.exception))
        self.assertEqual(conn.execute("SELECT count(*) FROM t WHERE a = 999").fetchone(), (0,))
        self.assertEqual(conn.execute("SELECT count(*) FROM t").fetchone(), (7,))


if __name__ == "__main__":
    unittest.main()
