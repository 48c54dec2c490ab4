// Entry operations on nodes held in pool buffers.
#include "cbt/node_ops.h"

#include <cstring>

namespace recbase::cbt {

int32_t bytes_of(const Node &node, int32_t i, int32_t j) {
  if (i < 0) i = 0;
  if (j < i) return 0;
  return (j - i + 1) * node.entry_size() +
         (node.key_off(j) - node.key_off(i) + node.key_len(j));
}

int32_t bytes_in_use(const Node &node) {
  const int32_t n = node.count() > 0 ? node.count() : 0;
  return node.text_end() - node.key_start() + n * node.entry_size() +
         kNodeHeader;
}

namespace {

// The open-leaf path's switch and count of openings, for the differential
// test that runs with it off and on (set_open_leaves, not exported).
bool g_open_leaves = true;
int64_t g_opened = 0;

// Free bytes between the entry array and the text: where text that moves
// down goes.
int32_t room_below_text(const Node &node) {
  const int32_t n = node.count() > 0 ? node.count() : 0;
  return node.key_start() - kNodeHeader - n * node.entry_size();
}

// Moves leaf x's text as one block so that it ends at new_end, with the
// offsets that follow it; bytes it leaves below its new place become zero
// (free space). The text's end as stored is left to the caller. Returns how
// far the text moved.
int32_t move_text(Node x, int32_t new_end) {
  uint8_t *d = x.data();
  const int32_t start = x.key_start();
  const int32_t shift = new_end - x.text_end();
  std::memmove(d + start + shift, d + start, x.text_end() - start);
  if (shift > 0) std::memset(d + start, 0, shift);
  x.shift_key_offs(x.count() > 0 ? x.count() : 0, shift);
  x.set_key_start(start + shift);
  return shift;
}

}  // namespace

int32_t close_text(Node x) {
  if (!x.text_open()) return 0;
  const int32_t end = x.text_end();
  // Only the node operations open a leaf, and never with an end outside
  // these bounds; anything else is left for the checks to find.
  if (end < x.key_start() || end > x.block_size() - 2) return 0;
  const int32_t shift = move_text(x, x.block_size());
  x.set_text_end(x.block_size());
  return shift;
}

void close_node_block(uint8_t *data, int32_t block_size, uint32_t block) {
  // Block 0 is the control record; a block not checked since it was read
  // is as the file holds it, never open.
  if (block == 0 || block_checked(data) == 0) return;
  const Node x(data, block_size);
  if (x.leaf()) close_text(x);
}

int64_t set_open_leaves(bool on) {
  g_open_leaves = on;
  const int64_t n = g_opened;
  g_opened = 0;
  return n;
}

int32_t low_path_leaf(Op &op, BlockNo b, Pin &leaf) {
  const int32_t depth = op.cr().depth;
  for (int32_t level = 0; level < depth; ++level) {
    if (leaf.get(b, kCtxLowPathLeaf) != 1) return -1;
    const Node node = leaf.node();
    if (node.leaf()) return 1;
    b = node.low_path();
    leaf.release();
  }
  return op.corrupt(kCtxLowPathLeaf);
}

int32_t low_path_pair(Op &op, BlockNo b, Pin &leaf, Pair &out) {
  if (low_path_leaf(op, b, leaf) != 1) return -1;
  const Node node = leaf.node();
  if (node.count() < 1) return op.corrupt(kCtxLowPathLeaf);
  out.key = node.key(0);
  out.len = node.key_len(0);
  out.item = node.item(0);
  out.child = b;
  return 1;
}

namespace {

// Gives entry p, which shares the text of entry p - 1, a copy of its own
// placed right after the text of p - 1 (entries after p sharing with p keep
// sharing with it).
void unshare(Node x, int32_t p) {
  uint8_t *d = x.data();
  const int32_t off = x.key_off(p);
  const int32_t len = x.key_len(p);
  const int32_t start = x.key_start();
  // Text of entries 0..p-1 moves down by len; the bytes at [off, off + len)
  // still hold the text and become entry p's own copy.
  std::memmove(d + start - len, d + start, off + len - start);
  x.set_key_start(start - len);
  x.shift_key_offs(p, -len);
}

// Whether the pair would share the text of entry i, which lies beside its
// place p, from what the search found when it did.
bool shares_beside(const Op &op, const Pair &pair, const Node &x, int32_t i,
                   const Beside *beside, bool equal) {
  if (beside == nullptr || !beside->known) {
    return shares_text(op, pair.key, pair.len, x, i);
  }
  return equal && i >= 0 && i < x.count() && x.key_len(i) == pair.len;
}

TextPlan plan_text(const Op &op, const Pair &pair, const Node &x, int32_t p,
                   const Beside *beside = nullptr) {
  TextPlan plan;
  if (shares_beside(op, pair, x, p, beside, beside && beside->after)) {
    plan.share_off = x.key_off(p);
  } else if (shares_beside(op, pair, x, p - 1, beside,
                           beside && beside->before)) {
    plan.share_off = x.key_off(p - 1);
  } else if (shared_with_prev(x, p)) {
    plan.unshare = true;
  }
  plan.need = x.entry_size() + (plan.share_off >= 0 ? 0 : pair.len) +
              (plan.unshare ? x.key_len(p) : 0);
  plan.valid = true;
  return plan;
}

// Whether tail free bytes after an open leaf's text take len more: the
// text then ends the block, or leaves the two bytes that hold its end.
bool tail_takes(int32_t tail, int32_t len) {
  return tail == len || tail >= len + 2;
}

// Where text of len bytes goes after the last of leaf x's entries when one
// more entry is added: at the open end of its text, opening the leaf first
// (or again) when the end has no room for it. Opening moves the text down
// so that the free space is shared between the entry array and the text in
// the proportion the new entry takes; the appends that follow then write in
// place until one side runs out. -1: x stays closed (no entries, nothing to
// write, or the path is off), and the caller moves the text as usual.
// Either way the caller writes the text and then sets the text's end.
int32_t append_place(Node x, int32_t len) {
  const int32_t n = x.count();
  if (!g_open_leaves || n < 1 || len <= 0) return -1;
  const int32_t bs = x.block_size();
  const int32_t end = x.text_end();
  // Free bytes below the text once the entry is added, and after it.
  const int32_t below = room_below_text(x) - kLeafEntry;
  const int32_t after = bs - end;
  if (x.text_open() && below >= 0 && tail_takes(after, len)) return end;
  const int32_t free = below + after;
  int32_t tail = static_cast<int32_t>(static_cast<int64_t>(free) * len /
                                      (kLeafEntry + len));
  if (tail < len) tail = len;
  if (!tail_takes(tail, len)) tail = tail + 1 <= free ? tail + 1 : len;
  if (tail > free) return -1;
  move_text(x, bs - tail);
  ++g_opened;
  return bs - tail;  // the caller sets the text's end once the text is in
}

// Inserts (pair.key, pair.len, pair.item[, pair.child]) at position p >= 0
// as planned; the caller has checked that plan.need bytes are free.
void insert_at(const Pair &pair, Node x, int32_t p, const TextPlan &plan) {
  uint8_t *d = x.data();
  const int32_t n = x.count();
  const int32_t e = x.entry_size();
  int32_t off = plan.share_off;
  if (off < 0 && p == n && x.leaf() && !plan.unshare) {
    const int32_t place = append_place(x, pair.len);
    if (place >= 0) {
      std::memcpy(d + place, pair.key, pair.len);
      x.set_text_end(place + pair.len);
      x.set_entry(p, place, pair.len, pair.item);
      x.set_count(n + 1);
      return;
    }
  }
  // The text below moves down into the free space under it: an open leaf
  // without enough there is closed first.
  // (The text, and so a shared offset the plan holds, moves up by shift.)
  if (x.text_open() && room_below_text(x) < plan.need) {
    const int32_t shift = close_text(x);
    if (off >= 0) off += shift;
  }
  if (plan.unshare) unshare(x, p);
  std::memmove(x.entry(p + 1), x.entry(p), static_cast<size_t>(n - p) * e);
  if (off < 0) {
    // The new text goes right before the text of the entry now at p + 1
    // (the end of the block when it is the last); the text of entries
    // 0..p-1 moves down to make room.
    const int32_t place = p < n ? x.key_off(p + 1) : x.text_end();
    const int32_t start = x.key_start();
    std::memmove(d + start - pair.len, d + start, place - start);
    if (pair.len > 0) std::memcpy(d + place - pair.len, pair.key, pair.len);
    x.set_key_start(start - pair.len);
    x.shift_key_offs(p, -pair.len);
    off = place - pair.len;
  }
  x.set_entry(p, off, pair.len, pair.item);
  if (!x.leaf()) x.set_child(p, pair.child);
  x.set_count(n + 1);
}

// Free bytes between the entry array and the key text.
int32_t free_bytes(const Node &x) { return x.block_size() - bytes_in_use(x); }

}  // namespace

int32_t room_test(Op &op, const Pair &pair, const Node &x, int32_t p,
                  TextPlan *plan, const Beside *beside) {
  if (plan != nullptr) plan->valid = false;
  if (x.empty()) return 0;
  const int32_t room = (x.block_size() - kNodeHeader) - content_bytes(x);
  if (!x.leaf() && p == -1) {
    // The old low_path child will become entry 0 under its smallest pair.
    Pin leaf(op);
    Pair low;
    if (low_path_pair(op, x.low_path(), leaf, low) != 1) return -1;
    return plan_text(op, low, x, 0).need <= room ? 0 : 1;
  }
  const TextPlan t = plan_text(op, pair, x, p, beside);
  if (plan != nullptr) *plan = t;
  return t.need <= room ? 0 : 1;
}

int32_t insert_entry(Op &op, const Pair &pair, Node x, int32_t p,
                     const TextPlan *planned) {
  if (!x.leaf() && p == -1) {
    if (x.count() == -1) {
      x.set_low_path(pair.child);
      x.set_count(0);
      return 1;
    }
    Pin leaf(op);
    Pair low;
    if (low_path_pair(op, x.low_path(), leaf, low) != 1) return -1;
    low.dup = pair.dup;
    low.child = x.low_path();
    const TextPlan plan = plan_text(op, low, x, 0);
    // The room test decided with the same compare function; a function that
    // answers differently the second time must not make the text overrun.
    if (plan.need > free_bytes(x)) return op.corrupt(kCtxInsertKey);
    x.set_low_path(pair.child);
    insert_at(low, x, 0, plan);
    return 1;
  }
  const TextPlan plan = planned != nullptr && planned->valid
                            ? *planned
                            : plan_text(op, pair, x, p);
  if (plan.need > free_bytes(x)) return op.corrupt(kCtxInsertKey);
  insert_at(pair, x, p, plan);
  return 1;
}

void remove_entry(Node x, int32_t p) {
  const int32_t n = x.count();
  if (!x.leaf() && p == -1) {
    if (n <= 0) {
      x.set_count(-1);
      return;
    }
    x.set_low_path(x.child(0));
    p = 0;
  }
  if (p < 0 || p >= n) return;
  uint8_t *d = x.data();
  const int32_t e = x.entry_size();
  // The entry is read through one pointer: the memmove below would make
  // the compiler read the node's header again for every entry() of a
  // neighbour.
  uint8_t *const at = d + kNodeHeader + p * e;
  const int32_t off = get_le16s(at);
  const int32_t len = get_le16s(at + 2);
  auto same_text = [off, len](const uint8_t *other) {
    return get_le16s(other) == off && get_le16s(other + 2) == len;
  };
  // shared_with_prev(x, p) || shared_with_prev(x, p + 1)
  const bool shared =
      (p > 0 && same_text(at - e)) || (p + 1 < n && same_text(at + e));
  std::memmove(at, at + e, static_cast<size_t>(n - p - 1) * e);
  std::memset(d + kNodeHeader + (n - 1) * e, 0, e);
  x.set_count(n - 1);
  if (!shared && len > 0) {
    const int32_t start = x.key_start();
    std::memmove(d + start + len, d + start, off - start);
    std::memset(d + start, 0, len);
    x.set_key_start(start + len);
    x.shift_key_offs(p, len);
  }
  // A node without entries has no text and ends it at the block's end.
  if (n == 1) close_text(x);
}

void replace_last(const Pair &pair, Node x, int32_t p) {
  uint8_t *d = x.data();
  const int32_t last = x.count() - 1;
  const int32_t len = pair.len;
  const int32_t gone = x.key_len(last);  // its text ends the block's text
  // A longer pair moves the text before p down: an open leaf without the
  // room below its text is closed first.
  if (x.text_open() && len - gone > room_below_text(x)) {
    close_text(x);
  }
  const int32_t start = x.key_start();
  const int32_t off_p = x.key_off(p);
  const int32_t off_last = x.key_off(last);
  // Text of entries p..last-1 moves up over the last entry's; the text
  // before p moves by what the block gives up less what the pair takes, and
  // the pair's text goes between them.
  // With keys of one length (the usual case) the text before p stays.
  std::memmove(d + off_p + gone, d + off_p, off_last - off_p);
  if (gone != len) {
    std::memmove(d + start + gone - len, d + start, off_p - start);
  }
  if (len > 0) std::memcpy(d + off_p + gone - len, pair.key, len);
  if (gone > len) std::memset(d + start, 0, gone - len);
  std::memmove(x.entry(p + 1), x.entry(p),
               static_cast<size_t>(last - p) * kLeafEntry);
  if (gone != len) x.shift_key_offs(p, gone - len);
  x.shift_key_offs_from(p + 1, last - p, gone);
  x.set_entry(p, off_p + gone - len, len, pair.item);
  x.set_key_start(start + gone - len);
}

void replace_first(const Pair &pair, Node x, int32_t p) {
  uint8_t *d = x.data();
  const int32_t n = x.count();
  const int32_t len = pair.len;
  const int32_t gone = x.key_len(0);
  const int32_t end = x.text_end();
  if (p == n && x.text_open() && len > 0 &&
      tail_takes(x.block_size() - end, len)) {
    const int32_t start = x.key_start();  // entry 0's text
    // The pair goes last, where the open text has room: entry 0's text
    // leaves from the front, the pair's is written at the end, and no
    // other text moves.
    std::memmove(x.entry(0), x.entry(1),
                 static_cast<size_t>(n - 1) * kLeafEntry);
    std::memset(d + start, 0, gone);
    x.set_key_start(start + gone);
    std::memcpy(d + end, pair.key, len);
    x.set_text_end(end + len);
    x.set_entry(n - 1, end, len, pair.item);
    return;
  }
  close_text(x);
  const int32_t start = x.key_start();  // entry 0's text
  const int32_t off_p = p < n ? x.key_off(p) : x.block_size();
  // Entries 1..p-1 and their text move down, the text by the pair's length,
  // so that the pair's text ends where entry p's begins.
  std::memmove(x.entry(0), x.entry(1), static_cast<size_t>(p - 1) * kLeafEntry);
  std::memmove(d + start + gone - len, d + start + gone, off_p - start - gone);
  if (len > 0) std::memcpy(d + off_p - len, pair.key, len);
  if (gone > len) std::memset(d + start, 0, gone - len);
  x.shift_key_offs(p - 1, -len);
  x.set_entry(p - 1, off_p - len, len, pair.item);
  x.set_key_start(start + gone - len);
}

void move_right(Node x, Node r, int32_t m) {
  const int32_t n = x.count();
  if (m <= 0 || m > n) return;
  const int32_t bs = x.block_size();
  const int32_t e = x.entry_size();
  const int32_t s = n - m;  // first entry that leaves x
  uint8_t *xd = x.data();
  uint8_t *rd = r.data();
  // Entries that r receives: s..n-1 of a leaf; s+1..n-1 of an interior node,
  // whose entry s gives only its child (r's low_path).
  const int32_t first = x.leaf() ? s : s + 1;
  if (!x.leaf()) r.set_low_path(x.child(s));
  const int32_t moved = n - first;
  if (moved > 0) {
    // Their text is copied as one block to the end of r, which holds no
    // text yet: to the same offsets, unless x is open and its text ends
    // short of the block's end, when the offsets move by the difference.
    const int32_t from = x.key_off(first);
    const int32_t x_end = x.text_end();
    const int32_t to = bs - (x_end - from);
    std::memcpy(rd + to, xd + from, x_end - from);
    std::memcpy(r.entry(0), x.entry(first), static_cast<size_t>(moved) * e);
    if (to != from) r.shift_key_offs(moved, to - from);
    r.set_key_start(to);
  }
  r.set_count(moved);
  // x keeps entries 0..s-1; their text moves up to end the block.
  const int32_t start = x.key_start();
  const int32_t end = s > 0 ? x.key_off(s - 1) + x.key_len(s - 1) : start;
  const int32_t shift = bs - end;
  std::memmove(xd + start + shift, xd + start, end - start);
  std::memset(xd + start, 0, shift);
  x.shift_key_offs(s, shift);
  x.set_key_start(start + shift);
  x.set_text_end(bs);  // an open x is closed now
  std::memset(x.entry(s), 0, static_cast<size_t>(m) * e);
  x.set_count(s);
}

int32_t move_left(Op &op, Node a, Node b) {
  if (a.leaf() != b.leaf()) return op.corrupt(kCtxMoveLeft);
  // a's text moves in any case; b's stays where it is until b is emptied
  // (a caller may hold a key of b), so an open b is read where it lies.
  close_text(a);
  if (!b.leaf()) {
    Pin leaf(op);
    Pair low;
    if (low_path_pair(op, b.low_path(), leaf, low) != 1) {
      if (op.ctx == kCtxLowPathLeaf) op.ctx = kCtxMoveLeft;
      return -1;
    }
    if (insert_entry(op, low, a, a.count() < 0 ? 0 : a.count()) != 1) {
      return -1;
    }
  }
  const int32_t nb = b.count();
  if (nb <= 0) return 1;
  const int32_t bs = a.block_size();
  const int32_t e = a.entry_size();
  const int32_t na = a.count() < 0 ? 0 : a.count();
  uint8_t *ad = a.data();
  uint8_t *bd = b.data();
  // b's first run of equal keys shares a's last text when the keys match.
  int32_t run = 0;
  if (na > 0 && shares_text(op, b.key(0), b.key_len(0), a, na - 1)) {
    run = 1;
    while (shared_with_prev(b, run)) ++run;
  }
  const int32_t from = run > 0 ? b.key_off(0) + b.key_len(0) : b.key_off(0);
  const int32_t text = b.text_end() - from;
  const int32_t to = bs - text;  // where that text lands in a
  if (text + nb * e > free_bytes(a)) return op.corrupt(kCtxMoveLeft);
  // a's text moves down by the size of b's copied text, which then ends the
  // block: at the offsets it had in b, unless b is open.
  const int32_t start = a.key_start();
  std::memmove(ad + start - text, ad + start, bs - start);
  a.shift_key_offs(na, -text);
  a.set_key_start(start - text);
  std::memcpy(ad + to, bd + from, text);
  std::memcpy(a.entry(na), b.entry(0), static_cast<size_t>(nb) * e);
  if (to != from) a.shift_key_offs_from(na, nb, to - from);
  const int32_t shared_off = na > 0 ? a.key_off(na - 1) : 0;
  for (int32_t i = 0; i < run; ++i) a.set_key_off(na + i, shared_off);
  a.set_count(na + nb);
  // b is emptied; the caller frees it.
  std::memset(bd + kNodeHeader, 0, bs - kNodeHeader);
  b.set_count(0);
  b.set_text_end(bs);
  b.set_key_start(bs);
  return 1;
}

}  // namespace recbase::cbt
