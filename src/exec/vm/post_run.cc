#include "exec/vm/post_run.h"

#include <optional>
#include <span>
#include <string>
#include <unordered_set>

#include "exec/vm/agg.h"
#include "record/record.h"

namespace bkf::vm {

PostRun PostRun::of(const Program& program) {
  PostRun s;
  s.sort_keys.reserve(program.order_desc.size());
  for (std::size_t i = 0; i < program.order_desc.size(); ++i) {
    s.sort_keys.push_back(SortKey{program.visible + i, program.order_desc[i]});
  }
  s.visible = program.visible;
  s.distinct = program.distinct;
  s.offset = program.offset;
  s.limit = program.limit;
  return s;
}

std::optional<std::uint64_t> rows_kept(const PostRun& s) {
  if (!s.limit) return std::nullopt;
  const std::uint64_t skip = s.offset && *s.offset > 0 ? static_cast<std::uint64_t>(*s.offset) : 0;
  const std::uint64_t take = *s.limit > 0 ? static_cast<std::uint64_t>(*s.limit) : 0;
  return skip > ~take ? ~std::uint64_t{0} : skip + take;
}

std::uint64_t apply_post_run(std::vector<Row>& rows, const PostRun& s) {
  // Without DISTINCT the rows after the sort are the found rows, and only
  // the first OFFSET + LIMIT of them can stay: those are picked without
  // sorting the rest (same rows, same order, ties in the stable order).
  std::optional<std::uint64_t> found_before_cut;
  if (!s.sort_keys.empty()) {
    const std::optional<std::uint64_t> kept = s.distinct ? std::nullopt : rows_kept(s);
    const std::uint64_t n = rows.size();
    if (kept && *kept < n) {
      sort_rows_first(rows, s.sort_keys, static_cast<std::size_t>(*kept));
      found_before_cut = n;
    } else {
      sort_rows(rows, s.sort_keys);
    }
  }
  if (s.visible) {
    for (Row& r : rows) {
      if (r.size() > *s.visible) r.resize(*s.visible);
    }
  }
  if (s.distinct && rows.size() > 1) {
    std::unordered_set<std::string, BytesHash, BytesEq> seen;
    seen.reserve(rows.size());
    std::string buf;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      encode_record_into(buf, std::span<const Value>(rows[i]));
      if (seen.find(std::string_view(buf)) != seen.end()) continue;
      seen.emplace(buf);
      if (kept != i) rows[kept] = std::move(rows[i]);
      ++kept;
    }
    rows.resize(kept);
  }
  const std::uint64_t found = found_before_cut ? *found_before_cut : rows.size();
  if (s.offset && *s.offset > 0) {
    auto n = static_cast<std::uint64_t>(*s.offset);
    if (n >= rows.size()) rows.clear();
    else rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (s.limit) {
    std::uint64_t n = *s.limit > 0 ? static_cast<std::uint64_t>(*s.limit) : 0;
    if (n < rows.size()) rows.resize(n);
  }
  return found;
}

}  // namespace bkf::vm
