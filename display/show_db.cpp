// showdb: every record of a database, one line each, in the order of an
// index (or of the file: "Physical Index").
//
// The walk runs on the caller's own index handle, so it moves that index;
// an index that was on a record is marked first and put back on the mark
// afterwards. Each record's position is taken under the database's
// temporary read lock (shared databases), its slot read into a work area of
// the walk, the lock let go, and only then the record printed, so that no
// lock is held while the print routine runs.
//
// A failure inside the walk stops it with one message through the print
// routine and is not an error of the call:
//
//   the temporary read lock is refused    "can't lock index\n"
//   the index's current entry is lost     "can't get current record\n"
//   the record cannot be read or split    "error reading record\n"
//
// A step of the index that fails (ifindhead, ifindnext) ends the walk
// silently, as the end of the index does.
#include "frame/alloc.h"
#include "isam/current.h"
#include "isam/error_state.h"
#include "isam/locks.h"
#include "isam/record_io.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// Reads the current record of the ordinary index ix into area. Returns
// null when it was read, the message to print when the walk must stop, or
// "" to stop without one.
const char *read_indexed(IsamDb *db, IsamIndex *ix, OwnArea *area) {
  TempLock lock(db);
  if (lock.take_read() != kIsOk) return "can't lock index\n";
  int32_t position = 0;
  const int32_t r = cbcurr(ix->tree, &position);
  if (r == -1) return "can't get current record\n";
  if (r != 1) return "";
  IsamError e = kIsOk;
  const int32_t state = state_after_move(ix, r, kBeforeFirst, kAfterLast, &e);
  if (state == -1) return "can't get current record\n";
  if (state != kOnRecord) return "";
  if (read_record(db, position, area) != kIsOk) return "error reading record\n";
  return nullptr;
}

// Prints every record from the head of ix on.
void walk(IsamDb *db, IsamIndex *ix, const char *sep) {
  OwnArea area;
  for (int32_t r = ifindhead(db, ix); r == 1; r = ifindnext(db, ix)) {
    const char *stop = nullptr;
    if (ix->tree != nullptr) {
      stop = read_indexed(db, ix, &area);
    } else if (read_record(db, db->physical_position, &area) != kIsOk) {
      stop = "error reading record\n";
    }
    if (stop != nullptr) {
      if (*stop != '\0') sys_print(stop);
      return;
    }
    make_current(db);
    showrec(area.fields, sep);
  }
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL showdb(IsamDb *db, IsamIndex *ix, const char *sep) {
  set_error(kIsOk);
  if (const IsamError e = enter_db(db)) return fail(e);
  if (ix == nullptr) ix = physical_index(db);
  if (const IsamError e = check_handles(db, ix)) return fail(e);
  const bool marked = ix->tree != nullptr && ix->state == kOnRecord;
  if (marked && imarkrec(db, ix) != 1) return -1;
  walk(db, ix, sep);
  if (marked) return ifindmark(db, ix) == -1 ? -1 : 1;
  set_error(kIsOk);
  return 1;
}

}  // extern "C"
