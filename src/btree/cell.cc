#include "btree/cell.h"

#include <cstring>

#include "record/varint.h"

namespace bkf::cell {

namespace {

Error past_end() { return Error::corrupt("cell runs past the end of its page"); }

// Reads one varint of a cell, failing with the varint errors.
inline Status read_varint(const std::uint8_t* p, std::size_t n, std::size_t& pos, std::uint64_t& v) {
  int len = get_uvarint(p + pos, n - pos, v);
  if (len <= 0) return varint_error(len);
  pos += static_cast<std::size_t>(len);
  return {};
}

// uvarint K then K bytes, starting at pos; returns the key.
Result<std::string_view> read_key(const std::uint8_t* p, std::size_t n, std::size_t pos) {
  std::uint64_t k;
  BKF_TRY(read_varint(p, n, pos, k));
  if (k > n - pos) return past_end();
  return std::string_view(reinterpret_cast<const char*>(p) + pos, static_cast<std::size_t>(k));
}

}  // namespace

Result<LeafHead> parse_leaf_head(const std::uint8_t* p, std::size_t n) {
  LeafHead h;
  std::size_t pos = 0;
  std::uint64_t z;
  // The common case of one-byte T and L is decoded inline.
  if (n >= 3 && p[0] < 0x80 && p[1] < 0x80) {
    h.total = p[0];
    h.local = p[1];
    pos = 2;
  } else {
    BKF_TRY(read_varint(p, n, pos, h.total));
    BKF_TRY(read_varint(p, n, pos, h.local));
  }
  BKF_TRY(read_varint(p, n, pos, z));
  h.rowid = zigzag_decode(z);
  h.head_len = pos;
  if (h.local > h.total) return Error::corrupt("cell keeps more payload than its total length");
  std::uint64_t rest = n - pos;
  if (h.local > rest || (h.total > h.local && rest - h.local < 4)) return past_end();
  return h;
}

Result<std::size_t> cell_len(std::uint8_t kind, const std::uint8_t* p, std::size_t n) {
  switch (kind) {
    case 2: {
      LeafHead h = BKF_TRY(parse_leaf_head(p, n));
      return h.cell_len();
    }
    case 1: {
      if (n < 4) return past_end();
      std::size_t pos = 4;
      std::uint64_t z;
      BKF_TRY(read_varint(p, n, pos, z));
      return pos;
    }
    case 4: {
      std::string_view k = BKF_TRY(read_key(p, n, 0));
      return static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(k.data()) - p) + k.size();
    }
    default: {
      if (n < 4) return past_end();
      std::string_view k = BKF_TRY(read_key(p, n, 4));
      return static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(k.data()) - p) + k.size();
    }
  }
}

Result<std::int64_t> interior_key(const std::uint8_t* p, std::size_t n) {
  if (n < 4) return past_end();
  std::size_t pos = 4;
  std::uint64_t z;
  BKF_TRY(read_varint(p, n, pos, z));
  return zigzag_decode(z);
}

Result<std::string_view> index_leaf_key(const std::uint8_t* p, std::size_t n) { return read_key(p, n, 0); }

Result<std::string_view> index_interior_key(const std::uint8_t* p, std::size_t n) {
  if (n < 4) return past_end();
  return read_key(p, n, 4);
}

void encode_leaf(std::string& out, std::int64_t rowid, std::uint64_t total, std::string_view local,
                 std::optional<std::uint32_t> overflow) {
  // The head is built on the stack, then the cell is sized once and filled.
  std::uint8_t head[3 * kMaxVarintLen];
  std::size_t h = put_uvarint(head, total);
  h += put_uvarint(head + h, local.size());
  h += put_uvarint(head + h, zigzag_encode(rowid));
  out.resize(h + local.size() + (overflow ? 4 : 0));
  auto* p = reinterpret_cast<std::uint8_t*>(out.data());
  std::memcpy(p, head, h);
  if (!local.empty()) std::memcpy(p + h, local.data(), local.size());
  if (overflow) put_u32(p + h + local.size(), *overflow);
}

void encode_interior(std::string& out, std::uint32_t child, std::int64_t key) {
  out.clear();
  std::uint8_t b[4];
  put_u32(b, child);
  out.append(reinterpret_cast<const char*>(b), 4);
  append_uvarint(out, zigzag_encode(key));
}

void encode_index_leaf(std::string& out, std::string_view key) {
  out.clear();
  append_uvarint(out, key.size());
  out.append(key);
}

void encode_index_interior(std::string& out, std::uint32_t child, std::string_view key) {
  out.clear();
  std::uint8_t b[4];
  put_u32(b, child);
  out.append(reinterpret_cast<const char*>(b), 4);
  append_uvarint(out, key.size());
  out.append(key);
}

}  // namespace bkf::cell
