// Moving an index: to its first or last record, one step forward or back,
// to a key, and to a mark. An ordinary index moves its tree's cursor within
// the run of keys that begin with its number (the key-range rule of
// isam/current.h places a cursor that left the run before or past the
// index); "Physical Index" steps through the data file with the physical
// scan and refuses everything else (ISAM error 6).
#include "cbt/record_calls.h"
#include "isam/buffers.h"
#include "isam/current.h"
#include "isam/error_state.h"
#include "isam/keys.h"
#include "isam/locks.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// The error is read through a pointer, after both arguments are evaluated:
// the call that produces r is the one that sets it.
int32_t publish(int32_t r, const IsamError *e) {
  return r == -1 ? fail(*e) : r;
}

// An ordinary index to its first key: the one-byte key of its number sorts
// before every entry of the index.
int32_t head(IsamDb *db, IsamIndex *ix) {
  IsamError e = kIsOk;
  if (ix->tree == nullptr) {
    ix->state = kBeforeFirst;
    return publish(physical_scan(db, ix, &e), &e);
  }
  const auto number = static_cast<uint8_t>(ix->number);
  int32_t item = 0;
  int32_t r = cbfind(ix->tree, &number, 1, &item);
  if (r == 2 || r == 3) r = 1;
  return publish(state_after_move(ix, r, kAfterLast, kAfterLast, &e), &e);
}

// Steps back from the end of an ordinary index: the cursor goes to the
// first key of the next number (or past the end) and then one back. A
// shared database holding no lock of its own reads under a read lock.
int32_t tail(IsamDb *db, IsamIndex *ix) {
  const bool lock = db->shared != 0 && db->lock_state == 0;
  if (lock && cblock(ix->tree, 1) != 1) return fail(kIsCbt);
  const auto next = static_cast<uint8_t>(ix->number + 1);
  int32_t item = 0;
  int32_t r = cbfind(ix->tree, &next, 1, &item);
  if (r != -1) r = cbprev(ix->tree, &item);
  IsamError e = kIsOk;
  const int32_t state =
      r == -1 ? -1 : state_after_move(ix, r, kBeforeFirst, kBeforeFirst, &e);
  if (r == -1) e = kIsCbt;
  if (lock) {
    const CbErrors kept;
    if (cbunlock(ix->tree, 1) != 1 && state != -1) return fail(kIsCbt);
    kept.restore();
  }
  return publish(state, &e);
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL ifindhead(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  return head(db, ix);
}

RBAPI int32_t RBCALL ifindtail(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix, IndexNeed::kTree)) return fail(e);
  return tail(db, ix);
}

RBAPI int32_t RBCALL ifindnext(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (ix->state == kBeforeFirst) return head(db, ix);
  if (ix->state == kAfterLast) return kAfterLast;
  IsamError e = kIsOk;
  if (ix->tree == nullptr) return publish(physical_scan(db, ix, &e), &e);
  int32_t item = 0;
  uint8_t first = 0;
  if (cbt::next_lead(ix->tree, &item, &first)) {
    ix->state = range_state(ix, first, kAfterLast, kAfterLast);
    return ix->state;
  }
  const int32_t r = cbnext(ix->tree, &item);
  return publish(state_after_move(ix, r, kAfterLast, kAfterLast, &e), &e);
}

RBAPI int32_t RBCALL ifindprev(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix, IndexNeed::kTree)) return fail(e);
  if (ix->state == kBeforeFirst) return kBeforeFirst;
  if (ix->state == kAfterLast) return tail(db, ix);
  int32_t item = 0;
  IsamError e = kIsOk;
  const int32_t r = cbprev(ix->tree, &item);
  return publish(state_after_move(ix, r, kBeforeFirst, kBeforeFirst, &e), &e);
}

RBAPI int32_t RBCALL ifindkey(IsamDb *db, IsamIndex *ix, char *const *values) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix, IndexNeed::kTree)) return fail(e);
  if (values == nullptr) return fail(kIsNullArg);
  int32_t len = 0;
  if (const IsamError e = build_key_by_position(db, ix, values, g_key_buffer,
                                                g_key_buffer_size, &len)) {
    return fail(e);
  }
  int32_t item = 0;
  const int32_t r = cbfind(ix->tree, g_key_buffer, len, &item);
  if (r == -1) return fail(kIsCbt);
  if (r == 2) {
    ix->state = kOnRecord;
    return 2;
  }
  IsamError e = kIsOk;
  if (state_after_move(ix, r == 3 ? 1 : r, kAfterLast, kAfterLast, &e) == -1) {
    return fail(e);
  }
  return 3;
}

RBAPI int32_t RBCALL imarkrec(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = check_index(db, ix, IndexNeed::kTree)) return fail(e);
  return cbmark(ix->tree) == 1 ? 1 : fail(kIsCbt);
}

RBAPI int32_t RBCALL ifindmark(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix, IndexNeed::kTree)) return fail(e);
  int32_t item = 0;
  int32_t r = cbfindmark(ix->tree, &item);
  if (r == -1) return fail(kIsCbt);  // no mark: the B-tree's code 27 says so
  if (r == 1 || r == 3) {
    uint8_t first = 0;
    if (cbkey(ix->tree, &first, 1) != 1) return fail(kIsCbt);
    if (first != ix->number) r = first < ix->number ? kBeforeFirst : kAfterLast;
  }
  ix->state = r == 3 ? kOnRecord : r;
  return r;
}

}  // extern "C"
