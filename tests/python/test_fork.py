"""A connection used across fork(), in both journal modes: in the child every
method that reaches the engine raises brackenford.Error naming both
processes and writes nothing; freeing the inherited connection there (by
hand or at the interpreter's exit) releases none of the parent's locks and
changes no file; the parent's open transaction commits whole; a connection
the child opens itself works, also in a multiprocessing worker started with
the fork method. A child that never touches the connection does not keep
the parent's lock: once the parent frees the connection, or is killed,
another connection writes at once while the child lives on.

Forked children end with os._exit (nothing of the test runner runs twice)
and report what they found wrong through a pipe."""

import fcntl
import gc
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import unittest

import brackenford
from support import DbTestCase

CHILD_LIMIT = 60  # seconds; only a hang gets near it

# The connection a multiprocessing worker inherits, as a module-level
# connection would be in a program.
_module_connection = None


def foreign_message(owner, user):
    return (f"execution error: this connection belongs to process {owner}, "
            f"not to process {user}: open a new connection in this process")


def lock_held(path):
    """Another descriptor could not take the exclusive lock on path now."""
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(fd)
    return False


def files_of(path):
    """The database, its journal and its log, byte for byte (None when missing)."""
    out = []
    for name in (path, path + "-journal", path + "-wal"):
        try:
            with open(name, "rb") as f:
                out.append(f.read())
        except FileNotFoundError:
            out.append(None)
    return out


def in_child(body):
    """Runs body() in a forked child; returns the problems it reported
    (body returns a list of them), one per line."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            problems = body()
        except BaseException as e:  # noqa: B902 - nothing may escape into the runner
            problems = [f"child raised {e!r}"]
        os.write(write_end, "".join(p + "\n" for p in problems).encode())
        os._exit(1 if problems else 0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        report = f.read().decode()
    _, status = os.waitpid(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0 and not report:
        report = f"child ended with status {status}\n"
    return report


def expect_refused(call, problems, what):
    """call() raises brackenford.Error with the inherited-handle message."""
    expected = foreign_message(os.getppid(), os.getpid())
    try:
        call()
    except brackenford.Error as e:
        if e.args != (expected,):
            problems.append(f"{what}: {e.args!r}")
        return
    problems.append(f"{what}: no error")


def _multiprocessing_task(path, reply):
    """A multiprocessing worker: the inherited connection refuses, its own works."""
    try:
        _module_connection.execute("SELECT count(*) FROM t")
        reply.send("no error")
    except brackenford.Error as e:
        reply.send(e.args[0])
    own = brackenford.connect(path)
    own.execute("INSERT INTO t (v) VALUES (?)", ("worker",))
    reply.send(own.execute("SELECT count(*) FROM t").fetchone()[0])


def _idle_task(release):
    """A multiprocessing worker that never touches a connection."""
    release.wait(CHILD_LIMIT)


def _pool_task(_):
    """A pool task that tries the parent's module-level connection: returns
    its worker's id and the message of the error raised."""
    try:
        _module_connection.execute("INSERT INTO t (v) VALUES ('task'); COMMIT")
    except brackenford.Error as e:
        return os.getpid(), e.args[0]
    return os.getpid(), "no error"


def _pool_task_unguarded():
    """A pool task that lets the connection's error end the task."""
    _module_connection.execute("COMMIT")


