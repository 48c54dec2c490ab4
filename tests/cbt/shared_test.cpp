// Shared access between processes: reader and writer locks in block 0's
// lock region as the OS sees them, waiting and giving up, changes of one
// process seen at the next call of another, deferred and written-through
// flushing as it shows on disk, and processes killed holding locks.
// Processes are Workers driven step by step; the test process inspects the
// file directly: raw bytes, the OS's view of the byte-range locks, and the
// checker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cbt/node_format.h"
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
  EXPECT_TRUE(reader_byte_held(36));
  EXPECT_TRUE(reader_byte_held(37));
  EXPECT_EQ(lock_on(38, 512 - 38).l_type, F_UNLCK);
  EXPECT_EQ(c.find(k4(5)).item, 5);  // readers do not exclude readers
  // With one try a writer gives up at once; one reader gone is not enough.
  ASSERT_EQ(c.send(Worker::kTimeout, 1, 10, 10).result, 1);
  expect_lock_refused(c.insert("new", 99), -1);
  expect_lock_refused(c.lock(2), -4);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_FALSE(reader_byte_held(36));
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
  for (int i = 1; i <= kReaders; ++i)
    ASSERT_EQ(w[i]->send(Worker::kOpen, 1).result, 1) << i;
  for (int i = 0; i < kReaders; ++i) ASSERT_EQ(w[i]->lock(1).result, 1) << i;
  for (int b = 36; b < 92; ++b) EXPECT_TRUE(reader_byte_held(b)) << b;
  Worker &last = *w[kReaders];
  ASSERT_EQ(last.send(Worker::kTimeout, 2, 5, 20).result, 1);
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
    EXPECT_TRUE(region_free());
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
