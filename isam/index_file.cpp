// The index file of a database: making a new one, opening it with its
// descriptors, and closing everything built on it.
//
// Every tree handle on the file is opened with the ISAM key comparison and
// the database's flags; the B-tree layer shares one open of the file among
// them. Descriptors are the keys of class 0, which sort before every other
// key, so loading them is a walk from the start of the tree that stops at
// the first key of another class.
#include <cstring>
#include <initializer_list>

#include "cbt/journal_link.h"
#include "frame/alloc.h"
#include "isam/buffers.h"
#include "isam/database.h"
#include "isam/descriptors.h"
#include "isam/error_state.h"
#include "isam/keys.h"

namespace recbase::isam {
namespace {

// Opens both handles and builds an IsamIndex per descriptor.
IsamError load_index_file(IsamDb *db) {
  const char *path = db->index_path;
  db->desc_tree =
      cbt::open_tree_for_database(path, key_compare, db->shared, db->read_only);
  if (db->desc_tree == nullptr) return kIsIndexCorrupt;
  db->free_tree =
      cbt::open_tree_for_database(path, key_compare, db->shared, db->read_only);
  if (db->free_tree == nullptr) return kIsIndexCorrupt;
  for (;;) {
    int32_t number = 0;
    const int32_t r = cbnext(db->desc_tree, &number);
    if (r == kAfterLast) return kIsOk;
    int32_t len = 0;
    if (r != 1 || cbkeylen(db->desc_tree, &len) != 1) return kIsCbt;
    // A key longer than the buffer cannot come from a file whose blocks fit
    // the pool; an empty one has no class.
    if (len < 1 || len > g_key_buffer_size) return kIsIndexCorrupt;
    if (cbkey(db->desc_tree, g_key_buffer, len) != 1) return kIsCbt;
    if (g_key_buffer[0] != kDescriptorClass) return kIsOk;
    IsamIndex *ix = nullptr;
    if (const IsamError e = build_index(db, g_key_buffer, len, number, &ix)) {
      return e;
    }
    add_member(reinterpret_cast<void **>(&db->indexes), ix);
    ++db->index_count;
  }
}

}  // namespace

IsamError create_index_file(const char *path, int32_t block_size) {
  CbTree *tree = cbcreate(path, key_compare, block_size);
  if (tree == nullptr) {
    // A create that fails part-way may leave the file begun: it goes too,
    // so that no index file is left without its data file or the other
    // way round.
    const IsamError e = cberrcode == kErrBlockSize ? kIsBlockTooBig : kIsCbt;
    const CbErrors kept;
    if (e == kIsCbt) sys_remove(path);
    kept.restore();
    return e;
  }
  uint8_t key[sizeof kPhysicalName + 1];
  int32_t len = 0;
  build_descriptor(kPhysicalName, nullptr, key, sizeof key, &len);
  FirstFailure failure;
  if (cbinsert(tree, key, len, kPhysicalNumber, 0) != 1) failure.note(kIsCbt);
  if (cbclose(tree) != 1) failure.note(kIsCbt);
  const IsamError e = failure.finish();
  if (e != kIsOk) {
    sys_remove(path);
    failure.finish();
  }
  return e;
}

IsamError open_index_file(IsamDb *db, const char *path) {
  const size_t len = std::strlen(path) + 1;
  db->index_path = static_cast<char *>(rb_malloc(len));
  if (db->index_path == nullptr) return kIsNoMemory;
  std::memcpy(db->index_path, path, len);
  IsamError e = load_index_file(db);
  if (e == kIsOk) return kIsOk;
  // Only a B-tree failure can leave code 29 here: both opens cleared the
  // codes, and nothing else sets them.
  const bool lock_refused = cberrcode == kErrLock;
  const CbErrors kept;
  close_index_structures(db);
  kept.restore();
  return lock_refused ? kIsLockRec : e;
}

IsamError close_index_structures(IsamDb *db) {
  forget_compare_cache();
  db->no_free_area = false;
  FirstFailure failure;
  rb_free(db->index_path);
  db->index_path = nullptr;
  for (CbTree **tree : {&db->desc_tree, &db->free_tree}) {
    if (*tree != nullptr && cbclose(*tree) != 1) failure.note(kIsCbt);
    *tree = nullptr;
  }
  while (db->indexes != nullptr) {
    IsamIndex *ix = db->indexes;
    unlist_index(db, ix);
    failure.note(release_index(ix));
  }
  db->index_count = 0;
  return failure.finish();
}

}  // namespace recbase::isam
