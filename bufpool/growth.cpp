// Disk space held ahead of a file's new blocks (bufpool/bufpool.h).
//
// A block added at the end of a file would be written at once, so that a
// full disk fails the call that grows the file and not a later write-back.
// Holding the space instead (fallocate without changing the size) gives the
// same guarantee for a fraction of the calls: space is held ahead in steps,
// and a new block that lies inside held space waits in the pool, dirty, and
// is written once at write-back instead of twice (zeros now, its content
// later). Between flush points the file may then end before its last
// block; every write-back writes every dirty block, so at each flush point
// and at close the file has all its blocks, as before.
#include <cstdint>

#include "bufpool/bufpool.h"
#include "frame/errors.h"
#include "frame/platform.h"

namespace recbase {
namespace {

constexpr uint32_t kLeastStep = 64u * 1024u;
constexpr uint32_t kMostStep = 8u * 1024u * 1024u;

}  // namespace

int32_t reserve_block(LruFile *file, uint32_t n) {
  if (file->cannot_reserve != 0) return 0;
  const uint32_t bs = static_cast<uint32_t>(file->block_size);
  const uint64_t start = static_cast<uint64_t>(n) * bs;
  const uint64_t need = start + bs;
  if (file->reserved_end == 0) {
    uint32_t size = 0;
    if (sys_filesize(file->handle, &size) != 1) {
      bufpool_err = kPoolIo;
      return -1;
    }
    file->reserved_end = size;
  }
  if (need <= file->reserved_end) return 1;
  // The step: an eighth of what the file holds, within bounds, in whole
  // blocks (at least one: a block is below 32 KiB), and never past the
  // largest file.
  uint64_t step = file->reserved_end / 8;
  if (step < kLeastStep) step = kLeastStep;
  if (step > kMostStep) step = kMostStep;
  step -= step % bs;
  uint64_t end = start + step;
  const uint64_t most = 0x7FFFFFFFu - 0x7FFFFFFFu % bs;
  if (end > most) end = most;
  if (end < need) end = need;
  int32_t r = platform_reserve(file->handle, static_cast<uint32_t>(start),
                               static_cast<uint32_t>(end - start));
  if (r == -1 && end > need) {
    end = need;
    r = platform_reserve(file->handle, static_cast<uint32_t>(start), bs);
  }
  if (r == 0) {
    file->cannot_reserve = 1;
    return 0;
  }
  if (r != 1) {
    bufpool_err = kPoolIo;
    return -1;
  }
  file->reserved_end = static_cast<uint32_t>(end);
  return 1;
}

void forget_reserve(LruFile *file) { file->reserved_end = 0; }

void release_reserve(LruFile *file) {
  if (file->reserved_end == 0) return;
  uint32_t size = 0;
  if (sys_filesize(file->handle, &size) == 1 && size < file->reserved_end) {
    platform_truncate(file->handle, size);
  }
  file->reserved_end = 0;
}

}  // namespace recbase
