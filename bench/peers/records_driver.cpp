// The record benchmark's driver: each store and run in a child process of
// its own (this program started again with --records-store), the stores
// alternating run by run; then the report of medians with their spread,
// the CSV of every sample and the chart's data file.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "bench/peers/child.h"
#include "bench/peers/records.h"
#include "bench/peers/report.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

struct PhaseInfo {
  const char* name;
  const char* title;
};
const PhaseInfo kTitles[] = {
    {"add", "add all"},
    {"find", "find each by id"},
    {"walk_id", "walk in id order"},
    {"walk_city_name", "walk in (city, name) order"},
    {"walk_amount", "walk in amount order"},
    {"modify", "modify a quarter (amount)"},
    {"delete", "delete a quarter"},
};

struct Spread {
  double median = NAN, min = NAN, max = NAN;
};
Spread spread_of(std::vector<double> v) {
  Spread s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  s.median = v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
  s.min = v.front();
  s.max = v.back();
  return s;
}

std::string text(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}
std::string cell(const Spread& s, int decimals) {
  return text(s.median, decimals) + " (" + text(s.min, decimals) + "-" +
         text(s.max, decimals) + ")";
}

class RecordsDriver {
 public:
  explicit RecordsDriver(const RecordsOptions& o) : o_(o) {}

  void run() {
    load_before_ = load_average();
    for (int run = 1; run <= o_.runs; ++run) {
      for (const std::string& store : o_.stores) one(store, run);
    }
    fs::remove_all(o_.work_dir);
    load_after_ = load_average();
    write_csv();
    write_markdown();
    write_plot_data();
  }

 private:
  void one(const std::string& store, int run) {
    const fs::path dir = fs::path(o_.work_dir) / (store + std::to_string(run));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string label = store + " run " + std::to_string(run);
    const ChildResult r =
        finish(spawn({"--records-store", store, "--dir", dir.string(), "--n",
                      std::to_string(o_.n), "--seed", std::to_string(o_.seed)},
                     {}, label));
    fs::remove_all(dir);
    results_[store].push_back(r);
    std::printf("%-16s", label.c_str());
    for (const auto& [name, t] : r.phases) {
      std::printf(" %s %.0fk/s", name.c_str(), t.ops / t.seconds * 1e-3);
    }
    std::printf(" files %.1f MiB\n", value_or(r, "file_bytes", 0) / 1048576.0);
  }

  // Every run's value of one store.
  template <class F>
  Spread over_runs(const std::string& store, F value) const {
    std::vector<double> v;
    for (const ChildResult& r : results_.at(store)) v.push_back(value(r));
    return spread_of(v);
  }
  Spread rate(const std::string& store, const std::string& phase) const {
    return over_runs(store, [&](const ChildResult& r) {
      const PhaseTime& t = r.phases.at(phase);
      return t.ops / t.seconds * 1e-3;
    });
  }
  Spread mib(const std::string& store, const std::string& value) const {
    return over_runs(store, [&](const ChildResult& r) {
      return value_or(r, value.c_str(), 0) / 1048576.0;
    });
  }

  std::string version(const std::string& store) const {
    return store.rfind("recbase", 0) == 0 ? o_.recbase_version
                                          : first_line_of(
                                                "dpkg-query -W -f='${Version}' "
                                                "libsqlite3-dev 2>/dev/null");
  }

  void write_csv() const {
    std::ofstream out(o_.csv);
    out << "date,cpu,cores,store,version,n,run,phase,ops,seconds,file_bytes,"
           "peak_rss_kb\n";
    for (const std::string& store : o_.stores) {
      int run = 0;
      for (const ChildResult& r : results_.at(store)) {
        ++run;
        for (const auto& [phase, t] : r.phases) {
          out << date() << ",\"" << cpu() << "\"," << cores() << "," << store
              << ",\"" << version(store) << "\"," << o_.n << "," << run << ","
              << phase << "," << t.ops << "," << text(t.seconds, 6) << ","
              << value_or(r, "file_bytes", -1) << ","
              << value_or(r, "peak_rss_kb", -1) << "\n";
        }
      }
    }
  }

