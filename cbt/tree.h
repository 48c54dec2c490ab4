// The B-tree engine's in-memory records and the operation context that every
// internal step works in.
//
// Records:
//  - CbFile: one per B-tree file open in this process (found by name): the
//    control record copy, the pool's LruFile, the open count, and the
//    shared-mode state (lock flags, reader slot, synced and flush-pending
//    flags, last seen change counter).
//  - CbTree: the handle given to callers: the file, the compare function,
//    the read-only flag, and two cursors (the position and the mark).
//
// Invariants:
//  1. Every live CbTree is in the tree list and every live CbFile in the file
//     list (both linked through their first word); every exported call checks
//     its handle against them before touching it.
//  2. A CbFile's open_count is the number of live CbTree handles on it; the
//     last close frees it.
//  3. A cursor in state 1 holds a private copy of its entry's key and item;
//     its block and index are hints, trusted only while its snapshot equals
//     the file's last seen change counter (else it is re-validated).
//  4. No block stays pinned between calls: every Pin releases on every path.
//  5. Internal steps never write the exported error variables: they record a
//     failure in their Op, and the exported entry point publishes it.
//
// Cursor states:
//
//    new handle --> -2 (before first) --cbnext/cbhead--> 1 (on an entry)
//                     ^                                   |   ^
//                     +-------------cbprev off front------+   |
//                     -3 (after last / empty) <--cbnext off end
//    mark only: -1 (never set) --cbmark--> copy of the position
#ifndef RECBASE_CBT_TREE_H
#define RECBASE_CBT_TREE_H

#include <cstdint>

#include "bufpool/bufpool.h"
#include "cbt/keycmp.h"
#include "cbt/node_format.h"
#include "frame/errors.h"
#include "frame/prefetch.h"
#include "recbase/cbt.h"

namespace recbase::cbt {

constexpr BlockNo kNoBlock = 0xFFFFFFFFu;

enum CursorState : int32_t {
  kOnEntry = 1,
  kNoMark = -1,
  kBeforeFirst = -2,
  kAfterLast = -3,
};

struct Cursor {
  BlockNo block = kNoBlock;
  int32_t state = kBeforeFirst;
  int32_t index = -1;
  uint8_t *key = nullptr;  // private copy of the entry's key
  int16_t key_len = 0;
  int32_t item = 0;
  int16_t cap = 0;  // size of the key copy
  uint32_t snapshot = 0;
  // Leaves entered one after another in one direction (+ forward, -
  // backward) while the file's change counter stood at moves_seen; see
  // may_enter_leaf.
  int32_t leaf_moves = 0;
  uint32_t moves_seen = 0;
  // The pool's buffer of block leaf_block as a step last found it, checked
  // (null: none), and the file's count of dropped buffers then: while that
  // count stands, the buffer still holds that block (cbt/cursor_step.h).
  const uint8_t *leaf = nullptr;
  BlockNo leaf_block = kNoBlock;
  uint64_t leaf_drops = 0;
};

// Lock flag bits of a CbFile.
enum LockFlag : uint32_t {
  kReaderExplicit = 1,
  kReaderHeld = 2,
  kWriterExplicit = 16,
  kWriterHeld = 32,
};

// The interior nodes a search passed on its way down to `leaf`, root first,
// and the child index it took in each. A later change of a pair in that
// leaf may take them as the leaf's parents instead of descending again, but
// only after checking every link (path_holds): the tree may have changed
// since. levels -1: nothing recorded (a tree deeper than the record holds).
struct DescentPath {
  static constexpr int32_t kLevels = 8;
  BlockNo leaf = 0;
  int32_t levels = -1;
  BlockNo block[kLevels] = {};
  int32_t index[kLevels] = {};
};

struct CbFile {
  CbFile *member_link = nullptr;  // file list; first word
  ControlRecord cr;
  uint32_t open_count = 0;
  int32_t shared = 0;
  uint32_t lock_flags = 0;
  LruFile *lru = nullptr;
  char *name = nullptr;  // private copy, the lookup key
  uint32_t last_seen = 0;
  int32_t reader_slot = kLockRegionStart;
  // The byte-range locks as the OS holds them, which the flags alone do not
  // tell: whether reader_slot is locked as a range of its own, and the byte
  // the writer ranges were locked around (0: one range over the region).
  // Windows releases only exactly the ranges that were locked.
  bool reader_byte_locked = false;
  int32_t writer_around = 0;
  bool synced = false;
  bool flush_pending = false;
  // The change counter the file held when this process last read or wrote
  // its control record, and whether a commit's control record failed to
  // reach the file (the blocks of that commit may have): the record in
  // memory is then the tree's, and is written at the next chance while the
  // file still holds disk_counter (cbt/locking.cpp).
  uint32_t disk_counter = 0;
  bool control_pending = false;
  // The rollback journal covering the file (cbt/journal_link.h), null when
  // none; owned when it is the file's own (a tree journal), not when it is
  // its database's.
  Journal *journal = nullptr;
  bool journal_owned = false;
  // The leaf in which the last insertion placed its pair, at one end of the
  // leaf, without overflow (0: none): keys inserted in order go to the same
  // leaf, so an insertion tries it before descending (cbt/insert.cpp).
  // A guess only: it is checked against the leaf's own entries every time.
  BlockNo recent_leaf = 0;
  // When recent_leaf is the tree's last leaf and the insertion that made it
  // recent went in at its end through the descent (or through the
  // recent-leaf path, which keeps it): the parent that descent passed and
  // the leaf's index there. Keys inserted in order fill that leaf and then
  // shift its first entry into its left neighbour at every insertion, which
  // needs the parent; with it the shift is made without a descent
  // (cbt/insert.cpp). Valid only while the change counter stands at
  // recent_change, the count that insertion committed: any later change,
  // failed ones included, and any other process's change moves the counter,
  // and so forgets it. Even then it is used only after checks against the
  // nodes themselves.
  BlockNo recent_parent = 0;
  int32_t recent_index = 0;
  uint32_t recent_change = 0;
};

// Process-wide lists of the engine.
extern void *g_tree_list;
extern void *g_file_list;
// The handle and file that the last list walk found (null when none, or when
// it was closed since): live without another walk.
extern CbTree *g_recent_tree;
extern CbFile *g_recent_file;

}  // namespace recbase::cbt

