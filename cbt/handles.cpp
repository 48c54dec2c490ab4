// Creating, opening, flushing and closing B-tree files; the library's end;
// the small queries on trees and files.
#include <cstring>
#include <new>

#include "bufpool/journal.h"
#include "cbt/journal_link.h"
#include "cbt/locking.h"
#include "cbt/node_ops.h"
#include "cbt/search.h"
#include "cbt/tree.h"
#include "cbt/undo.h"
#include "frame/alloc.h"
#include "frame/registry.h"
#include "frame/platform.h"

using namespace recbase;
using namespace recbase::cbt;

namespace {

CbFile *find_file(const char *name) {
  for (auto *f = static_cast<CbFile *>(g_file_list); f != nullptr;
       f = f->member_link) {
    if (std::strcmp(f->name, name) == 0) return f;
  }
  return nullptr;
}

// One allocation holds the record and its copy of the name.
CbFile *new_file(const char *name, int32_t shared) {
  const size_t len = std::strlen(name) + 1;
  void *mem = rb_malloc(sizeof(CbFile) + len);
  if (mem == nullptr) return nullptr;
  auto *f = new (mem) CbFile;
  f->name = reinterpret_cast<char *>(f + 1);
  std::memcpy(f->name, name, len);
  f->shared = shared;
  return f;
}

void free_file(CbFile *f) {
  if (f == nullptr) return;
  f->~CbFile();
  rb_free(f);
}

CbTree *new_tree(CbCompare compare, int32_t read_only) {
  void *mem = rb_malloc(sizeof(CbTree));
  if (mem == nullptr) return nullptr;
  auto *t = new (mem) CbTree;
  t->cmp = compare != nullptr ? compare : cbkeycmp;
  t->read_only = read_only;
  t->mark.state = kNoMark;
  return t;
}

void free_tree(CbTree *t) {
  if (t == nullptr) return;
  free_cursor(t->pos);
  free_cursor(t->mark);
  t->~CbTree();
  retire_handle(t);
}

// A control record read at the first open must describe a tree that fits
// the file: its blocks exist and its counts are possible.
int32_t check_control(Op &op, const ControlRecord &cr) {
  if (cr.block_size < kMinBlockSize || cr.block_size != op.lru->block_size) {
    return op.fail(kErrBlockSize, kCtxReadControl);
  }
  const uint32_t last = cr.last_block;
  const bool empty = cr.root == 0;
  if (cr.depth < 0 || cr.depth > kMaxDepth || empty != (cr.depth == 0) ||
      cr.root > last || cr.first_leaf > last || cr.last_leaf > last ||
      cr.free_head > last ||
      (!empty && (cr.first_leaf == 0 || cr.last_leaf == 0))) {
    return op.corrupt(kCtxReadControl);
  }
  const uint64_t need =
      (static_cast<uint64_t>(last) + 1) * static_cast<uint64_t>(cr.block_size);
  uint32_t size = 0;
  if (need > 0x7FFFFFFFu || sys_filesize(op.lru->handle, &size) != 1 ||
      size < need) {
    return op.corrupt(kCtxReadControl);
  }
  return 1;
}

// Reads and checks the control record at the first open of a file, under a
// reader lock when the file is shared.
int32_t load_control(Op &op) {
  const bool locked_here = op.file->shared && op.file->lock_flags == 0;
  if (locked_here && reader_lock(op) != 1) {
    op.ctx = kCtxReadControl;
    return -1;
  }
  ControlRecord cr;
  int32_t r = read_control(op, &cr, kCtxReadControl);
  if (r == 1) r = check_control(op, cr);
  if (locked_here && release(op) != 1) {
    op.fail(kErrUnlock, kCtxReadControl);
    r = -1;
  }
  if (r != 1) return -1;
  op.file->cr = cr;
  op.file->last_seen = cr.change_counter;
  op.file->disk_counter = cr.change_counter;
  return 1;
}

// Why the pool could not open a tree file whose opening system call worked:
// its control record is read again on a handle of its own, and a record
// that fails its parity check gives kErrParity whatever field the damage
// hit (the pool read bytes 0-1 as a block size before anything could check
// them); a sound record with a block size below the smallest a tree may
// have gives kErrBlockSize. Both with kCtxReadControl. 0 when neither: the
// caller keeps the pool's reason.
int32_t diagnose_control(const char *name, int32_t shared, int32_t read_only) {
  const int32_t h = sys_open(name, read_only == 0 ? 1 : 0, shared);
  if (h == -1) return 0;
  uint8_t raw[kControlSize];
  int32_t code = 0;
  if (sys_read(h, 0, kControlSize, raw) == 1) {
    if (!control_parity_ok(raw)) {
      code = kErrParity;
    } else if (decode_control(raw).block_size < kMinBlockSize) {
      code = kErrBlockSize;
    }
  }
  sys_close(h);
  return code;
}

// The work of cbopen_shared. The first open of a file in this process makes
// its CbFile: the pool opens the file (a shared open takes the system's
// shared mode, so that exclusive opens elsewhere are kept out) and the
// control record is read and checked under a reader lock. Further opens
// share that CbFile (and its buffers and system handle), must ask for the
// same sharing, and only synchronise. The handle is registered last, once
// nothing can fail; every failure frees what this call made.
CbTree *open_tree(Op &op, const char *name, CbCompare compare, int32_t shared,
                  int32_t read_only, bool own_journal) {
  BufferPool *pool = bufpool_current();
  if (name == nullptr) {
    op.fail(kErrOpen, kCtxOpen);
    return nullptr;
  }
  if (pool == nullptr) {
    op.fail(kErrNoPool, kCtxOpen);
    return nullptr;
  }
  CbFile *file = find_file(name);
  const bool made = file == nullptr;
  if (made) {
    file = new_file(name, shared);
    if (file == nullptr) {
      op.fail(kErrNoMemory, kCtxAllocControl);
      return nullptr;
    }
  } else if ((file->shared != 0) != (shared != 0)) {
    op.fail(kErrShareConflict, kCtxOpen);
    return nullptr;
  }
  CbTree *tree = new_tree(compare, read_only);
  if (tree == nullptr) {
    if (made) free_file(file);
    op.fail(kErrNoMemory, kCtxAllocTree);
    return nullptr;
  }
  tree->file = file;
  bool journal_present = false;
  if (made && own_journal &&
      recover_at_open(op, name, shared, &journal_present) != 1) {
    free_tree(tree);
    free_file(file);
    return nullptr;
  }
  if (made) {
    LruFile *lru = open_lru_file(name, pool, shared, read_only);
    if (lru == nullptr) {
      const int32_t pool_err = bufpool_err;
      const int32_t found = pool_err == kPoolIo || pool_err == kPoolBlockTooBig
                                ? diagnose_control(name, shared, read_only)
                                : 0;
      if (found != 0) {
        op.fail(found, kCtxReadControl);
      } else {
        op.fail(pool_err == kPoolBlockTooBig ? kErrBlockSize : kErrOpen,
                kCtxOpen);
      }
      bufpool_err = pool_err;
      free_tree(tree);
      free_file(file);
      return nullptr;
    }
    file->lru = lru;
    lru->before_write = close_node_block;
    file->cr.block_size = static_cast<int16_t>(lru->block_size);
    op.bind(tree);
    const bool journalled =
        own_journal &&
        (journal_present || (g_tree_journal != 0 && read_only == 0));
    if ((journalled &&
         attach_own_journal(op, name, shared, read_only) != 1) ||
        load_control(op) != 1) {
      close_lru_file(lru);
      close_journal(file);
      free_tree(tree);
      free_file(file);
      return nullptr;
    }
  } else {
    op.bind(tree);
    if (synchronise(op) != 1) {
      release(op);
      free_tree(tree);
      return nullptr;
    }
  }
  if (release(op) != 1) {
    if (made) {
      close_lru_file(file->lru);
      close_journal(file);
      free_file(file);
    }
    free_tree(tree);
    return nullptr;
  }
  if (made) add_member(&g_file_list, file);
  file->open_count += 1;
  add_member(&g_tree_list, tree);
  return tree;
}

// Writes `size` zero bytes at `offset`: in one write when a buffer can be
// had, else in pieces of 32 bytes.
int32_t write_zeros(int32_t handle, int32_t offset, int32_t size) {
  if (size <= 0) return 1;
  void *zeros = rb_malloc(static_cast<size_t>(size));
  if (zeros != nullptr) {
    std::memset(zeros, 0, static_cast<size_t>(size));
    const int32_t r = sys_write(handle, offset, size, zeros);
    rb_free(zeros);
    return r;
  }
  static const uint8_t kPiece[32] = {};
  for (int32_t done = 0; done < size; done += 32) {
    const int32_t n = size - done < 32 ? size - done : 32;
    if (sys_write(handle, offset + done, n, kPiece) != 1) return -1;
  }
  return 1;
}

// The work of cbscreate. A file of that name is removed first (refused when
// it is open in this process); the new file gets an empty control record and
// a zeroed lock region, one block in all, written through a system handle of
// its own and closed. A shared tree is then opened like any other; an
// exclusive one is opened through the pool directly, its control record
// being known. Once the old file is removed a failure leaves no usable
// file behind.
CbTree *create_tree(Op &op, const char *name, CbCompare compare,
                    int32_t block_size, int32_t shared) {
  if (block_size == 0) block_size = kDefaultBlockSize;
  if (block_size < kMinBlockSize) block_size = kMinBlockSize;
  if (block_size > kMaxBlockSize || bufpool_buffer_size() < block_size) {
    op.fail(kErrBlockSize, kCtxNewControl);
    return nullptr;
  }
  BufferPool *pool = bufpool_current();
  if (pool == nullptr) {
    op.fail(kErrNoPool, kCtxCreate);
    return nullptr;
  }
  if (name == nullptr || find_file(name) != nullptr) {
    op.fail(kErrCreate, kCtxCreate);
    return nullptr;
  }
  CbFile *file = new_file(name, 0);
  if (file == nullptr) {
    op.fail(kErrNoMemory, kCtxAllocControl);
    return nullptr;
  }
  CbTree *tree = new_tree(compare, 0);
  if (tree == nullptr) {
    free_file(file);
    op.fail(kErrNoMemory, kCtxAllocTree);
    return nullptr;
  }
  tree->file = file;
  auto discard = [&]() {
    free_tree(tree);
    free_file(file);
    return nullptr;
  };
  // With the journal on, the new file is written and synced under its
  // staged name and then put in the old one's place through the journal
  // (bufpool/journal.h), so that a failure leaves the old file or the new
  // one, never a half-written one.
  char *staged = g_tree_journal != 0 ? staged_path(name) : nullptr;
  if (g_tree_journal != 0 && staged == nullptr) {
    op.fail(kErrNoMemory, kCtxCreate);
    return discard();
  }
  const char *written = staged != nullptr ? staged : name;
  sys_remove(written);
  const int32_t h = sys_create(written);
  if (h == -1) {
    rb_free(staged);
    op.fail(kErrCreate, kCtxCreate);
    return discard();
  }
  file->cr.block_size = static_cast<int16_t>(block_size);
  uint8_t raw[kControlSize];
  encode_control(file->cr, raw);
  if (sys_write(h, 0, kControlSize, raw) != 1 ||
      write_zeros(h, kControlSize, block_size - kControlSize) != 1 ||
      (staged != nullptr && sys_flush(h) != 1)) {
    sys_close(h);
    if (staged != nullptr) sys_remove(staged);
    rb_free(staged);
    op.fail(kErrPutBlock, kCtxCreate);
    return discard();
  }
  sys_close(h);
  // Without the journal, one left beside an old file of this name belongs
  // to that file.
  int32_t placed = staged != nullptr ? -1 : 1;
  if (char *journal = journal_path(name)) {
    placed = staged != nullptr ? journal_publish(nullptr, journal, &name, 1, 1u)
                               : (sys_remove(journal), 1);
    rb_free(journal);
  }
  rb_free(staged);
  if (placed != 1) {
    op.fail(kErrCreate, kCtxCreate);
    return discard();
  }
  if (shared != 0) {
    discard();
    return open_tree(op, name, compare, shared, 0, true);
  }
  LruFile *lru = open_lru_file(name, pool, 0, 0);
  if (lru == nullptr) {
    op.fail(kErrOpen, kCtxOpen);
    return discard();
  }
  lru->before_write = close_node_block;
  file->lru = lru;
  op.bind(tree);
  if (g_tree_journal != 0 && attach_own_journal(op, name, 0, 0) != 1) {
    close_lru_file(lru);
    return discard();
  }
  file->last_seen = 0;
  file->open_count = 1;
  add_member(&g_file_list, file);
  add_member(&g_tree_list, tree);
  return tree;
}

// The flush step of cbflush and cbclose: writes back the control record and
// the dirty blocks of a file changed since the last flush.
int32_t flush_step(Op &op) {
  op.err = 0;
  op.ctx = 0;
  CbFile *f = op.file;
  if (f->lru->modified == 0) return 1;
  int32_t err = 0;
  int32_t ctx = 0;
  const uint32_t explicit_writer = kWriterExplicit | kWriterHeld;
  if (!f->shared || (f->lock_flags & explicit_writer) == explicit_writer) {
    if (!f->flush_pending) save_before_flush(op);
    const int32_t r =
        f->flush_pending ? commit(op, false, false) : write_control(op);
    if (r != 1) {
      err = op.err;
      ctx = op.ctx;
    }
  }
  if (!f->shared || has_dirty_blocks(f->lru) || f->control_pending) {
    if (f->shared) {
      int32_t got = -1;
      for (int attempt = 0; attempt < 3 && got != 1; ++attempt) {
        got = writer_lock(op);
        if (got != 1) sys_sleep(1);
      }
      if (got != 1) {
        op.ctx = kCtxLock;
        return -1;
      }
      // A commit whose control record failed is completed first.
      if (write_pending_control(op) != 1 && err == 0) {
        err = op.err;
        ctx = op.ctx;
      }
    }
    if (flush_blocks(f->lru) != 1) {
      err = kErrFlushBlocks;
      ctx = kCtxFlush;
    }
    if (err == 0 && end_own_journal(op, kCtxFlush) != 1) {
      err = kErrFlushBlocks;
      ctx = kCtxFlush;
    }
    if (release(op) != 1 && err == 0) {
      err = op.err;
      ctx = op.ctx;
    }
  }
  f->lru->modified = 0;
  op.err = err;
  if (err == 0) return 1;
  op.ctx = ctx;
  return -1;
}

void clear_codes() {
  cberrcode = 0;
  cbconcode = 0;
}

// cbopen_shared's work, with or without the file's own journal.
CbTree *open_tree_published(const char *name, CbCompare compare,
                            int32_t shared, int32_t read_only,
                            bool own_journal) {
  cbfcncode = kFnOpenShared;
  clear_codes();
  Op op;
  CbTree *t = open_tree(op, name, compare, shared, read_only, own_journal);
  publish(op, 0);
  return t;
}

}  // namespace

