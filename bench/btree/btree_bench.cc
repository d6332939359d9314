// Table and index B-tree throughput over a real database file. Prints one
// line per workload: "name ops seconds ops_per_sec".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/keyenc.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "record/record.h"

using namespace bkf;

namespace {

template <class F>
void run(const char* name, std::size_t ops, F&& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%s %zu %.6f %.0f\n", name, ops, s, static_cast<double>(ops) / s);
}

void must(const Status& st) {
  if (!st.ok()) {
    std::fprintf(stderr, "error: %s\n", st.error().to_string().c_str());
    std::exit(1);
  }
}

template <class T>
T must(Result<T> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "error: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

}  // namespace

int main() {
  char dir[] = "/tmp/bkf-btree-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string path = std::string(dir) + "/bench.db";
  OsVfs vfs;
  auto pager = must(Pager::create(vfs, path, 4096));
  TreeScratch scratch;
  std::vector<Value> row = {Value::integer(0), Value::text("customer name"), Value::real(12.5), Value::integer(7)};
  std::string rec;

  const std::size_t n = 1'000'000;
  must(pager->begin());
  PageId root = must(BTree::create(*pager, &scratch)).root();
  run("table_append_insert_fast", n, [&] {
    BTree t(*pager, root, &scratch);
    AppendHint hint;
    for (std::size_t i = 1; i <= n; ++i) {
      row[0].set_int(static_cast<std::int64_t>(i));
      encode_record_into(rec, row);
      must(t.insert_fast(static_cast<std::int64_t>(i), rec, hint));
    }
  });
  must(pager->commit());

  std::mt19937_64 rng(1);
  const std::size_t m = 200'000;
  must(pager->begin());
  PageId root2 = must(BTree::create(*pager, &scratch)).root();
  run("table_random_insert", m, [&] {
    BTree t(*pager, root2, &scratch);
    for (std::size_t i = 0; i < m; ++i) {
      std::int64_t id = static_cast<std::int64_t>(rng() >> 1);
      row[0].set_int(id);
      encode_record_into(rec, row);
      must(t.insert(id, rec));
    }
  });
  must(pager->commit());

  std::string out;
  run("table_point_search", n, [&] {
    BTree t(*pager, root);
    std::size_t found = 0;
    for (std::size_t i = 0; i < n; ++i) {
      found += must(t.search_into(static_cast<std::int64_t>(1 + rng() % n), out));
    }
    if (found != n) std::exit(2);
  });

  // Row ids within the first 250,000: their leaves fit the page cache.
  run("table_point_search_cached", n, [&] {
    BTree t(*pager, root);
    std::size_t found = 0;
    for (std::size_t i = 0; i < n; ++i) {
      found += must(t.search_into(static_cast<std::int64_t>(1 + rng() % 250'000), out));
    }
    if (found != n) std::exit(2);
  });

  // A table shaped like a typical keyed lookup target: 200,000 rows of (id,
  // an integer, a 20-character text, a real), all pages cached, looked up by
  // random id: through BTree::search_into, through a cursor seek and read
  // (what the virtual machine does), and, for scale, the same keys in a
  // std::map<int64_t, std::string>.
  const std::size_t w = 200'000;
  must(pager->begin());
  PageId wroot = must(BTree::create(*pager, &scratch)).root();
  {
    BTree t(*pager, wroot, &scratch);
    AppendHint hint;
    std::vector<Value> wrow = {Value::integer(0), Value::text("abcdefghijklmnopqrst"), Value::real(0.5)};
    for (std::size_t i = 1; i <= w; ++i) {
      wrow[0].set_int(static_cast<std::int64_t>(i % 10'000));
      wrow[2].set_real(static_cast<double>(i) * 0.25);
      encode_record_into(rec, wrow);
      must(t.insert_fast(static_cast<std::int64_t>(i), rec, hint));
    }
  }
  must(pager->commit());
  std::vector<std::int64_t> keys(w);
  for (auto& k : keys) k = static_cast<std::int64_t>(1 + rng() % w);
  {
    Cursor warm(*pager, wroot);
    must(warm.rewind());
    while (must(warm.next_into(out))) {
    }
  }
  run("table_point_search_200k", w, [&] {
    BTree t(*pager, wroot);
    std::size_t found = 0;
    for (std::int64_t k : keys) found += must(t.search_into(k, out));
    if (found != w) std::exit(2);
  });
  run("table_cursor_seek_200k", w, [&] {
    Cursor c(*pager, wroot);
    std::size_t found = 0;
    for (std::int64_t k : keys) {
      must(c.seek(k));
      auto id = must(c.next_into(out));
      found += id && *id == k;
    }
    if (found != w) std::exit(2);
  });
  {
    std::map<std::int64_t, std::string> model;
    for (std::size_t i = 1; i <= w; ++i) model.emplace(static_cast<std::int64_t>(i), "abcdefghijklmnopqrst");
    run("std_map_lookup_200k", w, [&] {
      std::size_t found = 0;
      for (std::int64_t k : keys) {
        auto it = model.find(k);
        if (it != model.end()) {
          out.assign(it->second);
          ++found;
        }
      }
      if (found != w) std::exit(2);
    });
  }

  run("table_cursor_scan", n, [&] {
    Cursor c(*pager, root);
    must(c.rewind());
    std::size_t rows = 0;
    while (must(c.next_into(out))) ++rows;
    if (rows != n) std::exit(3);
  });

  must(pager->begin());
  PageId iroot = must(IndexBTree::create(*pager, &scratch)).root();
  std::vector<Value> vals = {Value::text("")};
  std::string key;
  run("index_random_insert", m, [&] {
    IndexBTree ix(*pager, iroot, &scratch);
    for (std::size_t i = 0; i < m; ++i) {
      vals[0].set_text("k" + std::to_string(rng() % 1'000'000));
      keyenc::encode_index_key_into(key, vals, static_cast<std::int64_t>(i));
      must(ix.insert(key));
    }
  });
  must(pager->commit());

  run("index_prefix_probe", m, [&] {
    IndexBTree ix(*pager, iroot);
    for (std::size_t i = 0; i < m; ++i) {
      vals[0].set_text("k" + std::to_string(rng() % 1'000'000));
      keyenc::encode_key_prefix_into(key, vals);
      (void)must(ix.contains_prefix(key));
    }
  });

  pager.reset();
  std::remove(path.c_str());
  rmdir(dir);
  return 0;
}