// The handle type named in the public header.
struct CbTree {
  CbTree *member_link = nullptr;  // tree list; first word
  recbase::cbt::CbFile *file = nullptr;
  CbCompare cmp = nullptr;
  recbase::cbt::Cursor pos;
  recbase::cbt::Cursor mark;
  int32_t read_only = 0;
  // The parents of the handle's last search, recorded only once a change
  // at a position (the record layer's calls) has asked for them: a plain
  // search does not pay for the record.
  bool keep_path = false;
  recbase::cbt::DescentPath path;
};

namespace recbase::cbt {

// "No change" marker for the staged error fields of an Op.
constexpr int32_t kUnset = INT32_MIN;

class Undo;

// The context of one exported call: the tree and file it works on and the
// failure it will publish.
struct Op {
  CbTree *tree = nullptr;
  CbFile *file = nullptr;
  LruFile *lru = nullptr;
  int32_t bs = 0;
  CbCompare cmp = nullptr;
  int32_t err = kUnset;
  int32_t ctx = kUnset;
  Undo *undo = nullptr;  // the open change's before-images (cbt/undo.h)

  void bind(CbTree *t);
  // Records error and context; returns -1 for use in "return op.fail(..)".
  int32_t fail(int32_t e, int32_t c) {
    err = e;
    ctx = c;
    return -1;
  }
  int32_t fail_err(int32_t e) {
    err = e;
    return -1;
  }
  // The one path by which every bad-file finding is reported.
  int32_t corrupt(int32_t c);
  bool failed_with(int32_t e) const { return err == e; }
  ControlRecord &cr() const { return file->cr; }
};

inline void Op::bind(CbTree *t) {
  tree = t;
  file = t->file;
  lru = file->lru;
  bs = file->cr.block_size;
  cmp = t->cmp;
}

// Stores the staged codes into cberrcode / cbconcode and returns result.
inline int32_t publish(const Op &op, int32_t result) {
  if (op.err != kUnset) cberrcode = op.err;
  if (op.ctx != kUnset) cbconcode = op.ctx;
  return result;
}
// Tree check and file check: false with kErrBadTree or kErrBadFile and
// kCtxValidate staged.
bool check_tree_listed(Op &op, CbTree *tree);
bool check_file_listed(Op &op);
// A handle that needs no list walk to be trusted: the head of its list (the
// one opened last) or the one the last walk found.
inline bool known_tree(const CbTree *tree) {
  return tree != nullptr && (tree == g_tree_list || tree == g_recent_tree);
}
inline bool known_file(const CbFile *file) {
  return file != nullptr && (file == g_file_list || file == g_recent_file);
}
// The file of a tree handle trusted without a walk, else null. A live
// handle's file is live (invariant 2: the file goes with its last handle),
// so a known handle vouches for its file.
inline CbFile *trusted_file(CbTree *tree) {
  return known_tree(tree) ? tree->file : nullptr;
}
inline bool check_tree(Op &op, CbTree *tree) {
  if (!known_tree(tree)) return check_tree_listed(op, tree);
  op.tree = tree;
  return true;
}
inline bool check_file(Op &op) {
  if (!known_file(op.tree->file)) return check_file_listed(op);
  op.bind(op.tree);
  return true;
}

// Asks for every cache line of a node before a search of it: a binary
// search over a cold 4 KiB node takes about ten dependent misses (an entry
// and a key text per probe), which the prefetch overlaps. The lines are
// asked for without reading the node first: a prefetch that waited for the
// header's counts to skip the free space would put one whole miss in front
// of the search's first probe, which costs more than the lines it saves.
// Called once per node and change, where a descent first reaches it; nodes
// above 8 KiB are left to the search, which reads few of their lines.
[[gnu::always_inline]] inline void prefetch_node(const uint8_t *data,
                                                 int32_t bs) {
  if (data == nullptr || bs > 8192) return;
  prefetch_lines(data, bs);
}

// A pinned pool block of the op's file, released on every path.
class Pin {
 public:
  explicit Pin(Op &op) : op_(op) {}
  ~Pin() { release(); }
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;

