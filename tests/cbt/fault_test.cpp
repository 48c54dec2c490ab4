// Fault loops over the B-tree layer's exported calls. For each operation and
// N = 1, 2, 3, ...: the same small tree file is laid down, the handles the
// operation needs are opened, platform call (or allocation) N is made to
// fail, and the operation runs. Then:
//  - a failure must be -1 (or NULL) with cberrcode and cbconcode set, and
//    leave no pool block pinned;
//  - the library is shut down (cbexit) and started again, and the file is
//    reopened, walked both ways and checked: either it is sound and holds
//    one of the contents the operation may leave (before or after it), or
//    the damage is reported by the open, a walk or the checker. A sound tree
//    with other contents (silent damage) fails the test.
// The loop ends at the first N that the operation does not reach; that run
// must succeed and leave the "after" contents.
//
// Three fault modes:
//  - io-once: call N of the platform slots fails, later calls work again;
//    the shutdown then writes back whatever the failed operation left in
//    the pool.
//  - io-crash: call N and every later call fail, through the shutdown too,
//    as if the machine stopped at call N: the file holds what reached it.
//  - alloc: allocation N fails.
// The sanitizer build adds the leak check over all of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bufpool/bufpool.h"
#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace recbase::test {
namespace {

using Pairs = std::set<std::pair<std::string, int32_t>>;

// A small pool, so that the operations replace buffers (and write dirty
// ones back) in the middle of their work.
constexpr int32_t kPoolBuffers = 6;
constexpr int32_t kPoolSize = 512;
// No operation here comes near this many fault points; reaching it means
// the loop does not converge.
constexpr int64_t kMaxPoints = 400;

std::string key(int i) {
  char text[8];
  std::snprintf(text, sizeof text, "k%03d", i);
  return text;
}

// The open handles of one run.
struct Ctx {
  std::string path;
  CbTree *tree = nullptr;
};

struct Scenario {
  std::string name;
  int32_t block_size = 92;
  int32_t shared = 0;
  // Built into the file image, in this order: inserts then deletes.
  std::vector<int> inserts;
  std::vector<int> deletes;
  // No file at all before the operation (else the image above).
  bool start_without_file = false;
  // Opens the handles the operation needs and does the work before it
  // (which must succeed); the default opens one handle.
  std::function<void(Ctx &)> prepare;
  // The operation under fault: 1 success, -1 failure (cblock's -4 counts as
  // a failure too).
  std::function<int32_t(Ctx &)> op;
  // Contents that a reopened sound file may hold; the last one is the
  // contents after a successful operation. Empty means: the image's
  // contents only.
  std::vector<Pairs> allowed;
  // The file may be missing afterwards (cbcreate after removing the old).
  bool absent_ok = false;
  // Depth of the tree before and after a successful operation (checks that
  // the scenario does what its name says); -1 not checked.
  int32_t depth_before = -1;
  int32_t depth_after = -1;
};

Pairs image_pairs(const Scenario &s) {
  Pairs p;
  for (int i : s.inserts) p.insert({key(i), i});
  for (int i : s.deletes) p.erase({key(i), i});
  return p;
}

Pairs with(Pairs p, const std::string &k, int32_t item) {
  p.insert({k, item});
  return p;
}
Pairs without(Pairs p, const std::string &k, int32_t item) {
  p.erase({k, item});
  return p;
}

// Walks the tree forward collecting pairs, then backward comparing; nullopt
// when a walk fails (with a code) or the two walks disagree.
std::optional<Pairs> read_pairs(CbTree *t) {
  std::vector<std::pair<std::string, int32_t>> forward;
  int32_t item = 0;
  int32_t r = cbhead(t, &item);
  for (int steps = 0; r == 1 && steps < 100000; ++steps) {
    char buf[600];
    int32_t len = 0;
    if (cbkeylen(t, &len) != 1 || len < 0 || len > 600) return std::nullopt;
    if (cbkey(t, buf, len) != 1) return std::nullopt;
    forward.emplace_back(std::string(buf, static_cast<size_t>(len)), item);
    r = cbnext(t, &item);
  }
  if (r != -3) {
    EXPECT_NE(cberrcode, 0) << "walk forward gave " << r;
    return std::nullopt;
  }
  size_t i = forward.size();
  r = cbtail(t, &item);
  for (; r == 1 && i > 0; --i) {
    if (item != forward[i - 1].second) return std::nullopt;
    r = cbprev(t, &item);
  }
  if (r == -1) {
    EXPECT_NE(cberrcode, 0) << "walk backward failed";
  }
  if (r != -2 || i != 0) return std::nullopt;
  return Pairs(forward.begin(), forward.end());
}

enum class Mode { kIoOnce, kIoCrash, kAlloc };

const char *mode_name(Mode m) {
  switch (m) {
    case Mode::kIoOnce:
      return "io-once";
    case Mode::kIoCrash:
      return "io-crash";
    case Mode::kAlloc:
      return "alloc";
  }
  return "?";
}

struct Tally {
  int points = 0;    // N at which a fault was met
  int failed = 0;    // ... and the operation reported failure
  int absorbed = 0;  // ... and the operation still succeeded
  int sound = 0;     // reopened sound with allowed contents (or absent)
  int detected = 0;  // damage reported by the open, a walk or the checker
  std::map<std::string, int> codes;  // "cberrcode/cbconcode@slot" of failures
  std::map<std::string, int> damaged_after;  // damaged files by failed slot
};

class FaultLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(cbinit(kPoolBuffers, kPoolSize), 1);
    // No fdatasync: the flush slot is still called (and counted), the
    // test just does not wait for the disk. A failed lock is retried
    // briefly.
    cb_set_flush(1, 1);
    cblock_timeout(3, 1, 20);
  }
  void TearDown() override {
    if (bufpool_current() != nullptr) cbexit();
    cb_set_flush(1, 0);
    cblock_timeout(25, 50, 10000);
  }

  // Lays down the scenario's file once; each run restores these bytes.
  void make_image(const Scenario &s) {
    shut_down();
    ASSERT_EQ(cbinit(kPoolBuffers, kPoolSize), 1);
    path_ = dir_.file("tree");
    std::remove(path_.c_str());
    image_.clear();
    if (s.start_without_file) return;
    CbTree *t = cbscreate(path_.c_str(), nullptr, s.block_size, s.shared);
    ASSERT_NE(t, nullptr);
    for (int i : s.inserts) ASSERT_EQ(cbinsert(t, key(i).data(), 4, i, 0), 1);
    for (int i : s.deletes) ASSERT_EQ(cbdelete(t, key(i).data(), 4, i), 1);
    if (s.depth_before >= 0) {
      EXPECT_EQ(cbdepth(t), s.depth_before) << s.name;
    }
    ASSERT_EQ(cbclose(t), 1);
    image_ = read_file(path_);
    ASSERT_FALSE(image_.empty());
  }

  void restore_image(const Scenario &s) {
    std::remove(path_.c_str());
    if (!s.start_without_file) write_file(path_, image_);
  }

  // Shuts the library down even when closes keep failing: every failed
  // cbclose inside cbexit still frees its handle, so this ends.
  static void shut_down() {
    for (int i = 0; i < 16 && bufpool_current() != nullptr; ++i) cbexit();
    ASSERT_EQ(bufpool_current(), nullptr);
  }

  // Reopens the file and classifies it; returns true when it is sound.
  // Adds a failure for silent damage.
  bool verify(const Scenario &s, const std::vector<Pairs> &allowed,
              const std::string &where) {
    EXPECT_EQ(cbinit(kPoolBuffers, kPoolSize), 1);
    cb_set_flush(1, 1);
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
    const std::string fault = cbt::check_tree(t);
    bool sound = false;
    if (fault.empty()) {
      const std::optional<Pairs> got = read_pairs(t);
      if (got) {
        bool known = false;
        for (const Pairs &p : allowed) known = known || p == *got;
        EXPECT_TRUE(known) << where << ": sound tree with " << got->size()
                           << " pairs, not a state the operation may leave";
        sound = known;
      }
    } else {
      // A damaged tree must still answer walks with results or codes.
      read_pairs(t);
    }
    EXPECT_EQ(bufpool_stats(bufpool_current()).pinned, 0) << where;
    cbclose(t);
    return sound;
  }

  Tally run(const Scenario &s, Mode mode) {
    Tally tally;
    make_image(s);
    std::vector<Pairs> allowed = s.allowed;
    if (allowed.empty()) allowed.push_back(image_pairs(s));
    for (int64_t n = 1; n <= kMaxPoints; ++n) {
      const std::string where =
          s.name + " " + mode_name(mode) + " N=" + std::to_string(n);
      shut_down();
      EXPECT_EQ(cbinit(kPoolBuffers, kPoolSize), 1);
      restore_image(s);
      Ctx ctx{path_};
      if (s.prepare) {
        s.prepare(ctx);
      } else {
        ctx.tree = cbopen_shared(path_.c_str(), nullptr, s.shared, 0);
        EXPECT_NE(ctx.tree, nullptr) << where;
      }
      if (::testing::Test::HasFailure()) return tally;

      bool fired = false;
      std::string fault_at = mode_name(mode);
      {
        FaultInjector faults;
        if (mode == Mode::kAlloc) {
          faults.fail_alloc_at(n);
        } else {
          faults.fail_io_at(n, EIO, mode == Mode::kIoCrash);
        }
        cbclear_error();
        const int32_t r = s.op(ctx);
        fired = faults.io_fired() || faults.alloc_fired();
        const std::string at =
            mode == Mode::kAlloc ? "" : fault_slot_name(faults.fired_slot());
        if (!at.empty()) fault_at = at;
        BufferPool *pool = bufpool_current();
        const int32_t pinned = pool != nullptr ? bufpool_stats(pool).pinned : 0;
        EXPECT_EQ(pinned, 0) << where;
        if (!fired) {
          EXPECT_EQ(r, 1) << where << ": no fault met, yet cberrcode "
                          << cberrcode << " cbconcode " << cbconcode;
        } else {
          ++tally.points;
          if (r == 1) {
            ++tally.absorbed;
            ++tally.codes["ok@" + at];
          } else {
            ++tally.failed;
            EXPECT_EQ(r, -1) << where;
            EXPECT_NE(cberrcode, 0) << where;
            EXPECT_NE(cbconcode, 0) << where;
            ++tally.codes[std::to_string(cberrcode) + "/" +
                          std::to_string(cbconcode) +
                          (at.empty() ? "" : "@" + at)];
          }
        }
        // After a fault the crash mode keeps failing through the shutdown,
        // so nothing more reaches the file; otherwise the shutdown writes
        // back what the operation left.
        if (mode != Mode::kIoCrash || !fired) faults.disarm();
        shut_down();
      }
      if (!fired) {
        // The run that met no fault: the operation's full effect.
        const bool sound = verify(s, {allowed.back()}, where);
        EXPECT_TRUE(sound) << where << ": clean run left a damaged tree";
        if (s.depth_after >= 0 && sound && file_exists(path_)) {
          EXPECT_EQ(cbt::check_tree_file(path_.c_str(), nullptr, &stats_), "");
          EXPECT_EQ(stats_.depth, s.depth_after) << where;
        }
        shut_down();
        return tally;
      }
      if (verify(s, allowed, where)) {
        ++tally.sound;
      } else {
        ++tally.detected;
        ++tally.damaged_after[fault_at];
      }
      if (::testing::Test::HasFailure()) return tally;
    }
    ADD_FAILURE() << s.name << " " << mode_name(mode) << ": more than "
                  << kMaxPoints << " fault points";
    return tally;
  }

  // Runs every mode and prints one summary line per mode.
  void run_all(const Scenario &s) {
    for (Mode mode : {Mode::kIoOnce, Mode::kIoCrash, Mode::kAlloc}) {
      const Tally t = run(s, mode);
      std::ostringstream line;
      line << s.name << " " << mode_name(mode) << ": " << t.points
           << " fault points, " << t.failed << " failed, " << t.absorbed
           << " absorbed; reopened sound " << t.sound << ", damaged "
           << t.detected << " (detected); codes";
      for (const auto &[code, count] : t.codes) {
        line << " " << code << "x" << count;
      }
      if (!t.damaged_after.empty()) line << "; damaged after a failed";
      for (const auto &[slot, count] : t.damaged_after) {
        line << " " << slot << "x" << count;
      }
      std::cout << "[fault] " << line.str() << "\n";
      RecordProperty(s.name + "_" + mode_name(mode), line.str());
      if (mode != Mode::kAlloc) {
        EXPECT_GT(t.points, 0)
            << s.name << " " << mode_name(mode) << " met no fault at all";
      }
      if (::testing::Test::HasFailure()) return;
    }
  }

  TempDir dir_;
  std::string path_;
  std::vector<uint8_t> image_;
  cbt::TreeStats stats_;
};

