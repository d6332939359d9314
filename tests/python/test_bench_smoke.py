"""The Python benchmark runs to completion at a tiny scale and prints its
lines in the benchmark format (nothing here looks at the figures)."""

import os
import subprocess
import sys
import unittest

BENCH = os.environ.get("BKF_PYTHON_BENCH", "")


@unittest.skipUnless(BENCH, "BKF_PYTHON_BENCH not set")
class BenchSmoke(unittest.TestCase):
    def test_runs_and_prints_its_format(self):
        out = subprocess.run([sys.executable, BENCH, "--scale", "0.002"], capture_output=True, text=True,
                             timeout=300, env=os.environ)
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = [line.split() for line in out.stdout.splitlines()]
        self.assertEqual([f[0] for f in lines],
                         ["py_execute_insert", "py_execute_point_lookup", "py_query_rows", "py_fetchall_rows"])
        for name, ops, seconds, rate in lines:
            self.assertGreater(int(ops), 0)
            float(seconds), float(rate)


if __name__ == "__main__":
    unittest.main()
