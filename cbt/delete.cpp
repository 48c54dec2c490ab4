// Deletion of a pair. Deletion never borrows from a neighbour:
//  - a leaf that loses its last pair is freed at once (onto the free chain);
//  - a leaf whose bytes in use fall below the underflow mark T (three
//    quarters of the usable node space) is joined with a neighbour under the
//    same parent when the two fit together below T, the right one always
//    moving into the left one: first its left neighbour, and only after that
//    join also its right one (a low_path child tries only its right one);
//  - a parent drops the entries of freed children and is then offered to its
//    own neighbours by the same joined-size rule; a parent left without
//    children is freed; a root left with only its low_path child is removed,
//    so the tree shrinks by one level.
// Separators are not updated when a child's smallest pair goes: a parent
// entry may be smaller than every pair left in its child, which the search
// tolerates.
//
// Node step results passed upward: -1 failure, 1 done, 4 a node at this
// level was freed (its parent must drop the entry for it).
#include "cbt/delete.h"

#include <cassert>

#include "cbt/blocks.h"
#include "cbt/node_ops.h"
#include "cbt/search.h"
#include "cbt/undo.h"

namespace recbase::cbt {

namespace {

constexpr int32_t kFreed = 4;

// The sealed removal's switch and count, for the differential test that
// runs the same calls with and without it (set_sealed_underflow, not
// exported). The library itself never turns it off; both ways leave the
// same bytes and the same pool order.
bool g_sealed_underflow = true;
int64_t g_sealed_removals = 0;

struct Parent {
  BlockNo block = 0;  // 0: the node is the root
  int32_t index = 0;  // -1: the parent's low_path child
};

// The underflow mark: (3 * block_size - 48) / 4.
int32_t underflow_mark(const Op &op) {
  return static_cast<int32_t>((3u * static_cast<uint32_t>(op.bs) - 48u) >> 2);
}

int32_t low_path_word(Op &op, BlockNo b, int32_t ctx, uint32_t *out) {
  Pin pin(op);
  if (pin.get(b, ctx) != 1) return -1;
  *out = pin.node().low_path();
  return 1;
}

// Joins b into a (b is a's right sibling, both pinned) and frees b.
int32_t join_into(Op &op, Pin &pa, Pin &pb) {
  if (pa.save(kCtxJoin) != 1 || pb.save(kCtxJoin) != 1) return -1;
  if (move_left(op, pa.node(), pb.node()) != 1) return -1;
  if (free_block(op, pb) != 1) return -1;
  pb.put();
  pa.put();
  return kFreed;
}

// The bytes leaves a and b (a's right sibling) would keep in use joined into
// one: the bytes of their entries (a_bytes, b_bytes) and a header, less the
// text of b's first entry (entry bf) where it would share the text of a's
// last one (entry al); -1 for a leaf without entries.
int32_t joined_leaf_bytes(const Op &op, const Node &a, int32_t a_bytes,
                          int32_t al, const Node &b, int32_t b_bytes,
                          int32_t bf) {
  int32_t adjust = 0;
  if (al >= 0 && bf >= 0 &&
      shares_text(op, b.key(bf), b.key_len(bf), a, al)) {
    adjust = -b.key_len(bf);
  }
  return a_bytes + b_bytes + adjust + kNodeHeader;
}

// Joins a and its right sibling b when together they stay below the
// underflow mark: 4 joined, 1 not, -1.
int32_t try_join(Op &op, BlockNo ab, BlockNo bb) {
  Pin pa(op);
  if (pa.get(ab, kCtxKeyCount) != 1) return -1;
  Pin pb(op);
  if (pb.get(bb, kCtxNodeSpace) != 1) return -1;
  const Node a = pa.node();
  const Node b = pb.node();
  if (a.leaf() != b.leaf() || a.unused() || b.unused() || a.right() != bb) {
    return op.corrupt(kCtxNodeSpace);
  }
  if (!a.leaf() && a.count() == 0 && b.count() == 0) {
    return join_into(op, pa, pb);
  }
  int32_t joined = 0;
  if (a.leaf()) {
    joined = joined_leaf_bytes(op, a, content_bytes(a), a.count() - 1, b,
                               content_bytes(b), b.count() > 0 ? 0 : -1);
  } else {
    // b's low_path child becomes an ordinary entry keyed by its smallest
    // pair v, whose text may share with a's last or b's first key.
    Pin leaf(op);
    Pair v;
    if (low_path_pair(op, b.low_path(), leaf, v) != 1) return -1;
    const bool with_a =
        a.count() > 0 && shares_text(op, v.key, v.len, a, a.count() - 1);
    const bool with_b = b.count() > 0 && shares_text(op, v.key, v.len, b, 0);
    int32_t adjust = kInteriorEntry + v.len;
    if (with_a && with_b) {
      adjust = kInteriorEntry - v.len;
    } else if (with_a || with_b) {
      adjust = kInteriorEntry;
    }
    joined = content_bytes(a) + content_bytes(b) + adjust + kNodeHeader;
  }
  if (underflow_mark(op) <= joined) return 1;
  return join_into(op, pa, pb);
}

// Offers the child at index g of parent par.block to its neighbours under
// the same parent: 4 when a join took place, 1 when none did, -1.
int32_t join_neighbours(Op &op, Parent par) {
  if (par.block == 0) return 1;
  Pin pp(op);
  if (pp.get(par.block, kCtxRemoveUnused) != 1) return -1;
  const Node p = pp.node();
  const int32_t g = par.index;
  if (g < -1 || g >= p.count()) return op.corrupt(kCtxRemoveUnused);
  bool joined = false;
  BlockNo a;
  if (g >= 0) {
    a = p.child_at(g - 1);
    const BlockNo c = p.child(g);
    uint32_t word = 0;
    if (low_path_word(op, c, kCtxRemoveUnused, &word) != 1) return -1;
    if (word != 0) {
      const int32_t r = try_join(op, a, c);
      if (r == -1) return -1;
      if (r != kFreed) return 1;
      joined = true;
    }
  } else {
    a = p.low_path();
  }
  if (g < p.count() - 1) {
    const BlockNo d = p.child(g + 1);
    uint32_t word = 0;
    if (low_path_word(op, a, kCtxRemoveUnused, &word) != 1) return -1;
    if (word != 0) {
      const int32_t r = try_join(op, a, d);
      if (r == -1) return -1;
      if (r == kFreed) joined = true;
    }
  }
  return joined ? kFreed : 1;
}

// The removal of entry p of leaf x (pinned in px, child of par) that leaves
// it with `after` bytes in use, below the underflow mark, made without a
// before-image when join_neighbours would then join nothing: 1 done, 0 not
// taken (nothing done). Taken when the change may seal, and x's parent and
// the neighbour that join_neighbours offers x to (the left one; the right
// one for a low_path child) are held in the pool, checked, pass its tests
// of them, and would not fit together with x below the mark. Then no step
// that follows can read, allocate or fail, so the removal is the change's
// last modification. The parent and the neighbour are looked at in place;
// their uses are made after the put of x, in the order in which
// join_neighbours' last uses leave them (its earlier pins of them do not
// count: nothing is read in between, so no buffer is replaced).
int32_t underflow_sealed(Op &op, Pin &px, int32_t p, Parent par,
                         int32_t after) {
  if (!g_sealed_underflow || (op.undo != nullptr && !op.undo->outermost())) {
    return 0;
  }
  const Node x = px.node();
  const BlockNo xb = px.block();
  const int32_t n = x.count();
  // A leaf's low_path word is the leaf mark: join_neighbours' test of it
  // (low_path_word) always passes.
  if (!x.leaf() || p < 0 || p >= n) return 0;
  const uint8_t *uses[3] = {};
  int32_t count = 0;
  if (par.block != 0) {
    const Node up = held_node(op, par.block);
    const int32_t g = par.index;
    if (up.data() == nullptr || up.leaf() || up.unused() || g < -1 ||
        g >= up.count() || (g >= 0 ? up.child(g) : up.low_path()) != xb) {
      return 0;
    }
    // join_neighbours tries a join unless x is the parent's only child.
    if (g >= 0 || g < up.count() - 1) {
      const BlockNo sb = g >= 0 ? up.child_at(g - 1) : up.child(0);
      const Node s = held_node(op, sb);
      if (s.data() == nullptr || !s.leaf() || s.unused()) return 0;
      // x's entries without p: after - kNodeHeader bytes; its first entry
      // is then p == 0 ? 1 : 0, its last p == n - 1 ? n - 2 : n - 1.
      int32_t joined = 0;
      if (g >= 0) {
        if (s.right() != xb) return 0;
        joined = joined_leaf_bytes(op, s, content_bytes(s), s.count() - 1, x,
                                   after - kNodeHeader, p == 0 ? 1 : 0);
      } else {
        if (x.right() != sb) return 0;
        joined = joined_leaf_bytes(op, x, after - kNodeHeader,
                                   p == n - 1 ? n - 2 : n - 1, s,
                                   content_bytes(s), s.count() > 0 ? 0 : -1);
      }
      if (joined < underflow_mark(op)) return 0;
      // try_join(left, right) pins left, then right, and releases right
      // first: the left one is used last.
      uses[count++] = s.data();
      if (g < 0) uses[count++] = x.data();
    }
    uses[count++] = up.data();
  }
  if (op.undo != nullptr) op.undo->seal();
  remove_entry(x, p);
  px.put();
  bool ok = true;
  for (int32_t k = 0; k < count; ++k) ok &= use_data(op.lru, uses[k]) == 1;
  assert(ok);
  (void)ok;
  ++g_sealed_removals;
  return 1;
}

// The removal of entry p of leaf x (pinned in px), child of par.
int32_t leaf_delete_at(Op &op, Pin &px, int32_t p, Parent par) {
  Node x = px.node();
  if (x.count() <= 1) {
    if (px.save(kCtxDeleteKey) != 1 || free_block(op, px) != 1) return -1;
    px.put();
    return kFreed;
  }
  // A removal that leaves the leaf at or above the underflow mark ends the
  // change; one that does not is followed by joins, which can fail.
  const bool own_text = x.key_len(p) > 0 && !shared_with_prev(x, p) &&
                        !shared_with_prev(x, p + 1);
  const int32_t after =
      bytes_in_use(x) - x.entry_size() - (own_text ? x.key_len(p) : 0);
  const bool underflow = after < underflow_mark(op);
  if (!underflow) {
    remove_entry(x, p);
    assert(bytes_in_use(x) == after);
    px.put_last();
    return 1;
  }
  if (underflow_sealed(op, px, p, par, after) == 1) return 1;
  if (px.save(kCtxDeleteKey) != 1) return -1;
  remove_entry(x, p);
  px.put();
  return join_neighbours(op, par);
}

int32_t leaf_delete(Op &op, const Pair &pair, Pin &px, Parent par) {
  const Node x = px.node();
  if (!x.leaf()) return op.corrupt(kCtxDeleteKey);
  const Hit hit = node_search(op, x, pair.key, pair.len, pair.item);
  if (hit.result != 0) return op.fail(kErrNotFound, kCtxDeleteKey);
  return leaf_delete_at(op, px, hit.pos, par);
}

// Drops from parent nb the entries of the children freed below index i;
// frees nb when it is left without children; then offers nb to its
// neighbours.
int32_t remove_unused(Op &op, BlockNo nb, int32_t i, Parent par) {
  int32_t result = 1;
  {
    Pin pn(op);
    if (pn.get(nb, kCtxRemoveUnused) != 1 || pn.save(kCtxRemoveUnused) != 1) {
      return -1;
    }
    Node n = pn.node();
    if (n.leaf() || i < -1 || i >= n.count()) {
      return op.corrupt(kCtxRemoveUnused);
    }
    int32_t j = i - 1 < -1 ? -1 : i - 1;
    uint32_t word = 0;
    if (low_path_word(op, n.child_at(j), kCtxRemoveUnused, &word) != 1) {
      return -1;
    }
    if (word != 0) {
      if (j + 1 >= n.count()) return op.corrupt(kCtxRemoveUnused);
      if (low_path_word(op, n.child(j + 1), kCtxRemoveUnused, &word) != 1) {
        return -1;
      }
      j = word == 0 ? j + 1 : j + 2;
    }
    // The first live block after the survivor on the left.
    BlockNo follow = 0;
    if (j >= 0) {
      if (right_of(op, n.child_at(j - 1), kCtxRightSibling, &follow) != 1) {
        return -1;
      }
    } else if (n.count() > 0) {
      follow = n.child(0);
    } else if (n.right() != 0) {
      uint32_t lp = 0;
      if (low_path_word(op, n.right(), kCtxRemoveUnused, &lp) != 1) return -1;
      follow = lp;
    }
    for (int32_t guard = 0; j < n.count() && n.child_at(j) != follow; ++guard) {
      if (guard > kMaxDepth + n.count()) return op.corrupt(kCtxRemoveUnused);
      remove_entry(n, j);
    }
    if (par.block == 0) {
      // A root left with one child (or none) goes.
      if (n.count() <= 0) result = kFreed;
    } else if (n.count() == -1) {
      if (free_block(op, pn) != 1) return -1;
      result = kFreed;
    }
    pn.put();
  }
  if (par.block != 0 && result == 1) return join_neighbours(op, par);
  return result;
}

int32_t descend(Op &op, const Pair &pair, BlockNo nb, const Node &n, Pin &pn,
                Parent par, int32_t level) {
  ChildStep step;
  Pin pc(op);
  if (step_down(op, pair, n, pn, level, kCtxDeleteKey, &step, pc) != 1) {
    return -1;
  }
  const int32_t i = step.index;
  const Parent here{nb, i};
  const int32_t r =
      step.leaf ? leaf_delete(op, pair, pc, here)
                : descend(op, pair, step.child, step.node, pc, here, level + 1);
  pc.release();
  if (r == kFreed) return remove_unused(op, nb, i, par);
  return r;
}

// The root was left with only its low_path child, which becomes the root
// (and so on down while that child has a single child too), or with no child
// at all, or the root leaf itself was freed: the tree is then empty.
int32_t remove_root(Op &op) {
  ControlRecord &cr = op.cr();
  for (int32_t levels = 0; levels <= kMaxDepth; ++levels) {
    Pin pr(op);
    if (pr.get(cr.root, kCtxRemoveRoot) != 1) return -1;
    Node root = pr.node();
    if (root.leaf()) return 1;
    const bool unused = root.unused() && root.count() == 0;
    const bool childless = root.count() == -1;
    if (!unused && !childless && root.count() != 0) return 1;
    if (unused) {
      cr.root = 0;
    } else {
      cr.root = childless ? 0 : root.low_path();
      if (pr.save(kCtxRemoveRoot) != 1 || free_block(op, pr) != 1) return -1;
    }
    cr.depth -= 1;
    pr.put();
    if (cr.root == 0) {
      cr.depth = 0;
      cr.first_leaf = 0;
      cr.last_leaf = 0;
      return 1;
    }
  }
  return op.corrupt(kCtxRemoveRoot);
}

}  // namespace

namespace {

int32_t remove_pair(Op &op, const Pair &pair) {
  ControlRecord &cr = op.cr();
  if (cr.root == 0) return op.fail(kErrEmptyTree, kCtxDeleteEmpty);
  int32_t r;
  {
    Pin pr(op);
    const Node root = descent_node(op, cr.root, 0, kCtxLowPathValue, pr);
    if (root.data() == nullptr) return -1;
    if (root.unused()) return op.fail(kErrCorrupt, kCtxDeleteUnused);
    r = root.leaf() ? leaf_delete(op, pair, pr, Parent{})
                    : descend(op, pair, cr.root, root, pr, Parent{}, 0);
  }
  if (r == -1) return -1;
  if (r == kFreed) return remove_root(op);
  return 1;
}

}  // namespace

namespace {

// The removal of the pair at entry hint.pos of leaf hint.block, when the
// pool holds the leaf (checked) with the pair there. When the leaf has more
// entries and stays at or above the underflow mark without it, leaf_delete,
// at the end of the descent, removes the entry and ends the change: that is
// done here. Otherwise the joins and removals that follow need the leaf's
// parents, which the hint's path gives when every link of it still holds.
// In a sound tree a pair lies in one leaf, which its descent reaches
// through the one chain of its parents, so the result is the same.

// The bytes leaf x keeps in use without its entry p (as leaf_delete counts
// them).
int32_t bytes_without(const Node &x, int32_t p) {
  const bool own_text = x.key_len(p) > 0 && !shared_with_prev(x, p) &&
                        !shared_with_prev(x, p + 1);
  return bytes_in_use(x) - x.entry_size() - (own_text ? x.key_len(p) : 0);
}

// The parent of the node at level l of a path (the leaf: l == levels).
Parent parent_at(const DescentPath &path, int32_t l) {
  if (l == 0) return Parent{};
  return Parent{path.block[l - 1], path.index[l - 1]};
}

// The removal of entry p of leaf b, whose chain of parents is path (checked
// by path_holds): the steps of leaf_delete and of the descent's way back up
// (remove_unused while a level freed a node, the root's removal at the top),
// with the parents the descent would have passed.
int32_t delete_on_path(Op &op, const DescentPath &path, BlockNo b, int32_t p) {
  int32_t r;
  {
    Pin px(op);
    if (px.get(b, kCtxDeleteKey) != 1) return -1;
    r = leaf_delete_at(op, px, p, parent_at(path, path.levels));
  }
  for (int32_t l = path.levels - 1; l >= 0 && r == kFreed; --l) {
    r = remove_unused(op, path.block[l], path.index[l], parent_at(path, l));
  }
  if (r == -1) return -1;
  if (r == kFreed) return remove_root(op);
  return 1;
}

// 1 done, -1 failed, 0 not taken (nothing done): the pair is not at the
// hint's entry of a held leaf, or the removal needs the leaf's parents and
// the hint has no chain of them that still holds.
int32_t delete_in_leaf(Op &op, const Pair &pair, const LeafHint &hint) {
  const int32_t p = hint.pos;
  bool alone = false;
  {
    const Node x = held_node(op, hint.block);
    if (x.data() == nullptr || !x.leaf() || x.unused() || p < 0 ||
        p >= x.count() ||
        cmp_pair(op, pair.key, pair.len, pair.item, x, p) != 0) {
      return 0;
    }
    alone = x.count() > 1 && bytes_without(x, p) >= underflow_mark(op);
  }
  if (!alone) {
    if (hint.path == nullptr || !path_holds(op, *hint.path, hint.block)) {
      return 0;
    }
    return delete_on_path(op, *hint.path, hint.block, p);
  }
  Pin px(op);
  if (px.get(hint.block, kCtxDeleteKey) != 1) return -1;
  remove_entry(px.node(), p);
  px.put_last();
  return 1;
}

}  // namespace

int32_t delete_pair(Op &op, const Pair &pair, const LeafHint *hint) {
  Undo undo(op);
  int32_t r = 0;
  if (hint != nullptr && op.cr().root != 0) r = delete_in_leaf(op, pair, *hint);
  if (r == 0) r = remove_pair(op, pair);
  if (r == -1) undo.roll_back();
  return r;
}

int64_t set_sealed_underflow(bool on) {
  g_sealed_underflow = on;
  const int64_t n = g_sealed_removals;
  g_sealed_removals = 0;
  return n;
}

int32_t move_off_pair(Op &op, const Pair &pair) {
  CbTree *t = op.tree;
  auto holds = [&](const Cursor &c) {
    return c.state == kOnEntry && c.item == pair.item &&
           cmp_keys(op, pair.key, pair.len, c.key, c.key_len) == 0;
  };
  auto step_off = [&](Cursor &c) {
    const int32_t r = revalidate(op, c);
    if (r == -1) return -1;
    if (r == 1) return step_forward(op, c) == -1 ? -1 : 1;
    return 1;  // gone already: on its successor, or past the end
  };
  if (holds(t->pos) && step_off(t->pos) == -1) return -1;
  if (holds(t->mark)) {
    if (t->mark.state == kBeforeFirst) return -1;
    if (step_off(t->mark) == -1) return -1;
  }
  return 1;
}

}  // namespace recbase::cbt
