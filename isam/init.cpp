// Setting the library up for the ISAM layer, and ending it.
//
// States: not set up (no buffer pool) --isaminit / isaminit_mswin / the
// first create or open--> set up --isamexit--> not set up. Each set-up that
// gets past the already-set-up check registers isamexit as an exit handler
// once more; a run of isamexit with nothing set up only returns 1.
#include <cstdlib>
#include <cstring>

#include "frame/alloc.h"
#include "isam/buffers.h"
#include "isam/error_state.h"
#include "isam/handles.h"
#include "isam/window_link.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

void exit_handler() { isamexit(); }

int32_t detect_byte_order() {
  const uint32_t probe = 0x01020304u;
  uint8_t bytes[4];
  std::memcpy(bytes, &probe, sizeof bytes);
  const uint8_t forward[4] = {1, 2, 3, 4};
  const uint8_t backward[4] = {4, 3, 2, 1};
  if (std::memcmp(bytes, forward, 4) == 0) return 1;
  if (std::memcmp(bytes, backward, 4) == 0) return 0;
  return -1;
}

// The steps both set-up calls share. kIsOk, kIsAlreadyInit or kIsCbt.
IsamError set_up(int32_t count, int32_t size, bool with_window) {
  if (cbbufsize() != 0) return kIsAlreadyInit;
  std::atexit(exit_handler);
  const int32_t r =
      with_window ? cbinit_mswin(count, size) : cbinit(count, size);
  if (r != 1) return kIsCbt;
  g_byte_order = detect_byte_order();
  return kIsOk;
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL isaminit(int32_t count, int32_t size) {
  if (const IsamError e = set_up(count, size, false)) return fail(e);
  set_error(kIsOk);
  return 1;
}

// The message box prints until the set-up succeeds, so that a failure to
// set up can still be shown; the window routines are those the display
// layer made known (none: a display function is just a print routine).
RBAPI int32_t RBCALL isaminit_mswin(int32_t count, int32_t size,
                                    RbPrint display, void *instance) {
  g_window_instance = instance;
  if (display != nullptr && g_window_routines.box != nullptr) {
    cbset_print(g_window_routines.box);
  }
  if (const IsamError e = set_up(count, size, true)) return fail(e);
  if (display != nullptr && display == g_window_routines.window &&
      instance == nullptr) {
    return fail(kIsNoWinInstance);
  }
  if (display != nullptr) cbset_print(display);
  set_error(kIsOk);
  return 1;
}

RBAPI int32_t RBCALL isamexit(void) {
  set_error(kIsOk);
  int32_t remembered = kIsOk;
  while (g_open_dbs != nullptr) {
    // A failed close still releases the database.
    if (iclose_db(static_cast<IsamDb *>(g_open_dbs)) != 1 &&
        remembered == kIsOk) {
      remembered = isam_errno;
    }
  }
  if (cbbufsize() != 0 && cbexit() != 1) remembered = kIsCbt;
  free_layer_buffers();
  set_error(static_cast<IsamError>(remembered));
  return remembered == kIsOk ? 1 : -1;
}

}  // extern "C"
