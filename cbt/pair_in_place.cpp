// Replacing a leaf entry's pair where it stands (cbt/pair_in_place.h).
#include "cbt/pair_in_place.h"

#include <cstring>

#include "cbt/node_ops.h"

namespace recbase::cbt {

bool replace_in_place(const Op &op, Node x, int32_t p, const Pair &pair) {
  const int32_t n = x.count();
  if (!x.leaf() || p < 0 || p >= n || pair.len != x.key_len(p)) return false;
  // Removal and insertion move the text of entries 0..p-1 by the same
  // length both ways when p's own text lies right before its successor's
  // (or ends the text), nobody shares it, the neighbours do not come to
  // share theirs once p is gone, and the new key shares with neither.
  const int32_t end = p + 1 < n ? x.key_off(p + 1) : x.text_end();
  if (x.key_off(p) + pair.len != end || shared_with_prev(x, p) ||
      shared_with_prev(x, p + 1) ||
      (p > 0 && p + 1 < n && x.key_off(p - 1) == x.key_off(p + 1) &&
       x.key_len(p - 1) == x.key_len(p + 1)) ||
      shares_text(op, pair.key, pair.len, x, p - 1) ||
      shares_text(op, pair.key, pair.len, x, p + 1)) {
    return false;
  }
  if (pair.len > 0) std::memcpy(x.data() + x.key_off(p), pair.key, pair.len);
  x.set_entry(p, x.key_off(p), pair.len, pair.item);
  return true;
}

}  // namespace recbase::cbt
