// Every heap allocation of the library goes through rb_malloc/rb_free, so
// that tests can make allocation N fail and check that each caller turns it
// into an error code. The hook is internal: it is not exported from the
// shared library, and only tests linking the internal build reach it.
#ifndef RECBASE_FRAME_ALLOC_H
#define RECBASE_FRAME_ALLOC_H

#include <cstddef>

namespace recbase {

// Returns null when the allocation fails (or the hook says it fails).
void *rb_malloc(std::size_t size);
// Zero-filled memory, null when the allocation fails (or the hook says it
// fails). Large areas come straight from the system, whose pages take no
// memory until they are first touched: the buffer pool takes its buffers
// this way, so that a pool holds only the memory it has used.
void *rb_calloc(std::size_t size);
// Frees memory from rb_malloc; null is allowed.
void rb_free(void *p);

// Test hook: when set, consulted before every allocation; returning false
// makes that allocation fail.
using AllocHook = bool (*)(std::size_t size);
extern AllocHook g_alloc_hook;

}  // namespace recbase

#endif  // RECBASE_FRAME_ALLOC_H
