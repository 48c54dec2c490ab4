// The Linux platform slots: files and share modes, byte-range locks within
// one process and between processes, the lock retry loop (with a counting
// sleep slot), flushing, printing and the table itself.
#include "frame/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase {
namespace {

using test::read_file;
using test::run_in_child;

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_fill();
    g_sys_last_error = 0;
  }
  void TearDown() override {
    for (int32_t h : handles_) sys_close(h);
    platform_fill();
    g_lock_settings = LockSettings{};
    g_flush_settings = FlushSettings{};
  }
  // Opens and remembers the handle so that TearDown closes it.
  int32_t open(const std::string &path, int32_t writable, int32_t shared) {
    const int32_t h = sys_open(path.c_str(), writable, shared);
    if (h != -1) handles_.push_back(h);
    return h;
  }
  void close(int32_t h) {
    sys_close(h);
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h),
                   handles_.end());
  }
  std::string make_file(const std::string &name, size_t size) {
    const std::string path = dir_.file(name);
    test::write_file(path, std::vector<uint8_t>(size, 0xAB));
    return path;
  }

  test::TempDir dir_;
  std::vector<int32_t> handles_;
};

TEST_F(PlatformTest, CreateWritesBlocksByNumberTimesSizeAndRefusesOldFiles) {
  const std::string old = make_file("old", 10);
  EXPECT_EQ(sys_create(old.c_str()), -1);
  EXPECT_EQ(g_sys_last_error, EEXIST);
  EXPECT_EQ(read_file(old).size(), 10u);  // not truncated

  const std::string path = dir_.file("blocks");
  const int32_t h = sys_create(path.c_str());
  ASSERT_NE(h, -1);
  handles_.push_back(h);
  EXPECT_EQ(sys_open(path.c_str(), 0, 1), -1);  // held exclusively
  std::vector<uint8_t> block(92);
  for (uint32_t n = 0; n < 3; ++n) {
    std::fill(block.begin(), block.end(), static_cast<uint8_t>(n + 1));
    ASSERT_EQ(sys_writeblock(h, n, 92, block.data()), 1);
  }
  const std::vector<uint8_t> disk = read_file(path);
  ASSERT_EQ(disk.size(), 3u * 92);
  EXPECT_EQ(disk[91], 1);
  EXPECT_EQ(disk[92], 2);
  EXPECT_EQ(sys_readblock(h, 2, 92, block.data()), 1);
  EXPECT_EQ(block[0], 3);
  uint32_t size = 0;
  EXPECT_EQ(sys_filesize(h, &size), 1);
  EXPECT_EQ(size, 3u * 92);
}

TEST_F(PlatformTest, BadArgumentsAndShortReadsFailWithoutTouchingTheFile) {
  const std::string path = make_file("args", 64);
  const int32_t h = open(path, 1, 0);
  ASSERT_NE(h, -1);
  uint8_t buffer[36] = {};
  const struct {
    const char *what;
    std::function<int32_t()> call;
    int32_t error;
  } cases[] = {
      {"null create", [&] { return sys_create(nullptr); }, EINVAL},
      {"null open", [&] { return sys_open(nullptr, 1, 1); }, EINVAL},
      {"null remove", [&] { return sys_remove(nullptr); }, EINVAL},
      {"negative offset", [&] { return sys_read(h, -1, 4, buffer); }, EINVAL},
      {"negative length", [&] { return sys_write(h, 0, -4, buffer); }, EINVAL},
      {"null buffer", [&] { return sys_read(h, 0, 4, nullptr); }, EINVAL},
      {"null block buffer", [&] { return sys_writeblock(h, 0, 16, nullptr); },
       EINVAL},
      {"negative block size", [&] { return sys_readblock(h, 0, -16, buffer); },
       EINVAL},
      {"null size", [&] { return sys_filesize(h, nullptr); }, EINVAL},
      {"past 2^31 - 1", [&] { return sys_write(h, INT32_MAX - 2, 4, buffer); },
       EFBIG},
      // 65535 * 32768 + 32768 is 2^31: one byte past the limit.
      {"block past limit",
       [&] { return sys_readblock(h, 65535, 32768, buffer); }, EFBIG},
      // In 32 bits 0xFFFFFFFF * 16 would wrap to a small offset.
      {"block wraps",
       [&] { return sys_writeblock(h, 0xFFFFFFFFu, 16, buffer); }, EFBIG},
      {"unknown handle", [&] { return sys_read(987654, 0, 4, buffer); }, EBADF},
      {"close unknown", [&] { return sys_close(987654); }, EBADF},
      {"unlock bad range", [&] { return sys_unlock(h, -5, 1); }, EINVAL},
      // Reads that run past the end of the file, partly or wholly.
      {"short read", [&] { return sys_read(h, 40, 36, buffer); },
       kShortTransfer},
      {"short block", [&] { return sys_readblock(h, 2, 24, buffer); },
       kShortTransfer},
      {"last block", [&] { return sys_readblock(h, 65534, 32768, buffer); },
       kShortTransfer},
  };
  for (const auto &c : cases) {
    g_sys_last_error = 0;
    EXPECT_EQ(c.call(), -1) << c.what;
    EXPECT_EQ(g_sys_last_error, c.error) << c.what;
  }
  EXPECT_EQ(read_file(path), std::vector<uint8_t>(64, 0xAB));
}

