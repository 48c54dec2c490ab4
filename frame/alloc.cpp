// The library's one allocator. Every record, buffer and scratch area comes
// from here, so that a test can make any single allocation fail through
// g_alloc_hook and check that its caller reports "out of memory" instead of
// crashing.
#include "frame/alloc.h"

#include <cstdlib>

namespace recbase {

AllocHook g_alloc_hook = nullptr;

void *rb_malloc(std::size_t size) {
  if (g_alloc_hook != nullptr && !g_alloc_hook(size)) return nullptr;
  // malloc(0) may legally return null; ask for one byte so that a successful
  // zero-size allocation is always distinguishable from a failure.
  return std::malloc(size == 0 ? 1 : size);
}

void *rb_calloc(std::size_t size) {
  if (g_alloc_hook != nullptr && !g_alloc_hook(size)) return nullptr;
  return std::calloc(size == 0 ? 1 : size, 1);
}

void rb_free(void *p) { std::free(p); }

}  // namespace recbase
