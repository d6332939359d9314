"""Running out of memory in the middle of a statement, as a process with a
limited address space meets it: the statement raises MemoryError and ends
as a failed statement does. Outside BEGIN its transaction is rolled back
and its locks released, so later statements commit durably; inside BEGIN
the transaction can only be rolled back; a query gives its shared lock
back. Each case runs in a child interpreter whose address space is limited
(RLIMIT_AS) only around the statement that must fail."""

import json
import os
import subprocess
import sys
import textwrap
import unittest

from support import DbTestCase

CHILD = textwrap.dedent(r"""
    import fcntl, json, os, resource, sys
    import brackenford

    path, mode, case = sys.argv[1], sys.argv[2], sys.argv[3]
    out = {}

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmSize")

    def lock_free(name):
        fd = os.open(name, os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False
        finally:
            os.close(fd)

    conn = brackenford.connect(path)
    conn.execute(f"PRAGMA journal_mode = {mode}")
    conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, k INT, p TEXT); CREATE INDEX tk ON t (k);"
                 "CREATE TABLE log (id INTEGER PRIMARY KEY, msg TEXT)")
    cur = conn.cursor()
    cur.execute("BEGIN")
    cur.executemany("INSERT INTO t (k, p) VALUES (?, ?)", ((i, "x" * 900) for i in range(8000)))
    cur.execute("COMMIT")
    statement = {
        "update": "UPDATE t SET p = CONCAT(p, p, p, p, p, p, p, p, p, p, p, p), k = k + 1",
        "query": "SELECT CONCAT(p, p, p, p, p, p, p, p, p, p, p, p), k FROM t ORDER BY k DESC",
    }["query" if case == "query" else "update"]
    if case == "inside":
        conn.execute("BEGIN")

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 48 * 1024 * 1024, hard))
    try:
        conn.execute(statement)
        out["raised"] = None
    except MemoryError:
        out["raised"] = "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    out["locks_after_failure"] = [lock_free(path)] + ([lock_free(path + "-wal")] if mode == "wal" else [])
    if case == "inside":
        try:
            conn.execute("COMMIT")
            out["commit"] = "ok"
        except brackenford.Error as e:
            out["commit"] = str(e)
        conn.execute("ROLLBACK")
    out["locks_free"] = [lock_free(path)] + ([lock_free(path + "-wal")] if mode == "wal" else [])
    for i in range(5):
        conn.execute("INSERT INTO log (msg) VALUES (?)", (f"after {i}",))
    del cur, conn

    again = brackenford.connect(path)
    out["log"] = again.execute("SELECT count(*) FROM log").fetchall()[0][0]
    out["rows"] = again.execute("SELECT count(*), sum(k), max(length(p)) FROM t").fetchall()[0]
    out["by_index"] = again.execute("SELECT count(*) FROM t WHERE k = 1").fetchall()[0][0]
    out["integrity"] = again.execute("PRAGMA integrity_check").fetchall()
    print(json.dumps(out))
""")


class OutOfMemory(DbTestCase):
    def run_child(self, mode, case):
        proc = subprocess.run([sys.executable, "-c", CHILD, self.path(f"{case}-{mode}.db"), mode, case],
                              capture_output=True, text=True, timeout=600, env=os.environ.copy())
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return json.loads(proc.stdout.strip().splitlines()[-1])

    def check_untouched(self, out):
        # The failed statement left nothing: 8000 rows with k 0..7999, and
        # the five later autocommit inserts all survived the reopen.
        self.assertEqual(out["log"], 5)
        self.assertEqual(out["rows"], [8000, sum(range(8000)), 900])
        self.assertEqual(out["by_index"], 1)
        self.assertEqual(out["integrity"], [["ok"]])
        self.assertEqual(out["locks_free"], [True] * len(out["locks_free"]))

    def test_a_write_outside_begin_is_rolled_back(self):
        for mode in ("delete", "wal"):
            with self.subTest(mode=mode):
                out = self.run_child(mode, "outside")
                self.assertEqual(out["raised"], "MemoryError")
                self.assertEqual(out["locks_after_failure"], [True] * len(out["locks_after_failure"]))
                self.check_untouched(out)

    def test_a_write_inside_begin_spoils_the_transaction(self):
        for mode in ("delete", "wal"):
            with self.subTest(mode=mode):
                out = self.run_child(mode, "inside")
                self.assertEqual(out["raised"], "MemoryError")
                self.assertEqual(out["commit"], "transaction error: the transaction must be rolled back: "
                                                "a statement in it ran out of memory")
                self.check_untouched(out)

    def test_a_query_gives_its_shared_lock_back(self):
        for mode in ("delete", "wal"):
            with self.subTest(mode=mode):
                out = self.run_child(mode, "query")
                self.assertEqual(out["raised"], "MemoryError")
                self.assertEqual(out["locks_after_failure"], [True] * len(out["locks_after_failure"]))
                self.check_untouched(out)


# Resident memory of a fresh process around an insert of N 1,000-byte rows
# in one transaction and an UPDATE of them all.
LARGE = textwrap.dedent(r"""
    import json, sys
    import brackenford

    def rss():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmRSS")

    path, mode, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    conn = brackenford.connect(path)
    conn.execute(f"PRAGMA journal_mode = {mode}")
    conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT)")
    out = {"start": rss()}
    cur = conn.cursor()
    cur.execute("BEGIN")
    cur.executemany("INSERT INTO t (s) VALUES (?)", (("x" * 1000,) for _ in range(n)))
    cur.execute("COMMIT")
    out["inserted"] = rss()
    conn.execute("UPDATE t SET s = CONCAT('y', substr(s, 2))")
    out["updated"] = rss()
    out["rows"] = conn.execute("SELECT count(*), sum(s LIKE 'y%') FROM t").fetchall()[0]
    print(json.dumps(out))
""")


class LargeTransactions(DbTestCase):
    """The buffers a commit reuses are kept between transactions only up to
    a few megabytes: after a large transaction a connection holds its page
    cache (the pages it touched stay cached) and not another copy of the
    transaction, in a journal's image or in the log's frames."""

    MB = 1024 * 1024

    def run_large(self, mode, rows):
        proc = subprocess.run([sys.executable, "-c", LARGE, self.path(f"large-{mode}-{rows}.db"), mode, str(rows)],
                              capture_output=True, text=True, timeout=600, env=os.environ.copy())
        self.assertEqual(proc.returncode, 0, proc.stderr)
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        self.assertEqual(out["rows"], [rows, rows])
        return out

    def test_a_large_transaction_leaves_no_buffer_of_its_size(self):
        for mode in ("delete", "wal"):
            with self.subTest(mode=mode):
                out = self.run_large(mode, 48000)
                # About 66 MB of cached pages (16,000 pages); twice that with a kept copy.
                self.assertLess(out["inserted"] - out["start"], 100 * self.MB, out)
                # The update journals every page (or logs it) once more.
                self.assertLess(out["updated"] - out["inserted"], 24 * self.MB, out)

    def test_a_buffer_the_allocator_would_keep_goes_back_to_the_system(self):
        # 12 MB of pages, which the insert caches already: the update's
        # journal image or log frames are of the size the insert's frames
        # were, and once the C library has freed a block that large, it
        # serves the next one from its heap and keeps it there when freed.
        for mode in ("delete", "wal"):
            with self.subTest(mode=mode):
                out = self.run_large(mode, 12000)
                self.assertLess(out["updated"] - out["inserted"], 6 * self.MB, out)


if __name__ == "__main__":
    unittest.main()
