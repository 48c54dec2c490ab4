// The buffer pool: creation and sizing through the exported calls, and the
// block operations the B-tree engine uses, checked against the files on
// disk. Platform slots are wrapped to record or fail block writes.
#include "bufpool/bufpool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "frame/alloc.h"
#include "frame/bytes.h"
#include "frame/platform.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase {
namespace {

using test::read_file;
using test::write_file;

struct IoLog {
  std::vector<uint32_t> writes;       // block numbers, in order
  std::set<uint32_t> failing_writes;  // block numbers whose write fails
  int reads = 0;
  int flushes = 0;
  bool fail_flush = false;
};
IoLog g_io;

int32_t logging_writeblock(int32_t h, uint32_t n, int32_t size,
                           const void *data) {
  g_io.writes.push_back(n);
  if (g_io.failing_writes.count(n) != 0) return -1;
  return platform_native().sys_writeblock(h, n, size, data);
}
int32_t counting_readblock(int32_t h, uint32_t n, int32_t size, void *data) {
  ++g_io.reads;
  return platform_native().sys_readblock(h, n, size, data);
}
int32_t counting_flush(int32_t h) {
  ++g_io.flushes;
  return g_io.fail_flush ? -1 : platform_native().sys_flush(h);
}

int g_allocations_left = -1;  // -1: no limit
bool limited_allocation(std::size_t) {
  if (g_allocations_left == 0) return false;
  if (g_allocations_left > 0) --g_allocations_left;
  return true;
}

// Byte that block n of a test file holds everywhere (block 0 aside).
uint8_t fill_of(uint32_t n) { return static_cast<uint8_t>(n * 7 + 1); }

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_io = IoLog{};
    g_allocations_left = -1;
    platform_fill();
  }
  void TearDown() override {
    platform_fill();  // real slots again, so that cleanup writes succeed
    g_alloc_hook = nullptr;
    for (LruFile *f : files_) close_lru_file(f);
    if (bufpool_current() != nullptr) bufpool_destroy(bufpool_current());
    cbclear_error();
    bufpool_err = 0;
  }

  void init(int32_t count, int32_t size) {
    ASSERT_EQ(cbinit(count, size), 1);
    g_platform.sys_writeblock = logging_writeblock;
    g_platform.sys_readblock = counting_readblock;
    g_platform.sys_flush = counting_flush;
  }

  // A file of `blocks` blocks: block 0 starts with the block size, block n
  // is filled with fill_of(n). Returns its path.
  std::string make_file(const std::string &name, int32_t block_size,
                        uint32_t blocks) {
    std::vector<uint8_t> bytes(static_cast<size_t>(block_size) * blocks);
    for (uint32_t n = 1; n < blocks; ++n) {
      std::fill_n(bytes.begin() + static_cast<long>(n) * block_size, block_size,
                  fill_of(n));
    }
    put_le16(bytes.data(), static_cast<uint16_t>(block_size));
    const std::string path = dir_.file(name);
    write_file(path, bytes);
    return path;
  }
  LruFile *open(const std::string &path) {
    LruFile *f = open_lru_file(path.c_str(), bufpool_current(), 0, 0);
    if (f != nullptr) files_.push_back(f);
    return f;
  }
  int32_t close(LruFile *f) {
    files_.erase(std::remove(files_.begin(), files_.end(), f), files_.end());
    return close_lru_file(f);
  }
  // Gets block n, stores value in its first byte and puts it back dirty.
  void change(LruFile *f, uint32_t n, uint8_t value) {
    uint8_t *d = get_block(f, n);
    ASSERT_NE(d, nullptr);
    d[0] = value;
    ASSERT_EQ(put_block(f, d, 0), 1);
  }
  // A pool of six 512-byte buffers and an open file of that many blocks.
  LruFile *start(uint32_t blocks) {
    init(6, 512);
    path_ = make_file("f", 512, blocks);
    return open(path_);
  }
  // First byte of block n of that file on disk.
  uint8_t disk_byte(uint32_t n) const {
    const std::vector<uint8_t> bytes = read_file(path_);
    return size_t{n} * 512 < bytes.size() ? bytes[size_t{n} * 512] : 0;
  }
  PoolStats stats() { return bufpool_stats(bufpool_current()); }

  test::TempDir dir_;
  std::string path_;
  std::vector<LruFile *> files_;
};

