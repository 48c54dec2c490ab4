// Tree calls of the record layer, with the results, codes and positions of
// the exported calls they stand for, in fewer steps.
#ifndef RECBASE_CBT_RECORD_CALLS_H
#define RECBASE_CBT_RECORD_CALLS_H

#include <cstdint>

#include "recbase/cbt.h"

namespace recbase::cbt {

// cbcurr(tree, item). A deletion through the handle moves its position on
// to the pair after the deleted one, which then stands one entry before the
// remembered one when both were in one leaf; cbcurr's re-validation looks
// only at the remembered entry and otherwise searches the tree again. On a
// file of this process alone, the remembered entry is moved back first when
// the entry before it holds the pair; and when the pool holds the leaf with
// the pair at the remembered entry, the answer is given without the call
// (with the use of the leaf's buffer and the snapshot that cbcurr's
// re-validation leaves).
int32_t current_item(CbTree *tree, int32_t *item);

// cbcurr(tree, item) then cbkey(tree, first, 1) (a record's lookup: its
// item, and the index number its key begins with), for a position whose key
// copy is current (cbt/cursor_step.h): the item and the key's first byte (0
// for an empty key) from the cursor, with cbfcncode as the two calls leave
// it. false, with nothing done: make the calls.
bool current_lead(CbTree *tree, int32_t *item, uint8_t *first);

// cbnext(tree, item) then cbkey(tree, first, 1), for a step that stays
// within the position's leaf (cbnext's common case): the next item and its
// key's first byte, with cbfcncode as the two calls leave it. false, with
// nothing done: make the calls.
bool next_lead(CbTree *tree, int32_t *item, uint8_t *first);

// cbmodify(tree, ...), for a new pair that usually lands in the old pair's
// leaf (a free area's key moving to a neighbouring value): the old pair's
// search follows the new pair's descent as long as its own would, and
// where they end in one leaf, that leaf is not read again (cbt/modify.cpp).
int32_t modify_nearby(CbTree *tree, const void *old_key, int32_t old_len,
                      int32_t old_item, const void *new_key, int32_t new_len,
                      int32_t new_item, int32_t dup_allowed);

// cbdelete(tree, ...), for the pair the handle's position is on (a record's
// entry in the index it was found through): when the pool holds the
// position's leaf with the pair at the remembered entry and the leaf stays
// at or above the underflow mark without it, the entry is removed there,
// without the descent, which would end in that leaf and do only that
// (cbt/delete.cpp). A leaf that falls below the mark takes the joins that
// follow with the parents the handle's last search passed, when every link
// of that chain still holds in the pool.
int32_t delete_at_position(CbTree *tree, const void *key, int32_t len,
                           int32_t item);

// cbinsert(tree, ...), for a pair that belongs just after the handle's
// position: a free area's position key, inserted after the search that found
// the areas around it (and, between the two, the insertion of its size key,
// which lands elsewhere unless the tree is small). The position's leaf, when
// the pool holds it, is tried first with the entry after the position as
// the guess, before the leaf of the last insertion and the descent
// (cbt/insert.cpp): the same leaf as the descent's, without it. A pair that
// belongs there but overflows the leaf takes the overflow's steps with the
// parents the handle's last search passed, when that chain still holds.
int32_t insert_after_position(CbTree *tree, const void *key, int32_t len,
                              int32_t item, int32_t dup_allowed);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_RECORD_CALLS_H
