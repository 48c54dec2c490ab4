// Replacing the pair of a leaf entry where it stands.
#ifndef RECBASE_CBT_PAIR_IN_PLACE_H
#define RECBASE_CBT_PAIR_IN_PLACE_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Gives entry p of leaf x the key and item of pair, whose place in pair
// order is p's own, when that leaves exactly the bytes that removing entry
// p and inserting pair at p leave (remove_entry, then insert_entry): the
// new key is as long as the old one and neither key shares its text with a
// neighbour, so the text keeps its place and every other byte its value.
// False, with x unchanged, otherwise.
bool replace_in_place(const Op &op, Node x, int32_t p, const Pair &pair);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_PAIR_IN_PLACE_H
