// Adding, modifying and deleting records: the slot in the data file, and an
// entry (key built from the record's values, item the slot's position) in
// every ordinary index.
//
// Every change of a shared database runs under the database's write lock
// and holds the record it works on with the temporary record lock; the data
// file is flushed before the write lock goes. What a failure leaves:
//  - add: the slot is written first, then the keys go into every index in
//    list order; on a failure the keys entered so far are deleted again and
//    the slot is given back to the free space (a free area that may still
//    hold the record's bytes), so no record of it remains;
//  - modify: the new slot is written first and the indexes follow; the old
//    slot (or the tail a shrinking record leaves) is released only once
//    every index has followed. An index that cannot follow, or a release
//    that fails, undoes the change: the indexes take their old entries back
//    and the old values are written back in place (or the new slot is given
//    back);
//  - delete: the slot is released first, then every index loses its entry;
//    an index that cannot goes on being processed with the others and the
//    call reports the first failure.
#include <algorithm>

#include "cbt/record_calls.h"
#include "isam/buffers.h"
#include "isam/current.h"
#include "isam/error_state.h"
#include "isam/freespace.h"
#include "isam/keys.h"
#include "isam/locks.h"
#include "isam/record_io.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// The outcome of a change: the call's result and, for -1 and -4, why.
struct Outcome {
  int32_t result = 1;
  IsamError error = kIsOk;
};
Outcome failed(IsamError e) { return Outcome{-1, e}; }

// Gives a slot that was never entered into any index back to the free space,
// keeping the B-tree codes of the failure that made the caller give it up.
void give_back(IsamDb *db, const Slot &slot) {
  const CbErrors kept;
  release_stretch(db, slot.position, slot.length);
  kept.restore();
}

IsamError build(const IsamDb *db, const IsamIndex *ix,
                const char *const *fields, uint8_t *out, int32_t *len) {
  return build_key_by_field(db, ix, fields, out, g_key_buffer_size, len);
}

int32_t dup_allowed(const IsamIndex *ix) { return ix->unique != 0 ? 0 : 1; }

// Deletes the entries (key of fields, position) of the ordinary indexes from
// the head of the list up to, not including, `stop`.
void remove_entries(IsamDb *db, const IsamIndex *stop,
                    const char *const *fields, int32_t position) {
  int32_t len = 0;
  for (IsamIndex *ix = db->indexes; ix != stop; ix = ix->next) {
    if (ix->tree == nullptr) continue;
    if (build(db, ix, fields, g_key_buffer, &len) == kIsOk) {
      cbdelete(ix->tree, g_key_buffer, len, position);
    }
  }
}

// Enters the record into every ordinary index, in list order; on a failure
// the entries made are removed again.
IsamError enter_keys(IsamDb *db, const char *const *fields, int32_t position) {
  int32_t len = 0;
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->tree == nullptr) continue;
    IsamError e = build(db, ix, fields, g_key_buffer, &len);
    if (e == kIsOk &&
        cbinsert(ix->tree, g_key_buffer, len, position, dup_allowed(ix)) != 1) {
      e = kIsCbt;
    }
    if (e != kIsOk) {
      const CbErrors kept;
      remove_entries(db, ix, fields, position);
      kept.restore();
      return e;
    }
  }
  return kIsOk;
}

// Makes the record at position the physical position (its lock, held by
// the temporary record lock, becomes the physical position's).
IsamError become_physical(IsamDb *db, IsamIndex *physical, int32_t position) {
  const int32_t old = db->physical_position;
  db->physical_position = position;
  physical->state = kOnRecord;
  return unlock_uncovered(db, old);
}

