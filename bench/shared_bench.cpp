// shared_bench: what sharing a tree between processes costs. Several
// processes (--procs, 4) each make --ops random changes (20,000) to one
// shared tree, on keys of their own: a key drawn from the process's range
// is inserted when absent and deleted when present. Then one process makes
// the same changes, the streams taken in turn, to a tree that is not shared.
// Both rows give changes per second (inserts and deletes); the shared row
// counts from the moment every process may start until the last one ends.
// The last line is the ratio shared / unshared.
//
// Every change must succeed, and at the end the tree must hold as many
// pairs as the processes say they left; otherwise the program prints what
// went wrong and exits with status 1.
//
// --batch N wraps every N changes of a process in an explicit writer lock
// (cblock mode 2 / cbunlock), whose deferred write-back is then measured
// too. --os-flush lets every write-back end with the OS flush (fdatasync);
// by default it is skipped, so the figures show the locking and
// synchronisation between processes rather than the disk.

#include <recbase/cbt.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  int32_t ops = 20000;
  int32_t procs = 4;
  int32_t block_size = 512;
  int32_t buffers = 64;
  int32_t batch = 0;
  bool os_flush = false;
  uint32_t seed = 20261206;
  std::string dir;
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One process's stream of changes: its keys, which it holds, and the
// generator that picks the next key.
class Stream {
 public:
  Stream(int process, int32_t ops, uint32_t seed)
      : process_(process),
        range_(static_cast<uint32_t>(ops / 4 + 16)),
        rng_(seed + static_cast<uint32_t>(process)) {}

  // Makes the next change; false when its result was not 1.
  bool step(CbTree* tree) {
    const uint32_t n = static_cast<uint32_t>(rng_() % range_);
    key_ = "p" + std::to_string(process_) + "-" + std::to_string(n) +
           std::string(n % 11, 'x');
    const int32_t len = static_cast<int32_t>(key_.size());
    auto it = held_.find(n);
    int32_t r;
    if (it == held_.end()) {
      const int32_t item = static_cast<int32_t>(rng_());
      r = cbinsert(tree, key_.data(), len, item, 0);
      held_.emplace(n, item);
    } else {
      r = cbdelete(tree, key_.data(), len, it->second);
      held_.erase(it);
    }
    return r == 1;
  }
  const std::string& last_key() const { return key_; }
  size_t held() const { return held_.size(); }

 private:
  int process_;
  uint32_t range_;
  std::mt19937 rng_;
  std::unordered_map<uint32_t, int32_t> held_;
  std::string key_;
};

void report_failure(const char* what, const std::string& key) {
  std::fprintf(stderr,
               "shared_bench: %s failed (key %s; error %s, in %s, "
               "while %s)\n",
               what, key.c_str(), cberrmsg(cbget_errcode()),
               cbfcnmsg(cbget_fcncode()), cbconmsg(cbget_concode()));
}

// Pairs in the tree, by a full walk; -1 when the walk fails.
int64_t count_pairs(CbTree* tree) {
  int32_t item = 0;
  int64_t n = 0;
  int32_t r = cbhead(tree, &item);
  for (; r == 1; r = cbnext(tree, &item)) ++n;
  return r == -3 ? n : -1;
}

// What a process of the shared run tells the parent when it is done.
struct ProcessResult {
  int32_t ok = 0;
  double seconds = 0;
  int64_t held = 0;
};

// The body of one process of the shared run; writes its result to out.
int shared_process(const Options& opt, const std::string& path, int process,
                   int gate, int out) {
  ProcessResult res;
  char c;
  if (read(gate, &c, 1) != 0) return 1;  // every process starts at once
  if (cbinit(opt.buffers, opt.block_size) != 1) return 1;
  // Quick retries: a writer holds the file for one change (or one batch).
  cblock_timeout(1000000, 1, 60000);
  cb_set_flush(1, opt.os_flush ? 0 : 1);
  const Clock::time_point start = Clock::now();
  CbTree* tree = cbopen_shared(path.c_str(), nullptr, 1, 0);
  Stream stream(process, opt.ops, opt.seed);
  res.ok = tree != nullptr;
  if (!res.ok) report_failure("cbopen_shared", "");
  for (int32_t i = 0; res.ok && i < opt.ops; ++i) {
    if (opt.batch > 0 && i % opt.batch == 0 && cblock(tree, 2) != 1) {
      report_failure("cblock", "");
      res.ok = 0;
      break;
    }
    if (!stream.step(tree)) {
      report_failure("change", stream.last_key());
      res.ok = 0;
      break;
    }
    const bool batch_end =
        opt.batch > 0 && (i % opt.batch == opt.batch - 1 || i == opt.ops - 1);
    if (batch_end && cbunlock(tree, 2) != 1) {
      report_failure("cbunlock", "");
      res.ok = 0;
    }
  }
  if (tree != nullptr && cbclose(tree) != 1) {
    report_failure("cbclose", "");
    res.ok = 0;
  }
  res.seconds = seconds_since(start);
  res.held = static_cast<int64_t>(stream.held());
  cbexit();
  return write(out, &res, sizeof res) == sizeof res && res.ok ? 0 : 1;
}

