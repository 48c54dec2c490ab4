// The report: medians with their spread (min-max) over the runs.
#include "bench/peers/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>

#include "bench/peers/engine.h"

namespace peers {
namespace {

// Phases timed as operations: name, row title in the tables, label in the
// chart.
struct OpPhase {
  const char* name;
  const char* title;
  const char* label;
};
const OpPhase kOpPhases[] = {
    {"insert", "random insert", "random insert"},
    {"find", "random lookup", "random lookup"},
    {"scan", "ordered scan", "ordered scan"},
    {"delete", "random delete of half", "delete half"},
    {"recheck", "lookup of deleted and kept keys", "lookup after delete"},
    {"sorted", "sorted insert into a fresh store", "sorted insert"}};

struct Spread {
  double median = NAN, min = NAN, max = NAN;
  size_t count = 0;
  bool stopped = false;  // some sample was ended by the time limit
};

Spread spread_of(std::vector<double> v) {
  Spread s;
  s.count = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  s.median = v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
  s.min = v.front();
  s.max = v.back();
  return s;
}

// Which samples a figure is drawn from.
struct Select {
  std::string engine;
  std::string mode;
  int procs;
  int64_t n;
};

using Value = double (*)(const Sample&);
double ops_per_s(const Sample& s) { return s.ops / s.seconds; }
double ns_per_op(const Sample& s) { return s.seconds * 1e9 / s.ops; }
double millis(const Sample& s) { return s.seconds * 1e3; }
double file_mib(const Sample& s) { return s.file_bytes / 1048576.0; }
double rss_mib(const Sample& s) { return s.peak_rss_kb / 1024.0; }

Spread measure(const std::vector<Sample>& samples, const Select& w,
               const std::string& phase, Value value) {
  std::vector<double> v;
  bool stopped = false;
  for (const Sample& s : samples) {
    if (s.engine == w.engine && s.mode == w.mode && s.procs == w.procs &&
        s.n == w.n && s.phase == phase) {
      v.push_back(value(s));
      stopped = stopped || s.stopped;
    }
  }
  Spread out = spread_of(v);
  out.stopped = stopped;
  return out;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string num(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// "median (min-max)", the median alone for one run, "-" for none.
std::string cell(const Spread& s, int decimals, double scale = 1) {
  if (s.count == 0) return "-";
  std::string out = num(s.median * scale, decimals);
  if (s.count > 1) {
    out += " (" + num(s.min * scale, decimals) + "-" +
           num(s.max * scale, decimals) + ")";
  }
  return s.stopped ? out + " *" : out;
}

std::string row(const std::vector<std::string>& cells) {
  std::string out = "|";
  for (const std::string& c : cells) out += " " + c + " |";
  return out + "\n";
}

std::string rule(size_t columns) {
  std::string out = "|";
  for (size_t i = 0; i < columns; ++i) out += " --- |";
  return out + "\n";
}

std::string workload_table(const RunInfo& info,
                           const std::vector<Sample>& samples) {
  std::vector<std::string> head = {"phase"};
  head.insert(head.end(), info.engines.begin(), info.engines.end());
  std::string out = row(head) + rule(head.size());
  auto add = [&](const std::string& label, const std::string& phase,
                 Value value, int decimals, double scale) {
    std::vector<std::string> cells = {label};
    for (const std::string& e : info.engines) {
      cells.push_back(cell(measure(samples, {e, "", 1, info.n}, phase, value),
                           decimals, scale));
    }
    out += row(cells);
  };
  for (const OpPhase& p : kOpPhases) {
    add(std::string(p.title) + ", k ops/s", p.name, ops_per_s, 0, 1e-3);
  }
  add("close: write back and one sync, ms", "close", millis, 0, 1);
  add("file size after the deletes, MiB", "close", file_mib, 1, 1);
  add("peak resident memory, MiB", "close", rss_mib, 0, 1);
  return out;
}

std::string ratio_table(const RunInfo& info,
                        const std::vector<Sample>& samples) {
  std::string out =
      row({"phase", "recbase / best peer", "best peer"}) + rule(3);
  auto add = [&](const std::string& label, const std::string& phase,
                 Value value, bool higher_is_better) {
    const double own =
        measure(samples, {"recbase", "", 1, info.n}, phase, value).median;
    std::string best;
    double best_value = NAN;
    for (const std::string& e : info.engines) {
      if (e == "recbase" || journalled(e)) continue;
      const double v =
          measure(samples, {e, "", 1, info.n}, phase, value).median;
      if (std::isnan(v)) continue;
      if (best.empty() ||
          (higher_is_better ? v > best_value : v < best_value)) {
        best = e;
        best_value = v;
      }
    }
    if (std::isnan(own) || best.empty()) return;
    out += row({label, num(own / best_value, 2), best});
  };
  for (const OpPhase& p : kOpPhases) {
    add(std::string(p.title) + " (ops/s)", p.name, ops_per_s, true);
  }
  add("close (time)", "close", millis, false);
  add("file size", "close", file_mib, false);
  add("peak resident memory", "close", rss_mib, false);
  return out;
}

// recbase with its journal against each other engine with one: the ratio
// of operations per second (of the time for close).
std::string journal_table(const RunInfo& info,
                          const std::vector<Sample>& samples) {
  std::vector<std::string> others;
  for (const std::string& e : info.engines) {
    if (journalled(e) && e != "recbase-journal") others.push_back(e);
  }
  std::vector<std::string> head = {"phase"};
  for (const std::string& e : others) head.push_back("recbase-journal / " + e);
  std::string out = row(head) + rule(head.size());
  auto add = [&](const std::string& label, const std::string& phase,
                 Value value, bool higher_is_better) {
    const double own =
        measure(samples, {"recbase-journal", "", 1, info.n}, phase, value)
            .median;
    std::vector<std::string> cells = {label};
    for (const std::string& e : others) {
      const double v =
          measure(samples, {e, "", 1, info.n}, phase, value).median;
      cells.push_back(num(higher_is_better ? own / v : v / own, 2));
    }
    out += row(cells);
  };
  for (const OpPhase& p : kOpPhases) {
    add(std::string(p.title) + " (ops/s)", p.name, ops_per_s, true);
  }
  add("close (speed: time of the other / own)", "close", millis, false);
  return out;
}

std::set<int64_t> sizes_of(const std::vector<Sample>& samples,
                           const std::string& engine) {
  std::set<int64_t> out;
  for (const Sample& s : samples) {
    if (s.engine == engine && s.mode.empty()) out.insert(s.n);
  }
  return out;
}

std::string growth_table(const RunInfo& info,
                         const std::vector<Sample>& samples) {
  std::vector<std::string> head = {"engine", "N", "runs"};
  for (const OpPhase& p : kOpPhases) {
    head.push_back(std::string(p.name) + ", ns/op");
  }
  std::string out = row(head) + rule(head.size());
  for (const std::string& e : info.growth_engines) {
    for (int64_t n : sizes_of(samples, e)) {
      const Select w{e, "", 1, n};
      std::vector<std::string> cells = {
          e, std::to_string(n),
          std::to_string(measure(samples, w, "insert", millis).count)};
      for (const OpPhase& p : kOpPhases) {
        cells.push_back(cell(measure(samples, w, p.name, ns_per_op), 0));
      }
      out += row(cells);
    }
  }
  return out;
}

std::string shared_table(const std::vector<Sample>& samples) {
  std::vector<Select> rows;
  for (const Sample& s : samples) {
    if (s.mode.empty()) continue;
    const Select w{s.engine, s.mode, s.procs, s.n};
    auto same = [&w](const Select& r) {
      return r.engine == w.engine && r.mode == w.mode && r.procs == w.procs &&
             r.n == w.n;
    };
    if (std::none_of(rows.begin(), rows.end(), same)) rows.push_back(w);
  }
  std::string out = row({"engine", "mode", "processes", "keys",
                         "insert, k ops/s", "lookup, k ops/s"}) +
                    rule(6);
  for (const Select& w : rows) {
    out += row({w.engine, w.mode, std::to_string(w.procs), std::to_string(w.n),
                cell(measure(samples, w, "insert", ops_per_s), 1, 1e-3),
                cell(measure(samples, w, "find", ops_per_s), 1, 1e-3)});
  }
  out += "\n" + row({"ratio of medians", "insert", "lookup"}) + rule(3);
  for (const Select& w : rows) {
    if (w.mode == "unshared") continue;
    const auto base = std::find_if(rows.begin(), rows.end(), [&](auto& r) {
      return r.engine == w.engine && r.mode == "unshared" && r.n == w.n;
    });
    if (base == rows.end()) continue;
    std::vector<std::string> cells = {
        w.engine + " " + w.mode + ", " + std::to_string(w.procs) +
        " process(es) / unshared, " + std::to_string(w.n) + " keys"};
    for (const char* phase : {"insert", "find"}) {
      cells.push_back(num(measure(samples, w, phase, ops_per_s).median /
                              measure(samples, *base, phase, ops_per_s).median,
                          3));
    }
    out += row(cells);
  }
  return out;
}

std::ofstream open_out(const std::string& path) {
  std::ofstream out(path);
  if (!out) throw std::runtime_error("cannot write " + path);
  return out;
}

}  // namespace

void write_csv(const std::string& path, const RunInfo& info,
               const std::vector<Sample>& samples) {
  std::ofstream out = open_out(path);
  out << "date,cpu,cores,engine,version,mode,processes,n,run,phase,stopped,"
         "ops,seconds,ops_per_s,ns_per_op,file_bytes,peak_rss_kb\n";
  for (const Sample& s : samples) {
    std::string version;
    for (const auto& [e, v] : info.versions) {
      if (e == s.engine) version = v;
    }
    out << info.date << ',' << quoted(info.cpu) << ',' << info.cores << ','
        << s.engine << ',' << quoted(version) << ',' << quoted(s.mode) << ','
        << s.procs << ',' << s.n << ',' << s.run << ',' << s.phase << ','
        << s.stopped << ',' << s.ops << ',' << num(s.seconds, 6) << ','
        << num(ops_per_s(s), 0) << ',' << num(ns_per_op(s), 1) << ','
        << s.file_bytes << ',' << s.peak_rss_kb << '\n';
  }
}

void write_markdown(const std::string& path, const RunInfo& info,
                    const std::vector<Sample>& samples) {
  std::ofstream out = open_out(path);
  const bool journals =
      std::find(info.engines.begin(), info.engines.end(), "recbase-journal") !=
      info.engines.end();
  out << "# recbase and other embedded ordered stores\n\n"
      << "Made by `bash bench/peers/run.sh" << (journals ? " --journal" : "")
      << "` on " << info.date << ", "
      << info.cpu << ", " << info.cores << " cores, load average "
      << info.load_before << " before and " << info.load_after
      << " after (the machine is shared). Versions:";
  for (const auto& [e, v] : info.versions) out << " " << e << " " << v << ";";
  if (info.recbase_pool_mib != 64) {
    out << "\n\nrecbase's pool: " << info.recbase_pool_mib
        << " MiB (--recbase-pool-mib); every other engine's cache: 64 MiB.";
  }
  out << "\n\nEach cell is the median of the runs with the spread (min-max) "
         "in brackets. Every result is checked inside the timed loops.\n\n"
      << "## Workload, N = " << info.n << ", " << info.runs << " run(s)\n\n"
      << workload_table(info, samples)
      << "\n## recbase against the best peer, N = " << info.n << "\n\n"
      << "For the phases the ratio is of operations per second (above 1 "
         "recbase is faster); for close, file size and memory it is of the "
         "amounts (below 1 recbase needs less).\n\n"
      << ratio_table(info, samples);
  if (journals) {
    out << "\n## With journals: recbase-journal against SQLite's, N = "
        << info.n << "\n\n"
        << "Every write batch of 10,000 operations ends with a flush point "
           "(recbase-journal: cbflush, its journal synced before the file is "
           "overwritten and the file synced after) or a commit (SQLite, "
           "synchronous NORMAL). Above 1 recbase is faster.\n\n"
        << journal_table(info, samples);
  }
  out << "\n## Growth: ns per operation\n\n" << growth_table(info, samples);
  if (std::any_of(samples.begin(), samples.end(),
                  [](const Sample& s) { return !s.mode.empty(); })) {
    out << "\n## Sharing a store between processes\n\n"
        << shared_table(samples);
  }
  out << "\n## Notes\n\n";
  for (const std::string& note : info.notes) out << "- " << note << "\n";
}

void write_plot_data(const std::string& dir, const RunInfo& info,
                     const std::vector<Sample>& samples) {
  std::ofstream ops = open_out(dir + "/peers_ops.dat");
  ops << "# N " << info.n << "\nphase";
  for (const std::string& e : info.engines) ops << ' ' << e;
  ops << '\n';
  for (const OpPhase& p : kOpPhases) {
    ops << quoted(p.label);
    for (const std::string& e : info.engines) {
      const double v =
          measure(samples, {e, "", 1, info.n}, p.name, ops_per_s).median;
      ops << ' ' << (std::isnan(v) ? "NaN" : num(v, 0));
    }
    ops << '\n';
  }
  std::ofstream growth = open_out(dir + "/peers_growth.dat");
  std::set<int64_t> sizes;
  const bool stopped =
      std::any_of(samples.begin(), samples.end(),
                  [](const Sample& s) { return s.stopped && s.mode.empty(); });
  growth << "# stopped " << (stopped ? "yes" : "no") << "\nn";
  for (const std::string& e : info.growth_engines) {
    growth << ' ' << quoted(e + " insert") << ' ' << quoted(e + " lookup");
    const std::set<int64_t> own = sizes_of(samples, e);
    sizes.insert(own.begin(), own.end());
  }
  growth << '\n';
  for (int64_t n : sizes) {
    growth << n;
    for (const std::string& e : info.growth_engines) {
      for (const char* phase : {"insert", "find"}) {
        const double v =
            measure(samples, {e, "", 1, n}, phase, ns_per_op).median;
        growth << ' ' << (std::isnan(v) ? "NaN" : num(v, 1));
      }
    }
    growth << '\n';
  }
}

std::string first_line_of(const char* command) {
  std::string out;
  if (FILE* p = popen(command, "r")) {
    char buf[256];
    if (std::fgets(buf, sizeof buf, p)) out = buf;
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
    out.pop_back();
  }
  return out.empty() ? "unknown" : out;
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one_minute = "unknown";
  in >> one_minute;
  return one_minute;
}

}  // namespace peers
