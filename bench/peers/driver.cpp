// The driver: one child process per engine and run (several at once for a
// step of the shared table), results read from the child's standard output.
#include "bench/peers/driver.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "bench/peers/child.h"
#include "bench/peers/engine.h"
#include "bench/peers/report.h"
#include "bench/peers/workload.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string join(const std::vector<std::string>& v) {
  std::string out;
  for (const std::string& s : v) out += (out.empty() ? "" : ",") + s;
  return out;
}

// A row of the shared table. Small rows run on lock_per_call_keys keys.
struct SharedRow {
  const char* engine;
  const char* mode;
  bool shared;
  bool lock_per_call;
  int procs;
  bool small;
};

constexpr SharedRow kSharedRows[] = {
    {"recbase", "unshared", false, false, 1, false},
    {"recbase", "shared", true, false, 1, false},
    {"recbase", "shared", true, false, 2, false},
    {"recbase", "unshared", false, false, 1, true},
    {"recbase", "shared, lock per call", true, true, 1, true},
    {"sqlite", "unshared", false, false, 1, false},
    {"sqlite", "shared", true, false, 1, false},
    {"sqlite", "shared", true, false, 2, false},
};

class Driver {
 public:
  explicit Driver(const DriverOptions& o) : o_(o) {}

  void run() {
    load_before_ = load_average();
    fs::create_directories(o_.work_dir);
    for (int run = 1; run <= o_.runs; ++run) {
      for (const std::string& e : o_.engines) {
        workload(e, o_.n, run, kPhases, 0);
      }
    }
    for (int64_t n : o_.growth_sizes) {
      if (n == o_.n) continue;
      const bool large = n > o_.n;
      for (int run = 1; run <= (large ? o_.large_runs : o_.runs); ++run) {
        for (const std::string& e : o_.growth_engines) {
          workload(e, n, run, large ? o_.large_phases : kPhases,
                   large ? o_.large_limit : 0);
        }
      }
    }
    for (int run = 1; o_.shared && run <= o_.shared_runs; ++run) {
      for (const SharedRow& r : kSharedRows) {
        shared_row(
            r, std::min(o_.n, r.small ? o_.lock_per_call_keys : o_.shared_keys),
            run);
      }
    }
    fs::remove_all(o_.work_dir);
    const RunInfo ri = info();
    write_csv(o_.csv, ri, samples_);
    write_markdown(o_.markdown, ri, samples_);
    write_plot_data(o_.plot_dir, ri, samples_);
  }

 private:
  std::string fresh_dir() {
    const fs::path dir = fs::path(o_.work_dir) / std::to_string(++dirs_);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
  }

  std::vector<std::string> base_args(const std::string& engine, int64_t n,
                                     const std::string& dir) const {
    std::vector<std::string> args = {"--engine", engine, "--dir", dir};
    args.insert(args.end(), {"--n", std::to_string(n)});
    args.insert(args.end(), {"--seed", std::to_string(o_.seed)});
    args.insert(args.end(),
                {"--recbase-pool-mib", std::to_string(o_.recbase_pool_mib)});
    return args;
  }

  void workload(const std::string& engine, int64_t n, int run,
                const std::vector<std::string>& phases, double time_limit) {
    const std::string dir = fresh_dir();
    std::vector<std::string> args = base_args(engine, n, dir);
    args.insert(args.end(), {"--phases", join(phases), "--time-limit",
                             std::to_string(time_limit)});
    const std::string label =
        engine + " N=" + std::to_string(n) + " run " + std::to_string(run);
    const ChildResult r = finish(spawn(args, {}, label));
    fs::remove_all(dir);
    std::printf("%-28s", label.c_str());
    const int64_t keys = value_or(r, "keys", n);  // less when stopped
    if (keys < n) std::printf(" (stopped at N=%lld)", (long long)keys);
    for (const std::string& phase : kPhases) {
      const auto it = r.phases.find(phase);
      if (it == r.phases.end()) continue;
      const PhaseTime& t = it->second;
      samples_.push_back({engine, "", 1, keys, run, phase, t.ops, t.seconds,
                          value_or(r, "file_bytes", -1),
                          value_or(r, "peak_rss_kb", -1), t.stopped});
      if (phase == "close") {
        std::printf(" close %.0f ms", t.seconds * 1e3);
      } else {
        std::printf(" %s %.0fk/s", phase.c_str(), t.ops / t.seconds * 1e-3);
      }
    }
    std::printf("\n");
    base_rss_kb_[n] = std::max(base_rss_kb_[n], value_or(r, "base_rss_kb", 0));
  }

