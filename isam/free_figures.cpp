// ifreespace: the figures of the free-space map. The size keys (class 255,
// isam/keys.h) sort after every other key of the index file, the largest
// area's last of all, so a walk back from the tree's last key meets every
// one of them and then stops: a step per free area, none per record, and
// no key comparison.
#include "isam/error_state.h"
#include "isam/handles.h"
#include "isam/keys.h"
#include "isam/locks.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// Adds the size keys from the tree's last key back to *out. kIsCbt.
IsamError sum_size_keys(CbTree *tree, IsamFreeSpace *out) {
  int32_t position = 0;
  int32_t r = cbtail(tree, &position);
  for (; r == 1; r = cbprev(tree, &position)) {
    uint8_t key[kSizeKeyLength];
    int32_t len = 0;
    if (cbkeylen(tree, &len) != 1 || cbkey(tree, key, sizeof key) != 1) {
      return kIsCbt;
    }
    if (len != kSizeKeyLength || key[0] != kSizeKeyClass) return kIsOk;
    const int32_t size = (key[1] << 8) | key[2];
    if (out->areas++ == 0) out->largest = size;
    out->bytes += size;
  }
  return r == -1 ? kIsCbt : kIsOk;
}

}  // namespace

extern "C" RBAPI int32_t RBCALL ifreespace(IsamDb *db, IsamFreeSpace *out) {
  set_error(kIsOk);
  if (const IsamError e = enter_db(db)) return fail(e);
  if (out == nullptr) return fail(kIsNullArg);
  *out = IsamFreeSpace{};
  if (db->free_tree == nullptr) return fail(kIsIndexCorrupt);
  TempLock db_read(db);
  if (db_read.take_read() != kIsOk) {
    set_error(kIsLockRec);
    return lock_result();
  }
  const IsamError e = sum_size_keys(db->free_tree, out);
  const CbErrors kept;
  const IsamError u = db_read.release();
  kept.restore();
  if (e != kIsOk) return fail(e);
  return u == kIsOk ? 1 : fail(u);
}
