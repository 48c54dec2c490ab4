// The exported default compare function.
#include "cbt/keycmp.h"

#include "recbase/cbt.h"

extern "C" RBAPI int32_t RBCALL cbkeycmp(const void *a, int32_t alen,
                                         const void *b, int32_t blen) {
  return recbase::cbt::default_keycmp(static_cast<const uint8_t *>(a), alen,
                                      static_cast<const uint8_t *>(b), blen);
}
