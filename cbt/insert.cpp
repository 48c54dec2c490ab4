// Insertion of a pair, with the overflow policy: when a node is full its
// entries are first pushed into its right neighbour, then into its left one
// (neighbours under the same parent only), and only when neither makes room
// is it split, at the point that best balances the two halves by bytes.
//
// Parents are not patched entry by entry. A node step tells the level above
// what happened:
//   1  the pair was placed; nothing to do above
//   3  the node was split: a new right sibling exists that the parent does
//      not list
//   5  entries were shifted into a sibling, then the pair placed here
//   6  entries were shifted and the pair was placed by the shift
// (5 and 6 also removed the stale separator of the sibling from the parent.)
// On 3, 5 or 6 the parent is re-synchronised with the sibling chain of its
// children: every child between the last one it still lists correctly and
// the next one it lists is listed again under its current smallest pair. A
// split of the root grows the tree by one level.
//
// The descent holds no block while the level below works, so a change pins
// only a handful of blocks at a time whatever the depth.
#include "cbt/insert.h"

#include <cstdlib>

#include "cbt/blocks.h"
#include "cbt/node_ops.h"
#include "cbt/relist.h"
#include "cbt/shift.h"
#include "cbt/undo.h"

namespace recbase::cbt {

namespace {

// The remembered parent's switch and the count of shifts made through it,
// for the differential test that runs the same calls with and without it
// (set_recent_parent, not exported). The library itself never turns it
// off; both ways leave the same bytes.
bool g_recent_parent = true;
int64_t g_recent_shifts = 0;

bool needs_resync(int32_t r) {
  return r == kSplit || r == kShiftedThenPlaced || r == kPlacedByShift;
}

// A pair just placed at position p of leaf x went in at one end: the
// pattern of keys inserted in order, whose next key likely goes there too.
bool at_an_end(const Node &x, int32_t p) {
  return p == 0 || p == x.count() - 1;
}

// Remembers par as the parent of the recent leaf, for as long as the change
// counter stands at the count this insertion commits.
void remember(CbFile *f, Parent par) {
  f->recent_parent = par.block;
  f->recent_index = par.index;
  f->recent_change = f->cr.change_counter + 1;
}

// After an insertion that ends the change, placed by the descent in leaf x
// (block xb) under parent par: remembers par for the recent-leaf path when x
// is the recent leaf and the tree's last leaf, and the pair went in last.
void remember_parent(Op &op, const Node &x, BlockNo xb, bool went_last,
                     Parent par) {
  CbFile *f = op.file;
  if (!went_last || f->recent_leaf != xb || x.right() != 0 || par.block == 0) {
    return;
  }
  remember(f, par);
}

// last: the call places the pair of the change in its leaf, and a plain
// insertion there ends the change (nothing that can fail follows it).
int32_t node_insert(Op &op, const Pair &pair, BlockNo x, Parent par,
                    bool last = false);
int32_t node_insert_pinned(Op &op, const Pair &pair, Pin &px, Parent par,
                           bool last, Relisted *relisted = nullptr);

// Insertion position of the pair in node x: the first entry greater than it,
// or -1 in an interior node when the pair sorts below its low path key.
// -1 result with kErrDupPair/kCtxInsertKey when the pair is already there.
// beside, if given, is filled in for a leaf (check_duplicate_key, room_test).
int32_t insertion_position(Op &op, const Pair &pair, const Node &x, int32_t *p,
                           Beside *beside = nullptr) {
  const Hit hit =
      beside != nullptr && x.leaf()
          ? leaf_search_beside(op, x, pair.key, pair.len, pair.item, beside)
          : node_search(op, x, pair.key, pair.len, pair.item);
  if (hit.result == 0) return op.fail(kErrDupPair, kCtxInsertKey);
  *p = hit.pos;
  if (!x.leaf() && *p == 0) {
    if (x.count() == -1) {
      *p = -1;
    } else {
      Pin leaf(op);
      Pair low;
      if (low_path_pair(op, x.low_path(), leaf, low) != 1) return -1;
      const int32_t c =
          cmp_pair(op, pair.key, pair.len, pair.item, leaf.node(), 0);
      if (c == 0) return op.fail(kErrDupPair, kCtxInsertKey);
      if (c < 0) *p = -1;
    }
  }
  return 1;
}

// Makes a new right sibling of x (pinned in px) in `out`: an empty leaf, or
// an interior node without children, linked into x's level.
int32_t new_right_sibling(Op &op, Pin &px, Pin &out) {
  if (alloc_block(op, out) != 1) return -1;
  Node x = px.node();
  Node r = out.node();
  const BlockNo old_right = x.right();
  if (x.leaf()) {
    r.init_leaf(px.block(), old_right);
  } else {
    r.init_interior(0, px.block(), old_right, -1);
  }
  if (old_right != 0) {
    Pin pr(op);
    if (pr.get(old_right, kCtxFixLeft) != 1) {
      return op.fail(kErrGetBlock, kCtxFixLeft);
    }
    if (pr.save(kCtxFixLeft) != 1) return -1;
    pr.node().set_left(out.block());
    pr.put();
  } else if (x.leaf()) {
    op.cr().last_leaf = out.block();
  }
  x.set_right(out.block());
  return 1;
}

// Splits x (pinned in px) for the pair at position p: chooses the split
// index by bytes, moves the upper entries into a new right sibling and
// places the pair on its side. Returns 3 or -1. px is released.
int32_t split(Op &op, const Pair &new_pair, Pin &px, int32_t p, Parent par) {
  Node x = px.node();
  // A pair for position -1 of an interior node takes the low_path place; the
  // old low_path child is what then needs an entry, keyed by its smallest
  // pair, at position 0. Split for that entry instead.
  Pin low_leaf(op);
  Pair pair = new_pair;
  if (!x.leaf() && p == -1) {
    if (low_path_pair(op, x.low_path(), low_leaf, pair) != 1) return -1;
    pair.dup = new_pair.dup;
    pair.child = x.low_path();
    x.set_low_path(new_pair.child);
    p = 0;
  }
  const int32_t n = x.count();
  const bool leaf = x.leaf();
  const int32_t e = x.entry_size();
  const int32_t usable = op.bs - kNodeHeader;
  auto upper = [&](int32_t s) {
    return leaf ? bytes_of(x, s, n - 1) : bytes_of(x, s + 1, n - 1);
  };
  const int32_t left_part = bytes_of(x, 0, p - 1);
  const int32_t right_part = upper(p);
  const bool shares_before =
      p > 0 && shares_text(op, pair.key, pair.len, x, p - 1);
  const int32_t need = e + (shares_before ? 0 : pair.len);
  int32_t s = p;
  bool stays_left;
  if (right_part >= left_part && left_part + need < usable) {
    // The pair stays in x; entries from p on may follow it to the left.
    stays_left = true;
    int32_t left = left_part + need;
    int32_t right = right_part;
    while (right > left && s < n) {
      const bool shared = s == p ? shares_text(op, pair.key, pair.len, x, s)
                                 : shared_with_prev(x, s);
      const int32_t d = e + (shared ? 0 : x.key_len(s));
      if (left + d >= usable) break;
      if (std::abs(right - (left + d)) >= std::abs(right - left)) break;
      ++s;
      left += d;
      right = upper(s);
    }
  } else {
    // The pair goes to the new node; entries below p may follow it.
    stays_left = false;
    int32_t left = left_part;
    int32_t right = bytes_of(x, p, n - 1);
    if (leaf) {
      right += kLeafEntry;
      if (!(p < n && shares_text(op, pair.key, pair.len, x, p))) {
        right += pair.len;
      }
    }
    while (right < left && s >= 2) {
      int32_t d;
      if (leaf) {
        const bool shared = s == p
                                ? shares_text(op, pair.key, pair.len, x, s - 1)
                                : shared_with_prev(x, s);
        d = kLeafEntry + (shared ? 0 : x.key_len(s - 1));
      } else if (s == p) {
        const bool shared = p < n && shares_text(op, pair.key, pair.len, x, p);
        d = kInteriorEntry + (shared ? 0 : pair.len);
      } else if (s == p - 1) {
        const bool shared = shares_text(op, pair.key, pair.len, x, s);
        d = kInteriorEntry + (shared ? 0 : x.key_len(s));
      } else {
        d = kInteriorEntry + (shared_with_prev(x, s + 1) ? 0 : x.key_len(s));
      }
      if (right + d >= usable) break;
      if (std::abs(left - (right + d)) >= std::abs(left - right)) break;
      --s;
      right += d;
      left = bytes_of(x, 0, s - 1);
    }
  }
  Pin pr(op);
  if (new_right_sibling(op, px, pr) != 1) return -1;
  move_right(x, pr.node(), n - s);
  const BlockNo target = stays_left ? px.block() : pr.block();
  pr.put();
  px.put();
  if (node_insert(op, pair, target, par) == -1) return -1;
  return kSplit;
}

// Overflow handling for x (pinned in px) and the pair at position p.
// relisted: x is the leaf the descent reached (see shift_left).
int32_t overflow(Op &op, const Pair &pair, Pin &px, int32_t p, Parent par,
                 Relisted *relisted) {
  Node x = px.node();
  const int32_t r1 = shift_right(op, pair, x, px.block(), p, par, relisted);
  if (r1 == -1) return -1;
  if (r1 == kPlacedByShift || r1 == kPlacedAndListed) return r1;
  const int32_t r2 = shift_left(op, pair, x, px.block(), &p, par,
                                r1 == kPlaced ? relisted : nullptr);
  if (r2 == -1) return -1;
  if (r2 == kPlacedByShift || r2 == kPlacedAndListed) return r2;
  if (insertion_position(op, pair, x, &p) != 1) return -1;
  TextPlan plan;
  const int32_t fit = room_test(op, pair, x, p, &plan);
  if (fit < 0) return -1;
  if (fit == 0) {
    if (insert_entry(op, pair, x, p, &plan) != 1) return -1;
    return (r1 == kShiftedThenPlaced || r2 == kShiftedThenPlaced)
               ? kShiftedThenPlaced
               : kPlaced;
  }
  return split(op, pair, px, p, par);
}

// The node insertion step: places the pair in node xb.
int32_t node_insert(Op &op, const Pair &pair, BlockNo xb, Parent par,
                    bool last) {
  Pin px(op);
  if (px.get(xb, kCtxInsertKey) != 1) return -1;
  return node_insert_pinned(op, pair, px, par, last);
}

// The same for the node pinned in px, which it releases.
int32_t node_insert_pinned(Op &op, const Pair &pair, Pin &px, Parent par,
                           bool last, Relisted *relisted) {
  const BlockNo xb = px.block();
  const Node x = px.node();
  if (x.unused() && x.count() != -1) return op.corrupt(kCtxInsertKey);
  int32_t p = 0;
  Beside beside;
  if (insertion_position(op, pair, x, &p, &beside) != 1) return -1;
  if (x.leaf() && pair.dup == 0 &&
      check_duplicate_key(op, pair, x, p, &beside) != 1) {
    return -1;
  }
  TextPlan plan;
  const int32_t fit = room_test(op, pair, x, p, &plan, &beside);
  if (fit < 0) return -1;
  if (fit == 0 && last) {
    const int32_t result =
        insert_entry(op, pair, x, p, &plan) == 1 ? kPlaced : -1;
    px.put_last();
    op.file->recent_leaf = at_an_end(x, p) ? xb : 0;
    if (result == kPlaced) remember_parent(op, x, xb, p == x.count() - 1, par);
    return result;
  }
  if (fit != 0 && relisted != nullptr) {
    const int32_t sealed =
        shift_one_sealed(op, pair, px, p, plan, par, relisted);
    if (sealed != 0) {
      // A left shift keeps x's size: the pair went in last when p was past
      // every entry.
      remember_parent(op, x, xb, p == x.count(), par);
      px.put();
      return sealed;
    }
  }
  if (px.save(kCtxInsertKey) != 1) return -1;
  int32_t result;
  if (fit == 0) {
    result = insert_entry(op, pair, x, p, &plan) == 1 ? kPlaced : -1;
  } else {
    result = overflow(op, pair, px, p, par, relisted);
  }
  px.put();
  return result;
}

// The node of a level that now lists `child`, after a step that may have
// moved entries into a new right sibling: `from` itself or a node to its
// right. When the child went into the left neighbour instead, later (larger)
// pairs still belong in `from`.
int32_t locate_child(Op &op, BlockNo child, BlockNo from, BlockNo *out) {
  BlockNo b = from;
  for (uint32_t guard = 0; guard <= op.cr().last_block; ++guard) {
    Pin pin(op);
    if (pin.get(b, kCtxResync) != 1) return -1;
    const Node node = pin.node();
    bool here = node.low_path() == child;
    for (int32_t i = 0; !here && i < node.count(); ++i) {
      here = node.child(i) == child;
    }
    if (here) {
      *out = b;
      return 1;
    }
    if (node.right() == 0) break;
    b = node.right();
  }
  *out = from;
  return 1;
}

// Sets at.index to the position at which parent at.block lists node b
// (-1: its low_path child). A node the parent does not list (its separator
// was dropped by a shift, or it was just made by a split) must not shift
// into its neighbours, which needs a true index; at.shiftable says so.
int32_t where_listed(Op &op, BlockNo b, Parent *at) {
  at->shiftable = false;
  if (at->block == 0) return 1;
  Pin pp(op);
  if (pp.get(at->block, kCtxResync) != 1) return -1;
  const Node p = pp.node();
  for (int32_t i = -1; i < p.count(); ++i) {
    if (p.child_at(i) == b) {
      at->index = i;
      at->shiftable = true;
      return 1;
    }
  }
  return 1;
}

// Lists again, in parent n, every child between the last child it lists
// correctly and the next one it lists (children of index i's step).
int32_t resync(Op &op, BlockNo nb, int32_t i, Parent par) {
  BlockNo r = 0;
  BlockNo stop = 0;
  {
    Pin pn(op);
    if (pn.get(nb, kCtxResync) != 1) return -1;
    const Node n = pn.node();
    int32_t j = i - 1 < -1 ? -1 : i - 1;
    if (j >= n.count()) return op.corrupt(kCtxResync);
    if (right_of(op, n.child_at(j), kCtxResync, &r) != 1) return -1;
    ++j;
    if (j < n.count() && n.child(j) == r) {
      if (right_of(op, r, kCtxResync, &r) != 1) return -1;
      ++j;
    }
    if (j < n.count()) {
      stop = n.child(j);
    } else if (n.right() != 0) {
      Pin pr(op);
      if (pr.get(n.right(), kCtxResync) != 1) return -1;
      stop = pr.node().low_path();
    }
  }
  int32_t result = 1;
  BlockNo target = nb;
  Parent at = par;
  for (uint32_t guard = 0; r != stop; ++guard) {
    if (r == 0 || guard > op.cr().last_block) return op.corrupt(kCtxResync);
    Pin leaf(op);
    Pair low;
    if (low_path_pair(op, r, leaf, low) != 1) return -1;
    low.dup = 1;
    const int32_t x = node_insert(op, low, target, at);
    if (x == -1) return -1;
    if (needs_resync(x)) {
      result = x;
      BlockNo found = target;
      if (locate_child(op, r, target, &found) != 1) return -1;
      target = found;
      // A shift may have removed entries of the parent, and a split made a
      // node it does not list yet: find where the parent lists the node
      // now, if it does.
      if (where_listed(op, target, &at) != 1) return -1;
    }
    leaf.release();
    if (right_of(op, r, kCtxResync, &r) != 1) return -1;
  }
  return result;
}

// Adds a root above the current one and lists the root level's other nodes
// in it, repeating while the new root itself had to split.
int32_t make_new_root(Op &op) {
  ControlRecord &cr = op.cr();
  for (int32_t levels = 0; levels < kMaxDepth; ++levels) {
    Pin pt(op);
    if (alloc_block(op, pt) != 1) {
      op.ctx = kCtxNewRoot;
      return -1;
    }
    const BlockNo old_root = cr.root;
    const BlockNo t = pt.block();
    pt.node().init_interior(old_root, 0, 0, 0);
    pt.put();
    cr.root = t;
    cr.depth += 1;
    BlockNo c = 0;
    if (right_of(op, old_root, kCtxNewRoot, &c) != 1) return -1;
    BlockNo target = t;
    for (uint32_t guard = 0; c != 0; ++guard) {
      if (guard > cr.last_block) return op.corrupt(kCtxNewRoot);
      Pin leaf(op);
      Pair low;
      if (low_path_pair(op, c, leaf, low) != 1) return -1;
      low.dup = 1;
      const int32_t x = node_insert(op, low, target, Parent{});
      if (x == -1) return -1;
      if (x == kSplit && locate_child(op, c, target, &target) != 1) {
        return -1;
      }
      leaf.release();
      if (right_of(op, c, kCtxNewRoot, &c) != 1) return -1;
    }
    BlockNo beside = 0;
    if (right_of(op, cr.root, kCtxNewRoot, &beside) != 1) return -1;
    if (beside == 0) return 1;
  }
  return op.corrupt(kCtxNewRoot);
}

// What interior node nb (the parent par's child i) does after its child
// step returned r: the uses of a sealed shift's blocks (relisted), or the
// re-synchronisation of its children. The result goes to the level above.
int32_t after_child_step(Op &op, int32_t r, const Relisted &relisted,
                         BlockNo nb, int32_t i, Parent par) {
  if (r == kPlacedAndListed) {
    for (int32_t k = 0; k < relisted.count; ++k) {
      if (touch(op, relisted.touch[k], kCtxResync) != 1) return -1;
    }
    return kPlaced;
  }
  if (needs_resync(r)) return resync(op, nb, i, par);
  return r;
}

// The descent step at interior node n (block nb, held in pn or looked at in
// place), at `level` below the root.
int32_t descend(Op &op, const Pair &pair, BlockNo nb, const Node &n, Pin &pn,
                Parent par, int32_t level) {
  ChildStep step;
  Pin pc(op);
  if (step_down(op, pair, n, pn, level, kCtxInsertKey, &step, pc) != 1) {
    return -1;
  }
  const int32_t i = step.index;
  const Parent here{nb, i, true};
  Relisted relisted;
  const int32_t r =
      step.leaf ? node_insert_pinned(op, pair, pc, here, true, &relisted)
                : descend(op, pair, step.child, step.node, pc, here, level + 1);
  pc.release();
  return after_child_step(op, r, relisted, nb, i, par);
}

int32_t make_first_node(Op &op, const Pair &pair) {
  ControlRecord &cr = op.cr();
  Pin pb(op);
  if (alloc_block(op, pb) != 1) {
    op.ctx = kCtxFirstNode;
    return -1;
  }
  const BlockNo b = pb.block();
  pb.node().init_leaf(0, 0);
  pb.put();
  cr.root = b;
  cr.first_leaf = b;
  cr.last_leaf = b;
  cr.depth = 1;
  return node_insert(op, pair, b, Parent{}) == 1 ? 1 : -1;
}

}  // namespace

// With duplicates not allowed, looks for an equal key next to position p of
// leaf x, across its ends into the neighbouring leaves.
int32_t check_duplicate_key(Op &op, const Pair &pair, const Node &x, int32_t p,
                            const Beside *beside) {
  const bool equal = beside != nullptr && beside->known
                         ? beside->before || beside->after
                         : keys_equal(op, pair.key, pair.len, x, p - 1) ||
                               keys_equal(op, pair.key, pair.len, x, p);
  if (equal) return op.fail(kErrDupKey, kCtxInsertKey);
  Pin side(op);
  if (p == 0 && x.left() != 0) {
    if (side.get(x.left(), kCtxInsertKey) != 1) return -1;
    const Node l = side.node();
    if (keys_equal(op, pair.key, pair.len, l, l.count() - 1)) {
      return op.fail(kErrDupKey, kCtxInsertKey);
    }
  } else if (p > 0 && p == x.count() && x.right() != 0) {
    if (side.get(x.right(), kCtxInsertKey) != 1) return -1;
    if (keys_equal(op, pair.key, pair.len, side.node(), 0)) {
      return op.fail(kErrDupKey, kCtxInsertKey);
    }
  }
  return 1;
}

namespace {

// The steps in leaf b once the pair was found to belong there: position p
// (-1: found by the leaf's search), duplicate checks across its ends, room
// test, insertion. 1 placed, -1 failed (the pair is there already, or a
// duplicate key), 0 no room (the caller descends). The leaf of the last
// insertion becomes b when the pair went in at one of its ends, else none,
// as the descent's insertion leaves it. tested: a room test's plan for p
// in which the pair fits, made by the caller on the leaf as it stands;
// beside, if known, what the caller's compares found of the keys beside p.
inline int32_t place_in_held(Op &op, const Pair &pair, BlockNo b, int32_t p,
                             const TextPlan &tested,
                             const Beside *beside = nullptr) {
  Pin px(op);
  if (px.get(b, kCtxInsertKey) != 1) return -1;
  const Node x = px.node();
  if (p < 0 && insertion_position(op, pair, x, &p) != 1) return -1;
  if (pair.dup == 0 && check_duplicate_key(op, pair, x, p, beside) != 1) {
    return -1;
  }
  TextPlan plan = tested;
  if (!plan.valid) {
    const int32_t fit = room_test(op, pair, x, p, &plan);
    if (fit < 0) return -1;
    if (fit > 0) return 0;
  }
  const int32_t result = insert_entry(op, pair, x, p, &plan);
  px.put_last();
  op.file->recent_leaf = at_an_end(x, p) ? b : 0;
  return result;
}

// Whether par, remembered for leaf b, is still the parent the descent to b
// would pass: a node the pool holds checked, interior, the last of its
// level, whose last child is b at par.index.
bool lists_last(const Op &op, Parent par, BlockNo b) {
  if (par.block == 0) return false;
  const Node n = held_node(op, par.block);
  return n.data() != nullptr && !n.leaf() && !n.unused() && n.right() == 0 &&
         n.count() >= 1 && par.index == n.count() - 1 && n.child(par.index) == b;
}

// The recent leaf b is the tree's last leaf, full, and the pair goes past
// its last entry: the descent would reach b through par (lists_last) and
// try the sealed shift of b's first entry into its left neighbour, which is
// tried here with the same leaf steps before it (duplicate check, room
// test, whose plan the caller made on the leaf as it stands: the pair does
// not fit). 1 placed, -1 failed as the duplicate check fails, 0 not placed
// and nothing changed (the caller descends, and the descent's steps then
// decide).
// Unlike the descent, this path does not use the root and the interior
// nodes above par in the pool's recency order, as the recent-leaf path
// skips them for a plain insertion too: with few buffers a later
// replacement may then take another block.
int32_t shift_from_recent_leaf(Op &op, const Pair &pair, BlockNo b, int32_t p,
                               const TextPlan &plan, Parent par,
                               const Beside &beside,
                               const LeftShiftTests &tests) {
  Pin px(op);
  if (px.get(b, kCtxInsertKey) != 1) return -1;
  const Node x = px.node();
  if (x.unused()) return 0;
  if (pair.dup == 0 && check_duplicate_key(op, pair, x, p, &beside) != 1) {
    return -1;
  }
  if (shift_last_sealed(op, pair, px, p, plan, par, &tests) == 0) return 0;
  px.put();
  remember(op.file, par);
  ++g_recent_shifts;
  return 1;
}

// Places the pair in the leaf of the last insertion when it belongs there
// and fits without overflow, or, with par remembered for it
// (CbFile::recent_parent), when the sealed left shift makes room: 1 placed,
// -1 failed (the pair is there already, or a duplicate key), 0 not tried or
// not placed (the caller descends). A sound tree leads every pair between a
// leaf's first and last pairs to that leaf, every pair above the last pair
// of the tree to the last leaf and every pair below the first to the first
// leaf, so the descent would end in the same leaf, where the same steps
// follow. Only a leaf held in the pool and checked since it was read is
// tried, so the guess costs no read.
int32_t place_in_recent_leaf(Op &op, const Pair &pair, Parent par) {
  const BlockNo b = op.file->recent_leaf;
  const Node held = held_node(op, b);
  if (held.data() == nullptr) return 0;
  // Looked at in place (nothing replaces a buffer meanwhile); pinned only
  // when the pair belongs there. p: the pair's position when it goes past
  // either end, -1 when it falls between the first and last pairs.
  int32_t p = -1;
  TextPlan plan;
  // At an end, the one compare of keys tells whether the pair's key equals
  // its neighbour's (the room test's text sharing, the duplicate check).
  Beside beside;
  {
    const Node &x = held;
    const int32_t n = x.count();
    if (!x.leaf() || n <= 0) return 0;
    // The last leaf, too full for the pair unless its key equals the last
    // one, with its parent known: the tests of the shift that would make
    // room, those that need not look at the key, are made first. They run
    // while the caller's key (asked for when the call began) is still on
    // its way from memory; the compare below waits for it.
    LeftShiftTests tests;
    if (x.right() == 0 &&
        op.bs - kNodeHeader - content_bytes(x) < kLeafEntry + pair.len &&
        lists_last(op, par, b)) {
      test_shift_last(op, x, b, par, pair.dup, &tests);
    }
    const int32_t last =
        cmp_keys(op, pair.key, pair.len, x.key(n - 1), x.key_len(n - 1));
    if (last > 0 || (last == 0 && pair.item > x.item(n - 1))) {
      if (x.right() != 0) return 0;
      p = n;
      beside.known = true;
      beside.before = last == 0;
    } else {
      const int32_t first =
          cmp_keys(op, pair.key, pair.len, x.key(0), x.key_len(0));
      if (first < 0 || (first == 0 && pair.item < x.item(0))) {
        if (x.left() != 0) return 0;
        p = 0;
        beside.known = true;
        beside.after = first == 0;
      }
    }
    // A full leaf at an end overflows: the descent handles it, unless the
    // last leaf's parent is known.
    if (p >= 0 && room_test(op, pair, x, p, &plan, &beside) != 0) {
      // Tests made: lists_last held for them.
      if (p != n || !(tests.made || lists_last(op, par, b))) return 0;
      return shift_from_recent_leaf(op, pair, b, p, plan, par, beside, tests);
    }
  }
  const int32_t r = place_in_held(op, pair, b, p, plan, &beside);
  // A plain insertion leaves every parent as it was.
  if (r == 1 && op.file->recent_leaf == b) {
    remember(op.file, par);
  }
  return r;
}

// The pair's insertion into leaf b, whose chain of parents is path (checked
// by path_holds): the leaf step of the descent and its way back up (the
// sealed shift's touches, re-synchronisation of the parents that need it),
// with the parents the descent would have passed. The result is that of the
// descent, for place_pair.
int32_t insert_on_path(Op &op, const Pair &pair, const DescentPath &path,
                       BlockNo b) {
  const auto parent = [&](int32_t l) {
    return l == 0 ? Parent{} : Parent{path.block[l - 1], path.index[l - 1]};
  };
  const int32_t levels = path.levels;
  Relisted relisted;
  int32_t r;
  {
    Pin px(op);
    if (px.get(b, kCtxInsertKey) != 1) return -1;
    px.prefetch();
    r = node_insert_pinned(op, pair, px, parent(levels), true,
                           levels > 0 ? &relisted : nullptr);
  }
  for (int32_t l = levels - 1; l >= 0 && r != -1; --l) {
    r = after_child_step(op, r, relisted, path.block[l], path.index[l],
                         parent(l));
  }
  return r;
}

// The same for a caller's leaf and the position it expects the pair at
// (LeafHint): taken when the pair lies strictly between the entries around
// that position (two comparisons, where the leaf's search takes about ten),
// or past the end of the last leaf or the start of the first one, and fits
// without overflow.
// When the pair belongs there but overflows the leaf, the overflow's steps
// need the leaf's parents: the hint's path gives them when every link of it
// still holds. Else the caller descends.
int32_t place_at_hint(Op &op, const Pair &pair, const LeafHint &hint) {
  const int32_t p = hint.pos;
  TextPlan plan;
  {
    const Node x = held_node(op, hint.block);
    if (x.data() == nullptr || !x.leaf() || x.unused()) return 0;
    const int32_t n = x.count();
    if (p < 0 || p > n || n <= 0) return 0;
    if (p == 0 ? x.left() != 0
               : cmp_pair(op, pair.key, pair.len, pair.item, x, p - 1) <= 0) {
      return 0;
    }
    if (p == n ? x.right() != 0
               : cmp_pair(op, pair.key, pair.len, pair.item, x, p) >= 0) {
      return 0;
    }
    if (room_test(op, pair, x, p, &plan) != 0) {
      if (hint.path == nullptr || !path_holds(op, *hint.path, hint.block)) {
        return 0;
      }
      return insert_on_path(op, pair, *hint.path, hint.block);
    }
  }
  return place_in_held(op, pair, hint.block, p, plan);
}

int32_t place_pair(Op &op, const Pair &pair, const LeafHint *hint) {
  ControlRecord &cr = op.cr();
  // The last leaf's parent, when no change came after the one that
  // remembered it.
  const CbFile *f = op.file;
  const bool known = g_recent_parent && f->recent_change == cr.change_counter;
  const Parent par{known ? f->recent_parent : 0, f->recent_index, true};
  if (cr.root == 0) return make_first_node(op, pair);
  if (hint != nullptr) {
    const int32_t placed = place_at_hint(op, pair, *hint);
    if (placed == -1) return -1;
    if (needs_resync(placed)) return make_new_root(op);
    if (placed != 0) return 1;
  }
  if (op.file->recent_leaf != 0) {
    const int32_t guessed = place_in_recent_leaf(op, pair, par);
    if (guessed != 0) return guessed;
  }
  int32_t r;
  {
    Pin pr(op);
    const Node root = descent_node(op, cr.root, 0, kCtxInsertKey, pr);
    if (root.data() == nullptr) return -1;
    if (root.unused()) return op.corrupt(kCtxInsertKey);
    r = root.leaf() ? node_insert_pinned(op, pair, pr, Parent{}, true)
                    : descend(op, pair, cr.root, root, pr, Parent{}, 0);
  }
  if (r == -1) return -1;
  if (needs_resync(r)) return make_new_root(op);
  return 1;
}

}  // namespace

int32_t insert_pair(Op &op, const Pair &pair, const LeafHint *hint) {
  Undo undo(op);
  const int32_t r = place_pair(op, pair, hint);
  if (r == -1) undo.roll_back();
  return r;
}

int64_t set_recent_parent(bool on) {
  g_recent_parent = on;
  const int64_t n = g_recent_shifts;
  g_recent_shifts = 0;
  return n;
}

}  // namespace recbase::cbt
