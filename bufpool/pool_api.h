// The exported calls that create the buffer pool and change its size
// (bufpool/pool_api.cpp). recbase/cbt.h declares them with their contracts;
// they are declared again here, with the same C linkage and visibility,
// because bufpool/ sits below the layer that header belongs to.
// cbt/decl_check.cpp compiles both declarations together, so the compiler
// rejects any difference.
#ifndef RECBASE_BUFPOOL_POOL_API_H
#define RECBASE_BUFPOOL_POOL_API_H

#include <cstdint>

#include "recbase/defs.h"

extern "C" {

RBAPI int32_t RBCALL cbinit(int32_t buffer_count, int32_t buffer_size);
RBAPI int32_t RBCALL cbinit_w32(int32_t buffer_count, int32_t buffer_size);
RBAPI int32_t RBCALL cbinit_mswin(int32_t buffer_count, int32_t buffer_size);
RBAPI int32_t RBCALL cbbufsize(void);
RBAPI int32_t RBCALL cbbufcnt(void);
RBAPI int32_t RBCALL cbaddbufs(int32_t n);
RBAPI int32_t RBCALL cbrmbufs(int32_t n);

}  // extern "C"

#endif  // RECBASE_BUFPOOL_POOL_API_H
