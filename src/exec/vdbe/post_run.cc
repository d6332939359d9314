#include "exec/vdbe/post_run.h"

#include <span>
#include <string>
#include <unordered_set>

#include "exec/vdbe/agg.h"
#include "record/record.h"

namespace bkf::vdbe {

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

std::uint64_t apply_post_run(std::vector<Row>& rows, const PostRun& s) {
  if (!s.sort_keys.empty()) sort_rows(rows, s.sort_keys);
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
  const std::uint64_t found = rows.size();
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

}  // namespace bkf::vdbe
