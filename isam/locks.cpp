// Database and record locks (the model is described in isam/locks.h), and
// the exported lock calls.
//
// Lock ids: the first lock a database holds at a time is kept in
// lock_position under the id next_lock_id (1); every further lock is an
// entry of the record-lock list, newest first, whose id is one more than the
// largest id in the list and above next_lock_id. Ids that would reach
// kIdLimit start again from the smallest unused one in
// next_lock_id + 1 .. kWrapLimit; when all of those are taken there is no id
// to give.
#include "isam/locks.h"

#include <new>

#include "frame/alloc.h"
#include "isam/error_state.h"
#include "isam/journal_db.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

constexpr int64_t kIdLimit = 2147483647;
constexpr int32_t kWrapLimit = 255;
constexpr uint32_t kReadKind = kTempRead | kAllRead;
constexpr uint32_t kWriteKind = kTempWrite | kAllWrite;

uint32_t kind_of(uint32_t bit) {
  return (bit & kReadKind) != 0 ? kReadKind : kWriteKind;
}
int32_t mode_of(uint32_t bit) { return kind_of(bit) == kReadKind ? 1 : 2; }

// The id of a new list entry, or 0 when none is left.
int32_t next_entry_id(const IsamDb *db) {
  int64_t id = static_cast<int64_t>(db->next_lock_id) + 1;
  for (const LockEntry *e = db->record_locks; e != nullptr; e = e->next) {
    if (e->id >= id) id = static_cast<int64_t>(e->id) + 1;
  }
  if (id < kIdLimit) return static_cast<int32_t>(id);
  for (int32_t candidate = db->next_lock_id + 1; candidate <= kWrapLimit;
       ++candidate) {
    bool used = false;
    for (const LockEntry *e = db->record_locks; e != nullptr && !used;
         e = e->next) {
      used = e->id == candidate;
    }
    if (!used) return candidate;
  }
  return 0;
}

// Looks up the current record of ix for ilock_rec and locks its word
// (unless a lock of db covers it; *locked says whether this call locked
// it). An ordinary index is looked up under the temporary read lock when
// the database holds no lock, trying the record once per lookup and letting
// the read lock go in between. 1, or -1/-4 with *error.
int32_t lock_target(IsamDb *db, IsamIndex *ix, int32_t *pos, bool *locked,
                    IsamError *error) {
  *locked = false;
  for (LockRetry retry;;) {
    TempLock db_read(db);
    if (ix->tree == nullptr) {
      *pos = db->physical_position;
      if (*pos == 0) {
        *error = kIsNoCurrent;
        return -1;
      }
    } else {
      if (const IsamError e = db_read.take_read()) {
        *error = e;
        return lock_result();
      }
      const int32_t r = cbcurr(ix->tree, pos);
      if (r != 1) {
        *error =
            db_read.taken() && (r == -2 || r == -3) ? kIsNoCurrent : kIsCbt;
        const CbErrors kept;
        db_read.release();
        kept.restore();
        return -1;
      }
    }
    const bool was_covered = covered(db, *pos);
    if (was_covered || lock_word(db, *pos, db_read.taken()) == 1) {
      *locked = !was_covered;
      if (db_read.release() == kIsOk) return 1;
      if (*locked) unlock_uncovered(db, *pos);
      *error = kIsUnlockRec;
      return -1;
    }
    const bool retried = db_read.taken();
    db_read.release();
    if (!retried || !retry.again()) {
      cberrcode = kErrLock;
      *error = kIsLockRec;
      return -4;
    }
  }
}

}  // namespace

