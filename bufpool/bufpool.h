// The block buffer pool: one process-wide LRU cache of fixed-size disk-block
// buffers shared by every open B-tree file. It moves whole blocks by file and
// block number and knows nothing of what they hold.
//
// Buffer states:
//
//        get_block / get_empty_block          put_block(write_now = 0)
//   free ---------------------------> pinned ----------------------> dirty
//    ^                                 |  ^                             |
//    |     replacement (clean)         |  | get_block                   |
//    +------------- cached <-----------+  +-----------------------------+
//    |              release_block /          |
//    |              put_block(write_now=1)   | replacement / flush_blocks:
//    +-------- purge_block (drops changes) <-+ written back, then cached
//
// Invariants:
//  1. Each buffer is its header followed by buffer_size bytes of data, laid
//     side by side with others in one allocation per cbinit or cbaddbufs;
//     the engine sees only the data pointer and gives it back.
//  2. A buffer holding a block is on exactly one hash chain, newest first,
//     and on its file's buffer list; a free buffer (handle -1, block -1) is
//     on neither. The hash table has a power of two of chains, at least
//     kMinHashChains and at least the buffer count, so chains stay about one
//     buffer long; adding or removing buffers resizes it.
//  3. Every buffer that was ever used is on the LRU list, least recently
//     used first; get, put, release and read_block move a buffer to the
//     tail. Buffers never used are on no list and are taken before any on
//     it; while there are such buffers, a use only notes the time, and the
//     list is sorted into that order once replacement (or the pool's
//     destruction) needs it.
//  4. A dirty buffer is on its file's dirty list, in the order it became
//     dirty; a clean one is not. Flushing a file walks only that list and
//     purging it only its buffer list, never the whole pool.
//  5. A buffer with use_count > 0 (pinned) is never replaced or freed.
//     Replacement walks from the least recently used end, writes a dirty
//     candidate back first and skips one whose write fails.
//  6. Nothing is allocated on the get/put/release path.
//  7. The pool never has fewer than 6 buffers.
//  8. With a journal on a file, no block of it is written before the
//     journal holds (synced) its image as of the last flush point; the
//     images of all the file's dirty blocks are saved together, with one
//     sync, when the first of them must be written.
//  9. bufpool_err is the status of the last operation: every operation
//     below sets it to 0 on entry unless noted.
#ifndef RECBASE_BUFPOOL_BUFPOOL_H
#define RECBASE_BUFPOOL_BUFPOOL_H

#include <cstdint>

