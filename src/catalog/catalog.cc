#include "catalog/catalog.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/tree_pages.h"
#include "record/record.h"

namespace bkf {
namespace {

// Runs f between Pager::read_lock and Pager::read_unlock. An error of f wins
// over an error of the unlock.
template <class F>
auto under_read_lock(Pager& pager, F&& f) -> decltype(f()) {
  BKF_TRY(pager.read_lock());
  auto result = f();
  Status unlocked = pager.read_unlock();
  if (result.ok() && !unlocked.ok()) return std::move(unlocked).error();
  return result;
}

// Creates the schema tree in a transaction of its own, unless another
// connection has created it since this one read the header.
Status create_schema_tree(Pager& pager) {
  BKF_TRY(pager.begin());
  Status st;
  if (pager.schema_root() == 0) {
    auto tree = BTree::create(pager);
    if (tree.ok()) pager.set_schema_root(tree->root());
    else st = std::move(tree).error();
  }
  if (st.ok()) st = pager.commit();
  if (!st.ok()) (void)pager.rollback();
  return st;
}

}  // namespace

Result<catalog::SchemaState> Catalog::load(Pager& pager, PageId root) {
  catalog::SchemaState st;
  st.schema_root = root;
  Cursor cursor(pager, root);
  BKF_TRY(cursor.rewind());
  std::string payload;
  std::vector<Value> scratch;
  for (;;) {
    std::optional<std::int64_t> key = BKF_TRY(cursor.next_into(payload));
    if (!key) break;
    BKF_TRY(st.load_record(*key, payload, scratch));
  }
  BKF_TRY(st.finish_load());
  return st;
}

Result<Catalog> Catalog::open(Pager& pager) {
  // Nothing when the header names no schema tree yet.
  auto load_if_present = [&]() -> Result<std::optional<catalog::SchemaState>> {
    const PageId root = pager.schema_root();
    if (root == 0) return std::optional<catalog::SchemaState>();
    return std::optional<catalog::SchemaState>(BKF_TRY(load(pager, root)));
  };
  std::optional<catalog::SchemaState> loaded = BKF_TRY(under_read_lock(pager, load_if_present));
  if (!loaded) {
    BKF_TRY(create_schema_tree(pager));
    loaded = BKF_TRY(under_read_lock(pager, load_if_present));
    if (!loaded) return Error::corrupt("the database header names no schema tree");
  }
  Catalog cat;
  cat.state_ = std::move(*loaded);
  cat.loaded_at_ = pager.data_version();
  return cat;
}

const TableDef* Catalog::get(std::string_view name) const {
  auto it = state_.tables.find(name);
  return it == state_.tables.end() ? nullptr : &it->second;
}

const IndexDef* Catalog::get_index(std::string_view name) const {
  auto it = state_.indexes.find(name);
  return it == state_.indexes.end() ? nullptr : &it->second;
}

std::vector<const IndexDef*> Catalog::indexes_for(std::string_view table) const { return state_.indexes_of(table); }

void Catalog::snapshot() {
  if (saved_) return;
  saved_ = state_;
  saved_at_ = loaded_at_;
}

// Putting a snapshot back moves it, which cannot fail: a rollback's
// clean-up never runs out of memory half-way.
static_assert(std::is_nothrow_move_assignable_v<catalog::SchemaState>);

void Catalog::restore() noexcept {
  if (!saved_) return;
  state_ = std::move(*saved_);
  saved_.reset();
  unsure_ = false;
  ++generation_;
}

void Catalog::discard() noexcept { saved_.reset(); }

bool Catalog::is_stale(const Pager& pager) const { return unsure_ || pager.data_version() != loaded_at_; }

Status Catalog::reload(Pager& pager) {
  const PageId root = pager.schema_root();
  if (root == 0) return Error::corrupt("the database header names no schema tree");
  state_ = BKF_TRY(load(pager, root));
  loaded_at_ = pager.data_version();
  unsure_ = false;
  // A snapshot taken before another connection's commit was adopted belongs
  // to a transaction that has ended; it no longer describes the file.
  if (saved_ && saved_at_ != loaded_at_) saved_.reset();
  ++generation_;
  return {};
}

Status Catalog::refresh(Pager& pager) {
  if (is_stale(pager)) BKF_TRY(reload(pager));
  return {};
}

Result<std::int64_t> Catalog::new_schema_key(Pager& pager) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  BTree schema(pager, state_.schema_root);
  const std::optional<std::int64_t> last = BKF_TRY(schema.last_rowid());
  std::int64_t key = state_.next_schema_rowid;
  if (last) {
    if (*last == kMax) {
      return Error::corrupt("schema row key " + std::to_string(kMax) + " leaves no key for a new definition");
    }
    key = std::max(key, *last + 1);
  }
  // The key after this one must exist as well.
  if (key == kMax) return Error::corrupt("schema keys exhausted");
  return key;
}

Status Catalog::write_schema_row(Pager& pager, std::int64_t key, std::span<const Value> row) {
  snapshot();
  Status st = BTree(pager, state_.schema_root).insert(key, encode_record(row));
  if (!st.ok()) unsure_ = true;
  return st;
}

Status Catalog::delete_schema_row(Pager& pager, std::int64_t key) {
  snapshot();
  auto removed = BTree(pager, state_.schema_root).remove(key);
  if (removed.ok()) return {};
  unsure_ = true;
  return std::move(removed).error();
}

Status Catalog::free_tree_pages(Pager& pager, PageId root, TreeType type) {
  std::size_t named = 0;
  for (const auto& entry : state_.tables) named += entry.second.root == root;
  for (const auto& entry : state_.indexes) named += entry.second.root == root;
  if (named > 1 || root == state_.schema_root) return {};
  auto freed = free_tree(pager, root, type);
  if (freed.ok()) return {};
  unsure_ = true;
  return std::move(freed).error();
}

void Catalog::begin_change() {
  snapshot();
  ++generation_;
}

}  // namespace bkf
