// Asking for the cache lines of a block before it is read.
#ifndef RECBASE_FRAME_PREFETCH_H
#define RECBASE_FRAME_PREFETCH_H

#include <cstdint>

namespace recbase {

// Asks for every 64-byte line of the bytes at data..data+size-1 (size at
// most 8192; the caller decides that). The loop is unrolled by hand, eight
// lines a turn: its own count and test would cost more than the prefetches,
// and an unroll pragma did not survive link-time optimisation everywhere
// (some call sites were left with a loop of one prefetch, four times the
// instructions). The last turn may ask for up to seven lines past the end,
// which costs nothing but the asking: a prefetch never faults. Always
// inlined: GCC dropped every prefetch of an out-of-line helper.
#if defined(__GNUC__)
[[gnu::always_inline]] inline void prefetch_lines(const uint8_t *data,
                                                  int32_t size) {
  for (int32_t off = 0; off < size; off += 512) {
    const uint8_t *p = data + off;
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
    __builtin_prefetch(p + 128);
    __builtin_prefetch(p + 192);
    __builtin_prefetch(p + 256);
    __builtin_prefetch(p + 320);
    __builtin_prefetch(p + 384);
    __builtin_prefetch(p + 448);
  }
}
#else
inline void prefetch_lines(const uint8_t *, int32_t) {}
#endif

}  // namespace recbase

#endif  // RECBASE_FRAME_PREFETCH_H
