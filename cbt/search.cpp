// Descent to a leaf, cursor loading and re-validation of positions.
#include "cbt/search.h"

#include <cstring>

#include "frame/alloc.h"

namespace recbase::cbt {

namespace {

void set_nowhere(Cursor &cur, int32_t state) {
  cur.state = state;
  cur.block = kNoBlock;
  cur.index = -1;
}

// A leaf reached by a walk must hold entries: the tree never keeps an empty
// leaf.
bool usable_leaf(const Node &node) { return node.leaf() && node.count() > 0; }

}  // namespace

int32_t reserve_key(Op &op, Cursor &cur, int32_t len) {
  if (cur.key != nullptr && cur.cap >= len) return 1;
  // The old copy is freed only once the new one exists, so a failure leaves
  // the cursor as it was.
  auto *fresh =
      static_cast<uint8_t *>(rb_malloc(static_cast<size_t>(len) + 16));
  if (fresh == nullptr) return op.fail_err(kErrNoMemory);
  rb_free(cur.key);
  cur.key = fresh;
  cur.cap = static_cast<int16_t>(len + 16);
  return 1;
}

void free_cursor(Cursor &cur) {
  rb_free(cur.key);
  cur.key = nullptr;
  cur.cap = 0;
}

int32_t load_entry(Op &op, Cursor &cur, const Node &leaf, int32_t i) {
  const int32_t len = leaf.key_len(i);
  if (reserve_key(op, cur, len) != 1) return -1;
  if (len > 0) std::memcpy(cur.key, leaf.key(i), len);
  cur.key_len = static_cast<int16_t>(len);
  cur.item = leaf.item(i);
  return 1;
}

int32_t copy_cursor(Op &op, Cursor &dst, const Cursor &src) {
  if (src.state == kOnEntry) {
    if (reserve_key(op, dst, src.key_len) != 1) return -1;
    if (src.key_len > 0) std::memcpy(dst.key, src.key, src.key_len);
  }
  dst.block = src.block;
  dst.state = src.state;
  dst.index = src.index;
  dst.key_len = src.key_len;
  dst.item = src.item;
  dst.snapshot = src.snapshot;
  return 1;
}

bool path_holds(const Op &op, const DescentPath &path, BlockNo b) {
  const int32_t levels = path.levels;
  if (path.leaf != b || levels < 0 || levels + 1 != op.cr().depth) {
    return false;
  }
  BlockNo at = op.cr().root;
  for (int32_t l = 0; l < levels; ++l) {
    const Node n = held_node(op, at);
    if (at != path.block[l] || n.data() == nullptr || n.leaf() || n.unused()) {
      return false;
    }
    const int32_t i = path.index[l];
    if (i < -1 || i >= n.count()) return false;
    at = n.child_at(i);
  }
  return at == b;
}

namespace {

// The descent of search; kKeepPath: record the parents in the handle.
template <bool kKeepPath>
int32_t descend(Op &op, Cursor &cur, const uint8_t *key, int32_t len,
                int32_t item) {
  cur.snapshot = op.file->last_seen;
  cur.leaf_moves = 0;
  const ControlRecord &cr = op.cr();
  if (cr.root == 0) {
    set_nowhere(cur, kAfterLast);
    return kAfterLast;
  }
  // Each node is done with before the next is asked for, so the descent
  // reads cached nodes in place (Pin::view).
  Pin pin(op);
  BlockNo b = cr.root;
  const uint8_t *data = nullptr;
  Hit hit{1, 0};
  // The chain of parents, for a change of a pair in the leaf that follows.
  DescentPath &path = op.tree->path;
  if (kKeepPath) path.levels = -1;
  for (int32_t level = 0;; ++level) {
    if (level >= cr.depth) return op.corrupt(kCtxFindLeaf);
    data = pin.view(b, kCtxFindLeaf);
    if (data == nullptr) return -1;
    const Node node(const_cast<uint8_t *>(data), op.bs);
    if (node.unused()) return op.corrupt(kCtxFindLeaf);
    hit = node_search(op, node, key, len, item);
    if (node.leaf()) {
      if (kKeepPath) {
        if (level <= DescentPath::kLevels) path.levels = level;
        path.leaf = b;
      }
      break;
    }
    const int32_t i = child_index(hit);
    if (kKeepPath && level < DescentPath::kLevels) {
      path.block[level] = b;
      path.index[level] = i;
    }
    b = node.child_at(i);
  }
  if (hit.result != 1) {
    if (load_entry(op, cur, Node(const_cast<uint8_t *>(data), op.bs),
                   hit.pos) != 1) {
      op.ctx = kCtxFindLeaf;
      return -1;
    }
    cur.block = b;
    cur.state = kOnEntry;
    cur.index = hit.pos;
    return hit.result == 0 ? kFound : kNext;
  }
  const BlockNo right = Node(const_cast<uint8_t *>(data), op.bs).right();
  if (right == 0) {
    set_nowhere(cur, kAfterLast);
    return kAfterLast;
  }
  data = pin.view(right, kCtxFindLeaf);
  if (data == nullptr) return -1;
  const Node sibling(const_cast<uint8_t *>(data), op.bs);
  if (!usable_leaf(sibling)) return op.corrupt(kCtxFindLeaf);
  if (load_entry(op, cur, sibling, 0) != 1) {
    op.ctx = kCtxFindLeaf;
    return -1;
  }
  cur.block = right;
  cur.state = kOnEntry;
  cur.index = 0;
  return kNext;
}

}  // namespace

int32_t search(Op &op, Cursor &cur, const uint8_t *key, int32_t len,
               int32_t item) {
  return op.tree->keep_path ? descend<true>(op, cur, key, len, item)
                            : descend<false>(op, cur, key, len, item);
}

bool may_enter_leaf(Op &op, Cursor &cur, int32_t dir) {
  if (cur.moves_seen != op.file->last_seen || cur.leaf_moves * dir < 0) {
    cur.moves_seen = op.file->last_seen;
    cur.leaf_moves = 0;
  }
  cur.leaf_moves += dir;
  const int64_t moves =
      cur.leaf_moves < 0 ? -int64_t{cur.leaf_moves} : int64_t{cur.leaf_moves};
  return moves <= static_cast<int64_t>(op.cr().last_block);
}

int32_t revalidate(Op &op, Cursor &cur) {
  if (cur.snapshot == op.file->last_seen || cur.state == kBeforeFirst ||
      cur.state == kAfterLast) {
    return 1;
  }
  {
    // The old block is only a hint: failing to read it is not an error.
    const int32_t saved_err = op.err;
    const int32_t saved_ctx = op.ctx;
    Pin pin(op);
    if (const uint8_t *data = pin.view(cur.block, kCtxFindLeaf)) {
      cur.snapshot = op.file->last_seen;
      const Node node(const_cast<uint8_t *>(data), op.bs);
      const int32_t i = cur.index;
      if (node.leaf() && i >= 0 && i < node.count() &&
          node.item(i) == cur.item &&
          cmp_keys(op, cur.key, cur.key_len, node.key(i), node.key_len(i)) ==
              0) {
        return 1;
      }
    } else {
      op.err = saved_err;
      op.ctx = saved_ctx;
    }
  }
  const int32_t r = search(op, cur, cur.key, cur.key_len, cur.item);
  return r == kFound ? 1 : r;
}

int32_t get_item(Op &op, int32_t *item) {
  Cursor &cur = op.tree->pos;
  if (cur.state != kOnEntry) return cur.state;
  const int32_t r = revalidate(op, cur);
  if (r == -1) {
    op.ctx = kCtxGetItem;
    return -1;
  }
  if (r == kNext) op.err = kErrDeleted;
  if (cur.state != kOnEntry) return cur.state;
  if (item != nullptr) *item = cur.item;
  return 1;
}

int32_t position_first(Op &op, Cursor &cur) {
  const ControlRecord &cr = op.cr();
  cur.snapshot = op.file->last_seen;
  cur.leaf_moves = 0;
  if (cr.root == 0) {
    set_nowhere(cur, kAfterLast);
    return kAfterLast;
  }
  Pin pin(op);
  const uint8_t *data = pin.view(cr.first_leaf, kCtxFirstKey);
  if (data == nullptr) return -1;
  const Node node(const_cast<uint8_t *>(data), op.bs);
  if (!usable_leaf(node)) return op.corrupt(kCtxFirstKey);
  if (load_entry(op, cur, node, 0) != 1) {
    op.ctx = kCtxFirstKey;
    return -1;
  }
  cur.state = kOnEntry;
  cur.block = cr.first_leaf;
  cur.index = 0;
  return 1;
}

int32_t position_last(Op &op, Cursor &cur) {
  const ControlRecord &cr = op.cr();
  cur.snapshot = op.file->last_seen;
  cur.leaf_moves = 0;
  if (cr.root == 0) {
    set_nowhere(cur, kBeforeFirst);
    return kBeforeFirst;
  }
  Pin pin(op);
  const uint8_t *data = pin.view(cr.last_leaf, kCtxLastLeaf);
  if (data == nullptr) return -1;
  const Node node(const_cast<uint8_t *>(data), op.bs);
  if (!usable_leaf(node)) return op.corrupt(kCtxLastLeaf);
  const int32_t last = node.count() - 1;
  if (load_entry(op, cur, node, last) != 1) {
    op.ctx = kCtxLastLeaf;
    return -1;
  }
  cur.state = kOnEntry;
  cur.block = cr.last_leaf;
  cur.index = last;
  return 1;
}

int32_t step_forward(Op &op, Cursor &cur) {
  if (cur.state == kBeforeFirst) return position_first(op, cur);
  if (cur.state != kOnEntry) return kAfterLast;
  Pin pin(op);
  const uint8_t *data = pin.view(cur.block, kCtxNextKey);
  if (data == nullptr) return -1;
  Node node(const_cast<uint8_t *>(data), op.bs);
  if (!node.leaf()) return op.corrupt(kCtxNextKey);
  BlockNo block = cur.block;
  int32_t index = cur.index + 1;
  if (index >= node.count()) {
    block = node.right();
    if (block == 0) {
      set_nowhere(cur, kAfterLast);
      cur.snapshot = op.file->last_seen;
      return kAfterLast;
    }
    if (!may_enter_leaf(op, cur, 1)) return op.corrupt(kCtxNextKey);
    data = pin.view(block, kCtxNextKey);
    if (data == nullptr) return -1;
    node = Node(const_cast<uint8_t *>(data), op.bs);
    if (!usable_leaf(node)) return op.corrupt(kCtxNextKey);
    index = 0;
  }
  // A failed load leaves the position where it was.
  if (load_entry(op, cur, node, index) != 1) {
    op.ctx = kCtxNextKey;
    return -1;
  }
  cur.block = block;
  cur.index = index;
  cur.snapshot = op.file->last_seen;
  return 1;
}

}  // namespace recbase::cbt
