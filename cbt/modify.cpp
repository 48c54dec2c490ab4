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

using namespace recbase;
using namespace recbase::cbt;

namespace {

struct LeafHit {
  BlockNo leaf = 0;
  int32_t pos = 0;  // the pair's entry, or its insertion position
  bool found = false;
};

// Descends to the leaf that holds, or would hold, the pair.
int32_t leaf_search(Op &op, const Pair &pair, LeafHit *out) {
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
    b = node.child_at(child_index(hit));
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

int32_t modify(Op &op, const Pair &old_pair, const Pair &new_pair) {
  if (cmp_keys(op, old_pair.key, old_pair.len, new_pair.key, new_pair.len) ==
          0 &&
      old_pair.item == new_pair.item) {
    const int32_t r = move_off_pair(op, old_pair);
    release(op);
    return r;
  }
  LeafHit at_new;
  if (leaf_search(op, new_pair, &at_new) != 1) {
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
  const bool keys_differ =
      cmp_keys(op, old_pair.key, old_pair.len, new_pair.key, new_pair.len) != 0;
  if (keys_differ && new_pair.dup == 0 &&
      check_duplicate_key(op, new_pair, nl.node(), np) != 1) {
    nl.release();
    release(op);
    return -1;
  }
  LeafHit at_old;
  const int32_t searched = leaf_search(op, old_pair, &at_old);
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
    if (do_delete(op, old_pair) != 1) return finish(op, -1);
    if (do_insert(op, placed) != 1) return finish(op, -1);
    return finish(op, 1);
  }
  if (move_off_pair(op, old_pair) != 1) return finish(op, -1);
  Node leaf = nl.node();
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

}  // namespace

extern "C" RBAPI int32_t RBCALL cbmodify(CbTree *tree, const void *old_key,
                                         int32_t old_key_length,
                                         int32_t old_item, const void *new_key,
                                         int32_t new_key_length,
                                         int32_t new_item,
                                         int32_t dup_allowed) {
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
  return publish(op, modify(op, old_pair, new_pair));
}
