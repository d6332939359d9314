"""Benchmark of the Python module. Prints one line per workload:
name ops seconds ops_per_sec

  py_execute_insert        execute() calls with parameters, inserting rows
                           inside one transaction
  py_execute_point_lookup  execute() calls with parameters, each a lookup by
                           primary key, followed by fetchone()
  py_query_rows            one execute() of a query over the wide table
                           (ops: rows kept by the cursor)
  py_fetchall_rows         fetchall() of those rows (ops: rows converted)

Run against a build:  PYTHONPATH=build/python python3 bench/api/python_bench.py
--scale shrinks every count (the tests run it at a tiny scale).
"""

import argparse
import os
import random
import tempfile
import time

import brackenford


def report(name, ops, seconds):
    seconds = max(seconds, 1e-9)
    print(f"{name} {ops} {seconds:.6f} {ops / seconds:.1f}", flush=True)


def bench_execute(conn, n):
    cur = conn.cursor()
    cur.execute("CREATE TABLE kv (id INTEGER PRIMARY KEY, name TEXT, score REAL)")
    start = time.perf_counter()
    cur.execute("BEGIN")
    for i in range(n):
        cur.execute("INSERT INTO kv (id, name, score) VALUES (?, ?, ?)", (i, f"name-{i}", i * 0.5))
    cur.execute("COMMIT")
    report("py_execute_insert", n, time.perf_counter() - start)

    keys = list(range(n))
    random.Random(42).shuffle(keys)
    start = time.perf_counter()
    for k in keys:
        cur.execute("SELECT name, score FROM kv WHERE id = ?", (k,))
        row = cur.fetchone()
    report("py_execute_point_lookup", n, time.perf_counter() - start)
    assert row == (f"name-{keys[-1]}", keys[-1] * 0.5)


def bench_fetchall(conn, n):
    cur = conn.cursor()
    cur.execute("CREATE TABLE wide (a INTEGER, b TEXT, c REAL, d BLOB)")
    cur.execute("BEGIN")
    cur.executemany("INSERT INTO wide VALUES (?, ?, ?, ?)",
                    ((i, f"row {i}", i / 7, None if i % 3 else b"\x00\x01") for i in range(n)))
    cur.execute("COMMIT")

    start = time.perf_counter()
    cur.execute("SELECT a, b, c, d FROM wide")
    report("py_query_rows", n, time.perf_counter() - start)
    start = time.perf_counter()
    rows = cur.fetchall()
    report("py_fetchall_rows", n, time.perf_counter() - start)
    assert len(rows) == n and rows[-1][0] == n - 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the full counts")
    args = parser.parse_args()
    n_exec = max(1, int(100_000 * args.scale))
    n_rows = max(1, int(1_000_000 * args.scale))
    with tempfile.TemporaryDirectory(prefix="bkf_bench_") as d:
        bench_execute(brackenford.connect(os.path.join(d, "execute.db")), n_exec)
        bench_fetchall(brackenford.connect(os.path.join(d, "fetchall.db")), n_rows)


if __name__ == "__main__":
    main()