namespace recbase::isam {

int32_t lock_result() { return cberrcode == kErrLock ? -4 : -1; }

IsamError take_db_lock(IsamDb *db, uint32_t bit) {
  if (db->shared == 0) return kIsOk;
  if ((db->lock_state & kind_of(bit)) == 0 && db->desc_tree != nullptr &&
      cblock(db->desc_tree, mode_of(bit)) != 1) {
    return kIsLockRec;
  }
  db->lock_state |= bit;
  return kIsOk;
}

IsamError release_db_lock(IsamDb *db, uint32_t bit) {
  if (db->shared == 0 || (db->lock_state & bit) == 0) return kIsOk;
  db->lock_state &= ~bit;
  if ((db->lock_state & kind_of(bit)) != 0 || db->desc_tree == nullptr) {
    return kIsOk;
  }
  // The last write lock going is a flush point: the journal ends first,
  // while no other process can look.
  IsamError e = kIsOk;
  if (kind_of(bit) == kWriteKind) e = commit_db_journal(db);
  if (cbunlock(db->desc_tree, mode_of(bit)) != 1 && e == kIsOk) {
    e = kIsUnlockRec;
  }
  return e;
}

IsamError TempLock::take_write() {
  if ((db_->lock_state & kWriteKind) != 0) return kIsOk;
  if (const IsamError e = take_db_lock(db_, kTempWrite)) return e;
  bit_ = db_->shared != 0 ? static_cast<uint32_t>(kTempWrite) : 0u;
  return kIsOk;
}

IsamError TempLock::take_read() {
  if (db_->lock_state != 0) return kIsOk;
  if (const IsamError e = take_db_lock(db_, kTempRead)) return e;
  bit_ = db_->shared != 0 ? static_cast<uint32_t>(kTempRead) : 0u;
  return kIsOk;
}

IsamError TempLock::release() {
  if (kind_ == kRecord) return release_temp_record_lock(db_);
  const uint32_t bit = bit_;
  bit_ = 0;
  return bit != 0 ? release_db_lock(db_, bit) : kIsOk;
}

bool covered(const IsamDb *db, int32_t p) {
  if (p == db->physical_position || p == db->temp_lock_position ||
      p == db->lock_position) {
    return true;
  }
  for (const LockEntry *e = db->record_locks; e != nullptr; e = e->next) {
    if (e->position == p) return true;
  }
  return false;
}

int32_t lock_word(IsamDb *db, int32_t p, bool one_try) {
  for (int32_t &stray : db->stray_locks) {
    if (stray == p) {
      stray = 0;
      return 1;
    }
  }
  const LockSettings &s = g_record_lock_settings;
  return sys_lock(db->data_handle, p, kRecordLockBytes, one_try ? 1 : s.tries,
                  s.delay_ms, s.timeout_ms);
}

LockRetry::LockRetry()
    : settings_(g_record_lock_settings), start_(platform_clock_ms()) {}

bool LockRetry::again() {
  const auto elapsed = static_cast<int32_t>(platform_clock_ms() - start_);
  if (tries_ >= settings_.tries || elapsed > settings_.timeout_ms) {
    return false;
  }
  ++tries_;
  sys_sleep(settings_.delay_ms);
  return true;
}

IsamError unlock_uncovered(IsamDb *db, int32_t p) {
  if (db->shared == 0 || p == 0 || covered(db, p)) return kIsOk;
  if (sys_unlock(db->data_handle, p, kRecordLockBytes) == 1) return kIsOk;
  // With every slot taken the first is overwritten: a later lock of that
  // word then fails on a system where a handle cannot lock a range twice.
  int32_t *slot = &db->stray_locks[0];
  for (int32_t &stray : db->stray_locks) {
    if (stray == 0) {
      slot = &stray;
      break;
    }
  }
  *slot = p;
  return kIsUnlockRec;
}

IsamError take_temp_record_lock(IsamDb *db, int32_t p, bool one_try) {
  if (db->shared == 0 || covered(db, p)) return kIsOk;
  if (lock_word(db, p, one_try) != 1) return kIsLockRec;
  db->temp_lock_position = p;
  return kIsOk;
}

IsamError release_temp_record_lock(IsamDb *db) {
  const int32_t p = db->temp_lock_position;
  if (p == 0) return kIsOk;
  db->temp_lock_position = 0;
  return unlock_uncovered(db, p);
}

IsamError move_record_locks(IsamDb *db, int32_t from, int32_t to) {
  if (db->shared == 0) return kIsOk;
  if (!covered(db, to) && lock_word(db, to) != 1) return kIsLockRec;
  bool moved = false;
  auto follow = [&](int32_t *holder) {
    if (*holder == from) {
      *holder = to;
      moved = true;
    }
  };
  follow(&db->temp_lock_position);
  follow(&db->lock_position);
  for (LockEntry *e = db->record_locks; e != nullptr; e = e->next) {
    follow(&e->position);
  }
  return unlock_uncovered(db, moved ? from : to);
}

}  // namespace recbase::isam

