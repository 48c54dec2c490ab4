// cbmodify: replaces one pair by another. When the new pair belongs in the
// old pair's leaf and fits there once the old entry is gone, the leaf is
// changed in place with no rebalancing (it may stay below the underflow mark
// until a later deletion reaches it); nothing that can fail comes between
// the removal and the insertion there, so that path is all or nothing.
// Otherwise the change is a full deletion followed by a full insertion,
// each all or nothing on its own and finishing its own modification: after
// a failed insertion the old pair stays deleted. The same holds when the
// new pair does not fit the old leaf after all: the removal stands as a
// change of its own, and the insertion follows.
#include "cbt/change.h"
#include "cbt/delete.h"
#include "cbt/insert.h"
#include "cbt/locking.h"
#include "cbt/node_ops.h"
#include "cbt/pair_in_place.h"
#include "cbt/record_calls.h"

using namespace recbase;
using namespace recbase::cbt;

namespace {

struct LeafHit {
  BlockNo leaf = 0;
  int32_t pos = 0;  // the pair's entry, or its insertion position
  bool found = false;
};

// Descends to the leaf that holds, or would hold, the pair. While
// *together, each interior node is also searched for `other`, as its own
// descent would: *together stays true when it takes the same child at every
// level, down to the same leaf.
template <bool kTrack = false>
int32_t leaf_search(Op &op, const Pair &pair, LeafHit *out,
                    const Pair *other = nullptr, bool *together = nullptr) {
  const ControlRecord &cr = op.cr();
  if (cr.root == 0) return op.fail(kErrEmptyTree, kCtxFindLeaf);
  Pin pin(op);
  BlockNo b = cr.root;
  for (int32_t level = 0; level < cr.depth; ++level) {
    if (pin.get(b, kCtxFindLeaf) != 1) return -1;
    const Node node = pin.node();
    if (node.unused()) return op.corrupt(kCtxFindLeaf);
    const Hit hit = node_search(op, node, pair.key, pair.len, pair.item);
    if (node.leaf()) {
      out->leaf = b;
      out->pos = hit.pos;
      out->found = hit.result == 0;
      return 1;
    }
    const int32_t i = child_index(hit);
    b = node.child_at(i);
    // Two comparisons tell most pairs that part here; one that seems not
    // to is searched for as its own descent would.
    if (kTrack && *together) {
      *together =
          (i < 0 ||
           cmp_pair(op, other->key, other->len, other->item, node, i) >= 0) &&
          (i + 1 >= node.count() || cmp_pair(op, other->key, other->len,
                                             other->item, node, i + 1) < 0) &&
          b == node.child_at(child_index(
                   node_search(op, node, other->key, other->len, other->item)));
    }
  }
  return op.corrupt(kCtxFindLeaf);
}

// Ends a modify that reached its modification step. The inner insert and
// delete release the write lock of a shared file when they commit, so it is
// taken again before the final commit writes the control record.
int32_t finish(Op &op, int32_t result) {
  if (op.file->shared && !(op.file->lock_flags & kWriterHeld)) {
    if (begin_change(op) != 1) return -1;
  }
  return end_change(op, result);
}

template <bool kNearby>
int32_t modify(Op &op, const Pair &old_pair, const Pair &new_pair) {
  const bool keys_differ =
      cmp_keys(op, old_pair.key, old_pair.len, new_pair.key, new_pair.len) != 0;
  if (!keys_differ && old_pair.item == new_pair.item) {
    const int32_t r = move_off_pair(op, old_pair);
    release(op);
    return r;
  }
  // Without a duplicate check (which reads neighbouring leaves) between the
  // two searches, the old pair's search may share the new one's descent.
  const bool dup_check = keys_differ && new_pair.dup == 0;
  LeafHit at_new;
  bool together = kNearby && !dup_check;
  if (leaf_search<kNearby>(op, new_pair, &at_new, &old_pair, &together) != 1) {
    release(op);
    return -1;
  }
  if (at_new.found) {
    release(op);
    return op.fail(kErrDupPair, kCtxInsertKey);
  }
  Pin nl(op);
  if (nl.get(at_new.leaf, kCtxFindLeaf) != 1) {
    release(op);
    return -1;
  }
  int32_t np = at_new.pos;
  if (dup_check && check_duplicate_key(op, new_pair, nl.node(), np) != 1) {
    nl.release();
    release(op);
    return -1;
  }
  // When the old pair's descent goes down the new one's path, its search
  // ends in nl, which it would read again.
  LeafHit at_old;
  int32_t searched = 1;
  if (together) {
    const Hit hit =
        node_search(op, nl.node(), old_pair.key, old_pair.len, old_pair.item);
    at_old = LeafHit{at_new.leaf, hit.pos, hit.result == 0};
  } else {
    searched = leaf_search(op, old_pair, &at_old);
  }
  if (searched != 1 || !at_old.found) {
    if (searched == 1) op.fail(kErrNotFound, kCtxFindLeaf);
    nl.release();
    release(op);
    return -1;
  }
  // Equal keys were looked for above (and need not be when only the item
  // changes), so the insertion that completes the change allows them: other
  // pairs with the old key may well remain.
  Pair placed = new_pair;
  placed.dup = 1;
  const bool same_leaf = at_old.leaf == at_new.leaf;
  if (!same_leaf) {
    nl.release();
    // The two searches found the leaves: the deletion and the insertion
    // try them before descending again (cbt/delete.cpp, cbt/insert.cpp).
    const LeafHint from{at_old.leaf, at_old.pos};
    const LeafHint to{at_new.leaf, at_new.pos};
    if (do_delete(op, old_pair, &from) != 1) return finish(op, -1);
    if (do_insert(op, placed, &to) != 1) return finish(op, -1);
    return finish(op, 1);
  }
  if (move_off_pair(op, old_pair) != 1) return finish(op, -1);
  Node leaf = nl.node();
  // A new pair whose place is the old one's (np is the old entry's position
  // or the next) usually just takes its entry.
  if ((np == at_old.pos || np == at_old.pos + 1) &&
      replace_in_place(op, leaf, at_old.pos, new_pair)) {
    nl.put();
    return finish(op, 1);
  }
  remove_entry(leaf, at_old.pos);
  if (np > at_old.pos) --np;
  if (room_test(op, new_pair, leaf, np) == 0) {
    insert_entry(op, new_pair, leaf, np);
    nl.put();
    return finish(op, 1);
  }
  nl.put();
  // The old entry went without a count; the insertion counts the new one.
  op.cr().key_count -= 1;
  if (do_insert(op, placed) != 1) return finish(op, -1);
  return finish(op, 1);
}

bool bad_key(const void *key, int32_t len) {
  return len < 0 || (key == nullptr && len > 0);
}

// cbmodify's checks and work; `nearby` as for modify_nearby.
int32_t modify_call(CbTree *tree, const void *old_key, int32_t old_key_length,
                    int32_t old_item, const void *new_key,
                    int32_t new_key_length, int32_t new_item,
                    int32_t dup_allowed, bool nearby) {
  prefetch_key(new_key, new_key_length);
  prefetch_key(old_key, old_key_length);
  cbfcncode = kFnModify;
  Op op;
  if (!check_tree(op, tree) || !check_file(op)) return publish(op, -1);
  if (new_key_length > key_limit()) return -1;
  if (bad_key(old_key, old_key_length)) {
    return publish(op, op.fail(kErrKeyLength, kCtxValidate));
  }
  if (!check_change_key(op, new_key, new_key_length)) return publish(op, -1);
  if (tree->read_only) return publish(op, op.fail_err(kErrReadOnly));
  if (begin_change(op) != 1) return publish(op, -1);
  const Pair old_pair = make_pair(old_key, old_key_length, old_item, 0);
  const Pair new_pair =
      make_pair(new_key, new_key_length, new_item, dup_allowed);
  return publish(op, nearby ? modify<true>(op, old_pair, new_pair)
                            : modify<false>(op, old_pair, new_pair));
}

}  // namespace

namespace recbase::cbt {

int32_t modify_nearby(CbTree *tree, const void *old_key, int32_t old_len,
                      int32_t old_item, const void *new_key, int32_t new_len,
                      int32_t new_item, int32_t dup_allowed) {
  return modify_call(tree, old_key, old_len, old_item, new_key, new_len,
                     new_item, dup_allowed, true);
}

}  // namespace recbase::cbt

extern "C" RBAPI int32_t RBCALL cbmodify(CbTree *tree, const void *old_key,
                                         int32_t old_key_length,
                                         int32_t old_item, const void *new_key,
                                         int32_t new_key_length,
                                         int32_t new_item,
                                         int32_t dup_allowed) {
  return modify_call(tree, old_key, old_key_length, old_item, new_key,
                     new_key_length, new_item, dup_allowed, false);
}
