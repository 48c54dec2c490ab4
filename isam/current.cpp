// Finding the current record of an index, and the physical scan (the
// states are described in isam/current.h).
#include "isam/current.h"

#include "isam/locks.h"
#include "isam/record_io.h"

namespace recbase::isam {
namespace {

// The slot or free area after the one at p whose word is `word`; 0 when it
// would lie beyond what a 32-bit position reaches.
int32_t after(int32_t p, int32_t word) {
  const int64_t next = static_cast<int64_t>(p) + 2 +
                       (word < 0 ? -static_cast<int64_t>(word) : word);
  return next > INT32_MAX ? 0 : static_cast<int32_t>(next);
}

// The end of the file reached: no current record. The old current record's
// lock goes unless something else covers it.
int32_t end_of_file(IsamDb *db, IsamIndex *ix, IsamError *error) {
  const int32_t old = db->physical_position;
  db->physical_position = 0;
  ix->state = kAfterLast;
  if (const IsamError e = unlock_uncovered(db, old)) {
    *error = e;
    return -1;
  }
  return kAfterLast;
}

int32_t scan_unshared(IsamDb *db, IsamIndex *ix, int32_t p) {
  for (int32_t word = 0; p != 0; p = after(p, word)) {
    if (read_word(db, p, &word) != kIsOk) break;
    if (word >= 0) {
      db->physical_position = p;
      ix->state = kOnRecord;
      return 1;
    }
  }
  db->physical_position = 0;
  ix->state = kAfterLast;
  return kAfterLast;
}

// Each candidate's word is locked before it is read (unless a lock of this
// database covers it); the lock of the candidate before goes once the next
// one is held, and the record found keeps its lock as the physical
// position's.
int32_t scan_shared(IsamDb *db, IsamIndex *ix, int32_t p, IsamError *error) {
  int32_t held = 0;  // a candidate this walk locked and has not released
  auto drop_held = [&]() {
    const int32_t h = held;
    held = 0;
    return unlock_uncovered(db, h);
  };
  for (int32_t word = 0; p != 0; p = after(p, word)) {
    bool took = false;
    if (!covered(db, p)) {
      if (lock_word(db, p) != 1) {
        uint32_t size = 0;
        const bool at_end = sys_filesize(db->data_handle, &size) == 1 &&
                            static_cast<int64_t>(p) + 2 >= size;
        drop_held();
        if (at_end) return end_of_file(db, ix, error);
        *error = kIsLockRec;
        return -1;
      }
      took = true;
    }
    if (const IsamError e = drop_held()) {
      if (took) unlock_uncovered(db, p);
      *error = e;
      return -1;
    }
    held = took ? p : 0;
    if (read_word(db, p, &word) != kIsOk) {
      drop_held();
      return end_of_file(db, ix, error);
    }
    if (word >= 0) {
      const int32_t old = db->physical_position;
      db->physical_position = p;
      ix->state = kOnRecord;
      held = 0;
      if (const IsamError e = unlock_uncovered(db, old)) {
        *error = e;
        return -1;
      }
      return 1;
    }
  }
  drop_held();
  return end_of_file(db, ix, error);
}

}  // namespace

int32_t state_after_move(IsamIndex *ix, int32_t r, int32_t before, int32_t past,
                         IsamError *error) {
  if (r == kBeforeFirst || r == kAfterLast) {
    ix->state = r;
    return r;
  }
  if (r != 1) {
    *error = kIsCbt;
    return -1;
  }
  uint8_t first = 0;
  if (cbkey(ix->tree, &first, 1) != 1) {
    *error = kIsCbt;
    return -1;
  }
  ix->state = range_state(ix, first, before, past);
  return ix->state;
}

int32_t locate_current(IsamDb *db, IsamIndex *ix, int32_t *position,
                       IsamError *error, bool with_read_lock) {
  if (ix->state != kOnRecord) return ix->state;
  if (ix->tree == nullptr) {
    *position = db->physical_position;
    if (*position != 0) return 1;
    *error = kIsNoCurrent;
    return -1;
  }
  TempDbLock db_read(db);
  if (with_read_lock) {
    if (const IsamError e = db_read.take_read()) {
      *error = e;
      return lock_result();
    }
  }
  const int32_t r = cbcurr(ix->tree, position);
  const int32_t state =
      state_after_move(ix, r, kBeforeFirst, kAfterLast, error);
  if (state != kOnRecord) {
    const CbErrors kept;
    db_read.release();
    kept.restore();
    return state;
  }
  if (const IsamError e = take_temp_record_lock(db, *position)) {
    db_read.release();
    *error = e;
    return -1;
  }
  if (const IsamError e = db_read.release()) {
    release_temp_record_lock(db);
    *error = e;
    return -1;
  }
  return 1;
}

int32_t physical_scan(IsamDb *db, IsamIndex *ix, IsamError *error) {
  if (ix->state == kAfterLast) return kAfterLast;
  int32_t p = db->data_start;
  if (ix->state == kOnRecord && db->physical_position != 0) {
    int32_t word = 0;
    if (read_word(db, db->physical_position, &word) != kIsOk) {
      *error = kIsIo;
      return -1;
    }
    p = after(db->physical_position, word);
  }
  return db->shared != 0 ? scan_shared(db, ix, p, error)
                         : scan_unshared(db, ix, p);
}

TempRecordHold::~TempRecordHold() { release_temp_record_lock(db_); }

IsamError TempRecordHold::release() { return release_temp_record_lock(db_); }

}  // namespace recbase::isam
