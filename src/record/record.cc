#include "record/record.h"

#include <cassert>
#include <cstring>

#include "record/serial.h"
#include "record/varint.h"

namespace bkf {

namespace {

Error header_too_big() { return Error::corrupt("record header size exceeds buffer"); }

// Whether n bytes at a and b are equal; short runs (record headers) are
// compared in a few word loads rather than through a library call.
inline bool equal_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
  auto load64 = [](const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  auto load32 = [](const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
  };
  if (n >= 8 && n <= 16) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  if (n >= 4 && n < 8) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  if (n < 4) {
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  return std::memcmp(a, b, n) == 0;
}
Error body_too_big() { return Error::corrupt("record body exceeds buffer"); }
Error length_overflow() { return Error::corrupt("record body length overflow"); }

// Walks the serial types of a record's header. Every reader uses it, so the
// header is interpreted in one place.
class HeaderWalk {
 public:
  // Reads and checks H.
  Status start(std::string_view rec) {
    p_ = ubytes(rec);
    size_ = rec.size();
    if (size_ == 0) return varint_error(kVarintTruncated);
    std::uint64_t h;
    int n = get_uvarint(p_, size_, h);
    if (n <= 0) return varint_error(n);
    if (h > size_) return header_too_big();
    pos_ = static_cast<std::size_t>(n);
    // A header size below its own varint's length leaves no room for types.
    end_ = h < pos_ ? pos_ : static_cast<std::size_t>(h);
    offset_ = h;
    return {};
  }

  // The next column's serial type and body offset: true, or false when the
  // header has no more types. A varint may use only the bytes before H.
  // The offset of every column is an exact sum of the earlier body lengths;
  // a sum that overflows is reported when a column needs it.
  Result<bool> next(std::uint64_t& type, std::uint64_t& offset) {
    if (pos_ >= end_) return false;
    int n = get_uvarint(p_ + pos_, end_ - pos_, type);
    if (n <= 0) return varint_error(n);
    if (overflowed_) return length_overflow();
    pos_ += static_cast<std::size_t>(n);
    offset = offset_;
    if (__builtin_add_overflow(offset_, serial::body_len(type), &offset_)) overflowed_ = true;
    return true;
  }

  std::size_t pos() const { return pos_; }
  std::size_t end() const { return end_; }
  std::uint64_t offset() const { return offset_; }
  bool overflowed() const { return overflowed_; }

 private:
  const std::uint8_t* p_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint64_t offset_ = 0;
  bool overflowed_ = false;
};

// Checks that a body of len bytes at offset lies inside a record of size
// bytes and returns it.
Result<std::string_view> body_slice(std::string_view rec, std::uint64_t offset, std::uint64_t len) {
  std::uint64_t end;
  if (__builtin_add_overflow(offset, len, &end)) return length_overflow();
  if (offset > rec.size() || len > rec.size() - offset) return body_too_big();
  return rec.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(len));
}

// Writes the header size varint, returning a pointer just past it.
std::uint8_t* start_record(std::string& out, std::uint64_t types_len, std::size_t body_len) {
  std::size_t h = record_header_size(types_len);
  out.clear();
  out.resize(h + body_len);
  auto* p = reinterpret_cast<std::uint8_t*>(out.data());
  return p + put_uvarint(p, h);
}

template <class Flags>
Status splice_impl(std::string& out, std::string_view old, std::span<const Value> values,
                   const Flags& keep) {
  assert(keep.size() >= values.size());
  const std::size_t n = values.size();

  // Pass 1: check the old header and bodies that are walked, size the result.
  HeaderWalk walk;
  BKF_TRY(walk.start(old));
  std::uint64_t types_len = 0;
  std::size_t body_total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t type = 0, off = 0;
    bool has_old = BKF_TRY(walk.next(type, off));
    std::string_view body;
    if (has_old) body = BKF_TRY(body_slice(old, off, serial::body_len(type)));
    if (!keep[i]) {
      types_len += uvarint_len(serial::type_of(values[i]));
      body_total += serial::value_body_len(values[i]);
    } else if (has_old) {
      types_len += uvarint_len(type);
      body_total += body.size();
    } else {
      types_len += 1;  // Null
    }
  }

