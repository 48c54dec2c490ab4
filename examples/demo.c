/* A first look at recbase from C: start the library, read the pool's
 * settings, make calls fail on purpose and print why, then shut down. */
#include <stdio.h>

#include "recbase.h"

int main(void) {
  if (cbinit(0, 0) != 1) {
    cbprterr();
    return 1;
  }
  printf("buffer pool: %d buffers of %d bytes\n", (int)cbbufcnt(),
         (int)cbbufsize());

  /* A second start-up is refused: the pool exists already. */
  if (cbinit(32, 1024) == -1) {
    printf("second cbinit failed as expected:\n");
    cbprterr();
  }
  printf("pool unchanged: %d buffers of %d bytes\n", (int)cbbufcnt(),
         (int)cbbufsize());

  /* Opening a tree file that does not exist fails with a reason. */
  if (cbopen("no-such-file.cbt", cbkeycmp) == NULL) {
    printf("cbopen of a missing file failed as expected:\n");
    cbprterr();
  }

  if (cbexit() != 1) {
    cbprterr();
    return 1;
  }
  printf("after cbexit: %d buffers\n", (int)cbbufcnt());
  return 0;
}
