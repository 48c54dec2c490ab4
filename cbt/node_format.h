// The B-tree file format. One tree lives in one file: an array of blocks of
// block_size bytes (92..32767, fixed at create). Block n occupies bytes
// n * block_size .. (n + 1) * block_size - 1. All integers are little-endian,
// with no padding. Block numbers are unsigned 32-bit; block 0 is never a
// node, so 0 means "none" in every block-number field. The file holds blocks
// 0..last_block: a block added at the end is written at once, so the file
// length is (last_block + 1) * block_size (with a rollback journal, from
// the next flush point on: cbt/blocks.cpp).
//
// Block 0: the control record, then the lock region.
//
//   off  width  field           meaning
//   0    2 s    block_size      bytes per block
//   2    4      root            root node; 0 = empty tree
//   6    4      last_block      highest block that exists (0 in a new file)
//   10   4      first_leaf      leftmost leaf (start of key order)
//   14   4      last_leaf       rightmost leaf (end of key order)
//   18   4      free_head       top of the stack of unused blocks; 0 = none
//   22   2 s    depth           levels; 1 = the root is a leaf; 0 = empty
//   24   2      parity          XOR of the 16-bit words at 0, 2, .., 22
//   26   2      stamp           300, written at create, never checked
//   28   4      change_counter  +1 at the end of every change (wraps)
//   32   4      key_count       +1 per insert, -1 per delete attempt
//   36.. block_size-1           lock region: zero, never rewritten; shared
//                               users lock bytes of it, its contents unused
//
// The XOR of the 13 words at offsets 0..24 (parity included) is 0 in a sound
// record; offsets 26..35 are not covered.
//
// Node blocks (every block but 0):
//
//   off  width  field           meaning
//   0    4      low_path        0xFFFFFFFF: leaf. Interior: the child holding
//                               every pair ordered below entry 0
//   4    4      left_sibling    previous node on the same level; 0 = none
//   8    4      right_sibling   next node on the same level; 0 = none
//   12   2 s    entry_count     entries; -1 in an interior node that has no
//                               child at all (only inside one change)
//   14   2 s    key_area_start  offset of the first key byte; block_size when
//                               the node holds no key bytes
//   16   ..     entry array, entry_count entries in ascending pair order
//   ..          free space
//   key_area_start .. block_size-1: key text, in entry order, no gaps
//
// In the pool only, a leaf may be "open": its text, still in entry order
// without gaps, ends short of the block's end, at text_end, so that keys
// appended after the last entry are written there without moving the rest
// of the text. An open leaf has bit 15 of key_area_start set (no stored
// value has it: the field is at most 32767) and text_end in the 16-bit word
// at block_size - 2; the bytes from text_end up to that word are unused. The
// pool closes a leaf (moves its text up to end the block) before it writes
// the block, so no file holds an open leaf, and check_node_layout, which
// sees every block read, refuses one.
//
//   +--------+------------------+---------------+----------------------+
//   | header | entry 0 | 1 | .. |   free space  | key 0 | key 1 | .. |  |
//   +--------+------------------+---------------+----------------------+
//   0        16                                  key_area_start  block_size
//
//   leaf entry (8 bytes):      0: key offset (2 s)  2: key length (2 s)
//                              4: item (4)
//   interior entry (12 bytes): the same, then 8: child (4), the subtree of
//                              pairs >= this entry and < the next entry
//
// Key text: entry 0's key starts at key_area_start, each next stored key
// where the previous ends, the last ends at block_size. Neighbouring entries
// whose keys compare equal under the tree's compare function and have the
// same length share one stored copy (equal offsets): a run of equal keys
// that differ only in item stores the key once, with the bytes of the first
// one stored. Requiring equal lengths keeps every entry's text inside the
// block even for a compare function that equates keys of different lengths.
//
// Unused blocks (the free chain, a stack from free_head): low_path 0,
// left_sibling = next unused block (0 ends the chain), entry_count 0, bytes
// 16..block_size-1 zero; right_sibling and key_area_start keep old values.
//
// Pair order: by key under the compare function, then by item as a signed
// 32-bit number. Interior entries separate their children: every pair
// reached through an entry's child is >= that entry and < the next entry;
// every pair reached through low_path is < entry 0.
#ifndef RECBASE_CBT_NODE_FORMAT_H
#define RECBASE_CBT_NODE_FORMAT_H

#include <cstdint>
#include <cstring>

#include "frame/bytes.h"

