// Fault loops over the B-tree layer's exported calls, one table of
// scenarios run by one loop. For each scenario and N = 1, 2, 3, ...: the
// scenario's small tree file is laid down, its handles opened, platform call
// (or allocation) N is made to fail, and the operation runs. Then:
//  - a failure must be -1 (or NULL) with cberrcode and cbconcode set, and
//    leave no pool block pinned;
//  - the library is shut down and started again, and the file is reopened,
//    walked both ways and checked: either it is sound and holds one of the
//    contents the operation may leave (before, after, or a step between),
//    or the damage is reported by the open, a walk or the checker. A sound
//    tree with other contents (silent damage) fails the test.
// The loop ends at the first N the operation does not reach; that run must
// succeed and leave the "after" contents.
//
// Four fault modes: io-once (call N fails, later calls work, so the
// shutdown writes back what the failed operation left), io-crash (call N
// and every later call fail, through the shutdown, as if the machine
// stopped), io-crash with the rollback journal on (the reopened file must
// hold the contents of a flush point: before the operation, or after it),
// alloc (allocation N fails).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bufpool/bufpool.h"
#include "tests/support/fault_loop.h"
#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

using Pairs = std::set<Pair>;

// A small pool, so that the operations replace buffers (and write dirty
// ones back) in the middle of their work.
constexpr int32_t kPoolBuffers = 6;
constexpr int32_t kPoolSize = 512;
// No operation comes near this many fault points.
constexpr int64_t kMaxPoints = 400;

std::string k4(int i) { return numbered_key(i, 4); }

struct Ctx {
  std::string path;
  CbTree *tree = nullptr;
};

struct Scenario {
  std::string name;
  int32_t block_size = 92;
  int32_t shared = 0;
  std::vector<int> inserts, deletes;  // the image: inserts, then deletes
  // Opens the handles and does the work before the operation (which must
  // succeed); null opens one handle.
  std::function<void(Ctx &)> prepare;
  // The operation: 1 success, else failure.
  std::function<int32_t(Ctx &)> op;
  // Pairs added (+) or removed (-) by the operation's steps, in order: the
  // contents after each step may be found after a fault.
  std::vector<std::pair<char, Pair>> steps;
  bool absent_ok = false;    // the file may be missing afterwards
  bool empty_after = false;  // a successful run leaves an empty tree
  int32_t depth_before = -1, depth_after = -1;  // -1: not checked
  int alloc_points = -1;  // allocations the operation makes; -1: not checked
};

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

Pairs image_pairs(const Scenario &s) {
  Pairs p;
  for (int i : s.inserts) p.insert({k4(i), i});
  for (int i : s.deletes) p.erase({k4(i), i});
  return p;
}

// The contents a sound file may hold after the operation; the last one is
// the contents after a successful run.
std::vector<Pairs> allowed(const Scenario &s, const Pairs &base) {
  std::vector<Pairs> states{base};
  Pairs p = base;
  for (const auto &[sign, pair] : s.steps) {
    if (sign == '+') p.insert(pair);
    if (sign == '-') p.erase(pair);
    states.push_back(p);
  }
  if (s.empty_after) states.push_back({});
  return states;
}

// Walks forward collecting pairs, then backward comparing; nullopt when a
// walk fails (with a code) or the walks disagree.
std::optional<Pairs> read_pairs(CbTree *t) {
  PairList forward;
  int32_t item = 0;
  int32_t r = cbhead(t, &item);
  for (; r == 1 && forward.size() < 100000; r = cbnext(t, &item)) {
    forward.emplace_back(key_at(t), item);
  }
  if (r != -3) {
    EXPECT_NE(cberrcode, 0) << "walk forward gave " << r;
    return std::nullopt;
  }
  size_t i = forward.size();
  for (r = cbtail(t, &item); r == 1 && i > 0; r = cbprev(t, &item), --i) {
    if (item != forward[i - 1].second) return std::nullopt;
  }
  EXPECT_TRUE(r != -1 || cberrcode != 0) << "walk backward failed";
  if (r != -2 || i != 0) return std::nullopt;
  return Pairs(forward.begin(), forward.end());
}

struct Tally {
  int points = 0, failed = 0, absorbed = 0, sound = 0, detected = 0;
  std::map<std::string, int> codes;  // "cberrcode/cbconcode@slot"
};

