/* The output window from C: set the library up with iputs_win as its print
 * routine, write a small listing into the window, let a failing call print
 * its error there too, and keep the window answering (repaint, scroll bars,
 * Page Up/Down, Home, End, arrows) for the number of seconds given as the
 * first argument (default 10). Needs an X display; without one it says so.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "recbase.h"

int main(int argc, char **argv) {
  /* On Linux the instance handle only has to be non-null. */
  static int instance;
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  struct timespec pause = {0, 50 * 1000 * 1000};
  char line[96];
  int i;

  if (isaminit_mswin(0, 0, iputs_win, &instance) != 1 ||
      iputs_win(NULL) != 1) {
    fprintf(stderr, "no output window: %s\n", isammsg(isam_errno));
    return 1;
  }
  iputs_win("Ledgerwick parts list\r\n");
  iputs_win("=====================\n\n");
  iputs_win("Part  Name                 Bin   Count      Price\n");
  for (i = 1; i <= 12; ++i) {
    snprintf(line, sizeof line, "%4d  %-20s %-5c %5d %10.2f\n", 100 + i * 7,
             i % 3 == 0 ? "flanged bearing" : i % 3 == 1 ? "hex bolt M8"
                                                         : "spring washer",
             'A' + i % 5, i * 37 % 500, 0.35 * i * i);
    iputs_win(line);
  }
  iputs_win("\nOpening a database that is not there:\n  ");
  if (iopen_db("no-such-database") == NULL) iprterr();
  for (i = 0; i < 100; ++i) iputs_win(i % 10 == 9 ? "9\n" : "-");

  for (i = 0; i < seconds * 20; ++i) {
    if (iputs_win(NULL) != 1) break; /* handles the window's events */
    nanosleep(&pause, NULL);
  }
  isamexit();
  return 0;
}
