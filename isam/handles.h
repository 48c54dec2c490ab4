// The handles of the ISAM layer and the checks every exported call makes
// on them.
//
// Records:
//  - IsamDb: one per open database, from its open to its close: the data
//    file, the field definitions read from its header, the index file's
//    tree handles, the list of open indexes, and the lock state.
//  - IsamIndex: one per index of an open database: its number (the first
//    byte of every key it holds), name, key fields and its own tree handle
//    (its cursor) on the index file.
//
// Invariants:
//  1. Every live IsamDb is in g_open_dbs (linked through its first word) and
//     every live IsamIndex in its database's index list (likewise); exported
//     calls check handles against these lists before use (enter_db,
//     enter_index). The head of a list, and a database's recent_index, are
//     in it without a walk.
//  2. A database is open at most once: no two IsamDb share a data path.
//  3. index_count is the length of the index list; index numbers are unique
//     within a database; 0 is "Physical Index", which has no tree handle.
//  4. When the index file is open, desc_tree and free_tree are handles on it
//     and index_path is set; a database opened without its index file has
//     neither, and "Physical Index" built in memory as its only index.
//  5. g_current_db is null or a live IsamDb; the key comparison reads it.
//     Releasing an IsamIndex forgets the comparison's cache; releasing an
//     IsamDb clears g_current_db when it points at it.
//
// Position state of an index (cursor of its tree, or the physical position):
//
//    built --> -2 (before first) --head/next--> 1 (on a record)
//                ^                                |   |
//                +------------prev off the front--+   +--next off the end
//                                                         --> -3 (past last)
#ifndef RECBASE_ISAM_HANDLES_H
#define RECBASE_ISAM_HANDLES_H

#include <cstddef>
#include <cstdint>

#include "frame/errors.h"
#include "frame/platform.h"
#include "recbase/isam.h"

namespace recbase {
struct Journal;
}  // namespace recbase

namespace recbase::isam {

// Full paths, their extension included, are at most this long with their
// terminator.
constexpr int32_t kPathBufferSize = 260;
// Index numbers: 0 "Physical Index", 1..253 made indexes.
constexpr int32_t kPhysicalNumber = 0;
constexpr int32_t kMaxIndexNumber = 253;
// The name of index 0.
constexpr char kPhysicalName[] = "Physical Index";

enum PositionState : int32_t {
  kOnRecord = 1,
  kBeforeFirst = -2,
  kAfterLast = -3,
};

// Bits of IsamDb::lock_state (isam/locks.h): temporary read and write
// locks, and the whole-database read and write locks of ilock_all. An
// exclusive database holds kExclusiveLocks from its open and never locks.
enum LockBit : uint32_t {
  kTempRead = 1,
  kTempWrite = 2,
  kAllRead = 4,
  kAllWrite = 8,
  kExclusiveLocks = kTempRead | kTempWrite,
};

// START and LEN of one key field; (0, 0) is the whole field.
struct PartialSpec {
  int32_t start = 0;
  int32_t length = 0;
};

// The cache of a data file (isam/data_file.h).
struct DataCache;

// One record lock beyond the first: an id handed to the caller and the
// record position whose length word it locks.
struct LockEntry {
  LockEntry *next = nullptr;
  int32_t id = 0;
  int32_t position = 0;
};

}  // namespace recbase::isam

// The handle types named in the public header.
struct IsamIndex {
  IsamIndex *next = nullptr;  // the database's index list; first word
  int32_t number = 0;
  char *name = nullptr;
  CbTree *tree = nullptr;  // none for "Physical Index"
  IsamDb *owner = nullptr;
  int32_t key_count = 0;
  int32_t *key_fields = nullptr;  // field numbers, in key order
  uint8_t unique = 0;             // ",U" pairs in the name; non-zero: unique
  recbase::isam::PartialSpec *partial = nullptr;  // per key field, or none
  int32_t state = recbase::isam::kBeforeFirst;
};

struct IsamDb {
  IsamDb *next = nullptr;  // g_open_dbs; first word
  char *data_path = nullptr;
  int32_t data_handle = -1;
  int32_t field_count = 0;            // 0..32767
  char **field_names = nullptr;       // into definitions, then null
  char *definitions = nullptr;        // the header's N bytes
  int32_t data_start = 0;             // N + 4: the first slot
  uint8_t *field_types = nullptr;     // FieldType per field
  int16_t *binary_lengths = nullptr;  // per field; only with a binary field
  int32_t min_record_length = 3;
  int32_t read_only = 0;
  int32_t shared = 0;
  uint32_t lock_state = 0;  // LockBit set
  char *index_path = nullptr;
  CbTree *desc_tree = nullptr;  // reads, adds and removes descriptors
  CbTree *free_tree = nullptr;  // the free-space keys
  // The free-space keys were seen to hold no free area, and none was
  // released since (databases not shared: nobody else adds one).
  bool no_free_area = false;
  int32_t index_count = 0;
  IsamIndex *indexes = nullptr;  // newest first
  // The index that the last walk of the list found; null when none, or
  // when it has left the list since (unlist_index).
  IsamIndex *recent_index = nullptr;
  recbase::isam::LockEntry *record_locks = nullptr;
  int32_t next_lock_id = 1;
  int32_t lock_position = 0;
  int32_t temp_lock_position = 0;
  int32_t physical_position = 0;  // 0: none
  // Record words whose unlock failed, so still locked by data_handle until
  // a holder takes them again (lock_word) or the file closes; 0: free slot.
  int32_t stray_locks[4] = {};
  recbase::isam::DataCache *data_cache = nullptr;  // unshared only
  recbase::Journal *journal = nullptr;  // isam/journal_db.h; null: none
};

namespace recbase::isam {

extern void *g_open_dbs;      // member set of every IsamDb
extern IsamDb *g_current_db;  // the database the comparison works for

// True when db is a live database handle.
// The database opened last, at the head of the list, needs no walk.
inline bool db_valid(IsamDb *db) {
  return db != nullptr && (db == g_open_dbs || is_member(&g_open_dbs, db) != 0);
}
inline void make_current(IsamDb *db) { g_current_db = db; }

// Takes ix out of db's index list (it is there).
void unlist_index(IsamDb *db, IsamIndex *ix);

// kIsOk, kIsBadDb, or kIsBadIndex when ix is not an index of db.
IsamError check_handles(IsamDb *db, IsamIndex *ix);

// What a call on an index needs of it besides live handles.
enum class IndexNeed {
  kAny,   // any index
  kTree,  // an ordinary index: "Physical Index" is kIsNotForIndex
};

// The entry of an exported call on a database: kIsBadDb for a handle that
// is not live, else db becomes current.
IsamError enter_db(IsamDb *db);
// The handle errors of check_handles, then, for a call that needs a tree,
// kIsNotForIndex for "Physical Index". The current database stays.
IsamError check_index(IsamDb *db, IsamIndex *ix,
                      IndexNeed need = IndexNeed::kAny);
// The entry of an exported call that works on an index: the handle errors
// of check_handles, else db becomes current and, when the call needs a
// tree, kIsNotForIndex for "Physical Index".
IsamError enter_index(IsamDb *db, IsamIndex *ix,
                      IndexNeed need = IndexNeed::kAny);

// "Physical Index" of db (the index without a tree); null only while an
// index file is being replaced.
IsamIndex *physical_index(IsamDb *db);
// The index of db named name, compared without regard to case; null when
// none.
IsamIndex *index_named(IsamDb *db, const char *name);
// The index of db with number; null when none.
const IsamIndex *index_numbered(const IsamDb *db, int32_t number);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_HANDLES_H
