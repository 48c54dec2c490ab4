// Taking blocks for new nodes and giving freed nodes back.
//
// New blocks come from the top of the free chain (a stack threaded through
// the left_sibling words of unused blocks) or, when it is empty, from the end
// of the file: last_block + 1, zero-filled and written at once so that the
// file length is always (last_block + 1) * block_size.
#ifndef RECBASE_CBT_BLOCKS_H
#define RECBASE_CBT_BLOCKS_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Pins a block for a new node in `out`; the caller sets the whole header.
// Fails with kErrGetBlock, kErrGetEmpty or kErrPutBlock and kCtxNewBlock.
int32_t alloc_block(Op &op, Pin &out);
// Unlinks node b (pinned by the caller) from its level and pushes it on the
// free chain: siblings relinked (contexts 33 and 34), first_leaf/last_leaf
// moved off a freed leaf, body zeroed. The caller writes b back.
int32_t free_block(Op &op, Pin &b);
// right_sibling / left_sibling of block b, read with the given context.
int32_t right_of(Op &op, BlockNo b, int32_t ctx, BlockNo *out);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_BLOCKS_H
