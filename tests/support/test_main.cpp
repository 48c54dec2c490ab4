// The main of every test program: a child process's role when the program
// was started as one (tests/support/spawn.h), else the tests.
#include <gtest/gtest.h>

#include "tests/support/spawn.h"

int main(int argc, char **argv) {
  const int role = recbase::test::run_role(argc, argv);
  if (role >= 0) return role;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
