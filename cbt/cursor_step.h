// The common case of a position's calls on a file that only this process
// changes: while the cursor's snapshot equals the file's last seen change
// counter, its key copy, item, block and index are exactly the tree's, so a
// key or item is answered from the cursor and a step within its leaf is a
// copy of the neighbouring entry. Each helper answers only that case and
// says so; anything else takes the general path of the exported call.
#ifndef RECBASE_CBT_CURSOR_STEP_H
#define RECBASE_CBT_CURSOR_STEP_H

#include <cstdint>
#include <cstring>

#include "cbt/tree.h"

namespace recbase::cbt {

// Copies n key bytes (n >= 0; the two areas do not overlap). A walk copies
// every key twice (leaf to cursor, cursor to caller), and most keys are
// short: up to 16 bytes as two loads and stores of the widest width that
// fits, overlapping in the middle, without a call.
inline void copy_key_bytes(uint8_t *to, const uint8_t *from, int32_t n) {
  if (n > 16) {
    std::memcpy(to, from, static_cast<size_t>(n));
  } else if (n >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else {
    for (int32_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// The file of a handle whose position is known to be current: an unshared
// file whose change counter still stands at the position's snapshot, and a
// position on an entry. Null: take the general path.
inline const CbFile *current_file(CbTree *tree) {
  const CbFile *f = trusted_file(tree);
  if (f == nullptr || f->shared) return nullptr;
  const Cursor &cur = tree->pos;
  if (cur.state != kOnEntry || cur.snapshot != f->last_seen) return nullptr;
  return f;
}

// The data of the position's leaf when the pool holds it, checked: the
// buffer that a step last found for its block, while no buffer of the file
// has been dropped since (the buffer then still holds that block, and a
// buffer is checked once per load), else the pool's answer, kept for the
// next step. Null: not held, or not checked yet. Nothing is pinned or moved
// in the LRU order.
inline const uint8_t *held_leaf(const CbFile *f, Cursor &cur) {
  LruFile *const lru = f->lru;
  if (cur.leaf != nullptr && cur.leaf_block == cur.block &&
      cur.leaf_drops == lru->drops) {
    return cur.leaf;
  }
  const uint8_t *data = peek_block(lru, cur.block);
  if (data == nullptr || block_checked(data) == 0) return nullptr;
  cur.leaf = data;
  cur.leaf_block = cur.block;
  cur.leaf_drops = lru->drops;
  return data;
}

// The common step of a walk, without the general machinery: on a file that
// only this process changes, a position whose snapshot is current stands
// exactly where it was left, and when its leaf is still in the pool (and
// checked) and holds a next (dir 1) or previous (dir -1) entry whose key fits
// the cursor's copy, the step is a copy of that entry. Nothing is pinned, so
// nothing can fail and the buffer is not moved in the LRU order. false: take
// the general path (nothing but the kept leaf was changed). The key is
// copied last, so that a long key's call to memcpy leaves nothing to keep
// across it.
inline bool step_within_leaf(CbTree *tree, int32_t dir, int32_t *item) {
  const CbFile *f = current_file(tree);
  if (f == nullptr) return false;
  Cursor &cur = tree->pos;
  const uint8_t *data = held_leaf(f, cur);
  if (data == nullptr) return false;
  const Node node(const_cast<uint8_t *>(data), f->cr.block_size);
  const int32_t i = cur.index + dir;
  if (!node.leaf() || i < 0 || i >= node.count()) return false;
  const int32_t len = node.key_len(i);
  if (cur.key == nullptr || len > cur.cap) return false;
  const int32_t found = node.item(i);
  const uint8_t *from = node.key(i);  // read before the stores below
  cur.key_len = static_cast<int16_t>(len);
  cur.item = found;
  cur.index = i;
  if (item != nullptr) *item = found;
  copy_key_bytes(cur.key, from, len);
  return true;
}

// The position of a handle whose key copy is known to be current (see
// current_file). Null: take the general path.
inline const Cursor *current_position(CbTree *tree) {
  return current_file(tree) != nullptr ? &tree->pos : nullptr;
}

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_CURSOR_STEP_H