  // Pass 2: write; nothing can fail any more.
  std::size_t header_len = record_header_size(types_len);
  std::uint8_t* hp = start_record(out, types_len, body_total);
  std::uint8_t* bp = reinterpret_cast<std::uint8_t*>(out.data()) + header_len;
  walk = HeaderWalk();
  (void)walk.start(old);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t type = 0, off = 0;
    Result<bool> more = walk.next(type, off);
    bool has_old = more.ok() && *more;
    if (!keep[i]) {
      hp += put_uvarint(hp, serial::type_of(values[i]));
      serial::write_body(bp, values[i]);
      bp += serial::value_body_len(values[i]);
    } else if (has_old) {
      hp += put_uvarint(hp, type);
      std::size_t len = static_cast<std::size_t>(serial::body_len(type));
      if (len) std::memcpy(bp, old.data() + off, len);
      bp += len;
    } else {
      *hp++ = 0;
    }
  }
  assert(bp == reinterpret_cast<std::uint8_t*>(out.data()) + out.size());
  return {};
}

}  // namespace

std::size_t record_header_size(std::uint64_t t) noexcept {
  for (std::size_t k = 1;; ++k) {
    if (uvarint_len(t + k) == k) return static_cast<std::size_t>(t + k);
  }
}

void encode_record_into(std::string& out, std::span<const Value> values) {
  std::uint64_t types_len = 0;
  std::size_t body_total = 0;
  for (const Value& v : values) {
    types_len += uvarint_len(serial::type_of(v));
    body_total += serial::value_body_len(v);
  }
  std::size_t header_len = record_header_size(types_len);
  std::uint8_t* hp = start_record(out, types_len, body_total);
  std::uint8_t* bp = reinterpret_cast<std::uint8_t*>(out.data()) + header_len;
  for (const Value& v : values) {
    hp += put_uvarint(hp, serial::type_of(v));
    serial::write_body(bp, v);
    bp += serial::value_body_len(v);
  }
}

std::string encode_record(std::span<const Value> values) {
  std::string out;
  encode_record_into(out, values);
  return out;
}

Status decode_record_into(std::string_view record, std::vector<Value>& out) {
  HeaderWalk walk;
  BKF_TRY(walk.start(record));
  std::size_t n = 0;
  std::uint64_t type = 0, off = 0;
  while (BKF_TRY(walk.next(type, off))) {
    std::string_view body = BKF_TRY(body_slice(record, off, serial::body_len(type)));
    if (n == out.size()) out.emplace_back();
    if (type <= 9) serial::decode_number_body(type, ubytes(body), out[n]);
    else BKF_TRY(serial::decode_body_into(type, body, out[n]));
    ++n;
  }
  out.resize(n);
  return {};
}

Result<std::vector<Value>> decode_record(std::string_view record) {
  std::vector<Value> out;
  BKF_TRY(decode_record_into(record, out));
  return out;
}

Status decode_column_into(std::string_view record, std::size_t i, Value& out) {
  HeaderWalk walk;
  BKF_TRY(walk.start(record));
  std::uint64_t type = 0, off = 0;
  for (std::size_t k = 0; k <= i; ++k) {
    if (!BKF_TRY(walk.next(type, off))) {
      out.set_null();
      return {};
    }
  }
  std::string_view body = BKF_TRY(body_slice(record, off, serial::body_len(type)));
  if (type <= 9) {
    serial::decode_number_body(type, ubytes(body), out);
    return {};
  }
  return serial::decode_body_into(type, body, out);
}

Result<Value> decode_column(std::string_view record, std::size_t i) {
  Value v;
  BKF_TRY(decode_column_into(record, i, v));
  return v;
}

