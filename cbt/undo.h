// All-or-nothing changes in memory: the before-images of one insert or
// delete.
//
// A change reads and modifies nodes in turn (a split or a shift reaches the
// parent and the neighbours after the leaf has changed), so a block read that
// fails half-way would leave the tree half changed. Every block a change is
// about to modify is therefore copied here first, with the control record as
// the change found it; when the change fails, roll_back puts every copy back
// (dirty, so that it reaches the disk at the next write-back even if the
// changed version was written in between) and restores the control record.
// The tree in the pool is then exactly as before, apart from one thing the
// file cannot take back: a block the change added at the end of the file and
// wrote stays in the file, as an unused block on the free chain.
//
// Invariants:
//  1. While an Undo is open on an Op (op.undo), no pinned node of the change
//     is modified before Pin::save has copied it, except by the last step
//     of a change, after which nothing can fail (the plain insertion into a
//     leaf with room, the plain removal from a leaf that stays above the
//     underflow mark), and except after seal: a change that has found,
//     before its first modification, that every block it will modify is in
//     the pool and that no step of it can fail any more (no read, no
//     allocation, no write) seals its Undo and modifies without copies.
//     Debug builds check this at Pin::put and put_held, and that a sealed
//     change never rolls back.
//  2. A block is copied at most once per change: the first image is the one
//     the tree had.
//  3. The copies live in one process-wide work area, grown (never shrunk)
//     when a change needs more than any change before; a failure to grow it
//     fails the change before the block is modified. cbexit frees it.
//
// States of an Undo: open (saving) --roll_back--> rolled back;
// open --seal--> sealed (no more copies, no roll-back); closing an open or
// sealed Undo keeps the change.
#ifndef RECBASE_CBT_UNDO_H
#define RECBASE_CBT_UNDO_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

class Undo {
 public:
  // Opens the log of a change on op's file and records its control record.
  explicit Undo(Op &op);
  ~Undo();
  Undo(const Undo &) = delete;
  Undo &operator=(const Undo &) = delete;

  // Copies block b (its current bytes in data) unless it was copied
  // already: 1, or -1 with kErrNoMemory and context ctx.
  int32_t save(BlockNo b, const uint8_t *data, int32_t ctx);
  bool holds(BlockNo b) const;
  // The last block of the file when the change began: blocks past it are
  // new to the file and need no copy.
  BlockNo saved_end() const { return cr_.last_block; }
  // No step of the change can fail from here on: blocks are modified
  // without copies (invariant 1). Only the outermost change may seal.
  void seal() { sealed_ = true; }
  bool sealed() const { return sealed_; }
  bool outermost() const { return outer_ == nullptr; }
  // Block b was added at the end of the file and written (the file grew).
  void grew(BlockNo b);
  // Puts the copies back and restores the control record; blocks the
  // change added and wrote become unused blocks on the free chain, one it
  // added without writing leaves the pool. The codes of the failure that
  // made the change roll back stay in the Op. 1, or -1 when a copy could
  // not be put back (the tree is then damaged).
  int32_t roll_back();

 private:
  Op &op_;
  Undo *outer_;
  ControlRecord cr_;
  int32_t first_;  // this change's first entry in the work area
  BlockNo grown_ = 0;
  bool sealed_ = false;
};

// Frees the work area (at cbexit).
void free_undo_area();

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_UNDO_H
