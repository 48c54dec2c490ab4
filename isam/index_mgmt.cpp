// Making and removing indexes of an open database, replacing its index
// file, and listing index names.
//
// An index is its descriptor (class 0, item its number) plus one entry per
// record (first byte its number, item the record's position), all in the
// one B-tree of the index file. The index list of the IsamDb mirrors the
// descriptors: each list member has exactly one descriptor and
// index_count is the list's length, before and after every call here.
//
// Making an index inserts the descriptor, builds the IsamIndex at the front
// of the list, then enters every record found by a walk of the data file.
// Any failure from the descriptor on removes what was made (entries,
// descriptor, IsamIndex), so a failed call leaves the file and the list as
// they were. Removing deletes the entries, then the descriptor, then the
// IsamIndex; a failure on the way leaves the index in the list with the
// entries not yet deleted.
//
// Entries of an index are deleted by searching again, each time, for the
// first key at or after the one-byte key of its number (which sorts before
// every entry of that number): the progress routine may move any cursor
// between two deletions.
#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "bufpool/journal.h"
#include "cbt/node_format.h"
#include "frame/alloc.h"
#include "isam/buffers.h"
#include "isam/current.h"
#include "isam/data_file.h"
#include "isam/database.h"
#include "isam/descriptors.h"
#include "isam/error_state.h"
#include "isam/freespace.h"
#include "isam/journal_db.h"
#include "isam/keys.h"
#include "isam/names.h"
#include "isam/progress.h"
#include "isam/record_io.h"
#include "isam/replace.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// Specifications are checked against field definitions over at most this
// many characters before their ':'.
constexpr size_t kSpecColonReach = 255;

// True when the field part of spec (the text before its first ':' when
// that is one of its first 255 characters, else the whole text) equals a
// field definition without regard to case.
bool names_a_field(const IsamDb *db, const char *spec) {
  size_t n = std::strlen(spec);
  const void *colon = std::memchr(spec, ':', std::min(n, kSpecColonReach));
  if (colon != nullptr)
    n = static_cast<size_t>(static_cast<const char *>(colon) - spec);
  for (int32_t f = 0; f < db->field_count; ++f) {
    const char *def = db->field_names[f];
    if (std::strlen(def) == n && equal_folded(def, spec, n)) return true;
  }
  return false;
}

// The smallest index number that no index of db uses.
IsamError free_number(const IsamDb *db, int32_t *out) {
  for (int32_t n = kPhysicalNumber; n <= kMaxIndexNumber; ++n) {
    bool used = false;
    for (const IsamIndex *ix = db->indexes; ix != nullptr && !used;
         ix = ix->next) {
      used = ix->number == n;
    }
    if (!used) {
      *out = n;
      return kIsOk;
    }
  }
  return kIsTooManyIndexes;
}

// Deletes every entry of ix. report: call the progress routine after each.
IsamError delete_entries(IsamDb *db, IsamIndex *ix, bool report) {
  const auto number = static_cast<uint8_t>(ix->number);
  for (int32_t count = 1;; ++count) {
    int32_t item = 0;
    const int32_t r = cbfind(ix->tree, &number, 1, &item);
    if (r == kAfterLast) return kIsOk;
    if (r != 2 && r != 3) return kIsCbt;
    int32_t len = 0;
    if (cbkeylen(ix->tree, &len) != 1) return kIsCbt;
    if (len > g_key_buffer_size) return kIsKeyTooLong;
    if (cbkey(ix->tree, g_key_buffer, len) != 1) return kIsCbt;
    if (len < 1 || g_key_buffer[0] != number) return kIsOk;
    if (cbdelete(ix->tree, g_key_buffer, len, item) != 1) return kIsCbt;
    if (report && !report_progress(db, count)) return kIsBadDb;
  }
}

// Deletes the descriptor of the index named name.
IsamError delete_descriptor(IsamDb *db, const char *name) {
  int32_t len = 0;
  if (const IsamError e = build_descriptor(name, nullptr, g_key_buffer,
                                           g_key_buffer_size, &len)) {
    return e;
  }
  // Descriptors compare by name alone, so the name finds the whole key.
  int32_t item = 0;
  const int32_t r = cbfind(db->desc_tree, g_key_buffer, len, &item);
  if (r == -1) return kIsCbt;
  if (r != 2) return kIsUnknownIndex;
  return cbdelete(db->desc_tree, g_key_buffer, len, item) == 1 ? kIsOk : kIsCbt;
}

