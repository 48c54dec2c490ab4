/* Links against an installed recbase and checks that it starts. */
#include <stdio.h>
#include <string.h>

#include "recbase.h"

int main(void) {
  if (cbinit(0, 0) != 1 || cbbufcnt() != 16 || cbbufsize() != 512) {
    fprintf(stderr, "installed recbase did not start\n");
    return 1;
  }
  if (strcmp(cberrmsg(5), "out of memory") != 0) return 1;
  if (strcmp(iphysical, "Physical Index") != 0) return 1;
  printf("installed recbase: %d buffers of %d bytes\n", (int)cbbufcnt(),
         (int)cbbufsize());
  return 0;
}
