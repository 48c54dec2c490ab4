// The database checker (what it verifies is listed in isam/check.h): the
// checker's own view of the database, the order of the passes, and the
// exported icheck_db.
//
// The view is an IsamDb made here and kept out of the list of open
// databases, so that no exported call can reach it. Its header is read by
// the layer's own read_header and its indexes built by build_index from the
// descriptors, exactly as an open builds them; it is the current database
// while the check runs, because the key comparison finds an entry's field
// types through the current database. The caller's current database is put
// back at the end and the comparison's cache forgotten.
#include "isam/check.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "frame/alloc.h"
#include "isam/buffers.h"
#include "isam/data_format.h"
#include "isam/database.h"
#include "isam/error_state.h"
#include "isam/keys.h"
#include "isam/names.h"
#include "isam/progress.h"

namespace recbase::isam {

void CheckState::report(CheckPhase phase, int64_t done, int64_t total) const {
  if (progress == nullptr || progress->step == nullptr) return;
  progress->step(progress->context, phase, done, total);
  make_current(db);
}

namespace {

CheckOutcome could_not(IsamError error, std::string words) {
  CheckOutcome out;
  out.verdict = -1;
  out.error = error;
  out.message = std::move(words);
  return out;
}
CheckOutcome unsound(std::string violation) {
  CheckOutcome out;
  out.verdict = 0;
  out.message = std::move(violation);
  return out;
}
CheckOutcome from_pass(const PassResult &r) {
  if (r.failure.error == kIsOk) return unsound(r.violation);
  CheckOutcome out = could_not(r.failure.error, r.failure.words);
  out.cb = r.failure.cb;
  return out;
}

std::string os_reason(const char *path) {
  if (g_sys_last_error == 0 || g_sys_last_error == kShortTransfer) {
    return say("%s: cannot be read", path);
  }
  return say("%s: cannot be opened or read (system error %d)", path,
             g_sys_last_error);
}

// Puts the caller's current database back (or none, when a progress
// routine closed it) and forgets the comparison's lookup of the view.
class CurrentGuard {
 public:
  CurrentGuard() : saved_(g_current_db) {}
  ~CurrentGuard() {
    forget_compare_cache();
    g_current_db = db_valid(saved_) ? saved_ : nullptr;
  }
  CurrentGuard(const CurrentGuard &) = delete;
  CurrentGuard &operator=(const CurrentGuard &) = delete;

 private:
  IsamDb *saved_;
};

// The checker's view: an IsamDb released with release_db (which also
// closes its data file and every tree handle) at the end of the scope.
class View {
 public:
  View() = default;
  ~View() {
    if (db_ == nullptr) return;
    if (locked_) cbunlock(db_->desc_tree, 1);
    release_db(db_);
  }
  View(const View &) = delete;
  View &operator=(const View &) = delete;

  IsamError make(const DbPaths &paths) {
    void *mem = rb_malloc(sizeof(IsamDb));
    if (mem == nullptr) return kIsNoMemory;
    db_ = new (mem) IsamDb;
    db_->data_path = copy(paths.data);
    db_->index_path = copy(paths.index);
    if (db_->data_path == nullptr || db_->index_path == nullptr) {
      return kIsNoMemory;
    }
    // Read-only and shared: the header is read under its lock and the index
    // file's handles take the system's shared mode, as the tool's read
    // commands open a database beside the applications using it.
    db_->shared = 1;
    db_->read_only = 1;
    return kIsOk;
  }
  IsamDb *get() const { return db_; }
  void set_locked() { locked_ = true; }

