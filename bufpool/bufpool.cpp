// The block buffer pool: buffers, their LRU list and hash chains, and the
// block operations of bufpool/bufpool.h (whose header comment gives the
// buffer states and the invariants this file keeps). The memory the
// buffers live in is bufpool/chunks.cpp's.
//
// The engine holds only data pointers; the header is found by stepping back
// kDataOffset bytes, and its data field pointing back at the data confirms
// that the pointer came from the pool.
#include "bufpool/bufpool.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bufpool/journal.h"
#include "bufpool/pool_internal.h"
#include "frame/alloc.h"
#include "frame/bytes.h"
#include "frame/errors.h"
#include "frame/platform.h"
#include "frame/prefetch.h"
#include "frame/registry.h"

namespace recbase {

namespace {

void *g_pool_set = nullptr;      // the buffer pool set
void *g_lru_file_set = nullptr;  // every open LruFile
BufferPool *g_current = nullptr;

// The current pool is registered; any other is looked up in the set.
bool registered(BufferPool *pool) {
  return (pool == g_current && pool != nullptr) ||
         is_member(&g_pool_set, pool) == 1;
}

// A file is usable when it is non-null and its pool is still registered.
bool usable(LruFile *file) { return file != nullptr && registered(file->pool); }

BufferHeader *header_of(uint8_t *data) {
  if (data == nullptr) return nullptr;
  auto *h = reinterpret_cast<BufferHeader *>(data - kDataOffset);
  return h->data == data ? h : nullptr;
}

// The chain of (handle, block). Handles are multiplied apart so that the
// consecutive block numbers of several files spread over different chains.
BufferHeader **chain(BufferPool *pool, int32_t handle, uint32_t block) {
  const uint32_t key = static_cast<uint32_t>(handle) * 0x9E3779B1u ^ block;
  return &pool->table[key & (pool->chains - 1)];
}

// The buffer of (handle, block) on the chain that starts at h, or null.
BufferHeader *find_on(BufferHeader *h, int32_t handle, uint32_t block) {
  for (; h != nullptr; h = h->hash_next) {
    if (h->block == block && h->handle == handle) return h;
  }
  return nullptr;
}

BufferHeader *find(BufferPool *pool, int32_t handle, uint32_t block) {
  return find_on(*chain(pool, handle, block), handle, block);
}

void hash_in(BufferPool *pool, BufferHeader *h) {
  BufferHeader **head = chain(pool, h->handle, h->block);
  h->hash_next = *head;
  *head = h;
}

void hash_out(BufferPool *pool, BufferHeader *h) {
  for (BufferHeader **p = chain(pool, h->handle, h->block); *p != nullptr;
       p = &(*p)->hash_next) {
    if (*p == h) {
      *p = h->hash_next;
      break;
    }
  }
  h->hash_next = nullptr;
}

// Sizes the hash table for the buffer count: the smallest power of two that
// is at least the count (and kMinHashChains). When the new table cannot be
// allocated the old one stays: lookups are then slower, never wrong.
void resize_table(BufferPool *pool) {
  uint32_t want = kMinHashChains;
  while (want < static_cast<uint32_t>(pool->count) && want < (1u << 30)) {
    want <<= 1;
  }
  if (want == pool->chains) return;
  BufferHeader **fresh = pool->small_table;
  if (want > static_cast<uint32_t>(kMinHashChains)) {
    fresh = static_cast<BufferHeader **>(rb_malloc(want * sizeof *fresh));
    if (fresh == nullptr) return;
  }
  std::memset(fresh, 0, want * sizeof *fresh);
  if (pool->table != pool->small_table) rb_free(pool->table);
  pool->table = fresh;
  pool->chains = want;
  for (BufferHeader *h = pool->lru_head; h != nullptr; h = h->next) {
    if (h->handle != kNoHandle) hash_in(pool, h);
  }
}

void lru_unlink(BufferPool *pool, BufferHeader *h) {
  (h->prev != nullptr ? h->prev->next : pool->lru_head) = h->next;
  (h->next != nullptr ? h->next->prev : pool->lru_tail) = h->prev;
  h->next = h->prev = nullptr;
}

void lru_push_head(BufferPool *pool, BufferHeader *h) {
  h->prev = nullptr;
  h->next = pool->lru_head;
  (pool->lru_head != nullptr ? pool->lru_head->prev : pool->lru_tail) = h;
  pool->lru_head = h;
}

// Sorts the LRU list by the tick of last use, keeping the list's order
// between equal ticks (buffers never used since they were pushed at the
// head): the order that moving each buffer at its use would have made. A
// merge sort of the list in place, without allocation.
void order_lru(BufferPool *pool) {
  pool->unordered = false;
  BufferHeader *list = pool->lru_head;
  for (std::size_t width = 1;; width *= 2) {
    BufferHeader *merged = nullptr;
    BufferHeader **end = &merged;
    std::size_t runs = 0;
    while (list != nullptr) {
      // Two runs of up to `width` buffers each, merged onto the end.
      BufferHeader *a = list;
      BufferHeader *b = a;
      std::size_t na = 0;
      while (b != nullptr && na < width) b = b->next, ++na;
      std::size_t nb = 0;
      while (na > 0 || (nb < width && b != nullptr)) {
        const bool take_a =
            na > 0 && (nb == width || b == nullptr || a->used <= b->used);
        BufferHeader *&from = take_a ? a : b;
        *end = from;
        end = &from->next;
        from = from->next;
        if (take_a) {
          --na;
        } else {
          ++nb;
        }
      }
      list = b;
      ++runs;
    }
    *end = nullptr;
    list = merged;
    if (runs <= 1) break;
  }
  BufferHeader *prev = nullptr;
  for (BufferHeader *h = list; h != nullptr; h = h->next) {
    h->prev = prev;
    prev = h;
  }
  pool->lru_head = list;
  pool->lru_tail = prev;
}

// A use: the buffer moves to the most recently used end, or, while fresh
// buffers remain, notes its tick.
void touch(BufferPool *pool, BufferHeader *h) {
  h->used = ++pool->clock;
  if (pool->fresh > 0) {
    pool->unordered = pool->unordered || pool->lru_tail != h;
    return;
  }
  if (pool->unordered) order_lru(pool);
  if (pool->lru_tail == h) return;
  lru_unlink(pool, h);
  h->prev = pool->lru_tail;
  pool->lru_tail->next = h;
  pool->lru_tail = h;
}

// The file's dirty list: a buffer joins at the tail when it becomes dirty
// and leaves when it is written back or dropped.
void mark_dirty(BufferHeader *h) {
  if (h->dirty != 0) return;
  h->dirty = 1;
  LruFile *f = h->file;
  h->dirty_next = nullptr;
  h->dirty_prev = f->dirty_tail;
  (f->dirty_tail != nullptr ? f->dirty_tail->dirty_next : f->dirty_head) = h;
  f->dirty_tail = h;
}

void mark_clean(BufferHeader *h) {
  if (h->dirty == 0) return;
  h->dirty = 0;
  LruFile *f = h->file;
  (h->dirty_prev != nullptr ? h->dirty_prev->dirty_next : f->dirty_head) =
      h->dirty_next;
  (h->dirty_next != nullptr ? h->dirty_next->dirty_prev : f->dirty_tail) =
      h->dirty_prev;
  h->dirty_next = h->dirty_prev = nullptr;
}

// Makes a buffer free: off its chain and its file's lists, no block, clean,
// unpinned.
void make_free(BufferPool *pool, BufferHeader *h) {
  if (h->handle != kNoHandle) hash_out(pool, h);
  if (h->file != nullptr) {
    mark_clean(h);
    LruFile *f = h->file;
    (h->file_prev != nullptr ? h->file_prev->file_next : f->buffers) =
        h->file_next;
    if (h->file_next != nullptr) h->file_next->file_prev = h->file_prev;
    h->file_next = h->file_prev = nullptr;
    h->file = nullptr;
    f->drops += 1;
  }
  h->use_count = 0;
  h->handle = kNoHandle;
  h->block = kNoBlock;
  h->dirty = 0;
  h->checked = 0;
}

void assign(BufferPool *pool, BufferHeader *h, LruFile *file, uint32_t n) {
  h->use_count = 1;
  h->handle = file->handle;
  h->block = n;
  h->block_size = file->block_size;
  h->dirty = 0;
  h->checked = 0;
  h->file = file;
  h->file_prev = nullptr;
  h->file_next = file->buffers;
  if (file->buffers != nullptr) file->buffers->file_prev = h;
  file->buffers = h;
  hash_in(pool, h);
}

uint32_t offset_of(const BufferHeader *h) {
  return h->block * static_cast<uint32_t>(h->block_size);
}

// Saves the images of every dirty block of the file in its journal and
// syncs once, so that the write-backs that follow need nothing more.
int32_t journal_dirty(LruFile *f) {
  if (journal_save_dirty(f) != 1) return -1;
  return journal_sync(f->journal);
}

int32_t write_back(BufferHeader *h) {
  LruFile *f = h->file;
  if (f->journal != nullptr &&
      !journal_covers(f->journal, f->journal_file, offset_of(h),
                      static_cast<uint32_t>(h->block_size)) &&
      journal_dirty(f) != 1) {
    return -1;
  }
  if (f->before_write != nullptr) {
    f->before_write(h->data, h->block_size, h->block);
  }
  return sys_writeblock(h->handle, h->block, h->block_size, h->data);
}

// Replacement: the least recently used unpinned buffer, written back first
// when dirty. A buffer whose write fails keeps its block and stays dirty;
// the walk goes on. The buffer found is not moved in the LRU list.
BufferHeader *take_free(BufferPool *pool) {
  if (pool->fresh > 0) {
    // A fresh buffer joins at the least recently used end, where the next
    // replacement finds it.
    BufferHeader *h = take_fresh(pool);
    lru_push_head(pool, h);
    return h;
  }
  if (pool->unordered) order_lru(pool);
  for (BufferHeader *h = pool->lru_head; h != nullptr; h = h->next) {
    if (h->use_count != 0) continue;
    if (h->dirty != 0 && write_back(h) != 1) {
      bufpool_err = kPoolIo;
      continue;
    }
    make_free(pool, h);
    return h;
  }
  bufpool_err = kPoolAllPinned;
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// The pool

BufferPool *bufpool_current() { return g_current; }
int32_t bufpool_buffer_size() {
  return g_current != nullptr ? g_current->buffer_size : 0;
}
int32_t bufpool_buffer_count() {
  return g_current != nullptr ? g_current->count : 0;
}
void bufpool_set_current(BufferPool *pool) { g_current = pool; }

BufferPool *bufpool_create(int32_t buffer_size, int32_t count) {
  bufpool_err = kPoolOk;
  if (buffer_size <= 0 || count < 0) {
    bufpool_err = kPoolNoMemory;
    return nullptr;
  }
  auto *pool = static_cast<BufferPool *>(rb_malloc(sizeof(BufferPool)));
  if (pool == nullptr) {
    bufpool_err = kPoolNoMemory;
    return nullptr;
  }
  std::memset(pool, 0, sizeof *pool);
  pool->buffer_size = buffer_size;
  pool->stride =
      kDataOffset + round_up(static_cast<std::size_t>(buffer_size), kAlign);
  pool->table = pool->small_table;
  pool->chains = kMinHashChains;
  add_member(&g_pool_set, pool);
  if (bufpool_addbufs(pool, count) < count) {
    free_chunks(pool);
    if (pool->table != pool->small_table) rb_free(pool->table);
    del_member(&g_pool_set, pool);
    rb_free(pool);
    bufpool_err = kPoolNoMemory;
    return nullptr;
  }
  return pool;
}

int32_t bufpool_destroy(BufferPool *pool) {
  bufpool_err = kPoolOk;
  if (!registered(pool)) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  int32_t result = 1;
  if (pool->unordered) order_lru(pool);  // dirty buffers go back in LRU order
  while (pool->lru_head != nullptr) {
    BufferHeader *h = pool->lru_head;
    if (h->dirty != 0 && write_back(h) != 1) {
      bufpool_err = kPoolIo;
      result = -1;
    }
    // A file still open loses its lists with the buffers.
    if (h->file != nullptr) {
      h->file->drops += 1;
      h->file->buffers = nullptr;
      h->file->dirty_head = h->file->dirty_tail = nullptr;
    }
    lru_unlink(pool, h);
  }
  free_chunks(pool);
  if (pool->table != pool->small_table) rb_free(pool->table);
  del_member(&g_pool_set, pool);
  if (pool == g_current) g_current = nullptr;
  rb_free(pool);
  return result;
}

int32_t bufpool_addbufs(BufferPool *pool, int32_t n) {
  bufpool_err = kPoolOk;
  if (!registered(pool)) {
    bufpool_err = kPoolNotRegistered;
    return 0;
  }
  // One chunk for all n; when that much memory cannot be had, chunks of
  // half the size, and so on down to single buffers.
  int32_t added = 0;
  int32_t size = n;
  while (added < n) {
    if (size > n - added) size = n - added;
    if (add_chunk(pool, size)) {
      added += size;
    } else if (size > 1) {
      size /= 2;
    } else {
      bufpool_err = kPoolNoMemory;
      break;
    }
  }
  resize_table(pool);
  return added;
}

int32_t bufpool_rmbufs(BufferPool *pool, int32_t n) {
  bufpool_err = kPoolOk;
  if (!registered(pool)) {
    bufpool_err = kPoolNotRegistered;
    return 0;
  }
  int32_t removed = 0;
  for (; removed < n; ++removed) {
    if (pool->fresh > 0) {
      remove_fresh(pool);
    } else {
      BufferHeader *h = take_free(pool);
      if (h == nullptr) break;
      lru_unlink(pool, h);
      remove_used(pool, h);
    }
    --pool->count;
  }
  resize_table(pool);
  bufpool_err = kPoolOk;
  return removed;
}

// ---------------------------------------------------------------------------
// Files

LruFile *open_lru_file(const char *name, BufferPool *pool, int32_t shared,
                       int32_t read_only) {
  bufpool_err = kPoolOk;
  if (!registered(pool)) {
    bufpool_err = kPoolNotRegistered;
    return nullptr;
  }
  const int32_t handle = sys_open(name, read_only == 0 ? 1 : 0, shared);
  if (handle == -1) {
    bufpool_err = kPoolIo;
    return nullptr;
  }
  uint8_t size_bytes[2];
  if (sys_readblock(handle, 0, 2, size_bytes) != 1) {
    sys_close(handle);
    bufpool_err = kPoolIo;
    return nullptr;
  }
  // The file's first two bytes are its block size, little-endian, signed.
  const int32_t block_size = get_le16s(size_bytes);
  if (block_size <= 0) {
    sys_close(handle);
    bufpool_err = kPoolIo;
    return nullptr;
  }
  if (block_size > pool->buffer_size) {
    sys_close(handle);
    bufpool_err = kPoolBlockTooBig;
    return nullptr;
  }
  auto *file = static_cast<LruFile *>(rb_malloc(sizeof(LruFile)));
  if (file == nullptr) {
    sys_close(handle);
    bufpool_err = kPoolNoMemory;
    return nullptr;
  }
  file->member_link = nullptr;
  file->handle = handle;
  file->pool = pool;
  file->block_size = block_size;
  file->modified = 0;
  file->buffers = nullptr;
  file->dirty_head = file->dirty_tail = nullptr;
  file->journal = nullptr;
  file->journal_file = 0;
  file->drops = 0;
  file->before_write = nullptr;
  file->reserved_end = 0;
  file->cannot_reserve = 0;
  add_member(&g_lru_file_set, file);
  return file;
}

int32_t close_lru_file(LruFile *file) {
  bufpool_err = kPoolOk;
  if (!usable(file) || is_member(&g_lru_file_set, file) != 1) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  const int32_t flushed = flush_blocks(file);
  const int32_t saved_err = bufpool_err;
  const int32_t purged = purge_all_blocks(file);
  if (purged == 1) bufpool_err = saved_err;
  release_reserve(file);
  sys_close(file->handle);
  del_member(&g_lru_file_set, file);
  rb_free(file);
  return flushed == 1 && purged == 1 ? 1 : -1;
}

// ---------------------------------------------------------------------------
// Blocks

uint8_t *get_block(LruFile *file, uint32_t n) {
  bufpool_err = kPoolOk;
  if (!usable(file)) {
    bufpool_err = kPoolNotRegistered;
    return nullptr;
  }
  BufferPool *pool = file->pool;
  BufferHeader *h = find(pool, file->handle, n);
  if (h != nullptr) {
    ++h->use_count;
  } else {
    h = take_free(pool);
    if (h == nullptr) return nullptr;
    if (sys_readblock(file->handle, n, file->block_size, h->data) != 1) {
      bufpool_err = kPoolIo;
      return nullptr;
    }
    assign(pool, h, file, n);
  }
  touch(pool, h);
  return h->data;
}

const uint8_t *peek_block(LruFile *file, uint32_t n) {
  if (file == nullptr || file->pool != g_current || g_current == nullptr) {
    return nullptr;
  }
  const BufferHeader *h = find(file->pool, file->handle, n);
  return h != nullptr ? h->data : nullptr;
}

// Before the hash walk, the lines of the data of the buffer that heads
// block n's chain are asked for. Its data lies kDataOffset bytes past its
// header, so the prefetches go out while the header's own line, which says
// whether it holds the block, is still on its way: the node's lines and the
// header's arrive together instead of one after the other. Chains are about
// one buffer long, so the head is nearly always the block; a wrong guess
// costs only the prefetches. Blocks above 8 KiB are left alone (a search
// reads few of their lines).
namespace {

// The lookup and use of read_block and use_block, prefetching the chain
// head's lines first when asked.
inline const uint8_t *use_in_place(LruFile *file, uint32_t n, bool prefetch) {
  if (file == nullptr || file->pool != g_current || g_current == nullptr) {
    return nullptr;
  }
  BufferHeader *const head = *chain(file->pool, file->handle, n);
  if (prefetch && head != nullptr && file->block_size <= 8192) {
    prefetch_lines(reinterpret_cast<const uint8_t *>(head) + kDataOffset,
                   file->block_size);
  }
  BufferHeader *h = find_on(head, file->handle, n);
  if (h == nullptr) return nullptr;
  touch(file->pool, h);
  return h->data;
}

}  // namespace

const uint8_t *read_block(LruFile *file, uint32_t n) {
  return use_in_place(file, n, true);
}

const uint8_t *use_block(LruFile *file, uint32_t n, bool prefetch) {
  bufpool_err = kPoolOk;
  return use_in_place(file, n, prefetch);
}

int32_t use_data(LruFile *file, const uint8_t *data) {
  bufpool_err = kPoolOk;
  BufferHeader *h = header_of(const_cast<uint8_t *>(data));
  if (!usable(file) || h == nullptr) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  touch(file->pool, h);
  return 1;
}

int32_t dirty_block(LruFile *file, uint32_t n) {
  bufpool_err = kPoolOk;
  BufferHeader *h = usable(file) ? find(file->pool, file->handle, n) : nullptr;
  if (h == nullptr) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  mark_dirty(h);
  file->modified = 2;
  touch(file->pool, h);
  return 1;
}

uint8_t *get_empty_block(LruFile *file, uint32_t n) {
  bufpool_err = kPoolOk;
  if (!usable(file)) {
    bufpool_err = kPoolNotRegistered;
    return nullptr;
  }
  BufferPool *pool = file->pool;
  BufferHeader *h = take_free(pool);
  if (h == nullptr) return nullptr;
  assign(pool, h, file, n);
  std::memset(h->data, 0, static_cast<std::size_t>(pool->buffer_size));
  touch(pool, h);
  return h->data;
}

int32_t put_block(LruFile *file, uint8_t *data, int32_t write_now) {
  bufpool_err = kPoolOk;
  BufferHeader *h = header_of(data);
  if (!usable(file) || h == nullptr) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  if (h->use_count > 0) --h->use_count;
  if (write_now != 0) {
    // Block 0 of an unmodified file is not written: it begins with the
    // control record, which the engine writes itself.
    if (file->modified != 0 || h->block != 0) {
      if (file->journal != nullptr &&
          journal_protect(file->journal, file->journal_file, offset_of(h),
                          static_cast<uint32_t>(file->block_size)) != 1) {
        bufpool_err = kPoolIo;
        return -1;
      }
      if (file->before_write != nullptr) {
        file->before_write(data, file->block_size, h->block);
      }
      if (sys_writeblock(file->handle, h->block, file->block_size, data) != 1) {
        bufpool_err = kPoolIo;
        return -1;
      }
      file->modified = 2;
    }
    mark_clean(h);
  } else {
    mark_dirty(h);
    file->modified = 2;
  }
  touch(file->pool, h);
  return 1;
}

int32_t release_block(LruFile *file, uint8_t *data) {
  bufpool_err = kPoolOk;
  BufferHeader *h = header_of(data);
  if (!usable(file) || h == nullptr) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  if (h->use_count > 0) --h->use_count;
  touch(file->pool, h);
  return 1;
}

namespace {

// Drops one buffered block; -1 with the reason when a change or a pin was
// lost.
int32_t drop(BufferPool *pool, BufferHeader *h) {
  int32_t result = 1;
  if (h->dirty != 0) {
    bufpool_err = kPoolPurgeDirty;
    result = -1;
  } else if (h->use_count != 0) {
    bufpool_err = kPoolPurgePinned;
    result = -1;
  }
  make_free(pool, h);
  return result;
}

}  // namespace

int32_t purge_block(LruFile *file, uint32_t n) {
  bufpool_err = kPoolOk;
  if (!usable(file)) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  BufferHeader *h = find(file->pool, file->handle, n);
  return h == nullptr ? 1 : drop(file->pool, h);
}

int32_t purge_all_blocks(LruFile *file) {
  bufpool_err = kPoolOk;
  if (!usable(file)) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  int32_t result = 1;
  while (file->buffers != nullptr) {
    if (drop(file->pool, file->buffers) != 1) result = -1;
  }
  return result;
}

int32_t flush_blocks(LruFile *file) {
  bufpool_err = kPoolOk;
  if (!usable(file)) {
    bufpool_err = kPoolNotRegistered;
    return -1;
  }
  int32_t result = 1;
  if (file->journal != nullptr && file->dirty_head != nullptr &&
      journal_dirty(file) != 1) {
    bufpool_err = kPoolIo;
    return -1;
  }
  BufferHeader *next = nullptr;
  for (BufferHeader *h = file->dirty_head; h != nullptr; h = next) {
    next = h->dirty_next;
    if (write_back(h) != 1) {
      bufpool_err = kPoolIo;
      result = -1;
      continue;
    }
    mark_clean(h);
  }
  if (sys_flush(file->handle) != 1) {
    bufpool_err = kPoolIo;
    result = -1;
  }
  return result;
}

int32_t journal_save_dirty(LruFile *file) {
  if (file->journal == nullptr || file->dirty_head == nullptr) return 1;
  for (BufferHeader *h = file->dirty_head; h != nullptr; h = h->dirty_next) {
    if (journal_mark(file->journal, file->journal_file, offset_of(h)) != 1) {
      return -1;
    }
  }
  return journal_save_marked(file->journal, file->journal_file);
}

int32_t has_dirty_blocks(LruFile *file) {
  bufpool_err = kPoolOk;
  if (!usable(file)) return 0;
  return file->dirty_head != nullptr ? 1 : 0;
}

uint8_t &block_checked(uint8_t *data) {
  return reinterpret_cast<BufferHeader *>(data - kDataOffset)->checked;
}

// ---------------------------------------------------------------------------
// Introspection

PoolStats bufpool_stats(BufferPool *pool) {
  PoolStats stats{0, 0, 0, 0};
  if (!registered(pool)) return stats;
  stats.buffers = pool->fresh;
  for (BufferHeader *h = pool->lru_head; h != nullptr; h = h->next) {
    ++stats.buffers;
    if (h->use_count > 0) ++stats.pinned;
    if (h->dirty != 0) ++stats.dirty;
    if (h->handle != kNoHandle) ++stats.in_use;
  }
  return stats;
}

int32_t bufpool_use_count(LruFile *file, uint32_t n) {
  if (!usable(file)) return -1;
  BufferHeader *h = find(file->pool, file->handle, n);
  return h != nullptr ? h->use_count : -1;
}

}  // namespace recbase
