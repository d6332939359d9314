"""The module's surface: attributes, types, signatures and the exact messages
of bad calls."""

import unittest

import brackenford
from support import DbTestCase

Connection = brackenford.Connection
Cursor = brackenford.Cursor


class ModuleAttributes(unittest.TestCase):
    def test_names_constants_and_error_type(self):
        self.assertEqual(
            brackenford.__all__,
            ["connect", "Connection", "Cursor", "Error", "apilevel", "threadsafety", "paramstyle", "__version__"],
        )
        self.assertEqual((brackenford.apilevel, brackenford.threadsafety, brackenford.paramstyle,
                          brackenford.__version__), ("2.0", 1, "qmark", "0.1.2"))
        self.assertIs(type(brackenford.threadsafety), int)
        Error = brackenford.Error
        self.assertEqual((Error.__name__, Error.__module__, Error.__bases__), ("Error", "brackenford", (Exception,)))
        self.assertTrue(brackenford.__file__.endswith("brackenford.abi3.so"), brackenford.__file__)

    def test_classes_cannot_be_made_changed_or_extended(self):
        for cls, name in ((Connection, "Connection"), (Cursor, "Cursor")):
            self.assertEqual((cls.__name__, cls.__module__), (name, "brackenford"))
            with self.assertRaises(TypeError) as cm:
                cls()
            self.assertEqual(str(cm.exception), f"cannot create 'brackenford.{name}' instances")
            self.assertRaises(TypeError, cls.__new__, cls)
            with self.assertRaises(TypeError):
                cls.extra = 1
            with self.assertRaises(TypeError):
                type("Sub", (cls,), {})

    def test_text_signatures(self):
        table = [
            (brackenford.connect, "(path)"),
            (Connection.execute, "($self, sql, params=None)"),
            (Connection.__exit__, "($self, _t, _v, _b)"),
            (Cursor.execute, "($self, sql, params=None)"),
            (Cursor.executemany, "($self, sql, seq)"),
            (Cursor.fetchmany, "($self, size=1)"),
            (Cursor.__exit__, "($self, _t, _v, _b)"),
        ] + [(fn, "($self)") for fn in (Connection.cursor, Connection.commit, Connection.rollback, Connection.close,
                                         Connection.__enter__, Cursor.fetchone, Cursor.fetchall, Cursor.close,
                                         Cursor.__enter__)]
        for fn, signature in table:
            with self.subTest(fn.__qualname__):
                self.assertEqual(fn.__text_signature__, signature)


class BadCalls(DbTestCase):
    def check(self, exc_type, message, fn, *args, **kwargs):
        with self.assertRaises(exc_type) as cm:
            fn(*args, **kwargs)
        self.assertIs(type(cm.exception), exc_type)
        if message is not None:
            self.assertEqual(str(cm.exception), message)

    def test_argument_messages(self):
        cur, conn, p = self.cur, self.conn, self.path()
        cases = [
            (brackenford.connect, (), {}, "connect() missing 1 required positional argument: 'path'"),
            (brackenford.connect, (), {"path": p, "mode": 1}, "connect() got an unexpected keyword argument 'mode'"),
            (brackenford.connect, (1,), {}, "argument 'path': 'int' object cannot be converted to 'str'"),
            (cur.execute, ("SELECT 1", None, 3), {},
             "Cursor.execute() takes from 1 to 2 positional arguments but 3 were given"),
            (cur.execute, ("SELECT 1",), {"sql": "x"}, "Cursor.execute() got multiple values for argument 'sql'"),
            (cur.execute, (b"SELECT 1",), {}, "argument 'sql': 'bytes' object cannot be converted to 'str'"),
            (cur.executemany, (), {},
             "Cursor.executemany() missing 2 required positional arguments: 'sql' and 'seq'"),
            (cur.fetchmany, ("3",), {}, "argument 'size': 'str' object cannot be interpreted as an integer"),
            (conn.__exit__, (None, None, None, None), {},
             "Connection.__exit__() takes 3 positional arguments but 4 were given"),
            (conn.execute, (None,), {}, "argument 'sql': 'NoneType' object cannot be converted to 'str'"),
        ]
        for fn, args, kwargs, message in cases:
            with self.subTest(message):
                self.check(TypeError, message, fn, *args, **kwargs)
        for fn in (cur.fetchone, cur.close, conn.cursor, conn.commit):
            self.assertRaises(TypeError, fn, 1)
        # Conversion errors that are no type errors pass unchanged.
        self.check(OverflowError, None, cur.fetchmany, -1)
        self.check(OverflowError, None, cur.fetchmany, 2**64)
        self.check(UnicodeEncodeError, None, cur.execute, "SELECT '\ud800'")
        self.check(UnicodeEncodeError, None, brackenford.connect, self.path("\udcff.db"))

    def test_self_of_another_class_and_read_only_properties(self):
        self.assertRaises(TypeError, Cursor.fetchone, self.conn)
        self.assertRaises(TypeError, Cursor.execute, self.conn, "SELECT 1")
        self.assertRaises(TypeError, Connection.cursor, self.cur)
        self.assertRaises(TypeError, Cursor.rowcount.__get__, self.conn)
        for name in ("description", "rowcount", "lastrowid"):
            self.assertRaises(AttributeError, setattr, self.cur, name, 1)

    def test_keywords_and_defaults(self):
        self.cur.execute(sql="SELECT ?, ?", params=(1, 2))
        self.assertEqual(self.cur.fetchmany(size=5), [(1, 2)])
        self.assertIs(self.conn.__exit__(_t=None, _v=None, _b=None), False)
        self.assertIs(self.cur.__exit__(None, None, None), False)
        self.assertIs(self.cur.__enter__(), self.cur)
        self.cur.execute("SELECT 1")
        with self.assertRaises(TypeError):
            iter(self.cur)


if __name__ == "__main__":
    unittest.main()