std::vector<int> range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}
// 0, 7, 14, ... mod 60: a depth-3 tree at block size 92, filled out of
// order so that its leaves are not all split the same way.
std::vector<int> scattered60() {
  std::vector<int> v;
  for (int i = 0; i < 60; ++i) v.push_back(i * 7 % 60);
  return v;
}

int32_t insert_key(Ctx &c, const std::string &k, int32_t item) {
  return cbinsert(c.tree, k.data(), static_cast<int32_t>(k.size()), item, 0);
}

// ---------------------------------------------------------------------------
// Creating and opening.

TEST_F(FaultLoop, CreateReplacingAFile) {
  Scenario s;
  s.name = "cbcreate";
  s.inserts = range(0, 3);
  s.prepare = [](Ctx &) {};
  s.op = [](Ctx &c) {
    c.tree = cbcreate(c.path.c_str(), nullptr, 92);
    return c.tree != nullptr ? 1 : -1;
  };
  s.allowed = {image_pairs(s), Pairs{}};
  s.absent_ok = true;
  run_all(s);
}

TEST_F(FaultLoop, OpenExclusive) {
  Scenario s;
  s.name = "cbopen_shared(excl)";
  s.inserts = range(0, 20);
  s.prepare = [](Ctx &) {};
  s.op = [](Ctx &c) {
    c.tree = cbopen_shared(c.path.c_str(), nullptr, 0, 0);
    if (c.tree == nullptr) return -1;
    int32_t item = 0;
    return cbfind(c.tree, "k010", 4, &item) == 2 ? 1 : -1;
  };
  run_all(s);
}

