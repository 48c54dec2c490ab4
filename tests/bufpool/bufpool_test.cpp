// The buffer pool: sizing through the exported calls, and the block
// operations the B-tree engine uses, checked against the files on disk.
// The block slots are wrapped to record reads and writes or fail them.
#include "bufpool/bufpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "frame/alloc.h"
#include "frame/platform.h"
#include "recbase/cbt.h"
#include "tests/support/files.h"

namespace recbase {
namespace {

struct IoLog {
  std::vector<uint32_t> writes;       // block numbers, in order
  std::set<uint32_t> failing_writes;  // block numbers whose write fails
  int reads = 0;
  int allocations_left = -1;  // -1: no limit
  std::size_t largest = 0;    // 0: no limit on the size
  int32_t alias = -1, aliased = -1;  // a made-up handle and the real one
};
IoLog g_io;

int32_t real_handle(int32_t h) { return h == g_io.alias ? g_io.aliased : h; }
int32_t logging_writeblock(int32_t h, uint32_t n, int32_t size,
                           const void *data) {
  g_io.writes.push_back(n);
  if (g_io.failing_writes.count(n) != 0) return -1;
  return platform_native().sys_writeblock(real_handle(h), n, size, data);
}
int32_t counting_readblock(int32_t h, uint32_t n, int32_t size, void *data) {
  ++g_io.reads;
  return platform_native().sys_readblock(real_handle(h), n, size, data);
}
bool limited_allocation(std::size_t size) {
  if (g_io.allocations_left == 0) return false;
  if (g_io.largest != 0 && size > g_io.largest) return false;
  if (g_io.allocations_left > 0) --g_io.allocations_left;
  return true;
}

// The byte block n of a test file holds everywhere (block 0 aside).
uint8_t fill_of(uint32_t n) { return static_cast<uint8_t>(n * 7 + 1); }

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { g_io = IoLog{}; }
  void TearDown() override {
    platform_fill();  // real slots again, so that cleanup writes succeed
    g_alloc_hook = nullptr;
    for (LruFile *f : files_) {
      f->handle = real_handle(f->handle);
      close_lru_file(f);
    }
    if (bufpool_current() != nullptr) bufpool_destroy(bufpool_current());
    cbclear_error();
  }
  void init(int32_t count, int32_t size) {
    ASSERT_EQ(cbinit(count, size), 1);
    g_platform.sys_writeblock = logging_writeblock;
    g_platform.sys_readblock = counting_readblock;
  }
  // A file of `blocks` blocks: block 0 starts with the block size, block n
  // is filled with fill_of(n).
  std::string make_file(const std::string &name, int32_t bs, uint32_t blocks) {
    std::vector<uint8_t> bytes(static_cast<size_t>(bs) * blocks);
    for (uint32_t n = 1; n < blocks; ++n) {
      std::fill_n(bytes.begin() + static_cast<long>(n) * bs, bs, fill_of(n));
    }
    bytes[0] = static_cast<uint8_t>(bs),
    bytes[1] = static_cast<uint8_t>(bs >> 8);
    test::write_file(dir_.file(name), bytes);
    return dir_.file(name);
  }
  LruFile *open(const std::string &path) {
    LruFile *f = open_lru_file(path.c_str(), bufpool_current(), 0, 0);
    if (f != nullptr) files_.push_back(f);
    return f;
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
  uint8_t disk_byte(uint32_t n) const {
    return test::read_file(path_).at(n * 512);
  }
  PoolStats stats() { return bufpool_stats(bufpool_current()); }

  test::TempDir dir_;
  std::string path_;
  std::vector<LruFile *> files_;
};

TEST_F(PoolTest, InitNormalisesItsArgumentsAndStopsAtAFailedAllocation) {
  const struct {
    int32_t count, size, want_count, want_size;
  } cases[] = {{0, 0, 16, 512},
               {3, 20, 6, 512},
               {10, 36, 10, 36},
               {-4, -1, 6, 512},
               {6, 35, 6, 512}};
  for (const auto &c : cases) {
    ASSERT_EQ(cbinit(c.count, c.size), 1) << c.count << " " << c.size;
    EXPECT_EQ(cbbufcnt(), c.want_count);
    EXPECT_EQ(cbbufsize(), c.want_size);
    EXPECT_EQ(cbinit(0, 0), -1);  // a pool exists already
    EXPECT_EQ(cberrcode, CBERR_POOL);
    ASSERT_EQ(bufpool_destroy(bufpool_current()), 1);
  }
  EXPECT_EQ(cbaddbufs(4), 0);
  EXPECT_EQ(cberrcode, CBERR_NO_POOL);
  // One allocation for the pool and one for its buffers: fail each in turn.
  g_alloc_hook = limited_allocation;
  for (int ok = 0; ok < 2; ++ok) {
    g_io.allocations_left = ok;
    EXPECT_EQ(cbinit(6, 64), -1) << ok;
    EXPECT_EQ(cberrcode, CBERR_NO_MEMORY) << ok;
    EXPECT_EQ(cbbufcnt(), 0) << ok;
  }
  // Buffers that cannot be had in one piece come in smaller ones, as many
  // as memory gives: here two pieces, each room for two buffers of 64 bytes
  // with their headers but not for five.
  g_io.allocations_left = 4;
  EXPECT_EQ(cbinit(6, 64), 1);
  g_io.largest = 600;
  EXPECT_EQ(cbaddbufs(5), 4);
  EXPECT_EQ(cberrcode, CBERR_NO_MEMORY);
  EXPECT_EQ(stats().buffers, 10);
  EXPECT_EQ(cbrmbufs(100), 4);  // the exported call keeps six
  EXPECT_EQ(cbbufcnt(), 6);
}

TEST_F(PoolTest, OpenRefusesFilesThatCannotBeUsed) {
  init(6, 512);
  const struct {
    std::string path;
    int32_t err;
  } cases[] = {
      {dir_.file("missing"), kPoolIo},
      {make_file("big", 1024, 2), kPoolBlockTooBig},
      {dir_.file("zero"), kPoolIo},
      {dir_.file("negative"), kPoolIo},
      {dir_.file("short"), kPoolIo},
  };
  test::write_file(dir_.file("zero"), {0, 0, 1, 1});
  test::write_file(dir_.file("negative"), {0x00, 0x80, 1, 1});
  test::write_file(dir_.file("short"), {0x40});
  for (const auto &c : cases) {
    EXPECT_EQ(open(c.path), nullptr) << c.path;
    EXPECT_EQ(bufpool_err, c.err) << c.path;
  }
  const std::string same = make_file("same", 512, 2);  // as large as a buffer
  ASSERT_NE(open(same), nullptr);
  EXPECT_EQ(open_lru_file(same.c_str(), nullptr, 0, 0), nullptr);
  EXPECT_EQ(bufpool_err, kPoolNotRegistered);
}

// A get reads a block once and pins it once more; a pinned block is never
// replaced; replacement takes the least recently used buffer, writing it
// back first when dirty, and passes over one whose write fails.
TEST_F(PoolTest, ReplacementTakesTheLeastRecentlyUsedUnpinnedBuffer) {
  LruFile *f = start(12);
  const int reads = g_io.reads;
  uint8_t *one = get_block(f, 1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one[511], fill_of(1));
  EXPECT_EQ(get_block(f, 1), one);
  EXPECT_EQ(g_io.reads, reads + 1);
  EXPECT_EQ(bufpool_use_count(f, 1), 2);
  for (uint32_t n = 2; n <= 6; ++n) ASSERT_NE(get_block(f, n), nullptr);
  EXPECT_EQ(get_block(f, 7), nullptr);
  EXPECT_EQ(bufpool_err, kPoolAllPinned);
  for (int i = 0; i < 3; ++i) release_block(f, one);  // never below 0
  EXPECT_EQ(bufpool_use_count(f, 1), 0);
  for (uint32_t n = 2; n <= 6; ++n) {
    uint8_t *d = get_block(f, n);
    release_block(f, d);
    d[0] = static_cast<uint8_t>(0xD0 + n);
    ASSERT_EQ(put_block(f, d, 0), 1);
  }
  EXPECT_EQ(has_dirty_blocks(f), 1);
  EXPECT_TRUE(g_io.writes.empty());
  // LRU order: 1, 2 .. 6 (dirty). Block 1 goes first, unwritten.
  release_block(f, get_block(f, 7));
  EXPECT_EQ(bufpool_use_count(f, 1), -1);
  g_io.failing_writes = {2};
  release_block(f, get_block(f, 8));
  uint8_t *nine = get_block(f, 9);
  EXPECT_EQ(bufpool_err, kPoolIo);  // reported, and another buffer taken
  release_block(f, nine);
  EXPECT_EQ(g_io.writes, (std::vector<uint32_t>{2, 3, 2, 4}));
  EXPECT_EQ(bufpool_use_count(f, 2), 0);  // kept, still dirty
  EXPECT_EQ(disk_byte(3), 0xD3);
  EXPECT_EQ(disk_byte(5), fill_of(5));  // still only in the pool
  g_io.failing_writes.clear();
  EXPECT_EQ(flush_blocks(f), 1);
  EXPECT_EQ(disk_byte(2), 0xD2);
  EXPECT_EQ(disk_byte(6), 0xD6);
  EXPECT_EQ(has_dirty_blocks(f), 0);
}

// A read in place (read_block), a use for a change (use_block) and a change
// in place (dirty_block, which marks the buffer dirty) are uses, as a get
// and release are; uses made while fresh buffers remain are put in order
// when replacement first needs it. A block the pool lacks is not read.
TEST_F(PoolTest, ReplacementFollowsTheOrderOfUseWhateverTheUse) {
  LruFile *f = start(13);
  for (uint32_t n = 1; n <= 4; ++n) release_block(f, get_block(f, n));
  const int reads = g_io.reads;
  EXPECT_EQ(read_block(f, 9), nullptr);
  bufpool_err = kPoolIo;
  EXPECT_EQ(use_block(f, 9, false), nullptr);
  EXPECT_EQ(bufpool_err, kPoolOk);  // as the get it stands for would leave
  ASSERT_NE(read_block(f, 1), nullptr);
  ASSERT_NE(use_block(f, 2, true), nullptr);
  ASSERT_EQ(dirty_block(f, 3), 1);
  EXPECT_EQ(dirty_block(f, 9), -1);
  for (uint32_t n = 5; n <= 6; ++n) release_block(f, get_block(f, n));
  // Order of last use: 4, 1, 2, 3 (dirty), 5, 6.
  const struct {
    uint32_t get, gone;
  } steps[] = {{7, 4}, {8, 1}, {9, 2}, {10, 3}, {11, 5}};
  for (const auto &s : steps) {
    release_block(f, get_block(f, s.get));
    EXPECT_EQ(bufpool_use_count(f, s.gone), -1) << "getting " << s.get;
    EXPECT_EQ(bufpool_use_count(f, s.get), 0);
  }
  EXPECT_EQ(bufpool_use_count(f, 6), 0);
  EXPECT_EQ(g_io.reads, reads + 2 + 5);
  EXPECT_EQ(g_io.writes, std::vector<uint32_t>{3});
}

// Handles 64 apart hash equal blocks to one chain; removing one buffer
// from the chain keeps the others findable.
TEST_F(PoolTest, BuffersSharingAHashChainAreToldApart) {
  init(8, 512);
  LruFile *a = open(make_file("a", 512, 4));
  LruFile *b = open(make_file("b", 512, 4));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  // b's handle becomes a made-up one 64 above a's; the block slots use the
  // real one.
  g_io.aliased = b->handle;
  g_io.alias = b->handle = a->handle + 64;
  uint8_t *db = get_block(b, 3);  // one chain: a's block 3 above b's
  uint8_t *da = get_block(a, 3);
  ASSERT_NE(db, da);
  EXPECT_EQ(get_block(b, 3), db);
  EXPECT_EQ(bufpool_use_count(a, 3), 1);
  release_block(a, da);
  EXPECT_EQ(purge_block(a, 3), 1);
  EXPECT_EQ(get_block(b, 3), db);  // still found after the unlinks
  EXPECT_EQ(bufpool_use_count(b, 3), 3);
}

}  // namespace
}  // namespace recbase
