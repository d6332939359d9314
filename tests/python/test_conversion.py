"""Parameters into values and values back into Python objects, including
text that crosses the boundary with NUL bytes or damaged encodings."""

import os
import unittest

import brackenford
from support import DbTestCase

UNSUPPORTED = "unsupported parameter type (want None/int/float/str/bytes)"


def obj(**methods):
    """An instance of a new class with the given methods."""
    return type("Obj", (), methods)()


def Index(v):
    return obj(__index__=lambda self: v)


def fails(self):
    raise ValueError("no conversion")


MyStr, MyBytes, MyFloat = (type("My" + t.__name__, (t,), {}) for t in (str, bytes, float))


class Params(DbTestCase):
    def one(self, value):
        """The value a single parameter comes back as."""
        row = self.conn.execute("SELECT ?", (value,)).fetchone()
        return row[0]

    def assertSame(self, got, want):
        self.assertIs(type(got), type(want))
        self.assertEqual(got, want)

    def test_conversion_rules(self):
        cases = [
            (None, None),
            (True, 1),
            (False, 0),
            (0, 0),
            (-(2**63), -(2**63)),
            (2**63 - 1, 2**63 - 1),
            (2**63, 9.223372036854776e18),
            (2**70, 1.1805916207174113e21),
            (-(2**70), -1.1805916207174113e21),
            (1.5, 1.5),
            (MyFloat(0.25), 0.25),
            (Index(41), 41),
            (Index(2**64), 1.8446744073709552e19),
            (obj(__float__=lambda self: 2.5), 2.5),
            (obj(__index__=lambda self: 7, __float__=lambda self: 7.5), 7),
            ("", ""),
            ("h\u00e9llo \U0001F600", "h\u00e9llo \U0001F600"),
            ("a\x00b", "a\x00b"),
            (MyStr("sub"), "sub"),
            (b"", b""),
            (bytes(range(256)), bytes(range(256))),
            (MyBytes(b"\x00\xff"), b"\x00\xff"),
        ]
        for value, want in cases:
            with self.subTest(value=value):
                self.assertSame(self.one(value), want)

    def test_unsupported_types(self):
        for value in (bytearray(b"x"), memoryview(b"x"), [1], {}, object(), obj(__index__=fails, __float__=fails), 10**400, "\ud800",
                      MyStr("\udfff")):
            with self.subTest(value=repr(value)):
                self.assertEngineError(UNSUPPORTED, self.conn.execute, "SELECT ?", (value,))

    def test_any_iterable_binds_in_order(self):
        for params, want in (("ab", ("a", "b")), ([1, 2], (1, 2)), ((x for x in (3, 4)), (3, 4)),
                             ({5: "a"}.keys(), (5, None)), ([1, 2, 3], (1, 2))):
            with self.subTest(want=want):
                self.assertEqual(self.conn.execute("SELECT ?, ?", params).fetchone(), want)

        def broken():
            yield 1
            raise KeyError("boom")

        self.assertRaises(TypeError, self.conn.execute, "SELECT ?", 5)
        with self.assertRaises(KeyError):  # iteration errors pass unchanged
            self.conn.execute("SELECT ?", broken())

        # A list changed while its items convert.
        params = [0, 0, 0]

        class Shrinks:
            def __index__(self):
                del params[1:]
                return 9

        params[0] = Shrinks()
        self.assertEqual(self.conn.execute("SELECT ?, ?", params).fetchone(), (9, None))

    def test_params_prepare_exactly_one_statement_none_runs_the_whole_text(self):
        self.assertEqual(self.conn.execute("SELECT 1; SELECT 2, 3", None).fetchall(), [(2, 3)])
        self.conn.execute("CREATE TABLE t (a INTEGER)")
        self.assertEngineError("execution error: prepare expects exactly one statement",
                               self.conn.execute, "INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)", ())
        self.assertEqual(self.conn.execute("SELECT count(*) FROM t").fetchone(), (0,))


class Results(DbTestCase):
    def test_value_kinds(self):
        conn = self.conn
        conn.execute("CREATE TABLE v (i INTEGER, r REAL, t TEXT, b BLOB)")
        conn.execute("INSERT INTO v VALUES (?, ?, ?, ?)", (-5, 0.5, "t\u00e9xt", b"\x00\x01"))
        conn.execute("INSERT INTO v VALUES (NULL, NULL, NULL, NULL)")
        rows = conn.execute("SELECT i, r, t, b FROM v ORDER BY i").fetchall()
        self.assertEqual(rows, [(None, None, None, None), (-5, 0.5, "t\u00e9xt", b"\x00\x01")])
        self.assertEqual([type(x) for x in rows[1]], [int, float, str, bytes])

    def test_sql_text_keeps_its_length(self):
        conn = self.conn
        conn.execute("CREATE TABLE t (a TEXT)")
        # Cut at the NUL, the text would be a valid INSERT of 'x'.
        with self.assertRaises(brackenford.Error) as cm:
            conn.execute("INSERT INTO t VALUES ('x')\x00; DROP TABLE t")
        # The message quotes the NUL and goes on after it.
        self.assertEqual(cm.exception.args[0], "parse error at byte 26: unexpected character '\x00'")
        self.assertEqual(conn.execute("SELECT count(*) FROM t").fetchone(), (0,))
        self.assertEqual(conn.execute("SELECT 'a\x00b'").fetchone(), ("a\x00b",))

    def test_path_with_nul_is_refused(self):
        target = self.path("a")
        self.assertEngineError("io error: Invalid argument (os error 22)", brackenford.connect,
                               target + "\x00b.db")
        self.assertFalse(os.path.exists(target))
        self.assertEqual(os.listdir(self.dir), [])

    def test_damaged_text_is_reported_not_passed_through(self):
        # Text that is not UTF-8 can only come from a damaged file. The record
        # layer refuses it as corrupt; should a value ever arrive anyway, the
        # module decodes it with U+FFFD replacements instead of failing.
        path = self.path()
        conn = brackenford.connect(path)
        conn.execute("CREATE TABLE t (a TEXT)")
        conn.execute("CREATE INDEX ta ON t (a)")
        conn.execute("INSERT INTO t VALUES ('<<MARK-abc-MARK>>')")
        del conn
        with open(path, "r+b") as f:
            data = f.read()
            self.assertEqual(data.count(b"<<MARK-abc-MARK>>"), 2)  # the row and its index entry
            f.seek(0)
            f.write(data.replace(b"<<MARK-abc-MARK>>", b"<<MARK-\xff\xe2\x82-MARK>>"))
        conn = brackenford.connect(path)
        for sql in ("SELECT a FROM t", "SELECT a FROM t WHERE a > ''", "SELECT a FROM t ORDER BY a"):
            with self.subTest(sql):
                self.assertEngineError("corrupt data: text body is not valid UTF-8", conn.execute, sql)
        self.assertEqual(conn.execute("SELECT count(*) FROM t").fetchone(), (1,))

if __name__ == "__main__":
    unittest.main()
