// Shifts between neighbouring nodes (cbt/shift.h).
#include "cbt/shift.h"

#include <cassert>

#include "cbt/relist.h"
#include "cbt/undo.h"

namespace recbase::cbt {

namespace {

// Puts a pair into node s at position at when it fits, first copying s's
// block (pinned in image, context ctx) unless image is null (the caller
// copied it): 1 placed, 0 no room, -1 failure (codes in op).
int32_t place_in(Op &op, const Pair &pair, Pin *image, Node s, int32_t at,
                 int32_t ctx) {
  TextPlan plan;
  const int32_t fit = room_test(op, pair, s, at, &plan);
  if (fit != 0) return fit < 0 ? -1 : 0;
  if (image != nullptr && image->save(ctx) != 1) return -1;
  return insert_entry(op, pair, s, at, &plan) == 1 ? 1 : -1;
}

}  // namespace

Pair entry_pair(const Node &x, int32_t e, int32_t dup) {
  Pair ent;
  ent.key = x.key(e);
  ent.len = x.key_len(e);
  ent.item = x.item(e);
  ent.dup = dup;
  ent.child = x.leaf() ? 0 : x.child(e);
  return ent;
}

int32_t shift_right(Op &op, const Pair &pair, Node x, BlockNo xb, int32_t p,
                    Parent par, Relisted *relisted) {
  if (par.block == 0 || !par.shiftable) return 1;
  {
    Pin pp(op);
    if (pp.get(par.block, kCtxShiftRight) != 1) return -1;
    if (!(par.index < pp.node().count() - 1)) return 1;
  }
  if (x.right() == 0) return op.corrupt(kCtxShiftRight);
  Pin ps(op);
  if (ps.get(x.right(), kCtxShiftRight) != 1) return -1;
  Node s = ps.node();
  if (s.leaf() != x.leaf() || s.unused()) return op.corrupt(kCtxShiftRight);
  const int32_t at = x.leaf() ? 0 : -1;
  int32_t result = 1;
  for (int32_t e = x.count() - 1; e >= p && e >= 0; --e) {
    const int32_t moved =
        place_in(op, entry_pair(x, e, pair.dup), &ps, s, at, kCtxShiftRight);
    if (moved < 0) return -1;
    if (moved == 0) break;
    remove_entry(x, e);
    result = kShiftedThenPlaced;
    const int32_t placed = place_in(op, pair, nullptr, x, p, 0);
    if (placed < 0) return -1;
    if (placed == 1) {
      result = kPlacedByShift;
      break;
    }
  }
  if (result != kPlacedByShift && p == x.count()) {
    const int32_t placed = place_in(op, pair, &ps, s, at, kCtxShiftRight);
    if (placed < 0) return -1;
    if (placed == 1) result = kPlacedByShift;
  }
  if (result == 1) return 1;
  const BlockNo rb = ps.block();
  ps.put();
  Pin pp(op);
  if (pp.get(par.block, kCtxShiftRight) != 1 || pp.save(kCtxShiftRight) != 1) {
    return -1;
  }
  const Node n = pp.node();
  const Node *low = nullptr;
  const uint8_t *r = peek_block(op.lru, rb);
  if (relisted != nullptr && result == kPlacedByShift && x.leaf() &&
      r != nullptr && x.right() == rb &&
      right_relist_starts(op, n, par.index, x, xb, &low) &&
      relist_in_place(op, n, par.index + 1, rb,
                      Node(const_cast<uint8_t *>(r), op.bs), low)) {
    // The general step would have used last child g - 1 (x itself when x
    // is the low_path child), x, the parent and the neighbour.
    relisted->count = 0;
    if (par.index >= 0)
      relisted->touch[relisted->count++] = n.child_at(par.index - 1);
    relisted->touch[relisted->count++] = xb;
    relisted->touch[relisted->count++] = par.block;
    relisted->touch[relisted->count++] = rb;
    result = kPlacedAndListed;
  } else {
    remove_entry(n, par.index + 1);
  }
  pp.put();
  return result;
}

int32_t shift_left(Op &op, const Pair &pair, Node x, BlockNo xb,
                   int32_t *pp_pos, Parent par, Relisted *relisted) {
  if (par.block == 0 || !par.shiftable || par.index < 0) return 1;
  if (x.left() == 0) return op.corrupt(kCtxShiftLeft);
  Pin ps(op);
  if (ps.get(x.left(), kCtxShiftLeft) != 1) return -1;
  Node s = ps.node();
  if (s.leaf() != x.leaf() || s.unused() || s.count() < 0) {
    return op.corrupt(kCtxShiftLeft);
  }
  int32_t &p = *pp_pos;
  const int32_t stop = x.leaf() ? 0 : -1;
  int32_t result = 1;
  while (p > stop) {
    Pin low_leaf(op);
    Pair ent;
    if (x.leaf()) {
      ent = entry_pair(x, 0, pair.dup);
    } else {
      // The low_path child moves, keyed by its smallest pair.
      if (low_path_pair(op, x.low_path(), low_leaf, ent) != 1) return -1;
      ent.dup = pair.dup;
      ent.child = x.low_path();
    }
    const int32_t moved = place_in(op, ent, &ps, s, s.count(), kCtxShiftLeft);
    if (moved < 0) return -1;
    if (moved == 0) break;
    low_leaf.release();
    remove_entry(x, x.leaf() ? 0 : -1);
    result = kShiftedThenPlaced;
    --p;
    const int32_t placed = place_in(op, pair, nullptr, x, p, 0);
    if (placed < 0) return -1;
    if (placed == 1) {
      result = kPlacedByShift;
      break;
    }
  }
  if (result != kPlacedByShift && p == stop) {
    const int32_t placed = place_in(op, pair, &ps, s, s.count(), kCtxShiftLeft);
    if (placed < 0) return -1;
    if (placed == 1) result = kPlacedByShift;
  }
  if (result == 1) return 1;
  const BlockNo lb = ps.block();
  const BlockNo l_right = s.right();
  ps.put();
  Pin pp(op);
  if (pp.get(par.block, kCtxShiftLeft) != 1 || pp.save(kCtxShiftLeft) != 1) {
    return -1;
  }
  // The re-synchronisation starts at the right sibling of child g - 1.
  const Node n = pp.node();
  if (relisted != nullptr && result == kPlacedByShift && x.leaf() &&
      par.index >= 1 && par.index < n.count() && n.child(par.index - 1) == lb &&
      l_right == xb && relist_in_place(op, n, par.index, xb, x, nullptr)) {
    // The general step would have used last the neighbour, the parent and
    // x, the order in which they were just put.
    relisted->count = 0;
    result = kPlacedAndListed;
  } else {
    remove_entry(pp.node(), par.index);
  }
  pp.put();
  return result;
}

namespace {

// The tests of one_left that do not depend on the pair but through sep,
// the pair that will list x in its parent n (par's node, held): x's entry
// 1, or the pair itself when it goes in at 1.
void left_tests(Op &op, const Node &x, BlockNo xb, Parent par, Node n,
                int32_t dup, const Pair &sep, LeftShiftTests *t) {
  t->made = true;
  t->holds = false;
  if (par.index < 1) return;
  const BlockNo lb = x.left();
  if (n.child(par.index - 1) != lb) return;
  t->s = held_node(op, lb);
  const Node &s = t->s;
  if (s.data() == nullptr || !s.leaf() || s.unused() || s.count() < 0 ||
      s.right() != xb) {
    return;
  }
  if (room_test(op, entry_pair(x, 0, dup), s, s.count(), &t->to_s) != 0) {
    return;
  }
  // Without its entry 0, x takes the pair at p - 1 with the same plan: the
  // pair shares no text with entries p - 1 and p, nor does p with p - 1.
  const int32_t freed =
      kLeafEntry + (shared_with_prev(x, 1) ? 0 : x.key_len(0));
  t->room = op.bs - kNodeHeader - content_bytes(x) + freed;
  t->holds = relist_fits(op, n, par.index, xb, x.right(), sep, nullptr);
}

// The left shift of shift_one_sealed: x's first entry moves to the end of
// its left neighbour, the pair then fits at p - 1, and n's separator of x
// is rewritten in place. x (block xb) is the last child of parent n, or
// (rb not 0) its right neighbour rb, held, cannot take what shift_right
// would offer it, so that shift_right looks at rb and moves nothing.
// tests: made by test_shift_last for a pair past x's last entry.
int32_t one_left(Op &op, const Pair &pair, Node x, BlockNo xb, int32_t p,
                 const TextPlan &plan, Parent par, Node n, BlockNo rb,
                 Relisted *relisted, const LeftShiftTests *tests = nullptr) {
  if (par.index < 1 || p < 1) return 0;
  LeftShiftTests made;
  if (p >= 2 && tests != nullptr && tests->made && p == x.count()) {
    made = *tests;
  } else {
    left_tests(op, x, xb, par, n, pair.dup,
               p == 1 ? pair : entry_pair(x, 1, pair.dup), &made);
  }
  if (!made.holds || plan.need > made.room) return 0;
  const Node s = made.s;
  const Pair first = entry_pair(x, 0, pair.dup);
  TextPlan to_s = made.to_s;
  const BlockNo lb = x.left();
  if (op.undo != nullptr) op.undo->seal();
  // Uses of held blocks, and insertions as planned into nodes with the
  // room: none of these can fail (debug builds check).
  bool ok = true;
  // shift_right's look at the neighbour. Its look at the parent needs no
  // use of its own: the parent is used again below, before any block is
  // read, and only a buffer's last use places it in the recency order.
  if (rb != 0) ok &= touch(op, rb, kCtxShiftRight) == 1;
  // The neighbour and the parent are changed where the pool holds them;
  // put_held then makes the uses and dirty marks of their pins and puts, in
  // the same order.
  ok &= insert_entry(op, first, s, s.count(), &to_s) == 1;
  if (shared_with_prev(x, 1)) {
    remove_entry(x, 0);
    ok &= insert_entry(op, pair, x, p - 1, &plan) == 1;
  } else {
    replace_first(pair, x, p);
  }
  ok &= put_held(op, lb, kCtxShiftLeft) == 1;
  relist_apply(n, par.index, entry_pair(x, 0, pair.dup));
  ok &= put_held(op, par.block, kCtxShiftLeft) == 1;
  assert(ok);
  (void)ok;
  relisted->count = 0;
  return kPlacedAndListed;
}

// The right shift of shift_one_sealed: x (block xb, not n's low_path child)
// has a right neighbour under n; x's last entry, or the pair when it goes
// after every entry, moves to the neighbour's front, the pair then fits in
// x, and n's separator of the neighbour is rewritten in place. *full is
// set when the neighbour is held, sound, and has no room for that first
// entry: shift_right then moves nothing.
int32_t one_right(Op &op, const Pair &pair, Node x, BlockNo xb, int32_t p,
                  const TextPlan &plan, Parent par, Node n, bool *full,
                  Relisted *relisted) {
  const BlockNo rb = x.right();
  const Node s = held_node(op, rb);
  if (s.data() == nullptr || !s.leaf() || s.unused()) return 0;
  const int32_t last = x.count() - 1;
  const Pair moved = p <= last ? entry_pair(x, last, pair.dup) : pair;
  TextPlan to_s;
  if (room_test(op, moved, s, 0, &to_s) != 0) {
    *full = true;
    return 0;
  }
  const Node *low = nullptr;
  if (par.index < 0 || !right_relist_starts(op, n, par.index, x, xb, &low)) {
    return 0;
  }
  if (p <= last) {
    // Without its last entry, x takes the pair at p with the same plan.
    const int32_t freed =
        kLeafEntry + (shared_with_prev(x, last) ? 0 : x.key_len(last));
    if (plan.need > op.bs - kNodeHeader - content_bytes(x) + freed) return 0;
  }
  if (!relist_fits(op, n, par.index + 1, rb, s.right(), moved, low)) return 0;
  if (op.undo != nullptr) op.undo->seal();
  bool ok = true;
  // shift_right's look at the parent needs no use of its own: the parent
  // is used again below (see one_left).
  // As in one_left, the neighbour and the parent are changed in place.
  ok &= insert_entry(op, moved, s, 0, &to_s) == 1;
  if (p <= last && shared_with_prev(x, last)) {
    remove_entry(x, last);
    ok &= insert_entry(op, pair, x, p, &plan) == 1;
  } else if (p <= last) {
    replace_last(pair, x, p);
  }
  ok &= put_held(op, rb, kCtxShiftRight) == 1;
  relist_apply(n, par.index + 1, entry_pair(s, 0, pair.dup));
  ok &= put_held(op, par.block, kCtxShiftRight) == 1;
  assert(ok);
  (void)ok;
  // The blocks the general steps would have used last, as shift_right
  // lists them.
  relisted->count = 0;
  relisted->touch[relisted->count++] = n.child_at(par.index - 1);
  relisted->touch[relisted->count++] = xb;
  relisted->touch[relisted->count++] = par.block;
  relisted->touch[relisted->count++] = rb;
  return kPlacedAndListed;
}

// The parent of leaf x for a sealed shift of the pair planned by plan: the
// node of par held in the pool; a Node without data when no sealed shift
// can be made (a nested change, which may not seal, or a pair that shares
// text with its neighbours). shift_one_sealed makes the same tests inline:
// a call there cost the random loads' inlining of the pool lookups.
Node sealed_parent(const Op &op, const Node &x, Parent par,
                   const TextPlan &plan) {
  if (op.undo != nullptr && !op.undo->outermost()) return Node();
  if (!x.leaf() || par.block == 0 || !par.shiftable || !plan.valid ||
      plan.share_off >= 0 || plan.unshare) {
    return Node();
  }
  return held_node(op, par.block);
}

}  // namespace

int32_t shift_one_sealed(Op &op, const Pair &pair, Pin &px, int32_t p,
                         const TextPlan &plan, Parent par, Relisted *relisted) {
  if (op.undo != nullptr && !op.undo->outermost()) return 0;
  const Node x = px.node();
  if (!x.leaf() || par.block == 0 || !par.shiftable || !plan.valid ||
      plan.share_off >= 0 || plan.unshare) {
    return 0;
  }
  const Node n = held_node(op, par.block);
  if (n.data() == nullptr) return 0;
  // shift_right tries the right neighbour when the parent lists one after
  // x; only when it does not can the left shift come first.
  const int32_t c = n.count();
  if (par.index < c - 1) {
    bool full = false;
    const int32_t r =
        one_right(op, pair, x, px.block(), p, plan, par, n, &full, relisted);
    if (r != 0 || !full) return r;
    return one_left(op, pair, x, px.block(), p, plan, par, n, x.right(),
                    relisted);
  }
  if (par.index == c - 1) {
    return one_left(op, pair, x, px.block(), p, plan, par, n, 0, relisted);
  }
  return 0;
}

void test_shift_last(Op &op, const Node &x, BlockNo xb, Parent par,
                     int32_t dup, LeftShiftTests *out) {
  const Node n = held_node(op, par.block);
  if (n.data() == nullptr || x.count() < 2) {
    out->made = true;
    out->holds = false;
    return;
  }
  left_tests(op, x, xb, par, n, dup, entry_pair(x, 1, dup), out);
}

int32_t shift_last_sealed(Op &op, const Pair &pair, Pin &px, int32_t p,
                          const TextPlan &plan, Parent par,
                          const LeftShiftTests *tests) {
  const Node x = px.node();
  const Node n = sealed_parent(op, x, par, plan);
  if (n.data() == nullptr || par.index != n.count() - 1) return 0;
  Relisted relisted;
  return one_left(op, pair, x, px.block(), p, plan, par, n, 0, &relisted,
                  tests);
}

}  // namespace recbase::cbt
