// The tree checker: walks a whole B-tree file and verifies every invariant
// of the format in cbt/node_format.h. For tests and debugging; programs reach
// the file form through the exported cbcheck (cbt/check_api.cpp).
//
// What a sound tree satisfies (each is checked, in this order):
//  1. Control record: parity (on disk), block_size in 92..32767, the file
//     exactly (last_block + 1) * block_size bytes long, bytes 36.. of block 0
//     zero, root/first_leaf/last_leaf/free_head <= last_block, depth in
//     0..64 and 0 exactly when root is 0 (first_leaf and last_leaf 0 then).
//  2. Every node reached from the root passes check_node_layout, is reached
//     once (no sharing, no cycles), is a leaf exactly on the bottom level
//     (which is level depth - 1), is not an empty leaf and not an interior
//     node without children.
//  3. Entries of a node strictly increase in (key under the compare
//     function, then signed item) order; entries sharing key text compare
//     equal; every pair of a subtree lies within the bounds its ancestors
//     set (child of entry i: >= entry i and < entry i + 1; low_path child:
//     < entry 0; the node's own bounds inherited).
//  4. The sibling links of each level are exactly its left-to-right order,
//     0 at both ends; first_leaf and last_leaf are the ends of the leaves.
//  5. The free chain from free_head (through left_sibling) has no cycle and
//     holds only unused blocks (low_path 0, entry_count 0, bytes 16.. zero)
//     that are not in the tree; every block 1..last_block is in the tree or
//     on the chain.
//
// The checker never trusts the file: every walk is bounded by the number of
// blocks (each block is visited at most once) and every offset is checked
// before use, so a damaged file gives a description, never a crash or a
// loop.
#ifndef RECBASE_CBT_CHECKER_H
#define RECBASE_CBT_CHECKER_H

#include <cstdint>
#include <string>
#include <vector>

#include "recbase/cbt.h"

namespace recbase::cbt {

struct LevelStats {
  uint32_t nodes = 0;
  uint64_t entries = 0;     // leaf pairs, or interior separator entries
  uint64_t bytes_used = 0;  // header + entries + key area, summed
};

struct TreeStats {
  int32_t block_size = 0;
  int32_t depth = 0;
  uint32_t last_block = 0;
  uint32_t blocks_in_tree = 0;
  uint32_t free_blocks = 0;
  uint64_t entries = 0;            // pairs in the leaves
  std::vector<LevelStats> levels;  // root level first
};

// Checks the tree of an open handle as this process sees it: the in-memory
// control record, and the blocks through the buffer pool (so changes not yet
// written back count). The parity of the in-memory record is not checked.
// Returns "" when the tree is sound, else the first violation in words
// ("block 7: entries 3 and 4 out of order"). stats, when given, is filled
// as far as the check got (complete when the result is "").
std::string check_tree(CbTree *tree, TreeStats *stats = nullptr);

// Checks a B-tree file that is not open in this process, reading it
// read-only through the platform services (cbinit must have run). compare
// null means cbkeycmp. A file held by an exclusive open elsewhere cannot be
// read; that is reported in words like any other failure.
std::string check_tree_file(const char *name, CbCompare compare,
                            TreeStats *stats = nullptr);

// What either check returns when memory for its copy of the file runs out.
extern const char kCheckNoMemory[];

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_CHECKER_H
