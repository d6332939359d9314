// Record and key encoding throughput, and the row sort of ORDER BY.
// Prints "name ops seconds ops_per_sec".
//
//   record_bench [NAME]   runs only the workloads whose names contain NAME
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "btree/keyenc.h"
#include "record/record.h"
#include "record/sort.h"

using namespace bkf;

namespace {

// Workloads whose names contain this run; the others are skipped.
struct Filter {
  std::string_view only;
  bool wants(std::string_view name) const { return name.find(only) != std::string_view::npos; }
};

template <class F>
void run(const Filter& filter, const char* name, std::size_t ops, F&& f) {
  if (!filter.wants(name)) return;
  auto t0 = std::chrono::steady_clock::now();
  f();
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%s %zu %.6f %.0f\n", name, ops, s, static_cast<double>(ops) / s);
}

volatile std::size_t g_sink;

}  // namespace

int main(int argc, char** argv) {
  const Filter filter{argc > 1 ? argv[1] : ""};
  std::vector<Value> row = {Value::integer(42),          Value::text("some customer name"), Value::real(3.25),
                            Value::integer(1234567890),  Value::null(),                     Value::text("a longer text column value"),
                            Value::blob(std::string(16, 'b')), Value::integer(1)};
  const std::size_t n = 2'000'000;
  std::string buf;
  run(filter, "encode_record_into", n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      row[0].set_int(static_cast<std::int64_t>(i));
      encode_record_into(buf, row);
      g_sink = g_sink + buf.size();
    }
  });
  encode_record_into(buf, row);
  Value v;
  run(filter, "decode_column_last", n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      (void)decode_column_into(buf, 7, v);
      g_sink = g_sink + static_cast<std::size_t>(v.int_value());
    }
  });
  RecordColumns cols;
  run(filter, "record_columns_read_all_8", n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      cols.reset(buf);
      for (std::size_t c = 0; c < 8; ++c) (void)cols.read_into(c, v);
      g_sink = g_sink + v.bytes().size();
    }
  });
  std::vector<Value> out;
  run(filter, "decode_record_into", n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      (void)decode_record_into(buf, out);
      g_sink = g_sink + out.size();
    }
  });
  std::vector<Value> key_vals = {Value::text("customer"), Value::integer(77)};
  run(filter, "encode_index_key_into", n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      keyenc::encode_index_key_into(buf, key_vals, static_cast<std::int64_t>(i));
      g_sink = g_sink + buf.size();
    }
  });
  const std::size_t sort_n = 1'000'000;
  std::vector<Row> rows(sort_n);
  std::uint64_t x = 88172645463325252ull;
  for (Row& r : rows) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    r = {Value::integer(static_cast<std::int64_t>(x % 100000)), Value::real(static_cast<double>(x % 977))};
  }
  const SortKey keys[] = {{0, false}, {1, true}};
  run(filter, "sort_rows_1m", sort_n, [&] { sort_rows(rows, keys); });
  // One key of integers and reals mixed, many of them equal across the
  // kinds: about half the comparisons meet an integer against a real.
  for (Row& r : rows) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const auto n = static_cast<std::int64_t>(x % 200000);
    r = {x & 1 ? Value::integer(n / 2) : Value::real(static_cast<double>(n) / 4)};
  }
  const SortKey mixed_key[] = {{0, false}};
  run(filter, "sort_rows_mixed_numbers_1m", sort_n, [&] { sort_rows(rows, mixed_key); });
  // One text key: a prefix every row shares (a host name, a directory, a
  // mail domain), then 12 random letters, the same letters for every
  // prefix length: no prefix, one and two 8-byte words, and long ones.
  const SortKey text_key[] = {{0, false}};
  for (const std::size_t prefix : {0, 8, 16, 48, 200}) {
    const std::string name = "sort_rows_text_prefix" + std::to_string(prefix) + "_1m";
    if (!filter.wants(name)) continue;
    x = 88172645463325252ull;
    std::string s;
    for (std::size_t i = 0; i < prefix; ++i) s += "abcdefghijklmnopqrstuvwxyz./"[i % 28];
    for (Row& r : rows) {
      s.resize(prefix);
      for (int i = 0; i < 12; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s += static_cast<char>('a' + x % 26);
      }
      r = {Value::text(s)};
    }
    run(filter, name.c_str(), sort_n, [&] { sort_rows(rows, text_key); });
  }
  return 0;
}
