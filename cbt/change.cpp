// The exported calls that change a tree: the checks, write lock and
// synchronisation before the work, and the commit after it.
#include "cbt/change.h"

#include "cbt/delete.h"
#include "cbt/insert.h"
#include "cbt/locking.h"
#include "cbt/record_calls.h"

using namespace recbase;
using namespace recbase::cbt;

namespace recbase::cbt {

int32_t key_limit() { return bufpool_buffer_size() - kKeyOverhead; }

bool check_change_key(Op &op, const void *key, int32_t len) {
  if (len < 0 || (key == nullptr && len > 0)) {
    op.fail(kErrKeyLength, kCtxValidate);
    return false;
  }
  // Keys longer than the tree's own blocks can hold cannot be placed even
  // when the pool's buffers are larger.
  if (len > op.bs - kKeyOverhead) {
    op.fail(kErrKeyLength, kCtxInsertKey);
    return false;
  }
  return true;
}

int32_t begin_change(Op &op) {
  if (writer_lock(op) != 1) return -1;
  if (synchronise(op) != 1) {
    release(op);
    return -1;
  }
  return 1;
}

int32_t end_change(Op &op, int32_t result) {
  if (commit(op, true, true) != 1) result = -1;
  if (!op.file->shared) release(op);
  return result;
}

int32_t do_insert(Op &op, const Pair &pair, const LeafHint *hint) {
  if (begin_change(op) != 1) return -1;
  const int32_t r = insert_pair(op, pair, hint);
  op.cr().key_count += 1;
  return end_change(op, r);
}

int32_t do_delete(Op &op, const Pair &pair, const LeafHint *hint) {
  if (begin_change(op) != 1) return -1;
  int32_t r = move_off_pair(op, pair);
  if (delete_pair(op, pair, hint) != 1) r = -1;
  op.cr().key_count -= 1;
  return end_change(op, r);
}

Pair make_pair(const void *key, int32_t len, int32_t item, int32_t dup) {
  Pair pair;
  pair.key = static_cast<const uint8_t *>(key);
  pair.len = len;
  pair.item = item;
  pair.dup = dup != 0 ? 1 : 0;
  return pair;
}

}  // namespace recbase::cbt

namespace {

// cbinsert's checks and work; kAfterPosition as for insert_after_position.
template <bool kAfterPosition>
int32_t insert_call(CbTree *tree, const void *key, int32_t key_length,
                    int32_t item, int32_t dup_allowed) {
  prefetch_key(key, key_length);
  cbfcncode = kFnInsert;
  Op op;
  if (!check_tree(op, tree) || !check_file(op)) return publish(op, -1);
  if (key_length > key_limit()) return -1;
  if (!check_change_key(op, key, key_length)) return publish(op, -1);
  if (tree->read_only) return publish(op, op.fail_err(kErrReadOnly));
  const Pair pair = make_pair(key, key_length, item, dup_allowed);
  const Cursor &cur = tree->pos;
  if (!kAfterPosition || cur.state != kOnEntry) {
    return publish(op, do_insert(op, pair));
  }
  tree->keep_path = true;  // for the position calls that follow
  LeafHint hint;
  hint.block = cur.block;
  hint.pos = cur.index + 1;
  hint.path = &tree->path;
  return publish(op, do_insert(op, pair, &hint));
}

// cbdelete's checks and work; kAtPosition as for delete_at_position.
template <bool kAtPosition>
int32_t delete_call(CbTree *tree, const void *key, int32_t key_length,
                    int32_t item) {
  prefetch_key(key, key_length);
  cbfcncode = kFnDelete;
  Op op;
  if (!check_tree(op, tree) || !check_file(op)) return publish(op, -1);
  if (key_length < 0 || (key == nullptr && key_length > 0)) {
    return publish(op, op.fail(kErrKeyLength, kCtxValidate));
  }
  if (tree->read_only) return publish(op, op.fail_err(kErrReadOnly));
  const Pair pair = make_pair(key, key_length, item, 0);
  const Cursor &cur = tree->pos;
  if (!kAtPosition || cur.state != kOnEntry) {
    return publish(op, do_delete(op, pair));
  }
  // Taken before the deletion moves the position off the pair.
  tree->keep_path = true;  // for the position calls that follow
  LeafHint hint;
  hint.block = cur.block;
  hint.pos = cur.index;
  hint.path = &tree->path;
  return publish(op, do_delete(op, pair, &hint));
}

}  // namespace

namespace recbase::cbt {

int32_t delete_at_position(CbTree *tree, const void *key, int32_t len,
                           int32_t item) {
  return delete_call<true>(tree, key, len, item);
}

int32_t insert_after_position(CbTree *tree, const void *key, int32_t len,
                              int32_t item, int32_t dup_allowed) {
  return insert_call<true>(tree, key, len, item, dup_allowed);
}

}  // namespace recbase::cbt

extern "C" {

RBAPI int32_t RBCALL cbinsert(CbTree *tree, const void *key, int32_t key_length,
                              int32_t item, int32_t dup_allowed) {
  return insert_call<false>(tree, key, key_length, item, dup_allowed);
}

RBAPI int32_t RBCALL cbdelete(CbTree *tree, const void *key, int32_t key_length,
                              int32_t item) {
  return delete_call<false>(tree, key, key_length, item);
}

}  // extern "C"
