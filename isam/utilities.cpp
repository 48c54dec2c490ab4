// Operations on whole databases by name: copying, renaming, destroying,
// and the progress routine of the long operations.
//
// A copy opens the source read-only (shared or not), creates the target
// with the source's field definitions and makes each of the source's
// indexes in it, then adds the source's records to it one by one in the
// order of a chosen index. So the target's data file is its header and the
// record slots back to back in that order, with no free space, and every
// index of the target holds an entry per record. A failure after the
// target was created leaves its files with what was copied so far (with the
// journal on, the target is made under staged names and put in place once
// complete, so it is absent or whole); both databases are closed on every
// way out, and the failing step's error is the one reported.
//
// Renaming moves the data file first and then the index file; when the
// second move fails the first is undone, so both files keep their names
// together. Renames never replace an existing file.
#include <cstring>
#include <initializer_list>

#include "isam/buffers.h"
#include "isam/current.h"
#include "isam/database.h"
#include "isam/error_state.h"
#include "isam/journal_db.h"
#include "isam/locks.h"
#include "isam/names.h"
#include "isam/progress.h"
#include "isam/record_io.h"
#include "isam/replace.h"

using namespace recbase;
using namespace recbase::isam;

namespace recbase::isam {

IsamProgress g_progress = nullptr;

bool report_progress(IsamDb *db, int32_t count) {
  if (g_progress == nullptr) return true;
  g_progress(count);
  if (!db_valid(db)) return false;
  make_current(db);
  return true;
}

}  // namespace recbase::isam