TEST_F(FaultLoop, OpenShared) {
  Scenario s;
  s.name = "cbopen_shared(shared)";
  s.shared = 1;
  s.inserts = range(0, 20);
  s.prepare = [](Ctx &) {};
  s.op = [](Ctx &c) {
    c.tree = cbopen_shared(c.path.c_str(), nullptr, 1, 0);
    if (c.tree == nullptr) return -1;
    int32_t item = 0;
    return cbfind(c.tree, "k010", 4, &item) == 2 ? 1 : -1;
  };
  run_all(s);
}

// ---------------------------------------------------------------------------
// Insertion.

TEST_F(FaultLoop, InsertIntoLeafRoot) {
  Scenario s;
  s.name = "cbinsert(plain)";
  s.inserts = range(0, 3);
  s.op = [](Ctx &c) { return insert_key(c, key(10), 10); };
  s.allowed = {image_pairs(s), with(image_pairs(s), key(10), 10)};
  s.depth_before = 1;
  s.depth_after = 1;
  run_all(s);
}

TEST_F(FaultLoop, InsertSplittingTheRoot) {
  Scenario s;
  s.name = "cbinsert(split+new root)";
  s.inserts = range(0, 6);  // a full root leaf at block size 92
  s.op = [](Ctx &c) { return insert_key(c, key(6), 6); };
  s.allowed = {image_pairs(s), with(image_pairs(s), key(6), 6)};
  s.depth_before = 1;
  s.depth_after = 2;
  run_all(s);
}

