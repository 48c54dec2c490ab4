// peers: recbase's B-tree layer against other embedded ordered stores
// (SQLite, LMDB, Berkeley DB, Kyoto Cabinet) on one workload. Without
// --engine it is the driver, which starts itself again once per engine and
// run with --engine and the child options; see driver.h and workload.h.
// With --records it runs the record benchmark instead, recbase's ISAM layer
// against an SQLite table (records.h), its children started with
// --records-store.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

#include "bench/peers/driver.h"
#include "bench/peers/engine.h"
#include "bench/peers/records.h"
#include "bench/peers/workload.h"

namespace {

// Every phase but sorted works on the pairs that insert made.
bool phases_ok(const std::vector<std::string>& phases) {
  auto has = [&phases](const char* p) {
    return std::find(phases.begin(), phases.end(), p) != phases.end();
  };
  return has("insert") || phases.empty() ||
         (phases.size() == 1 && phases[0] == "sorted");
}

}  // namespace

int main(int argc, char** argv) {
  peers::DriverOptions d;
  peers::ChildOptions c;
  bool quick = false;
  bool records = false;
  std::string records_store;
  std::vector<std::string> names;
  for (const peers::EngineInfo& e : peers::engines()) names.push_back(e.name);

  CLI::App app{"recbase's B-tree layer against other embedded ordered stores"};
  app.add_option("--n", d.n, "Keys of the workload")
      ->check(CLI::Range(int64_t{2}, int64_t{1} << 31))
      ->capture_default_str();
  app.add_option("--runs", d.runs, "Runs of each engine")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_option("--engines", d.engines, "Engines of the workload table")
      ->check(CLI::IsMember(names))
      ->delimiter(',')
      ->capture_default_str();
  app.add_option("--growth-sizes", d.growth_sizes,
                 "Sizes besides N for the growth table")
      ->check(CLI::Range(int64_t{2}, int64_t{1} << 31))
      ->delimiter(',');
  app.add_option("--growth-engines", d.growth_engines,
                 "Engines of the growth table")
      ->check(CLI::IsMember(names))
      ->delimiter(',');
  app.add_option("--large-runs", d.large_runs, "Runs of sizes above N")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_option("--large-phases", d.large_phases, "Phases of sizes above N")
      ->check(CLI::IsMember(peers::kPhases))
      ->delimiter(',');
  app.add_option("--large-limit", d.large_limit,
                 "Seconds each engine may take at a size above N (0: no "
                 "limit)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("!--no-shared", d.shared, "Skip the shared table");
  app.add_option("--shared-runs", d.shared_runs, "Runs of the shared table")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_option("--shared-keys", d.shared_keys,
                 "Keys of the shared table (at most N)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--lock-per-call-keys", d.lock_per_call_keys,
                 "Keys of the shared row with a lock per call")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--recbase-pool-mib", d.recbase_pool_mib,
                 "recbase's pool in MiB (the other engines' caches stay 64)")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 20))
      ->capture_default_str();
  app.add_flag("--records", records,
               "The record benchmark: recbase's ISAM layer against an SQLite "
               "table (N defaults to 200000; files records.md, records.csv, "
               "records_ops.dat)");
  app.add_flag("--quick", quick,
               "A smoke run: N = 100000, 1 run, growth at 10000 only");
  app.add_option("--seed", d.seed, "Seed of the keys")->capture_default_str();
  app.add_option("--recbase-version", d.recbase_version,
                 "recbase's version for the report");
  app.add_option("--work-dir", d.work_dir, "Where the stores live (removed)")
      ->capture_default_str();
  app.add_option("--markdown", d.markdown, "Report file")
      ->capture_default_str();
  app.add_option("--csv", d.csv, "File of every sample")->capture_default_str();
  app.add_option("--plot-dir", d.plot_dir, "Where the chart data goes")
      ->capture_default_str();

  const std::string child = "Child process (set by the driver)";
  app.add_option("--engine", c.engine, "Run this engine's work")
      ->group(child)
      ->check(CLI::IsMember(names));
  app.add_option("--dir", c.dir, "The child's directory")->group(child);
  app.add_option("--phases", c.phases, "Phases of the workload")
      ->group(child)
      ->check(CLI::IsMember(peers::kPhases))
      ->delimiter(',');
  app.add_option("--step", c.step, "One step of the shared table")
      ->group(child)
      ->check(CLI::IsMember({"create", "insert", "find"}));
  app.add_option("--time-limit", c.time_limit, "Seconds of the workload")
      ->group(child)
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--shared", c.shared, "Open the store shared")->group(child);
  app.add_flag("--lock-per-call", c.lock_per_call, "No lock across a batch")
      ->group(child);
  app.add_option("--part", c.part, "This process's part")->group(child);
  app.add_option("--parts", c.parts, "Processes of the step")
      ->group(child)
      ->check(CLI::Range(1, 64));
  app.add_option("--gate-fd", c.gate_fd, "Start at end of file here")
      ->group(child);
  app.add_option("--ready-fd", c.ready_fd, "Say ready here")->group(child);
  const std::vector<std::string> stores = {
      "recbase", "sqlite", "recbase-journal", "sqlite-delete", "sqlite-wal"};
  std::vector<std::string> record_stores;
  app.add_option("--stores", record_stores,
                 "With --records: the stores, the first set against each "
                 "other (default recbase,sqlite)")
      ->check(CLI::IsMember(stores))
      ->delimiter(',');
  app.add_option("--records-store", records_store,
                 "Run the record workload on this store")
      ->group(child)
      ->check(CLI::IsMember(stores));

  app.get_option("--engine")->excludes("--quick");
  CLI11_PARSE(app, argc, argv);
  if (!phases_ok(c.phases) || !phases_ok(d.large_phases)) {
    std::fprintf(stderr, "peers: find, scan, delete and recheck need insert\n");
    return 64;
  }

  if (!records_store.empty()) {
    return peers::run_records_child(records_store, d.n, d.seed, c.dir);
  }
  if (records) {
    peers::RecordsOptions r;
    const auto given = [&app](const char* option) {
      return app.count(option) > 0;
    };
    r.n = given("--n") ? d.n : (quick ? 20000 : r.n);
    r.runs = given("--runs") ? d.runs : (quick ? 1 : r.runs);
    r.seed = d.seed;
    if (record_stores.size() >= 2) r.stores = record_stores;
    r.recbase_version = d.recbase_version;
    if (given("--work-dir")) r.work_dir = d.work_dir;
    if (given("--markdown")) r.markdown = d.markdown;
    if (given("--csv")) r.csv = d.csv;
    r.plot_dir = d.plot_dir;
    return peers::run_records_driver(r);
  }
  if (!c.engine.empty()) {
    c.n = d.n;
    c.seed = d.seed;
    c.recbase_pool_mib = d.recbase_pool_mib;
    return peers::run_child(c);
  }
  if (quick) {
    d.n = 100000;
    d.runs = 1;
    d.growth_sizes = {10000};
  }
  return peers::run_driver(d);
}
