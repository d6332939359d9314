"""A small application written against the database interface alone, the way
client code uses any such module: placeholders from paramstyle, rows as
dicts through description, batches through fetchmany, transactions in SQL,
failures caught as the module's Error. Its answers are checked against the
same data kept in plain Python."""

import contextlib
import random
import unittest

import brackenford
from support import DbTestCase


class Inventory:
    def __init__(self, dbapi, path):
        if dbapi.paramstyle != "qmark":
            raise RuntimeError("this application speaks qmark")
        self.conn = dbapi.connect(path)
        self.conn.execute(
            "CREATE TABLE IF NOT EXISTS product (id INTEGER PRIMARY KEY AUTO_INCREMENT,"
            " sku VARCHAR(20) NOT NULL UNIQUE, name TEXT, price REAL, stock INTEGER NOT NULL DEFAULT 0)")
        self.conn.execute(
            "CREATE TABLE IF NOT EXISTS movement (id INTEGER PRIMARY KEY AUTO_INCREMENT,"
            " product_id INTEGER NOT NULL, qty INTEGER NOT NULL, note TEXT)")
        self.conn.execute("CREATE INDEX IF NOT EXISTS movement_product ON movement (product_id)")

    def query(self, sql, params=()):
        cur = self.conn.execute(sql, params)
        names = [d[0] for d in cur.description]
        return [dict(zip(names, row)) for row in cur.fetchall()]

    def stream(self, sql, params=(), batch=7):
        with contextlib.closing(self.conn.cursor()) as cur:
            cur.execute(sql, params)
            while rows := cur.fetchmany(batch):
                yield from rows

    @contextlib.contextmanager
    def transaction(self):
        self.conn.execute("BEGIN")
        try:
            yield
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise
        self.conn.execute("COMMIT")

    def add_products(self, products):
        cur = self.conn.cursor()
        cur.executemany("INSERT INTO product (sku, name, price, stock) VALUES (?, ?, ?, ?)", products)
        return cur.rowcount

    def move(self, sku, qty, note=None):
        """Records a stock movement; refuses to go below zero."""
        with self.transaction():
            (row,) = self.query("SELECT id, stock FROM product WHERE sku = ?", (sku,))
            cur = self.conn.execute("INSERT INTO movement (product_id, qty, note) VALUES (?, ?, ?)",
                                    (row["id"], qty, note))
            self.conn.execute("UPDATE product SET stock = stock + ? WHERE id = ?", (qty, row["id"]))
            if row["stock"] + qty < 0:
                raise ValueError(f"not enough {sku}")  # after the writes: the rollback undoes them
            return cur.lastrowid


class ClientApplication(DbTestCase):
    def test_inventory_against_a_python_model(self):
        rng = random.Random(7)
        app = Inventory(brackenford, self.path())
        model = {}
        for i in range(60):
            model[f"SKU-{i:03d}"] = [f"item {i}", round(rng.uniform(0.5, 99.0), 2), rng.randrange(0, 50), []]
        self.assertEqual(app.add_products([(sku, *m[:3]) for sku, m in model.items()]), 60)
        with self.assertRaises(brackenford.Error) as cm:  # duplicate sku after one new row
            app.add_products([("SKU-999", "new", 1.0, 1), ("SKU-000", "dup", 1.0, 1)])
        self.assertIn("UNIQUE constraint failed", str(cm.exception))
        app.conn.execute("DELETE FROM product WHERE sku = ?", ("SKU-999",))

        last_id = 0
        for _ in range(300):
            sku, qty = rng.choice(list(model)), rng.randrange(-20, 21)
            try:
                last_id = app.move(sku, qty, note=rng.choice([None, "restock", "sale"]))
            except ValueError:
                self.assertLess(model[sku][2] + qty, 0)
                continue
            model[sku][2] += qty
            model[sku][3].append(qty)

        rows = app.query("SELECT sku, name, price, stock FROM product ORDER BY sku")
        self.assertEqual([(r["sku"], r["name"], r["price"], r["stock"]) for r in rows],
                         [(sku, *m[:3]) for sku, m in sorted(model.items())])
        totals = {sku: sum(m[3]) for sku, m in model.items() if m[3]}
        self.assertEqual(dict(app.stream(
            "SELECT p.sku, SUM(m.qty) AS total FROM movement m JOIN product p ON p.id = m.product_id "
            "GROUP BY p.sku ORDER BY p.sku")), totals)
        self.assertEqual(app.query("SELECT id FROM movement ORDER BY id DESC LIMIT 1")[0]["id"], last_id)

        # Everything is in the file: a second application instance sees it.
        del app
        (row,) = Inventory(brackenford, self.path()).query("SELECT SUM(stock) AS s, COUNT(*) AS n FROM product")
        self.assertEqual((row["s"], row["n"]), (sum(m[2] for m in model.values()), 60))


if __name__ == "__main__":
    unittest.main()
