// Relisting a leaf in its parent in place after a shift (cbt/relist.h).
#include "cbt/relist.h"

#include <cstring>

#include "cbt/insert.h"
#include "cbt/node_ops.h"

namespace recbase::cbt {

namespace {

// The in-place path's switch and count, for the differential test that runs
// both paths over the same calls (set_relist_in_place, not exported). The
// library itself never turns the path off; both paths leave the same bytes.
bool g_relist = true;
int64_t g_relisted = 0;

// Whether pair sep sorts strictly between entries e - 1 and e + 1 of n (an
// end with no such entry bounds nothing), noting in *beside which of the two
// has a key equal to sep's. A search of n's entries without entry e would
// end at position e exactly then, and would have compared these two last,
// so *beside is what it would note; two compares replace its dozen. The
// equivalence holds for an order that is consistent (transitive, the same
// answer every time), as every compare function of a tree must be.
bool between_neighbours(const Op &op, const Node &n, int32_t e, const Pair &sep,
                        Beside *beside) {
  *beside = Beside{};
  beside->known = true;
  if (e >= 1) {
    const int32_t c =
        cmp_keys(op, sep.key, sep.len, n.key(e - 1), n.key_len(e - 1));
    if (c < 0 || (c == 0 && sep.item <= n.item(e - 1))) return false;
    beside->before = c == 0;
  }
  if (e + 1 < n.count()) {
    const int32_t c =
        cmp_keys(op, sep.key, sep.len, n.key(e + 1), n.key_len(e + 1));
    if (c > 0 || (c == 0 && sep.item >= n.item(e + 1))) return false;
    beside->after = c == 0;
  }
  return true;
}

}  // namespace

bool relist_fits(const Op &op, const Node &n, int32_t e, BlockNo cb,
                 BlockNo c_right, const Pair &sep, const Node *low) {
  const int32_t count = n.count();
  if (!g_relist) return false;
  if (e < 0 || e >= count || n.child(e) != cb || c_right == cb) return false;
  const BlockNo next = e + 1 < count ? n.child(e + 1) : 0;
  if (c_right != next || (e + 1 == count && n.right() != 0)) return false;
  if (shared_with_prev(n, e) || shared_with_prev(n, e + 1)) return false;
  if (n.leaf()) return false;  // a parent the descent went through
  Beside beside;
  if (!between_neighbours(op, n, e, sep, &beside)) return false;
  if (e == 0 && (low == nullptr || low->count() < 1 ||
                 cmp_pair(op, sep.key, sep.len, sep.item, *low, 0) <= 0)) {
    return false;
  }
  // No text shared with entry e - 1 or e + 1, the entries the search found
  // beside the separator's place.
  if ((beside.before && n.key_len(e - 1) == sep.len) ||
      (beside.after && e + 1 < count && n.key_len(e + 1) == sep.len)) {
    return false;
  }
  const int32_t old_len = n.key_len(e);
  // After the removal entries e - 1 and e + 1 meet: their text must not
  // look shared then either.
  if (e >= 1 && e + 1 < count &&
      n.key_off(e - 1) + old_len == n.key_off(e + 1) &&
      n.key_len(e - 1) == n.key_len(e + 1)) {
    return false;
  }
  const int32_t delta = old_len - sep.len;
  return -delta <= n.key_start() - kNodeHeader - count * kInteriorEntry;
}

void relist_apply(Node n, int32_t e, const Pair &sep) {
  const int32_t old_len = n.key_len(e);
  const int32_t old_off = n.key_off(e);
  const int32_t delta = old_len - sep.len;
  const int32_t start = n.key_start();
  uint8_t *d = n.data();
  if (delta != 0) {
    // The text of entries 0..e-1 moves by delta; bytes it leaves are zero.
    std::memmove(d + start + delta, d + start, old_off - start);
    if (delta > 0) std::memset(d + start, 0, delta);
    n.shift_key_offs(e, delta);
    n.set_key_start(start + delta);
  }
  if (sep.len > 0) std::memcpy(d + old_off + delta, sep.key, sep.len);
  n.set_entry(e, old_off + delta, sep.len, sep.item);
  ++g_relisted;
}

bool relist_in_place(const Op &op, Node n, int32_t e, BlockNo cb, const Node &c,
                     const Node *low) {
  if (c.count() < 1) return false;
  Pair sep;
  sep.key = c.key(0);
  sep.len = c.key_len(0);
  sep.item = c.item(0);
  if (!relist_fits(op, n, e, cb, c.right(), sep, low)) return false;
  relist_apply(n, e, sep);
  return true;
}

bool right_relist_starts(const Op &op, const Node &n, int32_t g, const Node &x,
                         BlockNo xb, const Node **low) {
  *low = nullptr;
  if (g == -1) {
    if (n.low_path() != xb) return false;
    *low = &x;
    return true;
  }
  if (g < 0 || g >= n.count() || n.child(g) != xb) return false;
  const Node held = held_node(op, n.child_at(g - 1));
  return held.data() != nullptr && held.right() == xb;
}

int64_t set_relist_in_place(bool on) {
  g_relist = on;
  const int64_t n = g_relisted;
  g_relisted = 0;
  return n;
}

}  // namespace recbase::cbt
