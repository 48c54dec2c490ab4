// The output window: its process-wide state, and the seam between the
// library's routines (display/output_window.cpp) and the windowing system
// (display/window_x11.cpp on Xlib, display/window_win32.cpp on Windows;
// display/window_none.cpp in a build without a windowing system, where no
// window can ever be made).
//
// There is at most one output window. It exists from the first iputs_win
// that can make it until the user closes it (or output_window_close): then
// the text screen is freed and the next iputs_win makes a new window with a
// blank screen and the cursor at row 0, column 0.
//
// Invariants:
//  1. exists is true exactly while the window is open; screen is the text
//     screen's memory (kScreenBytes) while it exists, and null otherwise
//     (on Windows the window may also outlive its screen: after the
//     end-session query, writing and clearing fail with "Out of memory").
//  2. The cursor is always a clamped position (clamp_cursor), so that no
//     write lands outside the screen; it is kept while no window exists
//     (iputs_win_setcursor stores it all the same) and reset when a window
//     is made.
//  3. The view's char_width and line_height are those of the window's font,
//     and its client size that of the text area, scroll bars excluded.
//
// Events: the library has no thread and no message loop of its own. On
// Xlib the window handles what happened to it (repainting, resizing, the
// scroll bars, keys, closing) on every call of iputs_win, iputs_win_clear
// and iputs_win_setcursor; an application keeps it answering between its
// own output by calling iputs_win(NULL) from time to time, and a write
// repaints the cells it changed at once. On Windows the application's
// message loop delivers the window's messages to its window procedure, and
// a write invalidates the cells it changed, which the next WM_PAINT draws.
#ifndef RECBASE_DISPLAY_OUTPUT_WINDOW_H
#define RECBASE_DISPLAY_OUTPUT_WINDOW_H

#include <cstdint>

#include "display/screen.h"

namespace recbase::display {

// The text screen's memory, provided by the windowing side: heap memory
// (display/screen_memory.cpp) with Xlib and without a window, movable global
// memory on Windows. It is locked for each write, clear and repaint, and
// may move while it is not locked.
using ScreenMemory = void *;
// kScreenBytes of memory, or null when there is none to be had.
ScreenMemory screen_memory_alloc();
// The bytes, or null when the memory is gone or cannot be locked.
char *screen_memory_lock(ScreenMemory memory);
void screen_memory_unlock(ScreenMemory memory);
// Null is allowed.
void screen_memory_free(ScreenMemory memory);

struct OutputWindow {
  bool exists = false;
  ScreenMemory screen = nullptr;
  Cursor cursor;
  View view;
};
extern OutputWindow g_output;

// Frees the text screen and forgets the window; the windowing side calls it
// once its window is gone.
void output_closed();
// Closes the window, if there is one, as the user's close does.
void output_window_close();

// --- The windowing system -------------------------------------------------

// The names the windowing sides give their windows.
constexpr char kWindowClass[] = "cbt_iputs_dflt";
constexpr char kWindowTitle[] = "Ledgerwick Output";
constexpr char kBoxTitle[] = "Ledgerwick";

// Opens the window titled "Ledgerwick Output", 80 x 25 cells of a
// fixed-pitch font plus its scroll bars, and sets g_output.view (font
// metrics, client size); g_output.screen is already the blank screen that
// it shows. false when no display can be reached or the window cannot be
// made.
bool window_open();
// Handles the window's pending events. A close ends in output_closed().
void window_events();
// Destroys the window and lets the display go (no event).
void window_destroy();
// Repaints a rectangle of the text area from the text screen (on Windows:
// invalidates it, erasing, for the window procedure to paint).
void window_repaint(const PixelRect &rect);
// Shows text in a modal box titled "Ledgerwick" with an OK button and waits
// until it is dismissed (the button, Return, Enter, space, Escape or the
// window's close): then 1. 0 when no box can be shown (no display).
int32_t window_message_box(const char *text);

}  // namespace recbase::display

#endif  // RECBASE_DISPLAY_OUTPUT_WINDOW_H
