// What the platform files of every system share: the argument checks that
// run before any system call, and the retry loop of sys_lock. Only the
// platform files include this header.
//
// Invariants:
//  1. A byte range [offset, offset + length) is valid when neither is
//     negative, the buffer is not null and the range ends at or before
//     2^31 - 1 bytes; a block range when its start, block × size computed in
//     64 bits, passes the same test, so a large block number cannot wrap into
//     a valid-looking offset.
//  2. lock_with_retries makes one attempt, then up to tries - 1 more, each
//     after a sleep of delay_ms, and gives up once more than timeout_ms have
//     passed since the first failure. Only a conflict with another lock is
//     retried; any other failure ends the loop at once.
#ifndef RECBASE_FRAME_PLATFORM_COMMON_H
#define RECBASE_FRAME_PLATFORM_COMMON_H

#include <cstdint>

#include "frame/platform.h"

namespace recbase {

// The default print routine (standard output, made unbuffered on its first
// call) and the idle slot, the same on every system (frame/platform_table.cpp).
int32_t RBCALL native_print(const char *text);
int32_t native_idle();

namespace platform_detail {

constexpr int64_t kMaxFileBytes = INT32_MAX;

enum class RangeCheck { kOk, kInvalid, kTooBig };

inline RangeCheck check_range(int64_t offset, int64_t length,
                              const void *buffer) {
  if (offset < 0 || length < 0 || buffer == nullptr) {
    return RangeCheck::kInvalid;
  }
  return offset + length > kMaxFileBytes ? RangeCheck::kTooBig
                                         : RangeCheck::kOk;
}

// The byte offset of a block, through *offset when the check passes.
inline RangeCheck check_block(uint32_t block, int32_t block_size,
                              const void *buffer, int32_t *offset) {
  if (block_size < 0) return RangeCheck::kInvalid;
  const int64_t start = static_cast<int64_t>(block) * block_size;
  const RangeCheck r = check_range(start, block_size, buffer);
  if (r == RangeCheck::kOk) *offset = static_cast<int32_t>(start);
  return r;
}

// A lock range the platforms accept: a length of 0 would mean "to the end
// of the file" to some of them, so it is refused everywhere.
inline bool lockable_range(int32_t offset, int32_t length) {
  return offset >= 0 && length > 0 &&
         static_cast<int64_t>(offset) + length <= kMaxFileBytes;
}

enum class LockTry { kLocked, kBusy, kError };

// The retry loop of sys_lock around one non-blocking attempt. Sleeping goes
// through the table's sys_sleep (so that tests can watch it) once the table
// is filled, else through fallback_sleep.
template <typename Attempt>
int32_t lock_with_retries(Attempt attempt, int32_t tries, int32_t delay_ms,
                          int32_t timeout_ms,
                          int32_t (*fallback_sleep)(int32_t)) {
  LockTry result = attempt();
  if (result != LockTry::kBusy) return result == LockTry::kLocked ? 1 : -1;
  const uint32_t start = platform_clock_ms();
  auto pause =
      g_platform.sys_sleep != nullptr ? g_platform.sys_sleep : fallback_sleep;
  for (;;) {
    --tries;
    if (tries < 1) return -1;
    pause(delay_ms);
    result = attempt();
    if (result != LockTry::kBusy) return result == LockTry::kLocked ? 1 : -1;
    const int32_t elapsed = static_cast<int32_t>(platform_clock_ms() - start);
    if (elapsed > timeout_ms) return -1;
  }
}

}  // namespace platform_detail
}  // namespace recbase

#endif  // RECBASE_FRAME_PLATFORM_COMMON_H
