// Tree calls of the record layer (cbt/record_calls.h).
#include "cbt/record_calls.h"

#include "cbt/cursor_step.h"
#include "cbt/locking.h"
#include "cbt/tree.h"

using namespace recbase;
using namespace recbase::cbt;

namespace recbase::cbt {
namespace {

// The position's pair at entry i of node.
bool holds_pair(const Op &op, const Cursor &cur, const Node &node, int32_t i) {
  return i >= 0 && i < node.count() && node.item(i) == cur.item &&
         cmp_keys(op, cur.key, cur.key_len, node.key(i), node.key_len(i)) == 0;
}

}  // namespace

bool current_lead(CbTree *tree, int32_t *item, uint8_t *first) {
  const Cursor *cur = current_position(tree);
  if (cur == nullptr) return false;
  cbfcncode = kFnKey;
  *item = cur->item;
  if (cur->key_len > 0) *first = cur->key[0];
  return true;
}

bool next_lead(CbTree *tree, int32_t *item, uint8_t *first) {
  if (!step_within_leaf(tree, 1, item)) return false;
  cbfcncode = kFnKey;
  if (tree->pos.key_len > 0) *first = tree->pos.key[0];
  return true;
}

int32_t current_item(CbTree *tree, int32_t *item) {
  CbFile *file = trusted_file(tree);
  Cursor &cur = tree->pos;
  if (file != nullptr && !file->shared && cur.state == kOnEntry &&
      cur.snapshot != file->last_seen) {
    // The remembered leaf as the pool holds it (nothing read, nothing moved
    // in the pool's order; a block not yet checked is left alone). When the
    // pair is at the remembered entry, or at the one before it, cbcurr's
    // re-validation would find it there: the answer is given here, with the
    // steps of that re-validation that leave a trace (the use of the leaf's
    // buffer, the position's snapshot, the end of the call).
    const uint8_t *data = peek_block(file->lru, cur.block);
    if (data != nullptr && block_checked(data) != 0) {
      Op op;
      op.tree = tree;
      op.bind(tree);
      const Node node(const_cast<uint8_t *>(data), op.bs);
      if (node.leaf() && !holds_pair(op, cur, node, cur.index) &&
          holds_pair(op, cur, node, cur.index - 1)) {
        cur.index -= 1;
      }
      if (node.leaf() && cur.block <= op.cr().last_block &&
          holds_pair(op, cur, node, cur.index)) {
        cbfcncode = kFnCurr;
        read_block(file->lru, cur.block);
        cur.snapshot = file->last_seen;
        release(op);
        if (item != nullptr) *item = cur.item;
        return 1;
      }
    }
  }
  return cbcurr(tree, item);
}

}  // namespace recbase::cbt