  // The create step by one process, then the insert and the find step, each
  // by every process of the row at once, released together by a gate.
  void shared_row(const SharedRow& row, int64_t n, int run) {
    const std::string dir = fresh_dir();
    std::vector<std::string> args = base_args(row.engine, n, dir);
    if (row.shared) args.push_back("--shared");
    if (row.lock_per_call) args.push_back("--lock-per-call");
    std::string label = std::string(row.engine) + " " + row.mode + " x" +
                        std::to_string(row.procs) + " N=" + std::to_string(n);
    run_step(args, "create", 1, label);
    std::printf("%-40s", label.c_str());
    for (const char* step : {"insert", "find"}) {
      const std::vector<ChildResult> rs =
          run_step(args, step, row.procs, label);
      Sample s{row.engine, row.mode, row.procs, n, run, step};
      int64_t start = INT64_MAX;
      int64_t end = INT64_MIN;
      for (const ChildResult& r : rs) {
        const PhaseTime& t = r.phases.at(step);
        s.ops += t.ops;
        start = std::min(start, t.start_ns);
        end = std::max(end, t.end_ns);
        s.peak_rss_kb = std::max(s.peak_rss_kb, value_or(r, "peak_rss_kb", -1));
      }
      s.seconds = (end - start) * 1e-9;
      if (s.ops != n) throw std::runtime_error(label + ": keys lost");
      samples_.push_back(s);
      std::printf(" %s %.1fk/s", step, s.ops / s.seconds * 1e-3);
    }
    std::printf("\n");
    fs::remove_all(dir);
  }

