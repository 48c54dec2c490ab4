/* The output window from C: set the library up with iputs_win as its print
 * routine, show a small database of parts in the window with showdb, let a
 * failing call print its error there too, and keep the window answering
 * (repaint, scroll bars, Page Up/Down, Home, End, arrows) for the number of
 * seconds given as the first argument (default 10). Needs an X display;
 * without one it says so. The database is window_demo_parts.db/.idx in the
 * current directory.
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
  int i;

  if (isaminit_mswin(0, 0, iputs_win, &instance) != 1 ||
      iputs_win(NULL) != 1) {
    fprintf(stderr, "no output window: %s\n", isammsg(isam_errno));
    return 1;
  }
  /* A small database of parts in the build directory, shown in name order
   * by showdb, which prints every record through the print routine. */
  {
    const char *fields[] = {"part,I", "name", "bin", "count,I", "price,D",
                            NULL};
    const char *by_name[] = {"name", "part,I", NULL};
    const char *names[] = {"hex bolt M8", "spring washer", "flanged bearing",
                           "wing nut", "split pin", "cap screw M5"};
    char bin[2] = {0, 0};
    short part, count;
    double price;
    char *values[6];
    IsamDb *db = icreate_db("window_demo_parts", 0, fields);
    if (db == NULL || imkindex(db, "by name", by_name) != 1) {
      iprterr();
      return 1;
    }
    values[0] = (char *)&part;
    values[2] = bin;
    values[3] = (char *)&count;
    values[4] = (char *)&price;
    values[5] = NULL;
    for (i = 1; i <= 12; ++i) {
      part = (short)(100 + i * 7);
      values[1] = (char *)names[i % 6];
      bin[0] = (char)('A' + i % 5);
      count = (short)(i * 37 % 500);
      price = 0.35 * i * i;
      if (iaddrec(db, NULL, values) != 1) iprterr();
    }
    iputs_win("Parts by name (showdb)\r\n");
    iputs_win("======================\n");
    showfldnames(db, " | ");
    showdb(db, ihandle(db, "by name"), " | ");
    iclose_db(db);
  }
  iputs_win("\nOpening a database that is not there:\n  ");
  if (iopen_db("no-such-database") == NULL) iprterr();

  for (i = 0; i < seconds * 20; ++i) {
    if (iputs_win(NULL) != 1) break; /* handles the window's events */
    nanosleep(&pause, NULL);
  }
  isamexit();
  return 0;
}
