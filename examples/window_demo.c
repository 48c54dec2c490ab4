/* The output window from C: set the library up with iputs_win as its print
 * routine, show a small database of parts in the window with showdb, let a
 * failing call print its error there too, and keep the window answering
 * (repaint, scroll bars, Page Up/Down, Home, End, arrows) for the number of
 * seconds given as the first argument (default 10). Needs an X display;
 * without one it says so. The database is window_demo_parts.db/.idx in the
 * current directory. On Windows the demo is window_demo_win32.c.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "recbase.h"
#include "window_demo_parts.h"

int main(int argc, char **argv) {
  /* Outside Windows the instance handle only has to be non-null. */
  static int instance;
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  struct timespec pause = {0, 50 * 1000 * 1000};
  int i;

  if (isaminit_mswin(0, 0, iputs_win, &instance) != 1 || iputs_win(NULL) != 1) {
    fprintf(stderr, "no output window: %s\n", isammsg(isam_errno));
    return 1;
  }
  if (window_demo_show_parts() != 0) return 1;
  for (i = 0; i < seconds * 20; ++i) {
    if (iputs_win(NULL) != 1) break; /* handles the window's events */
    nanosleep(&pause, NULL);
  }
  isamexit();
  return 0;
}
