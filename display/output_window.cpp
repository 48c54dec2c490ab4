// The output window's exported routines: making the window, writing into
// its text screen and repainting what changed, clearing, moving the cursor,
// and the message box. The windowing system behind them is reached through
// the calls of display/output_window.h.
#include "display/output_window.h"

#include "frame/platform.h"
#include "isam/error_state.h"
#include "isam/window_link.h"
#include "recbase/isam.h"

namespace recbase::display {

OutputWindow g_output;

namespace {

// Makes the window with a blank text screen: kIsOk, or the reason it cannot
// be made.
IsamError create_window() {
  // Any non-null value stands for the application on systems where a window
  // needs no instance: it only shows that the application asked for one.
  if (isam::g_window_instance == nullptr) return kIsNoWinInstance;
  const ScreenMemory screen = screen_memory_alloc();
  char *cells = screen_memory_lock(screen);
  if (cells == nullptr) {
    screen_memory_free(screen);
    return kIsNoMemory;
  }
  Cursor cursor;
  screen_clear(cells, &cursor);
  screen_memory_unlock(screen);
  // The window paints from the screen while it is being made.
  g_output.screen = screen;
  g_output.view = View{};
  if (!window_open()) {
    screen_memory_free(screen);
    g_output.screen = nullptr;
    return kIsNoWindow;
  }
  g_output.exists = true;
  g_output.cursor = cursor;
  window_events();  // the first repaint
  return kIsOk;
}

// Makes the window routines known to isaminit_mswin, which lies in the
// layer below and compares a display function with them.
const bool g_routines_known = [] {
  isam::g_window_routines = {iputs_win, iputs_winbox};
  return true;
}();

}  // namespace

void output_closed() {
  screen_memory_free(g_output.screen);
  g_output.screen = nullptr;
  g_output.exists = false;
}

void output_window_close() {
  if (!g_output.exists) return;
  window_destroy();
  output_closed();
}

}  // namespace recbase::display

using namespace recbase;
using namespace recbase::display;

extern "C" {

// Does not clear isam_errno: as a print routine it may be printing it.
RBAPI int32_t RBCALL iputs_win(const char *text) {
  if (g_output.exists) window_events();  // the user may have closed it
  if (!g_output.exists) {
    if (const IsamError e = create_window()) return isam::fail(e);
  }
  if (text == nullptr) return 1;
  char *cells = screen_memory_lock(g_output.screen);
  if (cells == nullptr) return isam::fail(kIsNoMemory);
  const CellArea changed = screen_write(cells, &g_output.cursor, text);
  screen_memory_unlock(g_output.screen);
  window_repaint(repaint_rect(g_output.view, changed));
  return 1;
}

// The cleared text shows at the next repaint, as the window's own repaints
// and later writes bring it.
RBAPI int32_t RBCALL iputs_win_clear(void) {
  if (g_output.exists) window_events();
  if (!g_output.exists) return isam::fail(kIsNoWindow);
  char *cells = screen_memory_lock(g_output.screen);
  if (cells == nullptr) return isam::fail(kIsNoMemory);
  screen_clear(cells, &g_output.cursor);
  screen_memory_unlock(g_output.screen);
  return 1;
}

RBAPI int32_t RBCALL iputs_win_setcursor(int32_t column, int32_t row) {
  g_output.cursor = clamp_cursor(column, row);
  if (g_output.exists) window_events();
  if (!g_output.exists) return isam::fail(kIsNoWindow);
  return 1;
}

// Without a display the text goes to the default print routine (never the
// routine in the print slot, which may be this one).
RBAPI int32_t RBCALL iputs_winbox(const char *text) {
  const char *shown = text != nullptr ? text : "";
  if (window_message_box(shown) == 0) platform_native().sys_print(shown);
  return 1;
}

}  // extern "C"
