// The exported search and navigation calls. Each synchronises with the disk
// first (in shared mode under an implicit reader lock) and releases the
// implicit lock at its end.
#include <cstring>

#include "cbt/cursor_step.h"
#include "cbt/locking.h"
#include "cbt/search.h"
#include "cbt/tree.h"

using namespace recbase;
using namespace recbase::cbt;

namespace {

// Checks the handle (tree and file) for a call that stores fcn on entry.
bool enter(Op &op, CbTree *tree, int32_t fcn) {
  cbfcncode = fcn;
  return check_tree(op, tree) && check_file(op);
}

// A key argument: bytes may be null only when the length is 0.
bool check_key(Op &op, const void *key, int32_t len) {
  if (len < 0 || (key == nullptr && len > 0)) {
    op.fail(kErrKeyLength, kCtxValidate);
    return false;
  }
  return true;
}

// Ends a reading call: releases the implicit lock and publishes.
int32_t leave(Op &op, int32_t result) {
  if (release(op) != 1) result = -1;
  return publish(op, result);
}

int32_t find(CbTree *tree, const void *key, int32_t len, int32_t *item,
             int32_t fcn, bool exact_item) {
  prefetch_key(key, len);
  Op op;
  if (!enter(op, tree, fcn) || !check_key(op, key, len)) {
    return publish(op, -1);
  }
  if (synchronise(op) != 1) return leave(op, -1);
  const auto *k = static_cast<const uint8_t *>(key);
  const int32_t wanted = exact_item && item != nullptr ? *item : 0;
  Cursor &cur = tree->pos;
  int32_t r = search(op, cur, k, len, wanted);
  if (r == kNext && !exact_item &&
      cmp_keys(op, k, len, cur.key, cur.key_len) == 0) {
    r = kFound;
  }
  if ((r == kFound || r == kNext) && item != nullptr) *item = cur.item;
  return leave(op, r);
}

// One step back from a current position; a failure puts it back.
int32_t step_back(Op &op, Cursor &cur) {
  if (cur.state == kBeforeFirst) return kBeforeFirst;
  if (cur.state == kAfterLast) return position_last(op, cur);
  Pin pin(op);
  const uint8_t *data = pin.view(cur.block, kCtxPrevKey);
  if (data == nullptr) return -1;
  Node node(const_cast<uint8_t *>(data), op.bs);
  if (!node.leaf()) return op.corrupt(kCtxPrevKey);
  BlockNo block = cur.block;
  int32_t index = cur.index - 1;
  if (index < 0) {
    block = node.left();
    if (block == 0) {
      cur.state = kBeforeFirst;
      cur.block = kNoBlock;
      cur.index = -1;
      cur.snapshot = op.file->last_seen;
      return kBeforeFirst;
    }
    if (!may_enter_leaf(op, cur, -1)) return op.corrupt(kCtxPrevKey);
    data = pin.view(block, kCtxPrevKey);
    if (data == nullptr) return -1;
    node = Node(const_cast<uint8_t *>(data), op.bs);
    if (!node.leaf() || node.count() < 1) return op.corrupt(kCtxPrevKey);
    index = node.count() - 1;
  }
  if (load_entry(op, cur, node, index) != 1) {
    op.ctx = kCtxPrevKey;
    return -1;
  }
  cur.block = block;
  cur.index = index;
  cur.snapshot = op.file->last_seen;
  return 1;
}

// The general paths of the calls whose common case is answered from the
// cursor (below). Kept out of line so that the common case needs no stack
// frame: a walk makes three such calls per pair.
[[gnu::noinline]] int32_t next_general(CbTree *tree, int32_t *item) {
  Op op;
  if (!enter(op, tree, kFnNext)) return publish(op, -1);
  if (synchronise(op) != 1) return leave(op, -1);
  int32_t r = revalidate(op, tree->pos);
  if (r == 1) {
    r = step_forward(op, tree->pos);
    if (r == 1) r = get_item(op, item);
  } else if (r == kNext) {
    // Already on the pair that followed the vanished one.
    op.err = kErrDeleted;
    r = get_item(op, item);
  }
  return leave(op, r);
}

[[gnu::noinline]] int32_t prev_general(CbTree *tree, int32_t *item) {
  Op op;
  if (!enter(op, tree, kFnPrev)) return publish(op, -1);
  if (synchronise(op) != 1) return leave(op, -1);
  int32_t r = revalidate(op, tree->pos);
  if (r != -1) {
    r = step_back(op, tree->pos);
    if (r == 1) r = get_item(op, item);
  }
  return leave(op, r);
}

[[gnu::noinline]] int32_t curr_general(CbTree *tree, int32_t *item) {
  Op op;
  if (!enter(op, tree, kFnCurr)) return publish(op, -1);
  if (tree->pos.state != kOnEntry) return publish(op, tree->pos.state);
  if (synchronise(op) != 1) return leave(op, -1);
  return leave(op, get_item(op, item));
}

[[gnu::noinline]] int32_t key_general(CbTree *tree, void *buffer,
                                      int32_t buffer_size) {
  Op op;
  if (!enter(op, tree, kFnKey)) return publish(op, -1);
  if (buffer == nullptr && buffer_size > 0) {
    op.fail(kErrKeyLength, kCtxValidate);
    return publish(op, -1);
  }
  Cursor &cur = tree->pos;
  if (cur.state != kOnEntry) return publish(op, cur.state);
  // An unshared file changes only through this process, and the snapshot
  // says it has not changed since the position was taken: the copy is the
  // key, and no lock was taken.
  if (!tree->file->shared && cur.snapshot == tree->file->last_seen) {
    const int32_t n = cur.key_len < buffer_size ? cur.key_len : buffer_size;
    if (n > 0) std::memcpy(buffer, cur.key, n);
    return publish(op, 1);
  }
  int32_t r = synchronise(op);
  if (r == 1) r = revalidate(op, cur);
  if (release(op) != 1) r = -1;
  if (r == -1) {
    op.ctx = kCtxSync;
    return publish(op, -1);
  }
  if (cur.state != kOnEntry) {
    op.err = kErrDeleted;
    return publish(op, cur.state);
  }
  if (r == kNext) op.err = kErrDeleted;
  const int32_t n = cur.key_len < buffer_size ? cur.key_len : buffer_size;
  if (n > 0) std::memcpy(buffer, cur.key, n);
  return publish(op, 1);
}

[[gnu::noinline]] int32_t keylen_general(CbTree *tree, int32_t *length) {
  Op op;
  if (!enter(op, tree, kFnKeyLen)) return publish(op, -1);
  Cursor &cur = tree->pos;
  if (cur.state != kOnEntry) return publish(op, cur.state);
  if (!tree->file->shared && cur.snapshot == tree->file->last_seen) {
    if (length != nullptr) *length = cur.key_len;
    return publish(op, 1);
  }
  int32_t r = synchronise(op);
  if (r == 1) r = revalidate(op, cur);
  if (release(op) != 1) r = -1;
  if (r == -1) return publish(op, -1);
  if (r == kNext) op.err = kErrDeleted;
  if (cur.state != kOnEntry) return publish(op, cur.state);
  if (length != nullptr) *length = cur.key_len;
  return publish(op, 1);
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL cbfind(CbTree *tree, const void *key, int32_t key_length,
                            int32_t *item) {
  return find(tree, key, key_length, item, kFnFind, false);
}

RBAPI int32_t RBCALL cbfinditem(CbTree *tree, const void *key,
                                int32_t key_length, int32_t *item) {
  return find(tree, key, key_length, item, kFnFindItem, true);
}

RBAPI int32_t RBCALL cbhead(CbTree *tree, int32_t *item) {
  Op op;
  if (!enter(op, tree, kFnHead)) return publish(op, -1);
  if (synchronise(op) != 1) return leave(op, -1);
  int32_t r = position_first(op, tree->pos);
  if (r == 1) r = get_item(op, item);
  return leave(op, r);
}

RBAPI int32_t RBCALL cbtail(CbTree *tree, int32_t *item) {
  Op op;
  if (!enter(op, tree, kFnTail)) return publish(op, -1);
  if (synchronise(op) != 1) return leave(op, -1);
  int32_t r = position_last(op, tree->pos);
  if (r == 1) r = get_item(op, item);
  return leave(op, r);
}

RBAPI int32_t RBCALL cbnext(CbTree *tree, int32_t *item) {
  cbfcncode = kFnNext;
  if (step_within_leaf(tree, 1, item)) return 1;
  return next_general(tree, item);
}

RBAPI int32_t RBCALL cbprev(CbTree *tree, int32_t *item) {
  cbfcncode = kFnPrev;
  if (step_within_leaf(tree, -1, item)) return 1;
  return prev_general(tree, item);
}

RBAPI int32_t RBCALL cbcurr(CbTree *tree, int32_t *item) {
  cbfcncode = kFnCurr;
  if (const Cursor *cur = current_position(tree)) {
    if (item != nullptr) *item = cur->item;
    return 1;
  }
  return curr_general(tree, item);
}

RBAPI int32_t RBCALL cbkey(CbTree *tree, void *buffer, int32_t buffer_size) {
  cbfcncode = kFnKey;
  if (buffer != nullptr || buffer_size <= 0) {
    if (const Cursor *cur = current_position(tree)) {
      const int32_t n = cur->key_len < buffer_size ? cur->key_len : buffer_size;
      copy_key_bytes(static_cast<uint8_t *>(buffer), cur->key, n);
      return 1;
    }
  }
  return key_general(tree, buffer, buffer_size);
}

RBAPI int32_t RBCALL cbkeylen(CbTree *tree, int32_t *length) {
  cbfcncode = kFnKeyLen;
  if (const Cursor *cur = current_position(tree)) {
    if (length != nullptr) *length = cur->key_len;
    return 1;
  }
  return keylen_general(tree, length);
}

RBAPI int32_t RBCALL cbmark(CbTree *tree) {
  Op op;
  if (!enter(op, tree, kFnMark)) return publish(op, -1);
  if (copy_cursor(op, tree->mark, tree->pos) != 1) return publish(op, -1);
  return publish(op, 1);
}

RBAPI int32_t RBCALL cbfindmark(CbTree *tree, int32_t *item) {
  Op op;
  if (!enter(op, tree, kFnFindMark)) return publish(op, -1);
  if (tree->mark.state == kNoMark) {
    op.fail(kErrNoMark, kCtxFindMark);
    return publish(op, -1);
  }
  if (synchronise(op) != 1) return leave(op, -1);
  const int32_t r = revalidate(op, tree->mark);
  if (r == -1) {
    op.fail(kErrDeleted, kCtxFindMark);
    return leave(op, -1);
  }
  if (copy_cursor(op, tree->pos, tree->mark) != 1) return leave(op, -1);
  if (item != nullptr) *item = tree->pos.item;
  return leave(op, r);
}

}  // extern "C"