namespace recbase {

// The hash table never has fewer chains than this.
constexpr int32_t kMinHashChains = 64;
constexpr int32_t kMinBuffers = 6;

// bufpool_err values.
enum PoolError : int32_t {
  kPoolOk = 0,
  kPoolNotRegistered = 1,
  kPoolNoMemory = 2,
  kPoolAllPinned = 3,
  kPoolIo = 4,
  kPoolPurgePinned = 6,
  kPoolBlockTooBig = 7,
  kPoolPurgeDirty = 9,
};

struct BufferPool;
struct BufferHeader;
struct Journal;

// A B-tree file as the pool sees it. Registered in the LRU file set.
struct LruFile {
  LruFile *member_link;  // registry link; first word
  int32_t handle;        // OS handle from sys_open
  BufferPool *pool;
  int32_t block_size;  // from bytes 0-1 of the file, signed 16-bit
  // 0 after open and after a completed flush; 2 once a block of the file is
  // put dirty or written.
  uint8_t modified;
  // The pool's bookkeeping: the buffers holding blocks of this file, and
  // those of them that are dirty (oldest first).
  BufferHeader *buffers;
  BufferHeader *dirty_head;
  BufferHeader *dirty_tail;
  // The rollback journal that covers the file (bufpool/journal.h), and the
  // file's number in it; null when the file keeps none. Every write of a
  // block goes through it first.
  Journal *journal;
  int32_t journal_file;
  // Buffers of this file that stopped holding their block (replaced,
  // purged, removed, or gone with the pool). A data pointer that peek_block
  // gave is still its block's while this count stands: a caller may keep
  // one between calls and check the count instead of looking it up again.
  uint64_t drops;
  // Called on a block's data just before the pool writes it (null: nothing
  // is): the B-tree layer closes its open leaves there (cbt/node_format.h).
  void (*before_write)(uint8_t *data, int32_t block_size, uint32_t block);
  // Disk space held for blocks beyond the file's end (bufpool/growth.cpp):
  // reserved_end is the byte offset up to which the file has its space,
  // its size when first asked and raised by each reservation, 0 until then;
  // cannot_reserve is set once the file system has refused to hold space.
  uint32_t reserved_end;
  uint8_t cannot_reserve;
};

// Creates and registers a pool of count buffers of buffer_size bytes; null
// with bufpool_err kPoolNoMemory when not all of them can be made.
BufferPool *bufpool_create(int32_t buffer_size, int32_t count);
// Writes every dirty buffer back (a failure sets bufpool_err kPoolIo and the
// walk goes on), frees every buffer, unregisters and frees the pool. -1 when
// the pool is not registered (bufpool_err kPoolNotRegistered) or any write
// failed. Destroying the current pool also clears it: bufpool_current() is then
// null and the size and count read 0, so cbinit may run again.
int32_t bufpool_destroy(BufferPool *pool);
// Adds up to n clean, free, zero-filled buffers at the least recently used
// end; returns how many. Not registered: bufpool_err kPoolNotRegistered; out of
// memory stops with bufpool_err kPoolNoMemory.
int32_t bufpool_addbufs(BufferPool *pool, int32_t n);
// Removes up to n replaceable buffers (dirty ones written back first);
// returns how many. Callers keep at least kMinBuffers.
int32_t bufpool_rmbufs(BufferPool *pool, int32_t n);

// The process's pool (null when none), and its size and count as reported
// by cbbufsize/cbbufcnt (0 when there is no pool).
BufferPool *bufpool_current();
int32_t bufpool_buffer_size();
int32_t bufpool_buffer_count();
// Makes pool the process's pool (cbinit, after creating it).
void bufpool_set_current(BufferPool *pool);

// Opens name through sys_open(name, !read_only, shared) and reads the block
// size from bytes 0-1. Null with bufpool_err kPoolNoMemory, kPoolIo (open or
// read failed), kPoolBlockTooBig (block size larger than the pool's buffers).
LruFile *open_lru_file(const char *name, BufferPool *pool, int32_t shared,
                       int32_t read_only);
// flush_blocks, purge_all_blocks, give back the space held beyond the
// file's end (release_reserve), sys_close, unregister, free. 1 only when the
// flush and the purge both gave 1.
int32_t close_lru_file(LruFile *file);

// Holds disk space for block n, beyond the file's end, so that the block can
// wait in the pool for write-back and still never fail there for want of
// space: 1 held; 0 when the file system cannot hold space without writing
// (the caller writes the block at once instead); -1 when space cannot be
// had (bufpool_err kPoolIo, the native error in g_sys_last_error). Space is
// held ahead, an eighth of the file at a time (at least 64 KiB, at most
// 8 MiB), falling back to the one block when that much is refused.
int32_t reserve_block(LruFile *file, uint32_t n);
// Forgets what reserve_block knew of the file's space (after the file was
// cut short, as a journal's rollback does).
void forget_reserve(LruFile *file);
// Cuts the file at its own size, giving back space held beyond its end.
// Best effort: space left held wastes disk and nothing else.
void release_reserve(LruFile *file);

// Pins block n of the file, reading it when it is not buffered. Null with
// bufpool_err kPoolAllPinned (every buffer pinned) or kPoolIo (read failed).
uint8_t *get_block(LruFile *file, uint32_t n);
// Pins a free buffer for block n, zero-filled, without reading the file
// (for blocks beyond its end). Null with bufpool_err kPoolAllPinned.
uint8_t *get_empty_block(LruFile *file, uint32_t n);
// The data of block n of the file when the pool holds it, else null;
// neither pins nor moves the buffer, and sets no bufpool_err. The pointer
// is good only until the next call that may replace a buffer, or for as
// long as the file's drops count stands: for reading a cached node where
// nothing can happen in between (a cursor stepping within its leaf).
const uint8_t *peek_block(LruFile *file, uint32_t n);
// peek_block for a block that is being used: the buffer moves in the LRU
// order as a get and its release would move it (a descent that is done
// with each node before it asks for the next). The block's cache lines are
// prefetched (blocks up to 8 KiB), as a search of the node reads them.
const uint8_t *read_block(LruFile *file, uint32_t n);
// For a change that would get block n and release it with nothing between
// them: when the pool holds the block, the use of the buffer that they would
// make and bufpool_err kPoolOk as they leave it, and its data; else null,
// with nothing done but bufpool_err set to kPoolOk (as get_block sets it on
// entry). prefetch asks for the block's lines as read_block does (for a
// node to be searched); without it, nothing of the block is read.
const uint8_t *use_block(LruFile *file, uint32_t n, bool prefetch);
// use_block for a block whose data the caller has from peek_block, with
// nothing since that may have replaced a buffer: the use of the buffer that
// a get and its release would make, bufpool_err kPoolOk, without a lookup.
// -1 with bufpool_err kPoolNotRegistered when data is no buffer of the
// file's pool.
int32_t use_data(LruFile *file, const uint8_t *data);
// For a change that would get block n, change it in place and put it back
// (write_now 0) with nothing between them, and has changed the buffer's
// data without a pin: marks the buffer dirty and uses it, as that get and
// put would, bufpool_err kPoolOk. -1 with bufpool_err kPoolNotRegistered
// when the pool does not hold the block (the caller holds it: never).
int32_t dirty_block(LruFile *file, uint32_t n);
// Unpins; write_now non-zero writes the block at once (when the file's
// modified flag is set or n is not 0), else marks it dirty. -1 with
// bufpool_err kPoolIo when the write fails.
int32_t put_block(LruFile *file, uint8_t *data, int32_t write_now);
// Unpins an unchanged block. Always 1.
int32_t release_block(LruFile *file, uint8_t *data);
// Drops block n from the pool. -1 with bufpool_err kPoolPurgeDirty when it was
// dirty (the change is lost) or kPoolPurgePinned when it was pinned; it is
// dropped in every case.
int32_t purge_block(LruFile *file, uint32_t n);
// purge_block for every buffered block of the file.
int32_t purge_all_blocks(LruFile *file);
// Writes every dirty block of the file, then sys_flush. -1 with bufpool_err
// kPoolIo when any write or the flush failed (the walk goes on).
int32_t flush_blocks(LruFile *file);
// 1 when a buffer of the file is dirty, else 0.
int32_t has_dirty_blocks(LruFile *file);
// Appends to the file's journal the images of its dirty blocks not saved
// yet, without syncing (a flush point saves everything, then syncs once).
// 1, or -1 when the journal cannot be written; 1 without a journal.
int32_t journal_save_dirty(LruFile *file);

// Per-buffer flag for the engine's use, cleared whenever the buffer is
// (re)loaded or assigned to a block. The B-tree layer sets it once it has
// checked the node read from disk, so a cached node is checked only once.
uint8_t &block_checked(uint8_t *data);
inline uint8_t block_checked(const uint8_t *data) {
  return block_checked(const_cast<uint8_t *>(data));
}

// Introspection for tests and tools.
struct PoolStats {
  int32_t buffers;
  int32_t pinned;  // buffers with use_count > 0
  int32_t dirty;
  int32_t in_use;  // buffers holding a block
};
PoolStats bufpool_stats(BufferPool *pool);
// use_count of the buffer holding block n of the file; -1 when not buffered.
int32_t bufpool_use_count(LruFile *file, uint32_t n);

}  // namespace recbase

#endif  // RECBASE_BUFPOOL_BUFPOOL_H
