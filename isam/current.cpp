// Finding the current record of an index, and the physical scan (the
// states are described in isam/current.h).
#include "isam/current.h"

#include "cbt/record_calls.h"
#include "isam/data_file.h"
#include "isam/error_state.h"
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

// A length word that cannot be read ends the walk only past the end of
// the file; inside it, the failed read is an I/O error.
bool past_end(IsamDb *db, int32_t p) {
  uint32_t size = 0;
  return data_size(db, &size) == kIsOk && static_cast<int64_t>(p) + 2 > size;
}

int32_t scan_unshared(IsamDb *db, IsamIndex *ix, int32_t p, IsamError *error) {
  for (int32_t word = 0; p != 0; p = after(p, word)) {
    if (read_word(db, p, &word) != kIsOk) {
      if (past_end(db, p)) break;
      *error = kIsIo;
      return -1;
    }
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

// A step of the physical scan that found a candidate locked and let go of
// what it took, to be tried again.
constexpr int32_t kTryAgain = -5;

// Each candidate's word is locked before it is read (unless a lock of this
// database covers it), and the record found keeps its lock as the physical
// position's. The step runs under the database's read lock, so no change
// of another process (each runs under the write lock) moves the slots it
// steps over; one_try: a candidate that is locked ends the step with
// kTryAgain instead of waiting under the read lock.
int32_t scan_shared(IsamDb *db, IsamIndex *ix, int32_t p, bool one_try,
                    IsamError *error) {
  int32_t held = 0;  // a candidate this walk locked and has not released
  auto drop_held = [&]() {
    const int32_t h = held;
    held = 0;
    return unlock_uncovered(db, h);
  };
  for (int32_t word = 0; p != 0; p = after(p, word)) {
    if (const IsamError e = drop_held()) {
      *error = e;
      return -1;
    }
    bool took = false;
    if (!covered(db, p)) {
      if (lock_word(db, p, one_try) != 1) {
        if (one_try) return kTryAgain;
        uint32_t size = 0;
        const bool at_end = data_size(db, &size) == kIsOk &&
                            static_cast<int64_t>(p) + 2 >= size;
        if (at_end) return end_of_file(db, ix, error);
        *error = kIsLockRec;
        return -1;
      }
      took = true;
    }
    held = took ? p : 0;
    if (read_word(db, p, &word) != kIsOk) {
      drop_held();
      if (past_end(db, p)) return end_of_file(db, ix, error);
      *error = kIsIo;
      return -1;
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

// locate_current for an ordinary index, through the exported tree calls
// and under the locks a shared database takes. Out of line, so that the
// common case above needs no stack frame.
[[gnu::noinline]] int32_t locate_in_tree(IsamDb *db, IsamIndex *ix,
                                         int32_t *position, IsamError *error,
                                         bool with_read_lock) {
  for (LockRetry retry;;) {
    TempLock db_read(db);
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
    // Under the read lock the record is tried once: a writer that waits for
    // the read lock may be the one that frees it.
    IsamError e = take_temp_record_lock(db, *position, db_read.taken());
    if (e == kIsOk) {
      if ((e = db_read.release()) == kIsOk) return 1;
      release_temp_record_lock(db);
      *error = e;
      return -1;
    }
    if (!db_read.taken()) {
      *error = e;
      return -1;
    }
    if ((e = db_read.release()) != kIsOk || !retry.again()) {
      *error = e != kIsOk ? e : kIsLockRec;
      return -1;
    }
  }
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
  // Unshared: no lock is ever taken, so the lookup is cbcurr and the
  // key-range rule, answered from a current cursor where it can be.
  int32_t item = 0;
  uint8_t first = 0;
  if (db->shared == 0 && cbt::current_lead(ix->tree, &item, &first)) {
    ix->state = range_state(ix, first, kBeforeFirst, kAfterLast);
    if (ix->state == kOnRecord) *position = item;
    return ix->state;
  }
  return locate_in_tree(db, ix, position, error, with_read_lock);
}

int32_t physical_scan(IsamDb *db, IsamIndex *ix, IsamError *error) {
  if (ix->state == kAfterLast) return kAfterLast;
  for (LockRetry retry;;) {
    TempLock db_read(db);
    if (db->shared != 0) {
      if (const IsamError e = db_read.take_read()) {
        *error = e;
        return lock_result();
      }
    }
    int32_t p = db->data_start;
    if (ix->state == kOnRecord && db->physical_position != 0) {
      int32_t word = 0;
      if (read_word(db, db->physical_position, &word) != kIsOk) {
        *error = kIsIo;
        return -1;
      }
      p = after(db->physical_position, word);
    }
    if (db->shared == 0) return scan_unshared(db, ix, p, error);
    const int32_t r = scan_shared(db, ix, p, db_read.taken(), error);
    const IsamError e = db_read.release();
    if (r != kTryAgain) {
      if (e == kIsOk || r == -1) return r;
      *error = e;
      return -1;
    }
    if (e != kIsOk || !retry.again()) {
      *error = e != kIsOk ? e : kIsLockRec;
      return -1;
    }
  }
}

}  // namespace recbase::isam
