/* The output window on Windows: the application hands its instance to
 * isaminit_mswin with iputs_win as the print routine, shows a small database
 * of parts in the window with showdb and an error message, and then runs its
 * message loop, which paints, scrolls (bars, Page Up/Down, Home, End,
 * arrows) and closes the window. Closing the window, the application's last,
 * ends the loop; so does the number of seconds given on the command line (0
 * or none: no limit). The database is window_demo_parts.db/.idx in the
 * current directory.
 */
#include <stdlib.h>
#include <windows.h>

#include "recbase.h"
#include "window_demo_parts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line,
                   int show) {
  int seconds = atoi(command_line);
  MSG msg;
  (void)previous;
  (void)show;
  if (isaminit_mswin(0, 0, iputs_win, instance) != 1 || iputs_win(NULL) != 1) {
    MessageBoxA(NULL, isammsg(isam_errno), "no output window", MB_OK);
    return 1;
  }
  if (window_demo_show_parts() != 0) return 1;
  /* A thread timer without a window: its WM_TIMER ends the loop. */
  if (seconds > 0) SetTimer(NULL, 0, (UINT)seconds * 1000u, NULL);
  while (GetMessageA(&msg, NULL, 0, 0) > 0 && msg.message != WM_TIMER) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  isamexit();
  return 0;
}
