// Finding pairs and keeping positions meaningful across changes.
#ifndef RECBASE_CBT_SEARCH_H
#define RECBASE_CBT_SEARCH_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Result codes of searching and walking.
enum SearchResult : int32_t {
  kFound = 2,
  kNext = 3,
};

// Descends from the root to the leaf for (key, item) and sets the cursor on
// the pair or the next one: 2 found, 3 next pair, -3 nothing follows, -1.
int32_t search(Op &op, Cursor &cur, const uint8_t *key, int32_t len,
               int32_t item);
// Copies entry i of the leaf into the cursor (key copy grown as needed):
// -1 with kErrNoMemory when the copy cannot be allocated.
int32_t load_entry(Op &op, Cursor &cur, const Node &leaf, int32_t i);
// Makes a stale cursor current: 1 still on its pair; 3 the pair has gone and
// the cursor is on its successor; -3 nothing follows; -1.
int32_t revalidate(Op &op, Cursor &cur);
// Counts a walk's step from its leaf into the next (dir 1) or previous (dir
// -1) one. While the file does not change, a walk in one direction enters
// each leaf once, so more such steps in a row than the file has blocks
// means that its sibling links go round in a circle: false, and the step
// must fail as damage. A change of direction or of the file starts the
// count again, as does every positioning by key, head or tail.
bool may_enter_leaf(Op &op, Cursor &cur, int32_t dir);
// Item at the position: 1 with *item, the state, or -1; sets 31 when the
// pair had gone and the position moved on.
int32_t get_item(Op &op, int32_t *item);
// Positions on the first / last pair (as cbhead / cbtail do), without the
// get-item step.
int32_t position_first(Op &op, Cursor &cur);
int32_t position_last(Op &op, Cursor &cur);
// One step forward from a current cursor (state 1, -2 or -3), as cbnext.
// A failed load puts the position back.
int32_t step_forward(Op &op, Cursor &cur);
// Grows a cursor's key copy to hold len bytes: -1 with kErrNoMemory on
// failure.
int32_t reserve_key(Op &op, Cursor &cur, int32_t len);
// Copies position src (key bytes included) into dst.
int32_t copy_cursor(Op &op, Cursor &dst, const Cursor &src);
// Frees a cursor's key copy.
void free_cursor(Cursor &cur);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_SEARCH_H
