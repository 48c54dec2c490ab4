// The tree layer's side of the rollback journal (cbt/journal_link.h).
#include "cbt/journal_link.h"

#include "bufpool/journal.h"
#include "cbt/locking.h"
#include "frame/alloc.h"
#include "frame/platform.h"

namespace recbase::cbt {

int32_t g_tree_journal = 0;

namespace {

// A tree file's own journal covers that one file, whose writer lock region
// starts after the control record.
constexpr JournalLock kTreeLock{0, kLockRegionStart};

}  // namespace

int32_t recover_at_open(Op &op, const char *name, int32_t shared,
                        bool *present) {
  *present = false;
  char *path = journal_path(name);
  if (path == nullptr) return op.fail(kErrNoMemory, kCtxOpen);
  int32_t r = 1;
  if (platform_file_exists(path) == 1) {
    *present = true;
    if (journal_recover(path, &name, 1, shared, kTreeLock) < 0) {
      r = op.fail(kErrOpen, kCtxOpen);
    }
  }
  rb_free(path);
  return r;
}

int32_t attach_own_journal(Op &op, const char *name, int32_t shared,
                           int32_t read_only) {
  char *path = journal_path(name);
  if (path == nullptr) return op.fail(kErrNoMemory, kCtxOpen);
  Journal *j =
      journal_open(path, &name, 1, shared, read_only == 0 ? 1 : 0, kTreeLock);
  rb_free(path);
  if (j == nullptr) return op.fail(kErrOpen, kCtxOpen);
  journal_attach(j, 0, op.lru->handle, op.lru->block_size);
  op.file->journal = j;
  op.file->journal_owned = true;
  // A handle that cannot write never writes through the journal; it keeps
  // it to look for a dead writer's.
  if (read_only == 0) {
    op.lru->journal = j;
    op.lru->journal_file = 0;
  }
  return 1;
}

int32_t guard_control(Op &op) {
  LruFile *lru = op.lru;
  if (lru->journal == nullptr) return 1;
  return journal_protect(lru->journal, lru->journal_file, 0, kControlSize);
}

namespace {

int32_t save_file_images(LruFile *lru) {
  if (lru->journal == nullptr) return 1;
  if (journal_save(lru->journal, lru->journal_file, 0, kControlSize) != 1) {
    return -1;
  }
  return journal_save_dirty(lru);
}

}  // namespace

void save_before_flush(Op &op) {
  // A failure here is met again, and reported, by the writes' own guards.
  if (save_file_images(op.lru) == 1 && op.lru->journal != nullptr) {
    journal_sync(op.lru->journal);
  }
}

int32_t save_tree_images(CbTree *tree) {
  return save_file_images(tree->file->lru);
}

int32_t end_own_journal(Op &op, int32_t ctx) {
  CbFile *f = op.file;
  if (!f->journal_owned || op.lru->journal == nullptr) return 1;
  if (journal_end(f->journal) != 1) return op.fail(kErrFlushBlocks, ctx);
  return 1;
}

int32_t roll_back_dead_writer(Op &op) {
  CbFile *f = op.file;
  const int32_t hot = journal_check(f->journal);
  if (hot == 0) return 1;
  if (hot < 0) return op.fail(kErrGetBlock, kCtxSync);
  // Rolling back needs the whole lock region: a writer holds it already; a
  // reader lets its byte go while the rollback takes it, and locks the byte
  // again after.
  const bool writer = (f->lock_flags & kWriterHeld) != 0;
  const int32_t h = op.lru->handle;
  if (!writer && sys_unlock(h, f->reader_slot, 1) != 1) {
    return op.fail(kErrUnlock, kCtxSync);
  }
  const int32_t r = journal_recover(f->journal, writer);
  if (!writer) {
    const LockSettings &ls = g_lock_settings;
    if (sys_lock(h, f->reader_slot, 1, ls.tries < 1 ? 1 : ls.tries, ls.delay_ms,
                 ls.timeout_ms) != 1) {
      f->lock_flags &= ~(kReaderHeld | kReaderExplicit);
      return op.fail(kErrLock, kCtxSync);
    }
  }
  if (r < 0) return op.fail(kErrGetBlock, kCtxSync);
  // The rollback cut the file, and any space held beyond its end with it.
  forget_reserve(op.lru);
  // Nothing buffered from before can be trusted against the rolled-back file.
  if (purge_all_blocks(op.lru) != 1) return op.fail(kErrPurgeBlock, kCtxSync);
  f->cr.change_counter = ~f->cr.change_counter;
  return 1;
}

void close_journal(CbFile *f) {
  if (f->journal_owned) journal_close(f->journal);
  f->journal = nullptr;
  f->journal_owned = false;
}

int32_t tree_file_handle(CbTree *tree) { return tree->file->lru->handle; }

void attach_database_journal(CbTree *tree, Journal *journal, int32_t file) {
  CbFile *f = tree->file;
  if (f->journal_owned) close_journal(f);
  f->journal = journal;
  if (tree->read_only == 0) {
    f->lru->journal = journal;
    f->lru->journal_file = file;
  }
}

}  // namespace recbase::cbt
