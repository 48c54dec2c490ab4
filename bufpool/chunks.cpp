// The memory of the pool's buffers. They are made in chunks, one zero-filled allocation per
// chunk (cbinit makes one, each cbaddbufs another), laid out as
//
//   +-------+--------+-------------------+--------+-------------------+--
//   | Chunk | header | data: buffer_size | header | data              | ..
//   +-------+--------+-------------------+--------+-------------------+--
//           ^ first, on a 64-byte boundary; buffer i's header at
//             first + i * stride, its data kDataOffset bytes further
//
// A buffer that was never used ("fresh") is on no list and its bytes are
// never touched, so the system gives the chunk's pages memory only as
// buffers come into use: a pool of 16,384 buffers that a workload of 7,000
// blocks fills holds the memory of 7,000. Fresh buffers are the ones that
// replacement takes first (they would be the least recently used end of
// the LRU list), so the order in which blocks are replaced is the same as
// with every buffer on the list from the start. A chunk is freed once
// every one of its buffers has been removed.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bufpool/pool_internal.h"
#include "frame/alloc.h"
#include "frame/platform.h"

namespace recbase {
namespace {

// A chunk with fresh buffers; the pool has some.
Chunk *fresh_chunk(BufferPool *pool) {
  Chunk *c = pool->chunks;
  while (c->fresh == c->fresh_end) c = c->next;
  return c;
}

// The header of the chunk's buffer i (i = fresh_end: one past the last
// buffer not removed).
uint8_t *buffer_at(const BufferPool *pool, const Chunk *c, int32_t i) {
  return c->first + static_cast<std::size_t>(i) * pool->stride;
}

// Fresh buffers are taken in address order, so the chunk's memory is used
// from its start up. A page's first touch costs a fault of its own (about
// 10 us each on the virtual machines we measure on, where it was an eighth
// of an ordered load's time); the pool asks instead for the next stretch
// of the chunk in one call, a few buffers before they are used. A stretch
// holds at most this much memory that no buffer has used yet.
constexpr std::uintptr_t kBackAhead = 16 * 1024;

// Asks for the memory up to the first stretch boundary at or past need (the
// end of the buffer about to be used), within the chunk's buffers not
// removed. Boundaries are multiples of kBackAhead, which are page
// boundaries for every page size up to it, so no page falls between calls.
void back_ahead(const BufferPool *pool, Chunk *c, const uint8_t *need) {
  const auto from = reinterpret_cast<std::uintptr_t>(c->backed);
  std::uintptr_t to =
      round_up(reinterpret_cast<std::uintptr_t>(need), kBackAhead);
  const auto end =
      reinterpret_cast<std::uintptr_t>(buffer_at(pool, c, c->fresh_end));
  if (to > end) to = end;
  platform_back_memory(c->backed, to - from);
  c->backed = reinterpret_cast<uint8_t *>(to);
}

// One buffer of chunk c is gone; the chunk goes with its last one.
void chunk_lost_buffer(BufferPool *pool, Chunk *c) {
  if (--c->live > 0) return;
  for (Chunk **p = &pool->chunks; *p != nullptr; p = &(*p)->next) {
    if (*p == c) {
      *p = c->next;
      break;
    }
  }
  rb_free(c);
}

}  // namespace

BufferHeader *take_fresh(BufferPool *pool) {
  Chunk *c = fresh_chunk(pool);
  uint8_t *at = buffer_at(pool, c, c->fresh);
  if (at + pool->stride > c->backed) back_ahead(pool, c, at + pool->stride);
  ++c->fresh;
  --pool->fresh;
  auto *h = reinterpret_cast<BufferHeader *>(at);
  std::memset(h, 0, sizeof *h);
  h->data = at + kDataOffset;
  h->chunk = c;
  h->handle = kNoHandle;
  h->block = kNoBlock;
  return h;
}

bool add_chunk(BufferPool *pool, int32_t n) {
  const std::size_t limit = static_cast<std::size_t>(-1) / 2;
  if (static_cast<std::size_t>(n) > (limit - kChunkOffset) / pool->stride) {
    return false;
  }
  void *raw = rb_calloc(kAlign - 1 + kChunkOffset +
                        static_cast<std::size_t>(n) * pool->stride);
  if (raw == nullptr) return false;
  const std::uintptr_t at =
      round_up(reinterpret_cast<std::uintptr_t>(raw), kAlign);
  // The chunk's record sits at the start of the allocation, so that rb_free
  // gets back what rb_calloc gave.
  auto *c = static_cast<Chunk *>(raw);
  c->first = reinterpret_cast<uint8_t *>(at) + kChunkOffset;
  c->backed = c->first;
  c->fresh = 0;
  c->fresh_end = n;
  c->live = n;
  c->next = pool->chunks;
  pool->chunks = c;
  pool->fresh += n;
  pool->count += n;
  return true;
}

void remove_fresh(BufferPool *pool) {
  Chunk *c = fresh_chunk(pool);
  --c->fresh_end;
  --pool->fresh;
  chunk_lost_buffer(pool, c);
}

void remove_used(BufferPool *pool, BufferHeader *h) {
  h->data = nullptr;  // no longer a buffer
  chunk_lost_buffer(pool, h->chunk);
}

void free_chunks(BufferPool *pool) {
  while (pool->chunks != nullptr) {
    Chunk *c = pool->chunks;
    pool->chunks = c->next;
    rb_free(c);
  }
  pool->fresh = 0;
}

}  // namespace recbase