extern "C" {

RBAPI CbTree *RBCALL cbscreate(const char *name, CbCompare compare,
                               int32_t block_size, int32_t shared) {
  cbfcncode = kFnCreate;
  clear_codes();
  Op op;
  CbTree *t = create_tree(op, name, compare, block_size, shared);
  cbfcncode = kFnCreate;
  publish(op, 0);
  return t;
}

RBAPI CbTree *RBCALL cbcreate(const char *name, CbCompare compare,
                              int32_t block_size) {
  return cbscreate(name, compare, block_size, 0);
}

RBAPI CbTree *RBCALL cbopen_shared(const char *name, CbCompare compare,
                                   int32_t shared, int32_t read_only) {
  return open_tree_published(name, compare, shared, read_only, true);
}

RBAPI int32_t RBCALL cb_set_journal(int32_t on) {
  const int32_t previous = g_tree_journal;
  g_tree_journal = on != 0 ? 1 : 0;
  return previous;
}

RBAPI CbTree *RBCALL cbopen(const char *name, CbCompare compare) {
  CbTree *t = cbopen_shared(name, compare, 0, 0);
  cbfcncode = kFnOpen;
  return t;
}

RBAPI int32_t RBCALL cbclose(CbTree *tree) {
  cbfcncode = kFnClose;
  clear_codes();
  Op op;
  if (!check_tree(op, tree) || !check_file(op)) return publish(op, -1);
  int32_t err = 0;
  int32_t ctx = 0;
  if (flush_step(op) != 1) {
    err = op.err;
    ctx = op.ctx;
  }
  CbFile *file = tree->file;
  del_member(&g_tree_list, tree);
  if (g_recent_tree == tree) g_recent_tree = nullptr;
  free_tree(tree);
  if (file->open_count < 2) {
    if (release_all(op) != 1 && err == 0) {
      err = op.err;
      ctx = op.ctx;
    }
    if (close_lru_file(file->lru) != 1 && err == 0) {
      err = kErrCloseLru;
      ctx = kCtxCloseFile;
    }
    close_journal(file);
    del_member(&g_file_list, file);
    if (g_recent_file == file) g_recent_file = nullptr;
    free_file(file);
  } else {
    file->open_count -= 1;
  }
  op.err = err;
  op.ctx = err == 0 ? kUnset : ctx;
  return publish(op, err == 0 ? 1 : -1);
}

RBAPI int32_t RBCALL cbflush(CbTree *tree) {
  cbfcncode = kFnFlush;
  Op op;
  if (!check_tree(op, tree) || !check_file(op)) return publish(op, -1);
  return publish(op, flush_step(op));
}

RBAPI int32_t RBCALL cbexit(void) {
  cbfcncode = kFnExit;
  clear_codes();
  BufferPool *pool = bufpool_current();
  if (pool == nullptr) {
    cberrcode = kErrNoPool;
    cbconcode = kCtxReleaseAll;
    return -1;
  }
  while (g_tree_list != nullptr) {
    if (cbclose(static_cast<CbTree *>(g_tree_list)) != 1) return -1;
  }
  free_undo_area();
  if (bufpool_destroy(pool) != 1) {
    cberrcode = kErrPool;
    cbconcode = kCtxReleasePool;
    return -1;
  }
  cberrcode = 0;
  return 1;
}

RBAPI int32_t RBCALL cbblksize(const char *name) {
  cbfcncode = kFnBlkSize;
  Op op;
  if (name == nullptr) {
    op.fail(kErrOpen, kCtxReadControl);
    return publish(op, -1);
  }
  if (CbFile *open = find_file(name)) return open->cr.block_size;
  BufferPool *pool = bufpool_current();
  if (pool == nullptr) {
    op.fail(kErrNoPool, kCtxReadControl);
    return publish(op, -1);
  }
  CbFile temp;
  temp.shared = 1;
  LruFile *lru = open_lru_file(name, pool, 1, 1);
  if (lru == nullptr) {
    temp.shared = 0;
    lru = open_lru_file(name, pool, 0, 1);
  }
  if (lru == nullptr) {
    // A record whose damage hit the block size is as unreadable as one
    // damaged anywhere else under the parity word.
    const bool damaged = diagnose_control(name, 0, 1) == kErrParity;
    op.fail(damaged ? kErrGetBlock : kErrOpen, kCtxReadControl);
    return publish(op, -1);
  }
  temp.lru = lru;
  temp.cr.block_size = static_cast<int16_t>(lru->block_size);
  op.file = &temp;
  op.lru = lru;
  op.bs = lru->block_size;
  ControlRecord cr;
  int32_t result = -1;
  if (reader_lock(op) == 1) {
    if (read_control(op, &cr, kCtxReadControl) == 1) {
      result = cr.block_size;
    } else {
      op.fail(kErrGetBlock, kCtxReadControl);
    }
  }
  release(op);
  close_lru_file(lru);
  return publish(op, result);
}

RBAPI int32_t RBCALL cbjournal_hot(const char *name) {
  if (name == nullptr) return -1;
  char *path = journal_path(name);
  if (path == nullptr) return -1;
  const int32_t r = journal_hot_at(path);
  rb_free(path);
  return r;
}

RBAPI int32_t RBCALL cbdepth(CbTree *tree) {
  cbfcncode = kFnDepth;
  Op op;
  if (!check_tree(op, tree) || !check_file(op)) return publish(op, -1);
  int32_t r = -1;
  if (synchronise(op) == 1) r = op.cr().depth;
  if (release(op) != 1) r = -1;
  return publish(op, r);
}

}  // extern "C"

namespace recbase::cbt {

CbTree *open_tree_for_database(const char *name, CbCompare compare,
                               int32_t shared, int32_t read_only) {
  return open_tree_published(name, compare, shared, read_only, false);
}

}  // namespace recbase::cbt