  // Pins node block b. Fails with kErrGetBlock (unreadable) or kErrCorrupt (b
  // is not a block of
  // the tree, or its layout is unsound), with context ctx.
  int32_t get(BlockNo b, int32_t ctx);
  // Takes over a block that is already pinned (a new block).
  void adopt(uint8_t *data, BlockNo b);
  bool held() const { return data_ != nullptr; }
  BlockNo block() const { return block_; }
  Node node() const { return Node(data_, op_.bs); }
  uint8_t *data() const { return data_; }
  // Unpins an unchanged block.
  void release();
  // Copies the pinned block into the open change's before-images, before
  // its first modification: 1, or -1 with kErrNoMemory/ctx. Does nothing
  // outside a change.
  int32_t save(int32_t ctx);
  // Unpins a changed block, written back later (cannot fail). Inside a
  // change the block must have been saved (debug builds check), unless
  // put_last says the modification was the change's last step.
  void put();
  void put_last();
  // Unpins a changed block, writing it now; -1 with kErrPutBlock and ctx on
  // failure.
  int32_t put_now(int32_t ctx);
  // Gives the pin to another Pin.
  void move_to(Pin &other);
  // Node block b for reading only, until the next call on this Pin or on
  // the pool: a checked block that the pool holds is read in place, without
  // a pin (read_block); any other is pinned as get does. Either way the
  // node's lines are prefetched for the search that follows. Null on
  // failure, with the codes of get.
  const uint8_t *view(BlockNo b, int32_t ctx);
  void prefetch() const { prefetch_node(data_, op_.bs); }
  // view for a change: a node the pool holds checked is used as a get and
  // its release would use it, bufpool_err included (use_block); its lines
  // are asked for only with prefetch (the root, used by every change, stays
  // in the cache; touch reads nothing).
  const uint8_t *look(BlockNo b, int32_t ctx, bool prefetch);

