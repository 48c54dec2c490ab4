// Shared access between processes: reader and writer locks in block 0's lock
// region as other processes and the OS see them, waiting and giving up,
// changes of one process seen at the next call of another, deferred and
// written-through flushing as it shows on disk, the explicit lock calls,
// processes killed while holding locks, and a failing unlock.
//
// Every process that uses the library is a Worker driven step by step, so
// each interleaving is the one written down. The test process itself inspects
// the file directly: raw bytes, the OS's view of the byte-range locks, and the
// tree checker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cbt/checker.h"
#include "cbt/node_format.h"
#include "cbt/tree.h"
#include "frame/platform.h"
#include "tests/cbt/process_support.h"
#include "tests/support/temp_dir.h"

namespace recbase {
namespace {

using cbt::ControlRecord;
using test::Reply;
using test::TempDir;
using test::Worker;

constexpr int32_t kErrLock = 29;
constexpr int32_t kErrUnlock = 30;
constexpr int32_t kErrDeletedPosition = 31;
constexpr int32_t kCtxResync = 53;
constexpr int32_t kCtxLocking = 54;

std::string key_of(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "k%03d", i);
  return b;
}

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

  // The 36 bytes of the control record as they are on disk.
  std::vector<uint8_t> disk_control_bytes() const {
    std::vector<uint8_t> bytes = test::read_file(path_);
    bytes.resize(cbt::kControlSize);
    return bytes;
  }
  ControlRecord disk_control() const {
    return cbt::decode_control(disk_control_bytes().data());
  }

  // The lock another open file description would collide with on
  // [offset, offset + length), or l_type F_UNLCK when there is none. The
  // test's own descriptor takes no lock and no share mode.
  struct flock lock_on(int32_t offset, int32_t length) const {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    const int fd = open(path_.c_str(), O_RDWR);
    if (fd < 0 || fcntl(fd, F_OFD_GETLK, &fl) != 0) {
      ADD_FAILURE() << "cannot inspect the locks of " << path_;
      fl.l_type = F_WRLCK;
    }
    if (fd >= 0) close(fd);
    return fl;
  }
  // True when exactly the one byte at offset is locked, as a lock of its
  // own (a reader's byte rather than part of a writer's range).
  bool reader_byte_held(int32_t offset) const {
    const struct flock fl = lock_on(offset, 1);
    return fl.l_type != F_UNLCK && fl.l_start == offset && fl.l_len == 1;
  }
  bool region_free(int32_t block_size) const {
    return lock_on(cbt::kLockRegionStart, block_size - cbt::kLockRegionStart)
               .l_type == F_UNLCK;
  }

  std::string check_file(cbt::TreeStats *stats = nullptr) const {
    return cbt::check_tree_file(path_.c_str(), nullptr, stats);
  }