TEST_F(FaultLoop, InsertIntoDeepTree) {
  Scenario s;
  s.name = "cbinsert(depth 3)";
  s.inserts = scattered60();
  s.op = [](Ctx &c) { return insert_key(c, "k0305", 305); };
  s.allowed = {image_pairs(s), with(image_pairs(s), "k0305", 305)};
  s.depth_before = 3;
  s.depth_after = 3;
  run_all(s);
}

TEST_F(FaultLoop, InsertWithDirtyPool) {
  Scenario s;
  s.name = "cbinsert(depth 3, dirty pool)";
  s.inserts = scattered60();
  // Changes spread over several leaves before the insert, so that the
  // insert's reads push dirty buffers out of the six-buffer pool.
  static const char *const kEarlier[] = {"k0005", "k0255", "k0455", "k0555"};
  s.prepare = [](Ctx &c) {
    c.tree = cbopen(c.path.c_str(), nullptr);
    ASSERT_NE(c.tree, nullptr);
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(insert_key(c, kEarlier[i], 1000 + i), 1);
    }
  };
  s.op = [](Ctx &c) { return insert_key(c, "k0305", 305); };
  Pairs p = image_pairs(s);
  s.allowed = {p};
  for (int i = 0; i < 4; ++i) {
    p = with(p, kEarlier[i], 1000 + i);
    s.allowed.push_back(p);
  }
  s.allowed.push_back(with(p, "k0305", 305));
  s.depth_before = 3;
  run_all(s);
}

