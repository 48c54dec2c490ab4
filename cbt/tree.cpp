// Operation context, pinned blocks, comparisons and the in-node search.
#include "cbt/tree.h"

#include <cassert>

#include "cbt/undo.h"

namespace recbase::cbt {

void *g_tree_list = nullptr;
void *g_file_list = nullptr;
CbTree *g_recent_tree = nullptr;
CbFile *g_recent_file = nullptr;

int32_t Op::corrupt(int32_t c) { return fail(kErrCorrupt, c); }

// A handle found by a walk is remembered, so that a program working through
// one tree at a time pays for the walk once (the lists keep their order:
// cbexit closes handles in it).
bool check_tree_listed(Op &op, CbTree *tree) {
  if (tree == nullptr || !is_member(&g_tree_list, tree)) {
    op.fail(kErrBadTree, kCtxValidate);
    return false;
  }
  g_recent_tree = tree;
  op.tree = tree;
  return true;
}

bool check_file_listed(Op &op) {
  CbFile *file = op.tree->file;
  if (file == nullptr || !is_member(&g_file_list, file)) {
    op.fail(kErrBadFile, kCtxValidate);
    return false;
  }
  g_recent_file = file;
  op.bind(op.tree);
  return true;
}

int32_t Pin::get(BlockNo b, int32_t ctx) {
  release();
  if (b == 0 || b > op_.cr().last_block) return op_.corrupt(ctx);
  uint8_t *data = get_block(op_.lru, b);
  if (data == nullptr) return op_.fail(kErrGetBlock, ctx);
  uint8_t &checked = block_checked(data);
  if (!checked) {
    if (check_node_layout(data, op_.bs) != nullptr) {
      release_block(op_.lru, data);
      return op_.corrupt(ctx);
    }
    checked = 1;
  }
  data_ = data;
  block_ = b;
  return 1;
}

const uint8_t *Pin::view(BlockNo b, int32_t ctx) {
  release();
  if (b == 0 || b > op_.cr().last_block) {
    op_.corrupt(ctx);
    return nullptr;
  }
  const uint8_t *cached = read_block(op_.lru, b);
  if (cached != nullptr && block_checked(cached)) return cached;
  if (get(b, ctx) != 1) return nullptr;
  prefetch_node(data_, op_.bs);
  return data_;
}

const uint8_t *Pin::look(BlockNo b, int32_t ctx, bool prefetch) {
  release();
  if (b == 0 || b > op_.cr().last_block) {
    op_.corrupt(ctx);
    return nullptr;
  }
  const uint8_t *cached = use_block(op_.lru, b, prefetch);
  if (cached != nullptr && block_checked(cached)) return cached;
  if (get(b, ctx) != 1) return nullptr;
  if (prefetch) prefetch_node(data_, op_.bs);
  return data_;
}

int32_t touch(Op &op, BlockNo b, int32_t ctx) {
  Pin pin(op);
  return pin.look(b, ctx, false) != nullptr ? 1 : -1;
}

int32_t put_held(Op &op, BlockNo b, int32_t ctx) {
  assert(op.undo == nullptr || op.undo->sealed());
  if (dirty_block(op.lru, b) != 1) return op.fail(kErrPutBlock, ctx);
  return 1;
}

void Pin::adopt(uint8_t *data, BlockNo b) {
  release();
  data_ = data;
  block_ = b;
  block_checked(data) = 1;
}

void Pin::release() {
  if (data_ != nullptr) {
    release_block(op_.lru, data_);
    data_ = nullptr;
  }
}

int32_t Pin::save(int32_t ctx) {
  if (op_.undo == nullptr || data_ == nullptr) return 1;
  return op_.undo->save(block_, data_, ctx);
}

void Pin::put() {
  assert(op_.undo == nullptr || data_ == nullptr || op_.undo->sealed() ||
         op_.undo->holds(block_) || block_ > op_.undo->saved_end());
  put_last();
}

void Pin::put_last() {
  if (data_ != nullptr) {
    put_block(op_.lru, data_, 0);
    data_ = nullptr;
  }
}

int32_t Pin::put_now(int32_t ctx) {
  if (data_ == nullptr) return 1;
  uint8_t *data = data_;
  data_ = nullptr;
  if (put_block(op_.lru, data, 1) != 1) return op_.fail(kErrPutBlock, ctx);
  return 1;
}

void Pin::move_to(Pin &other) {
  other.release();
  other.data_ = data_;
  other.block_ = block_;
  data_ = nullptr;
}

int32_t cmp_pair(const Op &op, const uint8_t *key, int32_t len, int32_t item,
                 const Node &node, int32_t i) {
  const int32_t c = cmp_keys(op, key, len, node.key(i), node.key_len(i));
  if (c != 0) return c;
  const int32_t other = node.item(i);
  return item < other ? -1 : (item > other ? 1 : 0);
}

bool shares_text(const Op &op, const uint8_t *key, int32_t len,
                 const Node &node, int32_t i) {
  if (i < 0 || i >= node.count() || node.key_len(i) != len) return false;
  if (op.cmp == cbkeycmp) return default_keys_equal(key, node.key(i), len);
  return op.cmp(key, len, node.key(i), len) == 0;
}

bool keys_equal(const Op &op, const uint8_t *key, int32_t len, const Node &node,
                int32_t i) {
  if (i < 0 || i >= node.count()) return false;
  const int32_t other = node.key_len(i);
  if (op.cmp == cbkeycmp) {
    // The default order makes empty keys (length 0 or less) equal to each
    // other, and other keys equal only at the same length.
    if (len <= 0 || other <= 0) return len <= 0 && other <= 0;
    return len == other && default_keys_equal(key, node.key(i), len);
  }
  return op.cmp(key, len, node.key(i), other) == 0;
}

namespace {

// Binary search over the entries of one node, with the entry size and the
// key order fixed at compile time so that the loop reads the entry array
// directly and compares keys inline. With kBeside, notes in *beside whether the
// keys of the entries found just below and just above the pair compared equal
// to its key: the search ends between two entries that it compared last with a
// result that moved that end, so the last such results are theirs.
template <int32_t kEntry, bool kBeside, class KeyCmp>
Hit search_entries(const uint8_t *d, int32_t n, const uint8_t *key, int32_t len,
                   int32_t item, KeyCmp keycmp, Beside *beside) {
  return bisect(n, [&](int32_t mid) {
    const uint8_t *e = d + kNodeHeader + mid * kEntry;
    const int32_t c = keycmp(key, len, d + get_le16s(e), get_le16s(e + 2));
    if (c != 0) {
      if (kBeside) (c > 0 ? beside->before : beside->after) = false;
      return c;
    }
    const int32_t other = static_cast<int32_t>(get_le32(e + 4));
    const int32_t r = item < other ? -1 : (item > other ? 1 : 0);
    if (kBeside && r != 0) (r > 0 ? beside->before : beside->after) = true;
    return r;
  });
}

template <int32_t kEntry, bool kBeside = false>
Hit search_entries(const Op &op, const uint8_t *d, int32_t n,
                   const uint8_t *key, int32_t len, int32_t item,
                   Beside *beside = nullptr) {
  if (op.cmp == cbkeycmp) {
    if (len < 8) {
      return search_entries<kEntry, kBeside>(d, n, key, len, item,
                                             default_keycmp, beside);
    }
    // The search key's first eight bytes, folded once: most probes are
    // decided by one folded word of the entry's key.
    const uint64_t head = folded_word(key);
    return search_entries<kEntry, kBeside>(
        d, n, key, len, item,
        [head](const uint8_t *a, int32_t alen, const uint8_t *b, int32_t blen) {
          if (blen < 8) return default_keycmp(a, alen, b, blen);
          const uint64_t other = folded_word(b);
          if (head != other) return head < other ? -1 : 1;
          return default_keycmp(a + 8, alen - 8, b + 8, blen - 8);
        },
        beside);
  }
  const CbCompare cmp = op.cmp;
  return search_entries<kEntry, kBeside>(
      d, n, key, len, item,
      [cmp](const uint8_t *a, int32_t alen, const uint8_t *b, int32_t blen) {
        return cmp(a, alen, b, blen);
      },
      beside);
}

}  // namespace

Hit node_search(const Op &op, const Node &node, const uint8_t *key, int32_t len,
                int32_t item) {
  const int32_t n = node.count();
  if (n < 1) return {1, 0};
  if (node.leaf()) {
    return search_entries<kLeafEntry>(op, node.data(), n, key, len, item);
  }
  return search_entries<kInteriorEntry>(op, node.data(), n, key, len, item);
}

Hit leaf_search_beside(const Op &op, const Node &leaf, const uint8_t *key,
                       int32_t len, int32_t item, Beside *beside) {
  *beside = Beside{};
  beside->known = true;
  const int32_t n = leaf.count();
  if (n < 1) return {1, 0};
  return search_entries<kLeafEntry, true>(op, leaf.data(), n, key, len, item,
                                          beside);
}

Node descent_node(Op &op, BlockNo b, int32_t level, int32_t ctx, Pin &pin) {
  if (level + 1 >= op.cr().depth) {
    if (pin.get(b, ctx) != 1) return Node();
    pin.prefetch();
    return pin.node();
  }
  const uint8_t *data = pin.look(b, ctx, level > 0);
  if (data == nullptr) return Node();
  const Node node(const_cast<uint8_t *>(data), op.bs);
  // A leaf above the leaf level (damage the steps below report) is worked
  // on pinned, as every leaf is.
  if (node.leaf() && !pin.held() && pin.get(b, ctx) != 1) return Node();
  return node;
}

int32_t step_down(Op &op, const Pair &pair, const Node &n, Pin &pn,
                  int32_t level, int32_t ctx, ChildStep *out, Pin &pc) {
  const Hit hit = node_search(op, n, pair.key, pair.len, pair.item);
  out->index = child_index(hit);
  out->child = n.child_at(out->index);
  pn.release();
  if (level + 1 >= op.cr().depth) return op.corrupt(ctx);
  out->node = descent_node(op, out->child, level + 1, ctx, pc);
  if (out->node.data() == nullptr) return -1;
  if (out->node.unused()) return op.corrupt(ctx);
  out->leaf = out->node.leaf();
  return 1;
}

}  // namespace recbase::cbt