void RecordColumns::walk() {
  walked_ = true;
  const std::uint8_t* p = ubytes(rec_);
  const std::size_t size = rec_.size();
  // Rows of a table mostly repeat the header of the row before: the same
  // header bytes give the same columns at the same offsets, so they are
  // taken over from the last clean walk without walking again.
  const std::size_t same = header_.size();
  if (same != 0 && size >= same && equal_bytes(p, ubytes(header_), same)) {
    stop_ = Stop::None;
    ncols_ = header_cols_;
    return;
  }
  header_.clear();
  stop_ = Stop::None;
  ncols_ = 0;
  auto varint_stop = [](int code) { return code == kVarintOverlong ? Stop::Overlong : Stop::Truncated; };
  if (size == 0) {
    stop_ = Stop::Truncated;
    return;
  }
  std::uint64_t h;
  int n = get_uvarint(p, size, h);
  if (n <= 0) {
    stop_ = varint_stop(n);
    return;
  }
  if (h > size) {
    stop_ = Stop::HeaderTooBig;
    return;
  }
  std::size_t pos = static_cast<std::size_t>(n);
  // A header size below its own varint's length leaves no room for types.
  const std::size_t end = h < pos ? pos : static_cast<std::size_t>(h);
  // cols_ only grows, so its storage is kept from record to record.
  Col* out = cols_.data();
  std::size_t room = cols_.size();
  std::size_t k = 0;
  std::uint64_t offset = h;
  bool overflowed = false;
  while (pos < end) {
    std::uint64_t type;
    if (p[pos] < 0x80) {
      type = p[pos++];
    } else {
      int m = get_uvarint_multi(p + pos, end - pos, type);
      if (m <= 0) {
        stop_ = varint_stop(m);
        break;
      }
      pos += static_cast<std::size_t>(m);
    }
    // The previous column's end overflowed: this column has no offset.
    if (overflowed) {
      stop_ = Stop::LengthOverflow;
      break;
    }
    if (k == room) {
      cols_.resize(room < 8 ? 16 : 2 * room);
      out = cols_.data();
      room = cols_.size();
    }
    out[k].type = type;
    out[k].offset = offset;
    ++k;
    overflowed = __builtin_add_overflow(offset, serial::body_len(type), &offset);
  }
  ncols_ = k;
  // Only a walk that read the whole header without a fault is reused; what
  // it found depends on the header bytes alone (H and the serial types), as
  // long as the record holds all of them, which the test above requires.
  if (stop_ == Stop::None && end <= kMaxReusedHeader) {
    header_.assign(reinterpret_cast<const char*>(p), end);
    header_cols_ = k;
  }
}

Error RecordColumns::stop_error() const {
  switch (stop_) {
    case Stop::Overlong: return varint_error(kVarintOverlong);
    case Stop::HeaderTooBig: return header_too_big();
    case Stop::LengthOverflow: return length_overflow();
    default: return varint_error(kVarintTruncated);
  }
}

Status RecordColumns::read_other(std::size_t i, Value& out) {
  if (i >= ncols_) {
    if (stop_ != Stop::None) return stop_error();
    out.set_null();
    return {};
  }
  const Col& c = cols_[i];
  std::string_view body = BKF_TRY(body_slice(rec_, c.offset, serial::body_len(c.type)));
  return serial::decode_body_into(c.type, body, out);
}

Result<Value> RecordColumns::read(std::size_t i) {
  Value v;
  BKF_TRY(read_into(i, v));
  return v;
}

Result<std::size_t> RecordColumns::column_count() {
  if (!walked_) walk();
  if (stop_ != Stop::None) return stop_error();
  return ncols_;
}

Status splice_record_into(std::string& out, std::string_view old, std::span<const Value> values,
                          std::span<const bool> keep) {
  return splice_impl(out, old, values, keep);
}

Status splice_record_into(std::string& out, std::string_view old, std::span<const Value> values,
                          const std::vector<bool>& keep) {
  return splice_impl(out, old, values, keep);
}

}  // namespace bkf
