"""Helpers shared by the Python module's tests."""

import os
import shutil
import tempfile
import unittest

import brackenford


class DbTestCase(unittest.TestCase):
    """A scratch directory per test and connections opened in it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bkf_py_")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name="test.db"):
        return os.path.join(self.dir, name)

    def connect(self, name="test.db"):
        return brackenford.connect(self.path(name))

    def __getattr__(self, name):
        """conn and cur: a connection to test.db and a cursor of it, made on first use."""
        if name == "conn":
            self.conn = self.connect()
            return self.conn
        if name == "cur":
            self.cur = self.conn.cursor()
            return self.cur
        raise AttributeError(name)

    def assertEngineError(self, message, fn, *args, **kwargs):
        """fn raises brackenford.Error whose only argument is message."""
        with self.assertRaises(brackenford.Error) as cm:
            fn(*args, **kwargs)
        self.assertEqual(cm.exception.args, (message,))
        return cm.exception


def is_internal_failure(exc):
    """The module's misuse exception: a BaseException that is no Exception."""
    return isinstance(exc, BaseException) and not isinstance(exc, Exception)