  // Makes the shared file through w (which keeps it open) with count pairs
  // key_of(i) -> i.
  void make_tree(Worker &w, int count, int32_t block_size = 512) {
    ASSERT_EQ(w.create(block_size).result, 1);
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(w.insert(key_of(i), i).result, 1) << i;
    }
  }

  static void expect_lock_refused(const Reply &r, int32_t result) {
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(r.err, kErrLock);
    EXPECT_EQ(r.con, kCtxLocking);
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(SharedTest, ReadersHoldDistinctBytesAndAWriterWaitsForTheLast) {
  Worker a(path_), b(path_), c(path_);
  make_tree(a, 10);
  ASSERT_EQ(b.open(1, 1).result, 1);  // read-only
  ASSERT_EQ(c.open().result, 1);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(b.insert("x", 1).err, 32);  // refused before any lock

  EXPECT_EQ(a.lock(1).result, 1);
  EXPECT_EQ(b.lock(1).result, 1);
  // Each reader holds a byte of its own, the first two of the region.
  EXPECT_TRUE(reader_byte_held(36));
  EXPECT_TRUE(reader_byte_held(37));
  EXPECT_EQ(lock_on(38, 512 - 38).l_type, F_UNLCK);
  // Readers do not exclude each other, or a third reader.
  EXPECT_EQ(a.find(key_of(3)).result, 2);
  EXPECT_EQ(b.find(key_of(4)).result, 2);
  EXPECT_EQ(c.find(key_of(5)).item, 5);

  // With one try a writer gives up at once and holds nothing afterwards;
  // one reader gone is not enough.
  ASSERT_EQ(c.lock_timeout(1, 10, 10).result, 1);
  expect_lock_refused(c.insert("new", 99), -1);
  expect_lock_refused(c.lock(2), -4);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_FALSE(reader_byte_held(36));
  EXPECT_EQ(c.insert("new", 99).result, -1);

  // With retries the insert waits for the last reader, then proceeds.
  ASSERT_EQ(c.lock_timeout(1000, 5, 10000).result, 1);
  c.start_insert("new", 99);
  EXPECT_FALSE(c.answered_within(150));
  EXPECT_EQ(b.unlock(1).result, 1);
  EXPECT_EQ(c.finish().result, 1);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(a.find("new").item, 99);
  EXPECT_EQ(b.count().result, 11);
}

TEST_F(SharedTest, FiftySixReadersFillTheRegionOfA92ByteBlock) {
  constexpr int kReaders = 92 - 36;
  std::vector<std::unique_ptr<Worker>> w;
  for (int i = 0; i <= kReaders; ++i) {
    w.push_back(std::make_unique<Worker>(path_));
  }
  make_tree(*w[0], 5, 92);
  // Everyone opens first: opening reads the control record under a reader
  // lock, which the 57th could not get later.
  for (int i = 1; i <= kReaders; ++i) ASSERT_EQ(w[i]->open().result, 1) << i;
  for (int i = 0; i < kReaders; ++i) ASSERT_EQ(w[i]->lock(1).result, 1) << i;
  for (int b = 36; b < 92; ++b) EXPECT_TRUE(reader_byte_held(b)) << b;

  Worker &last = *w[kReaders];
  ASSERT_EQ(last.lock_timeout(2, 5, 20).result, 1);
  expect_lock_refused(last.lock(1), -4);
  // A reading call needs a byte too; it fails while synchronising.
  Reply r = last.find(key_of(1));
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.err, kErrLock);
  EXPECT_EQ(r.con, 52);
  // A byte given back is found by the waiting reader wherever it lies.
  EXPECT_EQ(w[20]->unlock(1).result, 1);
  EXPECT_EQ(last.lock(1).result, 1);
  EXPECT_EQ(last.find(key_of(1)).result, 2);
  EXPECT_EQ(w[0]->count().result, 5);
}

// Small blocks: a few pairs per leaf, many leaves.
TEST_F(SharedTest, ChangesOfOneProcessAreSeenAtTheNextCallOfAnother) {
  Worker a(path_), b(path_);
  make_tree(a, 20, 92);
  ASSERT_EQ(b.open().result, 1);
  // b has the leaf in its pool when a changes it: the copy is not used.
  ASSERT_EQ(b.find(key_of(5)).result, 2);
  ASSERT_EQ(a.insert("k005a", 500).result, 1);
  Reply r = b.find("k005a");
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.item, 500);
  ASSERT_EQ(a.del(key_of(7), 7).result, 1);
  r = b.find(key_of(7));
  EXPECT_EQ(r.result, 3);
  EXPECT_STREQ(r.text, "k008");

  // A position on a pair that another process deletes moves on to the pair
  // that now follows it, and says so; then walks on normally.
  ASSERT_EQ(b.find(key_of(10)).result, 2);
  ASSERT_EQ(a.del(key_of(10), 10).result, 1);
  r = b.next();
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.item, 11);
  EXPECT_STREQ(r.text, "k011");
  EXPECT_EQ(r.err, kErrDeletedPosition);
  r = b.next();
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.item, 12);
  EXPECT_EQ(r.err, 0);

  // A mark on a pair that another process deletes gives its successor.
  ASSERT_EQ(b.mark().result, 1);
  ASSERT_EQ(a.del(key_of(12), 12).result, 1);
  r = b.find_mark();
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.item, 13);
  EXPECT_STREQ(r.text, "k013");

  // Many changes at once (splits, a deeper tree) reach b whole. (The OS
  // flush after each is skipped: it only costs time here.)
  ASSERT_EQ(a.set_flush(1, 1).result, 1);
  ASSERT_EQ(b.set_flush(1, 1).result, 1);
  for (int i = 100; i < 400; ++i) ASSERT_EQ(a.insert(key_of(i), i).result, 1);
  EXPECT_EQ(b.count().result, 20 + 1 - 3 + 300);
  EXPECT_EQ(b.check().result, 1) << b.check().text;
  for (int i = 100; i < 400; i += 2) ASSERT_EQ(b.del(key_of(i), i).result, 1);
  EXPECT_EQ(a.count().result, 18 + 150);
  EXPECT_EQ(a.check().result, 1) << a.check().text;

  // a removes b's leaf and its neighbours, then the tree grows under b.
  ASSERT_EQ(b.find(key_of(201)).result, 2);
  for (int i = 151; i < 351; i += 2) ASSERT_EQ(a.del(key_of(i), i).result, 1);
  r = b.next();
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.item, 351);
  EXPECT_EQ(r.err, kErrDeletedPosition);
  EXPECT_EQ(b.next().item, 353);
  for (int i = 151; i < 351; i += 2) {
    ASSERT_EQ(a.insert(key_of(i), i).result, 1);
  }
  for (int i = 355; i < 400; i += 2) ASSERT_EQ(b.next().item, i);
  EXPECT_EQ(b.next().result, -3);
  EXPECT_EQ(b.check().result, 1) << b.check().text;
  EXPECT_EQ(check_file(), "");
}