  std::vector<ChildResult> run_step(std::vector<std::string> args,
                                    const char* step, int procs,
                                    const std::string& label) {
    int gate[2];
    int ready[2];
    if (pipe2(gate, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    args.insert(args.end(), {"--step", step, "--parts", std::to_string(procs),
                             "--gate-fd", std::to_string(gate[0]), "--ready-fd",
                             std::to_string(ready[1]), "--part=0"});
    std::vector<Child> children;
    for (int p = 0; p < procs; ++p) {
      args.back() = "--part=" + std::to_string(p);
      children.push_back(
          spawn(args, {gate[0], ready[1]},
                label + " " + step + " part " + std::to_string(p)));
    }
    close(gate[0]);
    close(ready[1]);
    char c;
    for (int got = 0; got < procs && read(ready[0], &c, 1) == 1; ++got) {
    }
    close(ready[0]);
    close(gate[1]);  // every process starts now
    std::vector<ChildResult> results;
    for (const Child& child : children) results.push_back(finish(child));
    return results;
  }

  RunInfo info() const {
    RunInfo ri;
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    ri.date = date;
    ri.cpu = first_line_of(
        "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'");
    ri.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    ri.load_before = load_before_;
    ri.load_after = load_average();
    for (const std::string& e : o_.engines) {
      const EngineInfo* ei = find_engine(e);
      ri.versions.emplace_back(
          e, ei->package.empty()
                 ? o_.recbase_version
                 : first_line_of(("dpkg-query -W -f='${Version}' " +
                                  ei->package + " 2>/dev/null")
                                     .c_str()));
    }
    ri.n = o_.n;
    ri.runs = o_.runs;
    ri.engines = o_.engines;
    ri.growth_engines = o_.growth_engines;
    ri.recbase_pool_mib = o_.recbase_pool_mib;
    ri.notes = notes();
    return ri;
  }

  std::vector<std::string> notes() const {
    std::vector<std::string> out = {
        "Keys: 16 bytes from a fixed-seed generator, no byte in 'A'..'Z', "
        "so that recbase's default order (ASCII letters without regard to "
        "case) is plain byte order like every other engine's; item = the "
        "key's index. Inserts go in random key order, lookups and deletes "
        "in another random order; the delete removes every key of odd index.",
        "Checks: every result is checked inside the timed loops. The scan "
        "checks each item against the sorted order, each key against the "
        "one before it, and all keys by a sum of hashes compared at the "
        "end (before 2026-12-08 each key was compared with the key array "
        "in index order, a cache miss per pair that every engine paid).",
        "Caches: recbase cbinit(" +
            std::to_string((o_.recbase_pool_mib << 20) / 4096) +
            ", 4096) and block size 4096; SQLite page_size 4096, "
            "cache_size -65536; Berkeley DB set_cachesize 64 MiB, page size "
            "4096; Kyoto Cabinet TreeDB tune_page_cache 64 MiB, its default "
            "page size; LMDB has no cache setting (map size 4 GiB).",
        "Durability: no sync per operation; close writes back and syncs once "
        "(recbase cbclose, SQLite synchronous OFF and one fsync after "
        "sqlite3_close, LMDB MDB_NOSYNC and mdb_env_sync, Berkeley DB "
        "DB->close, Kyoto synchronize(true)). The close is its own row; the "
        "operation phases do not include it.",
        "Transactions: 10,000 operations per batch. SQLite BEGIN ... COMMIT "
        "(journal_mode OFF), LMDB one transaction (read-only for lookups). "
        "Kyoto Cabinet runs without: even begun with hard = false, a TreeDB "
        "transaction writes its page cache and an undo log back at each "
        "end, a journal that SQLite goes without here. recbase (unshared) "
        "and Berkeley DB without an environment have no transactions.",
        "Peak resident memory is the child's ru_maxrss and includes the "
        "workload's own arrays: " +
            std::to_string(
                base_rss_kb_.count(o_.n) ? base_rss_kb_.at(o_.n) / 1024 : 0) +
            " MiB at N = " + std::to_string(o_.n) +
            " before any store is opened.",
        "Growth: sizes below N ran " + std::to_string(o_.runs) +
            " time(s) with every phase; sizes above N ran " +
            std::to_string(o_.large_runs) + " time(s) with the phases " +
            join(o_.large_phases) + " only, each engine for at most " +
            (o_.large_limit > 0 ? num(o_.large_limit) + " s" : "no limit") +
            " (--large-limit) for the insert and again for the lookups, to "
            "keep the whole run short. Key i is the same at every N, so an "
            "insert the limit ended after k keys did the work of the insert "
            "at N = k; the lookups then run on those k keys, and the row "
            "gives N = k.",
        "Shared table, " + std::to_string(o_.shared_runs) + " run(s) on " +
            std::to_string(std::min(o_.n, o_.shared_keys)) +
            " keys (--shared-keys): a fresh set of processes for each step, "
            "opening the store the create step made, so that lookups start "
            "with a cold cache; with 2 processes each takes every second "
            "key; times run from the common start to the end of the last "
            "process. recbase shared: cbopen_shared(name, NULL, 1, 0), "
            "cblock(tree, 2) ... cbunlock(tree, 2) around each 10,000 "
            "inserts and mode 1 around each 10,000 lookups, cb_set_flush(1, "
            "1) so that the write-back at cbunlock skips the OS flush, one "
            "sync at close. 'lock per call': no explicit lock, on the first " +
            std::to_string(std::min(o_.n, o_.lock_per_call_keys)) +
            " keys only, beside an unshared row of as many keys. SQLite "
            "shared: journal_mode DELETE, synchronous OFF, BEGIN IMMEDIATE "
            "for inserts, BEGIN for lookups, busy timeout 600 s.",
    };
    return out;
  }

  const DriverOptions& o_;
  std::vector<Sample> samples_;
  std::map<int64_t, int64_t> base_rss_kb_;
  std::string load_before_;
  int dirs_ = 0;
};

}  // namespace

int run_driver(const DriverOptions& options) {
  try {
    Driver(options).run();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "peers: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace peers
