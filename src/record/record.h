// Records: the byte encoding of one row, a sequence of values.
//
// Layout: a uvarint H (the header's length in bytes, its own bytes
// included), one uvarint serial type per column (see serial.h) filling the
// header up to byte H, then the column bodies packed without gaps from byte
// H on. H is the smallest T + k (k >= 1) whose uvarint takes exactly k bytes,
// T being the length of the serial types: T <= 126 gives H = T + 1, T = 127
// gives H = 129.
//
// Records are the payloads of table rows, the rows of the schema tree, what
// the virtual machine builds, reads column by column and rewrites on UPDATE, and
// the identity of a result row for DISTINCT and UNION (two rows are
// duplicates exactly when their records are equal bytes).
//
// Byte buffers are std::string (so a record can move into a Blob value) and
// byte slices std::string_view.
//
// Failures are all Corrupt with one of these messages:
//   "truncated uvarint"                 bytes end inside a varint, or the
//                                       record is empty
//   "uvarint overflow / overlong"       a tenth varint byte of 2 or more
//   "record header size exceeds buffer" H is larger than the record
//   "record body exceeds buffer"        a column body runs past the end
//   "record body length overflow"       adding up body offsets overflows
//   "float body must be 8 bytes"        a type-7 body of another length
//   "reserved serial type"              serial type 10 or 11 decoded
//   "text body is not valid UTF-8"      a text body that is not strict UTF-8
// Encoding cannot fail. Bytes after the last body are ignored by all readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "record/serial.h"
#include "record/utf8.h"
#include "record/value.h"
#include "record/varint.h"

namespace bkf {

// Header length H for serial types taking t bytes in total.
std::size_t record_header_size(std::uint64_t t) noexcept;

// Empties out (keeping its capacity) and writes the record of values into it.
// Two passes: the first sizes the record, the second writes header and
// bodies in place, so nothing is allocated once out is large enough. out must
// not be the buffer of one of the values.
void encode_record_into(std::string& out, std::span<const Value> values);

// The record of values in a new buffer.
std::string encode_record(std::span<const Value> values);

// Every column the header lists, in order, whatever the number of columns of
// the row's table is now.
Result<std::vector<Value>> decode_record(std::string_view record);
// The same into a caller's vector (resized to the column count), reusing its
// values' buffers; record must not point into those values.
Status decode_record_into(std::string_view record, std::vector<Value>& out);

// Column i (from 0) alone, or Null when the header lists fewer than i + 1
// columns. Reads the header up to column i and that one body; a bad body in
// another column goes unnoticed. To read several columns of one row, use
// RecordColumns, which does not walk the header again for each.
Result<Value> decode_column(std::string_view record, std::size_t i);
Status decode_column_into(std::string_view record, std::size_t i, Value& out);

// Reads columns of one record on demand. The first read walks the header
// once and keeps every column's serial type and body offset, so reading k
// columns of a row costs one header walk plus O(k); a row whose header bytes
// repeat the previous row's (the common case in a table) takes the offsets
// over without walking. One object serves a whole scan: reset() it for
// every row; its storage is kept, so no row allocates once it has grown to
// the widest row.
//
// Results match decode_column exactly, including which damage is noticed.
class RecordColumns {
 public:
  RecordColumns() = default;

  // Starts on a new record. The bytes must stay valid and unchanged until the
  // next reset; nothing is read yet.
  void reset(std::string_view record) noexcept {
    rec_ = record;
    walked_ = false;
  }
  std::string_view record() const noexcept { return rec_; }

  // Column i into out, reusing out's buffer; Null past the header's last.
  Status read_into(std::size_t i, Value& out) {
    if (read_fast(i, out)) return {};
    return read_other(i, out);
  }
  // The common case of read_into without building a Status: true when
  // column i was read into out (a number, a blob or valid text lying within
  // the record); false when read_into must decide, out then unchanged.
  [[gnu::always_inline]] bool read_fast(std::size_t i, Value& out) {
    if (!walked_) walk();
    if (i >= ncols_) return false;
    const Col& c = cols_[i];
    const std::uint64_t len = serial::body_len(c.type);
    if (c.offset > rec_.size() || len > rec_.size() - c.offset) return false;
    if (c.type <= 9) {
      serial::decode_number_body(c.type, ubytes(rec_) + c.offset, out);
      return true;
    }
    if (c.type < 12) return false;
    std::string_view b(rec_.data() + c.offset, static_cast<std::size_t>(len));
    if (c.type % 2 == 0) {
      out.set_blob(b);
      return true;
    }
    if (!is_valid_utf8(b)) return false;
    out.set_text(b);
    return true;
  }
  Result<Value> read(std::size_t i);

  // Number of columns the header lists (walks the whole header).
  Result<std::size_t> column_count();

 private:
  struct Col {
    std::uint64_t type;
    std::uint64_t offset;
  };
  // Why a walk of the header stopped before its end.
  enum class Stop : std::uint8_t { None, Truncated, Overlong, HeaderTooBig, LengthOverflow };

  // Walks the whole header once per record, as far as it is readable: the
  // columns before a fault read normally, and a column at or after it gives
  // the error a column-by-column walk would have met on the way.
  void walk();
  // Headers longer than this are walked every time rather than remembered.
  static constexpr std::size_t kMaxReusedHeader = 256;
  Status read_other(std::size_t i, Value& out);
  Error stop_error() const;

  std::string_view rec_;
  bool walked_ = false;
  Stop stop_ = Stop::None;
  std::size_t ncols_ = 0;   // columns walked: the first ncols_ entries of cols_
  std::vector<Col> cols_;  // storage kept from record to record
  // The header bytes of the last record whose walk read its whole header
  // without a fault (empty when there is none), and its column count: cols_
  // still describes that header until the next walk that reads another.
  std::string header_;
  std::size_t header_cols_ = 0;
};

// Builds in out a record of exactly values.size() columns. For column i with
// keep[i] set, the old record's column i is carried over byte for byte (its
// serial type rewritten as a shortest varint, its body copied undecoded), or
// Null when the old record has no column i; otherwise values[i] is encoded.
// Old columns beyond values.size() are dropped. keep must have at least
// values.size() flags (fewer is a programming error). out must not alias old.
// On failure (old is malformed: Corrupt) the bytes left in out are garbage.
Status splice_record_into(std::string& out, std::string_view old, std::span<const Value> values,
                          std::span<const bool> keep);
Status splice_record_into(std::string& out, std::string_view old, std::span<const Value> values,
                          const std::vector<bool>& keep);

}  // namespace bkf