Outcome add_record(IsamDb *db, IsamIndex *ix, char *const *fields) {
  int32_t length = 0;
  if (const IsamError e = data_length(db, fields, &length)) return failed(e);
  Slot slot;
  if (const IsamError e = allocate_slot(db, length, &slot)) return failed(e);
  TempLock hold(db, TempLock::kRecord);
  IsamError e = take_temp_record_lock(db, slot.position);
  if (e == kIsOk) e = write_slot(db, slot.position, slot.length, fields);
  // A slot at the end of the file has no free-space keys, so it is never
  // handed out again whatever a failed write left of it.
  if (e != kIsOk && !slot.at_end) give_back(db, slot);
  if (e != kIsOk) return failed(e);
  if (const IsamError k = enter_keys(db, fields, slot.position)) {
    give_back(db, slot);
    return failed(k);
  }
  if (ix == nullptr) return Outcome{};
  if (ix->tree == nullptr) {
    if (const IsamError u = become_physical(db, ix, slot.position)) {
      return failed(u);
    }
    return Outcome{};
  }
  int32_t len = 0;
  if (const IsamError k = build(db, ix, fields, g_key_buffer, &len)) {
    return failed(k);
  }
  int32_t item = slot.position;
  if (cbfinditem(ix->tree, g_key_buffer, len, &item) != 2) {
    return failed(kIsCbt);
  }
  ix->state = kOnRecord;
  return Outcome{};
}

// Writes the new values of a record that moves into its new slot, holding
// the slot with the temporary record lock while the old position's hold is
// set aside. The slot is given back on failure.
IsamError write_moved(IsamDb *db, const Slot &slot, const char *const *fields) {
  const int32_t set_aside = db->temp_lock_position;
  db->temp_lock_position = 0;
  IsamError e = take_temp_record_lock(db, slot.position);
  if (e == kIsOk) {
    e = write_slot(db, slot.position, slot.length, fields);
    const IsamError u = release_temp_record_lock(db);
    if (e == kIsOk) e = u;
  }
  db->temp_lock_position = set_aside;
  if (e != kIsOk && !slot.at_end) give_back(db, slot);
  return e;
}

// Every ordinary index changes its entry (old key, from) into (new key, to),
// and takes its state from where its cursor stands afterwards. On a failure
// the indexes before the failing one are changed back and the failing one
// gets its old entry again if it lost it.
IsamError follow_indexes(IsamDb *db, const char *const *old_fields,
                         const char *const *new_fields, int32_t from,
                         int32_t to, uint8_t *old_key) {
  int32_t old_len = 0, new_len = 0;
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->tree == nullptr) continue;
    IsamError e = build(db, ix, old_fields, old_key, &old_len);
    if (e == kIsOk) e = build(db, ix, new_fields, g_key_buffer, &new_len);
    if (e == kIsOk && cbmodify(ix->tree, old_key, old_len, from, g_key_buffer,
                               new_len, to, dup_allowed(ix)) != 1) {
      e = kIsCbt;
    }
    if (e == kIsOk) {
      IsamError ignored = kIsOk;
      int32_t item = 0;
      const int32_t r = cbcurr(ix->tree, &item);
      state_after_move(ix, r, kBeforeFirst, kAfterLast, &ignored);
      continue;
    }
    const CbErrors kept;
    for (IsamIndex *back = db->indexes; back != ix; back = back->next) {
      if (back->tree == nullptr ||
          build(db, back, old_fields, old_key, &old_len) != kIsOk ||
          build(db, back, new_fields, g_key_buffer, &new_len) != kIsOk) {
        continue;
      }
      cbmodify(back->tree, g_key_buffer, new_len, to, old_key, old_len, from,
               1);
    }
    if (build(db, ix, old_fields, old_key, &old_len) == kIsOk) {
      int32_t item = from;
      if (cbfinditem(ix->tree, old_key, old_len, &item) != 2) {
        cbinsert(ix->tree, old_key, old_len, from, 1);
      }
    }
    kept.restore();
    return e;
  }
  return kIsOk;
}