TEST_F(PoolTest, InitNormalisesCountAndSizeAndFillsThePlatformTable) {
  const struct {
    int32_t count, size, want_count, want_size;
  } cases[] = {{0, 0, 16, 512},  {3, 20, 6, 512}, {10, 36, 10, 36},
               {-4, -1, 6, 512}, {6, 35, 6, 512}, {7, 4096, 7, 4096}};
  for (const auto &c : cases) {
    g_platform.sys_open = nullptr;
    ASSERT_EQ(cbinit(c.count, c.size), 1) << c.count << " " << c.size;
    EXPECT_EQ(cbfcncode, 1);
    EXPECT_EQ(cbbufcnt(), c.want_count);
    EXPECT_EQ(cbbufsize(), c.want_size);
    EXPECT_EQ(stats().buffers, c.want_count);
    EXPECT_EQ(g_platform.sys_open, platform_native().sys_open);
    ASSERT_EQ(bufpool_destroy(bufpool_current()), 1);
  }
}

TEST_F(PoolTest, ExportedCallsWithoutAPoolAndASecondInitFail) {
  EXPECT_EQ(cbbufsize(), 0);
  EXPECT_EQ(cbbufcnt(), 0);
  EXPECT_EQ(cbaddbufs(4), 0);
  EXPECT_EQ(cberrcode, 3);
  EXPECT_EQ(cbconcode, 4);
  cbclear_error();
  EXPECT_EQ(cbrmbufs(4), 0);
  EXPECT_EQ(cberrcode, 3);
  EXPECT_EQ(cbfcncode, 26);

  init(8, 1024);
  BufferPool *pool = bufpool_current();
  EXPECT_EQ(cbinit(0, 0), -1);
  EXPECT_EQ(cberrcode, 4);
  EXPECT_EQ(cbconcode, 4);
  EXPECT_EQ(cbinit_mswin(0, 0), -1);
  EXPECT_EQ(bufpool_current(), pool);
  // A later successful call leaves the failure's codes, not its function.
  EXPECT_EQ(cbbufcnt(), 8);
  EXPECT_EQ(cbbufsize(), 1024);
  EXPECT_EQ(cbfcncode, 24);
  EXPECT_EQ(cberrcode, 4);
  EXPECT_EQ(cbconcode, 4);
}

// One allocation for the pool and one per buffer: fail each in turn.
TEST_F(PoolTest, InitAndAddBuffersStopAtAFailedAllocation) {
  g_alloc_hook = limited_allocation;
  for (int ok = 0; ok < 7; ++ok) {
    g_allocations_left = ok;
    EXPECT_EQ(cbinit(6, 64), -1) << ok;
    EXPECT_EQ(cberrcode, 5) << ok;
    EXPECT_EQ(cbconcode, 4) << ok;
    EXPECT_EQ(bufpool_err, 2) << ok;
    EXPECT_EQ(cbbufcnt(), 0) << ok;
  }
  g_allocations_left = 7;
  EXPECT_EQ(cbinit(6, 64), 1);
  EXPECT_EQ(cbaddbufs(4), 0);
  g_allocations_left = -1;
  EXPECT_EQ(cbaddbufs(4), 4);
  EXPECT_EQ(cbaddbufs(-3), 0);
  EXPECT_EQ(cbbufcnt(), 10);
  g_allocations_left = 2;
  EXPECT_EQ(cbaddbufs(5), 2);
  EXPECT_EQ(cberrcode, 5);
  EXPECT_EQ(cbconcode, 4);
  EXPECT_EQ(stats().buffers, 12);
}

TEST_F(PoolTest, RemoveBuffersWritesDirtyOnesAndKeepsPinnedOnes) {
  init(16, 512);
  path_ = make_file("rm", 512, 10);
  LruFile *f = open(path_);
  EXPECT_EQ(cbrmbufs(100), 10);  // the exported call keeps six
  EXPECT_EQ(cbaddbufs(2), 2);
  std::vector<uint8_t *> data;
  for (uint32_t n = 1; n <= 8; ++n) data.push_back(get_block(f, n));
  data[0][0] = 0xE1;
  ASSERT_EQ(put_block(f, data[0], 0), 1);
  for (uint32_t n = 2; n <= 7; ++n) release_block(f, data[n - 1]);
  // Block 8 stays pinned. LRU order now: 8, 1 (dirty), 2..7.
  EXPECT_EQ(cbrmbufs(2), 2);
  EXPECT_EQ(g_io.writes, (std::vector<uint32_t>{1}));
  EXPECT_EQ(disk_byte(1), 0xE1);
  EXPECT_EQ(bufpool_use_count(f, 2), -1);
  // Below the exported call nothing keeps six, but a pinned buffer stays.
  EXPECT_EQ(cbrmbufs(1), 0);
  EXPECT_EQ(cbrmbufs(-1), 0);
  EXPECT_EQ(bufpool_rmbufs(bufpool_current(), 10), 5);
  EXPECT_EQ(bufpool_use_count(f, 8), 1);
  EXPECT_EQ(stats().buffers, 1);
}