// Deferred, changes under a writer lock reach the disk at unlock, cbflush
// or close; written through, each change is on disk at once.
TEST_F(SharedTest, ChangesUnderAWriterLockReachTheDiskAsTheFlushSettingSays) {
  Worker w(path_), r(path_);
  make_tree(w, 0);
  ASSERT_EQ(r.open().result, 1);
  ASSERT_EQ(r.lock_timeout(1, 5, 5).result, 1);
  const std::vector<uint8_t> before = disk_control_bytes();
  const uint32_t cc0 = cbt::decode_control(before.data()).change_counter;

  ASSERT_EQ(w.set_flush(1, 0).result, 1);
  ASSERT_EQ(w.lock(2).result, 1);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(w.insert(key_of(i), i).result, 1);
  EXPECT_EQ(disk_control_bytes(), before);
  // Nobody reads meanwhile, so the unwritten state is never seen.
  EXPECT_EQ(r.find(key_of(1)).err, kErrLock);
  EXPECT_EQ(w.count().result, 30);  // the holder sees its own changes
  EXPECT_EQ(disk_control_bytes(), before);
  ASSERT_EQ(w.unlock(2).result, 1);
  ControlRecord cr = disk_control();
  EXPECT_EQ(cr.change_counter, cc0 + 30);
  EXPECT_EQ(cr.key_count, 30u);
  EXPECT_NE(cr.root, 0u);
  EXPECT_EQ(check_file(), "");
  EXPECT_EQ(r.find(key_of(29)).item, 29);

  // cbflush writes back at once, the lock staying.
  ASSERT_EQ(w.lock(2).result, 1);
  ASSERT_EQ(w.insert(key_of(30), 30).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 30);
  ASSERT_EQ(w.flush().result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 31);
  EXPECT_EQ(r.find(key_of(1)).err, kErrLock);
  EXPECT_EQ(check_file(), "");
  // Closing with changes pending writes them back and unlocks.
  ASSERT_EQ(w.insert(key_of(31), 31).result, 1);
  ASSERT_EQ(w.del(key_of(0), 0).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 31);
  ASSERT_EQ(w.close().result, 1);
  EXPECT_TRUE(region_free(512));
  cr = disk_control();
  EXPECT_EQ(cr.change_counter, cc0 + 33);
  EXPECT_EQ(cr.key_count, 31u);
  EXPECT_EQ(r.count().result, 31);
  EXPECT_EQ(check_file(), "");

  // Written through: the whole tree on disk is complete under the lock.
  ASSERT_EQ(w.open().result, 1);
  ASSERT_EQ(w.set_flush(0, 0).result, 1);
  ASSERT_EQ(w.lock(2).result, 1);
  for (int i = 1; i <= 40; ++i) {
    ASSERT_EQ(w.insert(key_of(100 + i), i).result, 1);
    ASSERT_EQ(disk_control().change_counter, cc0 + 33 + i) << i;
  }
  ASSERT_EQ(w.del(key_of(2), 2).result, 1);
  cbt::TreeStats stats;
  EXPECT_EQ(check_file(&stats), "");
  EXPECT_EQ(stats.entries, 70u);
  EXPECT_EQ(w.unlock(2).result, 1);
  EXPECT_EQ(disk_control().change_counter, cc0 + 74);  // nothing left over
}

