// Free areas of the data file and their keys in the index file.
//
// A free area is a slot of the data file whose length word is minus its
// content size (isam/data_format.h). Every free area has two keys in the
// index file's B-tree, reached through IsamDb::free_tree: a size key (class
// 255, item the area's position; duplicates allowed) and a position key
// (class 254, item the area's size; unique), laid out in isam/keys.h. The
// tree's last key is the size key of the largest area (of equal sizes, the
// one furthest into the file).
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

#include "isam/handles.h"

namespace recbase::isam {

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
