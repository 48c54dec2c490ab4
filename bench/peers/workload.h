// The work of one child process: the workload over one engine, or one step
// of the shared table, with results printed on standard output as lines
//   phase NAME OPS SECONDS START_NS END_NS
//   stopped NAME OPS SECONDS START_NS END_NS   (ended by the time limit)
//   value NAME INTEGER
// (times from the monotonic clock, which every process shares).
#ifndef RECBASE_BENCH_PEERS_WORKLOAD_H
#define RECBASE_BENCH_PEERS_WORKLOAD_H

#include <cstdint>
#include <string>
#include <vector>

namespace peers {

// The phases of the workload, in the order they run. close (write back and
// one sync) always runs, after recheck.
inline const std::vector<std::string> kPhases = {
    "insert", "find", "scan", "delete", "recheck", "close", "sorted"};

struct ChildOptions {
  std::string engine;
  int64_t n = 0;
  uint64_t seed = 0;
  std::string dir;  // an empty directory of the child's own
  std::vector<std::string> phases;
  // Seconds the random insert and the lookup may take each; 0: no limit.
  double time_limit = 0;
  // Set for a step of the shared table: "create", "insert" or "find".
  std::string step;
  bool shared = false;
  bool lock_per_call = false;
  int part = 0;  // this process takes the keys i with i % parts == part
  int parts = 1;
  int gate_fd = -1;   // read until end of file before the step starts
  int ready_fd = -1;  // one byte written here when ready for the gate
  int64_t recbase_pool_mib = 64;
};

// Runs the child's work; its exit status (0, or 1 after printing on
// standard error what went wrong).
int run_child(const ChildOptions& options);

}  // namespace peers

#endif  // RECBASE_BENCH_PEERS_WORKLOAD_H