namespace recbase::cbt {

using BlockNo = uint32_t;

constexpr int32_t kControlSize = 36;
constexpr int32_t kLockRegionStart = 36;
constexpr int32_t kMinBlockSize = 92;
constexpr int32_t kMaxBlockSize = 32767;
constexpr int32_t kDefaultBlockSize = 512;
constexpr uint16_t kStamp = 300;
// A key may be at most (pool buffer size - kKeyOverhead) bytes: with buffers
// as large as the block, exactly one interior entry in an empty node.
constexpr int32_t kKeyOverhead = 28;
// No sound tree is deeper: even with one entry per node a file of 2^31 bytes
// holds fewer than 2^25 blocks.
constexpr int32_t kMaxDepth = 64;

constexpr uint32_t kLeafMark = 0xFFFFFFFFu;
constexpr int32_t kNodeHeader = 16;
constexpr int32_t kLeafEntry = 8;
constexpr int32_t kInteriorEntry = 12;

// The control record as held in memory.
struct ControlRecord {
  int16_t block_size = 0;
  uint32_t root = 0;
  uint32_t last_block = 0;
  uint32_t first_leaf = 0;
  uint32_t last_leaf = 0;
  uint32_t free_head = 0;
  int16_t depth = 0;
  uint16_t parity = 0;
  uint16_t stamp = kStamp;
  uint32_t change_counter = 0;
  uint32_t key_count = 0;
};

// Writes the 36 bytes of the record, recomputing its parity (which is also
// stored back into rec).
void encode_control(ControlRecord &rec, uint8_t *out);
// Reads the 36 bytes as they stand (parity not checked).
ControlRecord decode_control(const uint8_t *in);
// True when the XOR of the words at 0..24 is 0.
bool control_parity_ok(const uint8_t *in);

// The field readers below are a load or two each and sit on every search,
// step and change; GCC's link-time inliner left some of them as calls in
// hot loops, so they are always inlined.
#if defined(__GNUC__)
#define RB_NODE_INLINE [[gnu::always_inline]]
#else
#define RB_NODE_INLINE
#endif

// A view of a node held in a pool buffer. It reads and writes the fields in
// place; it owns nothing.
class Node {
 public:
  // The open mark in key_area_start.
  static constexpr uint16_t kOpenText = 0x8000;

  Node() = default;
  Node(uint8_t *data, int32_t block_size) : d_(data), bs_(block_size) {}

  uint8_t *data() const { return d_; }
  int32_t block_size() const { return bs_; }

  RB_NODE_INLINE uint32_t low_path() const { return get_le32(d_); }
  void set_low_path(uint32_t v) { put_le32(d_, v); }
  RB_NODE_INLINE BlockNo left() const { return get_le32(d_ + 4); }
  void set_left(BlockNo v) { put_le32(d_ + 4, v); }
  RB_NODE_INLINE BlockNo right() const { return get_le32(d_ + 8); }
  void set_right(BlockNo v) { put_le32(d_ + 8, v); }
  RB_NODE_INLINE int32_t count() const { return get_le16s(d_ + 12); }
  void set_count(int32_t v) { put_le16(d_ + 12, static_cast<uint16_t>(v)); }
  RB_NODE_INLINE int32_t key_start() const {
    return get_le16(d_ + 14) & ~kOpenText;
  }
  // Keeps the leaf open or closed as it is.
  void set_key_start(int32_t v) {
    put_le16(d_ + 14,
             static_cast<uint16_t>(v | (get_le16(d_ + 14) & kOpenText)));
  }
  // An open leaf's text ends at text_end (below block_size - 1); a closed
  // node's at block_size.
  RB_NODE_INLINE bool text_open() const {
    return (get_le16(d_ + 14) & kOpenText) != 0;
  }
  RB_NODE_INLINE int32_t text_end() const {
    return text_open() ? get_le16(d_ + bs_ - 2) : bs_;
  }
  // Sets where the text ends: block_size closes the leaf; any other end
  // (at most block_size - 2, past the text) opens it.
  void set_text_end(int32_t end) {
    const uint16_t start = get_le16(d_ + 14) & ~kOpenText;
    if (end == bs_) {
      put_le16(d_ + 14, start);
    } else {
      put_le16(d_ + 14, start | kOpenText);
      put_le16(d_ + bs_ - 2, static_cast<uint16_t>(end));
    }
  }

  RB_NODE_INLINE bool leaf() const { return low_path() == kLeafMark; }
  bool unused() const { return low_path() == 0; }
  RB_NODE_INLINE int32_t entry_size() const { return leaf() ? kLeafEntry : kInteriorEntry; }
  // Leaf with no entries, or interior node with no child at all.
  bool empty() const { return leaf() ? count() == 0 : count() == -1; }