 private:
  static char *copy(const char *text) {
    const size_t n = std::strlen(text) + 1;
    auto *out = static_cast<char *>(rb_malloc(n));
    if (out != nullptr) std::memcpy(out, text, n);
    return out;
  }
  IsamDb *db_ = nullptr;
  bool locked_ = false;
};

void fill_stats(const CheckState &s, IsamCheckStats *stats) {
  if (stats == nullptr) return;
  stats->data_file_size = s.data_size;
  stats->records = static_cast<int64_t>(s.records.size());
  stats->record_bytes = 0;
  for (const RecordSlot &r : s.records) stats->record_bytes += r.length;
  stats->free_areas = static_cast<int64_t>(s.areas.size());
  stats->free_bytes = 0;
  stats->largest_free = 0;
  for (const FreeArea &a : s.areas) {
    stats->free_bytes += a.size;
    if (a.size > stats->largest_free) stats->largest_free = a.size;
  }
  stats->index_count = s.db->index_count;
  stats->index_entries = s.index_entries;
}

// The index file cannot be used: after the data file's own check, the
// reason for a -1 (cberrcode as the failed open left it).
CheckOutcome unusable_index_file(const char *path, int32_t cb_error,
                                 int32_t os_error) {
  if (cb_error == kErrBlockSize) {
    return could_not(kIsBlockTooBig,
                     say("%s: blocks larger than the pool's buffers (%d "
                         "bytes); the data file alone was checked",
                         path, cbbufsize()));
  }
  if (cb_error == kErrLock) {
    return could_not(kIsLockRec, say("%s: cannot be locked", path));
  }
  if (os_error != 0 && os_error != kShortTransfer) {
    return could_not(kIsIndexCorrupt,
                     say("%s: cannot be opened (system error %d); the data "
                         "file alone was checked",
                         path, os_error));
  }
  return could_not(kIsIndexCorrupt, say("%s: cannot be opened (B-tree error "
                                        "%d); the data file alone was checked",
                                        path, cb_error));
}

// What the passes of one check share.
struct Run {
  const char *name = nullptr;
  IsamCheckStats *stats = nullptr;
  DbPaths paths;
  const IsamDb *open_here = nullptr;  // this process's own open, if any
  View view;
  CheckState s;
  int32_t open_error = 0;     // cberrcode of the index file's open
  int32_t open_os_error = 0;  // and the system's error then
  PassResult descriptors;
  bool index_exists = false;
};

// One pass of the check: no outcome while the check goes on, else the
// outcome that ends it.
using Outcome = std::optional<CheckOutcome>;
using Pass = Outcome (*)(Run &);

// The library set up, the names made, and the checker's view.
Outcome prepare(Run &run) {
  if (run.name == nullptr) return could_not(kIsNullArg, "no database name");
  if (!ensure_set_up()) {
    return could_not(static_cast<IsamError>(isam_errno),
                     "the library cannot be set up");
  }
  if (build_paths(run.name, &run.paths) != kIsOk) {
    return could_not(kIsBadFileName, say("%s: not a usable name", run.name));
  }
  run.open_here = find_open_db(run.paths.data);
  if (run.open_here != nullptr && run.open_here->shared == 0) {
    return could_not(
        kIsDbInUse,
        say("%s: open in this process without sharing; close it first",
            run.paths.data));
  }
  if (run.view.make(run.paths) != kIsOk) {
    return could_not(kIsNoMemory, "out of memory");
  }
  run.s.db = run.view.get();
  return std::nullopt;
}

// Invariant 1: the data file and its header.
Outcome data_header(Run &run) {
  IsamDb *db = run.s.db;
  const char *path = run.paths.data;
  db->data_handle = sys_open(path, 0, 1);
  if (db->data_handle == -1) return could_not(kIsNotFound, os_reason(path));
  if (sys_filesize(db->data_handle, &run.s.data_size) != 1) {
    return could_not(kIsIo, os_reason(path));
  }
  if (run.stats != nullptr) run.stats->data_file_size = run.s.data_size;
  CheckFailure failure;
  const std::string fault =
      header_fault(db->data_handle, run.s.data_size, &failure);
  if (failure.error != kIsOk) return could_not(failure.error, failure.words);
  if (!fault.empty()) return unsound(fault);
  if (const IsamError e = read_header(db)) {
    return could_not(e, say("%s: the header cannot be read", path));
  }
  make_current(db);
  return std::nullopt;
}

// Invariant 2: a handle to read the index file (and to hold the database's
// read lock, unless this process has the database open and so holds the
// file's locks itself), then its descriptors. The comparison that orders
// the entries needs the indexes, so they come before the tree checker; a
// descriptor that could not be read is reported after it.
Outcome descriptors(Run &run) {
  IsamDb *db = run.s.db;
  const int32_t key_cap = cbbufsize();
  db->desc_tree = cbopen_shared(run.paths.index, key_compare, 1, 1);
  run.open_error = cberrcode;
  run.open_os_error = g_sys_last_error;
  if (db->desc_tree == nullptr) return std::nullopt;
  if (run.open_here == nullptr) {
    if (cblock(db->desc_tree, 1) != 1) {
      return could_not(kIsLockRec, say("%s: the database's read lock cannot "
                                       "be had (a writer holds it)",
                                       run.paths.index));
    }
    run.view.set_locked();
  }
  run.descriptors = load_descriptors(run.s, key_cap);
  if (!run.descriptors.violation.empty()) {
    return unsound(run.descriptors.violation);
  }
  return std::nullopt;
}

// Invariant 3: the tree checker over the index file, when there is one.
Outcome tree(Run &run) {
  IsamDb *db = run.s.db;
  const char *path = run.paths.index;
  run.index_exists = platform_file_exists(path) == 1;
  if (run.index_exists) {
    CbCheckStats tree_stats;
    char words[256];
    const int32_t verdict =
        cbcheck(path, key_compare, &tree_stats, words, sizeof words);
    make_current(db);
    if (verdict == 0) return unsound(say("%s: %s", path, words));
    if (verdict < 0) {
      return could_not(cberrcode == kErrNoMemory ? kIsNoMemory : kIsCbt,
                       say("%s: %s", path, words));
    }
    if (run.stats != nullptr) {
      run.stats->index_file_size =
          static_cast<int64_t>(tree_stats.last_block + 1) *
          tree_stats.block_size;
    }
    run.s.index_keys_total = static_cast<int64_t>(tree_stats.entries);
  }
  if (db->desc_tree != nullptr && !run.descriptors.ok()) {
    return from_pass(run.descriptors);
  }
  return std::nullopt;
}

// The free-space keys, gathered before the data file's pass needs them.
Outcome free_keys(Run &run) {
  if (run.s.db->desc_tree == nullptr) return std::nullopt;
  const PassResult keys = collect_free_keys(run.s);
  if (!keys.ok()) return from_pass(keys);
  return std::nullopt;
}

// Invariant 4; without a usable index file the check ends here.
Outcome data_slots(Run &run) {
  const PassResult slots = walk_data_file(run.s);
  fill_stats(run.s, run.stats);
  if (!slots.ok()) return from_pass(slots);
  if (run.s.db->desc_tree != nullptr) return std::nullopt;
  if (!run.index_exists) {
    return could_not(
        kIsIndexCorrupt,
        say("%s: missing; the data file alone was checked", run.paths.index));
  }
  return unusable_index_file(run.paths.index, run.open_error,
                             run.open_os_error);
}

// Invariant 5.
Outcome free_space_map(Run &run) {
  const std::string fault = check_free_space_map(run.s);
  if (!fault.empty()) return unsound(fault);
  return std::nullopt;
}

// Invariant 6.
Outcome entries(Run &run) {
  const PassResult entries = check_entries(run.s);
  fill_stats(run.s, run.stats);
  if (!entries.ok()) return from_pass(entries);
  return std::nullopt;
}

// The passes in the order of the invariants they check (isam/check.h); the
// first outcome ends the check.
constexpr Pass kPasses[] = {prepare,   data_header, descriptors,    tree,
                            free_keys, data_slots,  free_space_map, entries};

CheckOutcome run_check(const char *name, IsamCheckStats *stats,
                       const CheckProgress *progress) {
  Run run;
  run.name = name;
  run.stats = stats;
  run.s.progress = progress;
  for (const Pass pass : kPasses) {
    if (Outcome out = pass(run)) return std::move(*out);
  }
  CheckOutcome sound;
  sound.verdict = 1;
  return sound;
}

}  // namespace

CheckOutcome check_database(const char *name, IsamCheckStats *stats,
                            const CheckProgress *progress) {
  if (stats != nullptr) *stats = IsamCheckStats{};
  const CurrentGuard guard;
  const CbErrors cb_before;
  // As cbcheck does: the system's error slot tells this check's failures
  // and gets its old value back when there were none.
  const int32_t os_before = g_sys_last_error;
  g_sys_last_error = 0;
  CheckOutcome out;
  try {
    out = run_check(name, stats, progress);
  } catch (const std::bad_alloc &) {
    out = could_not(kIsNoMemory, "out of memory");
  }
  if (g_sys_last_error == 0) g_sys_last_error = os_before;
  // The B-tree codes tell the cause of a failed read of the index file
  // (closing the view's handles has reset them since); otherwise they are
  // left as the caller had them.
  if (out.error == kIsCbt) {
    out.cb.restore();
  } else {
    cb_before.restore();
  }
  return out;
}

}  // namespace recbase::isam

