// Creating, opening, flushing and closing databases.
//
// An open goes: set the library up if nobody did; refuse a database that is
// open already; allocate the IsamDb (it joins the list of open databases and
// becomes current at once); open the data file and read its header; open
// the index file. A failure before the index file releases the handle. An
// index file that cannot be used leaves the database open with "Physical
// Index" alone and the reason in isam_errno, except a lock the B-tree layer
// could not take, which fails the open.
#include "isam/database.h"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "frame/alloc.h"
#include "frame/registry.h"
#include "isam/buffers.h"
#include "isam/data_file.h"
#include "isam/data_format.h"
#include "isam/descriptors.h"
#include "isam/error_state.h"
#include "isam/journal_db.h"
#include "isam/keys.h"
#include "isam/locks.h"
#include "isam/names.h"
#include "isam/replace.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// The header written at offset 0, then nothing: a database without records;
// synced when it is to replace another file (sync).
IsamError write_data_file(const char *path, const char *const *fields,
                          bool sync) {
  uint8_t *header = nullptr;
  int32_t size = 0;
  if (const IsamError e = encode_header(fields, &header, &size)) return e;
  const std::unique_ptr<uint8_t, void (*)(void *)> owned(header, rb_free);
  sys_remove(path);
  const int32_t h = sys_create(path);
  if (h == -1) return kIsIo;
  const bool written =
      sys_write(h, 0, size, header) == 1 && (!sync || sys_flush(h) == 1);
  if (sys_close(h) != 0 || !written) {
    sys_remove(path);
    return kIsIo;
  }
  return kIsOk;
}

// A new handle for data_path in the list of open databases, current.
IsamDb *new_db(const char *data_path) {
  void *mem = rb_malloc(sizeof(IsamDb));
  if (mem == nullptr) return nullptr;
  auto *db = new (mem) IsamDb;
  add_member(&g_open_dbs, db);
  make_current(db);
  const size_t len = std::strlen(data_path) + 1;
  db->data_path = static_cast<char *>(rb_malloc(len));
  if (db->data_path == nullptr) {
    release_db(db);
    return nullptr;
  }
  std::memcpy(db->data_path, data_path, len);
  return db;
}

IsamError open_data_file(IsamDb *db, int32_t shared, int32_t read_only) {
  db->data_handle =
      sys_open(db->data_path, read_only != 0 ? 0 : 1, shared != 0 ? 1 : 0);
  if (db->data_handle == -1) return kIsNotFound;
  db->shared = shared != 0 ? 1 : 0;
  db->read_only = read_only != 0 ? 1 : 0;
  return read_header(db);
}

// Unlocks every record position the database holds (the temporary lock,
// the physical index's current record, the first lock and the lock list),
// each once, however many of them hold it, and frees the list.
IsamError release_record_locks(IsamDb *db) {
  FirstFailure failure;
  auto release = [&](int32_t p) {
    if (p == 0) return;
    if (db->shared != 0 && db->data_handle != -1 &&
        sys_unlock(db->data_handle, p, kRecordLockBytes) != 1) {
      failure.note(kIsUnlockRec);
    }
    for (int32_t *holder : {&db->temp_lock_position, &db->physical_position,
                            &db->lock_position}) {
      if (*holder == p) *holder = 0;
    }
    for (LockEntry *e = db->record_locks; e != nullptr; e = e->next) {
      if (e->position == p) e->position = 0;
    }
  };
  release(db->temp_lock_position);
  release(db->physical_position);
  release(db->lock_position);
  for (const LockEntry *e = db->record_locks; e != nullptr; e = e->next) {
    release(e->position);
  }
  while (db->record_locks != nullptr) {
    LockEntry *e = db->record_locks;
    db->record_locks = e->next;
    rb_free(e);
  }
  return failure.finish();
}

// Both paths of a database that is not open in this process, the library
// set up first as the first create or open of a process does: kIsOk,
// isaminit's error, kIsBadFileName or kIsDbInUse.
IsamError paths_of_closed(const char *name, DbPaths *paths) {
  if (!ensure_set_up()) return static_cast<IsamError>(isam_errno);
  if (const IsamError e = build_paths(name, paths)) return e;
  return find_open_db(paths->data) != nullptr ? kIsDbInUse : kIsOk;
}

}  // namespace

namespace recbase::isam {

IsamError flush_db(IsamDb *db) {
  // With the journal, the images of everything the flush point writes are
  // saved first, with one sync (the data pages gave theirs when changed).
  if (db->journal != nullptr) save_db_images(db);
  if (const IsamError e = data_write_back(db)) return e;
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->tree != nullptr && cbflush(ix->tree) != 1) return kIsCbt;
  }
  // The descriptor tree reaches the whole index file, free-space keys
  // included, also when the database has no index of its own.
  if (db->desc_tree != nullptr && cbflush(db->desc_tree) != 1) return kIsCbt;
  if (sys_flush(db->data_handle) != 1) return kIsIo;
  return end_db_journal(db);
}

IsamError create_db_files(const DbPaths &paths, int32_t block_size,
                          const char *const *fields, bool sync) {
  if (const IsamError e = write_data_file(paths.data, fields, sync)) return e;
  if (const IsamError e = create_index_file(paths.index, block_size)) {
    sys_remove(paths.data);
    return e;
  }
  return kIsOk;
}

