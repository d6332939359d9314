"""Threads with a connection each on one file, a file with a second name (a
hard link), and text that is not UTF-8 handed to the C interface in the
middle of work: no increment or commit is lost, and bad input is refused
whole.

BKF_PYTHON_THREAD_OPS sets the operations per thread (default 300)."""

import ctypes
import os
import random
import threading
import unittest

import brackenford
from support import DbTestCase

C_LIBRARY = os.environ.get("BKF_C_LIBRARY", "")
OPS = int(os.environ.get("BKF_PYTHON_THREAD_OPS", "300"))
THREADS = 4
JOIN_LIMIT = 600  # seconds; only a hang gets near it


class ThreadsWithTheirOwnConnections(DbTestCase):
    def test_no_increment_is_lost_and_rows_add_up(self):
        path = self.path()
        self.connect().execute("CREATE TABLE c (id INTEGER PRIMARY KEY, n INTEGER);"
                               "INSERT INTO c VALUES (1, 0);"
                               "CREATE TABLE r (id INTEGER PRIMARY KEY, who INTEGER, k INTEGER UNIQUE)")
        results = [None] * THREADS

        def worker(w):
            try:
                conn = brackenford.connect(path)
                rng = random.Random(w)
                increments = rows = 0
                for i in range(OPS):
                    p = rng.random()
                    if p < 0.35:
                        self.assertEqual(conn.execute("UPDATE c SET n = n + 1").rowcount, 1)
                        increments += 1
                    elif p < 0.7:
                        # One increment and one row, committed or rolled back.
                        conn.execute("BEGIN")
                        conn.execute("UPDATE c SET n = n + 1")
                        conn.execute("INSERT INTO r (who, k) VALUES (?, ?)", (w, w * 1_000_000 + i))
                        if rng.random() < 0.2:
                            conn.execute("ROLLBACK")
                        else:
                            conn.execute("COMMIT")
                            increments += 1
                            rows += 1
                    elif p < 0.8:
                        mode = rng.choice(("wal", "delete"))
                        self.assertEqual(conn.execute(f"PRAGMA journal_mode = {mode}").fetchall(), [(mode,)])
                    elif p < 0.85:
                        conn.execute("PRAGMA wal_checkpoint")
                    else:
                        got = conn.execute("SELECT count(*) FROM r WHERE who = ?", (w,)).fetchone()
                        self.assertEqual(got, (rows,))
                results[w] = (increments, rows)
            except BaseException as e:  # noqa: B902 - reported below, on the test's thread
                results[w] = e

        threads = [threading.Thread(target=worker, args=(w,), daemon=True) for w in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(JOIN_LIMIT)
            self.assertFalse(t.is_alive(), "a thread hung")
        for w, r in enumerate(results):
            self.assertIsInstance(r, tuple, f"thread {w}: {r!r}")
        conn = self.connect()
        self.assertEqual(conn.execute("SELECT n FROM c").fetchone(), (sum(r[0] for r in results),))
        self.assertEqual(conn.execute("SELECT count(*) FROM r").fetchone(), (sum(r[1] for r in results),))
        self.assertEqual(conn.execute("PRAGMA integrity_check").fetchall(), [("ok",)])


class TwoNamesOfOneFile(DbTestCase):
    """Each name of a file with hard links would keep its own log: commits
    made through one would be overwritten by the other's checkpoint."""

    @staticmethod
    def refusal(path, links=2):
        return (f"io error: database file {os.path.realpath(path)} has {links} names (hard links): "
                "its journal and log could not be found from each of them")

    def test_second_name_is_refused_and_no_commit_is_lost(self):
        real, hard = self.path("real.db"), self.path("hard.db")
        a = brackenford.connect(real)
        self.assertEqual(a.execute("PRAGMA journal_mode=wal").fetchall(), [("wal",)])
        a.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, who TEXT)")
        a.execute("PRAGMA wal_checkpoint")
        for _ in range(5):
            a.execute("INSERT INTO t (who) VALUES ('a')")
        os.link(real, hard)
        self.assertEngineError(self.refusal(hard), brackenford.connect, hard)
        # The open connection reads on, and writes nothing while the link is there.
        self.assertEngineError(self.refusal(real), a.execute, "INSERT INTO t (who) VALUES ('a')")
        self.assertEngineError(self.refusal(real), a.execute, "BEGIN")
        self.assertEqual(a.execute("SELECT count(*) FROM t").fetchone(), (5,))
        self.assertFalse(os.path.exists(hard + "-wal"))
        os.unlink(hard)
        for _ in range(5):
            a.execute("INSERT INTO t (who) VALUES ('a')")
        a.execute("PRAGMA wal_checkpoint")
        del a
        again = brackenford.connect(real)
        self.assertEqual(again.execute("SELECT who, count(*) FROM t GROUP BY who").fetchall(), [("a", 10)])
        self.assertEqual(again.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        self.assertEqual(sorted(os.listdir(self.dir)), ["real.db", "real.db-wal"])


@unittest.skipUnless(C_LIBRARY, "BKF_C_LIBRARY not set")
class NotUtf8AtTheCInterface(DbTestCase):
    @classmethod
    def setUpClass(cls):
        lib = ctypes.CDLL(C_LIBRARY)
        lib.bkf_open.restype = ctypes.c_void_p
        lib.bkf_open.argtypes = [ctypes.c_char_p]
        lib.bkf_close.argtypes = [ctypes.c_void_p]
        lib.bkf_exec.restype = ctypes.c_int64
        lib.bkf_exec.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.bkf_prepare.restype = ctypes.c_void_p
        lib.bkf_prepare.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.bkf_bind_text.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_char_p]
        lib.bkf_exec_prepared.restype = ctypes.c_int64
        lib.bkf_exec_prepared.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        lib.bkf_finalize.argtypes = [ctypes.c_void_p]
        lib.bkf_last_error.restype = ctypes.c_char_p
        lib.bkf_last_error.argtypes = [ctypes.c_void_p]
        cls.lib = lib

    def test_bad_text_is_refused_whole(self):
        lib = self.lib
        db = lib.bkf_open(self.path().encode())
        self.assertTrue(db)
        try:
            self.assertEqual(lib.bkf_exec(db, b"CREATE TABLE t (v TEXT NOT NULL)"), 0)
            # The bad byte sits in the last statement: the first does not run.
            for bad in (b"\xff", b"\xc3\x28", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82"):
                with self.subTest(bad=bad):
                    sql = b"INSERT INTO t VALUES ('fine'); INSERT INTO t VALUES ('" + bad + b"')"
                    self.assertEqual(lib.bkf_exec(db, sql), -1)
                    self.assertEqual(lib.bkf_last_error(db), b"sql is not valid UTF-8")
                    stmt = lib.bkf_prepare(db, b"INSERT INTO t VALUES (?)")
                    lib.bkf_bind_text(stmt, 0, b"x" + bad)
                    self.assertEqual(lib.bkf_exec_prepared(db, stmt), -1)
                    self.assertEqual(lib.bkf_last_error(db), b"bkf_bind_text: parameter 0 is not valid UTF-8")
                    lib.bkf_finalize(stmt)
            self.assertEqual(lib.bkf_exec(db, b"BEGIN; INSERT INTO t VALUES ('a'); INSERT INTO t VALUES ('\xff')"), -1)
        finally:
            lib.bkf_close(db)
        conn = self.connect()
        self.assertEqual(conn.execute("SELECT count(*) FROM t").fetchall(), [(0,)])
        self.assertEqual(conn.execute("PRAGMA integrity_check").fetchall(), [("ok",)])


if __name__ == "__main__":
    unittest.main()
