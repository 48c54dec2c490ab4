// The one fault loop of the B-tree and ISAM tests. For N = 1, 2, 3, ... an
// operation runs with platform call N failing once (io-once: later calls
// work, so the shutdown writes back what the operation left), with call N
// and every later one failing (io-crash: nothing more reaches the files, as
// if the machine stopped; io-crash+journal: the same with the rollback
// journal on, which each layer switches), or with allocation N failing
// (alloc). The loop
// ends with the first run that meets no fault, which must do the whole
// operation. Each layer's table of scenarios supplies the steps: how a run
// is set up, the operation, what its result must be, and what the files
// left must hold.
#ifndef RECBASE_TESTS_SUPPORT_FAULT_LOOP_H
#define RECBASE_TESTS_SUPPORT_FAULT_LOOP_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "bufpool/bufpool.h"
#include "recbase/cbt.h"
#include "tests/support/fault_injection.h"

namespace recbase::test {

enum class FaultMode { kIoOnce, kIoCrash, kIoCrashJournal, kAlloc };
constexpr FaultMode kFaultModes[] = {FaultMode::kIoOnce, FaultMode::kIoCrash,
                                     FaultMode::kIoCrashJournal,
                                     FaultMode::kAlloc};
inline const char *mode_name(FaultMode mode) {
  static const char *const kNames[] = {"io-once", "io-crash",
                                       "io-crash+journal", "alloc"};
  return kNames[static_cast<int>(mode)];
}
// Every call from the failing one on fails.
inline bool crashes(FaultMode mode) {
  return mode == FaultMode::kIoCrash || mode == FaultMode::kIoCrashJournal;
}

// One run of the operation under fault N.
struct FaultRun {
  int64_t n = 0;
  std::string where;           // "<scenario> <mode> N=<n>", for messages
  bool fired = false;          // the operation met the fault
  int32_t result = 0;          // what it returned
  const char *slot = nullptr;  // the platform slot that failed; null: none
  std::string file;            // the failed call's file, without directory
};

struct FaultSteps {
  // Lays the files down, starts the library and opens what the operation
  // works on; a test failure stops the loop.
  std::function<void(const std::string &where)> set_up;
  std::function<int32_t()> op;
  // Judges the result while the library is still up (errors set).
  std::function<void(const FaultRun &)> judge;
  // Ends the library, also while closes keep failing.
  std::function<void()> shut_down;
  // Judges what the run left on disk, after the shutdown.
  std::function<void(const FaultRun &)> after;
};

// Runs the loop for one scenario and mode; more than max_points runs fail
// the test.
inline void run_fault_loop(const std::string &name, FaultMode mode,
                           int64_t max_points, const FaultSteps &steps) {
  for (int64_t n = 1; n <= max_points; ++n) {
    FaultRun run;
    run.n = n;
    run.where = name + " " + mode_name(mode) + " N=" + std::to_string(n);
    steps.set_up(run.where);
    if (::testing::Test::HasFailure()) return;
    {
      FaultInjector faults;
      if (mode == FaultMode::kAlloc) {
        faults.fail_alloc_at(n);
      } else {
        faults.fail_io_at(n, EIO, crashes(mode));
      }
      cbclear_error();
      run.result = steps.op();
      run.fired = faults.io_fired() || faults.alloc_fired();
      run.slot = faults.fired_slot();
      run.file = std::filesystem::path(faults.fired_file()).filename().string();
      BufferPool *pool = bufpool_current();
      EXPECT_EQ(pool != nullptr ? bufpool_stats(pool).pinned : 0, 0)
          << run.where;
      steps.judge(run);
      if (!crashes(mode) || !run.fired) faults.disarm();
      steps.shut_down();
    }
    steps.after(run);
    if (!run.fired || ::testing::Test::HasFailure()) return;
  }
  ADD_FAILURE() << name << ": more than " << max_points << " fault points";
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_FAULT_LOOP_H
