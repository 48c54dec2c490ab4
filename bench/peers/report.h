// What the driver measured, and the files it is written to: a CSV of every
// sample, a Markdown report of medians and spreads, and the data files the
// charts are drawn from.
#ifndef RECBASE_BENCH_PEERS_REPORT_H
#define RECBASE_BENCH_PEERS_REPORT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace peers {

// One phase of one run of one engine.
struct Sample {
  std::string engine;
  std::string mode;  // empty for the workload; else the shared table's mode
  int procs = 1;
  int64_t n = 0;
  int run = 0;
  std::string phase;
  int64_t ops = 0;
  double seconds = 0;
  int64_t file_bytes = -1;   // of the store after the deletes, when known
  int64_t peak_rss_kb = -1;  // largest of the run's processes
  // The time limit ended the phase: ops is what it did by then. n is the
  // keys the store held (when the insert was ended, fewer than asked for).
  bool stopped = false;
};

struct RunInfo {
  std::string date;  // UTC
  std::string cpu;
  int cores = 0;
  std::string load_before;  // 1-minute load average
  std::string load_after;
  std::vector<std::pair<std::string, std::string>> versions;  // engine, text
  int64_t n = 0;
  int runs = 0;
  std::vector<std::string> engines;
  std::vector<std::string> growth_engines;
  int64_t recbase_pool_mib = 64;   // the other engines' caches are 64 MiB
  std::vector<std::string> notes;  // listed under the tables
};

void write_csv(const std::string& path, const RunInfo& info,
               const std::vector<Sample>& samples);
void write_markdown(const std::string& path, const RunInfo& info,
                    const std::vector<Sample>& samples);
// peers_ops.dat (median ops/s, a row per phase, a column per engine) and
// peers_growth.dat (median ns per operation of insert and find against N;
// its first line says whether the time limit stopped a run).
void write_plot_data(const std::string& dir, const RunInfo& info,
                     const std::vector<Sample>& samples);

// The first line a shell command prints, trimmed ("unknown" for none).
std::string first_line_of(const char* command);
// The 1-minute load average ("unknown" when it cannot be read).
std::string load_average();

}  // namespace peers

#endif  // RECBASE_BENCH_PEERS_REPORT_H
