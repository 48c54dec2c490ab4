// Explicit locks held across calls: cblock and cbunlock.
#include "cbt/locking.h"
#include "cbt/tree.h"

using namespace recbase;
using namespace recbase::cbt;

namespace {

constexpr int32_t kReaderMode = 1;
constexpr int32_t kWriterMode = 2;

bool enter(Op &op, CbTree *tree, int32_t fcn) {
  cbfcncode = fcn;
  return check_tree(op, tree) && check_file(op);
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL cblock(CbTree *tree, int32_t mode) {
  Op op;
  if (!enter(op, tree, kFnLock)) return publish(op, -1);
  if (mode != kReaderMode && mode != kWriterMode) return publish(op, -1);
  CbFile *f = tree->file;
  if (mode == kReaderMode) {
    if (reader_lock(op) != 1) {
      return publish(op, op.failed_with(kErrLock) ? -4 : -1);
    }
    // While the writer ranges are held the reader byte lies inside them,
    // so it is held too; when they go it stays locked on its own.
    f->lock_flags |= kReaderExplicit | kReaderHeld;
  } else {
    if (writer_lock(op) != 1) {
      return publish(op, op.failed_with(kErrLock) ? -4 : -1);
    }
    f->lock_flags |= kWriterExplicit | kWriterHeld;
  }
  return publish(op, 1);
}

RBAPI int32_t RBCALL cbunlock(CbTree *tree, int32_t mode) {
  Op op;
  if (!enter(op, tree, kFnUnlock)) return publish(op, -1);
  CbFile *f = tree->file;
  if (mode == kReaderMode) {
    if (!(f->lock_flags & kReaderExplicit)) return publish(op, 1);
    if (f->lock_flags & kWriterHeld) {
      // The byte goes with the writer ranges, which cover it.
      f->lock_flags &= ~(kReaderExplicit | kReaderHeld);
      return publish(op, 1);
    }
    f->lock_flags &= ~kReaderExplicit;
    return publish(op, release(op));
  }
  if (mode == kWriterMode) {
    if (!(f->lock_flags & kWriterExplicit)) return publish(op, 1);
    if (f->flush_pending && commit(op, false, false) != 1) {
      return publish(op, -1);
    }
    f->lock_flags &= ~kWriterExplicit;
    return publish(op, release(op));
  }
  return publish(op, -1);
}

}  // extern "C"
