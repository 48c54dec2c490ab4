// Shifts between neighbouring nodes under one parent: the first answer of
// the overflow policy (cbt/insert.cpp) to a full node, before a split.
//
// The general shifts copy every block before they modify it (cbt/undo.h).
// The sealed shifts cover the two overflows that inserts meet most, a
// single entry moving between two leaves, and run without copies when they
// can show, before the first modification, that no step of the change can
// fail any more: they read no block the pool does not hold, allocate
// nothing, write nothing new, and end with the parent's separator rewritten
// in place. They leave the same bytes as the general shifts would, and the
// pool as they would: the same reads (none), each buffer's last use in the
// same order, and the same dirty marks in the same order.
#ifndef RECBASE_CBT_SHIFT_H
#define RECBASE_CBT_SHIFT_H

#include <cstdint>

#include "cbt/node_ops.h"
#include "cbt/tree.h"

namespace recbase::cbt {

// What a node step of an insertion tells the level above (cbt/insert.cpp).
enum StepResult : int32_t {
  kPlaced = 1,
  kSplit = 3,
  kShiftedThenPlaced = 5,
  kPlacedByShift = 6,
  // Internal to the overflow handling: placed by a shift, with the parent
  // already listing the leaf again (its separator rewritten in place).
  kPlacedAndListed = 7,
};

// Where a node sits: its parent (0: none) and its index there (-1: the
// parent's low_path child). shiftable is false for a node whose index is not
// known, which then never shifts into its neighbours.
struct Parent {
  BlockNo block = 0;
  int32_t index = 0;
  bool shiftable = true;
};

// Blocks a shift that relisted a leaf in place touches afterwards,
// in the order in which the general re-synchronisation would have used them
// last, so that the pool's recency order, and with it every later
// replacement and read, stays the same.
struct Relisted {
  BlockNo touch[4] = {};
  int32_t count = 0;
};

// The pair descriptor of entry e of node x.
Pair entry_pair(const Node &x, int32_t e, int32_t dup);

// Pushes entries from the end of x (block xb) into its right neighbour,
// placing the pair as soon as it fits. Returns 1 (nothing moved), 5, 6 or
// -1; with `relisted` (x is a leaf the descent reached), 7 when the pair was
// placed and the parent lists the neighbour again already.
int32_t shift_right(Op &op, const Pair &pair, Node x, BlockNo xb, int32_t p,
                    Parent par, Relisted *relisted);
// Pushes entries from the front of x (block xb) into its left neighbour,
// placing the pair as soon as it fits. p is updated as entries leave.
// Returns 1, 5, 6 or -1; with `relisted` (x is a leaf the descent reached and
// nothing shifted right), 7 when the parent lists x again already.
int32_t shift_left(Op &op, const Pair &pair, Node x, BlockNo xb,
                   int32_t *pp_pos, Parent par, Relisted *relisted);

// The sealed shifts, for the full leaf x (pinned in px, not yet changed or
// copied) that the descent reached and the pair at position p, whose room
// test in x gave `plan`: 7 when the shift was made, sealed, with the result
// shift_right (then shift_left) would have reached; 0 when it cannot be
// shown infallible, and nothing was done. Right: x's last entry, or the
// pair when it goes after every entry, moves to the front of the right
// neighbour. Left, when x is its parent's last child or its right
// neighbour has no room: x's first entry moves to the end of the left
// neighbour.
int32_t shift_one_sealed(Op &op, const Pair &pair, Pin &px, int32_t p,
                         const TextPlan &plan, Parent par, Relisted *relisted);
// The tests of the sealed left shift that do not look at the pair's key,
// for a pair that goes past the last entry of x, par's last child: whether
// the neighbour and the parent are held and sound, the neighbour's room for
// x's first entry (and its plan), the room x would have without that
// entry, and whether the parent can list x under its second entry in
// place. The recent-leaf path makes them before its first compare reads
// the caller's key, so that they run while the key is on its way from
// memory instead of after it.
struct LeftShiftTests {
  bool made = false;  // the fields below hold
  bool holds = false;  // every test passed
  Node s;              // the left neighbour, held
  TextPlan to_s;       // x's first entry at the end of s
  int32_t room = 0;    // x's free bytes once its first entry left
};
void test_shift_last(Op &op, const Node &x, BlockNo xb, Parent par,
                     int32_t dup, LeftShiftTests *out);
// shift_one_sealed for an x that is par's last child, where only the left
// shift can be made: 7 or 0 as there, and no block is left to touch.
// tests, when made for x and par, stand for the tests they hold when the
// pair goes past x's last entry.
int32_t shift_last_sealed(Op &op, const Pair &pair, Pin &px, int32_t p,
                          const TextPlan &plan, Parent par,
                          const LeftShiftTests *tests = nullptr);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_SHIFT_H