  void write_markdown() const {
    std::ofstream out(o_.markdown);
    out << "# recbase records against SQLite\n\n"
        << "Made by `bash bench/peers/run.sh --records"
        << (o_.stores.front() == "recbase-journal" ? " --journal" : "")
        << "` on " << date() << ", "
        << cpu() << ", " << cores() << " cores, load average " << load_before_
        << " before and " << load_after_
        << " after (the machine is shared). Versions: recbase "
        << version("recbase") << "; sqlite " << version("sqlite") << ".\n\n"
        << "N = " << o_.n << " records, " << o_.runs
        << " run(s) of each store, alternating. Each cell is the median of "
           "the runs with the spread (min-max) in brackets. Every result is "
           "checked inside the timed loops.\n\n"
        << table() << "\n";
    out << "For the phases the ratio is of operations per second (above 1 "
           "recbase is faster); for close, files and memory it is of the "
           "amounts (below 1 recbase needs less).\n\n"
        << "- Records: name 6 to 16 letters, id a scattered distinct 32-bit "
           "number, amount whole cents below 10^6, city one of 400 names of "
           "4 to 12 letters. Adds in row order; finds in a random order; "
           "modify sets a new random amount on the first quarter of that "
           "order, delete removes the second quarter. A walk reads every "
           "record in the index's order.\n"
        << "- recbase: fields name,C id,L amount,D city,C; indexes byid,U "
           "(id,L), bycity (city,C, name,C), byamount (amount,D), made "
           "before the adds; isaminit(16384, 4096), index block size 4096, "
           "opened exclusive. A find is ifindkey on byid and igetrec; a "
           "modify is that, then imodrec; a delete ifindkey and idelrec; a "
           "walk ifindhead/ifindnext with igetrec on each record.\n"
        << "- SQLite: table rows(name TEXT, id INTEGER, amount REAL, city "
           "TEXT) with its rowid, UNIQUE INDEX on id, INDEX on (city, name), "
           "INDEX on amount, made before the adds; prepared statements; "
           "page_size 4096, cache_size -65536 (64 MiB), journal_mode OFF, "
           "synchronous OFF, 10,000 statements per transaction (walks one "
           "read transaction each). A find is SELECT ... WHERE id = ?, a "
           "modify UPDATE rows SET amount = ? WHERE id = ?, a delete "
           "DELETE ... WHERE id = ?, a walk SELECT ... ORDER BY the index's "
           "columns.\n"
        << "- Durability: no sync per operation; close writes back and syncs "
           "once (recbase iclose_db, SQLite sqlite3_close and one fsync).\n"
        << "- With journals (when run with them): recbase-journal is recbase "
           "with iset_journal(1) and iflush_db after every write batch, each "
           "a flush point that syncs its journal and both files; "
           "sqlite-delete and sqlite-wal are SQLite with journal_mode DELETE "
           "or WAL and synchronous NORMAL, a transaction per batch.\n";
  }

  // A row per phase: each store's cell, then the first store's ratio to
  // each other store.
  std::string table() const {
    const std::string& own = o_.stores.front();
    std::string out = "| phase |";
    for (const std::string& st : o_.stores) out += " " + st + " |";
    for (size_t i = 1; i < o_.stores.size(); ++i) {
      out += " " + own + " / " + o_.stores[i] + " |";
    }
    out += "\n|";
    for (size_t i = 0; i < 2 * o_.stores.size(); ++i) out += " --- |";
    out += "\n";
    auto add = [&](const std::string& title, auto spread, int decimals,
                   bool files = false) {
      out += "| " + title + " |";
      for (const std::string& st : o_.stores) {
        out += " " + cell(spread(st), decimals);
        if (files && st.rfind("recbase", 0) == 0) {
          out += " (rows.db " + text(mib(st, "file_bytes.rows.db").median, 1) +
                 ", rows.idx " +
                 text(mib(st, "file_bytes.rows.idx").median, 1) + ")";
        }
        out += " |";
      }
      for (size_t i = 1; i < o_.stores.size(); ++i) {
        out += " " + text(spread(own).median / spread(o_.stores[i]).median, 2) +
               " |";
      }
      out += "\n";
    };
    for (const PhaseInfo& p : kTitles) {
      add(
          std::string(p.title) + ", k ops/s",
          [&](const std::string& st) { return rate(st, p.name); }, 0);
    }
    add(
        "close: write back and one sync, ms",
        [&](const std::string& st) {
          return over_runs(st, [](const ChildResult& r) {
            return r.phases.at("close").seconds * 1e3;
          });
        },
        0);
    add(
        "files after the deletes, MiB",
        [&](const std::string& st) { return mib(st, "file_bytes"); }, 1, true);
    add(
        "peak resident memory, MiB",
        [&](const std::string& st) {
          return over_runs(st, [](const ChildResult& r) {
            return value_or(r, "peak_rss_kb", 0) / 1024.0;
          });
        },
        0);
    return out;
  }

  void write_plot_data() const {
    std::ofstream out(o_.plot_dir + "/records_ops.dat");
    out << "# N " << o_.n << "\nphase";
    for (const std::string& st : o_.stores) out << " " << st;
    out << "\n";
    for (const PhaseInfo& p : kTitles) {
      out << "\"" << p.title << "\"";
      for (const std::string& st : o_.stores) {
        out << " " << text(rate(st, p.name).median * 1e3, 0);
      }
      out << "\n";
    }
  }

  static std::string date() {
    char buf[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return buf;
  }
  static std::string cpu() {
    return first_line_of(
        "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'");
  }
  static int cores() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

  const RecordsOptions& o_;
  std::map<std::string, std::vector<ChildResult>> results_;
  std::string load_before_, load_after_;
};

}  // namespace

int run_records_driver(const RecordsOptions& options) {
  try {
    RecordsDriver(options).run();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "records: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace peers
