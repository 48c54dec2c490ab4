// The default key order, inline, so that searches of trees using it avoid a
// call through a pointer per comparison: empty keys first, then bytes
// compared unsigned with ASCII capitals folded to lower case, the shorter
// key first on a common prefix.
#ifndef RECBASE_CBT_KEYCMP_H
#define RECBASE_CBT_KEYCMP_H

#include <cstdint>
#include <cstring>

namespace recbase::cbt {

inline uint32_t fold_case(uint8_t c) {
  return (c >= 0x41 && c <= 0x5A) ? c + 0x20u : c;
}

inline int32_t default_keycmp(const uint8_t *a, int32_t alen, const uint8_t *b,
                              int32_t blen) {
  if (alen <= 0) return blen <= 0 ? 0 : -1;
  if (blen <= 0) return 1;
  const int32_t n = alen < blen ? alen : blen;
  int32_t i = 0;
  // Bytes that are equal are equal folded too: skip a common prefix a word
  // at a time.
  while (i + 8 <= n) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
    i += 8;
  }
  for (; i < n; ++i) {
    if (a[i] == b[i]) continue;
    const uint32_t ca = fold_case(a[i]);
    const uint32_t cb = fold_case(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (alen == blen) return 0;
  return alen < blen ? -1 : 1;
}

// The first eight bytes at p with ASCII capitals folded to lower case, as
// a number whose order is that of the folded bytes compared unsigned (the
// first byte most significant). A byte is a capital when its low seven
// bits lie in 0x41..0x5A and its top bit is clear; the sums below stay
// within each byte, so the test runs on all eight at once.
inline uint64_t folded_word(const uint8_t *p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  x = __builtin_bswap64(x);
#endif
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kTops = 0x8080808080808080ull;
  const uint64_t low = x & ~kTops;
  const uint64_t from_a = low + (0x80 - 0x41) * kOnes;  // top set: >= 0x41
  const uint64_t past_z = low + (0x80 - 0x5B) * kOnes;  // top set: >= 0x5B
  const uint64_t capital = from_a & ~past_z & ~x & kTops;
  x |= capital >> 2;  // 0x20 in each capital
#if defined(__GNUC__)
  return __builtin_bswap64(x);
#else
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r = (r << 8) | ((x >> (8 * i)) & 0xFF);
  return r;
#endif
}

// default_keycmp(a, n, b, n) == 0 for two keys of n bytes, faster: a word
// whose bytes differ in more than the case bit (0x20) holds a pair of bytes
// that differ folded too, so most unequal keys are told apart at their
// first differing word without folding.
inline bool default_keys_equal(const uint8_t *a, const uint8_t *b,
                               int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    const uint64_t d = x ^ y;
    if (d == 0) continue;
    if ((d & ~0x2020202020202020ull) != 0) return false;
    for (int32_t j = i; j < i + 8; ++j) {
      if (fold_case(a[j]) != fold_case(b[j])) return false;
    }
  }
  for (; i < n; ++i) {
    if (a[i] != b[i] && fold_case(a[i]) != fold_case(b[i])) return false;
  }
  return true;
}

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_KEYCMP_H