// A modification under way: the record's old slot and values, and the slot
// that takes the new values (the old one, or a new one when it moves).
struct Change {
  int32_t from = 0;
  int32_t old_length = 0;
  const RecordArea *old = nullptr;
  Slot slot;
  bool moves = false;
  uint8_t *old_key = nullptr;  // scratch for the indexes' old keys
};

// Writes the new values: into a new slot when they do not fit the old one,
// else in place. A failure leaves the data file as it was.
IsamError write_change(IsamDb *db, Change &c, const char *const *fields,
                       int32_t length) {
  c.moves = c.old_length < length;
  c.slot = Slot{c.from, c.old_length, false};
  if (c.moves) {
    if (const IsamError e = allocate_slot(db, length, &c.slot)) return e;
    return write_moved(db, c.slot, fields);
  }
  // A tail too short to be worth a free area stays with the slot.
  const int32_t keep = std::max(db->min_record_length - 2, 2);
  c.slot.length = length + keep >= c.old_length ? c.old_length : length;
  const IsamError e = write_slot(db, c.from, c.slot.length, fields);
  if (e != kIsOk) {
    // A slot written in pieces may have been changed in part.
    const CbErrors kept;
    write_slot(db, c.from, c.old_length, c.old->fields);
    kept.restore();
  }
  return e;
}

// Releases the space the record left: the old slot of a record that moved,
// or the tail of one that shrank.
IsamError release_left(IsamDb *db, const Change &c) {
  if (c.moves) return release_stretch(db, c.from, c.old_length);
  if (c.slot.length < c.old_length) {
    return release_stretch(db, c.from + c.slot.length + 2,
                           c.old_length - c.slot.length - 2);
  }
  return kIsOk;
}

// Undoes a change written to the data file: the indexes go back to the old
// entries (when they had followed), and the new slot is given back or the
// old values written back in place. The B-tree codes of the failure stay.
void undo_change(IsamDb *db, const Change &c, const char *const *fields,
                 bool indexes_moved) {
  const CbErrors kept;
  if (indexes_moved) {
    follow_indexes(db, fields, c.old->fields, c.slot.position, c.from,
                   c.old_key);
  }
  if (c.moves) {
    give_back(db, c.slot);
  } else {
    write_slot(db, c.from, c.old_length, c.old->fields);
  }
  kept.restore();
}

Outcome modify_record(IsamDb *db, IsamIndex *ix, char *const *fields) {
  Change c;
  IsamError e = kIsOk;
  const int32_t r = locate_current(db, ix, &c.from, &e);
  if (r != 1) return Outcome{r, e};
  TempLock hold(db, TempLock::kRecord);
  RecordArea &old = g_replaced;
  if ((e = read_record(db, c.from, &old)) != kIsOk) return failed(e);
  c.old = &old;
  c.old_length = old.slot_length;
  int32_t length = 0;
  if ((e = data_length(db, fields, &length)) != kIsOk) return failed(e);
  c.old_key = spare_key_buffer();
  if (c.old_key == nullptr) return failed(kIsNoMemory);
  if ((e = write_change(db, c, fields, length)) != kIsOk) return failed(e);
  e = follow_indexes(db, old.fields, fields, c.from, c.slot.position,
                     c.old_key);
  // The space the record leaves is released once the indexes follow; if
  // that fails, the indexes go back too, so that no slot is left that no
  // index holds (an old slot still marked used) or that the slots before
  // it no longer lead to (a tail after a shortened length word).
  const bool indexes_moved = e == kIsOk;
  if (e == kIsOk) e = release_left(db, c);
  if (e != kIsOk) {
    undo_change(db, c, fields, indexes_moved);
    return failed(e);
  }
  Outcome out;
  auto note = [&](IsamError x) {
    if (x != kIsOk && out.error == kIsOk) out = failed(x);
  };
  if (c.moves) note(move_record_locks(db, c.from, c.slot.position));
  IsamIndex *physical = physical_index(db);
  if (physical != nullptr && db->physical_position == c.from) {
    if (physical_scan(db, physical, &e) == -1) note(e);
  }
  return out;
}

