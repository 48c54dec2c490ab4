// The default key order: empty keys first, then bytes compared unsigned with
// ASCII capitals folded to lower case, the shorter key first on a common
// prefix.
#include <cstdint>

#include "recbase/cbt.h"

namespace {

inline uint32_t fold(uint8_t c) {
  return (c >= 0x41 && c <= 0x5A) ? c + 0x20u : c;
}

}  // namespace

extern "C" RBAPI int32_t RBCALL cbkeycmp(const void *a, int32_t alen,
                                         const void *b, int32_t blen) {
  if (alen <= 0) return blen <= 0 ? 0 : -1;
  if (blen <= 0) return 1;
  const auto *pa = static_cast<const uint8_t *>(a);
  const auto *pb = static_cast<const uint8_t *>(b);
  const int32_t n = alen < blen ? alen : blen;
  for (int32_t i = 0; i < n; ++i) {
    const uint32_t ca = fold(pa[i]);
    const uint32_t cb = fold(pb[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (alen == blen) return 0;
  return alen < blen ? -1 : 1;
}
