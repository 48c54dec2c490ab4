// The ISAM layer's process-wide state: the open databases, the current
// database, the key buffer and the result lists, the window link, and the
// exported name of the built-in index.
//
// frame/errors.h declares the exported error calls of this layer again
// (frame/ sits below it); including it beside recbase/isam.h here makes the
// compiler reject any difference between the two declarations.
#include "frame/alloc.h"
#include "frame/errors.h"
#include "isam/buffers.h"
#include "isam/handles.h"
#include "isam/locks.h"
#include "isam/record_io.h"
#include "isam/window_link.h"
#include "recbase/isam.h"

extern "C" {
RBAPI const char *iphysical = recbase::isam::kPhysicalName;
}

namespace recbase::isam {

void *g_open_dbs = nullptr;
IsamDb *g_current_db = nullptr;
uint8_t *g_key_buffer = nullptr;
int32_t g_key_buffer_size = 0;
char *g_desc_buffer = nullptr;
size_t g_desc_buffer_size = 0;
char **g_index_names = nullptr;
int32_t g_index_names_size = 0;
int32_t g_byte_order = 0;
void *g_window_instance = nullptr;
WindowRoutines g_window_routines;
LockSettings g_record_lock_settings;

// The buffer lives until isamexit. A pool made anew with another buffer size
// (cbexit and cbinit called directly) is followed once no database is open.
IsamError ensure_key_buffer() {
  const int32_t size = cbbufsize();
  if (g_key_buffer != nullptr &&
      (size == g_key_buffer_size || g_open_dbs != nullptr)) {
    return kIsOk;
  }
  rb_free(g_key_buffer);
  g_key_buffer = static_cast<uint8_t *>(rb_malloc(static_cast<size_t>(size)));
  g_key_buffer_size = g_key_buffer != nullptr ? size : 0;
  return g_key_buffer != nullptr ? kIsOk : kIsNoMemory;
}

bool ensure_set_up() {
  return cbbufsize() != 0 ||
         isaminit(ISAM_AUTO_BUFFERS, ISAM_AUTO_BUFFER_SIZE) == 1;
}

void free_layer_buffers() {
  free_record_areas();
  rb_free(g_key_buffer);
  g_key_buffer = nullptr;
  g_key_buffer_size = 0;
  rb_free(g_desc_buffer);
  g_desc_buffer = nullptr;
  g_desc_buffer_size = 0;
  rb_free(g_index_names);
  g_index_names = nullptr;
  g_index_names_size = 0;
}

}  // namespace recbase::isam