// Modes other than 1 and 2 are refused; unlocking what is not held is
// harmless. Reader and writer locks of one process nest and go in either
// order, and opening waits for a writer.
TEST_F(SharedTest, ExplicitLocksNestAndReleaseInEitherOrder) {
  Worker a(path_), b(path_), c(path_);
  make_tree(a, 5);
  EXPECT_EQ(a.lock(3).result, -1);
  EXPECT_EQ(a.lock(0).result, -1);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_EQ(a.unlock(2).result, 1);
  EXPECT_EQ(a.unlock(3).result, -1);
  EXPECT_TRUE(region_free(512));
  ASSERT_EQ(b.open().result, 1);
  ASSERT_EQ(b.lock_timeout(1, 5, 5).result, 1);

  // Writer taken over a held reader byte; the reader lock goes first.
  ASSERT_EQ(a.lock(1).result, 1);
  ASSERT_EQ(a.lock(2).result, 1);
  EXPECT_EQ(a.insert(key_of(50), 50).result, 1);
  EXPECT_EQ(b.find(key_of(1)).err, kErrLock);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_EQ(b.find(key_of(1)).err, kErrLock);  // the writer still holds all
  // A process that opens meanwhile gives up reading the control record.
  ASSERT_EQ(c.lock_timeout(1, 5, 5).result, 1);
  Reply r = c.open();
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.err, kErrLock);
  EXPECT_EQ(r.con, 7);
  EXPECT_EQ(a.unlock(2).result, 1);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(b.find(key_of(50)).item, 50);
  ASSERT_EQ(c.open().result, 1);
  EXPECT_EQ(c.count().result, 6);

  // The writer lock goes first: the reader byte stays.
  ASSERT_EQ(a.lock(1).result, 1);
  ASSERT_EQ(a.lock(2).result, 1);
  EXPECT_EQ(a.insert(key_of(51), 51).result, 1);
  EXPECT_EQ(a.unlock(2).result, 1);
  EXPECT_EQ(b.find(key_of(51)).item, 51);
  EXPECT_EQ(b.insert(key_of(52), 52).err, kErrLock);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(b.insert(key_of(52), 52).result, 1);

  // A reader byte inside the region: the writer ranges lie on both sides
  // of it, and the byte stays when they go.
  ASSERT_EQ(b.lock(1).result, 1);
  ASSERT_EQ(c.lock(1).result, 1);
  std::vector<bool> before(512);
  for (int32_t i = 36; i < 512; ++i) before[i] = reader_byte_held(i);
  ASSERT_EQ(a.lock(1).result, 1);
  int32_t mine = -1;
  for (int32_t i = 36; i < 512 && mine < 0; ++i) {
    if (!before[i] && reader_byte_held(i)) mine = i;
  }
  ASSERT_GT(mine, 36);  // the first two bytes are taken by b and c
  ASSERT_EQ(b.unlock(1).result, 1);
  ASSERT_EQ(c.unlock(1).result, 1);
  ASSERT_EQ(a.lock(2).result, 1);
  EXPECT_NE(lock_on(36, mine - 36).l_type, F_UNLCK);
  EXPECT_NE(lock_on(mine + 1, 512 - mine - 1).l_type, F_UNLCK);
  EXPECT_EQ(a.insert(key_of(53), 53).result, 1);
  EXPECT_EQ(a.unlock(2).result, 1);
  EXPECT_TRUE(reader_byte_held(mine));
  EXPECT_EQ(lock_on(36, mine - 36).l_type, F_UNLCK);
  EXPECT_EQ(lock_on(mine + 1, 512 - mine - 1).l_type, F_UNLCK);
  EXPECT_EQ(b.find(key_of(53)).item, 53);
  EXPECT_EQ(a.unlock(1).result, 1);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(check_file(), "");
}

TEST_F(SharedTest, FileWithoutSharingTakesNoOsLockAndKeepsOthersOut) {
  Worker w(path_), x(path_), y(path_);
  ASSERT_EQ(w.create(512, 0).result, 1);
  for (int32_t mode : {2, 1}) {
    EXPECT_EQ(w.lock(mode).result, 1);
    EXPECT_TRUE(region_free(512));
    EXPECT_EQ(w.insert(key_of(mode), mode).result, 1);
    EXPECT_EQ(w.unlock(mode).result, 1);
  }
  EXPECT_EQ(w.lock(3).result, -1);
  // Later calls report no unlock error.
  Reply r = w.find(key_of(1));
  EXPECT_EQ(r.result, 2);
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(x.open(1).err, 2);  // nobody else opens, shared or not
  EXPECT_EQ(x.open(0).err, 2);
  r = w.close();
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(check_file(), "");
  // A shared open keeps exclusive opens out in turn.
  EXPECT_EQ(x.open(1).result, 1);
  EXPECT_EQ(y.open(0).err, 2);
  EXPECT_EQ(y.open(1).result, 1);
  EXPECT_EQ(y.count().result, 2);
}