// Runs the shared part; its changes per second, or -1 on failure.
double run_shared(const Options& opt, const std::string& path) {
  if (cbinit(opt.buffers, opt.block_size) != 1) return -1;
  CbTree* made = cbscreate(path.c_str(), nullptr, opt.block_size, 1);
  if (made == nullptr || cbclose(made) != 1 || cbexit() != 1) {
    report_failure("cbscreate", "");
    return -1;
  }
  int gate[2];
  int results[2];
  if (pipe(gate) != 0 || pipe(results) != 0) return -1;
  std::vector<pid_t> pids;
  for (int p = 0; p < opt.procs; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      close(results[0]);
      _exit(shared_process(opt, path, p, gate[0], results[1]));
    }
    pids.push_back(pid);
  }
  close(results[1]);
  close(gate[0]);
  const Clock::time_point start = Clock::now();
  close(gate[1]);
  bool ok = true;
  for (pid_t pid : pids) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0 && ok;
  }
  const double wall = seconds_since(start);
  int64_t held = 0;
  double rate_sum = 0;
  ProcessResult res;
  for (int p = 0; p < opt.procs; ++p) {
    if (read(results[0], &res, sizeof res) != sizeof res) {
      ok = false;
      break;
    }
    held += res.held;
    rate_sum += opt.ops / res.seconds;
  }
  close(results[0]);
  if (!ok) return -1;

  if (cbinit(opt.buffers, opt.block_size) != 1) return -1;
  CbTree* tree = cbopen_shared(path.c_str(), nullptr, 1, 0);
  const int64_t found = tree != nullptr ? count_pairs(tree) : -1;
  if (tree != nullptr) cbclose(tree);
  cbexit();
  if (found != held) {
    std::fprintf(stderr,
                 "shared_bench: shared tree holds %jd pairs, the "
                 "processes left %jd\n",
                 intmax_t(found), intmax_t(held));
    return -1;
  }
  const double total = double(opt.ops) * opt.procs;
  std::printf(
      "%-9s %3d process(es) %9.0f changes %8.3f s %10.0f changes/s "
      "(per-process rates summed: %.0f)\n",
      "shared", opt.procs, total, wall, total / wall, rate_sum);
  return total / wall;
}

// Runs the same changes in one process on a tree that is not shared.
double run_unshared(const Options& opt, const std::string& path) {
  if (cbinit(opt.buffers, opt.block_size) != 1) return -1;
  cb_set_flush(1, opt.os_flush ? 0 : 1);
  const Clock::time_point start = Clock::now();
  CbTree* tree = cbcreate(path.c_str(), nullptr, opt.block_size);
  if (tree == nullptr) {
    report_failure("cbcreate", "");
    cbexit();
    return -1;
  }
  std::vector<Stream> streams;
  for (int p = 0; p < opt.procs; ++p)
    streams.emplace_back(p, opt.ops, opt.seed);
  bool ok = true;
  for (int32_t i = 0; ok && i < opt.ops; ++i) {
    for (Stream& s : streams) {
      if (!s.step(tree)) {
        report_failure("change", s.last_key());
        ok = false;
        break;
      }
    }
  }
  ok = cbflush(tree) == 1 && ok;
  const double wall = seconds_since(start);
  int64_t held = 0;
  for (const Stream& s : streams) held += static_cast<int64_t>(s.held());
  const int64_t found = count_pairs(tree);
  ok = cbclose(tree) == 1 && ok;
  cbexit();
  if (!ok || found != held) {
    std::fprintf(stderr,
                 "shared_bench: unshared run failed (%jd pairs, "
                 "%jd expected)\n",
                 intmax_t(found), intmax_t(held));
    return -1;
  }
  const double total = double(opt.ops) * opt.procs;
  std::printf("%-9s %3d process    %9.0f changes %8.3f s %10.0f changes/s\n",
              "unshared", 1, total, wall, total / wall);
  return total / wall;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  CLI::App app{
      "Changes per second on one tree shared by several processes, "
      "against one process with the tree to itself"};
  app.add_option("--ops", opt.ops, "Changes per process")
      ->check(CLI::Range(1, 1 << 26))
      ->capture_default_str();
  app.add_option("--procs", opt.procs, "Processes sharing the tree")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--block-size", opt.block_size, "Block size of the tree")
      ->check(CLI::Range(92, 32767))
      ->capture_default_str();
  app.add_option("--buffers", opt.buffers, "Buffers in each process's pool")
      ->check(CLI::Range(6, 1 << 20))
      ->capture_default_str();
  app.add_option("--batch", opt.batch,
                 "Changes per explicit writer lock (0: a lock per change)")
      ->check(CLI::Range(0, 1 << 20))
      ->capture_default_str();
  app.add_flag("--os-flush", opt.os_flush,
               "End every write-back with the OS flush (fdatasync)");
  app.add_option("--seed", opt.seed, "Seed of the key generators")
      ->capture_default_str();
  app.add_option("--dir", opt.dir,
                 "Directory for the tree files (default: a temporary "
                 "directory under /tmp, removed at the end)")
      ->check(CLI::ExistingDirectory);
  CLI11_PARSE(app, argc, argv);

  std::string dir = opt.dir;
  const bool temporary = dir.empty();
  if (temporary) {
    char name[] = "/tmp/shared_bench.XXXXXX";
    if (!mkdtemp(name)) {
      std::perror("mkdtemp");
      return 2;
    }
    dir = name;
  }
  std::printf(
      "%d processes x %d changes, block size %d, %d buffers, %s, "
      "OS flush %s\n",
      opt.procs, opt.ops, opt.block_size, opt.buffers,
      opt.batch > 0
          ? ("writer lock per " + std::to_string(opt.batch) + " changes")
                .c_str()
          : "a lock per change",
      opt.os_flush ? "on" : "off");
  std::fflush(stdout);  // the children must not print it again
  const double shared =
      run_shared(opt, (fs::path(dir) / "shared.cbt").string());
  const double unshared =
      shared > 0 ? run_unshared(opt, (fs::path(dir) / "unshared.cbt").string())
                 : -1;
  if (temporary) fs::remove_all(dir);
  if (shared <= 0 || unshared <= 0) return 1;
  std::printf("ratio shared / unshared: %.3f\n", shared / unshared);
  return 0;
}