TEST_F(PoolTest, OpenRefusesFilesThatCannotBeUsedAndCloseWritesBack) {
  init(6, 512);
  EXPECT_EQ(open(dir_.file("missing")), nullptr);
  EXPECT_EQ(bufpool_err, 4);
  const std::string ok = make_file("ok", 512, 2);
  EXPECT_EQ(open_lru_file(ok.c_str(), nullptr, 0, 0), nullptr);
  EXPECT_EQ(bufpool_err, 1);
  // Another block size than the pool's; block sizes 0 and negative, and a
  // file too short to hold one; no memory. Each time the handle is closed.
  std::vector<std::pair<std::string, int32_t>> refused = {
      {make_file("big", 1024, 2), 7}};
  const std::vector<uint8_t> bad[] = {
      {0, 0, 1, 1}, {0xFF, 0xFF, 1, 1}, {0x00, 0x80, 1, 1}, {0x40}};
  for (const std::vector<uint8_t> &bytes : bad) {
    refused.emplace_back(dir_.file("bad" + std::to_string(refused.size())), 4);
    write_file(refused.back().first, bytes);
  }
  refused.emplace_back(ok, 2);
  for (const auto &[path, err] : refused) {
    if (err == 2) {
      g_alloc_hook = limited_allocation;
      g_allocations_left = 0;
    }
    EXPECT_EQ(open(path), nullptr) << path;
    EXPECT_EQ(bufpool_err, err) << path;
    EXPECT_EQ(sys_remove(path.c_str()), 1) << path;
  }
  g_alloc_hook = nullptr;

  path_ = make_file("close", 512, 4);
  LruFile *f = open(path_);
  change(f, 2, 0x5A);
  EXPECT_EQ(close(f), 1);
  EXPECT_EQ(disk_byte(2), 0x5A);
  EXPECT_EQ(g_io.flushes, 1);
  EXPECT_EQ(stats().in_use, 0);
  EXPECT_EQ(sys_remove(path_.c_str()), 1);  // handle closed
  LruFile *g = open(make_file("pinned", 512, 4));
  ASSERT_NE(get_block(g, 1), nullptr);
  EXPECT_EQ(close(g), -1);
  EXPECT_EQ(bufpool_err, 6);
  EXPECT_EQ(stats().pinned, 0);
}

// A get reads a block once and pins it once more; a pinned block is never
// replaced, so a seventh block waits for an unpin.
TEST_F(PoolTest, GetPinsPerCallAndPinnedBlocksAreNotReplaced) {
  LruFile *f = start(8);
  const int reads = g_io.reads;
  uint8_t *one = get_block(f, 1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one[0], fill_of(1));
  EXPECT_EQ(one[511], fill_of(1));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(one) % 16, 0u);
  EXPECT_EQ(get_block(f, 1), one);
  EXPECT_EQ(get_block(f, 1), one);
  EXPECT_EQ(g_io.reads, reads + 1);
  EXPECT_EQ(bufpool_use_count(f, 1), 3);
  EXPECT_EQ(release_block(f, one), 1);
  EXPECT_EQ(release_block(f, one), 1);
  EXPECT_EQ(bufpool_use_count(f, 1), 1);
  std::vector<uint8_t *> pinned{one};
  for (uint32_t n = 2; n <= 6; ++n) pinned.push_back(get_block(f, n));
  EXPECT_EQ(get_block(f, 7), nullptr);
  EXPECT_EQ(bufpool_err, 3);
  EXPECT_EQ(get_empty_block(f, 9), nullptr);
  EXPECT_EQ(bufpool_err, 3);
  release_block(f, pinned[3]);  // block 4
  uint8_t *seventh = get_block(f, 7);
  EXPECT_EQ(seventh, pinned[3]);
  EXPECT_EQ(seventh[0], fill_of(7));
  EXPECT_EQ(bufpool_use_count(f, 4), -1);
  for (int i = 0; i < 3; ++i) release_block(f, one);  // never below 0
  EXPECT_EQ(bufpool_use_count(f, 1), 0);
  // A read past the end leaves the buffer free.
  EXPECT_EQ(get_block(f, 8), nullptr);
  EXPECT_EQ(bufpool_err, 4);
  EXPECT_EQ(g_sys_last_error, kShortTransfer);
  EXPECT_EQ(stats().in_use, 5);
}

