"""Threads: objects bound to their creating thread, the interpreter lock
released while the engine works or waits for a file lock, Ctrl-C ending such
a wait, and objects freed on another thread."""

import gc
import os
import queue
import signal
import subprocess
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


# Holds an open write transaction on argv[1] until its standard input closes.
HOLDER = """
import sys, brackenford
conn = brackenford.connect(sys.argv[1])
conn.execute("BEGIN")
conn.execute("INSERT INTO t (v) VALUES ('holder')")
print("holding", flush=True)
sys.stdin.read()
"""

# Opens argv[1], then at each "go" makes one call that has to wait for the
# holder's lock and prints how it ended; at "released" it writes and reads.
WAITER = """
import sys, brackenford
path = sys.argv[1]
conn = brackenford.connect(path)
print("open", flush=True)
calls = [
    ("connect", lambda: brackenford.connect(path)),
    ("execute", lambda: conn.execute("INSERT INTO t (v) VALUES ('waiter')")),
    ("execute with parameters", lambda: conn.execute("INSERT INTO t (v) VALUES (?)", ("waiter",))),
    ("executemany", lambda: conn.cursor().executemany("INSERT INTO t (v) VALUES (?)", [("waiter",)])),
]
for name, call in calls:
    sys.stdin.readline()
    try:
        call()
        print(name, "finished", flush=True)
    except KeyboardInterrupt:
        print(name, "KeyboardInterrupt", flush=True)
    except brackenford.Error as e:
        print(name, "brackenford.Error", e, flush=True)
sys.stdin.readline()
conn.execute("INSERT INTO t (v) VALUES ('after')")
print(brackenford.connect(path).execute("SELECT id, v FROM t ORDER BY id").fetchall(), flush=True)
"""


def lock_waited_for(path):
    """Some process waits for a flock lock on path's file (from /proc/locks)."""
    inode = str(os.stat(path).st_ino)
    with open("/proc/locks") as f:
        for line in f:
            fields = line.split()
            if "->" in fields and "FLOCK" in fields:
                device_inode = fields[fields.index("->") + 5]
                if device_inode.rsplit(":", 1)[-1] == inode:
                    return True
    return False


class InterruptedLockWait(DbTestCase):
    """SIGINT to a process whose call waits for another process's lock: the
    call raises KeyboardInterrupt, nothing of it is written, and the
    connection works once the lock is free. Both run as subprocesses, so that
    a wait the signal does not end fails the test instead of hanging it."""

    SIGNAL_LIMIT = 20  # seconds; only a wait the signal did not end gets near it

    def spawn(self, script, path):
        """Runs script on path; returns the process and a queue of its output lines."""
        p = subprocess.Popen([sys.executable, "-c", script, path], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)

        def stop():
            if p.poll() is None:
                p.kill()
            p.wait()
            p.stdin.close()
            p.stdout.close()

        self.addCleanup(stop)
        lines = queue.Queue()

        def read():
            for line in p.stdout:
                lines.put(line.rstrip("\n"))
            lines.put("(the process ended)")

        threading.Thread(target=read, daemon=True).start()
        return p, lines

    def next_line(self, lines):
        try:
            return lines.get(timeout=self.SIGNAL_LIMIT)
        except queue.Empty:
            return "(nothing: still waiting)"

    def tell(self, p, line):
        p.stdin.write(line + "\n")
        p.stdin.flush()

    def test_ctrl_c_ends_the_wait(self):
        for mode in ("delete", "wal"):
            with self.subTest(mode=mode):
                path = self.path(f"{mode}.db")
                conn = brackenford.connect(path)
                conn.execute(f"PRAGMA journal_mode = {mode}")
                conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO t (v) VALUES ('first')")
                conn.close()
                waiter, said = self.spawn(WAITER, path)
                self.assertEqual(self.next_line(said), "open")
                holder, holder_said = self.spawn(HOLDER, path)
                self.assertEqual(self.next_line(holder_said), "holding")
                for name in ("connect", "execute", "execute with parameters", "executemany"):
                    self.tell(waiter, "go")
                    deadline = time.monotonic() + self.SIGNAL_LIMIT
                    while not lock_waited_for(path):
                        self.assertLess(time.monotonic(), deadline, f"{name} never waited for the lock")
                        time.sleep(0.001)
                    os.kill(waiter.pid, signal.SIGINT)
                    self.assertEqual(self.next_line(said), f"{name} KeyboardInterrupt")
                holder.stdin.close()
                self.assertEqual(holder.wait(self.SIGNAL_LIMIT), 0)
                self.tell(waiter, "released")
                self.assertEqual(self.next_line(said), "[(1, 'first'), (2, 'after')]")
                self.assertEqual(waiter.wait(self.SIGNAL_LIMIT), 0)


# WAL mode: a COMMIT that waits for another writer's log sync (the log's
# side lock, a record lock on one byte far past its end, held here through a
# descriptor of this process's own), interrupted by a signal whose handler
# raises: the exception comes out, the transaction stays open, and COMMIT
# commits it once the lock is gone.
COMMIT_WAITER = """
import fcntl, os, signal, struct, sys, brackenford
path = sys.argv[1]
conn = brackenford.connect(path)
conn.execute("BEGIN")
conn.execute("INSERT INTO t (v) VALUES ('waiter')")
log = os.open(path + "-wal", os.O_RDWR)
side = lambda kind: struct.pack("hh4xqqi4x", kind, os.SEEK_SET, 1 << 62, 1, 0)
fcntl.fcntl(log, fcntl.F_OFD_SETLK, side(fcntl.F_WRLCK))
class Alarm(Exception):
    pass
def ring(signum, frame):
    raise Alarm()
signal.signal(signal.SIGALRM, ring)
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
try:
    conn.execute("COMMIT")
    print("COMMIT finished", flush=True)
except Alarm:
    print("COMMIT Alarm", flush=True)
signal.setitimer(signal.ITIMER_REAL, 0)
fcntl.fcntl(log, fcntl.F_OFD_SETLK, side(fcntl.F_UNLCK))
os.close(log)
conn.execute("COMMIT")
print(brackenford.connect(path).execute("SELECT v FROM t ORDER BY id").fetchall(), flush=True)
"""


class InterruptedCommitWait(DbTestCase):
    def test_the_transaction_stays_open(self):
        path = self.path("w.db")
        conn = brackenford.connect(path)
        conn.execute("PRAGMA journal_mode = wal")
        conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO t (v) VALUES ('first')")
        del conn
        out = subprocess.run([sys.executable, "-c", COMMIT_WAITER, path], capture_output=True, text=True,
                             timeout=JOIN_LIMIT)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.splitlines(), ["COMMIT Alarm", "[('first',), ('waiter',)]"])


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
