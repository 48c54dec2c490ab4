/* A first look at recbase from C: start the library, read the pool's
 * settings, make calls fail on purpose and print why, build a small tree
 * file, then shut down. The tree file is named by the first argument
 * (default demo.cbt); `recbase tree check` and `recbase tree stat` can
 * examine it afterwards. */
#include <stdio.h>
#include <string.h>

#include "recbase.h"

/* Creates name with 1,000 keys "key-0000" .. "key-0999", inserted in a
 * scrambled order (the key number times a prime, modulo 1,000), each with
 * its number as item. Returns 1, or -1 after printing why. */
static int build_tree(const char *name) {
  char key[16];
  int i;
  CbTree *tree = cbcreate(name, cbkeycmp, 0);
  if (tree == NULL) {
    cbprterr();
    return -1;
  }
  for (i = 0; i < 1000; ++i) {
    int n = (i * 7919) % 1000;
    snprintf(key, sizeof key, "key-%04d", n);
    if (cbinsert(tree, key, (int32_t)strlen(key), n, 0) != 1) {
      cbprterr();
      cbclose(tree);
      return -1;
    }
  }
  if (cbclose(tree) != 1) {
    cbprterr();
    return -1;
  }
  printf("wrote %s: 1000 keys\n", name);
  return 1;
}

int main(int argc, char **argv) {
  const char *tree_file = argc > 1 ? argv[1] : "demo.cbt";

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

  if (build_tree(tree_file) != 1) {
    cbexit();
    return 1;
  }

  if (cbexit() != 1) {
    cbprterr();
    return 1;
  }
  printf("after cbexit: %d buffers\n", (int)cbbufcnt());
  return 0;
}