// Removes ix: its entries, its descriptor, its IsamIndex.
IsamError remove_index(IsamDb *db, IsamIndex *ix, bool report) {
  if (const IsamError e = delete_entries(db, ix, report)) return e;
  if (const IsamError e = delete_descriptor(db, ix->name)) return e;
  unlist_index(db, ix);
  --db->index_count;
  return release_index(ix);
}

// Enters every record of the data file into ix, in file order. The
// physical position and state are the walk's while it runs (set again
// before each step) and put back at the end.
IsamError fill_index(IsamDb *db, IsamIndex *ix) {
  IsamIndex *physical = physical_index(db);
  if (physical == nullptr) return kIsIndexCorrupt;
  const int32_t saved_position = db->physical_position;
  const int32_t saved_state = physical->state;
  OwnArea area;
  IsamError e = kIsOk;
  int32_t at = 0;  // the record the walk is on; 0: before the first
  for (int32_t count = 1;; ++count) {
    db->physical_position = at;
    physical->state = at == 0 ? kBeforeFirst : kOnRecord;
    const int32_t r = physical_scan(db, physical, &e);
    if (r != 1) {
      if (r == kAfterLast) e = kIsOk;
      break;
    }
    at = db->physical_position;
    int32_t len = 0;
    if ((e = read_record(db, at, &area)) != kIsOk ||
        (e = build_key_by_field(db, ix, area.fields, g_key_buffer,
                                g_key_buffer_size, &len)) != kIsOk) {
      break;
    }
    if (cbinsert(ix->tree, g_key_buffer, len, at, ix->unique != 0 ? 0 : 1) !=
        1) {
      e = kIsCbt;
      break;
    }
    if (!report_progress(db, count)) return kIsBadDb;
  }
  db->physical_position = saved_position;
  physical->state = saved_state;
  return e;
}

// Puts ix at its first entry (the one-byte key of its number sorts before
// every entry of the index): 1, -3 when it is empty, or -1 with *error.
int32_t to_head(IsamIndex *ix, IsamError *error) {
  const auto number = static_cast<uint8_t>(ix->number);
  int32_t item = 0;
  int32_t r = cbfind(ix->tree, &number, 1, &item);
  if (r == -1) {
    *error = kIsCbt;
    return -1;
  }
  if (r == 2 || r == 3) r = 1;
  return state_after_move(ix, r, kAfterLast, kAfterLast, error);
}

IsamError make_index(IsamDb *db, const char *name, const char *const *specs) {
  if (index_named(db, name) != nullptr) return kIsDupIndexName;
  if (db->read_only != 0) return kIsReadOnly;
  for (const char *const *s = specs; *s != nullptr; ++s) {
    if (!names_a_field(db, *s)) return kIsBadFieldName;
  }
  // The descriptor must fit in the key buffer and be a key the tree takes.
  int32_t len = 0;
  if (const IsamError e =
          build_descriptor(name, specs, g_key_buffer,
                           g_key_buffer_size - cbt::kKeyOverhead, &len)) {
    return e;
  }
  int32_t number = 0;
  if (const IsamError e = free_number(db, &number)) return e;
  if (db->shared != 0) return kIsMustBeUnshared;
  if (db->index_path == nullptr) return kIsIndexCorrupt;
  if (cbinsert(db->desc_tree, g_key_buffer, len, number, 0) != 1) {
    return kIsCbt;
  }
  IsamIndex *ix = nullptr;
  if (IsamError e = build_index(db, g_key_buffer, len, number, &ix)) {
    const CbErrors kept;
    delete_descriptor(db, name);
    kept.restore();
    // A fresh descriptor is unsound only through a specification whose
    // field part names a field but whose whole text does not (":0").
    return e == kIsIndexCorrupt ? kIsBadFieldName : e;
  }
  add_member(reinterpret_cast<void **>(&db->indexes), ix);
  ++db->index_count;
  IsamError e = fill_index(db, ix);
  if (e == kIsBadDb) return e;
  if (e == kIsOk && to_head(ix, &e) != -1) return kIsOk;
  const CbErrors kept;
  remove_index(db, ix, false);
  kept.restore();
  return e;
}

// Registers every free area of the data file with the (new, empty)
// free-space keys: from the data start, slot by slot, until a length word
// cannot be read.
IsamError register_free_space(IsamDb *db) {
  int64_t p = db->data_start;
  int32_t word = 0;
  while (p <= INT32_MAX - 2 &&
         read_word(db, static_cast<int32_t>(p), &word) == kIsOk) {
    if (word < 0) {
      if (const IsamError e =
              release_stretch(db, static_cast<int32_t>(p), -word)) {
        return e;
      }
    }
    p += 2 + (word < 0 ? -static_cast<int64_t>(word) : word);
  }
  return kIsOk;
}

