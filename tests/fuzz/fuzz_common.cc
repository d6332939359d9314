#include "fuzz/fuzz_common.h"

#include <cstdio>
#include <cstdlib>

#include "pager/pager.h"

namespace bkf::fuzz {

void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

std::string template_sql(int rows) {
  std::string s =
      "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE, v INT, body TEXT);"
      "CREATE INDEX t_v ON t (v);"
      "CREATE TABLE u (tid INT, x INT, label TEXT, KEY (x, label));"
      "INSERT INTO t (name, v, body) VALUES ";
  for (int i = 1; i <= rows; ++i) {
    s += (i > 1 ? ", ('n" : "('n") + std::to_string(i) + "', " + std::to_string(i % 9) + ", ";
    s += i % 5 == 0 ? "'" + std::string(200 + 40 * i, static_cast<char>('a' + i % 26)) + "')"
                    : "'b" + std::to_string(i) + "')";
  }
  s += "; INSERT INTO u SELECT id, v * 2, name FROM t WHERE id % 2 = 0;"
       "DELETE FROM t WHERE id % 10 = 0;"
       "ALTER TABLE t ADD COLUMN extra REAL DEFAULT 1.5;"
       "INSERT INTO t (name, v, body) VALUES ('last', -3, x'00ff');";
  return s;
}

Image build_image(std::uint32_t page_size, std::string_view setup) {
  testing::MemVfs vfs;
  if (!Pager::create(vfs, kPath, page_size).ok()) fail("cannot create the template");
  {
    auto db = Database::open(vfs, kPath);
    if (!db) fail("cannot open the template: " + db.error().to_string());
    auto r = db->execute(setup);
    if (!r) fail("template setup: " + r.error().to_string());
  }
  Image image;
  image.db = vfs.bytes(kPath);
  if ((image.has_journal = vfs.exists(kPath + "-journal"))) image.journal = vfs.bytes(kPath + "-journal");
  if ((image.has_wal = vfs.exists(kPath + "-wal"))) image.wal = vfs.bytes(kPath + "-wal");
  return image;
}

void install(testing::MemVfs& vfs, const Image& image) {
  vfs.clear();
  vfs.bytes(kPath) = image.db;
  if (image.has_journal) vfs.bytes(kPath + "-journal") = image.journal;
  if (image.has_wal) vfs.bytes(kPath + "-wal") = image.wal;
}

void apply_patches(std::vector<std::uint8_t>& bytes, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 4 <= size && !bytes.empty(); i += 4) {
    const std::size_t off = ((std::size_t{data[i]} << 8) | data[i + 1]) % bytes.size();
    const std::uint8_t v = data[i + 2];
    switch (data[i + 3] & 3) {
      case 0: bytes[off] = v; break;
      case 1: bytes[off] ^= v; break;
      case 2: bytes[off] = static_cast<std::uint8_t>(bytes[off] + v); break;
      case 3: bytes.resize(off); break;
    }
  }
}

void run(Database& db, std::string_view sql) { (void)db.execute(sql); }

void check(Database& db) {
  run(db, "PRAGMA integrity_check");
  run(db, "SELECT * FROM t WHERE name > 'n3' ORDER BY v");
}

void open_twice(const Image& image) {
  testing::MemVfs vfs;
  install(vfs, image);
  {
    auto db = Database::open(vfs, kPath);
    if (!db) return;
    exercise(*db);
  }
  auto again = Database::open(vfs, kPath);
  if (again) check(*again);
}

void exercise(Database& db) {
  static const char* const kQueries[] = {
      "PRAGMA integrity_check",
      "SELECT * FROM t ORDER BY id",
      "SELECT count(*), sum(v), max(name), min(body) FROM t",
      "SELECT id, name FROM t WHERE name >= 'm' ORDER BY name DESC LIMIT 5",
      "SELECT * FROM t WHERE v = 7 OR name = 'n42'",
      "SELECT t.id, u.x FROM t LEFT JOIN u ON u.tid = t.id WHERE u.x IS NOT NULL",
      "SELECT v, count(*) FROM t GROUP BY v HAVING count(*) > 1",
      "SELECT * FROM u WHERE x IN (SELECT v FROM t)",
      "INSERT INTO t (name, v, body) VALUES ('fz', 1, 'fuzz body long enough to matter'), ('fy', 2, NULL)",
      "UPDATE t SET v = v + 1, body = name WHERE id % 3 = 0",
      "DELETE FROM t WHERE id % 4 = 1",
      "INSERT INTO u SELECT id, v, name FROM t",
      "CREATE INDEX fz_ix ON u (label, tid)",
      "PRAGMA reindex",
      "PRAGMA wal_checkpoint",
      "PRAGMA integrity_check",
      "DROP TABLE u",
  };
  for (const char* q : kQueries) run(db, q);
}

}  // namespace bkf::fuzz
