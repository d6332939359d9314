"""Keeps a bird-watching log in a database file with the brackenford module:
create a table, insert rows with parameters, query them, and catch the
module's error."""

import os

import brackenford

PATH = "birds.db"


def main():
    if os.path.exists(PATH):
        os.remove(PATH)  # start afresh at every run
    conn = brackenford.connect(PATH)
    cur = conn.cursor()
    cur.execute("CREATE TABLE birds (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, seen INTEGER)")

    cur.executemany("INSERT INTO birds (name, seen) VALUES (?, ?)",
                    [("wren", 3), ("robin", 5), ("heron", 1)])
    print(f"inserted {cur.rowcount} birds")
    cur.execute("INSERT INTO birds (name, seen) VALUES (?, ?)", ("kestrel", 2))
    print(f"kestrel has id {cur.lastrowid}")

    cur.execute("SELECT name, seen FROM birds WHERE seen >= ? ORDER BY seen DESC", (2,))
    print("columns:", [d[0] for d in cur.description])
    for name, seen in cur.fetchall():
        print(f"  {name:<8} seen {seen} times")

    try:
        cur.execute("INSERT INTO birds (name, seen) VALUES (?, ?)", ("wren", 9))
    except brackenford.Error as e:
        print("refused:", e)


if __name__ == "__main__":
    main()