// The database without an index file, as an open that cannot use it
// leaves it: "Physical Index" alone, built in memory.
void keep_physical_only(IsamDb *db) {
  const CbErrors kept;
  close_index_structures(db);
  IsamIndex *physical = nullptr;
  if (build_physical_index(db, &physical) == kIsOk) {
    add_member(reinterpret_cast<void **>(&db->indexes), physical);
    db->index_count = 1;
  }
  kept.restore();
}

// The old index file back after a staged replacement failed: the data
// file is rolled back to the last flush point (its cached pages dropped),
// the staged file removed and the old index file opened again.
IsamError restore_old_index(IsamDb *db, const DbPaths &paths) {
  close_index_structures(db);
  const bool undone = journal_undo(db->journal) == 1;
  free_data_cache(db);
  remove_staged(paths);
  if (!undone) return kIsIo;
  IsamError e = open_index_file(db, paths.index);
  if (e == kIsOk) attach_db_index(db, paths.index);
  return e;
}

// What fills a new index file once its free areas are in: the indexes an
// irebuild_index_file makes again; none for inew_index_file.
using Fill = std::function<IsamError()>;

// inew_index_file with a journal (isam/replace.h), once the old index
// structures are closed at a flush point.
IsamError new_index_file_staged(IsamDb *db, const DbPaths &paths,
                                int32_t block_size, const Fill &fill) {
  DbPaths staged;
  IsamError e = stage_paths(paths, &staged);
  if (e == kIsOk) e = create_index_file(staged.index, block_size);
  if (e == kIsOk) e = open_index_file(db, staged.index);
  if (e == kIsOk) e = register_free_space(db);
  if (e == kIsOk && fill) e = fill();
  if (e == kIsOk) e = data_write_back(db);
  if (e == kIsOk && sys_flush(db->data_handle) != 1) e = kIsIo;
  if (e == kIsOk && cbflush(db->desc_tree) != 1) e = kIsCbt;
  if (e == kIsOk) e = close_index_structures(db);
  if (e != kIsOk) {
    const CbErrors kept;
    const IsamError r = restore_old_index(db, paths);
    if (r != kIsOk) keep_physical_only(db);
    kept.restore();
    return e;
  }
  const char *names[2] = {paths.data, paths.index};
  if (journal_publish(db->journal, paths.journal, names, 2, 2u) != 1) {
    keep_physical_only(db);
    return kIsIo;
  }
  e = open_index_file(db, paths.index);
  if (e == kIsOk) {
    attach_db_index(db, paths.index);
  } else {
    keep_physical_only(db);
  }
  return e;
}

IsamError new_index_file(IsamDb *db, int32_t block_size, int32_t overwrite,
                         const Fill &fill = nullptr) {
  if (db->shared != 0) return kIsMustBeUnshared;
  if (db->read_only != 0) return kIsReadOnly;
  DbPaths paths;
  char *path = paths.index;
  if (const IsamError e = build_path(db->data_path, kIndexExtension, path)) {
    return e;
  }
  // With a journal the old index file stays whole until the new one takes
  // its place: its changes are written back first, at a flush point.
  const bool staged = db->journal != nullptr && db->desc_tree != nullptr;
  if (staged) {
    if (const IsamError e = flush_db(db)) return e;
    detach_db_index(db);
  }
  // The old index structures go first: a file that may not be replaced
  // leaves the database without any index until it is opened again.
  if (const IsamError e = close_index_structures(db)) {
    keep_physical_only(db);
    return e;
  }
  db->physical_position = 0;
  if (overwrite == 0 && platform_file_exists(path) != 0) {
    return kIsIndexExists;
  }
  const int32_t effective = block_size == 0
                                ? cbt::kDefaultBlockSize
                                : std::max(block_size, cbt::kMinBlockSize);
  if (effective > cbbufsize()) {
    keep_physical_only(db);
    return kIsBlockTooBig;
  }
  if (staged) {
    std::strcpy(paths.data, db->data_path);
    if (const IsamError e =
            build_path(db->data_path, kJournalExtension, paths.journal)) {
      return e;
    }
    return new_index_file_staged(db, paths, block_size, fill);
  }
  IsamError e = create_index_file(path, block_size);
  if (e == kIsOk) e = open_index_file(db, path);
  if (e == kIsOk) e = register_free_space(db);
  if (e != kIsOk && db->index_path == nullptr) keep_physical_only(db);
  if (e == kIsOk && fill) e = fill();
  return e;
}