extern "C" {

// The lock calls leave isam_errno alone unless they fail: a caller may lock
// between other calls without losing their error.
RBAPI int32_t RBCALL ilock_rec(IsamDb *db, IsamIndex *ix, int32_t *id) {
  if (const IsamError e = check_handles(db, ix)) return fail(e);
  make_current(db);
  if (ix->state != kOnRecord) return fail(kIsNoCurrent);
  if (id == nullptr) return fail(kIsNullArg);
  if (db->shared == 0) return 1;
  int32_t pos = 0;
  bool locked = false;
  IsamError error = kIsOk;
  const int32_t r = lock_target(db, ix, &pos, &locked, &error);
  if (r != 1) {
    if (error != kIsOk) set_error(error);
    return r;
  }
  const bool was_covered = !locked;
  if (db->lock_position == 0) {
    db->lock_position = pos;
    *id = db->next_lock_id;
    return 1;
  }
  const int32_t new_id = next_entry_id(db);
  void *mem = new_id != 0 ? rb_malloc(sizeof(LockEntry)) : nullptr;
  if (mem == nullptr) {
    if (!was_covered) unlock_uncovered(db, pos);
    return fail(new_id == 0 ? kIsTooManyLocks : kIsNoMemory);
  }
  auto *entry = new (mem) LockEntry;
  entry->id = new_id;
  entry->position = pos;
  entry->next = db->record_locks;
  db->record_locks = entry;
  *id = new_id;
  return 1;
}

RBAPI int32_t RBCALL iunlock_rec(IsamDb *db, int32_t id) {
  if (!db_valid(db)) return fail(kIsBadDb);
  if (db->shared == 0) return 1;
  int32_t pos = 0;
  if (id == db->next_lock_id) {
    if (db->lock_position == 0) return fail(kIsNoLocks);
    pos = db->lock_position;
    db->lock_position = 0;
  } else {
    LockEntry **link = &db->record_locks;
    while (*link != nullptr && (*link)->id != id) link = &(*link)->next;
    if (*link == nullptr) return fail(kIsNoLocks);
    LockEntry *entry = *link;
    *link = entry->next;
    pos = entry->position;
    rb_free(entry);
  }
  const IsamError e = unlock_uncovered(db, pos);
  return e == kIsOk ? 1 : fail(e);
}

RBAPI int32_t RBCALL ilock_all(IsamDb *db, int32_t mode) {
  if (!db_valid(db)) return fail(kIsBadDb);
  if (db->shared == 0) return 1;
  if (mode != 1 && mode != 2) return fail(kIsLockRec);
  make_current(db);
  const uint32_t bit = mode == 1 ? kAllRead : kAllWrite;
  if ((db->lock_state & bit) != 0) return fail(kIsDbLocked);
  if (take_db_lock(db, bit) != kIsOk) {
    set_error(kIsLockRec);
    return lock_result();
  }
  return 1;
}

RBAPI int32_t RBCALL iunlock_all(IsamDb *db, int32_t mode) {
  if (!db_valid(db)) return fail(kIsBadDb);
  if (db->shared == 0) return 1;
  if (mode != 1 && mode != 2) return fail(kIsUnlockRec);
  make_current(db);
  const IsamError e = release_db_lock(db, mode == 1 ? kAllRead : kAllWrite);
  return e == kIsOk ? 1 : fail(e);
}

RBAPI void RBCALL ilock_timeout(int32_t tries, int32_t delay_ms,
                                int32_t timeout_ms) {
  g_record_lock_settings = LockSettings{tries, delay_ms, timeout_ms};
}

// Before the library is set up the platform table has no sleep of its own
// yet; filling it is what set-up does first.
RBAPI int32_t RBCALL itime_delay(int32_t milliseconds) {
  if (g_platform.sys_sleep == nullptr) platform_fill();
  return sys_sleep(milliseconds);
}

}  // extern "C"
