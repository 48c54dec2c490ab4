// RECBASE_TEST_SCALE=k (k >= 1, default 1) thins the slowest sweeps for
// runs where every operation is slow (the Windows builds under Wine, where
// the 32-bit one is emulated): a byte or fault-point sweep takes every k-th
// point, a random-operation run a k-th of its steps. Each test that reads it
// says what it thinned in its output; the Linux runs keep the full sizes.
#ifndef RECBASE_TESTS_SUPPORT_SCALE_H
#define RECBASE_TESTS_SUPPORT_SCALE_H

#include <algorithm>
#include <cstdlib>

namespace recbase::test {

inline int test_scale() {
  const char *v = std::getenv("RECBASE_TEST_SCALE");
  const int k = v != nullptr ? std::atoi(v) : 1;
  return std::max(k, 1);
}

// n / k, but never below floor (nor above n): enough steps for the run to
// reach every state it checks.
inline int scaled(int n, int floor) {
  return std::max(n / test_scale(), std::min(n, floor));
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_SCALE_H
