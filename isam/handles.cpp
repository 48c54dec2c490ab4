// The handle checks on entry of the exported calls, and the lookups of an
// index of an open database.
#include "isam/handles.h"

#include <cstring>

#include "isam/keys.h"

namespace recbase::isam {

namespace {

// Whether ix is in db's index list: a walk of the list only for an index
// other than its head and the one the last walk found.
bool index_listed(IsamDb *db, IsamIndex *ix) {
  if (ix == nullptr) return false;
  if (ix == db->indexes || ix == db->recent_index) return true;
  if (is_member(reinterpret_cast<void **>(&db->indexes), ix) == 0) {
    return false;
  }
  db->recent_index = ix;
  return true;
}

}  // namespace

void unlist_index(IsamDb *db, IsamIndex *ix) {
  del_member(reinterpret_cast<void **>(&db->indexes), ix);
  if (db->recent_index == ix) db->recent_index = nullptr;
}

IsamError check_handles(IsamDb *db, IsamIndex *ix) {
  if (!db_valid(db)) return kIsBadDb;
  return index_listed(db, ix) ? kIsOk : kIsBadIndex;
}

IsamError enter_db(IsamDb *db) {
  if (!db_valid(db)) return kIsBadDb;
  make_current(db);
  return kIsOk;
}

namespace {

IsamError check_need(const IsamIndex *ix, IndexNeed need) {
  return need == IndexNeed::kTree && ix->tree == nullptr ? kIsNotForIndex
                                                         : kIsOk;
}

}  // namespace

IsamError check_index(IsamDb *db, IsamIndex *ix, IndexNeed need) {
  if (const IsamError e = check_handles(db, ix)) return e;
  return check_need(ix, need);
}

IsamError enter_index(IsamDb *db, IsamIndex *ix, IndexNeed need) {
  if (const IsamError e = check_handles(db, ix)) return e;
  make_current(db);
  return check_need(ix, need);
}

IsamIndex *physical_index(IsamDb *db) {
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == kPhysicalNumber) return ix;
  }
  return nullptr;
}

IsamIndex *index_named(IsamDb *db, const char *name) {
  const size_t n = std::strlen(name);
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (std::strlen(ix->name) == n && equal_folded(ix->name, name, n)) {
      return ix;
    }
  }
  return nullptr;
}

const IsamIndex *index_numbered(const IsamDb *db, int32_t number) {
  for (const IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == number) return ix;
  }
  return nullptr;
}

}  // namespace recbase::isam