namespace {

// Block size of the target's index file when the source's cannot be read.
constexpr int32_t kFallbackBlockSize = 512;

// The error a failed call left; a failure must never pass for success, so
// one that left no code counts as a B-tree failure.
IsamError last_error() {
  return isam_errno != kIsOk ? static_cast<IsamError>(isam_errno) : kIsCbt;
}

// The two databases of a copy and what the copy holds. With the journal on
// the target is made under staged names (isam/replace.h) and put in place
// once complete, so that a crash leaves no target or the whole copy.
struct Copy {
  IsamDb *source = nullptr;
  IsamDb *target = nullptr;
  IsamIndex *order = nullptr;
  bool read_lock = false;
  bool staged = false;
  DbPaths paths;  // the target's
};

// Creates the target with the source's fields and indexes ("Physical
// Index" comes with the target). No progress is reported meanwhile.
IsamError make_target(Copy &c, const char *to, int32_t block_size) {
  ProgressPause pause;
  if (c.staged) {
    if (find_open_db(c.paths.data) != nullptr) return kIsDbInUse;
    DbPaths staged;
    if (const IsamError e = stage_paths(c.paths, &staged)) return e;
    if (const IsamError e = create_db_files(staged, block_size,
                                            igetfldnames(c.source), false)) {
      return e;
    }
    c.target = open_db_at(staged, 0, 0);
  } else {
    c.target = icreate_db(to, block_size, igetfldnames(c.source));
  }
  if (c.target == nullptr) return last_error();
  for (IsamIndex *ix = c.source->indexes; ix != nullptr; ix = ix->next) {
    if (std::strcmp(ix->name, kPhysicalName) == 0) continue;
    char **texts = igetdesc(c.source, ix);
    if (texts == nullptr || imkindex(c.target, ix->name, texts) != 1) {
      return last_error();
    }
  }
  return kIsOk;
}

// Adds every record of the source to the target, in the chosen order.
IsamError copy_records(Copy &c) {
  OwnArea area;
  int32_t r = ifindhead(c.source, c.order);
  for (int32_t count = 1; r == 1; ++count) {
    int32_t position = 0;
    IsamError e = kIsOk;
    const int32_t found = locate_current(c.source, c.order, &position, &e);
    if (found != 1) return found == -1 || found == -4 ? e : kIsNoCurrent;
    TempLock hold(c.source, TempLock::kRecord);
    e = read_record(c.source, position, &area);
    const IsamError unlocked = hold.release();
    if (e == kIsOk) e = unlocked;
    if (e != kIsOk) return e;
    if (iaddrec(c.target, nullptr, area.fields) != 1) return last_error();
    if (!report_progress(c.target, count) || !db_valid(c.source)) {
      return kIsBadDb;
    }
    r = ifindnext(c.source, c.order);
  }
  return r == kAfterLast ? kIsOk : last_error();
}

IsamError run_copy(Copy &c, const char *to, const char *index_name,
                   int32_t block_size, const char *source_index) {
  // Without its index file the source knows "Physical Index" alone, and
  // the copy follows it whatever index was asked for.
  if (index_name != nullptr && isam_errno == kIsOk) {
    c.order = ihandle(c.source, index_name);
  } else {
    c.order = ihandle(c.source, kPhysicalName);
  }
  if (c.order == nullptr) return last_error();
  if (block_size == 0) {
    block_size = cbblksize(source_index);
    if (block_size == -1) block_size = kFallbackBlockSize;
  }
  if (c.source->shared != 0) {
    if (take_db_lock(c.source, kAllRead) != kIsOk) return kIsLockRec;
    c.read_lock = true;
  }
  if (const IsamError e = make_target(c, to, block_size)) return e;
  return copy_records(c);
}

int32_t copy_db(const char *from, const char *to, const char *index_name,
                int32_t block_size, int32_t shared) {
  if (from == nullptr || to == nullptr) return fail(kIsNullArg);
  DbPaths source_paths, target_paths;
  if (const IsamError e = build_paths(from, &source_paths)) return fail(e);
  if (const IsamError e = build_paths(to, &target_paths)) return fail(e);
  if (std::strcmp(source_paths.data, target_paths.data) == 0) {
    return fail(kIsCopySelf);
  }
  Copy c;
  c.staged = g_db_journal != 0;
  c.paths = target_paths;
  c.source = iopen_db_shared(from, shared, 1);
  if (c.source == nullptr) return -1;
  FirstFailure failure;
  failure.note(run_copy(c, to, index_name, block_size, source_paths.index));
  if (c.read_lock && db_valid(c.source)) {
    failure.note(release_db_lock(c.source, kAllRead));
  }
  for (IsamDb *db : {c.target, c.source}) {
    if (db != nullptr && db_valid(db) && iclose_db(db) != 1) {
      failure.note(last_error());
    }
  }
  if (c.staged && failure.finish() == kIsOk) {
    failure.note(publish_db(c.paths, true));
  } else if (c.staged) {
    remove_staged(c.paths);
  }
  const IsamError e = failure.finish();
  if (e != kIsOk) return fail(e);
  set_error(kIsOk);
  return 1;
}

// Both paths of name, after setting the library up as an open would (the
// file operations need the platform services).
IsamError paths_of(const char *name, DbPaths *out) {
  if (name == nullptr) return kIsNullArg;
  if (!ensure_set_up()) return last_error();
  return build_paths(name, out);
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL icopy_db(const char *from, const char *to,
                              const char *index_name, int32_t block_size) {
  return copy_db(from, to, index_name, block_size, 0);
}

RBAPI int32_t RBCALL icopy_db_shared(const char *from, const char *to,
                                     const char *index_name,
                                     int32_t block_size) {
  return copy_db(from, to, index_name, block_size, 1);
}

RBAPI int32_t RBCALL irename_db(const char *from, const char *to) {
  set_error(kIsOk);
  DbPaths old_paths, new_paths;
  if (const IsamError e = paths_of(from, &old_paths)) return fail(e);
  if (const IsamError e = paths_of(to, &new_paths)) return fail(e);
  if (find_open_db(old_paths.data) != nullptr ||
      find_open_db(new_paths.data) != nullptr) {
    return fail(kIsDbInUse);
  }
  if (platform_rename(old_paths.data, new_paths.data) != 1) {
    return fail(kIsCannotRename);
  }
  if (platform_rename(old_paths.index, new_paths.index) != 1) {
    platform_rename(new_paths.data, old_paths.data);
    return fail(kIsCannotRename);
  }
  // The journal goes with the files it covers; a journal already at the new
  // name belonged to files that are gone.
  if (platform_file_exists(old_paths.journal) == 1) {
    sys_remove(new_paths.journal);
    platform_rename(old_paths.journal, new_paths.journal);
  }
  return 1;
}

RBAPI int32_t RBCALL idestroy_db(const char *name) {
  set_error(kIsOk);
  DbPaths paths;
  if (const IsamError e = paths_of(name, &paths)) return fail(e);
  if (find_open_db(paths.data) != nullptr) return fail(kIsDbInUse);
  if (sys_remove(paths.data) != 1 || sys_remove(paths.index) != 1) {
    return fail(kIsNotFound);
  }
  if (platform_file_exists(paths.journal) == 1) sys_remove(paths.journal);
  return 1;
}

RBAPI void RBCALL iprogress(IsamProgress progress) { g_progress = progress; }

}  // extern "C"
