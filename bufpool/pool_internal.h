// The pool's own structures, shared by the two files that make it:
// bufpool/bufpool.cpp (lookup, the LRU list, replacement and the block
// operations) and bufpool/chunks.cpp (the memory the buffers live in).
// Nothing outside bufpool/ includes this header.
#ifndef RECBASE_BUFPOOL_POOL_INTERNAL_H
#define RECBASE_BUFPOOL_POOL_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "bufpool/bufpool.h"

namespace recbase {


constexpr uint32_t kNoBlock = 0xFFFFFFFFu;
struct Chunk;
constexpr int32_t kNoHandle = -1;

// The fields a lookup and a read in place use (chain, block, handle, data,
// flags) and the LRU links share the header's first cache line, next to
// nothing else, so that finding a cached block costs one line of its header.
struct BufferHeader {
  BufferHeader *hash_next;  // next on the hash chain
  uint8_t *data;            // kDataOffset bytes after the header
  BufferHeader *next;       // towards the most recently used end
  BufferHeader *prev;       // towards the least recently used end
  uint32_t block;           // block number; kNoBlock when free
  int32_t handle;           // file holding the block; kNoHandle when free
  int32_t use_count;        // number of current pins
  int32_t block_size;       // that file's block size
  uint8_t dirty;            // changed and not yet written
  uint8_t checked;          // engine's flag: node checked since loaded
  uint64_t used;            // the pool's clock at its last use
  LruFile *file;            // file holding the block; null when free
  BufferHeader *file_next;  // the file's buffer list (doubly linked)
  BufferHeader *file_prev;
  BufferHeader *dirty_next;  // the file's dirty list (doubly linked)
  BufferHeader *dirty_prev;
  Chunk *chunk;  // the chunk it was made in
};

struct Chunk {
  Chunk *next;
  uint8_t *first;     // header of buffer 0
  uint8_t *backed;    // the system was asked to give memory up to here
  int32_t fresh;      // buffers [fresh, fresh_end) were never used
  int32_t fresh_end;
  int32_t live;       // buffers of the chunk not removed
};

struct BufferPool {
  BufferPool *member_link;  // registry link; first word
  BufferHeader *lru_head;   // least recently used
  BufferHeader *lru_tail;   // most recently used
  // Hash chains: `chains` heads, a power of two; `table` points either at
  // `small_table` or at an allocation of its own.
  BufferHeader **table;
  uint32_t chains;
  BufferHeader *small_table[kMinHashChains];
  int32_t buffer_size;
  int32_t count;
  std::size_t stride;  // bytes from one buffer's header to the next
  Chunk *chunks;       // newest first
  int32_t fresh;       // fresh buffers over all chunks
  // Every use of a buffer takes the next tick of the clock. While fresh
  // buffers remain, replacement takes those and the order of the LRU list
  // is not needed: a use only notes its tick, and `unordered` says that the
  // list no longer holds the order of last use (order_lru restores it).
  uint64_t clock;
  bool unordered;
};

// x rounded up to a multiple of m, a power of two.
constexpr std::uintptr_t round_up(std::uintptr_t x, std::uintptr_t m) {
  return (x + m - 1) & ~(m - 1);
}

// Headers and data areas start on cache-line boundaries.
constexpr std::size_t kAlign = 64;
constexpr std::size_t kDataOffset = round_up(sizeof(BufferHeader), kAlign);
constexpr std::size_t kChunkOffset = round_up(sizeof(Chunk), kAlign);

// Buffer memory (bufpool/chunks.cpp).

// The next fresh buffer, free (no block, no file) and on no list; the pool
// has fresh buffers.
BufferHeader *take_fresh(BufferPool *pool);
// Makes a chunk of n fresh buffers; false when memory runs out.
bool add_chunk(BufferPool *pool, int32_t n);
// Removes one fresh buffer (the pool has some), freeing its chunk when it
// was the chunk's last.
void remove_fresh(BufferPool *pool);
// A buffer taken into use is gone from the pool; its chunk goes with the
// last of its buffers.
void remove_used(BufferPool *pool, BufferHeader *h);
// Frees every chunk; the pool then has no buffers.
void free_chunks(BufferPool *pool);

}  // namespace recbase

#endif  // RECBASE_BUFPOOL_POOL_INTERNAL_H