// Processes that die holding a lock: the OS drops their locks, and all
// that a writer wrote through is there.
TEST_F(SharedTest, ProcessesKilledWhileHoldingTheirLocks) {
  Worker a(path_), reader(path_), writer(path_);
  make_tree(a, 10);
  ASSERT_EQ(a.lock_timeout(1, 5, 5).result, 1);
  ASSERT_EQ(reader.open().result, 1);
  ASSERT_EQ(reader.lock(1).result, 1);
  ASSERT_EQ(a.insert(key_of(20), 20).err, kErrLock);
  reader.kill9();
  EXPECT_EQ(a.insert(key_of(20), 20).result, 1);
  EXPECT_EQ(a.del(key_of(3), 3).result, 1);

  ASSERT_EQ(writer.open().result, 1);
  ASSERT_EQ(writer.set_flush(0, 0).result, 1);
  ASSERT_EQ(writer.lock(2).result, 1);
  for (int i = 100; i < 160; ++i) {
    ASSERT_EQ(writer.insert(key_of(i), i).result, 1);
  }
  ASSERT_EQ(writer.del(key_of(4), 4).result, 1);
  ASSERT_EQ(a.find(key_of(1)).err, kErrLock);
  writer.kill9();
  EXPECT_EQ(a.count().result, 10 + 60 - 1);
  EXPECT_EQ(a.insert(key_of(200), 200).result, 1);
  EXPECT_EQ(a.find(key_of(159)).item, 159);
  EXPECT_EQ(a.check().result, 1) << a.check().text;
  EXPECT_EQ(check_file(), "");
}

int32_t failing_unlock(int32_t, int32_t, int32_t) { return -1; }

// A failing unlock reports 30 in context 53 and keeps the lock, recorded as
// held; the end of the next call that locks releases it.
TEST_F(SharedTest, FailedUnlockReportsAndKeepsTheLock) {
  Worker other(path_);  // forked before this process makes its pool
  make_tree(other, 5);
  ASSERT_EQ(other.lock_timeout(1, 5, 5).result, 1);
  ASSERT_EQ(cbinit(16, 512), 1);
  CbTree *t = cbopen_shared(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(t, nullptr);
  const uint32_t &flags = t->file->lock_flags;
  int32_t item = 0;
  auto with_failing_unlock = [](auto call) {
    const auto saved = g_platform.sys_unlock;
    g_platform.sys_unlock = failing_unlock;
    const int32_t result = call();
    g_platform.sys_unlock = saved;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(cberrcode, kErrUnlock);
    EXPECT_EQ(cbconcode, kCtxResync);
  };

  // Explicit reader lock: cbunlock makes it implicit and releases it.
  ASSERT_EQ(cblock(t, 1), 1);
  with_failing_unlock([&] { return cbunlock(t, 1); });
  EXPECT_EQ(cbfcncode, 30);
  EXPECT_EQ(flags, cbt::kReaderHeld);
  EXPECT_TRUE(reader_byte_held(36));
  EXPECT_EQ(other.insert(key_of(40), 40).err, kErrLock);
  EXPECT_EQ(cbfind(t, "k001", 4, &item), 2);
  EXPECT_EQ(flags, 0u);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(other.insert(key_of(40), 40).result, 1);

  // Explicit writer lock, the same way.
  ASSERT_EQ(cblock(t, 2), 1);
  with_failing_unlock([&] { return cbunlock(t, 2); });
  EXPECT_EQ(flags, cbt::kWriterHeld);
  EXPECT_EQ(other.find(key_of(1)).err, kErrLock);
  EXPECT_EQ(cbfind(t, "k040", 4, &item), 2);
  EXPECT_EQ(item, 40);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(other.find(key_of(1)).result, 2);

  // The implicit lock of a reading call, and of a change (which is done).
  with_failing_unlock([&] { return cbfind(t, "k001", 4, &item); });
  EXPECT_EQ(flags, cbt::kReaderHeld);
  EXPECT_EQ(other.insert(key_of(41), 41).err, kErrLock);
  with_failing_unlock([&] { return cbinsert(t, "k042", 4, 42, 0); });
  EXPECT_NE(flags, 0u);
  EXPECT_EQ(other.find(key_of(1)).err, kErrLock);
  EXPECT_EQ(cbfind(t, "k042", 4, &item), 2);
  EXPECT_EQ(item, 42);
  EXPECT_TRUE(region_free(512));
  EXPECT_EQ(other.insert(key_of(41), 41).result, 1);
  EXPECT_EQ(other.find(key_of(42)).item, 42);

  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbexit(), 1);
  EXPECT_EQ(check_file(), "");
}

}  // namespace
}  // namespace recbase
