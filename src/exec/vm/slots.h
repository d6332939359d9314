// The cursor slots of the virtual machine; internal to src/exec/vm.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/key_ranges.h"
#include "catalog/unique_probe.h"
#include "record/record.h"

namespace bkf::vm {

// One table cursor.
//
// `row` holds the record of the current row as the last read left it and
// `cols` remembers how far its header has been walked, so reading k columns
// of one row costs O(k). Three flags keep reads honest:
//   has_current  the cursor stands on a row (current is its id);
//   row_loaded   `row` holds that row's record (false after CursorSetRowid,
//                which sets a row id without reading the table);
//   row_read     the B-tree cursor's last read returned that row, so it may
//                be deleted or rewritten in place (false after a delete).
// Column and Rowid read Null whenever the data they would show is not there.
struct TableSlot {
  TableSlot(Pager& pager, PageId root_page) : cursor(pager, root_page), root(root_page) {}

  // What a new slot on root_page is, keeping the buffers (a machine that
  // runs again reuses its slots).
  void reopen(PageId root_page) {
    cursor.reopen(root_page);
    root = root_page;
    current = 0;
    has_current = row_loaded = row_read = null_row = false;
    cols.reset({});
    hint.clear();
    open = true;
  }

  Cursor cursor;
  PageId root;
  bool open = true;  // false between runs, until the program opens it again
  std::int64_t current = 0;
  bool has_current = false;
  bool row_loaded = false;
  bool row_read = false;
  bool null_row = false;  // reads as a row of Nulls (outer joins)
  std::string row;
  RecordColumns cols;
  AppendHint hint;      // kept between Inserts through this slot
  TreeScratch scratch;  // makes a run of inserts allocation-free

  void clear_position() noexcept {
    has_current = row_loaded = row_read = false;
  }
};

// One index cursor: the key it last read and whether that read found one.
struct IndexSlot {
  IndexSlot(Pager& pager, PageId root_page) : cursor(pager, root_page), root(root_page) {}

  void reopen(PageId root_page) {
    cursor.reopen(root_page);
    root = root_page;
    key.clear();
    valid = false;
    regions_known = false;
    open = true;
  }

  IndexCursor cursor;
  PageId root;
  bool open = true;  // false between runs, until the program opens it again
  std::string key;
  bool valid = false;
  TreeScratch scratch;
  // IdxProbe: the ranges of the latest probe (and its values), and which
  // regions (keyenc::region_bit) of the index's first column hold an entry,
  // found by the first probe after the slot was opened that skips empty ones.
  keyenc::ProbeRanges probe;
  std::vector<keyenc::ProbeValue> probe_values;
  std::uint8_t regions_with_entries = 0;
  bool regions_known = false;
  // The UNIQUE instructions' probe of this index, with its buffers.
  catalog::UniqueProbe unique;
};

}  // namespace bkf::vm