class FaultLoop : public ::testing::TestWithParam<Scenario> {
 protected:
  void TearDown() override {
    shut_down();
    cb_set_journal(0);
    cb_set_flush(1, 0);
    cblock_timeout(25, 50, 10000);
  }
  static void start() {
    ASSERT_EQ(cbinit(kPoolBuffers, kPoolSize), 1);
    // No fdatasync: the flush slot is still called (and counted). A failed
    // lock is retried briefly.
    cb_set_flush(1, 1);
    cblock_timeout(3, 1, 20);
  }
  // Shuts the library down even when closes keep failing: a failed
  // cbclose inside cbexit still frees its handle, so this ends.
  static void shut_down() {
    for (int i = 0; i < 16 && bufpool_current() != nullptr; ++i) cbexit();
    ASSERT_EQ(bufpool_current(), nullptr);
  }

  // Lays down the scenario's file once; each run restores these bytes.
  void make_image(const Scenario &s) {
    ASSERT_NO_FATAL_FAILURE(start());
    path_ = dir_.file("tree");
    CbTree *t = cbscreate(path_.c_str(), nullptr, s.block_size, s.shared);
    ASSERT_NE(t, nullptr);
    for (int i : s.inserts) ASSERT_EQ(put(t, k4(i), i, 0), 1);
    for (int i : s.deletes) ASSERT_EQ(del(t, k4(i), i), 1);
    EXPECT_TRUE(s.depth_before < 0 || cbdepth(t) == s.depth_before) << s.name;
    ASSERT_EQ(cbclose(t), 1);
    image_ = read_file(path_);
    shut_down();
  }

  // Reopens the file and classifies it: true when sound (or absent where
  // allowed). Silent damage fails the test.
  bool verify(const Scenario &s, const std::vector<Pairs> &states,
              const std::string &where) {
    start();
    if (!file_exists(path_)) {
      EXPECT_TRUE(s.absent_ok) << where << ": file missing";
      return s.absent_ok;
    }
    CbTree *t = cbopen(path_.c_str(), nullptr);
    if (t == nullptr) {
      EXPECT_NE(cberrcode, 0) << where;
      EXPECT_NE(cbconcode, 0) << where;
      return false;
    }
    bool sound = false;
    if (cbt::check_tree(t).empty()) {
      if (const std::optional<Pairs> got = read_pairs(t)) {
        for (const Pairs &p : states) sound = sound || p == *got;
        EXPECT_TRUE(sound) << where << ": sound tree with " << got->size()
                           << " pairs, not a state the operation may leave";
      }
    } else {
      read_pairs(t);  // a damaged tree still answers with results or codes
    }
    EXPECT_EQ(bufpool_stats(bufpool_current()).pinned, 0) << where;
    cbclose(t);
    return sound;
  }

  Tally run(const Scenario &s, FaultMode mode) {
    Tally tally;
    std::vector<Pairs> states = allowed(s, image_pairs(s));
    // With the journal, a file holds a flush point's contents: before or
    // after the operation, or in shared mode after any step (each commits).
    const bool journal = mode == FaultMode::kIoCrashJournal;
    if (journal && s.shared == 0) states = {states.front(), states.back()};
    cb_set_journal(journal ? 1 : 0);
    std::remove((path_ + ".jnl").c_str());
    Ctx ctx{path_};
    FaultSteps steps;
    steps.set_up = [&](const std::string &where) {
      shut_down();
      start();
      write_file(path_, image_);
      ctx = Ctx{path_};
      if (s.prepare) {
        s.prepare(ctx);
      } else {
        ctx.tree = cbopen_shared(path_.c_str(), nullptr, s.shared, 0);
        EXPECT_NE(ctx.tree, nullptr) << where;
      }
    };
    steps.op = [&] { return s.op(ctx); };
    steps.judge = [&](const FaultRun &run) {
      const std::string slot = run.slot ? run.slot : mode_name(mode);
      if (!run.fired) {
        EXPECT_EQ(run.result, 1)
            << run.where << ": no fault met, yet cberrcode " << cberrcode
            << " cbconcode " << cbconcode;
      } else if (run.result == 1) {
        ++tally.points, ++tally.absorbed;
        ++tally.codes["ok@" + slot];
      } else {
        ++tally.points, ++tally.failed;
        EXPECT_EQ(run.result, -1) << run.where;
        EXPECT_NE(cberrcode, 0) << run.where;
        EXPECT_NE(cbconcode, 0) << run.where;
        ++tally.codes[std::to_string(cberrcode) + "/" +
                      std::to_string(cbconcode) + "@" + slot];
      }
    };
    steps.shut_down = [] { shut_down(); };
    steps.after = [&](const FaultRun &run) {
      if (!run.fired) {  // the operation's full effect
        EXPECT_TRUE(verify(s, {states.back()}, run.where))
            << run.where << ": clean run left a damaged tree";
        cbt::TreeStats stats;
        if (s.depth_after >= 0 && file_exists(path_)) {
          EXPECT_EQ(cbt::check_tree_file(path_.c_str(), nullptr, &stats), "");
          EXPECT_EQ(stats.depth, s.depth_after) << run.where;
        }
        shut_down();
      } else if (verify(s, states, run.where)) {
        ++tally.sound;
      } else {
        ++tally.detected;
      }
    };
    run_fault_loop(s.name, mode, kMaxPoints, steps);
    return tally;
  }

