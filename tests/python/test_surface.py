"""The module's surface: attributes, types, signatures, doc strings and the
exact messages of bad calls."""

import inspect
import unittest

import brackenford
from support import DbTestCase

Connection = brackenford.Connection
Cursor = brackenford.Cursor


class ModuleAttributes(unittest.TestCase):
    def test_all_in_order(self):
        self.assertEqual(
            brackenford.__all__,
            ["connect", "Connection", "Cursor", "Error", "apilevel", "threadsafety", "paramstyle", "__version__"],
        )
        for name in brackenford.__all__:
            self.assertTrue(hasattr(brackenford, name), name)

    def test_constants(self):
        self.assertEqual(brackenford.apilevel, "2.0")
        self.assertIs(type(brackenford.threadsafety), int)
        self.assertEqual(brackenford.threadsafety, 1)
        self.assertEqual(brackenford.paramstyle, "qmark")
        self.assertEqual(brackenford.__version__, "0.1.2")

    def test_error_type(self):
        Error = brackenford.Error
        self.assertEqual(Error.__name__, "Error")
        self.assertEqual(Error.__module__, "brackenford")
        self.assertEqual(Error.__doc__, "Brackenford database error.")
        self.assertEqual(Error.__bases__, (Exception,))

    def test_module_file_is_stable_abi(self):
        self.assertTrue(brackenford.__file__.endswith("brackenford.abi3.so"), brackenford.__file__)

    def test_classes(self):
        for cls, name in ((Connection, "Connection"), (Cursor, "Cursor")):
            self.assertEqual(cls.__name__, name)
            self.assertEqual(cls.__module__, "brackenford")
            with self.assertRaises(TypeError) as cm:
                cls()
            self.assertEqual(str(cm.exception), f"cannot create 'brackenford.{name}' instances")
            with self.assertRaises(TypeError):
                cls.__new__(cls)
            with self.assertRaises(TypeError):
                cls.extra = 1  # immutable type
            with self.assertRaises(TypeError):

                class Sub(cls):  # noqa: F841
                    pass


class Signatures(unittest.TestCase):
    # (callable, __text_signature__, __doc__)
    TABLE = [
        (brackenford.connect, "(path)", "Open (or create) a database file."),
        (Connection.cursor, "($self)", None),
        (Connection.execute, "($self, sql, params=None)",
         "Convenience: make a cursor, run one statement, return the cursor."),
        (Connection.commit, "($self)", None),
        (Connection.rollback, "($self)", None),
        (Connection.close, "($self)", None),
        (Connection.__enter__, "($self)", None),
        (Connection.__exit__, "($self, _t, _v, _b)", None),
        (Cursor.execute, "($self, sql, params=None)",
         "Execute one statement, optionally with `?` params (qmark paramstyle)."),
        (Cursor.executemany, "($self, sql, seq)", "Prepare once, execute for each param sequence in `seq`."),
        (Cursor.fetchone, "($self)", None),
        (Cursor.fetchmany, "($self, size=1)", None),
        (Cursor.fetchall, "($self)", None),
        (Cursor.close, "($self)", None),
        (Cursor.__enter__, "($self)", None),
        (Cursor.__exit__, "($self, _t, _v, _b)", None),
    ]

    def test_text_signatures_and_docs(self):
        for fn, signature, doc in self.TABLE:
            with self.subTest(fn.__qualname__):
                self.assertEqual(fn.__text_signature__, signature)
                self.assertEqual(fn.__doc__, doc)

    def test_inspect_reads_the_signatures(self):
        # "$self" marks self as positional-only.
        self.assertEqual(str(inspect.signature(Cursor.fetchmany)), "(self, /, size=1)")
        self.assertEqual(str(inspect.signature(brackenford.connect)), "(path)")
        self.assertEqual(str(inspect.signature(Connection.execute)), "(self, /, sql, params=None)")

    def test_properties(self):
        self.assertEqual(Cursor.description.__doc__,
                         "DB-API: 7-tuples (name, type_code, \u2026), or None before any query.")
        self.assertIsNone(Cursor.rowcount.__doc__)
        self.assertIsNone(Cursor.lastrowid.__doc__)


