// The tree checker. It first copies the whole file into memory (through the
// pool for an open handle, with plain reads for a closed file), one block at
// a time, so that it never holds more than one pool buffer and works on
// bytes that cannot change under it. Then it walks the copy level by level
// from the root, carrying each node's bounds from its ancestors, and finally
// follows the free chain and accounts for every block.
#include "cbt/checker.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "bufpool/bufpool.h"
#include "cbt/node_format.h"
#include "cbt/node_ops.h"
#include "cbt/tree.h"
#include "frame/platform.h"
#include "frame/say.h"

namespace recbase::cbt {

const char kCheckNoMemory[] = "out of memory for a copy of the file";

namespace {

// The whole file as bytes, blocks 0..last_block.
struct Image {
  ControlRecord cr;
  int32_t bs = 0;
  std::vector<uint8_t> bytes;

  Node node(BlockNo b) const {
    return Node(const_cast<uint8_t *>(bytes.data()) +
                    static_cast<size_t>(b) * static_cast<size_t>(bs),
                bs);
  }
};

// The control record fields that decide how much of the file to read.
std::string check_size(const ControlRecord &cr, uint32_t file_size) {
  if (cr.block_size < kMinBlockSize) {
    return say("control record: block_size %d out of range", cr.block_size);
  }
  const uint64_t need = (static_cast<uint64_t>(cr.last_block) + 1) *
                        static_cast<uint64_t>(cr.block_size);
  if (need != file_size) {
    return say(
        "control record: last_block %u needs a file of %llu bytes, "
        "the file has %u",
        cr.last_block, static_cast<unsigned long long>(need), file_size);
  }
  return "";
}

bool allocate(Image &img) {
  try {
    img.bytes.assign((static_cast<size_t>(img.cr.last_block) + 1) *
                         static_cast<size_t>(img.bs),
                     0);
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

// A pair bound inherited from above; unset means unbounded.
struct Bound {
  const uint8_t *key = nullptr;
  int32_t len = 0;
  int32_t item = 0;
  bool set = false;
};

// A node to visit: its block, its bounds, and where it was reached from.
struct Slot {
  BlockNo block;
  Bound lo;  // every pair >= lo
  Bound hi;  // every pair < hi
  BlockNo parent;
  int32_t index;  // entry of the parent, -1 for low_path
};

enum Owner : uint8_t { kUnseen = 0, kInTree = 1, kOnFreeChain = 2 };

class Checker {
 public:
  Checker(const Image &img, CbCompare cmp, TreeStats *stats)
      : img_(img), cmp_(cmp), stats_(stats) {}

  std::string run() {
    const ControlRecord &cr = img_.cr;
    if (stats_ != nullptr) {
      *stats_ = TreeStats();
      stats_->block_size = img_.bs;
      stats_->depth = cr.depth;
      stats_->last_block = cr.last_block;
    }
    std::string fault = check_control();
    if (fault.empty()) fault = check_tree();
    if (fault.empty()) fault = check_free_chain();
    if (fault.empty()) fault = check_coverage();
    return fault;
  }

 private:
  std::string check_control() {
    const ControlRecord &cr = img_.cr;
    const uint8_t *zero = img_.bytes.data();
    for (int32_t off = kLockRegionStart; off < img_.bs; ++off) {
      if (zero[off] != 0) {
        return say("block 0: byte %d of the lock region is not zero", off);
      }
    }
    const uint32_t last = cr.last_block;
    const struct {
      const char *name;
      uint32_t value;
    } fields[] = {{"root", cr.root},
                  {"first_leaf", cr.first_leaf},
                  {"last_leaf", cr.last_leaf},
                  {"free_head", cr.free_head}};
    for (const auto &f : fields) {
      if (f.value > last) {
        return say("control record: %s %u beyond last_block %u", f.name,
                   f.value, last);
      }
    }
    if (cr.depth < 0 || cr.depth > kMaxDepth) {
      return say("control record: depth %d out of range", cr.depth);
    }
    if ((cr.root == 0) != (cr.depth == 0)) {
      return say("control record: root %u with depth %d", cr.root, cr.depth);
    }
    if (cr.root == 0 && (cr.first_leaf != 0 || cr.last_leaf != 0)) {
      return say("control record: empty tree with first_leaf %u, last_leaf %u",
                 cr.first_leaf, cr.last_leaf);
    }
    owner_.assign(static_cast<size_t>(last) + 1, kUnseen);
    return "";
  }

  // Pair order: key under the compare function, then signed item.
  int32_t cmp_pairs(const uint8_t *ak, int32_t al, int32_t ai,
                    const uint8_t *bk, int32_t bl, int32_t bi) const {
    const int32_t c = cmp_(ak, al, bk, bl);
    if (c != 0) return c < 0 ? -1 : 1;
    return ai < bi ? -1 : (ai > bi ? 1 : 0);
  }
  int32_t cmp_entry_bound(const Node &n, int32_t i, const Bound &b) const {
    return cmp_pairs(n.key(i), n.key_len(i), n.item(i), b.key, b.len, b.item);
  }
  static Bound bound_of(const Node &n, int32_t i) {
    return Bound{n.key(i), n.key_len(i), n.item(i), true};
  }

  // The checks of one node that need nothing but the node and its bounds.
  std::string check_node(const Slot &s, bool bottom, int32_t level) {
    const BlockNo b = s.block;
    if (b == 0 || b > img_.cr.last_block) {
      if (s.parent == 0) return say("control record: root %u invalid", b);
      return say("block %u: child %u of entry %d is not a block of the file",
                 s.parent, b, s.index);
    }
    if (owner_[b] != kUnseen) {
      return say("block %u: reached a second time (from block %u, entry %d)", b,
                 s.parent, s.index);
    }
    owner_[b] = kInTree;
    const Node n = img_.node(b);
    if (const char *bad = check_node_layout(n.data(), img_.bs)) {
      return say("block %u: %s", b, bad);
    }
    if (n.unused()) return say("block %u: unused block in the tree", b);
    if (n.leaf() != bottom) {
      return say("block %u: %s on level %d of a tree of depth %d", b,
                 n.leaf() ? "leaf" : "interior node", level, img_.cr.depth);
    }
    const int32_t count = n.count();
    if (n.leaf() && count == 0) return say("block %u: empty leaf", b);
    if (!n.leaf() && count < 0) {
      return say("block %u: interior node without children", b);
    }
    for (int32_t i = 1; i < count; ++i) {
      if (cmp_pairs(n.key(i - 1), n.key_len(i - 1), n.item(i - 1), n.key(i),
                    n.key_len(i), n.item(i)) >= 0) {
        return say("block %u: entries %d and %d out of order", b, i - 1, i);
      }
      if (n.key_len(i) > 0 && n.key_off(i) == n.key_off(i - 1) &&
          n.key_len(i) == n.key_len(i - 1) &&
          cmp_(n.key(i - 1), n.key_len(i - 1), n.key(i), n.key_len(i)) != 0) {
        return say("block %u: entries %d and %d share text but differ", b,
                   i - 1, i);
      }
    }
    if (count > 0 && s.lo.set && cmp_entry_bound(n, 0, s.lo) < 0) {
      return say("block %u: entry 0 below its bound from block %u entry %d", b,
                 s.parent, s.index);
    }
    if (count > 0 && s.hi.set && cmp_entry_bound(n, count - 1, s.hi) >= 0) {
      return say("block %u: entry %d not below its bound from block %u", b,
                 count - 1, s.parent);
    }
    return "";
  }

  // Queues the children of interior node s, left to right, with bounds.
  void queue_children(const Slot &s, std::vector<Slot> &next) const {
    const Node n = img_.node(s.block);
    const int32_t count = n.count();
    const Bound first = count > 0 ? bound_of(n, 0) : s.hi;
    next.push_back(Slot{n.low_path(), s.lo, first, s.block, -1});
    for (int32_t i = 0; i < count; ++i) {
      const Bound hi = i + 1 < count ? bound_of(n, i + 1) : s.hi;
      next.push_back(Slot{n.child(i), bound_of(n, i), hi, s.block, i});
    }
  }

  std::string check_siblings(const std::vector<Slot> &level, int32_t lv) {
    for (size_t i = 0; i < level.size(); ++i) {
      const Node n = img_.node(level[i].block);
      const BlockNo want_left = i > 0 ? level[i - 1].block : 0;
      const BlockNo want_right = i + 1 < level.size() ? level[i + 1].block : 0;
      if (n.left() != want_left) {
        return say("block %u: left_sibling %u, expected %u (level %d)",
                   level[i].block, n.left(), want_left, lv);
      }
      if (n.right() != want_right) {
        // A node on the chain that no parent lists is cut off from
        // searches, though walks along the chain still reach it.
        const BlockNo r = n.right();
        if (r != 0 && r <= img_.cr.last_block && owner_[r] == kUnseen) {
          return say(
              "block %u: right_sibling %u is listed by no parent "
              "(expected %u, level %d)",
              level[i].block, r, want_right, lv);
        }
        return say("block %u: right_sibling %u, expected %u (level %d)",
                   level[i].block, r, want_right, lv);
      }
    }
    return "";
  }

  std::string check_tree() {
    const ControlRecord &cr = img_.cr;
    if (cr.root == 0) return "";
    std::vector<Slot> level{Slot{cr.root, {}, {}, 0, -1}};
    int32_t lv = 0;
    // The bottom level queues no children, so the walk ends there; a leaf
    // above it or an interior node on it is a fault of check_node.
    for (; !level.empty(); ++lv) {
      const bool bottom = lv == cr.depth - 1;
      LevelStats ls;
      std::vector<Slot> next;
      for (const Slot &s : level) {
        std::string fault = check_node(s, bottom, lv);
        if (!fault.empty()) return fault;
        const Node n = img_.node(s.block);
        const int32_t count = n.count();
        ls.nodes += 1;
        ls.entries += static_cast<uint64_t>(count);
        ls.bytes_used += static_cast<uint64_t>(
            kNodeHeader + count * n.entry_size() + (img_.bs - n.key_start()));
        if (!bottom) queue_children(s, next);
      }
      std::string fault = check_siblings(level, lv);
      if (!fault.empty()) return fault;
      if (stats_ != nullptr) {
        stats_->levels.push_back(ls);
        stats_->blocks_in_tree += ls.nodes;
        if (bottom) stats_->entries = ls.entries;
      }
      if (bottom) {
        if (cr.first_leaf != level.front().block ||
            cr.last_leaf != level.back().block) {
          return say(
              "control record: first_leaf %u / last_leaf %u, the "
              "leaves run from %u to %u",
              cr.first_leaf, cr.last_leaf, level.front().block,
              level.back().block);
        }
      }
      level.swap(next);
    }
    return "";
  }

  std::string check_free_chain() {
    const ControlRecord &cr = img_.cr;
    BlockNo from = 0;
    for (BlockNo b = cr.free_head; b != 0;) {
      if (b > cr.last_block) {
        return say("free chain: block %u (after %u) beyond last_block", b,
                   from);
      }
      if (owner_[b] == kInTree) {
        return say("block %u: on the free chain and in the tree", b);
      }
      if (owner_[b] == kOnFreeChain) {
        return say("free chain: cycle at block %u (after %u)", b, from);
      }
      owner_[b] = kOnFreeChain;
      const Node n = img_.node(b);
      if (n.low_path() != 0 || n.count() != 0) {
        return say(
            "block %u: on the free chain but low_path %u, "
            "entry_count %d",
            b, n.low_path(), n.count());
      }
      for (int32_t off = kNodeHeader; off < img_.bs; ++off) {
        if (n.data()[off] != 0) {
          return say("block %u: unused block with byte %d not zero", b, off);
        }
      }
      if (stats_ != nullptr) stats_->free_blocks += 1;
      from = b;
      b = n.left();
    }
    return "";
  }

  std::string check_coverage() const {
    for (BlockNo b = 1; b <= img_.cr.last_block; ++b) {
      if (owner_[b] == kUnseen) {
        return say("block %u: neither in the tree nor on the free chain", b);
      }
    }
    return "";
  }

  const Image &img_;
  CbCompare cmp_;
  TreeStats *stats_;
  std::vector<uint8_t> owner_;  // Owner of each block 0..last_block
};

// Copies an open tree's blocks: block 0 from the file (the pool never holds
// it), the nodes through the pool.
std::string image_of_handle(CbTree *tree, Image &img, CbCompare *cmp) {
  Op op;
  if (!cbt::check_tree(op, tree) || !check_file(op)) {
    return "not an open tree handle";
  }
  img.cr = op.file->cr;
  img.bs = img.cr.block_size;
  *cmp = op.cmp;
  LruFile *lru = op.lru;
  if (lru == nullptr || img.bs != lru->block_size) {
    return say("control record: block_size %d differs from the file's", img.bs);
  }
  if (img.bs > bufpool_buffer_size()) {
    return say("control record: block_size %d beyond the pool's buffers",
               img.bs);
  }
  uint32_t size = 0;
  if (sys_filesize(lru->handle, &size) != 1) {
    return "cannot read the file size";
  }
  // With a journal, or with disk space held for them, blocks added since
  // the last flush point may be in the pool only (cbt/blocks.cpp): the file
  // may be shorter than the tree.
  const uint64_t need = (static_cast<uint64_t>(img.cr.last_block) + 1) *
                        static_cast<uint64_t>(img.bs);
  if ((lru->journal != nullptr || lru->reserved_end != 0) && size < need) {
    size = static_cast<uint32_t>(need);
  }
  std::string fault = check_size(img.cr, size);
  if (!fault.empty()) return fault;
  if (!allocate(img)) return kCheckNoMemory;
  if (sys_read(lru->handle, 0, img.bs, img.bytes.data()) != 1) {
    return "block 0: cannot be read";
  }
  for (BlockNo b = 1; b <= img.cr.last_block; ++b) {
    uint8_t *data = get_block(lru, b);
    if (data == nullptr) {
      return say("block %u: cannot be read (pool error %d)", b, bufpool_err);
    }
    uint8_t *copy = img.bytes.data() + static_cast<size_t>(b) * img.bs;
    std::memcpy(copy, data, static_cast<size_t>(img.bs));
    // The block as the pool would write it: a leaf the node operations left
    // open (only a block checked since it was read can be one) closed.
    const bool checked = block_checked(data) != 0;
    release_block(lru, data);
    const Node node(copy, img.bs);
    if (checked && node.leaf()) close_text(node);
  }
  return "";
}

std::string image_of_file(int32_t handle, Image &img) {
  uint32_t size = 0;
  if (sys_filesize(handle, &size) != 1) return "cannot read the file size";
  uint8_t head[kControlSize];
  if (size < static_cast<uint32_t>(kControlSize) ||
      sys_read(handle, 0, kControlSize, head) != 1) {
    return say("file of %u bytes has no control record", size);
  }
  if (!control_parity_ok(head)) return "control record: parity error";
  img.cr = decode_control(head);
  img.bs = img.cr.block_size;
  std::string fault = check_size(img.cr, size);
  if (!fault.empty()) return fault;
  if (!allocate(img)) return kCheckNoMemory;
  constexpr uint32_t kChunk = 1u << 20;
  for (uint32_t off = 0; off < size; off += kChunk) {
    const uint32_t n = size - off < kChunk ? size - off : kChunk;
    if (sys_read(handle, static_cast<int32_t>(off), static_cast<int32_t>(n),
                 img.bytes.data() + off) != 1) {
      return say("cannot read %u bytes at offset %u", n, off);
    }
  }
  return "";
}

}  // namespace

std::string check_tree(CbTree *tree, TreeStats *stats) {
  if (stats != nullptr) *stats = TreeStats();
  Image img;
  CbCompare cmp = nullptr;
  std::string fault = image_of_handle(tree, img, &cmp);
  if (!fault.empty()) return fault;
  return Checker(img, cmp, stats).run();
}

std::string check_tree_file(const char *name, CbCompare compare,
                            TreeStats *stats) {
  if (stats != nullptr) *stats = TreeStats();
  if (name == nullptr) return "no file name";
  if (g_platform.sys_open == nullptr) {
    return "no platform services (cbinit has not run)";
  }
  const int32_t handle = sys_open(name, 0, 1);
  if (handle == -1) {
    if (g_sys_last_error == EWOULDBLOCK) {
      return say("%s: held by an exclusive open elsewhere", name);
    }
    return say("%s: cannot be opened (error %d)", name, g_sys_last_error);
  }
  Image img;
  std::string fault = image_of_file(handle, img);
  sys_close(handle);
  if (!fault.empty()) return fault;
  return Checker(img, compare != nullptr ? compare : cbkeycmp, stats).run();
}

}  // namespace recbase::cbt
