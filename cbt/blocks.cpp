// Block allocation and freeing.
#include "cbt/blocks.h"

#include <cstring>

#include "cbt/undo.h"

namespace recbase::cbt {

int32_t alloc_block(Op &op, Pin &out) {
  ControlRecord &cr = op.cr();
  if (cr.free_head != 0) {
    if (out.get(cr.free_head, kCtxNewBlock) != 1) return -1;
    const Node node = out.node();
    if (!node.unused() || node.count() != 0) {
      out.release();
      return op.corrupt(kCtxNewBlock);
    }
    if (out.save(kCtxNewBlock) != 1) return -1;
    cr.free_head = node.left();
    return 1;
  }
  if (cr.last_block >= 0x7FFFFFFFu / static_cast<uint32_t>(op.bs)) {
    // One more block would pass the largest file offset.
    return op.fail(kErrGetEmpty, kCtxNewBlock);
  }
  const BlockNo b = cr.last_block + 1;
  // A new block is written at once, so that a full disk fails this call
  // (error 8) and not a later write-back, unless it can wait in the pool
  // and be written once, at write-back, instead of twice:
  //  - with a journal, a rollback cuts the file back to its size at the
  //    last flush point anyway, and the block waits for the write-back
  //    after the journal is synced;
  //  - in a file not shared, when the disk space for the block is held
  //    (reserve_block): the full disk then fails here all the same. Other
  //    processes read a shared file from disk, so its blocks go at once.
  int32_t wait = op.lru->journal != nullptr ? 1 : 0;
  if (wait == 0 && !op.file->shared) {
    wait = reserve_block(op.lru, b);
    if (wait < 0) return op.fail(kErrPutBlock, kCtxNewBlock);
  }
  uint8_t *data = get_empty_block(op.lru, b);
  if (data == nullptr) return op.fail(kErrGetEmpty, kCtxNewBlock);
  cr.last_block = b;
  if (put_block(op.lru, data, wait != 0 ? 0 : 1) != 1) {
    return op.fail(kErrPutBlock, kCtxNewBlock);
  }
  if (op.undo != nullptr) op.undo->grew(b);
  return out.get(b, kCtxNewBlock);
}

int32_t free_block(Op &op, Pin &pin) {
  ControlRecord &cr = op.cr();
  Node node = pin.node();
  const BlockNo b = pin.block();
  const BlockNo left = node.left();
  const BlockNo right = node.right();
  if (node.leaf()) {
    if (left == 0) cr.first_leaf = right;
    if (right == 0) cr.last_leaf = left;
  }
  if (left != 0) {
    Pin l(op);
    if (l.get(left, kCtxFixRight) != 1 || l.save(kCtxFixRight) != 1) {
      return -1;
    }
    l.node().set_right(right);
    l.put();
  }
  if (right != 0) {
    Pin r(op);
    if (r.get(right, kCtxFixLeft) != 1)
      return op.fail(kErrGetBlock, kCtxFixLeft);
    if (r.save(kCtxFixLeft) != 1) return -1;
    r.node().set_left(left);
    r.put();
  }
  node.set_left(cr.free_head);
  node.set_low_path(0);
  node.set_count(0);
  std::memset(pin.data() + kNodeHeader, 0, op.bs - kNodeHeader);
  cr.free_head = b;
  return 1;
}

int32_t right_of(Op &op, BlockNo b, int32_t ctx, BlockNo *out) {
  Pin pin(op);
  if (pin.get(b, ctx) != 1) return -1;
  *out = pin.node().right();
  return 1;
}

}  // namespace recbase::cbt