// Share modes hold between handles of one process and between processes.
TEST_F(PlatformTest, ExclusiveAndSharedOpensKeepEachOtherOut) {
  const std::string path = make_file("excl", 8);
  const int32_t h = open(path, 1, 0);
  ASSERT_NE(h, -1);
  EXPECT_EQ(sys_open(path.c_str(), 1, 1), -1);
  EXPECT_EQ(g_sys_last_error, EWOULDBLOCK);
  EXPECT_EQ(sys_open(path.c_str(), 0, 1), -1);
  EXPECT_EQ(sys_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(run_in_child([&] {
              return sys_open(path.c_str(), 0, 1) == -1 &&
                     g_sys_last_error == EWOULDBLOCK;
            }),
            1);
  close(h);
  ASSERT_NE(open(path, 1, 1), -1);
  ASSERT_NE(open(path, 0, 1), -1);
  EXPECT_EQ(sys_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(run_in_child([&] {
              return sys_open(path.c_str(), 1, 1) != -1 &&
                     sys_open(path.c_str(), 1, 0) == -1;
            }),
            1);
}

TEST_F(PlatformTest, RemoveIsRefusedWhileAnotherOpenHoldsTheFile) {
  const std::string path = make_file("held", 8);
  const int32_t h = open(path, 0, 1);
  ASSERT_NE(h, -1);
  EXPECT_EQ(sys_remove(path.c_str()), -1);
  EXPECT_EQ(g_sys_last_error, EBUSY);
  EXPECT_TRUE(test::file_exists(path));
  close(h);
  EXPECT_EQ(sys_remove(path.c_str()), 1);
  EXPECT_FALSE(test::file_exists(path));
  EXPECT_EQ(sys_remove(path.c_str()), -1);
  EXPECT_EQ(g_sys_last_error, ENOENT);
}

TEST_F(PlatformTest, LocksConflictBetweenHandlesOfOneProcess) {
  const std::string path = make_file("locks", 64);
  const int32_t a = open(path, 1, 1);
  const int32_t b = open(path, 1, 1);
  ASSERT_NE(a, -1);
  ASSERT_NE(b, -1);
  EXPECT_EQ(sys_lock(a, 0, 10, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(b, 5, 10, 1, 0, 0), -1);
  EXPECT_EQ(sys_lock(b, 10, 5, 1, 0, 0), 1);  // adjacent, not overlapping
  EXPECT_EQ(sys_unlock(a, 0, 10), 1);
  EXPECT_EQ(sys_lock(b, 0, 10, 1, 0, 0), 1);
  // Length 0 would mean "to the end of the file" to the kernel: refused.
  EXPECT_EQ(sys_lock(a, 20, 0, 1, 0, 0), -1);
  EXPECT_EQ(sys_lock(a, -1, 4, 1, 0, 0), -1);
  // Closing a third handle keeps b's locks; closing b drops them.
  close(open(path, 1, 1));
  EXPECT_EQ(sys_lock(a, 0, 4, 1, 0, 0), -1);
  close(b);
  EXPECT_EQ(sys_lock(a, 0, 4, 1, 0, 0), 1);
}

// Read-only handles share their locks and keep writers out, in this process
// and in another; a child opens its own handles, since an inherited
// descriptor would share the parent's locks.
TEST_F(PlatformTest, LocksBetweenProcessesAndReadOnlyHandles) {
  const std::string path = make_file("readers", 64);
  const int32_t r1 = open(path, 0, 1);
  const int32_t r2 = open(path, 0, 1);
  const int32_t w = open(path, 1, 1);
  ASSERT_EQ(sys_lock(r1, 0, 4, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(r2, 0, 4, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(w, 2, 4, 1, 0, 0), -1);
  ASSERT_EQ(sys_lock(w, 8, 8, 1, 0, 0), 1);
  EXPECT_EQ(run_in_child([&] {
              const int32_t r = sys_open(path.c_str(), 0, 1);
              const int32_t wc = sys_open(path.c_str(), 1, 1);
              return sys_lock(r, 0, 4, 1, 0, 0) == 1 &&
                     sys_lock(wc, 0, 4, 1, 0, 0) == -1 &&
                     sys_lock(wc, 12, 2, 1, 0, 0) == -1 &&
                     sys_lock(wc, 16, 8, 1, 0, 0) == 1;
            }),
            1);
  ASSERT_EQ(sys_unlock(r1, 0, 4), 1);
  ASSERT_EQ(sys_unlock(r2, 0, 4), 1);
  ASSERT_EQ(sys_unlock(w, 8, 8), 1);
  ASSERT_EQ(sys_lock(w, 0, 4, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(r1, 0, 4, 1, 0, 0), -1);
  EXPECT_EQ(run_in_child([&] {
              const int32_t h = sys_open(path.c_str(), 1, 1);
              return sys_lock(h, 8, 8, 1, 0, 0) == 1;
            }),
            1);
}

// A sleep slot that records instead of sleeping, and may release the
// conflicting lock on a given call.
struct SleepLog {
  std::vector<int32_t> delays;
  int release_on_call = 0;
  int32_t release_handle = -1;
  bool really_sleep = false;
};
SleepLog g_sleeps;

int32_t counting_sleep(int32_t ms) {
  g_sleeps.delays.push_back(ms);
  if (static_cast<int>(g_sleeps.delays.size()) == g_sleeps.release_on_call) {
    sys_unlock(g_sleeps.release_handle, 0, 4);
  }
  if (g_sleeps.really_sleep) platform_native().sys_sleep(ms);
  return 1;
}

TEST_F(PlatformTest, LockRetriesSleepBetweenTriesUntilTriesOrTimeoutRunOut) {
  g_platform.sys_sleep = counting_sleep;
  const std::string path = make_file("retry", 16);
  const int32_t holder = open(path, 1, 1), waiter = open(path, 1, 1);
  ASSERT_EQ(sys_lock(holder, 0, 4, 1, 0, 0), 1);
  // One try (or fewer) means no sleep; other failures are not retried.
  for (int32_t tries : {1, 0, -3}) {
    EXPECT_EQ(sys_lock(waiter, 0, 4, tries, 50, 10000), -1) << tries;
  }
  EXPECT_EQ(sys_lock(987654, 0, 4, 25, 50, 10000), -1);
  EXPECT_TRUE(g_sleeps.delays.empty());
  EXPECT_EQ(sys_lock(waiter, 0, 4, 25, 50, 10000), -1);
  EXPECT_EQ(g_sleeps.delays, std::vector<int32_t>(24, 50));

  // More than 60 ms must pass, in sleeps of 20: at least 3, far below 999.
  g_sleeps = SleepLog{};
  g_sleeps.really_sleep = true;
  const uint32_t start = platform_clock_ms();
  EXPECT_EQ(sys_lock(waiter, 0, 4, 1000, 20, 60), -1);
  EXPECT_GE(static_cast<int32_t>(platform_clock_ms() - start), 60);
  EXPECT_GE(g_sleeps.delays.size(), 3u);
  EXPECT_LE(g_sleeps.delays.size(), 10u);

  g_sleeps = SleepLog{};
  g_sleeps.release_on_call = 3;
  g_sleeps.release_handle = holder;
  EXPECT_EQ(sys_lock(waiter, 0, 4, 25, 50, 10000), 1);
  EXPECT_EQ(g_sleeps.delays.size(), 3u);
  EXPECT_EQ(sys_lock(holder, 0, 4, 1, 0, 0), -1);  // now the waiter holds it
}

TEST_F(PlatformTest, SettingsNormaliseTriesAndSkipTheOsFlush) {
  cblock_timeout(0, 7, 300);
  EXPECT_EQ(g_lock_settings.tries, 1);
  EXPECT_EQ(sys_flush(987654), -1);
  EXPECT_EQ(g_sys_last_error, EBADF);
  cb_set_flush(0, 1);
  g_sys_last_error = 0;
  EXPECT_EQ(sys_flush(987654), 1);  // the handle is not even looked at
  EXPECT_EQ(g_sys_last_error, 0);
}

int32_t RBCALL print_a(const char *) { return 1; }

// cbset_print returns the routine it replaces; filling the table restores
// the default, which writes unbuffered to standard output.
TEST_F(PlatformTest, PrintRoutineIsReplacedAndTheDefaultIsUnbuffered) {
  EXPECT_EQ(cbset_print(print_a), platform_native().sys_print);
  EXPECT_EQ(cbset_print(nullptr), print_a);
  platform_fill();
  EXPECT_EQ(g_platform.sys_print, platform_native().sys_print);

  const std::string path = dir_.file("stdout");
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  dup2(fd, STDOUT_FILENO);
  ::close(fd);
  const int32_t first = sys_print("first ");
  // The caller's own output lands at once, in order, without a flush.
  std::fputs("second", stdout);
  const std::vector<uint8_t> text = read_file(path);
  dup2(saved, STDOUT_FILENO);
  ::close(saved);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(std::string(text.begin(), text.end()), "first second");
  EXPECT_EQ(sys_print(nullptr), -1);
}

}  // namespace
}  // namespace recbase
