// Insertion of one pair into a tree (the work of cbinsert, without its
// checks, locking and commit).
#ifndef RECBASE_CBT_INSERT_H
#define RECBASE_CBT_INSERT_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Places the pair; 1 or -1 (kErrDupKey equal key with dup 0, kErrDupPair the
// pair exists, kErrCorrupt a damaged node, kErrNoMemory, kErrGetBlock,
// kErrGetEmpty, kErrPutBlock memory or block faults, with the failing
// step's context). All or nothing: after a failure the tree in the pool is
// as it was before the call (cbt/undo.h).
// hint, when given: the leaf and position where the caller expects the pair
// to go (LeafHint); the leaf is tried before the descent, as the leaf of the
// last insertion is.
int32_t insert_pair(Op &op, const Pair &pair, const LeafHint *hint = nullptr);
// With duplicates not allowed: -1 with kErrDupKey/kCtxInsertKey when a key
// equal to the pair's lies next to position p of leaf x, across its ends
// into the neighbouring leaves; else 1. beside, if given and known, tells
// what the search that found p learnt of the keys of x beside it.
int32_t check_duplicate_key(Op &op, const Pair &pair, const Node &x, int32_t p,
                            const Beside *beside = nullptr);
// Whether a shift between leaves rewrites the parent's stale separator in
// place when that leaves the bytes that dropping it and re-synchronising
// the parent leave (on by default; the tests compare the two ways).
// Returns how many separators were rewritten since the previous call.
int64_t set_relist_in_place(bool on);
// Whether an insertion into the full last leaf may shift into its left
// neighbour through the parent remembered from an earlier insertion,
// without a descent (on by default; the tests compare the two ways).
// Returns how many insertions were placed that way since the previous call.
int64_t set_recent_parent(bool on);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_INSERT_H
