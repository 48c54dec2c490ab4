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
// the entry before it holds the pair.
int32_t current_item(CbTree *tree, int32_t *item);

// cbmodify(tree, ...), for a new pair that usually lands in the old pair's
// leaf (a free area's key moving to a neighbouring value): the old pair's
// search follows the new pair's descent as long as its own would, and
// where they end in one leaf, that leaf is not read again (cbt/modify.cpp).
int32_t modify_nearby(CbTree *tree, const void *old_key, int32_t old_len,
                      int32_t old_item, const void *new_key, int32_t new_len,
                      int32_t new_item, int32_t dup_allowed);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_RECORD_CALLS_H