IsamDb *open_db_at(const DbPaths &paths, int32_t shared, int32_t read_only) {
  if (find_open_db(paths.data) != nullptr) {
    return fail_null<IsamDb>(kIsDbInUse);
  }
  if (const IsamError e = ensure_key_buffer()) return fail_null<IsamDb>(e);
  const bool journalled = paths.journal[0] != '\0';
  bool journal_present = false;
  if (journalled) {
    if (const IsamError e =
            recover_db_journal(paths, shared, &journal_present)) {
      return fail_null<IsamDb>(e);
    }
  }
  IsamDb *db = new_db(paths.data);
  if (db == nullptr) return fail_null<IsamDb>(kIsNoMemory);
  if (const IsamError e = open_data_file(db, shared, read_only)) {
    release_db(db);
    return fail_null<IsamDb>(e);
  }
  const IsamError kept = open_index_file(db, paths.index);
  if (kept == kIsLockRec) {
    release_db(db);
    return fail_null<IsamDb>(kIsLockRec);
  }
  if (kept == kIsOk && journalled &&
      (journal_present || (g_db_journal != 0 && db->read_only == 0))) {
    if (const IsamError e = attach_db_journal(db, paths)) {
      release_db(db);
      return fail_null<IsamDb>(e);
    }
  }
  if (kept != kIsOk) {
    IsamIndex *physical = nullptr;
    if (build_physical_index(db, &physical) != kIsOk) {
      release_db(db);
      return fail_null<IsamDb>(kIsNoMemory);
    }
    add_member(reinterpret_cast<void **>(&db->indexes), physical);
    db->index_count = 1;
  }
  db->lock_state =
      db->shared != 0 ? 0u : static_cast<uint32_t>(kExclusiveLocks);
  set_error(kept);
  return db;
}

IsamError release_db(IsamDb *db) {
  FirstFailure failure;
  // Changed data pages that a failed flush point left are written once
  // more, as the pool does for the blocks of a file it closes; what still
  // fails is lost with the cache. With a journal they are left: it rolls
  // the database back to its last flush point at the next open.
  if (db->journal == nullptr) failure.note(write_back_left(db));
  failure.note(close_index_structures(db));
  close_db_journal(db);
  failure.note(release_record_locks(db));
  free_data_cache(db);
  if (db->data_handle != -1 && sys_close(db->data_handle) != 0) {
    failure.note(kIsIo);
  }
  rb_free(db->data_path);
  rb_free(db->field_names);
  rb_free(db->definitions);
  rb_free(db->field_types);
  rb_free(db->binary_lengths);
  del_member(&g_open_dbs, db);
  if (g_current_db == db) g_current_db = nullptr;
  db->~IsamDb();
  retire_handle(db);
  return failure.finish();
}

}  // namespace recbase::isam

extern "C" {

RBAPI IsamDb *RBCALL icreate_db(const char *name, int32_t block_size,
                                const char *const *fields) {
  set_error(kIsOk);
  if (name == nullptr || fields == nullptr) {
    return fail_null<IsamDb>(kIsNullArg);
  }
  DbPaths paths;
  if (const IsamError e = paths_of_closed(name, &paths)) {
    return fail_null<IsamDb>(e);
  }
  if (g_db_journal != 0) {
    // Made whole beside the old files, then put in their place at once.
    DbPaths staged;
    if (const IsamError e = stage_paths(paths, &staged)) {
      return fail_null<IsamDb>(e);
    }
    if (const IsamError e = create_db_files(staged, block_size, fields, true)) {
      return fail_null<IsamDb>(e);
    }
    if (const IsamError e = publish_db(paths, true)) {
      return fail_null<IsamDb>(e);
    }
    return iopen_db(name);
  }
  // A journal left beside old files of this name belongs to them.
  sys_remove(paths.journal);
  if (const IsamError e = create_db_files(paths, block_size, fields, false)) {
    return fail_null<IsamDb>(e);
  }
  return iopen_db(name);
}

RBAPI IsamDb *RBCALL iopen_db(const char *name) {
  return iopen_db_shared(name, 0, 0);
}

RBAPI IsamDb *RBCALL iopen_db_shared(const char *name, int32_t shared,
                                     int32_t read_only) {
  set_error(kIsOk);
  if (name == nullptr) return fail_null<IsamDb>(kIsNullArg);
  DbPaths paths;
  if (const IsamError e = paths_of_closed(name, &paths)) {
    return fail_null<IsamDb>(e);
  }
  return open_db_at(paths, shared, read_only);
}

RBAPI int32_t RBCALL iflush_db(IsamDb *db) {
  set_error(kIsOk);
  if (const IsamError e = enter_db(db)) return fail(e);
  const IsamError e = flush_db(db);
  return e == kIsOk ? 1 : fail(e);
}

RBAPI int32_t RBCALL iclose_db(IsamDb *db) {
  set_error(kIsOk);
  if (const IsamError e = enter_db(db)) return fail(e);
  FirstFailure failure;
  failure.note(flush_db(db));
  failure.note(release_db(db));
  const IsamError e = failure.finish();
  return e == kIsOk ? 1 : fail(e);
}

}  // extern "C"
