// Four processes change one shared tree at once, each on keys of its own
// (prefixed by its number), with random inserts, deletes and finds, some of
// them refused on purpose (a pair already present, a pair absent) so that
// failing calls must give their locks back too. Each process checks every
// result against its own model and reports the pairs it left behind; the
// test process then requires exactly the union of those in the file, in
// order, and a sound tree. Meanwhile a fifth process, read-only, walks the
// tree from end to end again and again: every walk must be in ascending
// order and meet each pair of a fixed set that nobody deletes, however the
// leaves split and join under its position. Once with a lock per call, once
// with explicit writer locks around batches of 50 operations.
//
// RECBASE_STRESS_N sets the operations per process (default 2000).
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cbt/checker.h"
#include "frame/platform.h"
#include "tests/cbt/process_support.h"
#include "tests/support/temp_dir.h"

namespace recbase {
namespace {

using test::TempDir;

constexpr int kProcesses = 4;
constexpr int kBatch = 50;
constexpr int kFixedPerProcess = 50;

int ops_per_process() {
  const char *env = getenv("RECBASE_STRESS_N");
  const int n = env != nullptr ? atoi(env) : 0;
  return n > 0 ? n : 2000;
}

// Keys of one process: its number first, then a varying length so that
// nodes hold keys of several sizes.
std::string key_for(int process, uint32_t n) {
  return "p" + std::to_string(process) + "-" + std::to_string(n) +
         std::string(n % 11, 'x');
}

// Pairs that are in the tree from the start and never deleted: a run of
// them within each process's keys.
std::string fixed_key(int process, int n) {
  return "p" + std::to_string(process) + "-s" + std::to_string(n);
}

struct StressPlan {
  std::string path;
  int process = 0;
  int ops = 0;
  bool batches = false;
  std::string report;  // where the surviving pairs are written
};

// Says what went wrong and gives the process's failing exit code.
int complain(const char *what, int op, int32_t result) {
  std::fprintf(stderr, "stress: %s at op %d: result %d, error %d/%d\n", what,
               op, result, cberrcode, cbconcode);
  return 1;
}

// The body of one stress process.
int stress_process(const StressPlan &plan) {
  if (cbinit(64, 512) != 1) return complain("cbinit", 0, 0);
  // Many quick retries: the others hold the file only for a call (or a
  // batch), and a long sleep would only slow the test down.
  cblock_timeout(1000000, 1, 60000);
  cb_set_flush(1, 1);
  CbTree *t = cbopen_shared(plan.path.c_str(), nullptr, 1, 0);
  if (t == nullptr) return complain("open", 0, 0);
  std::mt19937 rng(1000u + static_cast<unsigned>(plan.process));
  const uint32_t key_range = static_cast<uint32_t>(plan.ops / 4 + 16);
  std::map<std::string, int32_t> live;
  for (int op = 0; op < plan.ops; ++op) {
    if (plan.batches && op % kBatch == 0) {
      const int32_t r = cblock(t, 2);
      if (r != 1) return complain("cblock 2", op, r);
    }
    const std::string key = key_for(plan.process, rng() % key_range);
    const int32_t len = static_cast<int32_t>(key.size());
    auto it = live.find(key);
    if (it == live.end()) {
      const int32_t item = static_cast<int32_t>(rng());
      int32_t r = cbinsert(t, key.data(), len, item, 0);
      if (r != 1) return complain("insert", op, r);
      live.emplace(key, item);
      if (op % 13 == 0) {  // absent pair: refused, and the lock given back
        r = cbdelete(t, key.data(), len, item ^ 1);
        if (r != -1 || cberrcode != 26) {
          return complain("delete of an absent pair", op, r);
        }
      }
    } else {
      if (op % 7 == 0) {  // the same pair again: refused
        const int32_t r = cbinsert(t, key.data(), len, it->second, 0);
        if (r != -1 || cberrcode != 23) {
          return complain("second insert", op, r);
        }
      }
      const int32_t r = cbdelete(t, key.data(), len, it->second);
      if (r != 1) return complain("delete", op, r);
      live.erase(it);
    }
    if (op % 5 == 0 && !live.empty()) {
      auto probe = live.begin();
      std::advance(probe, rng() % live.size());
      int32_t item = probe->second;
      const int32_t r =
          cbfinditem(t, probe->first.data(),
                     static_cast<int32_t>(probe->first.size()), &item);
      if (r != 2 || item != probe->second) {
        return complain("find", op, r);
      }
    }
    if (plan.batches && (op % kBatch == kBatch - 1 || op == plan.ops - 1)) {
      const int32_t r = cbunlock(t, 2);
      if (r != 1) return complain("cbunlock 2", op, r);
    }
  }
  std::ofstream out(plan.report);
  for (const auto &[key, item] : live) out << key << ' ' << item << '\n';
  out.close();
  return !out || cbclose(t) != 1 || cbexit() != 1;
}

// True once every writer has ended: the pipe's write ends are all closed.
bool writers_done(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

using Pairs = std::vector<std::pair<std::string, int32_t>>;

// Walks the whole tree into pairs; the result is -3 at a normal end.
int32_t walk(CbTree *t, Pairs &pairs) {
  pairs.clear();
  int32_t item = 0, r = cbhead(t, &item);
  for (; r == 1; r = cbnext(t, &item)) {
    char key[64];
    int32_t len = 0;
    if (cbkeylen(t, &len) != 1 || len > 64 || cbkey(t, key, len) != 1) {
      return 0;
    }
    pairs.emplace_back(std::string(key, static_cast<size_t>(len)), item);
  }
  return r;
}

// The body of the walking process. Walks until a walk that began after the
// writers ended; each must be ascending and hold every fixed pair.
int walk_process(const std::string &path, int done_fd) {
  if (cbinit(64, 512) != 1) return complain("cbinit", 0, 0);
  cblock_timeout(1000000, 1, 60000);
  CbTree *t = cbopen_shared(path.c_str(), nullptr, 1, 1);
  if (t == nullptr) return complain("open", 0, 0);
  Pairs pairs;
  for (bool last = false; !last;) {
    last = writers_done(done_fd);
    const int32_t r = walk(t, pairs);
    const int seen = static_cast<int>(pairs.size());
    if (r != -3) return complain("walk", seen, r);
    // A writer may delete a pair and put its key back with another item:
    // pairs, not keys, ascend.
    const auto wrong =
        std::adjacent_find(pairs.begin(), pairs.end(), std::greater_equal<>());
    if (wrong != pairs.end()) {
      std::fprintf(stderr, "stress: walk gave %s/%d after %s/%d\n",
                   wrong[1].first.c_str(), wrong[1].second,
                   wrong[0].first.c_str(), wrong[0].second);
      return complain("walk out of order", seen, r);
    }
    if (std::count_if(pairs.begin(), pairs.end(), [](const auto &p) {
          return p.first.find("-s") != std::string::npos;
        }) != kProcesses * kFixedPerProcess) {
      return complain("walk missed fixed pairs", seen, r);
    }
  }
  return cbclose(t) != 1 || cbexit() != 1;
}

Pairs read_report(const std::string &path) {
  Pairs pairs;
  std::ifstream in(path);
  std::string key;
  int32_t item = 0;
  while (in >> key >> item) pairs.emplace_back(key, item);
  return pairs;
}

// (block size, explicit writer locks around batches)
class SharedStressTest
    : public ::testing::TestWithParam<std::pair<int32_t, bool>> {
 protected:
  void TearDown() override {
    if (bufpool_current() != nullptr) cbexit();
    platform_fill();
  }
  TempDir dir_;
};

TEST_P(SharedStressTest, FourProcessesKeepTheirOwnPairs) {
  const auto [block_size, batches] = GetParam();
  const std::string path = dir_.file("stress.cbt");
  // The file is made here and the pool gone again before any fork.
  ASSERT_EQ(cbinit(16, 512), 1);
  CbTree *made = cbscreate(path.c_str(), nullptr, block_size, 1);
  ASSERT_NE(made, nullptr);
  std::map<std::string, int32_t> expected;
  for (int p = 0; p < kProcesses; ++p) {
    for (int n = 0; n < kFixedPerProcess; ++n) {
      const std::string key = fixed_key(p, n);
      ASSERT_EQ(
          cbinsert(made, key.data(), static_cast<int32_t>(key.size()), n, 0),
          1);
      expected.emplace(key, n);
    }
  }
  ASSERT_EQ(cbclose(made), 1);
  ASSERT_EQ(cbexit(), 1);

  const int ops = ops_per_process();
  std::vector<StressPlan> plans;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    plans.push_back(
        {path, p, ops, batches, dir_.file("survivors" + std::to_string(p))});
  }
  // All start together: each waits for the end of the gate pipe, which
  // comes when the last copy of its write end is closed. The walker learns
  // that the writers are done the same way, from the done pipe.
  int gate[2], done[2];
  ASSERT_EQ(pipe(gate), 0);
  ASSERT_EQ(pipe(done), 0);
  const auto after_gate = [&gate](auto body) {
    return test::spawn([&gate, body] {
      close(gate[1]);
      char c;
      return read(gate[0], &c, 1) == 0 ? body() : 99;
    });
  };
  const pid_t walker = after_gate([&path, &done] {
    close(done[1]);
    return walk_process(path, done[0]);
  });
  for (const StressPlan &plan : plans) {
    pids.push_back(after_gate([&plan] { return stress_process(plan); }));
  }
  close(gate[1]);
  close(gate[0]);
  close(done[0]);
  // Generous: a normal run takes a few seconds; only a hang comes near.
  for (int p = 0; p < kProcesses; ++p) {
    EXPECT_EQ(test::wait_child(pids[p], 300000), 0) << "process " << p;
  }
  close(done[1]);
  EXPECT_EQ(test::wait_child(walker, 300000), 0) << "walking process";
  if (HasFailure()) return;

  for (const StressPlan &plan : plans) {
    for (const auto &[key, item] : read_report(plan.report)) {
      expected.emplace(key, item);
    }
  }
  ASSERT_EQ(cbinit(16, 512), 1);
  CbTree *t = cbopen_shared(path.c_str(), nullptr, 1, 0);
  ASSERT_NE(t, nullptr);
  Pairs found;
  EXPECT_EQ(walk(t, found), -3);
  const Pairs want(expected.begin(), expected.end());
  EXPECT_EQ(found.size(), want.size());
  EXPECT_TRUE(found == want) << "the file does not hold the survivors";
  cbt::TreeStats stats;
  EXPECT_EQ(cbt::check_tree(t, &stats), "");
  EXPECT_EQ(stats.entries, want.size());
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbt::check_tree_file(path.c_str(), nullptr), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, SharedStressTest,
                         ::testing::Values(std::make_pair(512, false),
                                           std::make_pair(512, true),
                                           std::make_pair(128, false),
                                           std::make_pair(128, true)),
                         [](const auto &info) {
                           return "Block" + std::to_string(info.param.first) +
                                  (info.param.second ? "Batches" : "Single");
                         });

}  // namespace
}  // namespace recbase
