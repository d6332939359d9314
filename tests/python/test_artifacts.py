"""The two built artefacts as the system sees them: what they export and
link, which interpreters load the module, and the C library driven through
ctypes next to the module in one process."""

import ctypes
import glob
import os
import random
import shutil
import subprocess
import tempfile
import unittest

import brackenford
from support import DbTestCase

C_LIBRARY = os.environ.get("BKF_C_LIBRARY", "")
MODULE_DIR = os.path.dirname(brackenford.__file__)

C_SYMBOLS = {
    "bkf_open", "bkf_close", "bkf_exec", "bkf_prepare", "bkf_bind_int", "bkf_bind_null", "bkf_bind_real",
    "bkf_bind_text", "bkf_clear_binds", "bkf_exec_prepared", "bkf_finalize", "bkf_row_count", "bkf_col_count",
    "bkf_col_name", "bkf_get_i64", "bkf_get_str", "bkf_get_text", "bkf_last_error", "bkf_last_insert_id",
}


def defined_dynamic_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def needed_libraries(path):
    out = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
    return [line.split("[")[1].split("]")[0] for line in out.splitlines() if "(NEEDED)" in line]


def other_interpreters():
    """Every CPython 3.10 or later this machine has (on PATH or under pyenv),
    one per installation, with its version."""
    candidates = []
    for d in os.environ.get("PATH", "").split(os.pathsep):
        candidates += glob.glob(os.path.join(d, "python3.[0-9]*"))
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += glob.glob(os.path.join(pyenv_root, "versions", "3.*", "bin", "python3"))
    found, seen = [], set()
    for exe in candidates:
        if exe.endswith("-config") or not os.access(exe, os.X_OK):
            continue
        try:
            out = subprocess.run([exe, "-c", "import sys; print(sys.implementation.name, *sys.version_info[:2], "
                                             "sys.prefix)"],
                                 capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            continue
        parts = out.stdout.split(maxsplit=3)
        if out.returncode != 0 or len(parts) != 4 or parts[0] != "cpython":
            continue
        installation = (os.path.realpath(parts[3]), parts[1], parts[2])
        if (int(parts[1]), int(parts[2])) >= (3, 10) and installation not in seen:
            seen.add(installation)
            found.append((exe, f"{parts[1]}.{parts[2]}"))
    return found


@unittest.skipUnless(shutil.which("nm") and shutil.which("readelf"), "binutils not installed")
class Exports(unittest.TestCase):
    def test_c_library_exports_the_interface_only(self):
        self.assertEqual(defined_dynamic_symbols(C_LIBRARY), C_SYMBOLS)

    def test_module_exports_its_entry_point_only(self):
        self.assertEqual(defined_dynamic_symbols(brackenford.__file__), {"PyInit_brackenford"})

    def test_module_does_not_link_the_interpreter(self):
        needed = needed_libraries(brackenford.__file__)
        self.assertFalse([n for n in needed if n.startswith("libpython")], needed)


class Interpreters(unittest.TestCase):
    SCRIPT = (
        "import sys, os, brackenford\n"
        "c = brackenford.connect(os.path.join(sys.argv[1], 'x.db'))\n"
        "c.execute('CREATE TABLE t (a TEXT)')\n"
        "c.execute('INSERT INTO t VALUES (?)', (sys.version.split()[0],))\n"
        "print(c.execute('SELECT count(*) FROM t').fetchone()[0], brackenford.__version__)\n"
    )

    def test_every_interpreter_loads_the_same_file(self):
        found = other_interpreters()
        if not found:
            self.skipTest("no other CPython 3.10+ found")
        env = dict(os.environ, PYTHONPATH=MODULE_DIR, PYTHONDONTWRITEBYTECODE="1")
        env.pop("PYENV_VERSION", None)
        for exe, version in found:
            with self.subTest(version=version, exe=exe), tempfile.TemporaryDirectory() as d:
                out = subprocess.run([exe, "-c", self.SCRIPT, d], capture_output=True, text=True, env=env,
                                     timeout=120)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout.split(), ["1", "0.1.2"])


@unittest.skipUnless(C_LIBRARY, "BKF_C_LIBRARY not set")
class CLibraryBesideModule(DbTestCase):
    """libbrackenford.so through ctypes, in the same process as the module:
    each has its own copy of the engine, and neither binds to the other's."""

    @classmethod
    def setUpClass(cls):
        cls.lib = lib = ctypes.CDLL(C_LIBRARY)
        c = ctypes
        for name, restype, argtypes in (("bkf_open", c.c_void_p, [c.c_char_p]), ("bkf_close", None, [c.c_void_p]),
                                        ("bkf_exec", c.c_int64, [c.c_void_p, c.c_char_p]),
                                        ("bkf_get_str", c.c_char_p, [c.c_void_p, c.c_size_t, c.c_size_t]),
                                        ("bkf_last_error", c.c_char_p, [c.c_void_p])):
            getattr(lib, name).restype, getattr(lib, name).argtypes = restype, argtypes

    def test_blob_text_matches_python_replacement_decoding(self):
        lib = self.lib
        db = lib.bkf_open(self.path("c.db").encode())
        self.assertTrue(db)
        try:
            rng = random.Random(1234)
            fragments = [b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                      b"\xc0\xaf", b"\xe0\x80\x80", b"\xf8", b"\x80", b"\xbf", b"a", b"\xe2", b"\xf0\x9f"]
            for _ in range(3000):
                n = rng.randrange(0, 12)
                if rng.random() < 0.5:
                    data = bytes(rng.randrange(256) for _ in range(n))
                else:
                    data = b"".join(rng.choice(fragments) for _ in range(n))
                data = data.replace(b"\x00", b"\x01")  # a NUL byte cannot come back through a C string
                self.assertEqual(lib.bkf_exec(db, f"SELECT x'{data.hex()}'".encode()), 1, lib.bkf_last_error(db))
                got = lib.bkf_get_str(db, 0, 0)
                self.assertEqual(got.decode("utf-8"), data.decode("utf-8", "replace"), data)
        finally:
            lib.bkf_close(db)

    def test_both_doors_share_one_file(self):
        lib = self.lib
        path = self.path("shared.db")
        conn = brackenford.connect(path)
        conn.execute("CREATE TABLE t (a INTEGER, b TEXT)")
        conn.execute("INSERT INTO t VALUES (?, ?)", (1, "from python"))
        db = lib.bkf_open(path.encode())
        try:
            self.assertEqual(lib.bkf_exec(db, b"INSERT INTO t VALUES (2, 'from c'); SELECT b FROM t ORDER BY a"), 3)
            self.assertEqual(lib.bkf_get_str(db, 0, 0), b"from python")
        finally:
            lib.bkf_close(db)
        self.assertEqual(conn.execute("SELECT b FROM t ORDER BY a").fetchall(), [("from python",), ("from c",)])


if __name__ == "__main__":
    unittest.main()
