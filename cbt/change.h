// Shared steps of the calls that change a tree.
#ifndef RECBASE_CBT_CHANGE_H
#define RECBASE_CBT_CHANGE_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Longest key the pool's buffers allow (buffer size - 28).
int32_t key_limit();
// A key for a change: non-negative length, bytes present, and short enough
// for the tree's blocks. False with kErrKeyLength staged.
bool check_change_key(Op &op, const void *key, int32_t len);
// Write lock, then synchronisation (the lock is released when that fails).
int32_t begin_change(Op &op);
// Commit with a change counted; -1 when it fails, else result.
int32_t end_change(Op &op, int32_t result);
// A whole insert / delete as cbinsert / cbdelete make it after their
// argument checks: lock and synchronise, the work, key_count, commit. Used
// by cbmodify too, whose inner steps finish their own modification.
// hint as for insert_pair and delete_pair.
int32_t do_insert(Op &op, const Pair &pair, const LeafHint *hint = nullptr);
int32_t do_delete(Op &op, const Pair &pair, const LeafHint *hint = nullptr);
Pair make_pair(const void *key, int32_t len, int32_t item, int32_t dup);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_CHANGE_H
