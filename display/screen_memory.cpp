// The text screen's memory where the windowing system asks nothing of it
// (Xlib, or no window): a heap block that never moves, so locking it only
// hands out its address.
#include "display/output_window.h"
#include "frame/alloc.h"

namespace recbase::display {

ScreenMemory screen_memory_alloc() { return rb_malloc(kScreenBytes); }

char *screen_memory_lock(ScreenMemory memory) {
  return static_cast<char *>(memory);
}

void screen_memory_unlock(ScreenMemory) {}

void screen_memory_free(ScreenMemory memory) { rb_free(memory); }

}  // namespace recbase::display