# A process holding a transaction, with a child that only waits for the
# pipe given to it to close. Each prints a line once started (the child,
# "idle" and its id) and once inside the transaction (the holder,
# "holding"); then the holder waits to be killed. argv: path, "fork-first",
# "begin-first" or "thread" (BEGIN, then a second thread forks the child,
# which first tries the connection: it prints "idle" only when refused with
# brackenford.Error and the documented message, else what it got), the
# pipe's read end.
_HOLDER_SCRIPT = textwrap.dedent("""
    import os, sys, threading, time
    import brackenford
    path, order, hold = sys.argv[1], sys.argv[2], int(sys.argv[3])

    def try_connection():
        expected = (f"execution error: this connection belongs to process {os.getppid()}, "
                    f"not to process {os.getpid()}: open a new connection in this process")
        try:
            conn.execute("INSERT INTO t (v) VALUES ('child')")
        except brackenford.Error as e:
            return "idle" if e.args == (expected,) else repr(e.args)
        except BaseException as e:
            return repr(e)
        return "unrefused"

    def spawn_idle(use_connection=False):
        sys.stdout.flush()
        if os.fork() == 0:
            word = try_connection() if use_connection else "idle"
            os.write(1, f"{word} {os.getpid()}\\n".encode())
            os.read(hold, 1)
            os._exit(0)

    conn = brackenford.connect(path)
    if order == "fork-first":
        spawn_idle()
    conn.execute("BEGIN")
    conn.execute("INSERT INTO t (v) VALUES ('killed')")
    if order == "begin-first":
        spawn_idle()
    if order == "thread":
        forker = threading.Thread(target=spawn_idle, args=(True,))
        forker.start()
        forker.join()
    os.write(1, b"holding\\n")
    while True:
        time.sleep(60)
    """)