class BadCalls(DbTestCase):
    def check(self, exc_type, message, fn, *args, **kwargs):
        with self.assertRaises(exc_type) as cm:
            fn(*args, **kwargs)
        self.assertIs(type(cm.exception), exc_type)
        if message is not None:
            self.assertEqual(str(cm.exception), message)

    def test_argument_messages(self):
        cur, conn, p = self.cur, self.conn, self.path()
        T = TypeError
        cases = [
            (brackenford.connect, (), {}, "connect() missing 1 required positional argument: 'path'"),
            (brackenford.connect, (p, p), {}, "connect() takes 1 positional arguments but 2 were given"),
            (brackenford.connect, (), {"path": p, "mode": 1}, "connect() got an unexpected keyword argument 'mode'"),
            (brackenford.connect, (p,), {"path": p}, "connect() got multiple values for argument 'path'"),
            (brackenford.connect, (1,), {}, "argument 'path': 'int' object cannot be converted to 'str'"),
            (cur.execute, (), {}, "Cursor.execute() missing 1 required positional argument: 'sql'"),
            (cur.execute, (), {"params": ()}, "Cursor.execute() missing 1 required positional argument: 'sql'"),
            (cur.execute, ("SELECT 1", None, 3), {},
             "Cursor.execute() takes from 1 to 2 positional arguments but 3 were given"),
            (cur.execute, ("SELECT 1",), {"sql": "x"}, "Cursor.execute() got multiple values for argument 'sql'"),
            (cur.execute, (b"SELECT 1",), {}, "argument 'sql': 'bytes' object cannot be converted to 'str'"),
            (cur.executemany, (), {},
             "Cursor.executemany() missing 2 required positional arguments: 'sql' and 'seq'"),
            (cur.executemany, ("SELECT 1", [], 1), {},
             "Cursor.executemany() takes 2 positional arguments but 3 were given"),
            (cur.fetchmany, (1, 2), {}, "Cursor.fetchmany() takes from 0 to 1 positional arguments but 2 were given"),
            (cur.fetchmany, (), {"count": 1}, "Cursor.fetchmany() got an unexpected keyword argument 'count'"),
            (cur.fetchmany, ("3",), {}, "argument 'size': 'str' object cannot be interpreted as an integer"),
            (cur.fetchmany, (1.0,), {}, "argument 'size': 'float' object cannot be interpreted as an integer"),
            (cur.__exit__, (), {},
             "Cursor.__exit__() missing 3 required positional arguments: '_t', '_v', and '_b'"),
            (conn.__exit__, (None,), {},
             "Connection.__exit__() missing 2 required positional arguments: '_v' and '_b'"),
            (conn.__exit__, (None, None, None, None), {},
             "Connection.__exit__() takes 3 positional arguments but 4 were given"),
            (conn.execute, (None,), {}, "argument 'sql': 'NoneType' object cannot be converted to 'str'"),
        ]
        for fn, args, kwargs, message in cases:
            with self.subTest(message):
                self.check(T, message, fn, *args, **kwargs)

    def test_conversion_errors_that_are_not_type_errors_pass_unchanged(self):
        self.check(OverflowError, None, self.cur.fetchmany, -1)
        self.check(OverflowError, None, self.cur.fetchmany, 2**64)
        self.check(UnicodeEncodeError, None, self.cur.execute, "SELECT '\ud800'")
        self.check(UnicodeEncodeError, None, brackenford.connect, self.path("\udcff.db"))

    def test_methods_without_parameters_take_none(self):
        for fn in (self.cur.fetchone, self.cur.fetchall, self.cur.close, self.conn.cursor, self.conn.commit):
            with self.subTest(fn.__name__):
                self.assertRaises(TypeError, fn, 1)
                self.assertRaises(TypeError, fn, x=1)

    def test_self_of_another_class(self):
        self.assertRaises(TypeError, Cursor.fetchone, self.conn)
        self.assertRaises(TypeError, Cursor.execute, self.conn, "SELECT 1")
        self.assertRaises(TypeError, Connection.cursor, self.cur)
        self.assertRaises(TypeError, Cursor.rowcount.__get__, self.conn)

    def test_keywords_and_defaults(self):
        self.cur.execute(sql="SELECT ?, ?", params=(1, 2))
        self.assertEqual(self.cur.fetchmany(size=5), [(1, 2)])
        self.assertIs(self.conn.__exit__(_t=None, _v=None, _b=None), False)
        self.assertIs(self.cur.__exit__(None, None, None), False)
        self.assertIsNone(self.cur.close())
        self.assertIs(self.cur.__enter__(), self.cur)

    def test_read_only_properties(self):
        for name in ("description", "rowcount", "lastrowid"):
            with self.subTest(name):
                with self.assertRaises(AttributeError):
                    setattr(self.cur, name, 1)

    def test_cursor_is_not_iterable(self):
        self.cur.execute("SELECT 1")
        with self.assertRaises(TypeError):
            for _ in self.cur:
                pass


if __name__ == "__main__":
    unittest.main()
