/* The output window demo's content: see window_demo_parts.h. */
#include "window_demo_parts.h"

#include <stddef.h>

#include "recbase.h"

int window_demo_show_parts(void) {
  const char *fields[] = {"part,I", "name", "bin", "count,I", "price,D", NULL};
  const char *by_name[] = {"name", "part,I", NULL};
  const char *names[] = {"hex bolt M8", "spring washer", "flanged bearing",
                         "wing nut",    "split pin",     "cap screw M5"};
  char bin[2] = {0, 0};
  short part, count;
  double price;
  char *values[6];
  int i;
  /* A small database of parts, shown in name order by showdb, which prints
   * every record through the print routine. */
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

  iputs_win("\nOpening a database that is not there:\n  ");
  if (iopen_db("no-such-database") == NULL) iprterr();
  return 0;
}
