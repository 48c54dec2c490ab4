// Locks of a shared database.
//
// Database locks are locks of the index file, taken through the B-tree
// layer on the descriptor tree (cblock mode 1 read, 2 write) and counted in
// IsamDb::lock_state:
//
//   bit  kind   taken by
//   1    read   the lookup of an ordinary index's current record
//   2    write  add, modify and delete
//   4    read   ilock_all(db, 1)
//   8    write  ilock_all(db, 2)
//
// The first bit of a kind takes the B-tree lock of that kind; the last one
// to go releases it. An exclusive database holds bits 1 and 2 from its open
// and never locks.
//
// Record locks are 2-byte byte-range locks of the data file on a record's
// length word. A position is covered when it is the physical position, the
// temporary lock position, the lock position or the position of an entry
// of the record-lock list.
//
// Invariants:
//  1. A covered position is locked in the file exactly once, however many
//     holders cover it; its file lock goes when the last holder lets go.
//  2. lock_position, when not 0, holds the lock with id next_lock_id; every
//     entry of the record-lock list has a larger id, and ids are unique.
//  3. In a database that is not shared no file lock is ever taken.
#ifndef RECBASE_ISAM_LOCKS_H
#define RECBASE_ISAM_LOCKS_H

#include <cstdint>

#include "frame/platform.h"
#include "isam/handles.h"

namespace recbase::isam {

constexpr int32_t kRecordLockBytes = 2;

// Retry settings of the header and record locks (ilock_timeout).
extern LockSettings g_record_lock_settings;

// Takes database lock bit (one of LockBit). kIsOk, or kIsLockRec with the
// B-tree codes of the refusal kept (lock_result tells -4 from -1).
IsamError take_db_lock(IsamDb *db, uint32_t bit);
// Releases database lock bit when held. kIsOk or kIsUnlockRec.
IsamError release_db_lock(IsamDb *db, uint32_t bit);
// The result of a failed lock: -4 when another process holds it (cberrcode
// 29), else -1.
int32_t lock_result();

// A temporary lock of one operation, let go by release() or at the end of
// the scope. A kDatabase lock is the database's write lock (changes) or
// read lock (the lookup of a current record), taken only when the database
// holds no lock that already covers the operation. A kRecord lock is the
// temporary record lock that the operation took (take_temp_record_lock,
// locate_current), let go with release_temp_record_lock.
class TempLock {
 public:
  enum Kind { kDatabase, kRecord };
  explicit TempLock(IsamDb *db, Kind kind = kDatabase) : db_(db), kind_(kind) {}
  ~TempLock() { release(); }
  TempLock(const TempLock &) = delete;
  TempLock &operator=(const TempLock &) = delete;
  // kDatabase: bit 2 unless bit 2 or 8 is held.
  IsamError take_write();
  // kDatabase: bit 1 unless any bit is held.
  IsamError take_read();
  IsamError release();
  // True while a database lock bit taken here is held.
  bool taken() const { return bit_ != 0; }

 private:
  IsamDb *db_;
  Kind kind_;
  uint32_t bit_ = 0;
};

// True when a lock of db already holds position p.
bool covered(const IsamDb *db, int32_t p);
// Locks the length word at p with the record-lock retry settings (one try
// only with one_try). 1 or -1. A word whose unlock failed earlier is still
// locked: it is taken over without a call (a handle cannot lock a range
// twice on every system).
int32_t lock_word(IsamDb *db, int32_t p, bool one_try = false);

// The retries of a record lock that is tried once per lookup of the record:
// a lookup under the database's read lock lets that lock go between tries,
// so that a writer waiting for it can finish and free the record. Counts
// tries and time as the record-lock retry settings say.
class LockRetry {
 public:
  LockRetry();
  // Sleeps the delay and returns true while another try is due.
  bool again();

 private:
  LockSettings settings_;
  uint32_t start_;
  int32_t tries_ = 1;
};
// Unlocks the length word at p unless a holder still covers it. A failed
// unlock leaves the word locked, and it is remembered as such.
IsamError unlock_uncovered(IsamDb *db, int32_t p);

// The temporary record lock: holds p for the running operation unless a
// lock covers it already. kIsOk or kIsLockRec.
IsamError take_temp_record_lock(IsamDb *db, int32_t p, bool one_try = false);
// Lets the temporary record lock go (nothing when none is held). kIsOk or
// kIsUnlockRec.
IsamError release_temp_record_lock(IsamDb *db);

// A record moved from `from` to `to`: every holder of `from` (temporary
// lock, first lock, lock list) now holds `to`. kIsOk, kIsLockRec when `to`
// cannot be locked (nothing changed), kIsUnlockRec.
IsamError move_record_locks(IsamDb *db, int32_t from, int32_t to);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_LOCKS_H
