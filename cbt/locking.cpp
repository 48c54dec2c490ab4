// Reader and writer locks, synchronisation and commit.
#include "cbt/locking.h"

#include "bufpool/journal.h"
#include "cbt/journal_link.h"
#include "frame/platform.h"

namespace recbase::cbt {

namespace {

int32_t handle_of(const Op &op) { return op.lru->handle; }

// One pass over the region from the remembered reader slot, one attempt
// per byte; true when a byte was locked (it becomes the reader slot).
bool lock_some_reader_byte(Op &op) {
  CbFile *f = op.file;
  const LockSettings &ls = g_lock_settings;
  int32_t slot = f->reader_slot;
  if (slot < kLockRegionStart || slot >= op.bs) slot = kLockRegionStart;
  const int32_t first = slot;
  do {
    if (sys_lock(handle_of(op), slot, 1, 1, ls.delay_ms, 2 * ls.delay_ms) ==
        1) {
      f->reader_slot = slot;
      f->reader_byte_locked = true;
      return true;
    }
    if (++slot >= op.bs) slot = kLockRegionStart;
  } while (slot != first);
  return false;
}

bool unlock_reader_byte(Op &op) {
  if (sys_unlock(handle_of(op), op.file->reader_slot, 1) != 1) return false;
  op.file->reader_byte_locked = false;
  return true;
}

// Unlocks the writer ranges as they were locked (around the reader byte,
// or the whole region), then makes the reader byte's own lock follow the
// reader flags: released when no reader lock is wanted any more, taken
// when one is wanted that only the whole-region writer lock covered. Such
// a reader lock is lost (flags cleared, false) when another process takes
// every byte in between.
bool unlock_writer_ranges(Op &op) {
  CbFile *f = op.file;
  const int32_t h = handle_of(op);
  if (const int32_t s = f->writer_around) {
    if (s > kLockRegionStart &&
        sys_unlock(h, kLockRegionStart, s - kLockRegionStart) != 1) {
      return false;
    }
    if (op.bs - s - 1 > 0 && sys_unlock(h, s + 1, op.bs - s - 1) != 1) {
      return false;
    }
  } else if (sys_unlock(h, kLockRegionStart, op.bs - kLockRegionStart) != 1) {
    return false;
  }
  f->writer_around = 0;
  const bool reader_wanted =
      (f->lock_flags & (kReaderHeld | kReaderExplicit)) != 0;
  if (f->reader_byte_locked && !reader_wanted) return unlock_reader_byte(op);
  if (!f->reader_byte_locked && reader_wanted && !lock_some_reader_byte(op)) {
    f->lock_flags &= ~(kReaderHeld | kReaderExplicit);
    return false;
  }
  return true;
}

}  // namespace

int32_t read_control(Op &op, ControlRecord *out, int32_t ctx) {
  uint8_t raw[kControlSize];
  if (sys_read(handle_of(op), 0, kControlSize, raw) != 1) {
    return op.fail(kErrGetBlock, ctx);
  }
  if (!control_parity_ok(raw)) return op.fail(kErrParity, ctx);
  *out = decode_control(raw);
  return 1;
}

int32_t write_control(Op &op) {
  CbFile *f = op.file;
  uint8_t raw[kControlSize];
  encode_control(f->cr, raw);
  if (guard_control(op) != 1 ||
      sys_writeblock(handle_of(op), 0, kControlSize, raw) != 1) {
    f->control_pending = true;
    return op.fail(kErrPutBlock, kCtxWriteControl);
  }
  f->disk_counter = f->cr.change_counter;
  f->control_pending = false;
  return 1;
}

int32_t write_pending_control(Op &op) {
  CbFile *f = op.file;
  if (!f->control_pending) return 1;
  uint8_t raw[kControlSize];
  if (sys_read(handle_of(op), 0, kControlSize, raw) != 1) {
    return op.fail(kErrGetBlock, kCtxWriteControl);
  }
  if (decode_control(raw).change_counter != f->disk_counter) {
    // Another process has committed since; its record stands.
    f->control_pending = false;
    return 1;
  }
  return write_control(op);
}

int32_t reader_lock(Op &op) {
  CbFile *f = op.file;
  if (!f->shared || f->lock_flags != 0) return 1;
  const LockSettings &ls = g_lock_settings;
  const int32_t rounds = ls.tries < 1 ? 1 : ls.tries;
  for (int32_t round = 0; round < rounds; ++round) {
    if (lock_some_reader_byte(op)) {
      f->lock_flags |= kReaderHeld;
      return 1;
    }
    if (round + 1 < rounds) sys_sleep(ls.delay_ms);
  }
  return op.fail(kErrLock, kCtxLock);
}

int32_t writer_lock(Op &op) {
  CbFile *f = op.file;
  if (!f->shared || (f->lock_flags & kWriterHeld)) return 1;
  const LockSettings &ls = g_lock_settings;
  const int32_t tries = ls.tries < 1 ? 1 : ls.tries;
  const int32_t h = handle_of(op);
  if (f->reader_byte_locked) {
    const int32_t s = f->reader_slot;
    const int32_t low_len = s - kLockRegionStart;
    const int32_t high_len = op.bs - s - 1;
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (low_len > 0 && sys_lock(h, kLockRegionStart, low_len, tries,
                                  ls.delay_ms, ls.timeout_ms) != 1) {
        continue;
      }
      if (high_len > 0 && sys_lock(h, s + 1, high_len, tries, ls.delay_ms,
                                   ls.timeout_ms) != 1) {
        if (low_len > 0) sys_unlock(h, kLockRegionStart, low_len);
        continue;
      }
      f->lock_flags |= kWriterHeld;
      f->writer_around = s;
      return 1;
    }
    return op.fail(kErrLock, kCtxLock);
  }
  if (sys_lock(h, kLockRegionStart, op.bs - kLockRegionStart, tries,
               ls.delay_ms, ls.timeout_ms) != 1) {
    return op.fail(kErrLock, kCtxLock);
  }
  f->lock_flags |= kWriterHeld;
  f->writer_around = 0;
  return 1;
}