  RB_NODE_INLINE uint8_t *entry(int32_t i) const {
    return d_ + kNodeHeader + i * entry_size();
  }
  RB_NODE_INLINE int32_t key_off(int32_t i) const { return get_le16s(entry(i)); }
  RB_NODE_INLINE int32_t key_len(int32_t i) const { return get_le16s(entry(i) + 2); }
  RB_NODE_INLINE const uint8_t *key(int32_t i) const { return d_ + key_off(i); }
  RB_NODE_INLINE int32_t item(int32_t i) const {
    return static_cast<int32_t>(get_le32(entry(i) + 4));
  }
  RB_NODE_INLINE BlockNo child(int32_t i) const { return get_le32(entry(i) + 8); }
  // Child at position i, where -1 is the low_path child.
  BlockNo child_at(int32_t i) const { return i < 0 ? low_path() : child(i); }

  void set_entry(int32_t i, int32_t off, int32_t len, int32_t item) {
    uint8_t *e = entry(i);
    put_le16(e, static_cast<uint16_t>(off));
    put_le16(e + 2, static_cast<uint16_t>(len));
    put_le32(e + 4, static_cast<uint32_t>(item));
  }
  void set_key_off(int32_t i, int32_t off) {
    put_le16(entry(i), static_cast<uint16_t>(off));
  }
  void set_child(int32_t i, BlockNo c) { put_le32(entry(i) + 8, c); }
  // Adds delta to the key offsets of entries 0..n-1 (their text moved).
  void shift_key_offs(int32_t n, int32_t delta) {
    shift_key_offs_from(0, n, delta);
  }
  // The same for the n entries from entry `first` on.
  void shift_key_offs_from(int32_t first, int32_t n, int32_t delta) {
    const int32_t e = entry_size();
    uint8_t *at = d_ + kNodeHeader + first * e;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // On a little-endian machine the offset is a native 16-bit word at the
    // start of the entry. Entries go in groups of 16 bytes: one add of
    // 16-bit lanes, delta in the lanes of offsets and 0 in the others (two
    // leaf entries per group; four interior entries per three groups).
    typedef uint16_t Lanes __attribute__((vector_size(16)));
    const uint16_t d = static_cast<uint16_t>(delta);
    int32_t i = 0;
    if (e == kLeafEntry) {
      const Lanes add = {d, 0, 0, 0, d, 0, 0, 0};
      // Four groups per turn: the loop's own steps are then a quarter.
      for (; i + 8 <= n; i += 8, at += 8 * kLeafEntry) {
        add_lanes(at, add);
        add_lanes(at + 16, add);
        add_lanes(at + 32, add);
        add_lanes(at + 48, add);
      }
      for (; i + 2 <= n; i += 2, at += 2 * kLeafEntry) add_lanes(at, add);
    } else {
      const Lanes add0 = {d, 0, 0, 0, 0, 0, d, 0};
      const Lanes add1 = {0, 0, 0, 0, d, 0, 0, 0};
      const Lanes add2 = {0, 0, d, 0, 0, 0, 0, 0};
      for (; i + 4 <= n; i += 4, at += 4 * kInteriorEntry) {
        add_lanes(at, add0);
        add_lanes(at + 16, add1);
        add_lanes(at + 32, add2);
      }
    }
    for (; i < n; ++i, at += e) {
      uint16_t v;
      std::memcpy(&v, at, sizeof v);
      v = static_cast<uint16_t>(v + d);
      std::memcpy(at, &v, sizeof v);
    }
#else
    for (int32_t i = 0; i < n; ++i, at += e) {
      put_le16(at, static_cast<uint16_t>(get_le16s(at) + delta));
    }
#endif
  }

  // Makes the node an empty leaf or an interior node with the given fields.
  void init_leaf(BlockNo left, BlockNo right);
  void init_interior(uint32_t low_path, BlockNo left, BlockNo right,
                     int32_t count);

 private:
#if defined(__GNUC__)
  template <typename V>
  static void add_lanes(uint8_t *at, const V &add) {
    V v;
    std::memcpy(&v, at, sizeof v);
    v += add;
    std::memcpy(at, &v, sizeof v);
  }
#endif

  uint8_t *d_ = nullptr;
  int32_t bs_ = 0;
};

// Checks that a block read from disk can be worked on without touching
// anything outside it: entry_count within the block, the key area starting
// after the entry array, and every entry's text lying in the key area in
// entry order (each key right after the previous one, or sharing the
// previous one's text with the same length), the last ending at block_size.
// An unused block (low_path 0) passes when its entry_count is 0. Returns
// nullptr when sound, else a description of the first fault.
const char *check_node_layout(const uint8_t *data, int32_t block_size);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_NODE_FORMAT_H
