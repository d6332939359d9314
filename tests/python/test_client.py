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
        self.dbapi = dbapi
        self.conn = dbapi.connect(path)

    def create_schema(self):
        cur = self.conn.cursor()
        cur.execute(
            "CREATE TABLE IF NOT EXISTS product ("
            " id INTEGER PRIMARY KEY AUTO_INCREMENT, sku VARCHAR(20) NOT NULL UNIQUE,"
            " name TEXT, price REAL, stock INTEGER NOT NULL DEFAULT 0)")
        cur.execute(
            "CREATE TABLE IF NOT EXISTS movement ("
            " id INTEGER PRIMARY KEY AUTO_INCREMENT, product_id INTEGER NOT NULL, qty INTEGER NOT NULL,"
            " note TEXT)")
        cur.execute("CREATE INDEX IF NOT EXISTS movement_product ON movement (product_id)")

    def query(self, sql, params=()):
        cur = self.conn.cursor()
        cur.execute(sql, params)
        names = [d[0] for d in cur.description]
        return [dict(zip(names, row)) for row in cur.fetchall()]

    def stream(self, sql, params=(), batch=7):
        with contextlib.closing(self.conn.cursor()) as cur:
            cur.execute(sql, params)
            while True:
                rows = cur.fetchmany(batch)
                if not rows:
                    return
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
            if row["stock"] + qty < 0:
                raise ValueError(f"not enough {sku}")
            cur = self.conn.execute("INSERT INTO movement (product_id, qty, note) VALUES (?, ?, ?)",
                                    (row["id"], qty, note))
            self.conn.execute("UPDATE product SET stock = stock + ? WHERE id = ?", (qty, row["id"]))
            return cur.lastrowid


class ClientApplication(DbTestCase):
    def test_inventory_against_a_python_model(self):
        rng = random.Random(7)
        app = Inventory(brackenford, self.path())
        app.create_schema()
        app.create_schema()  # IF NOT EXISTS: a second start changes nothing

        model = {}
        products = []
        for i in range(60):
            sku = f"SKU-{i:03d}"
            name = rng.choice(["bolt", "nut", "washer", "gear", "caf\u00e9 mug"]) + f" {i}"
            price = round(rng.uniform(0.5, 99.0), 2)
            stock = rng.randrange(0, 50)
            products.append((sku, name, price, stock))
            model[sku] = {"name": name, "price": price, "stock": stock, "moves": []}
        self.assertEqual(app.add_products(products), 60)

        with self.assertRaises(brackenford.Error) as cm:  # duplicate sku
            app.add_products([("SKU-999", "new", 1.0, 1), ("SKU-000", "dup", 1.0, 1)])
        self.assertIn("UNIQUE constraint failed", str(cm.exception))
        self.assertEqual(app.query("SELECT COUNT(*) AS n FROM product")[0]["n"], 61)
        app.conn.execute("DELETE FROM product WHERE sku = ?", ("SKU-999",))

        last_id = 0
        for _ in range(300):
            sku = rng.choice(list(model))
            qty = rng.randrange(-20, 21)
            try:
                last_id = app.move(sku, qty, note=rng.choice([None, "restock", "sale"]))
            except ValueError:
                self.assertLess(model[sku]["stock"] + qty, 0)
                continue
            model[sku]["stock"] += qty
            model[sku]["moves"].append(qty)

        # A movement that fails inside its transaction leaves nothing behind.
        with self.assertRaises(brackenford.Error):
            with app.transaction():
                app.conn.execute("INSERT INTO movement (product_id, qty) VALUES (?, ?)", (1, 5))
                app.conn.execute("INSERT INTO movement (product_id, qty) VALUES (?, ?)", (1, None))

        rows = app.query("SELECT sku, name, price, stock FROM product ORDER BY sku")
        self.assertEqual([r["sku"] for r in rows], sorted(model))
        for r in rows:
            m = model[r["sku"]]
            self.assertEqual((r["name"], r["price"], r["stock"]), (m["name"], m["price"], m["stock"]))

        totals = {sku: sum(m["moves"]) for sku, m in model.items() if m["moves"]}
        got = {sku: total for sku, total in app.stream(
            "SELECT p.sku, SUM(m.qty) AS total FROM movement m JOIN product p ON p.id = m.product_id "
            "GROUP BY p.sku ORDER BY p.sku")}
        self.assertEqual(got, totals)

        value = sum(m["price"] * m["stock"] for m in model.values())
        (row,) = app.query("SELECT SUM(price * stock) AS value, COUNT(*) AS n FROM product")
        self.assertAlmostEqual(row["value"], value, places=6)
        self.assertEqual(row["n"], 60)

        moves = app.query("SELECT id FROM movement ORDER BY id DESC LIMIT 1")
        self.assertEqual(moves[0]["id"], last_id)

        # Everything is in the file: a second application instance sees it.
        del app
        again = Inventory(brackenford, self.path())
        (row,) = again.query("SELECT SUM(stock) AS s FROM product")
        self.assertEqual(row["s"], sum(m["stock"] for m in model.values()))


if __name__ == "__main__":
    unittest.main()
