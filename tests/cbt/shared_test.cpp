// Shared access between processes: reader and writer locks in block 0's
// lock region as the OS sees them, waiting and giving up, changes of one
// process seen at the next call of another, deferred and written-through
// flushing as it shows on disk, processes killed holding locks, a failing
// unlock, and four processes changing one file at once under a walker.
// Processes are Workers driven step by step (or forked stress processes);
// the test process inspects the file directly: raw bytes, the OS's view of
// the byte-range locks, and the checker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cbt/node_format.h"
#include "cbt/tree.h"
#include "frame/platform.h"
#include "tests/cbt/worker.h"
#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

std::string k4(int i) { return numbered_key(i, 4); }

class SharedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_fill();  // the checker reads through the platform table
    path_ = dir_.file("shared.cbt");
  }
  void TearDown() override {
    if (bufpool_current() != nullptr) cbexit();
    platform_fill();
    g_lock_settings = LockSettings{};
    g_flush_settings = FlushSettings{};
  }
  DiskControl disk_control() const { return DiskControl(read_file(path_)); }
  // The lock another open file description would meet on [offset, offset +
  // length): l_type F_UNLCK when there is none.
  struct flock lock_on(int32_t offset, int32_t length) const {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    const int fd = open(path_.c_str(), O_RDWR);
    if (fd < 0 || fcntl(fd, F_OFD_GETLK, &fl) != 0) ADD_FAILURE() << "GETLK";
    if (fd >= 0) close(fd);
    return fl;
  }
  // Exactly the byte at offset is locked, as a lock of its own (a reader's
  // byte rather than part of a writer's range).
  bool reader_byte_held(int32_t offset) const {
    const struct flock fl = lock_on(offset, 1);
    return fl.l_type != F_UNLCK && fl.l_start == offset && fl.l_len == 1;
  }
  bool region_free(int32_t bs = 512) const {
    return lock_on(cbt::kLockRegionStart, bs - cbt::kLockRegionStart).l_type ==
           F_UNLCK;
  }
  std::string check_file(cbt::TreeStats *stats = nullptr) const {
    return cbt::check_tree_file(path_.c_str(), nullptr, stats);
  }
  // Makes the shared file through w (which keeps it open) with count pairs.
  static void make_tree(Worker &w, int count, int32_t bs = 512) {
    ASSERT_EQ(w.create(bs).result, 1);
    for (int i = 0; i < count; ++i) ASSERT_EQ(w.insert(k4(i), i).result, 1);
  }
  static void expect_lock_refused(const Reply &r, int32_t result) {
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(r.err, CBERR_LOCK);
    EXPECT_EQ(r.con, CBCTX_LOCK);
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(SharedTest, ReadersHoldDistinctBytesAndAWriterWaitsForTheLast) {
  Worker a(path_), b(path_), c(path_);
  make_tree(a, 10);
  ASSERT_EQ(b.open(1, 1).result, 1);  // read-only
  ASSERT_EQ(c.open().result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(b.insert("x", 1).err, CBERR_READ_ONLY);  // before any lock
  EXPECT_EQ(a.lock(1).result, 1);
  EXPECT_EQ(b.lock(1).result, 1);
  EXPECT_TRUE(reader_byte_held(36));
  EXPECT_TRUE(reader_byte_held(37));
  EXPECT_EQ(lock_on(38, 512 - 38).l_type, F_UNLCK);
  EXPECT_EQ(c.find(k4(5)).item, 5);  // readers do not exclude readers
  // With one try a writer gives up at once; one reader gone is not enough.
  ASSERT_EQ(c.send(Worker::kLockTimeout, 1, 10, 10).result, 1);
  expect_lock_refused(c.insert("new", 99), -1);
  expect_lock_refused(c.lock(2), -4);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_FALSE(reader_byte_held(36));
  EXPECT_EQ(c.insert("new", 99).result, -1);
  // With retries the insert waits for the last reader, then proceeds.
  ASSERT_EQ(c.send(Worker::kLockTimeout, 1000, 5, 10000).result, 1);
  c.post(Worker::kInsert, 99, 0, 0, "new");
  EXPECT_FALSE(c.answered_within(150));
  EXPECT_EQ(b.unlock(1).result, 1);
  EXPECT_EQ(c.finish().result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(a.find("new").item, 99);
  EXPECT_EQ(b.count().result, 11);
}

// 56 readers fill the region of a 92-byte block; a 57th finds no byte. A
// writer must be kept out by a reader on the region's last byte alone.
TEST_F(SharedTest, ReadersFillTheRegionAndTheWriterRangeCoversItAll) {
  constexpr int kReaders = 92 - 36;
  std::vector<std::unique_ptr<Worker>> w;
  for (int i = 0; i <= kReaders; ++i)
    w.push_back(std::make_unique<Worker>(path_));
  make_tree(*w[0], 5, 92);
  // Everyone opens first: opening reads the control record under a reader
  // lock, which the 57th could not get later.
  for (int i = 1; i <= kReaders; ++i) ASSERT_EQ(w[i]->open().result, 1) << i;
  for (int i = 0; i < kReaders; ++i) ASSERT_EQ(w[i]->lock(1).result, 1) << i;
  for (int b = 36; b < 92; ++b) EXPECT_TRUE(reader_byte_held(b)) << b;
  Worker &last = *w[kReaders];
  ASSERT_EQ(last.send(Worker::kLockTimeout, 2, 5, 20).result, 1);
  expect_lock_refused(last.lock(1), -4);
  const Reply r = last.find(k4(1));  // a reading call needs a byte too
  EXPECT_EQ(r.err, CBERR_LOCK);
  EXPECT_EQ(r.con, CBCTX_SYNC);
  for (int i = 0; i < kReaders - 1; ++i) ASSERT_EQ(w[i]->unlock(1).result, 1);
  EXPECT_TRUE(reader_byte_held(91));
  expect_lock_refused(last.lock(2), -4);
  expect_lock_refused(last.insert("x", 1), -1);
  ASSERT_EQ(w[kReaders - 1]->unlock(1).result, 1);
  EXPECT_EQ(last.insert("x", 1).result, 1);
  EXPECT_TRUE(region_free(92));
}

// Small blocks: a few pairs per leaf, many leaves.
TEST_F(SharedTest, ChangesOfOneProcessAreSeenAtTheNextCallOfAnother) {
  Worker a(path_), b(path_);
  make_tree(a, 20, 92);
  ASSERT_EQ(b.open().result, 1);
  // b has the leaf in its pool when a changes it: the copy is not used.
  ASSERT_EQ(b.find(k4(5)).result, 2);
  ASSERT_EQ(a.insert("0005a", 500).result, 1);
  EXPECT_EQ(b.find("0005a").item, 500);
  ASSERT_EQ(a.del(k4(7), 7).result, 1);
  Reply r = b.find(k4(7));
  EXPECT_EQ(r.result, 3);
  EXPECT_STREQ(r.text, "0008");
  // A position or mark on a pair another process deletes moves on to the
  // pair that now follows it, and says so.
  ASSERT_EQ(b.find(k4(10)).result, 2);
  ASSERT_EQ(a.del(k4(10), 10).result, 1);
  r = b.send(Worker::kNext);
  EXPECT_EQ(r.item, 11);
  EXPECT_EQ(r.err, CBERR_DELETED);
  EXPECT_EQ(b.send(Worker::kNext).err, 0);
  ASSERT_EQ(b.send(Worker::kMark).result, 1);  // on 12
  ASSERT_EQ(a.del(k4(12), 12).result, 1);
  r = b.send(Worker::kFindMark);
  EXPECT_EQ(r.result, 3);
  EXPECT_STREQ(r.text, "0013");
  // Many changes at once (splits, a deeper tree) reach b whole.
  ASSERT_EQ(a.send(Worker::kSetFlush, 1, 1).result, 1);
  for (int i = 100; i < 400; ++i) ASSERT_EQ(a.insert(k4(i), i).result, 1);
  EXPECT_EQ(b.count().result, 20 + 1 - 3 + 300);
  EXPECT_EQ(b.send(Worker::kCheck).result, 1);
  for (int i = 100; i < 400; i += 2) ASSERT_EQ(b.del(k4(i), i).result, 1);
  EXPECT_EQ(a.count().result, 18 + 150);
  EXPECT_EQ(a.send(Worker::kCheck).result, 1);
  EXPECT_EQ(check_file(), "");
}

// Deferred, changes under a writer lock reach the disk at unlock, cbflush
// or close; written through, each change is on disk at once.
TEST_F(SharedTest, ChangesUnderAWriterLockReachTheDiskAsTheFlushSettingSays) {
  Worker w(path_), r(path_);
  make_tree(w, 0);
  ASSERT_EQ(r.open().result, 1);
  ASSERT_EQ(r.send(Worker::kLockTimeout, 1, 5, 5).result, 1);
  const uint32_t cc0 = disk_control().change_counter;
  ASSERT_EQ(w.send(Worker::kSetFlush, 1, 0).result, 1);
  ASSERT_EQ(w.lock(2).result, 1);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(w.insert(k4(i), i).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0);
  EXPECT_EQ(r.find(k4(1)).err, CBERR_LOCK);
  EXPECT_EQ(w.count().result, 30);  // the holder sees its own changes
  ASSERT_EQ(w.unlock(2).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 30);
  EXPECT_EQ(disk_control().key_count, 30u);
  EXPECT_EQ(check_file(), "");
  EXPECT_EQ(r.find(k4(29)).item, 29);
  ASSERT_EQ(w.lock(2).result, 1);  // cbflush writes back, the lock stays
  ASSERT_EQ(w.insert(k4(30), 30).result, 1);
  ASSERT_EQ(w.send(Worker::kFlush).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 31);
  EXPECT_EQ(r.find(k4(1)).err, CBERR_LOCK);
  ASSERT_EQ(w.del(k4(0), 0).result, 1);  // close writes back and unlocks
  ASSERT_EQ(w.send(Worker::kClose).result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(disk_control().change_counter, cc0 + 32);
  EXPECT_EQ(r.count().result, 30);
  // Written through: the whole tree on disk is complete under the lock.
  ASSERT_EQ(w.open().result, 1);
  ASSERT_EQ(w.send(Worker::kSetFlush, 0, 0).result, 1);
  ASSERT_EQ(w.lock(2).result, 1);
  for (int i = 1; i <= 40; ++i) {
    ASSERT_EQ(w.insert(k4(100 + i), i).result, 1);
    ASSERT_EQ(disk_control().change_counter, cc0 + 32 + i) << i;
  }
  cbt::TreeStats stats;
  EXPECT_EQ(check_file(&stats), "");
  EXPECT_EQ(stats.entries, 70u);
  EXPECT_EQ(w.unlock(2).result, 1);
}

// Reader and writer locks of one process nest and go in either order; a
// reader byte inside the region splits the writer ranges around it.
TEST_F(SharedTest, ExplicitLocksNestAndReleaseInEitherOrder) {
  Worker a(path_), b(path_), c(path_);
  make_tree(a, 5);
  EXPECT_EQ(a.lock(3).result, -1);
  EXPECT_EQ(a.unlock(2).result, 1);  // not held: harmless
  ASSERT_EQ(b.open().result, 1);
  ASSERT_EQ(b.send(Worker::kLockTimeout, 1, 5, 5).result, 1);
  ASSERT_EQ(c.send(Worker::kLockTimeout, 1, 5, 5).result, 1);
  ASSERT_EQ(a.lock(1).result, 1);
  ASSERT_EQ(a.lock(2).result, 1);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_EQ(b.find(k4(1)).err, CBERR_LOCK);  // the writer still holds all
  const Reply r = c.open();  // opening gives up reading the control record
  EXPECT_EQ(r.err, CBERR_LOCK);
  EXPECT_EQ(r.con, CBCTX_READ_CONTROL);
  EXPECT_EQ(a.unlock(2).result, 1);
  EXPECT_TRUE(region_free());
  ASSERT_EQ(c.open().result, 1);
  ASSERT_EQ(b.lock(1).result, 1);  // bytes 36 and 37
  ASSERT_EQ(c.lock(1).result, 1);
  ASSERT_EQ(a.lock(1).result, 1);  // byte 38
  ASSERT_EQ(b.unlock(1).result, 1);
  ASSERT_EQ(c.unlock(1).result, 1);
  ASSERT_EQ(a.lock(2).result, 1);
  EXPECT_NE(lock_on(36, 2).l_type, F_UNLCK);
  EXPECT_NE(lock_on(39, 512 - 39).l_type, F_UNLCK);
  EXPECT_EQ(a.insert(k4(53), 53).result, 1);
  EXPECT_EQ(a.unlock(2).result, 1);  // the writer goes first: the byte stays
  EXPECT_TRUE(reader_byte_held(38));
  EXPECT_EQ(lock_on(36, 2).l_type, F_UNLCK);
  EXPECT_EQ(lock_on(39, 512 - 39).l_type, F_UNLCK);
  EXPECT_EQ(b.find(k4(53)).item, 53);
  EXPECT_EQ(b.insert(k4(54), 54).err, CBERR_LOCK);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(b.insert(k4(54), 54).result, 1);
}

// Without sharing no OS lock is taken and nobody else opens the file; a
// process killed holding locks leaves them to the OS, and what a writer
// wrote through is all there.
TEST_F(SharedTest, ExclusiveFilesAndProcessesKilledHoldingLocks) {
  {
    Worker w(path_), x(path_);
    ASSERT_EQ(w.create(512, 0).result, 1);
    EXPECT_EQ(w.lock(2).result, 1);
    EXPECT_TRUE(region_free());
    EXPECT_EQ(w.insert(k4(1), 1).result, 1);
    EXPECT_EQ(w.unlock(2).result, 1);
    EXPECT_EQ(x.open(1).err, CBERR_OPEN);
    EXPECT_EQ(x.open(0).err, CBERR_OPEN);
  }
  ASSERT_EQ(std::remove(path_.c_str()), 0);
  Worker a(path_), reader(path_), writer(path_);
  make_tree(a, 10);
  ASSERT_EQ(a.send(Worker::kLockTimeout, 1, 5, 5).result, 1);
  ASSERT_EQ(reader.open().result, 1);
  ASSERT_EQ(reader.lock(1).result, 1);
  ASSERT_EQ(a.insert(k4(20), 20).err, CBERR_LOCK);
  reader.kill9();
  EXPECT_EQ(a.insert(k4(20), 20).result, 1);
  ASSERT_EQ(writer.open().result, 1);
  ASSERT_EQ(writer.send(Worker::kSetFlush, 0, 0).result, 1);
  ASSERT_EQ(writer.lock(2).result, 1);
  for (int i = 100; i < 160; ++i) ASSERT_EQ(writer.insert(k4(i), i).result, 1);
  ASSERT_EQ(writer.del(k4(4), 4).result, 1);
  writer.kill9();
  EXPECT_EQ(a.count().result, 11 + 60 - 1);
  EXPECT_EQ(a.send(Worker::kCheck).result, 1);
  EXPECT_EQ(check_file(), "");
}

int32_t failing_unlock(int32_t, int32_t, int32_t) { return -1; }

// A failing unlock reports CBERR_UNLOCK and keeps the lock, recorded as
// held; the end of the next call that locks releases it.
TEST_F(SharedTest, FailedUnlockReportsAndKeepsTheLock) {
  Worker other(path_);  // forked before this process makes its pool
  make_tree(other, 5);
  ASSERT_EQ(other.send(Worker::kLockTimeout, 1, 5, 5).result, 1);
  ASSERT_EQ(cbinit(16, 512), 1);
  CbTree *t = cbopen_shared(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(t, nullptr);
  int32_t item = 0;
  for (int32_t mode : {1, 2}) {
    ASSERT_EQ(cblock(t, mode), 1);
    g_platform.sys_unlock = failing_unlock;
    EXPECT_EQ(cbunlock(t, mode), -1);
    platform_fill();
    EXPECT_EQ(cberrcode, CBERR_UNLOCK);
    EXPECT_EQ(cbconcode, CBCTX_RESYNC_DISK);
    EXPECT_EQ(
        t->file->lock_flags,
        static_cast<uint32_t>(mode == 1 ? cbt::kReaderHeld : cbt::kWriterHeld));
    EXPECT_EQ(other.insert(k4(40 + mode), 40).err, CBERR_LOCK);
    EXPECT_EQ(cbfind(t, k4(1).data(), 4, &item), 2);
    EXPECT_EQ(t->file->lock_flags, 0u);
    EXPECT_TRUE(region_free());
  }
  EXPECT_EQ(cbexit(), 1);
  EXPECT_EQ(other.insert(k4(40), 40).result, 1);
}

// ---------------------------------------------------------------------------
// Four processes change one shared tree at once, each on keys of its own,
// checking every result against its own map and reporting the pairs it
// left; refused calls (a pair present, a pair absent) must give their locks
// back too. A fifth, read-only, walks the tree end to end meanwhile: every
// walk ascends and meets each pair of a fixed set nobody deletes. The file
// must end with exactly the union, in order, and sound.

constexpr int kProcesses = 4, kFixed = 50, kOps = 2000;

int stress_process(const std::string &path, int p, bool batches,
                   const std::string &report) {
  if (cbinit(64, 512) != 1) return 2;
  cblock_timeout(1000000, 1, 60000);
  cb_set_flush(1, 1);
  CbTree *t = cbopen_shared(path.c_str(), nullptr, 1, 0);
  if (t == nullptr) return 3;
  std::mt19937 rng(1000u + static_cast<unsigned>(p));
  std::map<std::string, int32_t> live;
  for (int op = 0; op < kOps; ++op) {
    if (batches && op % 50 == 0 && cblock(t, 2) != 1) return 4;
    const uint32_t n = rng() % (kOps / 4);
    const std::string k = "p" + std::to_string(p) + "-" + std::to_string(n) +
                          std::string(n % 11, 'x');
    auto it = live.find(k);
    if (it == live.end()) {
      const auto item = static_cast<int32_t>(rng());
      if (put(t, k, item, 0) != 1) return 5;
      live.emplace(k, item);
      if (op % 13 == 0 &&
          (del(t, k, item ^ 1) != -1 || cberrcode != CBERR_NOT_FOUND)) {
        return 6;
      }
    } else {
      if (op % 7 == 0 &&
          (put(t, k, it->second) != -1 || cberrcode != CBERR_DUP_PAIR)) {
        return 7;
      }
      if (del(t, k, it->second) != 1) return 8;
      live.erase(it);
    }
    if (batches && op % 50 == 49 && cbunlock(t, 2) != 1) return 9;
  }
  if (batches && cbunlock(t, 2) != 1) return 9;
  std::ofstream out(report);
  for (const auto &[k, item] : live) out << k << ' ' << item << '\n';
  out.close();
  return !out || cbclose(t) != 1 || cbexit() != 1 ? 10 : 0;
}

// Walks until a walk that began after the writers ended (the done pipe
// reads end of file once their copies of its write end are closed).
int walk_process(const std::string &path, int done_fd) {
  if (cbinit(64, 512) != 1) return 2;
  cblock_timeout(1000000, 1, 60000);
  CbTree *t = cbopen_shared(path.c_str(), nullptr, 1, 1);
  if (t == nullptr) return 3;
  for (bool last = false; !last;) {
    pollfd p{done_fd, POLLIN, 0};
    last = poll(&p, 1, 0) == 1;
    const PairList pairs = walk_forward(t);
    // Pairs, not keys, ascend: a key may come back with another item.
    if (::testing::Test::HasFailure() ||
        std::adjacent_find(pairs.begin(), pairs.end(),
                           std::greater_equal<>()) != pairs.end()) {
      return 4;
    }
    if (std::count_if(pairs.begin(), pairs.end(), [](const Pair &q) {
          return q.first.find("-s") != std::string::npos;
        }) != kProcesses * kFixed) {
      return 5;
    }
  }
  return cbclose(t) != 1 || cbexit() != 1 ? 6 : 0;
}

class StressTest
    : public SharedTest,
      public ::testing::WithParamInterface<std::pair<int32_t, bool>> {};

TEST_P(StressTest, FourProcessesKeepTheirOwnPairs) {
  const auto [block_size, batches] = GetParam();
  std::map<std::string, int32_t> expected;
  ASSERT_EQ(cbinit(16, 512), 1);  // the file is made before any fork
  CbTree *made = cbscreate(path_.c_str(), nullptr, block_size, 1);
  ASSERT_NE(made, nullptr);
  for (int p = 0; p < kProcesses; ++p) {
    for (int n = 0; n < kFixed; ++n) {
      const std::string k = "p" + std::to_string(p) + "-s" + std::to_string(n);
      ASSERT_EQ(put(made, k, n, 0), 1);
      expected.emplace(k, n);
    }
  }
  ASSERT_EQ(cbexit(), 1);
  // All start together, at the end of file of the gate pipe.
  int gate[2], done[2];
  ASSERT_EQ(pipe(gate), 0);
  ASSERT_EQ(pipe(done), 0);
  const auto after_gate = [&gate](auto body) {
    return spawn([&gate, body] {
      close(gate[1]);
      char c;
      return read(gate[0], &c, 1) == 0 ? body() : 99;
    });
  };
  const std::string path = path_;
  const pid_t walker = after_gate([&] {
    close(done[1]);
    return walk_process(path, done[0]);
  });
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string report = dir_.file("left" + std::to_string(p));
    pids.push_back(
        after_gate([=] { return stress_process(path, p, batches, report); }));
  }
  close(gate[1]);
  close(gate[0]);
  close(done[0]);
  for (pid_t pid : pids) EXPECT_EQ(wait_child(pid, 300000), 0);
  close(done[1]);
  EXPECT_EQ(wait_child(walker, 300000), 0) << "walking process";
  if (HasFailure()) return;
  for (int p = 0; p < kProcesses; ++p) {
    std::ifstream in(dir_.file("left" + std::to_string(p)));
    std::string k;
    int32_t item = 0;
    while (in >> k >> item) expected.emplace(k, item);
  }
  ASSERT_EQ(cbinit(16, 512), 1);
  CbTree *t = cbopen_shared(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(walk_forward(t) == PairList(expected.begin(), expected.end()))
      << "the file does not hold the survivors";
  EXPECT_EQ(cbt::check_tree(t), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, StressTest,
                         ::testing::Values(std::make_pair(512, false),
                                           std::make_pair(128, true)),
                         [](const auto &info) {
                           return "Block" + std::to_string(info.param.first) +
                                  (info.param.second ? "Batches" : "Single");
                         });

}  // namespace
}  // namespace recbase::test