int32_t synchronise(Op &op) {
  CbFile *f = op.file;
  if (!f->shared) return 1;
  if (f->lock_flags == 0) {
    if (reader_lock(op) != 1) {
      op.ctx = kCtxSync;
      return -1;
    }
  } else if (f->synced) {
    return 1;
  }
  if (f->journal != nullptr && roll_back_dead_writer(op) != 1) return -1;
  uint8_t raw[kControlSize];
  if (sys_read(handle_of(op), 0, kControlSize, raw) != 1) {
    return op.fail(kErrGetBlock, kCtxSync);
  }
  const ControlRecord disk = decode_control(raw);
  if (f->control_pending) {
    if (disk.change_counter == f->disk_counter) {
      // The difference is this process's own commit, whose control record
      // did not reach the file: the record in memory is the tree's. Under
      // the writer lock it is written now.
      if ((f->lock_flags & kWriterHeld) != 0) write_control(op);
      f->synced = true;
      return 1;
    }
    f->control_pending = false;
  }
  f->disk_counter = disk.change_counter;
  if (disk.change_counter != f->cr.change_counter) {
    // Another process changed the file: nothing buffered can be trusted.
    // The block size is fixed for the life of a file; a record that says
    // otherwise is damaged.
    if (disk.block_size != f->cr.block_size) return op.corrupt(kCtxSync);
    f->cr = disk;
    if (purge_all_blocks(op.lru) != 1) {
      return op.fail(kErrPurgeBlock, kCtxSync);
    }
    f->last_seen = disk.change_counter;
  }
  f->synced = true;
  return 1;
}

int32_t commit(Op &op, bool count_change, bool may_defer) {
  CbFile *f = op.file;
  if (count_change) f->cr.change_counter += 1;
  f->last_seen = f->cr.change_counter;
  if (!f->shared) return 1;
  const uint32_t explicit_writer = kWriterExplicit | kWriterHeld;
  if (may_defer && g_flush_settings.deferred_flush != 0 &&
      (f->lock_flags & explicit_writer) == explicit_writer && f->synced) {
    f->flush_pending = true;
    return 1;
  }
  int32_t result = 1;
  save_before_flush(op);
  if (write_control(op) != 1) result = -1;
  if (flush_blocks(op.lru) != 1) {
    op.fail(kErrFlushBlocks, kCtxResyncDisk);
    result = -1;
  }
  if (result == 1 && end_own_journal(op, kCtxResyncDisk) != 1) result = -1;
  if (release(op) != 1) result = -1;
  f->flush_pending = false;
  return result;
}

int32_t release(Op &op) {
  CbFile *f = op.file;
  f->synced = false;
  if (!f->shared) {
    if ((f->lock_flags & (kWriterHeld | kWriterExplicit)) == kWriterHeld) {
      f->lock_flags &= ~kWriterHeld;
    }
    if ((f->lock_flags & (kReaderHeld | kReaderExplicit)) == kReaderHeld) {
      f->lock_flags &= ~kReaderHeld;
    }
    return 1;
  }
  if ((f->lock_flags & (kWriterHeld | kWriterExplicit)) == kWriterHeld) {
    if (f->journal != nullptr) journal_abandon(f->journal);
    if (!unlock_writer_ranges(op)) return op.fail(kErrUnlock, kCtxResyncDisk);
    f->lock_flags &= ~(kWriterHeld | kWriterExplicit);
  }
  if ((f->lock_flags & (kReaderHeld | kReaderExplicit)) == kReaderHeld) {
    if (f->reader_byte_locked && !unlock_reader_byte(op)) {
      return op.fail(kErrUnlock, kCtxResyncDisk);
    }
    f->lock_flags &= ~(kReaderHeld | kReaderExplicit);
  }
  if (f->lock_flags != 0) f->synced = true;
  return 1;
}

int32_t release_all(Op &op) {
  CbFile *f = op.file;
  f->synced = false;
  if (!f->shared) {
    f->lock_flags = 0;
    return 1;
  }
  int32_t result = 1;
  if (f->lock_flags & (kWriterHeld | kWriterExplicit)) {
    if (f->flush_pending) {
      // Write back what the explicit writer lock deferred; the lock is still
      // held, so commit must not release it: drop the explicit bit only
      // after the write-back.
      f->flush_pending = false;
      save_before_flush(op);
      if (write_control(op) != 1) result = -1;
      if (flush_blocks(op.lru) != 1) {
        op.fail(kErrFlushBlocks, kCtxResyncDisk);
        result = -1;
      }
      if (result == 1 && end_own_journal(op, kCtxResyncDisk) != 1) result = -1;
    }
    if (f->journal != nullptr) journal_abandon(f->journal);
    // Every lock goes: the reader byte's own lock with the writer ranges.
    f->lock_flags &= ~(kReaderHeld | kReaderExplicit);
    if (!unlock_writer_ranges(op)) return op.fail(kErrUnlock, kCtxResyncDisk);
    f->lock_flags &= ~(kWriterHeld | kWriterExplicit);
  }
  if (f->reader_byte_locked && !unlock_reader_byte(op)) {
    return op.fail(kErrUnlock, kCtxResyncDisk);
  }
  f->lock_flags &= ~(kReaderHeld | kReaderExplicit);
  return result;
}

}  // namespace recbase::cbt
