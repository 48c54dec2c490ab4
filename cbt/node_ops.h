// Operations that change the entries of a node in place: measuring, the room
// test, inserting and removing one entry, the low path key of a subtree, and
// moving runs of entries to a right sibling (split) or all of a node into its
// left sibling (join).
//
// Every operation keeps the layout of cbt/node_format.h: entries in pair
// order; key text packed in entry order at the end of the block (or of an
// open leaf's text); neighbouring entries with equal keys of equal length
// sharing one copy. Nothing is allocated: bytes move inside the pool
// buffers with overlap-safe moves.
#ifndef RECBASE_CBT_NODE_OPS_H
#define RECBASE_CBT_NODE_OPS_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Closes an open leaf (cbt/node_format.h): its text moves up to end the
// block, the bytes it leaves become zero. Returns how far the text moved
// (0 for a closed node, which stays as it is).
int32_t close_text(Node x);
// The pool's hook before it writes a block of a tree file: closes the block
// when it is an open leaf (block 0, the control record, is left alone).
void close_node_block(uint8_t *data, int32_t block_size, uint32_t block);
// Turns the open-leaf path off or on for the differential test, returning
// how many times leaves were opened since the last call; the library never
// turns it off.
int64_t set_open_leaves(bool on);

// Bytes of entries i..j: entries times entry size plus the text they occupy
// (shared text once). i below 0 counts as 0; an empty range is 0.
int32_t bytes_of(const Node &node, int32_t i, int32_t j);
// Bytes of all entries of the node (0 without entries).
inline int32_t content_bytes(const Node &node) {
  return bytes_of(node, 0, node.count() - 1);
}
// Header, entries and text: 16 + entries * entry size + key area.
int32_t bytes_in_use(const Node &node);
// True when entry i shares its text with entry i - 1.
inline bool shared_with_prev(const Node &node, int32_t i) {
  return i > 0 && i < node.count() && node.key_off(i) == node.key_off(i - 1) &&
         node.key_len(i) == node.key_len(i - 1);
}

// Pins in `leaf` the leftmost leaf of the subtree rooted at block b, whose
// entry 0 is the subtree's smallest pair. At most depth nodes are read.
// Fails with kErrGetBlock or kErrCorrupt and kCtxLowPathLeaf.
int32_t low_path_leaf(Op &op, BlockNo b, Pin &leaf);
// The smallest pair of subtree b (its key points into the pinned leaf, so
// `leaf` must outlive the use of out.key). child is set to b.
int32_t low_path_pair(Op &op, BlockNo b, Pin &leaf, Pair &out);

// Where the text of a new entry at position p comes from: the offset of a
// neighbour's equal text it shares (-1: none), and whether it splits a run
// of shared text, whose later entry then needs a copy of its own.
struct TextPlan {
  int32_t share_off = -1;
  bool unshare = false;
  int32_t need = 0;  // bytes the entry adds to the node
  bool valid = false;
};

// Whether pair fits at position p of node x: 0 fits, 1 does not, -1 failure
// (reading the low path key for position -1 of an interior node). plan, if
// given, keeps what the test found for a position p >= 0 of a node with
// entries, for insert_entry. beside, if given and known, is what the search
// that found p learnt of the keys beside it, which spares comparing them
// again.
int32_t room_test(Op &op, const Pair &pair, const Node &x, int32_t p,
                  TextPlan *plan = nullptr, const Beside *beside = nullptr);
// Inserts the pair at position p of x; the caller has made sure it fits.
// Position -1 of an interior node makes pair.child the low_path child, the
// old low_path child becoming entry 0 keyed by its smallest pair. planned:
// the room test's plan for the same pair, position and unchanged node,
// which spares comparing the key with its neighbours again.
int32_t insert_entry(Op &op, const Pair &pair, Node x, int32_t p,
                     const TextPlan *planned = nullptr);
// Removes the entry at position p (-1: the low_path child, entry 0's child
// taking its place, or entry_count -1 when no entry is left).
void remove_entry(Node x, int32_t p);

// The two halves of a single-entry shift out of a full leaf, done at once:
// the bytes are those of remove_entry followed by insert_entry, with each
// text and entry moved once instead of twice. The caller has made sure that
// the pair fits and shares no text with the entries it lands between (its
// plan for p has no shared offset and no unsharing), and that the entry that
// leaves shares no text with its neighbour (shared_with_prev(x, last) false
// for replace_last, shared_with_prev(x, 1) false for replace_first).
//
// replace_last: removes leaf x's last entry and inserts the pair at p, where
// p is at most the last entry's index (the pair sorts below that entry).
void replace_last(const Pair &pair, Node x, int32_t p);
// replace_first: removes leaf x's entry 0 and inserts the pair at p - 1,
// where 1 <= p <= count (the pair sorts above entry 0).
void replace_first(const Pair &pair, Node x, int32_t p);

// Moves the last m entries of x into r, its new and empty right sibling.
// Interior x gives the child of entry count - m as r's low_path and the
// entries after it as r's entries; that entry's key is dropped.
void move_right(Node x, Node r, int32_t m);
// Appends everything of b to a, its left sibling: an interior b's low_path
// child first becomes an entry of a keyed by its smallest pair. The caller
// has made sure it fits. b is left for the caller to free.
int32_t move_left(Op &op, Node a, Node b);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_NODE_OPS_H