// ---------------------------------------------------------------------------
// Deletion.

TEST_F(FaultLoop, DeleteWithJoinAndRootRemoval) {
  Scenario s;
  s.name = "cbdelete(join+root removal)";
  // Two leaves {k000} and {k004 k005 k006}; deleting k004 lets them join
  // and leaves the root with one child, which is removed.
  s.inserts = range(0, 7);
  s.deletes = {3, 2, 1};
  s.op = [](Ctx &c) { return cbdelete(c.tree, key(4).data(), 4, 4); };
  s.allowed = {image_pairs(s), without(image_pairs(s), key(4), 4)};
  s.depth_before = 2;
  s.depth_after = 1;
  run_all(s);
}

TEST_F(FaultLoop, DeleteFromDeepTree) {
  Scenario s;
  s.name = "cbdelete(depth 3)";
  s.inserts = scattered60();
  s.deletes = {20, 21, 22};
  s.op = [](Ctx &c) { return cbdelete(c.tree, key(23).data(), 4, 23); };
  s.allowed = {image_pairs(s), without(image_pairs(s), key(23), 23)};
  s.depth_before = 3;
  run_all(s);
}

// ---------------------------------------------------------------------------
// Modify.

TEST_F(FaultLoop, ModifyInPlace) {
  Scenario s;
  s.name = "cbmodify(in place)";
  s.inserts = range(0, 7);
  s.op = [](Ctx &c) {
    return cbmodify(c.tree, key(5).data(), 4, 5, key(5).data(), 4, 50, 0);
  };
  s.allowed = {image_pairs(s),
               with(without(image_pairs(s), key(5), 5), key(5), 50)};
  run_all(s);
}

TEST_F(FaultLoop, ModifyByDeleteAndInsert) {
  Scenario s;
  s.name = "cbmodify(delete+insert)";
  s.inserts = range(0, 7);
  s.op = [](Ctx &c) {
    return cbmodify(c.tree, key(0).data(), 4, 0, key(9).data(), 4, 9, 0);
  };
  const Pairs before = image_pairs(s);
  // Not atomic: the old pair may be gone without the new one in place.
  s.allowed = {before, without(before, key(0), 0),
               with(without(before, key(0), 0), key(9), 9)};
  run_all(s);
}

// ---------------------------------------------------------------------------
// Writing back and shutting down. The work before the operation leaves
// changed blocks in the pool that only the operation writes.