class InheritedConnection:
    """The tests, run once per journal mode by the classes below."""

    MODE = None

    def setUp(self):
        super().setUp()
        self.db = self.path()
        conn = brackenford.connect(self.db)
        self.assertEqual(conn.execute(f"PRAGMA journal_mode = {self.MODE}").fetchall(), [(self.MODE,)])
        conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); CREATE INDEX t_v ON t (v)")
        conn.cursor().executemany("INSERT INTO t (v) VALUES (?)", [("a",), ("b",), ("c",)])
        # Held in a dict so that a child can drop the last reference.
        self.held = {"conn": conn}

    def values(self):
        return [v for (v,) in self.held["conn"].execute("SELECT v FROM t ORDER BY id").fetchall()]

    def assertIntact(self):
        self.assertEqual(self.held["conn"].execute("PRAGMA integrity_check").fetchall(), [("ok",)])

    def test_every_engine_call_fails_in_the_child_and_writes_nothing(self):
        conn = self.held["conn"]
        cur = conn.cursor()
        # Run once so that the child meets a statement the connection keeps.
        self.assertEqual(conn.execute("SELECT v FROM t WHERE id = ?", (1,)).fetchall(), [("a",)])
        before = files_of(self.db)

        def child():
            problems = []
            calls = [
                ("Connection.execute", lambda: conn.execute("SELECT v FROM t")),
                ("kept statement", lambda: conn.execute("SELECT v FROM t WHERE id = ?", (1,))),
                ("insert with params", lambda: conn.execute("INSERT INTO t (v) VALUES (?)", ("child",))),
                ("Cursor.execute", lambda: cur.execute("DELETE FROM t")),
                ("Cursor.executemany", lambda: cur.executemany("INSERT INTO t (v) VALUES (?)", [("x",), ("y",)])),
                ("new cursor", lambda: conn.cursor().execute("UPDATE t SET v = 'z'")),
            ]
            calls += [(sql, lambda sql=sql: conn.execute(sql))
                      for sql in ("BEGIN", "COMMIT", "ROLLBACK", "PRAGMA wal_checkpoint",
                                  "PRAGMA journal_mode = delete", "CREATE TABLE u (a INTEGER)", "this is not sql")]
            for what, call in calls:
                expect_refused(call, problems, what)
            return problems

        self.assertEqual(in_child(child), "")
        self.assertEqual(files_of(self.db), before, "the child changed the database, its journal or its log")
        self.assertEqual(self.values(), ["a", "b", "c"])
        self.assertIntact()

    def test_child_free_keeps_the_parents_transaction_and_lock(self):
        conn = self.held["conn"]
        conn.execute("BEGIN")
        conn.execute("INSERT INTO t (v) VALUES ('d'), ('e')")
        conn.execute("UPDATE t SET v = 'B' WHERE id = 2")
        self.held["cur"] = conn.cursor()
        del conn
        self.assertTrue(lock_held(self.db))
        before = files_of(self.db)

        def child():
            problems = []
            c = self.held["conn"]
            for sql in ("INSERT INTO t (v) VALUES ('child')", "ROLLBACK", "COMMIT"):
                expect_refused(lambda: c.execute(sql), problems, sql)
            del c
            del self.held["cur"]
            gc.collect()
            if sys.getrefcount(self.held["conn"]) != 2:  # the dict's and the argument's
                problems.append("the connection has other references: it would not be freed")
            del self.held["conn"]
            gc.collect()
            if not lock_held(self.db):
                problems.append("the parent's lock is gone once the child freed the connection")
            return problems

        self.assertEqual(in_child(child), "")
        self.assertTrue(lock_held(self.db), "the parent lost its write lock")
        self.assertEqual(files_of(self.db), before, "freeing the connection in the child changed a file")
        self.held["conn"].execute("INSERT INTO t (v) VALUES ('f')")
        self.held["conn"].execute("COMMIT")
        self.assertEqual(self.values(), ["a", "B", "c", "d", "e", "f"])
        self.assertIntact()

    def test_child_exiting_with_the_connection_alive_keeps_the_parents_transaction(self):
        # A program whose forked child simply exits: the interpreter frees
        # the module-level connection on the way out.
        script = textwrap.dedent("""
            import os, sys
            path, mode = sys.argv[1], sys.argv[2]
            sys.path.insert(0, sys.argv[3])
            import brackenford
            from test_fork import files_of, lock_held

            def files():
                return files_of(path)

            conn = brackenford.connect(path)
            conn.execute(f"PRAGMA journal_mode = {mode}")
            conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)")
            conn.execute("INSERT INTO t (v) VALUES ('a')")
            conn.execute("BEGIN")
            conn.execute("INSERT INTO t (v) VALUES ('b')")
            before = files()
            if os.fork() == 0:
                sys.exit(0)
            _, status = os.wait()
            problems = []
            if status != 0:
                problems.append(f"child status {status}")
            if not lock_held(path):
                problems.append("the parent lost its write lock")
            if files() != before:
                problems.append("the child's exit changed a file")
            conn.execute("COMMIT")
            got = conn.execute("SELECT v FROM t ORDER BY id").fetchall()
            if got != [("a",), ("b",)]:
                problems.append(f"rows {got}")
            print("".join(p + "\\n" for p in problems), end="")
            """)
        out = subprocess.run([sys.executable, "-c", script, self.path("exit.db"), self.MODE,
                              os.path.dirname(os.path.abspath(__file__))],
                             capture_output=True, text=True, timeout=CHILD_LIMIT)
        self.assertEqual((out.returncode, out.stdout, out.stderr), (0, "", ""))

    def test_childs_own_connection_works(self):
        conn = self.held["conn"]
        path = self.db

        def child():
            problems = []
            expect_refused(lambda: conn.execute("SELECT v FROM t"), problems, "inherited")
            own = brackenford.connect(path)
            own.execute("BEGIN")
            own.execute("INSERT INTO t (v) VALUES (?)", ("child",))
            own.execute("COMMIT")
            got = own.execute("SELECT count(*) FROM t").fetchone()
            if got != (4,):
                problems.append(f"count {got}")
            return problems

        self.assertEqual(in_child(child), "")
        self.assertEqual(self.values(), ["a", "b", "c", "child"])
        conn.execute("INSERT INTO t (v) VALUES ('parent')")
        self.assertEqual(self.values(), ["a", "b", "c", "child", "parent"])
        self.assertIntact()

    def test_multiprocessing_worker_with_a_module_level_connection(self):
        global _module_connection
        _module_connection = self.held["conn"]
        self.addCleanup(globals().__setitem__, "_module_connection", None)
        ctx = multiprocessing.get_context("fork")
        receive, send = ctx.Pipe(duplex=False)
        worker = ctx.Process(target=_multiprocessing_task, args=(self.db, send))
        worker.start()
        self.addCleanup(worker.join, CHILD_LIMIT)
        send.close()
        self.assertTrue(receive.poll(CHILD_LIMIT))
        self.assertEqual(receive.recv(), foreign_message(os.getpid(), worker.pid))
        self.assertTrue(receive.poll(CHILD_LIMIT))
        self.assertEqual(receive.recv(), 4)
        worker.join(CHILD_LIMIT)
        self.assertEqual(worker.exitcode, 0)
        self.assertEqual(self.values(), ["a", "b", "c", "worker"])
        _module_connection.execute("INSERT INTO t (v) VALUES ('parent')")
        self.assertEqual(self.values(), ["a", "b", "c", "worker", "parent"])
        self.assertIntact()


    def test_child_forked_by_another_thread(self):
        # The connection's creator is not the thread that forks: the child
        # gets the process check's brackenford.Error, not the thread
        # check's failure, and the thread check does not apply there.
        conn = self.held["conn"]
        cur = conn.cursor()
        cur.execute("SELECT v FROM t WHERE id = 1")
        conn.execute("BEGIN")
        conn.execute("INSERT INTO t (v) VALUES ('parent')")
        before = files_of(self.db)

        def child():
            problems = []
            calls = [
                ("Connection.execute", lambda: conn.execute("INSERT INTO t (v) VALUES ('child'); COMMIT")),
                ("with params", lambda: conn.execute("INSERT INTO t (v) VALUES (?)", ("child",))),
                ("Cursor.execute", lambda: cur.execute("COMMIT")),
                ("Cursor.executemany", lambda: cur.executemany("INSERT INTO t (v) VALUES (?)", [("x",)])),
            ]
            for what, call in calls:
                expect_refused(call, problems, what)
            try:
                conn.rollback()
                if cur.fetchall() != [("a",)]:
                    problems.append("the cursor's rows are not there")
            except BaseException as e:  # noqa: B902 - the failure looked for is no Exception
                problems.append(f"a method that runs no statement raised {e!r}")
            return problems

        report = []
        forker = threading.Thread(target=lambda: report.append(in_child(child)))
        forker.start()
        forker.join()
        self.assertEqual(report, [""])
        self.assertTrue(lock_held(self.db), "the parent lost its write lock")
        self.assertEqual(files_of(self.db), before, "the child changed the database, its journal or its log")
        conn.execute("COMMIT")
        self.assertEqual(self.values(), ["a", "b", "c", "parent"])
        self.assertIntact()

    def test_pool_with_maxtasksperchild(self):
        # The pool forks its later workers from a thread of its own. Their
        # tasks are refused the parent's connection with brackenford.Error,
        # which reaches the parent like any task's exception; none kills its
        # worker (Pool.map would then never return). The parent's
        # transaction stays its own.
        global _module_connection
        _module_connection = self.held["conn"]
        self.addCleanup(globals().__setitem__, "_module_connection", None)
        _module_connection.execute("BEGIN")
        _module_connection.execute("INSERT INTO t (v) VALUES ('parent')")
        before = files_of(self.db)
        pool = multiprocessing.get_context("fork").Pool(2, maxtasksperchild=1)
        self.addCleanup(pool.join)
        self.addCleanup(pool.terminate)
        results = pool.map_async(_pool_task, range(8), chunksize=1).get(CHILD_LIMIT)
        self.assertEqual([message for _, message in results],
                         [foreign_message(os.getpid(), worker) for worker, _ in results])
        self.assertEqual(len({worker for worker, _ in results}), 8)
        with self.assertRaises(brackenford.Error) as raised:
            pool.apply_async(_pool_task_unguarded).get(CHILD_LIMIT)
        self.assertTrue(raised.exception.args[0].startswith(foreign_message(os.getpid(), 0).split(", not")[0]))
        pool.close()
        pool.join()
        self.assertTrue(lock_held(self.db), "the parent lost its write lock")
        self.assertEqual(files_of(self.db), before, "a worker changed the database, its journal or its log")
        _module_connection.execute("ROLLBACK")
        self.assertEqual(self.values(), ["a", "b", "c"])
        self.assertIntact()

    def test_freeing_releases_the_lock_while_a_fork_worker_idles(self):
        ctx = multiprocessing.get_context("fork")
        for fork_first in (True, False):
            with self.subTest(fork_first=fork_first):
                release = ctx.Event()
                worker = ctx.Process(target=_idle_task, args=(release,))
                held = {"conn": brackenford.connect(self.db)}
                try:
                    if fork_first:
                        worker.start()
                    held["conn"].execute("BEGIN")
                    held["conn"].execute("INSERT INTO t (v) VALUES ('abandoned')")
                    if not fork_first:
                        worker.start()
                    self.assertTrue(lock_held(self.db))
                    del held["conn"]
                    gc.collect()
                    self.assertTrue(worker.is_alive())
                    locked = lock_held(self.db)
                finally:
                    release.set()  # the worker ends
                    if worker.pid is not None:
                        worker.join(CHILD_LIMIT)
                self.assertFalse(locked, "the freed connection's lock lives on in the idle worker")
                self.assertEqual(worker.exitcode, 0)
                self.held["conn"].execute("INSERT INTO t (v) VALUES ('next')")
        self.assertEqual(self.values(), ["a", "b", "c", "next", "next"])
        self.assertIntact()

    def kill_holder(self, order):
        """Runs _HOLDER_SCRIPT with order, kills the holder once both it and
        its child have started, and checks that the lock died with it while
        the child lives on; then another connection writes."""
        hold_read, hold_write = os.pipe()
        holder = subprocess.Popen([sys.executable, "-c", _HOLDER_SCRIPT, self.db, order, str(hold_read)],
                                  stdout=subprocess.PIPE, text=True, pass_fds=(hold_read,))
        os.close(hold_read)
        self.addCleanup(holder.wait, CHILD_LIMIT)
        self.addCleanup(holder.kill)
        try:
            told = sorted(holder.stdout.readline().split() for _ in range(2))
            self.assertEqual([words[0] for words in told], ["holding", "idle"])
            idle = int(told[1][1])
            self.assertTrue(lock_held(self.db))
            holder.send_signal(signal.SIGKILL)
            holder.wait(CHILD_LIMIT)
            holder.stdout.close()
            os.kill(idle, 0)  # the idle child lives on
            locked = lock_held(self.db)
        finally:
            os.close(hold_write)  # the idle child ends
        self.assertFalse(locked, "the killed process's lock lives on in its idle child")
        self.held["conn"].execute("INSERT INTO t (v) VALUES ('next')")

    def test_killed_processes_lock_does_not_wait_for_its_idle_child(self):
        for order in ("fork-first", "begin-first"):
            with self.subTest(order=order):
                self.kill_holder(order)
        self.assertEqual(self.values(), ["a", "b", "c", "next", "next"])
        self.assertIntact()

    def test_child_forked_by_another_thread_is_refused_and_does_not_keep_the_lock(self):
        # The child, forked by a thread other than the connection's creator,
        # is refused with brackenford.Error, not the thread check's failure.
        self.kill_holder("thread")
        self.assertEqual(self.values(), ["a", "b", "c", "next"])
        self.assertIntact()


class InheritedConnectionWal(InheritedConnection, DbTestCase):
    MODE = "wal"


class InheritedConnectionDelete(InheritedConnection, DbTestCase):
    MODE = "delete"


if __name__ == "__main__":
    unittest.main()