  TempDir dir_;
  std::string path_;
  std::vector<uint8_t> image_;
};

// Insert, delete and modify are all or nothing in memory: a fault that makes
// one fail costs that call only, so once later calls work again (io-once)
// or after a failed allocation, no file may be left damaged.
bool is_change(const Scenario &s) {
  for (const char *prefix : {"cbinsert", "cbdelete", "cbmodify", "cblock(2)"}) {
    if (s.name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Runs every mode and prints one summary line per mode.
TEST_P(FaultLoop, EveryFaultPointFailsCleanlyOrLeavesAKnownState) {
  const Scenario &s = GetParam();
  ASSERT_NO_FATAL_FAILURE(make_image(s));
  for (FaultMode mode : kFaultModes) {
    const char *name = mode_name(mode);
    const Tally t = run(s, mode);
    std::ostringstream line;
    line << s.name << " " << name << ": " << t.points << " fault points, "
         << t.failed << " failed, " << t.absorbed
         << " absorbed; reopened sound " << t.sound << ", damaged "
         << t.detected << " (detected); codes";
    for (const auto &[code, count] : t.codes)
      line << " " << code << "x" << count;
    std::cout << "[fault] " << line.str() << "\n";
    RecordProperty(name, line.str());
    EXPECT_TRUE(mode == FaultMode::kAlloc || t.points > 0)
        << s.name << " " << name;
    if (mode == FaultMode::kAlloc && s.alloc_points >= 0) {
      EXPECT_EQ(t.points, s.alloc_points) << s.name;
    }
    if ((mode != FaultMode::kIoCrash && is_change(s)) ||
        mode == FaultMode::kIoCrashJournal) {
      EXPECT_EQ(t.detected, 0) << s.name << " " << name;
    }
    if (HasFailure()) return;
  }
}

std::vector<int> range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}
// 0, 7, 14, ... mod 60: a depth-3 tree of 92-byte blocks, filled out of
// order so that its leaves are not all split the same way.
std::vector<int> scattered60() {
  std::vector<int> v;
  for (int i = 0; i < 60; ++i) v.push_back(i * 7 % 60);
  return v;
}
std::pair<char, Pair> plus(const std::string &k, int32_t i) {
  return {'+', {k, i}};
}
std::pair<char, Pair> minus(const std::string &k, int32_t i) {
  return {'-', {k, i}};
}

Scenario base(std::string name, std::vector<int> inserts, int32_t shared = 0) {
  Scenario s;
  s.name = std::move(name);
  s.inserts = std::move(inserts);
  s.shared = shared;
  return s;
}
Scenario insert(std::string name, std::vector<int> image, std::string k,
                int32_t item, int32_t shared = 0) {
  Scenario s = base(std::move(name), std::move(image), shared);
  s.op = [k, item](Ctx &c) { return put(c.tree, k, item, 0); };
  s.steps = {plus(k, item)};
  return s;
}
// Two leaves {0} and {4 5 6} under a root: deleting 4 joins them and the
// root, left with one child, goes.
Scenario join(std::string name, int32_t shared) {
  Scenario s = base(std::move(name), range(0, 7), shared);
  s.deletes = {3, 2, 1};
  s.op = [](Ctx &c) { return del(c.tree, k4(4), 4); };
  s.steps = {minus(k4(4), 4)};
  s.depth_before = 2, s.depth_after = 1;
  return s;
}
// Not atomic: the old pair may be gone without the new one in place.
Scenario move(std::string name, int32_t shared) {
  Scenario s = base(std::move(name), range(0, 7), shared);
  s.op = [](Ctx &c) { return modify(c.tree, k4(0), 0, k4(9), 9, 0); };
  s.steps = {minus(k4(0), 0), plus(k4(9), 9)};
  return s;
}
// Work before the operation leaves changed blocks in the pool that only
// the operation writes.
Scenario write_back(std::string name, std::function<int32_t(Ctx &)> op) {
  Scenario s = base(std::move(name), range(0, 12));
  s.prepare = [](Ctx &c) {
    c.tree = cbopen(c.path.c_str(), nullptr);
    ASSERT_NE(c.tree, nullptr);
    for (int i = 20; i < 23; ++i) ASSERT_EQ(put(c.tree, k4(i), i, 0), 1);
  };
  s.op = std::move(op);
  s.steps = {plus(k4(20), 20), plus(k4(21), 21), plus(k4(22), 22)};
  return s;
}
// A change sealed before its first modification: the handle's finds bring
// the leaves of the pairs named into the pool beside the root, so that the
// change reads nothing but the leaf it changes: it cannot fail once it
// starts and takes no before-images, and with the work area of the copies
// never needed it allocates nothing.
Scenario held(Scenario s, std::vector<int> held) {
  s.prepare = [held](Ctx &c) {
    c.tree = cbopen(c.path.c_str(), nullptr);
    ASSERT_NE(c.tree, nullptr);
    int32_t found = 0;
    for (int i : held) ASSERT_EQ(cbfind(c.tree, k4(i).data(), 4, &found), 2);
  };
  s.depth_before = s.depth_after = 2;
  s.alloc_points = 0;
  return s;
}
// A leaf overflow into a neighbour under the same parent.
Scenario held_shift(std::string name, int image_end, std::vector<int> deletes,
                    std::vector<int> finds, std::string k, int32_t item) {
  Scenario s = insert(std::move(name), range(0, image_end), std::move(k), item);
  s.deletes = std::move(deletes);
  return held(std::move(s), std::move(finds));
}
Scenario opening(std::string name, int32_t shared) {
  Scenario s = base(std::move(name), range(0, 20), shared);
  s.prepare = [](Ctx &) {};
  s.op = [shared](Ctx &c) {
    c.tree = cbopen_shared(c.path.c_str(), nullptr, shared, 0);
    int32_t item = 0;
    return c.tree != nullptr && cbfind(c.tree, k4(10).data(), 4, &item) == 2
               ? 1
               : -1;
  };
  return s;
}

std::vector<Scenario> scenarios() {
  std::vector<Scenario> v;
  Scenario s = base("cbcreate", range(0, 3));
  s.prepare = [](Ctx &) {};
  s.op = [](Ctx &c) {
    c.tree = cbcreate(c.path.c_str(), nullptr, 92);
    return c.tree != nullptr ? 1 : -1;
  };
  s.empty_after = s.absent_ok = true;
  v.push_back(s);
  v.push_back(opening("cbopen_shared(excl)", 0));
  v.push_back(opening("cbopen_shared(shared)", 1));

  s = insert("cbinsert(plain)", range(0, 3), k4(10), 10);
  s.depth_before = s.depth_after = 1;
  v.push_back(s);
  s = insert("cbinsert(split+new root)", range(0, 6), k4(6), 6);
  s.depth_before = 1, s.depth_after = 2;  // a full root leaf at size 92
  v.push_back(s);
  s = insert("cbinsert(depth 3)", scattered60(), numbered_key(30, 5), 305);
  s.depth_before = s.depth_after = 3;
  v.push_back(s);
  // Changes spread over several leaves before the insert, so that its reads
  // push dirty buffers out of the six-buffer pool.
  s = insert("cbinsert(depth 3, dirty pool)", scattered60(),
             numbered_key(30, 5), 305);
  s.steps.clear();
  for (int i : {0, 25, 45, 55}) s.steps.push_back(plus(numbered_key(i, 5), i));
  s.steps.push_back(plus(numbered_key(30, 5), 305));
  s.prepare = [](Ctx &c) {
    c.tree = cbopen(c.path.c_str(), nullptr);
    ASSERT_NE(c.tree, nullptr);
    for (int i : {0, 25, 45, 55}) {
      ASSERT_EQ(put(c.tree, numbered_key(i, 5), i, 0), 1);
    }
  };
  s.depth_before = 3;
  v.push_back(s);

  // Leaves {0..5} {6..11} {12 13 14} {15..20}: {6..11} gives 11 to
  // {12 13 14} ({0..5} is held too, as the separator's rewrite looks at
  // it); the last leaf gives 15 to {12 13 14}. Leaves {0..5} {6 8 9 10 11}
  // {12..17} {18..23}: {12..17} gives 12 to the left, past a full right
  // neighbour.
  v.push_back(held_shift("cbinsert(held shift right)", 21, {}, {1, 13},
                         numbered_key(8, 5), 85));
  v.push_back(
      held_shift("cbinsert(held shift left)", 21, {}, {13}, k4(21), 21));
  v.push_back(held_shift("cbinsert(held shift left, right full)", 24, {7},
                         {8, 19}, numbered_key(14, 5), 145));

  v.push_back(join("cbdelete(join+root removal)", 0));
  // {12 13 14} falls below the underflow mark, too full still to join
  // {6..11} (held).
  s = held(base("cbdelete(held underflow)", range(0, 21)), {7});
  s.op = [](Ctx &c) { return del(c.tree, k4(13), 13); };
  s.steps = {minus(k4(13), 13)};
  v.push_back(s);
  s = base("cbdelete(depth 3)", scattered60());
  s.deletes = {20, 21, 22};
  s.op = [](Ctx &c) { return del(c.tree, k4(23), 23); };
  s.steps = {minus(k4(23), 23)};
  s.depth_before = 3;
  v.push_back(s);

  s = base("cbmodify(in place)", range(0, 7));
  s.op = [](Ctx &c) { return modify(c.tree, k4(5), 5, k4(5), 50, 0); };
  s.steps = {minus(k4(5), 5), plus(k4(5), 50)};
  v.push_back(s);
  v.push_back(move("cbmodify(delete+insert)", 0));

  v.push_back(write_back("cbflush", [](Ctx &c) { return cbflush(c.tree); }));
  v.push_back(write_back("cbclose", [](Ctx &c) { return cbclose(c.tree); }));
  v.push_back(write_back("cbexit", [](Ctx &) { return cbexit(); }));

  // Shared files: the implicit locks of a change, and explicit locks.
  v.push_back(insert("cbinsert(shared)", range(0, 6), k4(6), 6, 1));
  v.push_back(join("cbdelete(shared, join+root removal)", 1));
  v.push_back(move("cbmodify(shared, delete+insert)", 1));
  s = base("cblock(2)+cbinsert+cbunlock(2)", range(0, 6), 1);
  s.op = [](Ctx &c) {
    if (cblock(c.tree, 2) != 1 || put(c.tree, k4(6), 6, 0) != 1) return -1;
    return put(c.tree, k4(7), 7, 0) == 1 ? cbunlock(c.tree, 2) : -1;
  };
  s.steps = {plus(k4(6), 6), plus(k4(7), 7)};
  v.push_back(s);
  s = base("cblock(1)+cbfind+cbunlock(1)", range(0, 20), 1);
  s.op = [](Ctx &c) {
    int32_t item = 0;
    if (cblock(c.tree, 1) != 1) return -1;
    if (cbfind(c.tree, k4(15).data(), 4, &item) != 2 || item != 15) return -1;
    if (cbnext(c.tree, &item) != 1 || item != 16) return -1;
    return cbunlock(c.tree, 1);
  };
  v.push_back(s);
  return v;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultLoop, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                           std::string n;
                           for (char c : info.param.name) {
                             n += std::isalnum(static_cast<unsigned char>(c))
                                      ? c
                                      : '_';
                           }
                           return n;
                         });

}  // namespace
}  // namespace recbase::test