void insert_three(Ctx &c) {
  c.tree = cbopen(c.path.c_str(), nullptr);
  ASSERT_NE(c.tree, nullptr);
  for (int i = 20; i < 23; ++i) ASSERT_EQ(insert_key(c, key(i), i), 1);
}

Scenario write_back(const std::string &name) {
  Scenario s;
  s.name = name;
  s.inserts = range(0, 12);
  s.prepare = insert_three;
  const Pairs before = image_pairs(s);
  s.allowed = {before, with(before, key(20), 20),
               with(with(before, key(20), 20), key(21), 21),
               with(with(with(before, key(20), 20), key(21), 21), key(22), 22)};
  return s;
}

TEST_F(FaultLoop, Flush) {
  Scenario s = write_back("cbflush");
  s.op = [](Ctx &c) { return cbflush(c.tree); };
  run_all(s);
}

TEST_F(FaultLoop, Close) {
  Scenario s = write_back("cbclose");
  s.op = [](Ctx &c) { return cbclose(c.tree); };
  run_all(s);
}

TEST_F(FaultLoop, Exit) {
  Scenario s = write_back("cbexit");
  s.op = [](Ctx &) { return cbexit(); };
  run_all(s);
}

// ---------------------------------------------------------------------------
// Shared files: the implicit locks of a change, and explicit locks.

TEST_F(FaultLoop, SharedInsert) {
  Scenario s;
  s.name = "cbinsert(shared)";
  s.shared = 1;
  s.inserts = range(0, 6);
  s.op = [](Ctx &c) { return insert_key(c, key(6), 6); };
  s.allowed = {image_pairs(s), with(image_pairs(s), key(6), 6)};
  run_all(s);
}

TEST_F(FaultLoop, SharedDeleteWithJoin) {
  Scenario s;
  s.name = "cbdelete(shared, join+root removal)";
  s.shared = 1;
  s.inserts = range(0, 7);
  s.deletes = {3, 2, 1};
  s.op = [](Ctx &c) { return cbdelete(c.tree, key(4).data(), 4, 4); };
  s.allowed = {image_pairs(s), without(image_pairs(s), key(4), 4)};
  s.depth_before = 2;
  s.depth_after = 1;
  run_all(s);
}

TEST_F(FaultLoop, SharedModifyByDeleteAndInsert) {
  Scenario s;
  s.name = "cbmodify(shared, delete+insert)";
  s.shared = 1;
  s.inserts = range(0, 7);
  s.op = [](Ctx &c) {
    return cbmodify(c.tree, key(0).data(), 4, 0, key(9).data(), 4, 9, 0);
  };
  const Pairs before = image_pairs(s);
  s.allowed = {before, without(before, key(0), 0),
               with(without(before, key(0), 0), key(9), 9)};
  run_all(s);
}

TEST_F(FaultLoop, SharedInsertUnderWriterLock) {
  Scenario s;
  s.name = "cblock(2)+cbinsert+cbunlock(2)";
  s.shared = 1;
  s.inserts = range(0, 6);
  s.op = [](Ctx &c) {
    if (cblock(c.tree, 2) != 1) return -1;
    if (insert_key(c, key(6), 6) != 1) return -1;
    if (insert_key(c, key(7), 7) != 1) return -1;
    return cbunlock(c.tree, 2);
  };
  const Pairs before = image_pairs(s);
  s.allowed = {before, with(before, key(6), 6),
               with(with(before, key(6), 6), key(7), 7)};
  run_all(s);
}

TEST_F(FaultLoop, SharedReadUnderReaderLock) {
  Scenario s;
  s.name = "cblock(1)+cbfind+cbunlock(1)";
  s.shared = 1;
  s.inserts = range(0, 20);
  s.op = [](Ctx &c) {
    if (cblock(c.tree, 1) != 1) return -1;
    int32_t item = 0;
    if (cbfind(c.tree, "k015", 4, &item) != 2 || item != 15) return -1;
    if (cbnext(c.tree, &item) != 1 || item != 16) return -1;
    return cbunlock(c.tree, 1);
  };
  run_all(s);
}

}  // namespace
}  // namespace recbase::test
