// Records, finding and locks of the ISAM class: each member passes the
// object's database, selected index and field buffers or key parts to one
// ISAM function and records a failure (-1) on the object; every other
// result, positions and -4 (a lock another process holds) included, is
// passed back unchanged.
//
// The held lock: getRec(1) locks the current record once and the object
// holds that lock until the next find, walk, add, modify or delete, which
// releases it first (a failed release stops the member before its call).
#include "class/class_state.h"

using namespace recbase::binding;

int ISAM::release() {
  if (!checkOpen()) return -1;
  if (heldLock_ == 0) return 1;
  if (iunlock_rec(database_, heldLock_) == -1) return recordLibrary();
  heldLock_ = 0;
  return 1;
}

int ISAM::getRec(int lock) {
  if (!checkOpen()) return -1;
  if (lock == 1 && heldLock_ == 0) {
    int32_t id = 0;
    const int32_t r = ilock_rec(database_, selected_, &id);
    if (r == -1) return recordLibrary();
    if (r == -4) return -4;
    heldLock_ = id;
  }
  const int32_t r = igetrec3(database_, selected_, values_, capacities_);
  const int32_t code = iget_errno();
  // igetrec3 may have moved text buffers to larger blocks: the key parts
  // follow their fields.
  for (int32_t k = 0; k < keyCount_; ++k) {
    const int32_t f = igetdesc_fldnbr(database_, selected_, k);
    if (f >= 0 && f < fieldCount_) keyParts_[k] = values_[f];
  }
  iset_errno(code);
  return r == -1 ? record(code) : r;
}

int ISAM::getRecLen() {
  if (!checkOpen()) return -1;
  uint16_t length = 0;
  const int32_t r = igetreclen(database_, selected_, &length);
  if (r == 1) return length;
  return r == -1 ? recordLibrary() : record(ISERR_NO_CURRENT);
}

int ISAM::addRec() {
  if (release() != 1) return -1;
  const int32_t r = iaddrec(database_, selected_, values_);
  return r == -1 ? recordLibrary() : r;
}

int ISAM::modRec() {
  if (!checkOpen()) return -1;
  const int32_t r = imodrec(database_, selected_, values_);
  if (r == -1) return recordLibrary();
  return r == 1 ? release() : r;
}

int ISAM::delRec() {
  if (!checkOpen()) return -1;
  const int32_t r = idelrec(database_, selected_);
  if (r == -1) return recordLibrary();
  return r == 1 ? release() : r;
}

// The finding members: release, then the call.
#define RB_FIND_MEMBER(member, call)      \
  int ISAM::member() {                    \
    if (release() != 1) return -1;        \
    const int32_t r = call;               \
    return r == -1 ? recordLibrary() : r; \
  }
RB_FIND_MEMBER(findKey, ifindkey(database_, selected_, keyParts_))
RB_FIND_MEMBER(findRec, ifindrec(database_, selected_, values_))
RB_FIND_MEMBER(findHead, ifindhead(database_, selected_))
RB_FIND_MEMBER(findTail, ifindtail(database_, selected_))
RB_FIND_MEMBER(findNext, ifindnext(database_, selected_))
RB_FIND_MEMBER(findPrev, ifindprev(database_, selected_))
RB_FIND_MEMBER(findMark, ifindmark(database_, selected_))
#undef RB_FIND_MEMBER

int ISAM::markRec() {
  if (!checkOpen()) return -1;
  const int32_t r = imarkrec(database_, selected_);
  return r == -1 ? recordLibrary() : r;
}

int ISAM::matchKey() {
  if (!checkOpen()) return -1;
  const int32_t r = imatchkey(database_, selected_, keyParts_);
  return r == -1 ? recordLibrary() : r;
}

int ISAM::flush() {
  if (!checkOpen()) return -1;
  return iflush_db(database_) == -1 ? recordLibrary() : 1;
}

int ISAM::lockRec(int &id) {
  if (release() != 1) return -1;
  int32_t lock = 0;
  const int32_t r = ilock_rec(database_, selected_, &lock);
  id = lock;
  return r == -1 ? recordLibrary() : r;
}

int ISAM::unlockRec(int id) {
  if (!checkOpen()) return -1;
  return iunlock_rec(database_, id) == -1 ? recordLibrary() : 1;
}

int ISAM::lockFile(int mode) {
  if (!checkOpen()) return -1;
  const int32_t r = ilock_all(database_, mode);
  return r == -1 ? recordLibrary() : r;
}

int ISAM::unlockFile(int mode) {
  if (!checkOpen()) return -1;
  return iunlock_all(database_, mode) == -1 ? recordLibrary() : 1;
}

bool ISAM::setJournal(bool on) { return iset_journal(on ? 1 : 0) != 0; }

void ISAM::setRetry(int tries, long delay, long timeout, int which) {
  if (which == 0 || which == 2) {
    ilock_timeout(tries, clamp32(delay), clamp32(timeout));
  }
  if (which == 1 || which == 2) {
    cblock_timeout(tries, clamp32(delay), clamp32(timeout));
  }
}

void ISAM::delay(long ms) { itime_delay(clamp32(ms)); }
