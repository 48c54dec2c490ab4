// Child processes of the benchmark: this program started again with child
// options, its standard output a pipe back to the driver, which reads the
// lines
//   phase NAME OPS SECONDS START_NS END_NS
//   stopped NAME OPS SECONDS START_NS END_NS   (ended by the time limit)
//   value NAME INTEGER
// (times from the monotonic clock, which every process shares).
#ifndef RECBASE_BENCH_PEERS_CHILD_H
#define RECBASE_BENCH_PEERS_CHILD_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace peers {

struct PhaseTime {
  int64_t ops = 0;
  double seconds = 0;
  int64_t start_ns = 0;
  int64_t end_ns = 0;
  bool stopped = false;
};

struct ChildResult {
  std::map<std::string, PhaseTime> phases;
  std::map<std::string, int64_t> values;
};

struct Child {
  pid_t pid;
  int out;
  std::string label;
};

// Starts this program again with args. Of our descriptors only those in
// keep stay open in it.
Child spawn(const std::vector<std::string>& args, const std::vector<int>& keep,
            const std::string& label);
// Reads the child's results to their end and waits for it; throws when it
// failed or printed something else.
ChildResult finish(const Child& c);
int64_t value_or(const ChildResult& r, const char* name, int64_t fallback);

}  // namespace peers

#endif  // RECBASE_BENCH_PEERS_CHILD_H
