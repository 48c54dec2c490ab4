// Deletion of one pair from a tree (the work of cbdelete, without its
// checks, locking and commit).
#ifndef RECBASE_CBT_DELETE_H
#define RECBASE_CBT_DELETE_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Removes the pair: 1, or -1 with kErrEmptyTree/kCtxDeleteEmpty, kErrNotFound/
// kCtxDeleteKey, kErrCorrupt (damaged node), kErrNoMemory, kErrGetBlock,
// kErrPutBlock or kErrReleaseBlock (memory or block faults) and the failing
// step's context. All or nothing: after a failure the tree in the pool is
// as it was before the call (cbt/undo.h).
// hint, when given: the leaf and entry where the caller expects the pair; a
// removal that needs nothing else (no join, no freed leaf) is made there
// without the descent.
int32_t delete_pair(Op &op, const Pair &pair, const LeafHint *hint = nullptr);
// Whether a removal that leaves its leaf below the underflow mark, where no
// join follows, is made without a before-image when nothing after it can
// fail (on by default; the tests compare the two ways). Returns how many
// removals were made that way since the previous call.
int64_t set_sealed_underflow(bool on);
// Moves the calling handle's position and mark off the pair when they stand
// on it, each one entry forward: 1, or -1 when a step failed.
int32_t move_off_pair(Op &op, const Pair &pair);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_DELETE_H
