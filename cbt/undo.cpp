// The before-images of a change and their roll-back (cbt/undo.h).
#include "cbt/undo.h"

#include <cassert>
#include <cstring>

#include "frame/alloc.h"

namespace recbase::cbt {

namespace {

struct Saved {
  BlockNo block;
  int32_t size;
  std::size_t offset;  // of the copy in g_bytes
};

// The work area: the entries of the open changes, innermost last, and their
// copies.
Saved *g_saved = nullptr;
int32_t g_saved_cap = 0;
int32_t g_saved_count = 0;
uint8_t *g_bytes = nullptr;
std::size_t g_bytes_cap = 0;
std::size_t g_bytes_used = 0;

// Makes room for one more entry of `size` bytes; false when memory runs out
// (the area is left as it was).
bool reserve(int32_t size) {
  if (g_saved_count == g_saved_cap) {
    const int32_t cap = g_saved_cap == 0 ? 16 : 2 * g_saved_cap;
    auto *fresh = static_cast<Saved *>(rb_malloc(sizeof(Saved) * cap));
    if (fresh == nullptr) return false;
    if (g_saved_count > 0) {
      std::memcpy(fresh, g_saved, sizeof(Saved) * g_saved_count);
    }
    rb_free(g_saved);
    g_saved = fresh;
    g_saved_cap = cap;
  }
  const std::size_t need = g_bytes_used + static_cast<std::size_t>(size);
  if (need > g_bytes_cap) {
    std::size_t cap =
        g_bytes_cap == 0 ? 8 * static_cast<std::size_t>(size) : 2 * g_bytes_cap;
    if (cap < need) cap = need;
    auto *fresh = static_cast<uint8_t *>(rb_malloc(cap));
    if (fresh == nullptr) return false;
    if (g_bytes_used > 0) std::memcpy(fresh, g_bytes, g_bytes_used);
    rb_free(g_bytes);
    g_bytes = fresh;
    g_bytes_cap = cap;
  }
  return true;
}

}  // namespace

Undo::Undo(Op &op)
    : op_(op), outer_(op.undo), cr_(op.cr()), first_(g_saved_count) {
  op.undo = this;
}

Undo::~Undo() {
  if (first_ < g_saved_count) {
    g_bytes_used = g_saved[first_].offset;
    g_saved_count = first_;
  }
  op_.undo = outer_;
}

bool Undo::holds(BlockNo b) const {
  for (int32_t i = first_; i < g_saved_count; ++i) {
    if (g_saved[i].block == b) return true;
  }
  return false;
}

int32_t Undo::save(BlockNo b, const uint8_t *data, int32_t ctx) {
  if (holds(b)) return 1;
  if (!reserve(op_.bs)) return op_.fail(kErrNoMemory, ctx);
  Saved &s = g_saved[g_saved_count++];
  s.block = b;
  s.size = op_.bs;
  s.offset = g_bytes_used;
  std::memcpy(g_bytes + g_bytes_used, data, static_cast<std::size_t>(op_.bs));
  g_bytes_used += static_cast<std::size_t>(op_.bs);
  return 1;
}

void Undo::grew(BlockNo b) {
  if (b > grown_) grown_ = b;
}

int32_t Undo::roll_back() {
  assert(!sealed_);
  int32_t result = 1;
  for (int32_t i = g_saved_count - 1; i >= first_; --i) {
    const Saved &s = g_saved[i];
    uint8_t *data = get_block(op_.lru, s.block);
    if (data == nullptr) {
      result = -1;
      continue;
    }
    std::memcpy(data, g_bytes + s.offset, static_cast<std::size_t>(s.size));
    block_checked(data) = 1;
    put_block(op_.lru, data, 0);
  }
  ControlRecord &cr = op_.cr();
  const BlockNo added_to = cr.last_block;
  cr = cr_;
  // Blocks added at the end and written are in the file for good: they
  // become unused blocks, the highest on top of the free chain. A block
  // added whose first write failed is not in the file: it leaves the pool,
  // and so does any copy of a block past the restored end.
  for (BlockNo b = cr_.last_block + 1; b <= grown_; ++b) {
    uint8_t *data = get_block(op_.lru, b);
    if (data == nullptr) {
      result = -1;
      break;
    }
    std::memset(data, 0, static_cast<std::size_t>(op_.bs));
    Node node(data, op_.bs);
    node.set_left(cr.free_head);
    block_checked(data) = 1;
    put_block(op_.lru, data, 0);
    cr.free_head = b;
    cr.last_block = b;
  }
  for (BlockNo b = cr.last_block + 1; b <= added_to; ++b) {
    purge_block(op_.lru, b);
  }
  return result;
}

void free_undo_area() {
  rb_free(g_saved);
  rb_free(g_bytes);
  g_saved = nullptr;
  g_bytes = nullptr;
  g_saved_cap = 0;
  g_saved_count = 0;
  g_bytes_cap = 0;
  g_bytes_used = 0;
}

}  // namespace recbase::cbt