using recbase::isam::CheckOutcome;
using recbase::isam::CheckPhase;
using recbase::isam::CheckProgress;

namespace {

// icheck_db's progress: the running count of slots and keys for the
// iprogress routine.
struct RunningCount {
  int32_t count = 0;
};

void count_step(void *context, CheckPhase, int64_t, int64_t) {
  auto *running = static_cast<RunningCount *>(context);
  if (running->count < INT32_MAX) ++running->count;
  // The routine may have switched itself off.
  if (recbase::isam::g_progress != nullptr) {
    recbase::isam::g_progress(running->count);
  }
}

}  // namespace

extern "C" RBAPI int32_t RBCALL icheck_db(const char *name,
                                          IsamCheckStats *stats, char *message,
                                          int32_t message_size) {
  recbase::isam::set_error(recbase::kIsOk);
  RunningCount running;
  CheckProgress progress;
  if (recbase::isam::g_progress != nullptr) {
    progress.step = count_step;
    progress.context = &running;
  }
  const CheckOutcome out =
      recbase::isam::check_database(name, stats, &progress);
  if (message != nullptr && message_size > 0) {
    const size_t n =
        std::min(out.message.size(), static_cast<size_t>(message_size) - 1);
    std::memcpy(message, out.message.data(), n);
    message[n] = '\0';
  }
  if (out.verdict < 0) recbase::isam::set_error(out.error);
  return out.verdict;
}
