// Free areas of the data file and their keys in the index file.
//
// A free area at position P is a length word holding minus its size and
// then size bytes of unused content (size 0..32767, the word excluded):
//
//   P        P + 2                       P + 2 + size
//   +--------+---------------------------+
//   | -size  |  unused                   |  next slot or free area ...
//   +--------+---------------------------+
//
// Every free area has two keys in the index file's B-tree (reached through
// IsamDb::free_tree), numbers most significant byte first so that the key
// order is numeric order:
//
//   key        bytes                            item       duplicates
//   size key   0xFF, size (2 bytes)             position   allowed
//   position   0xFE, position (4 bytes)         size       no
//
// 0xFF sorts after every other key, so the tree's last key is the size key
// of the largest area (of equal sizes, the one furthest into the file).
//
// Invariants:
//  1. After every successful allocate or release, each free area (counted
//     by the first length word of the area) has exactly one size key and
//     one position key; words inside a merged area keep what they held,
//     except that in a shared database a stretch merged into the area before
//     it gets its own free word too (a concurrent physical scan that read
//     the old size of the area before lands there).
//  2. A failed allocate or release leaves the words and keys as they were:
//     each step it made is put back, so that a failure costs the call only
//     (unless putting back fails too; there is no journal).
//  3. The data file never shrinks; a slot that no area fits goes at its end.
//  4. A database open without its index file keeps no keys: released areas
//     are marked in the data file only (a new index file finds them there).
#ifndef RECBASE_ISAM_FREESPACE_H
#define RECBASE_ISAM_FREESPACE_H

#include <cstdint>

#include "isam/db.h"

namespace recbase::isam {

constexpr uint8_t kSizeKeyLength = 3;
constexpr uint8_t kPositionKeyLength = 5;
constexpr int32_t kMaxSlotLength = 32767;

// A slot for new content: its position and its length (the data length, or
// more when a free area was taken whole). at_end: the slot lies at the end
// of the file, which writing it extends.
struct Slot {
  int32_t position = 0;
  int32_t length = 0;
  bool at_end = false;
};

// Finds a slot for data_length (0..32767) bytes: the largest free area,
// split when data_length + the minimum record length fits in it, else taken
// whole; without a fitting area, the end of the file (nothing is written
// there). kIsCbt, kIsIo; nothing changed then.
IsamError allocate_slot(IsamDb *db, int32_t data_length, Slot *out);

// Makes the size bytes after the length word at position a free area,
// merged with a free area just before it, just after it, or both, when the
// merged size stays within 32767. kIsIo, kIsCbt; nothing changed then (the
// words it wrote are put back).
IsamError release_stretch(IsamDb *db, int32_t position, int32_t size);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_FREESPACE_H
