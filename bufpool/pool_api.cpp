// The exported calls that create the buffer pool and change its size. Each
// stores its function code in cbfcncode on entry and reports failures in
// cberrcode/cbconcode; the pool's own detail stays in bufpool_err.
#include "bufpool/pool_api.h"

#include "bufpool/bufpool.h"
#include "frame/errors.h"
#include "frame/platform.h"

namespace recbase {
namespace {

constexpr int32_t kDefaultCount = 16;
constexpr int32_t kDefaultSize = 512;
// The smallest buffer that holds a control record.
constexpr int32_t kMinSize = 36;

int32_t fail(CbError error) {
  cberrcode = error;
  cbconcode = kCtxAllocPool;
  return -1;
}

int32_t init(int32_t buffer_count, int32_t buffer_size) {
  cbfcncode = kFnInit;
  if (bufpool_current() != nullptr) return fail(kErrPool);
  int32_t count = buffer_count == 0 ? kDefaultCount : buffer_count;
  if (count < kMinBuffers) count = kMinBuffers;
  // A size below a control record's is taken as "use the default", not as
  // "use the smallest".
  int32_t size = buffer_size < kMinSize ? kDefaultSize : buffer_size;
  BufferPool *pool = bufpool_create(size, count);
  if (pool == nullptr) return fail(kErrNoMemory);
  bufpool_set_current(pool);
  platform_fill();
  return 1;
}

}  // namespace
}  // namespace recbase

using recbase::BufferPool;
using recbase::bufpool_addbufs;
using recbase::bufpool_buffer_count;
using recbase::bufpool_buffer_size;
using recbase::bufpool_current;
using recbase::bufpool_rmbufs;
using recbase::fail;
using recbase::init;
using recbase::kErrNoMemory;
using recbase::kErrNoPool;
using recbase::kFnAddBufs;
using recbase::kFnBufCnt;
using recbase::kFnBufSize;
using recbase::kFnRmBufs;
using recbase::kMinBuffers;

extern "C" {

RBAPI int32_t RBCALL cbinit(int32_t buffer_count, int32_t buffer_size) {
  return init(buffer_count, buffer_size);
}
RBAPI int32_t RBCALL cbinit_w32(int32_t buffer_count, int32_t buffer_size) {
  return init(buffer_count, buffer_size);
}
RBAPI int32_t RBCALL cbinit_mswin(int32_t buffer_count, int32_t buffer_size) {
  return init(buffer_count, buffer_size);
}

RBAPI int32_t RBCALL cbbufsize(void) {
  cbfcncode = kFnBufSize;
  return bufpool_buffer_size();
}

RBAPI int32_t RBCALL cbbufcnt(void) {
  cbfcncode = kFnBufCnt;
  return bufpool_buffer_count();
}

RBAPI int32_t RBCALL cbaddbufs(int32_t n) {
  cbfcncode = kFnAddBufs;
  BufferPool *pool = bufpool_current();
  if (pool == nullptr) {
    fail(kErrNoPool);
    return 0;
  }
  if (n <= 0) return 0;
  const int32_t added = bufpool_addbufs(pool, n);
  if (added < n) fail(kErrNoMemory);
  return added;
}

RBAPI int32_t RBCALL cbrmbufs(int32_t n) {
  cbfcncode = kFnRmBufs;
  BufferPool *pool = bufpool_current();
  if (pool == nullptr) {
    fail(kErrNoPool);
    return 0;
  }
  if (n <= 0) return 0;
  const int32_t spare = bufpool_buffer_count() - kMinBuffers;
  if (n > spare) n = spare;
  if (n <= 0) return 0;
  return bufpool_rmbufs(pool, n);
}

}  // extern "C"
