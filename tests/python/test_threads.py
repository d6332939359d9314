"""Threads: objects bound to their creating thread, the interpreter lock
released while the engine works or waits for a file lock, and objects freed
on another thread."""

import gc
import sys
import threading
import time
import unittest

import brackenford
from support import DbTestCase, is_internal_failure

JOIN_LIMIT = 60  # seconds; only a hang gets near it


def run_in_thread(fn):
    """Runs fn on a new thread; returns what it returned or raised."""
    out = {}

    def body():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: B902 - the internal failure is a BaseException
            out["error"] = e

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(JOIN_LIMIT)
    if t.is_alive():
        raise AssertionError("thread did not finish")
    return out


class OwnerThread(DbTestCase):
    def assertSentToAnotherThread(self, fn, type_name):
        out = run_in_thread(fn)
        self.assertIn("error", out, out)
        e = out["error"]
        self.assertTrue(is_internal_failure(e), repr(e))
        self.assertIn(f"{type_name} is unsendable, but sent to another thread", str(e))

    def test_methods_check_the_creating_thread(self):
        conn = self.connect()
        cur = conn.execute("SELECT 1")
        for fn in (conn.commit, conn.rollback, conn.close, lambda: conn.__exit__(None, None, None),
                   lambda: conn.execute("SELECT 1")):
            self.assertSentToAnotherThread(fn, "brackenford::Connection")
        for fn in (cur.fetchone, cur.fetchall, cur.fetchmany, cur.close, lambda: cur.description,
                   lambda: cur.rowcount, lambda: cur.lastrowid, lambda: cur.execute("SELECT 2"),
                   lambda: cur.executemany("SELECT 2", []), lambda: cur.__exit__(None, None, None)):
            self.assertSentToAnotherThread(fn, "brackenford::Cursor")
        self.assertEqual(cur.fetchall(), [(1,)])  # nothing above touched it

    def test_unchecked_entry_points(self):
        conn = self.connect()
        cur = conn.cursor()
        self.assertIs(run_in_thread(conn.__enter__)["value"], conn)
        self.assertIs(run_in_thread(cur.__enter__)["value"], cur)

        def foreign_cursor():
            c = conn.cursor()  # belongs to this thread, but its connection does not
            try:
                c.execute("SELECT 1")
            except BaseException as e:  # noqa: B902
                return c.fetchall(), str(e)

        rows, message = run_in_thread(foreign_cursor)["value"]
        self.assertEqual(rows, [])
        self.assertIn("brackenford::Connection is unsendable, but sent to another thread", message)
        path = self.path()
        out = run_in_thread(lambda: brackenford.connect(path).execute("SELECT 41 + 1").fetchall())
        self.assertEqual(out["value"], [(42,)])  # connect from any thread


class WaitingForLocks(DbTestCase):
    def test_two_connections_one_holding_begin_both_finish(self):
        path = self.path()
        a = brackenford.connect(path)
        a.execute("CREATE TABLE t (who TEXT)")
        b_ready = threading.Event()
        a_began = threading.Event()
        out = {}

        def writer():
            b = brackenford.connect(path)
            b_ready.set()
            a_began.wait(JOIN_LIMIT)
            # Waits for a's exclusive lock; a can only commit if this wait
            # lets the interpreter run other threads.
            b.execute("INSERT INTO t VALUES ('b')")
            out["rows"] = b.execute("SELECT who FROM t ORDER BY who").fetchall()

        t = threading.Thread(target=writer, daemon=True)
        t.start()
        self.assertTrue(b_ready.wait(JOIN_LIMIT))
        a.execute("BEGIN")
        a.execute("INSERT INTO t VALUES ('a')")
        a_began.set()
        time.sleep(0.2)  # give the writer time to block on the lock
        a.execute("INSERT INTO t VALUES ('a2')")
        a.execute("COMMIT")
        t.join(JOIN_LIMIT)
        self.assertFalse(t.is_alive(), "writer hung")
        self.assertEqual(out["rows"], [("a",), ("a2",), ("b",)])


class DroppedOnAnotherThread(DbTestCase):
    def setUp(self):
        super().setUp()
        self.reports = []
        old = sys.unraisablehook
        sys.unraisablehook = lambda u: self.reports.append((type(u.exc_value), str(u.exc_value)))
        self.addCleanup(setattr, sys, "unraisablehook", old)

    def test_connection_releases_its_lock(self):
        path = self.path()
        holder = []

        def opener():
            conn = brackenford.connect(path)
            conn.execute("CREATE TABLE t (a INTEGER)")
            conn.execute("BEGIN")
            conn.execute("INSERT INTO t VALUES (1)")
            holder.append(conn)  # handed over, still holding the exclusive lock

        self.assertNotIn("error", run_in_thread(opener))
        holder.clear()  # the last reference goes on this thread
        gc.collect()
        self.assertEqual(self.reports, [(RuntimeError,
                                         "brackenford::Connection is unsendable, but is being dropped on another thread")])
        # The file lock went with the object: another connection can write,
        # and the abandoned transaction left nothing behind.
        out = run_in_thread(lambda: brackenford.connect(path).execute("INSERT INTO t VALUES (2)").rowcount)
        self.assertEqual(out.get("value"), 1, out)
        self.assertEqual(self.connect().execute("SELECT a FROM t").fetchall(), [(2,)])

    def test_cursor_reported_and_released_objects_of_this_thread_not(self):
        conn = self.connect()
        cur, other = conn.execute("SELECT 1"), self.connect()
        del cur, other
        gc.collect()
        self.assertEqual(self.reports, [])
        holder = []
        run_in_thread(lambda: holder.append(conn.cursor()))
        holder.clear()
        self.assertEqual(self.reports, [(RuntimeError,
                                         "brackenford::Cursor is unsendable, but is being dropped on another thread")])
        self.assertEqual(conn.execute("SELECT 1").fetchall(), [(1,)])


if __name__ == "__main__":
    unittest.main()
