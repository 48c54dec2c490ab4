// The current record of an index, and the physical scan.
//
// An ordinary index is on a record while the key under its tree's cursor
// belongs to it (first byte = its number); the record is that key's item.
// The key-range rule places a cursor on another index's key before (smaller
// number) or past (larger number) the index. "Physical Index" is on the
// record at the database's physical position (0: none).
//
// Position states:
//
//   -2 before first --head/next/scan--> 1 on a record --next off the end--> -3
//      ^                                 |
//      +----------prev off the front-----+
//
// In a shared database the record at the physical position stays locked
// (its length word) for as long as it is current, and the record an
// operation works on is held by the temporary record lock.
#ifndef RECBASE_ISAM_CURRENT_H
#define RECBASE_ISAM_CURRENT_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

// The state the key-range rule gives a key with first byte `first`.
inline int32_t range_state(const IsamIndex *ix, uint8_t first, int32_t before,
                           int32_t past) {
  if (first == ix->number) return kOnRecord;
  return first < ix->number ? before : past;
}

// The state of ix after its cursor moved, from the move's result r: r = 1
// on a key (key-range rule; off the index: `before` or `past`), -2 or -3 that
// state. -1 with *error for a B-tree failure.
int32_t state_after_move(IsamIndex *ix, int32_t r, int32_t before, int32_t past,
                         IsamError *error);

// Finds the current record of ix and holds it with the temporary record
// lock (release it with release_temp_record_lock). with_read_lock: take the
// database's temporary read lock around the lookup of an ordinary index
// when no lock is held. Returns 1 with *position, the state (-2, -3) when
// ix is on no record (no error), or -1 (kIsNoCurrent, kIsCbt, kIsLockRec,
// kIsUnlockRec) or -4 with *error.
int32_t locate_current(IsamDb *db, IsamIndex *ix, int32_t *position,
                       IsamError *error, bool with_read_lock = true);

// Moves "Physical Index" (ix) to the next record in file order: from the
// data start in state -2, from the record after the current one in state
// 1; -3 stays. Free areas are skipped. Returns 1 on a record, -3 at the end
// of the file (physical position 0), or -1 with *error (kIsIo, kIsLockRec,
// kIsUnlockRec).
int32_t physical_scan(IsamDb *db, IsamIndex *ix, IsamError *error);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_CURRENT_H