 private:
  Op &op_;
  uint8_t *data_ = nullptr;
  BlockNo block_ = 0;
};

// Uses block b as a get and its release would: without a pin when the pool
// holds it checked, else through Pin::get (which reads and checks it, and
// can fail as get fails). Keeps the pool's recency order where a step skips
// the pins of blocks that the general steps would have used.
int32_t touch(Op &op, BlockNo b, int32_t ctx);

// For a sealed change that has changed the node of block b, which the pool
// holds, in place without a pin: the pool's part of getting it and putting
// it back changed (dirty_block). 1, or -1 with kErrPutBlock and ctx.
int32_t put_held(Op &op, BlockNo b, int32_t ctx);

// The node of block b when the pool holds it and has checked its layout,
// looked at in place without a pin (a Pin::get of it then cannot fail); a
// Node without data otherwise. Always inlined: it guards every shortcut of
// the changes, and a call of it cost more than its few loads (with one
// more caller, GCC's link-time inliner left it as a call everywhere).
[[gnu::always_inline]] inline Node held_node(const Op &op, BlockNo b) {
  if (b == 0 || b > op.cr().last_block) return Node();
  const uint8_t *d = peek_block(op.lru, b);
  if (d == nullptr || !block_checked(d)) return Node();
  return Node(const_cast<uint8_t *>(d), op.bs);
}

// True when path leads from the tree's root to leaf b through interior
// nodes the pool holds, checked and in use, each listing the next node at
// the recorded index: in a sound tree the one chain of parents of b, which a
// descent to any pair of b passes.
bool path_holds(const Op &op, const DescentPath &path, BlockNo b);

// Key and pair comparisons under the tree's compare function (the default
// order inline, without a call through the pointer).
inline int32_t cmp_keys(const Op &op, const uint8_t *a, int32_t alen,
                        const uint8_t *b, int32_t blen) {
  if (op.cmp == cbkeycmp) return default_keycmp(a, alen, b, blen);
  return op.cmp(a, alen, b, blen);
}
// (key, item) against entry i of node.
int32_t cmp_pair(const Op &op, const uint8_t *key, int32_t len, int32_t item,
                 const Node &node, int32_t i);
// True when entry i exists and a key equal to (key, len) would share its
// stored text: same length and compare equal.
bool shares_text(const Op &op, const uint8_t *key, int32_t len,
                 const Node &node, int32_t i);
// True when entry i exists and its key compares equal to (key, len).
bool keys_equal(const Op &op, const uint8_t *key, int32_t len, const Node &node,
                int32_t i);

// In-node search: result 0 found at pos; -1 the pair is below entry pos; 1
// the pair is above every entry (pos = entry_count).
struct Hit {
  int32_t result;
  int32_t pos;
};
Hit node_search(const Op &op, const Node &node, const uint8_t *key, int32_t len,
                int32_t item);
// What a search for an insertion found beside the pair's place p: whether
// the keys of entries p - 1 and p compare equal to the pair's key (false
// where there is no such entry), under the tree's compare function, as
// keys_equal would answer; known says that a search filled it in.
struct Beside {
  bool known = false;
  bool before = false;
  bool after = false;
};
// node_search of a leaf for an insertion, filling in *beside as well.
Hit leaf_search_beside(const Op &op, const Node &leaf, const uint8_t *key,
                       int32_t len, int32_t item, Beside *beside);
// The binary search of every in-node search over n entries in pair order:
// probe(mid) compares the sought pair with the entry at mid (<0, 0, >0).
template <class Probe>
inline Hit bisect(int32_t n, Probe probe) {
  int32_t low = 0;
  int32_t high = n - 1;
  int32_t mid = 0;
  int32_t c = 0;
  while (low <= high) {
    mid = (low + high) / 2;
    c = probe(mid);
    if (c == 0) return {0, mid};
    if (c < 0) {
      high = mid - 1;
    } else {
      low = mid + 1;
    }
  }
  const int32_t pos = c > 0 ? mid + 1 : mid;
  return pos < n ? Hit{-1, pos} : Hit{1, n};
}
// Index of the child to descend into for a search result: the matching
// entry, else the entry before the insertion position (-1: low_path).
inline int32_t child_index(const Hit &h) {
  return h.result == 0 ? h.pos : h.pos - 1;
}

// A leaf and an entry position in it where a caller expects a pair (to
// insert it there, or to find it there to delete it), taken from a search
// or a position before the tree changed, so only a guess: a change tries it
// only when the pool holds the leaf, checked, and the leaf's own entries
// confirm it, and descends from the root otherwise.
struct LeafHint {
  BlockNo block = 0;
  int32_t pos = -1;
  const DescentPath *path = nullptr;  // the leaf's parents, if known
};

// The pair descriptor in which pairs travel through the node operations.
struct Pair {
  const uint8_t *key = nullptr;
  int32_t len = 0;
  int32_t item = 0;
  int32_t dup = 0;
  BlockNo child = 0;
};

// The node of block b where a descent for a change reaches it, at `level`
// below the root. A node above the leaf level is only searched and left
// before the next is asked for, so one that the pool holds checked is
// looked at in place (Pin::look, its lines asked for below the root; `pin`
// then holds nothing and the node is good until the next call on the
// pool); a node expected on the leaf level,
// and any leaf, is pinned in pin. Either way the node is used once, as a
// pin and its release used it before. A Node without data on failure, with
// the codes of Pin::get.
Node descent_node(Op &op, BlockNo b, int32_t level, int32_t ctx, Pin &pin);

// One step of a descent for a change: in interior node n (block held in pn,
// or looked at in place with pn empty), at `level` below the root, the
// index and block of the child that holds (or would hold) the pair, the
// child's node and whether it is a leaf. pn is released and the child is
// left for the next step as descent_node gives it (in pc), so that step
// needs no lookup of its own. A child below the leaf level or on the free
// chain is damage, reported with context ctx.
struct ChildStep {
  int32_t index = 0;
  BlockNo child = 0;
  bool leaf = false;
  Node node;
};
int32_t step_down(Op &op, const Pair &pair, const Node &n, Pin &pn,
                  int32_t level, int32_t ctx, ChildStep *out, Pin &pc);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_TREE_H