Outcome delete_record(IsamDb *db, IsamIndex *ix) {
  int32_t at = 0;
  IsamError e = kIsOk;
  const int32_t r = locate_current(db, ix, &at, &e);
  if (r == kBeforeFirst || r == kAfterLast) return failed(kIsNoCurrent);
  if (r != 1) return Outcome{r, e};
  TempLock hold(db, TempLock::kRecord);
  RecordArea &old = g_replaced;
  if ((e = read_record(db, at, &old)) != kIsOk) return failed(e);
  if ((e = release_stretch(db, at, old.slot_length)) != kIsOk) {
    return failed(e);
  }
  FirstFailure failure;
  int32_t len = 0;
  for (IsamIndex *each = db->indexes; each != nullptr; each = each->next) {
    if (each->tree == nullptr) continue;
    IsamError k = build(db, each, old.fields, g_key_buffer, &len);
    // The index the record was found through stands on its entry.
    if (k == kIsOk &&
        (each == ix ? cbt::delete_at_position(each->tree, g_key_buffer, len, at)
                    : cbdelete(each->tree, g_key_buffer, len, at)) != 1) {
      k = kIsCbt;
    }
    failure.note(k);
    int32_t item = 0;
    const int32_t c = cbt::current_item(each->tree, &item);
    IsamError s = kIsOk;
    state_after_move(each, c, kAfterLast, kAfterLast, &s);
    failure.note(s);
  }
  IsamIndex *physical = physical_index(db);
  if (physical != nullptr && db->physical_position == at &&
      physical_scan(db, physical, &e) == -1) {
    failure.note(e);
  }
  e = failure.finish();
  return e == kIsOk ? Outcome{} : failed(e);
}

// The end of every change: flush the data file and release the write lock
// when this call took it; a failure of either turns a success into -1.
int32_t finish(IsamDb *db, TempLock &db_write, Outcome out) {
  if (db_write.taken()) {
    const CbErrors kept;
    if (out.result == 1 && sys_flush(db->data_handle) != 1) {
      out = failed(kIsIo);
    }
    const IsamError u = db_write.release();
    if (u != kIsOk && out.error == kIsOk) out = failed(u);
    if (out.error != kIsUnlockRec) kept.restore();
  }
  if (out.error != kIsOk) set_error(out.error);
  return out.result;
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL iaddrec(IsamDb *db, IsamIndex *ix, char *const *fields) {
  set_error(kIsOk);
  if (const IsamError e = ix != nullptr ? enter_index(db, ix) : enter_db(db)) {
    return fail(e);
  }
  if (fields == nullptr) return fail(kIsNullArg);
  if (db->read_only != 0) return fail(kIsReadOnly);
  TempLock db_write(db);
  if (db_write.take_write() != kIsOk) return fail(kIsLockRec);
  return finish(db, db_write, add_record(db, ix, fields));
}

RBAPI int32_t RBCALL imodrec(IsamDb *db, IsamIndex *ix, char *const *fields) {
  set_error(kIsOk);
  if (ix == nullptr) return fail(kIsBadIndex);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (ix->state != kOnRecord) return ix->state;
  if (db->read_only != 0) return fail(kIsReadOnly);
  if (fields == nullptr) return fail(kIsNullArg);
  TempLock db_write(db);
  if (db_write.take_write() != kIsOk) return fail(kIsLockRec);
  return finish(db, db_write, modify_record(db, ix, fields));
}

RBAPI int32_t RBCALL idelrec(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (ix == nullptr) return fail(kIsBadIndex);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (ix->state != kOnRecord) return fail(kIsNoCurrent);
  if (db->read_only != 0) return fail(kIsReadOnly);
  TempLock db_write(db);
  if (db_write.take_write() != kIsOk) return fail(kIsLockRec);
  return finish(db, db_write, delete_record(db, ix));
}

}  // extern "C"
