// Shared access between processes: reader and writer locks in block 0's
// lock region as the OS sees them, waiting and giving up, changes of one
// process seen at the next call of another, deferred and written-through
// flushing as it shows on disk, and processes killed holding locks.
// Processes are Workers driven step by step; the test process inspects the
// file directly: raw bytes, the byte-range locks another handle meets, and
// the checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bufpool/bufpool.h"
#include "cbt/node_format.h"
#include "frame/platform.h"
#include "tests/support/fixture.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

// Worker: a child process that runs B-tree calls on command, one at a
// time, and answers each with the result and the error variables, so that a
// test spells out an interleaving between processes in its own order.
struct Reply {
  int32_t result = -999;               // -999: no answer in time
  int32_t item = 0, err = 0, con = 0;  // codes after the call (cleared before)
  char key[64] = {};                   // the key at the position
};

class Worker {
 public:
  // create/open: a, b = block size or shared, shared or read-only; result
  // 1 when a handle came. Keyed calls: a = item. kCount: pairs walked.
  enum Call : int32_t {
    kCreate,
    kOpen,
    kClose,
    kInsert,
    kDelete,
    kFind,
    kNext,
    kCount,
    kLock,
    kUnlock,
    kSetFlush,
    kTimeout,
    kQuit
  };

  explicit Worker(const std::string &path) : child_("worker", {path}) {}
  ~Worker() {
    if (alive_) send(kQuit);
  }
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  Reply send(Call call, int32_t a = 0, int32_t b = 0, int32_t c = 0,
             const std::string &key = "") {
    post(call, a, b, c, key);
    return finish();
  }
  Reply insert(const std::string &k, int32_t item) {
    return send(kInsert, item, 0, 0, k);
  }
  Reply del(const std::string &k, int32_t item) {
    return send(kDelete, item, 0, 0, k);
  }
  Reply find(const std::string &k) { return send(kFind, 0, 0, 0, k); }
  Reply lock(int32_t mode) { return send(kLock, mode); }
  Reply unlock(int32_t mode) { return send(kUnlock, mode); }

  // Starts a call without waiting; finish() collects the answer.
  void post(Call call, int32_t a = 0, int32_t b = 0, int32_t c = 0,
            const std::string &key = "") {
    Request q{call, a, b, c,
              static_cast<int32_t>(std::min<size_t>(key.size(), 64))};
    std::memcpy(q.key, key.data(), static_cast<size_t>(q.key_len));
    alive_ = alive_ && child_.send(&q, sizeof q);
  }
  bool answered_within(int ms) { return child_.readable_within(ms); }
  // No answer within 20 s kills the worker.
  Reply finish() {
    Reply r;
    if (alive_ &&
        (!answered_within(20000) || !child_.receive(&r, sizeof r))) {
      kill9();
      r = Reply();
    }
    return r;
  }
  void kill9() {
    child_.kill();
    alive_ = false;
  }

  // The child's side: args[0] is the tree file's path.
  static int serve(const std::vector<std::string> &args) {
    if (cbinit(32, 512) != 1) return 90;
    cb_set_flush(1, 1);  // durability is not under test
    CbTree *tree = nullptr;
    for (Request q; parent_receive(&q, sizeof q);) {
      Reply r;
      cbclear_error();
      r.result = run(tree, args[0].c_str(), q, r);
      r.err = cberrcode, r.con = cbconcode;
      if (!parent_send(&r, sizeof r) || q.call == kQuit) break;
    }
    return 0;
  }

 private:
  struct Request {
    Call call = kQuit;
    int32_t a = 0, b = 0, c = 0, key_len = 0;
    char key[64] = {};
  };
  static int32_t with_key(CbTree *t, int32_t result, Reply &r) {
    int32_t len = 0;
    if (cbkeylen(t, &len) == 1 && len >= 0 && len < 64) cbkey(t, r.key, len);
    return result;
  }
  static int32_t run(CbTree *&t, const char *path, const Request &q, Reply &r) {
    switch (q.call) {
      case kCreate:
        return (t = cbscreate(path, nullptr, q.a, q.b)) != nullptr;
      case kOpen:
        return (t = cbopen_shared(path, nullptr, q.a, q.b)) != nullptr;
      case kClose:
        return cbclose(std::exchange(t, nullptr));
      case kInsert:
        return cbinsert(t, q.key, q.key_len, q.a, 0);
      case kDelete:
        return cbdelete(t, q.key, q.key_len, q.a);
      case kFind:
        return with_key(t, cbfind(t, q.key, q.key_len, &r.item), r);
      case kNext:
        return with_key(t, cbnext(t, &r.item), r);
      case kCount: {
        int32_t n = 0, s = cbhead(t, &r.item);
        for (; s == 1; s = cbnext(t, &r.item)) ++n;
        return s == -3 ? n : -1;
      }
      case kLock:
        return cblock(t, q.a);
      case kUnlock:
        return cbunlock(t, q.a);
      case kSetFlush:
        return cb_set_flush(q.a, q.b), 1;
      case kTimeout:
        return cblock_timeout(q.a, q.b, q.c), 1;
      case kQuit:
        return cbexit();
    }
    return -1;
  }
  Child child_;
  bool alive_ = true;
};

