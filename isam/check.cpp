// The database checker (what it verifies is listed in isam/check.h): the
// checker's own view of the database, the data file's header and slots, the
// order of the passes, and the exported icheck_db.
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
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/alloc.h"
#include "frame/bytes.h"
#include "isam/data_format.h"
#include "isam/database.h"
#include "isam/descriptors.h"
#include "isam/freespace.h"
#include "isam/keys.h"
#include "isam/names.h"
#include "isam/progress.h"
#include "isam/record_io.h"

namespace recbase::isam {

std::string say(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void CheckState::report(CheckPhase phase, int64_t done, int64_t total) const {
  if (progress == nullptr || progress->step == nullptr) return;
  progress->step(progress->context, phase, done, total);
  make_current(db);
}

namespace {

constexpr int32_t kAutoBuffers = 16;
constexpr int32_t kAutoBufferSize = 512;
// The data file is read in pieces of this size; a slot is at most 2 + 32767
// bytes, so a window this large always holds a whole one.
constexpr int32_t kReadWindow = 1 << 20;

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
  if (r.failure.error != kIsOk)
    return could_not(r.failure.error, r.failure.words);
  return unsound(r.violation);
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

// The words for a header that read_header would refuse, "" for a sound
// one. Mirrors its checks (isam/data_format.cpp) to say which one failed.
std::string header_fault(int32_t handle, uint32_t size, CheckFailure *failure) {
  if (size < static_cast<uint32_t>(kHeaderSize)) {
    return say("data file: %u bytes, too short for its %d-byte header", size,
               kHeaderSize);
  }
  uint8_t head[kHeaderSize];
  if (sys_read(handle, 0, kHeaderSize, head) != 1) {
    *failure = CheckFailure{kIsIo, "data file header: cannot be read"};
    return "";
  }
  const int32_t n = get_ne16s(head + kDefsLenOffset);
  const int32_t count = get_ne16s(head + kFieldCountOffset);
  if (n < 0 || count < 0) {
    return say("data file header: definitions length %d, field count %d", n,
               count);
  }
  if (count > n) {
    return say(
        "data file header: %d fields cannot fit in %d bytes of "
        "definitions",
        count, n);
  }
  if (static_cast<int64_t>(kHeaderSize) + n > size) {
    return say(
        "data file header: %d bytes of definitions run past the end "
        "of the file (%u bytes)",
        n, size);
  }
  std::vector<char> defs(static_cast<size_t>(n));
  if (n > 0 && sys_read(handle, kHeaderSize, n, defs.data()) != 1) {
    *failure = CheckFailure{kIsIo, "data file header: cannot be read"};
    return "";
  }
  size_t at = 0;
  for (int32_t f = 0; f < count; ++f) {
    const void *nul = std::memchr(defs.data() + at, 0, defs.size() - at);
    if (nul == nullptr) {
      return say(
          "data file header: definition %d of %d does not end inside "
          "the %d bytes of definitions",
          f + 1, count, n);
    }
    at = static_cast<size_t>(static_cast<const char *>(nul) - defs.data()) + 1;
  }
  return "";
}

// A window on the data file for the pass from the first slot to the end.
class DataReader {
 public:
  DataReader(int32_t handle, uint32_t size)
      : handle_(handle), size_(size), bytes_(kReadWindow) {}
  // The n bytes at position (position + n <= the file's size); null when
  // they cannot be read.
  const uint8_t *at(int64_t position, int32_t n) {
    if (position < start_ || position + n > start_ + valid_) {
      const int64_t left = static_cast<int64_t>(size_) - position;
      valid_ = static_cast<int32_t>(left < kReadWindow ? left : kReadWindow);
      start_ = position;
      if (sys_read(handle_, static_cast<int32_t>(position), valid_,
                   bytes_.data()) != 1) {
        valid_ = 0;
        return nullptr;
      }
    }
    return bytes_.data() + (position - start_);
  }

 private:
  int32_t handle_;
  uint32_t size_;
  std::vector<uint8_t> bytes_;
  int64_t start_ = 0;
  int32_t valid_ = 0;
};

// True when a position key says that a free area of size 0 starts at p.
bool empty_area_at(const CheckState &s, int64_t p) {
  const auto &keys = s.position_keys;
  size_t lo = 0, hi = keys.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (keys[mid].position < p) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < keys.size() && keys[lo].position == p && keys[lo].size == 0;
}

// Invariant 4: steps through the slots and free areas from the data start,
// collecting both.
PassResult walk_data_file(CheckState &s) {
  PassResult r;
  IsamDb *db = s.db;
  DataReader reader(db->data_handle, s.data_size);
  std::vector<char *> fields(static_cast<size_t>(db->field_count) + 1);
  const int64_t end = s.data_size;
  int64_t p = db->data_start;
  while (p < end) {
    if (end - p < kSlotWordSize) {
      r.violation =
          say("slot at %lld: the file (%lld bytes) ends inside its "
              "length word",
              static_cast<long long>(p), static_cast<long long>(end));
      return r;
    }
    const uint8_t *word_bytes = reader.at(p, kSlotWordSize);
    if (word_bytes == nullptr) {
      r.failure = CheckFailure{kIsIo, "data file: cannot be read"};
      return r;
    }
    const int32_t word = get_ne16s(word_bytes);
    const int32_t length = word < 0 ? -word : word;
    const bool is_free = word < 0 || (word == 0 && empty_area_at(s, p));
    const char *what = is_free ? "free area" : "record";
    if (length > kMaxSlotLength) {
      r.violation =
          say("free area at %lld: length word %d is no size a free "
              "area can have",
              static_cast<long long>(p), word);
      return r;
    }
    if (p + kSlotWordSize + length > end) {
      r.violation = say(
          "%s at %lld: length word %d runs past the end of the "
          "file (%lld bytes)",
          what, static_cast<long long>(p), word, static_cast<long long>(end));
      return r;
    }
    if (is_free) {
      s.areas.push_back(FreeArea{p, length});
    } else {
      const uint8_t *content = reader.at(p + kSlotWordSize, length);
      if (content == nullptr) {
        r.failure = CheckFailure{kIsIo, "data file: cannot be read"};
        return r;
      }
      const int32_t set = split_fields(db, content, length, fields.data());
      if (set < db->field_count) {
        r.violation = say(
            "record at %lld: its %d bytes end inside field %d "
            "(\"%s\")",
            static_cast<long long>(p), length, set + 1, db->field_names[set]);
        return r;
      }
      s.records.push_back(RecordSlot{static_cast<int32_t>(p), length});
    }
    p += kSlotWordSize + length;
    s.report(CheckPhase::kDataFile, p, end);
  }
  return r;
}

// Builds an IsamIndex for every descriptor at the head of the index file,
// as an open does, with words for what an open would only call corrupt.
PassResult load_descriptors(CheckState &s, int32_t key_cap) {
  PassResult r;
  IsamDb *db = s.db;
  std::vector<uint8_t> key(static_cast<size_t>(key_cap));
  bool physical = false;
  int32_t number = 0;
  for (int32_t rc = cbhead(db->desc_tree, &number); rc != kAfterLast;
       rc = cbnext(db->desc_tree, &number)) {
    int32_t len = 0;
    if (rc != 1 || cbkeylen(db->desc_tree, &len) != 1) {
      r.failure = CheckFailure{kIsCbt, "index file: cannot be walked"};
      return r;
    }
    if (len < 1 || len > key_cap) break;  // no descriptor; entries are next
    if (cbkey(db->desc_tree, key.data(), len) != 1) {
      r.failure = CheckFailure{kIsCbt, "index file: cannot be walked"};
      return r;
    }
    if (key[0] != kDescriptorClass) break;
    const auto *text = reinterpret_cast<const char *>(key.data()) + 1;
    const std::string name(text, std::find(text, text + len - 1, '\0'));
    if (len < 2 || key[static_cast<size_t>(len) - 1] != 0) {
      r.violation =
          say("index file: the descriptor of \"%s\" does not end "
              "with a NUL",
              name.c_str());
      return r;
    }
    if (number < kPhysicalNumber || number > kMaxIndexNumber) {
      r.violation =
          say("index file: index \"%s\" has number %d, outside "
              "0..%d",
              name.c_str(), number, kMaxIndexNumber);
      return r;
    }
    for (const IsamIndex *o = db->indexes; o != nullptr; o = o->next) {
      if (o->number == number) {
        r.violation =
            say("index file: indexes \"%s\" and \"%s\" both have "
                "number %d",
                o->name, name.c_str(), number);
        return r;
      }
    }
    if (number == kPhysicalNumber && name != kPhysicalName) {
      r.violation =
          say("index file: index \"%s\" has number 0, which "
              "belongs to \"%s\"",
              name.c_str(), kPhysicalName);
      return r;
    }
    IsamIndex *ix = nullptr;
    const IsamError e = build_index(db, key.data(), len, number, &ix);
    if (e == kIsIndexCorrupt) {
      r.violation =
          say("index file: index \"%s\" names a field the data "
              "file does not define",
              name.c_str());
      return r;
    }
    if (e != kIsOk) {
      r.failure = CheckFailure{e, "index file: cannot be read"};
      return r;
    }
    add_member(reinterpret_cast<void **>(&db->indexes), ix);
    ++db->index_count;
    physical = physical || number == kPhysicalNumber;
  }
  if (!physical) {
    r.violation = say("index file: no descriptor of \"%s\"", kPhysicalName);
  }
  return r;
}

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
  return could_not(kIsIndexCorrupt,
                   say("%s: cannot be opened (B-tree error %d); the data file "
                       "alone was checked",
                       path, cb_error));
}

CheckOutcome run_check(const char *name, IsamCheckStats *stats,
                       const CheckProgress *progress) {
  if (name == nullptr) return could_not(kIsNullArg, "no database name");
  if (cbbufsize() == 0 && isaminit(kAutoBuffers, kAutoBufferSize) != 1) {
    return could_not(static_cast<IsamError>(isam_errno),
                     "the library cannot be set up");
  }
  DbPaths paths;
  if (build_paths(name, &paths) != kIsOk) {
    return could_not(kIsBadFileName, say("%s: not a usable name", name));
  }
  const IsamDb *open_here = find_open_db(paths.data);
  if (open_here != nullptr && open_here->shared == 0) {
    return could_not(kIsDbInUse, say("%s: open in this process without "
                                     "sharing; close it first",
                                     paths.data));
  }
  View view;
  if (view.make(paths) != kIsOk) return could_not(kIsNoMemory, "out of memory");
  CheckState s;
  s.db = view.get();
  s.progress = progress;
  IsamDb *db = s.db;

  // The data file and its header.
  db->data_handle = sys_open(paths.data, 0, 1);
  if (db->data_handle == -1) {
    return could_not(kIsNotFound, os_reason(paths.data));
  }
  if (sys_filesize(db->data_handle, &s.data_size) != 1) {
    return could_not(kIsIo, os_reason(paths.data));
  }
  if (stats != nullptr) stats->data_file_size = s.data_size;
  CheckFailure failure;
  std::string fault = header_fault(db->data_handle, s.data_size, &failure);
  if (failure.error != kIsOk) return could_not(failure.error, failure.words);
  if (!fault.empty()) return unsound(fault);
  if (const IsamError e = read_header(db)) {
    return could_not(e, say("%s: the header cannot be read", paths.data));
  }
  make_current(db);

  // The index file: a handle to read it (and to hold the database's read
  // lock, unless this process has the database open and so holds the
  // file's locks itself), then its descriptors, then the tree checker.
  const int32_t key_cap = cbbufsize();
  db->desc_tree = cbopen_shared(paths.index, key_compare, 1, 1);
  const int32_t open_error = cberrcode;
  const int32_t open_os_error = g_sys_last_error;
  PassResult descriptors;
  if (db->desc_tree != nullptr) {
    if (open_here == nullptr) {
      if (cblock(db->desc_tree, 1) != 1) {
        return could_not(kIsLockRec,
                         say("%s: the database's read lock cannot be had "
                             "(a writer holds it)",
                             paths.index));
      }
      view.set_locked();
    }
    // The comparison that orders the entries needs the indexes, so the
    // descriptors come before the tree checker.
    descriptors = load_descriptors(s, key_cap);
    if (!descriptors.violation.empty()) return unsound(descriptors.violation);
  }
  const bool index_exists = platform_file_exists(paths.index) == 1;
  if (index_exists) {
    CbCheckStats tree_stats;
    char words[256];
    const int32_t verdict =
        cbcheck(paths.index, key_compare, &tree_stats, words, sizeof words);
    make_current(db);
    if (verdict == 0) return unsound(say("%s: %s", paths.index, words));
    if (verdict < 0) {
      return could_not(cberrcode == kErrNoMemory ? kIsNoMemory : kIsCbt,
                       say("%s: %s", paths.index, words));
    }
    if (stats != nullptr) {
      stats->index_file_size = static_cast<int64_t>(tree_stats.last_block + 1) *
                               tree_stats.block_size;
    }
    s.index_keys_total = static_cast<int64_t>(tree_stats.entries);
  }
  if (db->desc_tree != nullptr && !descriptors.ok()) {
    return from_pass(descriptors);
  }

  if (db->desc_tree != nullptr) {
    const PassResult keys = collect_free_keys(s);
    if (!keys.ok()) return from_pass(keys);
  }
  const PassResult slots = walk_data_file(s);
  fill_stats(s, stats);
  if (!slots.ok()) return from_pass(slots);
  if (db->desc_tree == nullptr) {
    if (!index_exists) {
      return could_not(kIsIndexCorrupt, say("%s: missing; the data file alone "
                                            "was checked",
                                            paths.index));
    }
    return unusable_index_file(paths.index, open_error, open_os_error);
  }
  fault = check_free_space_map(s);
  if (!fault.empty()) return unsound(fault);
  const PassResult entries = check_entries(s);
  fill_stats(s, stats);
  if (!entries.ok()) return from_pass(entries);
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
  // The B-tree codes tell the cause of a failed read of the index file;
  // otherwise they are left as the caller had them.
  if (out.error != kIsCbt) cb_before.restore();
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
  recbase::isam::g_progress(running->count);
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