// What an index is made of: its name and its key field specifications as
// igetdesc gives them back.
struct Definition {
  std::string name;
  std::vector<std::string> specs;
};

// A new index file with every index of the old one made again, in the
// order that gives them their numbers again: the reverse of the list (the
// indexes loaded at the open in ascending order of name, then those made
// since, oldest first). Block size 0: the old file's, when it can be read.
IsamError rebuild_index_file(IsamDb *db, int32_t block_size) {
  std::vector<Definition> kept;
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == kPhysicalNumber) continue;
    char **specs = igetdesc(db, ix);
    if (specs == nullptr) return static_cast<IsamError>(isam_errno);
    Definition d{ix->name, {}};
    for (char **p = specs; *p != nullptr; ++p) d.specs.emplace_back(*p);
    kept.push_back(std::move(d));
  }
  if (block_size == 0) {
    char path[kPathBufferSize];
    if (build_path(db->data_path, kIndexExtension, path) == kIsOk) {
      const CbErrors kept_codes;
      const int32_t old = cbblksize(path);
      kept_codes.restore();
      if (old > 0) block_size = old;
    }
  }
  // With the journal, the indexes go into the new file before it takes the
  // old one's place, so that a crash leaves one or the other whole.
  return new_index_file(db, block_size, 1, [&]() {
    for (auto d = kept.rbegin(); d != kept.rend(); ++d) {
      std::vector<const char *> specs;
      for (const std::string &spec : d->specs) specs.push_back(spec.c_str());
      specs.push_back(nullptr);
      if (const IsamError e = make_index(db, d->name.c_str(), specs.data())) {
        return e;
      }
    }
    return kIsOk;
  });
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL imkindex(IsamDb *db, const char *name,
                              const char *const *specs) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail(kIsBadDb);
  if (name == nullptr || specs == nullptr) return fail(kIsNullArg);
  make_current(db);
  const IsamError e = make_index(db, name, specs);
  if (e != kIsOk) return fail(e);
  set_error(kIsOk);
  return 1;
}

RBAPI int32_t RBCALL irmindex(IsamDb *db, const char *name) {
  IsamIndex *ix = ihandle(db, name);
  if (ix == nullptr) return -1;
  make_current(db);
  if (ix->number == kPhysicalNumber) return fail(kIsNotForIndex);
  if (db->read_only != 0) return fail(kIsReadOnly);
  if (db->shared != 0) return fail(kIsMustBeUnshared);
  const IsamError e = remove_index(db, ix, true);
  if (e != kIsOk) return fail(e);
  set_error(kIsOk);
  return 1;
}

RBAPI int32_t RBCALL inew_index_file(IsamDb *db, int32_t block_size,
                                     int32_t overwrite) {
  set_error(kIsOk);
  if (const IsamError e = enter_db(db)) return fail(e);
  const IsamError e = new_index_file(db, block_size, overwrite);
  return e == kIsOk ? 1 : fail(e);
}

RBAPI int32_t RBCALL irebuild_index_file(IsamDb *db, int32_t block_size) {
  set_error(kIsOk);
  if (const IsamError e = enter_db(db)) return fail(e);
  IsamError e = kIsOk;
  try {
    e = rebuild_index_file(db, block_size);
  } catch (const std::bad_alloc &) {
    e = kIsNoMemory;
  }
  if (e != kIsOk) return fail(e);
  set_error(kIsOk);
  return 1;
}

RBAPI char **RBCALL igetindexnames(IsamDb *db) {
  set_error(kIsOk);
  if (db == nullptr) {
    rb_free(g_index_names);
    g_index_names = nullptr;
    g_index_names_size = 0;
    return nullptr;
  }
  if (!db_valid(db)) return fail_null<char *>(kIsBadDb);
  const int32_t need = db->index_count + 1;
  if (need > g_index_names_size) {
    rb_free(g_index_names);
    g_index_names = static_cast<char **>(
        rb_malloc(sizeof(char *) * static_cast<size_t>(need)));
    g_index_names_size = g_index_names != nullptr ? need : 0;
    if (g_index_names == nullptr) return fail_null<char *>(kIsNoMemory);
  }
  int32_t k = 0;
  for (IsamIndex *ix = db->indexes; ix != nullptr && k < db->index_count;
       ix = ix->next) {
    g_index_names[k++] = ix->name;
  }
  g_index_names[k] = nullptr;
  return g_index_names;
}

}  // extern "C"