// Replacement writes dirty blocks least recent first, and passes over one
// whose write fails (keeping it dirty) while reporting the failure.
TEST_F(PoolTest, ReplacementWritesDirtyBlocksLeastRecentFirst) {
  LruFile *f = start(12);
  for (uint32_t n = 1; n <= 6; ++n)
    change(f, n, static_cast<uint8_t>(0xD0 + n));
  EXPECT_EQ(f->modified, 2);
  EXPECT_EQ(has_dirty_blocks(f), 1);
  EXPECT_TRUE(g_io.writes.empty());
  for (uint32_t n = 7; n <= 9; ++n) release_block(f, get_block(f, n));
  EXPECT_EQ(g_io.writes, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(disk_byte(1), 0xD1);
  EXPECT_EQ(disk_byte(3), 0xD3);
  EXPECT_EQ(disk_byte(4), fill_of(4));  // still only in the pool
  EXPECT_EQ(stats().dirty, 3);

  g_io.failing_writes = {4};
  uint8_t *d = get_block(f, 10);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(bufpool_err, 4);
  EXPECT_EQ(g_io.writes, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(bufpool_use_count(f, 4), 0);  // kept, still dirty
  EXPECT_EQ(bufpool_use_count(f, 5), -1);
  EXPECT_EQ(disk_byte(5), 0xD5);
  release_block(f, d);
  g_io.failing_writes.clear();
  EXPECT_EQ(flush_blocks(f), 1);
  EXPECT_EQ(disk_byte(4), 0xD4);
}

// Put with write-now writes at once; an empty block is zeroed, pinned and
// not read, and writing it grows the file.
TEST_F(PoolTest, PutWithWriteNowAndEmptyBlocks) {
  LruFile *f = start(8);
  // Block 0 of an unmodified file is not written.
  EXPECT_EQ(put_block(f, get_block(f, 0), 1), 1);
  EXPECT_TRUE(g_io.writes.empty());
  EXPECT_EQ(f->modified, 0);
  // Any other block is, at once, and the file counts as modified.
  uint8_t *d = get_block(f, 2);
  d[0] = 0x77;
  EXPECT_EQ(put_block(f, d, 1), 1);
  EXPECT_EQ(disk_byte(2), 0x77);
  EXPECT_EQ(f->modified, 2);
  EXPECT_EQ(bufpool_use_count(f, 2), 0);
  EXPECT_EQ(has_dirty_blocks(f), 0);
  EXPECT_EQ(put_block(f, get_block(f, 0), 1), 1);
  EXPECT_EQ(g_io.writes, (std::vector<uint32_t>{2, 0}));
  // A failed write drops the pin but keeps the block dirty.
  change(f, 1, 0x11);
  d = get_block(f, 1);
  g_io.failing_writes = {1};
  EXPECT_EQ(put_block(f, d, 1), -1);
  EXPECT_EQ(bufpool_err, 4);
  EXPECT_EQ(bufpool_use_count(f, 1), 0);
  EXPECT_EQ(has_dirty_blocks(f), 1);
  g_io.failing_writes.clear();
  // Every buffer holds file data first, so the empty block reuses one.
  for (uint32_t n = 2; n <= 7; ++n) release_block(f, get_block(f, n));
  const int reads = g_io.reads;
  uint8_t *e = get_empty_block(f, 8);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(g_io.reads, reads);
  EXPECT_EQ(std::count(e, e + 512, 0), 512);
  EXPECT_EQ(bufpool_use_count(f, 8), 1);
  EXPECT_EQ(bufpool_use_count(f, 2), -1);  // its buffer was taken
  std::fill_n(e, 512, 0x33);
  EXPECT_EQ(put_block(f, e, 1), 1);  // the file grows at once
  EXPECT_EQ(read_file(path_).size(), 9u * 512);
  EXPECT_EQ(disk_byte(8), 0x33);
}

// Flush writes every dirty block, pinned or not; a failing write or OS
// flush is reported but the others go on.
TEST_F(PoolTest, FlushWritesEveryDirtyBlockAndReportsFailures) {
  LruFile *f = start(6);
  for (uint32_t n = 1; n <= 3; ++n) change(f, n, 0xF0);
  uint8_t *held = get_block(f, 2);
  EXPECT_EQ(flush_blocks(f), 1);
  EXPECT_EQ(g_io.flushes, 1);
  std::sort(g_io.writes.begin(), g_io.writes.end());
  EXPECT_EQ(g_io.writes, (std::vector<uint32_t>{1, 2, 3}));
  for (uint32_t n = 1; n <= 3; ++n) EXPECT_EQ(disk_byte(n), 0xF0);
  EXPECT_EQ(has_dirty_blocks(f), 0);
  EXPECT_EQ(f->modified, 2);  // cleared by the engine, not by the pool
  release_block(f, held);
  g_io.writes.clear();
  EXPECT_EQ(flush_blocks(f), 1);
  EXPECT_TRUE(g_io.writes.empty());

  for (uint32_t n = 1; n <= 3; ++n) change(f, n, 0xF1);
  g_io.failing_writes = {2};
  EXPECT_EQ(flush_blocks(f), -1);
  EXPECT_EQ(bufpool_err, 4);
  EXPECT_EQ(disk_byte(1), 0xF1);
  EXPECT_EQ(disk_byte(3), 0xF1);
  EXPECT_EQ(disk_byte(2), 0xF0);
  EXPECT_EQ(has_dirty_blocks(f), 1);
  g_io.failing_writes.clear();
  g_io.fail_flush = true;
  EXPECT_EQ(flush_blocks(f), -1);
  EXPECT_EQ(bufpool_err, 4);
  EXPECT_EQ(has_dirty_blocks(f), 0);
}

TEST_F(PoolTest, PurgeDropsChangesPinsAndTheCheckedFlag) {
  LruFile *f = start(6);
  change(f, 1, 0x99);
  ASSERT_NE(get_block(f, 2), nullptr);  // left pinned
  release_block(f, get_block(f, 3));
  EXPECT_EQ(purge_block(f, 5), 1);  // not buffered
  EXPECT_EQ(purge_block(f, 2), -1);
  EXPECT_EQ(bufpool_err, 6);
  EXPECT_EQ(bufpool_use_count(f, 2), -1);
  EXPECT_EQ(purge_all_blocks(f), -1);
  EXPECT_EQ(bufpool_err, 9);
  EXPECT_EQ(stats().in_use, 0);
  EXPECT_TRUE(g_io.writes.empty());
  uint8_t *d = get_block(f, 1);
  EXPECT_EQ(d[0], fill_of(1));  // the change is gone
  release_block(f, d);
  EXPECT_EQ(purge_all_blocks(f), 1);
  // The checked flag lasts while the block is cached, not past a purge.
  d = get_block(f, 1);
  EXPECT_EQ(block_checked(d), 0);
  block_checked(d) = 1;
  release_block(f, d);
  d = get_block(f, 1);
  EXPECT_EQ(block_checked(d), 1);  // cached: still checked
  release_block(f, d);
  ASSERT_EQ(purge_block(f, 1), 1);
  d = get_block(f, 1);
  EXPECT_EQ(block_checked(d), 0);
  block_checked(d) = 1;
  release_block(f, d);
  ASSERT_EQ(purge_block(f, 1), 1);
  EXPECT_EQ(block_checked(get_empty_block(f, 1)), 0);
}

TEST_F(PoolTest, HandlesSixtyFourApartShareAChainAndAreToldApart) {
  init(6, 512);
  LruFile *a = open(make_file("a", 512, 4));
  const std::string path_b = make_file("b", 512, 4);
  std::vector<uint8_t> bytes = read_file(path_b);
  std::fill(bytes.begin() + 3 * 512, bytes.end(), 0xBB);
  write_file(path_b, bytes);
  LruFile *b = open(path_b);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  // Move b's descriptor to a's plus 64: the same bucket for equal blocks.
  const int32_t target = a->handle + 64;
  ASSERT_EQ(dup2(b->handle, target), target);
  ::close(b->handle);
  b->handle = target;

  uint8_t *da = get_block(a, 3);
  uint8_t *db = get_block(b, 3);
  ASSERT_NE(db, da);
  EXPECT_EQ(da[0], fill_of(3));
  EXPECT_EQ(db[0], 0xBB);
  get_block(b, 3);
  EXPECT_EQ(bufpool_use_count(a, 3), 1);
  EXPECT_EQ(bufpool_use_count(b, 3), 2);
  release_block(a, da);
  EXPECT_EQ(purge_block(a, 3), 1);
  EXPECT_EQ(bufpool_use_count(a, 3), -1);
  EXPECT_EQ(get_block(b, 3), db);  // still found on the shared chain
  for (int i = 0; i < 3; ++i) release_block(b, db);
  EXPECT_EQ(close(b), 1);
}

TEST_F(PoolTest, DestroyWritesBackAndLaterCallsFailInsteadOfCrashing) {
  LruFile *f = start(4);
  EXPECT_EQ(get_block(nullptr, 1), nullptr);
  EXPECT_EQ(get_empty_block(nullptr, 1), nullptr);
  EXPECT_EQ(put_block(f, nullptr, 0), -1);
  EXPECT_EQ(release_block(f, nullptr), -1);
  EXPECT_EQ(purge_block(nullptr, 1), -1);
  EXPECT_EQ(purge_all_blocks(nullptr), -1);
  EXPECT_EQ(flush_blocks(nullptr), -1);
  EXPECT_EQ(close_lru_file(nullptr), -1);
  EXPECT_EQ(bufpool_addbufs(nullptr, 3), 0);
  EXPECT_EQ(bufpool_err, 1);

  change(f, 2, 0x42);
  change(f, 3, 0x43);
  g_io.failing_writes = {3};
  EXPECT_EQ(bufpool_destroy(bufpool_current()), -1);
  EXPECT_EQ(bufpool_err, 4);
  EXPECT_EQ(disk_byte(2), 0x42);  // written despite the failure
  EXPECT_EQ(bufpool_current(), nullptr);
  EXPECT_EQ(cbbufcnt(), 0);
  // The file's record outlived its pool: its calls fail instead of crashing.
  EXPECT_EQ(get_block(f, 1), nullptr);
  EXPECT_EQ(bufpool_err, 1);
  EXPECT_EQ(bufpool_destroy(nullptr), -1);
  ASSERT_EQ(cbinit(0, 0), 1);  // a new start is allowed
  sys_close(f->handle);        // release the orphan by hand
  rb_free(f);
  files_.clear();
}

// --- a random workload against a model of the file --------------------------

class PoolModelTest : public PoolTest,
                      public ::testing::WithParamInterface<int32_t> {};

// Random gets, changes, releases and flushes over a small pool; every block
// read must show the last content written to it, and after closing, the
// file must hold exactly the model.
TEST_P(PoolModelTest, ContentsFollowTheModel) {
  const int32_t block_size = GetParam();
  init(7, block_size);
  constexpr uint32_t kBlocks = 40;
  const std::string path = make_file("model", block_size, kBlocks);
  LruFile *f = open(path);
  ASSERT_NE(f, nullptr);
  std::map<uint32_t, uint8_t> model;
  for (uint32_t n = 1; n < kBlocks; ++n) model[n] = fill_of(n);
  std::mt19937 rng(static_cast<unsigned>(block_size));
  std::vector<std::pair<uint32_t, uint8_t *>> held;
  for (int step = 0; step < 4000; ++step) {
    const unsigned action = rng() % 10;
    if (action < 5 && held.size() < 5) {
      const uint32_t n = 1 + rng() % (kBlocks - 1);
      uint8_t *d = get_block(f, n);
      ASSERT_NE(d, nullptr) << step;
      ASSERT_EQ(d[0], model[n]) << "block " << n << " step " << step;
      ASSERT_EQ(d[block_size - 1], model[n]);
      held.emplace_back(n, d);
    } else if (action < 9 && !held.empty()) {
      const size_t i = rng() % held.size();
      auto [n, d] = held[i];
      held.erase(held.begin() + static_cast<long>(i));
      if (rng() % 2 == 0) {
        model[n] = static_cast<uint8_t>(rng());
        std::fill_n(d, block_size, model[n]);
        ASSERT_EQ(put_block(f, d, static_cast<int32_t>(rng() % 4 == 0)), 1);
      } else {
        ASSERT_EQ(release_block(f, d), 1);
      }
    } else if (held.empty()) {
      ASSERT_EQ(flush_blocks(f), 1);
    }
  }
  for (auto [n, d] : held) release_block(f, d);
  ASSERT_EQ(close(f), 1);
  const std::vector<uint8_t> disk = read_file(path);
  for (uint32_t n = 1; n < kBlocks; ++n) {
    const size_t at = static_cast<size_t>(n) * block_size;
    EXPECT_EQ(disk[at], model[n]) << n;
    EXPECT_EQ(disk[at + block_size - 1], model[n]) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PoolModelTest,
                         ::testing::Values(92, 512, 4096));

}  // namespace
}  // namespace recbase
