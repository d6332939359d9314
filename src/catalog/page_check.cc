#include "catalog/page_check.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "btree/tree_pages.h"
#include "pager/free_list.h"
#include "record/record.h"

namespace bkf::catalog {
namespace {

// Who uses which page, and what went wrong on the way.
class Accounting final : public TreePageVisitor {
 public:
  explicit Accounting(std::vector<std::string>& messages) : messages_(messages) {}

  // Makes `label` the owner of the pages claimed from now on.
  void set_owner(std::string label) {
    labels_.push_back(std::move(label));
    current_ = static_cast<std::uint32_t>(labels_.size() - 1);
    unsound_ = false;
  }
  const std::string& owner() const { return labels_[current_]; }
  // Whether the current owner met damage or a page used twice.
  bool unsound() const { return unsound_; }

  // The current owner uses page id; false, with a message, when some owner
  // (this one included) used it before.
  bool claim(PageId id) {
    auto [it, fresh] = owners_.try_emplace(id, current_);
    if (fresh) return true;
    unsound_ = true;
    const std::string p = "page " + std::to_string(id) + " is used twice";
    if (it->second == current_) messages_.push_back(p + " by " + owner());
    else messages_.push_back(p + ": by " + labels_[it->second] + " and by " + owner());
    return false;
  }

  bool page(PageId id) override { return claim(id); }
  void damage(PageId page, std::optional<std::int64_t> rowid, const Error& e) override {
    unsound_ = true;
    const std::string where = rowid ? "row " + std::to_string(*rowid) : "page " + std::to_string(page);
    messages_.push_back(owner() + ": " + where + ": " + e.to_string());
  }
  bool wants_rows() const override { return true; }
  void row(std::int64_t rowid, std::string_view payload) override {
    Status st = decode_record_into(payload, scratch_);
    if (st.ok()) return;
    unsound_ = true;
    messages_.push_back(owner() + ": row " + std::to_string(rowid) + ": " + st.error().to_string());
  }

  // One message per run of pages in 1..page_count that nobody claimed.
  void report_unused(std::uint32_t page_count) {
    std::vector<PageId> used;
    used.reserve(owners_.size());
    for (const auto& entry : owners_) used.push_back(entry.first);
    std::sort(used.begin(), used.end());
    std::uint64_t next = 1;  // the first page not known to be used
    auto gap_until = [&](std::uint64_t end) {  // pages [next, end) are unused
      if (next + 1 == end) messages_.push_back("page " + std::to_string(next) + " is used by nothing");
      else if (next < end) {
        messages_.push_back("pages " + std::to_string(next) + "-" + std::to_string(end - 1) + " are used by nothing");
      }
    };
    for (PageId id : used) {
      gap_until(id);
      next = std::uint64_t{id} + 1;
    }
    gap_until(std::uint64_t{page_count} + 1);
  }

 private:
  std::vector<std::string>& messages_;
  std::vector<std::string> labels_;
  std::uint32_t current_ = 0;
  bool unsound_ = false;
  std::unordered_map<PageId, std::uint32_t> owners_;
  std::vector<Value> scratch_;
};

struct Tree {
  std::int64_t key;
  std::string label;
  PageId root;
  TreeType type;
};

}  // namespace

Result<PageCheck> check_pages(Pager& pager, const SchemaState& state) {
  PageCheck out;
  Accounting acc(out.messages);
  acc.set_owner("the header");
  acc.claim(1);

  acc.set_owner("the free list");
  std::uint64_t listed = 0;
  Status walked = walk_free_list(pager, [&](PageId id, bool) {
    ++listed;
    return acc.claim(id);  // a page met twice ends the walk: it may loop
  });
  if (!walked.ok()) {
    if (!is_damage(walked.error())) return std::move(walked).error();
    out.messages.push_back(walked.error().to_string());
  } else if (!acc.unsound() && listed != pager.header().freelist_count) {
    out.messages.push_back("free list: the header counts " + std::to_string(pager.header().freelist_count) +
                           " pages but the list holds " + std::to_string(listed));
  }

  std::vector<Tree> trees;
  for (const auto& [name, t] : state.tables) trees.push_back({t.schema_rowid, "table " + name, t.root, TreeType::Table});
  for (const auto& [name, ix] : state.indexes) {
    trees.push_back({ix.schema_rowid, "index " + name, ix.root, TreeType::Index});
  }
  std::sort(trees.begin(), trees.end(), [](const Tree& a, const Tree& b) { return a.key < b.key; });
  trees.insert(trees.begin(), Tree{0, "the schema", state.schema_root, TreeType::Table});
  for (Tree& t : trees) {
    acc.set_owner(std::move(t.label));
    BKF_TRY(walk_tree_pages(pager, t.root, t.type, acc));
    if (acc.unsound()) out.unsound_roots.insert(t.root);
  }

  acc.report_unused(pager.page_count());
  return out;
}

}  // namespace bkf::catalog
