// Encoding of the control record and the structural check of node blocks.
#include "cbt/node_format.h"

#include <cstring>

namespace recbase::cbt {

namespace {

uint16_t parity_of(const uint8_t *in) {
  uint16_t x = 0;
  for (int off = 0; off < 24; off += 2) x ^= get_le16(in + off);
  return x;
}

}  // namespace

void encode_control(ControlRecord &rec, uint8_t *out) {
  std::memset(out, 0, kControlSize);
  put_le16(out + 0, static_cast<uint16_t>(rec.block_size));
  put_le32(out + 2, rec.root);
  put_le32(out + 6, rec.last_block);
  put_le32(out + 10, rec.first_leaf);
  put_le32(out + 14, rec.last_leaf);
  put_le32(out + 18, rec.free_head);
  put_le16(out + 22, static_cast<uint16_t>(rec.depth));
  rec.parity = parity_of(out);
  put_le16(out + 24, rec.parity);
  put_le16(out + 26, rec.stamp);
  put_le32(out + 28, rec.change_counter);
  put_le32(out + 32, rec.key_count);
}

ControlRecord decode_control(const uint8_t *in) {
  ControlRecord rec;
  rec.block_size = get_le16s(in + 0);
  rec.root = get_le32(in + 2);
  rec.last_block = get_le32(in + 6);
  rec.first_leaf = get_le32(in + 10);
  rec.last_leaf = get_le32(in + 14);
  rec.free_head = get_le32(in + 18);
  rec.depth = get_le16s(in + 22);
  rec.parity = get_le16(in + 24);
  rec.stamp = get_le16(in + 26);
  rec.change_counter = get_le32(in + 28);
  rec.key_count = get_le32(in + 32);
  return rec;
}

bool control_parity_ok(const uint8_t *in) {
  return (parity_of(in) ^ get_le16(in + 24)) == 0;
}

void Node::init_leaf(BlockNo left, BlockNo right) {
  set_low_path(kLeafMark);
  set_left(left);
  set_right(right);
  set_count(0);
  put_le16(d_ + 14, static_cast<uint16_t>(bs_));  // closed
}

void Node::init_interior(uint32_t low_path, BlockNo left, BlockNo right,
                         int32_t count) {
  set_low_path(low_path);
  set_left(left);
  set_right(right);
  set_count(count);
  put_le16(d_ + 14, static_cast<uint16_t>(bs_));  // closed
}

const char *check_node_layout(const uint8_t *data, int32_t block_size) {
  Node node(const_cast<uint8_t *>(data), block_size);
  const int32_t n = node.count();
  if (node.unused()) {
    // An unused block has no entries. A node made by a split holds no child
    // at all (entry_count -1) until its first child arrives moments later;
    // its low_path word is 0 meanwhile.
    if (n == 0) return nullptr;
    if (n == -1 && get_le16s(data + 14) == block_size) return nullptr;
    return "unused block with entries";
  }
  const int32_t e = node.entry_size();
  const int32_t min_count = node.leaf() ? 0 : -1;
  if (n < min_count || n > (block_size - kNodeHeader) / e) {
    return "entry_count out of range";
  }
  // The field as stored: an open leaf's mark reads as a negative start.
  const int32_t start = get_le16s(data + 14);
  const int32_t used = n > 0 ? n : 0;
  if (start < kNodeHeader + used * e || start > block_size) {
    return "key_area_start out of range";
  }
  if (n <= 0) {
    return start == block_size ? nullptr : "key bytes in a node without keys";
  }
  int32_t next = start;  // where the next unshared key must begin
  for (int32_t i = 0; i < n; ++i) {
    const int32_t off = node.key_off(i);
    const int32_t len = node.key_len(i);
    if (len < 0) return "negative key length";
    if (off == next) {
      // A text of its own, right after the previous one.
      if (len > block_size - off) return "key text past the end of the block";
      next = off + len;
      continue;
    }
    // Otherwise it must share the previous entry's text exactly.
    if (i == 0 || off != node.key_off(i - 1) || len != node.key_len(i - 1)) {
      return "key text out of entry order";
    }
  }
  return next == block_size ? nullptr : "key text does not end the block";
}

}  // namespace recbase::cbt
