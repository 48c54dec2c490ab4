// Relisting a leaf in place. When a leaf shifts entries into a neighbour,
// the parent's separator of the leaf whose first pair changed is stale; the
// general step drops it and re-synchronises the parent, which lists that
// leaf again under its new first pair. In the usual case that is all it
// does, and these functions let the leaf step rewrite the entry in place
// instead, leaving the bytes the general step would leave.
#ifndef RECBASE_CBT_RELIST_H
#define RECBASE_CBT_RELIST_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Separator e of parent n, the entry of leaf c (block cb), is stale. When
// the re-synchronisation, which the caller has checked starts at c, would
// only list c again at position e (c is followed by the child n lists next
// or ends the level; the new separator sorts back to position e without
// reading another node; no text is shared on either side; it fits), the
// entry is rewritten in place with exactly the bytes of the removal and the
// insertion, and the result is true. low: the leaf holding n's low path key
// when e is 0 (nullptr: not known, and e = 0 is left to the general step).
bool relist_in_place(const Op &op, Node n, int32_t e, BlockNo cb, const Node &c,
                     const Node *low);
// The two halves of relist_in_place, for a caller that must know before it
// changes anything whether the rewrite will happen: relist_fits tests the
// conditions for leaf c (block cb, right sibling c_right) whose first pair
// will be sep, looking only at n; relist_apply then rewrites entry e of n
// (unchanged since the test) with sep's bytes.
bool relist_fits(const Op &op, const Node &n, int32_t e, BlockNo cb,
                 BlockNo c_right, const Pair &sep, const Node *low);
void relist_apply(Node n, int32_t e, const Pair &sep);
// Whether the re-synchronisation of parent n after a shift of leaf x (block
// xb, index g) into its right neighbour starts at that neighbour: the right
// sibling of child g - 1 is x, which n lists at g. Child g - 1 is looked at
// only when the pool holds it, as the general step would not read it then
// either. low: set to x when x is n's low_path child (it then holds n's low
// path key), else nullptr.
bool right_relist_starts(const Op &op, const Node &n, int32_t g, const Node &x,
                         BlockNo xb, const Node **low);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_RELIST_H
