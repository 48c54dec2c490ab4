// The driver: runs every engine in child processes of its own (this program
// started again with --engine), gathers their results and writes the report.
#ifndef RECBASE_BENCH_PEERS_DRIVER_H
#define RECBASE_BENCH_PEERS_DRIVER_H

#include <cstdint>
#include <string>
#include <vector>

namespace peers {

struct DriverOptions {
  int64_t n = 1000000;
  int runs = 3;
  std::vector<std::string> engines = {"recbase", "sqlite", "lmdb", "bdb",
                                      "kyoto"};
  // Sizes besides n for the growth table, and the engines run at them.
  std::vector<int64_t> growth_sizes = {100000, 10000000};
  std::vector<std::string> growth_engines = {"recbase", "lmdb", "bdb"};
  // Sizes above n run this many times, with these phases only, each child
  // stopped after large_limit seconds (0: never).
  int large_runs = 1;
  std::vector<std::string> large_phases = {"insert", "find"};
  double large_limit = 15;
  bool shared = true;
  int shared_runs = 1;
  int64_t shared_keys = 500000;  // at most n
  // Keys of the shared row that takes a lock per call (it is slow).
  int64_t lock_per_call_keys = 5000;
  int64_t recbase_pool_mib = 64;  // the other engines' caches stay 64 MiB
  uint64_t seed = 20260614;
  std::string recbase_version = "unknown";
  std::string work_dir = "peers-work";  // stores live here while children run
  std::string markdown = "peers.md";
  std::string csv = "peers.csv";
  std::string plot_dir = ".";
};

// Runs everything and writes the results; the exit status.
int run_driver(const DriverOptions& options);

}  // namespace peers

#endif  // RECBASE_BENCH_PEERS_DRIVER_H