const ChildRole kWorker("worker", Worker::serve);

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
  // 1 when another handle would meet a lock on [offset, offset + length),
  // 0 when not, -1 when the file cannot be opened to look.
  int locked(int32_t offset, int32_t length) const {
    return probe_lock(path_, offset, length);
  }
  bool region_free(int32_t bs = 512) const {
    return locked(cbt::kLockRegionStart, bs - cbt::kLockRegionStart) == 0;
  }
  std::string check_file(cbt::TreeStats *stats = nullptr) const {
    return cbt::check_tree_file(path_.c_str(), nullptr, stats);
  }
  // Makes the shared file through w (which keeps it open) with count pairs.
  static void make_tree(Worker &w, int count, int32_t bs = 512) {
    ASSERT_EQ(w.send(Worker::kCreate, bs, 1).result, 1);
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
  ASSERT_EQ(b.send(Worker::kOpen, 1, 1).result, 1);  // read-only
  ASSERT_EQ(c.send(Worker::kOpen, 1).result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(b.insert("x", 1).err, CBERR_READ_ONLY);  // before any lock
  EXPECT_EQ(a.lock(1).result, 1);
  EXPECT_EQ(b.lock(1).result, 1);
  EXPECT_EQ(locked(36, 1), 1);
  EXPECT_EQ(locked(37, 1), 1);
  EXPECT_EQ(locked(38, 512 - 38), 0);
  EXPECT_EQ(c.find(k4(5)).item, 5);  // readers do not exclude readers
  // With one try a writer gives up at once; one reader gone is not enough.
  ASSERT_EQ(c.send(Worker::kTimeout, 1, 10, 10).result, 1);
  expect_lock_refused(c.insert("new", 99), -1);
  expect_lock_refused(c.lock(2), -4);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_EQ(locked(36, 1), 0);
  EXPECT_EQ(c.insert("new", 99).result, -1);
  // With retries the insert waits for the last reader, then proceeds.
  ASSERT_EQ(c.send(Worker::kTimeout, 1000, 5, 10000).result, 1);
  c.post(Worker::kInsert, 99, 0, 0, "new");
  EXPECT_FALSE(c.answered_within(150));
  EXPECT_EQ(b.unlock(1).result, 1);
  EXPECT_EQ(c.finish().result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(a.find("new").item, 99);
  EXPECT_EQ(b.send(Worker::kCount).result, 11);
}

// Small blocks: a few pairs per leaf, many leaves.
TEST_F(SharedTest, ChangesOfOneProcessAreSeenAtTheNextCallOfAnother) {
  Worker a(path_), b(path_);
  make_tree(a, 20, 92);
  ASSERT_EQ(b.send(Worker::kOpen, 1).result, 1);
  // b has the leaf in its pool when a changes it: the copy is not used.
  ASSERT_EQ(b.find(k4(5)).result, 2);
  ASSERT_EQ(a.insert("0005a", 500).result, 1);
  EXPECT_EQ(b.find("0005a").item, 500);
  ASSERT_EQ(a.del(k4(7), 7).result, 1);
  Reply r = b.find(k4(7));
  EXPECT_EQ(r.result, 3);
  EXPECT_STREQ(r.key, "0008");
  // A position on a pair another process deletes moves on to the pair
  // that now follows it, and says so.
  ASSERT_EQ(b.find(k4(10)).result, 2);
  ASSERT_EQ(a.del(k4(10), 10).result, 1);
  r = b.send(Worker::kNext);
  EXPECT_EQ(r.item, 11);
  EXPECT_EQ(r.err, CBERR_DELETED);
  EXPECT_EQ(b.send(Worker::kNext).err, 0);
  // Many changes at once (splits, a deeper tree) reach b whole.
  ASSERT_EQ(a.send(Worker::kSetFlush, 1, 1).result, 1);
  for (int i = 100; i < 400; ++i) ASSERT_EQ(a.insert(k4(i), i).result, 1);
  EXPECT_EQ(b.send(Worker::kCount).result, 20 + 1 - 2 + 300);
  for (int i = 100; i < 400; i += 2) ASSERT_EQ(b.del(k4(i), i).result, 1);
  EXPECT_EQ(a.send(Worker::kCount).result, 19 + 150);
  EXPECT_EQ(check_file(), "");
}

// Deferred, changes under a writer lock reach the disk at unlock, cbflush
// or close; written through, each change is on disk at once.
TEST_F(SharedTest, ChangesUnderAWriterLockReachTheDiskAsTheFlushSettingSays) {
  Worker w(path_), r(path_);
  make_tree(w, 0);
  ASSERT_EQ(r.send(Worker::kOpen, 1).result, 1);
  ASSERT_EQ(r.send(Worker::kTimeout, 1, 5, 5).result, 1);
  const uint32_t cc0 = disk_control().change_counter;
  ASSERT_EQ(w.send(Worker::kSetFlush, 1, 0).result, 1);
  ASSERT_EQ(w.lock(2).result, 1);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(w.insert(k4(i), i).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0);
  EXPECT_EQ(r.find(k4(1)).err, CBERR_LOCK);
  EXPECT_EQ(w.send(Worker::kCount).result, 30);  // the holder sees them
  ASSERT_EQ(w.unlock(2).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 30);
  EXPECT_EQ(disk_control().key_count, 30u);
  EXPECT_EQ(check_file(), "");
  EXPECT_EQ(r.find(k4(29)).item, 29);
  ASSERT_EQ(w.lock(2).result, 1);  // close writes back and unlocks
  ASSERT_EQ(w.insert(k4(30), 30).result, 1);
  ASSERT_EQ(w.del(k4(0), 0).result, 1);
  EXPECT_EQ(r.find(k4(1)).err, CBERR_LOCK);
  ASSERT_EQ(w.send(Worker::kClose).result, 1);
  EXPECT_TRUE(region_free());
  EXPECT_EQ(disk_control().change_counter, cc0 + 32);
  EXPECT_EQ(r.send(Worker::kCount).result, 30);
  // Written through: the whole tree on disk is complete under the lock.
  ASSERT_EQ(w.send(Worker::kOpen, 1).result, 1);
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

// Without sharing no OS lock is taken and nobody else opens the file; a
// process killed holding locks leaves them to the OS, and what a writer
// wrote through is all there.
TEST_F(SharedTest, ExclusiveFilesAndProcessesKilledHoldingLocks) {
  {
    Worker w(path_), x(path_);
    ASSERT_EQ(w.send(Worker::kCreate, 512, 0).result, 1);
    EXPECT_EQ(w.lock(2).result, 1);
    EXPECT_NE(locked(cbt::kLockRegionStart, 1), 1);
    EXPECT_EQ(w.insert(k4(1), 1).result, 1);
    EXPECT_EQ(w.unlock(2).result, 1);
    EXPECT_EQ(x.send(Worker::kOpen, 1).err, CBERR_OPEN);
    EXPECT_EQ(x.send(Worker::kOpen, 0).err, CBERR_OPEN);
  }
  ASSERT_EQ(std::remove(path_.c_str()), 0);
  Worker a(path_), reader(path_), writer(path_);
  make_tree(a, 10);
  ASSERT_EQ(a.send(Worker::kTimeout, 1, 5, 5).result, 1);
  ASSERT_EQ(reader.send(Worker::kOpen, 1).result, 1);
  ASSERT_EQ(reader.lock(1).result, 1);
  ASSERT_EQ(a.insert(k4(20), 20).err, CBERR_LOCK);
  reader.kill9();
  EXPECT_EQ(a.insert(k4(20), 20).result, 1);
  ASSERT_EQ(writer.send(Worker::kOpen, 1).result, 1);
  ASSERT_EQ(writer.send(Worker::kSetFlush, 0, 0).result, 1);
  ASSERT_EQ(writer.lock(2).result, 1);
  for (int i = 100; i < 160; ++i) ASSERT_EQ(writer.insert(k4(i), i).result, 1);
  ASSERT_EQ(writer.del(k4(4), 4).result, 1);
  writer.kill9();
  EXPECT_EQ(a.send(Worker::kCount).result, 11 + 60 - 1);
  EXPECT_EQ(check_file(), "");
}

}  // namespace
}  // namespace recbase::test
