// The frame: message lookups and the error printers (through a print
// routine of the test's own), member sets against a model, and the
// platform slots: blocks by number, bad arguments, share modes and
// byte-range locks within a process and between processes; memory backed
// ahead of its first touch.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "frame/alloc.h"
#include "frame/platform.h"
#include "recbase/cbt.h"
#include "recbase/isam.h"
#include "tests/support/files.h"
#include "tests/support/spawn.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace recbase {
namespace {

std::vector<std::string> g_printed;
int g_fail_print_call = 0;  // 1-based call that returns -1; 0 for none

int32_t RBCALL capture(const char *text) {
  g_printed.emplace_back(text);
  return static_cast<int>(g_printed.size()) == g_fail_print_call ? -1 : 1;
}
bool refuse_allocation(std::size_t) { return false; }

// One call of the print routine; without memory, seven, and a failing
// piece fails the whole while the rest still go out. Printing changes no
// error variable.
TEST(MessagesTest, ErrorsPrintAsContextFunctionAndMessage) {
  const RbPrint previous = cbset_print(capture);
  cberrcode = CBERR_OPEN, cbfcncode = CBFN_OPEN_SHARED, cbconcode = CBCTX_OPEN;
  EXPECT_EQ(cbprterr(), 1);
  EXPECT_EQ(g_printed,
            std::vector<std::string>{
                "context: opening btree file for read/write, "
                "function: cbopen_shared\ncannot open a btree file\n"});
  cberrcode = CBERR_DUP_KEY, cbfcncode = CBFN_INSERT;
  cbconcode = CBCTX_INSERT_KEY;
  g_alloc_hook = refuse_allocation;
  const std::vector<std::string> pieces = {"context: ",
                                           "inserting key into node",
                                           ", function: ",
                                           "cbinsert",
                                           "\n",
                                           "duplicate key not allowed",
                                           "\n"};
  for (int fail : {0, 4}) {
    g_printed.clear();
    g_fail_print_call = fail;
    EXPECT_EQ(cbprterr(), fail == 0 ? 1 : -1);
    EXPECT_EQ(g_printed, pieces);
  }
  g_alloc_hook = nullptr;
  EXPECT_EQ(cberrcode, CBERR_DUP_KEY);
  EXPECT_EQ(cbfcncode, CBFN_INSERT);
  EXPECT_EQ(cbconcode, CBCTX_INSERT_KEY);
  g_printed.clear();
  g_fail_print_call = 0;
  iset_errno(ISERR_CBT);
  EXPECT_EQ(iprterr(), 1);
  EXPECT_EQ(g_printed, std::vector<std::string>{"Error from cbt level\n"});
  cbset_print(previous);
  cbclear_error();
  isam_errno = 0;
}

// Removing a member relinks the rest; objects that are not members are
// refused.
TEST(RegistryTest, DeleteRelinksTheRestOfTheSet) {
  void *records[5][1] = {};
  void *set = nullptr;
  for (auto &r : records) add_member(&set, r);
  EXPECT_EQ(del_member(&set, records[2]), 1);
  EXPECT_EQ(del_member(&set, records[2]), 0);
  EXPECT_EQ(del_member(&set, records[4]), 1);  // the head
  for (int i : {0, 1, 3}) EXPECT_EQ(is_member(&set, records[i]), 1) << i;
  EXPECT_EQ(is_member(&set, nullptr), 0);
}

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { platform_fill(); }
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
  std::string make_file(const std::string &name, size_t size) {
    test::write_file(dir_.file(name), std::vector<uint8_t>(size, 0xAB));
    return dir_.file(name);
  }
  test::TempDir dir_;
  std::vector<int32_t> handles_;
};

TEST_F(PlatformTest, BlocksAreAtNumberTimesSizeAndBadCallsTouchNothing) {
  EXPECT_EQ(sys_create(make_file("old", 10).c_str()), -1);
  EXPECT_EQ(g_sys_last_error, test::kNativeErrors.exists);
  const std::string path = dir_.file("blocks");
  const int32_t h = sys_create(path.c_str());
  ASSERT_NE(h, -1);
  handles_.push_back(h);
  std::vector<uint8_t> block(92);
  for (uint32_t n = 0; n < 3; ++n) {
    std::fill(block.begin(), block.end(), static_cast<uint8_t>(n + 1));
    ASSERT_EQ(sys_writeblock(h, n, 92, block.data()), 1);
  }
  EXPECT_EQ(test::read_file(path)[92], 2);
  EXPECT_EQ(sys_readblock(h, 2, 92, block.data()), 1);
  EXPECT_EQ(block[91], 3);
  uint8_t buffer[36] = {};
  const test::NativeErrors &e = test::kNativeErrors;
  const struct {
    const char *what;
    std::function<int32_t()> call;
    int32_t error;
  } cases[] = {
      {"null open", [&] { return sys_open(nullptr, 1, 1); }, e.invalid},
      {"negative offset", [&] { return sys_read(h, -1, 4, buffer); },
       e.invalid},
      {"null buffer", [&] { return sys_read(h, 0, 4, nullptr); }, e.invalid},
      {"past 2^31 - 1", [&] { return sys_write(h, INT32_MAX - 2, 4, buffer); },
       e.too_big},
      {"block past 2^31",
       [&] { return sys_readblock(h, 65535, 32768, buffer); }, e.too_big},
      {"block wraps 32 bits",
       [&] { return sys_writeblock(h, 0xFFFFFFFFu, 16, buffer); }, e.too_big},
      {"unknown handle", [&] { return sys_read(987654, 0, 4, buffer); },
       e.bad_handle},
      {"short read", [&] { return sys_read(h, 270, 10, buffer); },
       kShortTransfer},
      {"short block", [&] { return sys_readblock(h, 11, 24, buffer); },
       kShortTransfer},
  };
  for (const auto &c : cases) {
    g_sys_last_error = 0;
    EXPECT_EQ(c.call(), -1) << c.what;
    EXPECT_EQ(g_sys_last_error, c.error) << c.what;
  }
  EXPECT_EQ(test::read_file(path).size(), 3u * 92);
}

// A child process's opens of a file: each argument after the path is
// "WS" (writable, shared); the handles stay open until the child ends. Its
// exit code has bit i set when open i succeeded.
int child_opens(const std::vector<std::string> &args) {
  platform_fill();
  int opened = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const int32_t h = sys_open(args[0].c_str(), args[i][0] == '1',
                               args[i][1] == '1');
    if (h != -1) opened |= 1 << (i - 1);
  }
  return opened;
}
const test::ChildRole kOpens("opens", child_opens);

// A child process's locks through a read-only and a writable shared handle:
// each argument after the path is "r OFFSET LENGTH" or "w OFFSET LENGTH".
// Bit i of the exit code is set when lock i was had.
int child_locks(const std::vector<std::string> &args) {
  platform_fill();
  const int32_t r = sys_open(args[0].c_str(), 0, 1);
  const int32_t w = sys_open(args[0].c_str(), 1, 1);
  int locked = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    char kind = 0;
    int offset = 0, length = 0;
    std::sscanf(args[i].c_str(), "%c %d %d", &kind, &offset, &length);
    if (sys_lock(kind == 'r' ? r : w, offset, length, 1, 0, 0) == 1) {
      locked |= 1 << (i - 1);
    }
  }
  return locked;
}
const test::ChildRole kLocks("locks", child_locks);

// Share modes hold between handles of one process and between processes;
// a file held by another open is not removed.
TEST_F(PlatformTest, ExclusiveAndSharedOpensKeepEachOtherOut) {
  const std::string path = make_file("excl", 8);
  const int32_t h = open(path, 1, 0);
  ASSERT_NE(h, -1);
  EXPECT_EQ(sys_open(path.c_str(), 0, 1), -1);
  EXPECT_EQ(g_sys_last_error, test::kNativeErrors.shared);
  EXPECT_EQ(sys_remove(path.c_str()), -1);
  EXPECT_EQ(g_sys_last_error, test::kNativeErrors.held);
  EXPECT_EQ(test::run_child("opens", {path, "01", "10"}), 0);
  sys_close(h);
  handles_.clear();
  ASSERT_NE(open(path, 0, 1), -1);
  EXPECT_EQ(sys_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(test::run_child("opens", {path, "11", "10"}), 1);
  for (int32_t held : handles_) sys_close(held);
  handles_.clear();
  EXPECT_EQ(sys_remove(path.c_str()), 1);
}

// Locks exclude overlapping locks of other handles, in this process and in
// another. Read-only handles share theirs where the system has shared locks
// (Linux), and keep writers out either way.
TEST_F(PlatformTest, ByteRangeLocksConflictWithinAndBetweenProcesses) {
  const std::string path = make_file("locks", 64);
  const int32_t r1 = open(path, 0, 1), r2 = open(path, 0, 1);
  const int32_t w = open(path, 1, 1);
  const bool shared = test::kReadOnlyLocksShared;
  ASSERT_EQ(sys_lock(r1, 0, 4, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(r2, 0, 4, 1, 0, 0), shared ? 1 : -1);
  EXPECT_EQ(sys_lock(w, 2, 4, 1, 0, 0), -1);
  EXPECT_EQ(sys_lock(w, 4, 4, 1, 0, 0), 1);    // adjacent, not overlapping
  EXPECT_EQ(sys_lock(w, 20, 0, 1, 0, 0), -1);  // 0 would mean "to the end"
  EXPECT_EQ(test::run_child("locks",
                            {path, "r 0 4", "w 0 4", "w 7 2", "w 8 8"}),
            (shared ? 1 : 0) | 1 << 3);
  ASSERT_EQ(sys_unlock(r1, 0, 4), 1);
  if (shared) {
    ASSERT_EQ(sys_unlock(r2, 0, 4), 1);
  }
  EXPECT_EQ(sys_lock(w, 0, 4, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(r1, 3, 1, 1, 0, 0), -1);
}

// Backing memory ahead keeps what the memory holds, whatever the range
// (unaligned ends, shorter than a page, empty); on Linux it gives memory to
// exactly the whole pages inside the range and to no page around it.
TEST(BackMemoryTest, WholePagesInsideTheRangeAndNothingElseChanges) {
  std::vector<uint8_t> held(70000);
  for (size_t i = 0; i < held.size(); ++i) held[i] = uint8_t(i * 7 + 1);
  const std::vector<uint8_t> before = held;
  for (const auto &[from, length] :
       {std::pair<size_t, size_t>{0, 70000}, {1, 4095}, {4097, 65536},
        {5000, 0}, {69999, 1}}) {
    platform_back_memory(held.data() + from, length);
  }
  EXPECT_EQ(held, before);
#if defined(__linux__)
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  constexpr size_t kPages = 8;
  void *raw = mmap(nullptr, kPages * page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(raw, MAP_FAILED);
  auto *fresh = static_cast<uint8_t *>(raw);
  // From the middle of page 1 to the middle of page 6: pages 2 to 5.
  platform_back_memory(fresh + page + page / 2, 5 * page);
  std::vector<unsigned char> resident(kPages);
  ASSERT_EQ(mincore(raw, kPages * page, resident.data()), 0);
  for (size_t i = 0; i < kPages; ++i) {
    EXPECT_EQ(resident[i] & 1, i >= 2 && i <= 5 ? 1 : 0) << "page " << i;
  }
  for (size_t i = 0; i < kPages * page; ++i) ASSERT_EQ(fresh[i], 0);
  munmap(raw, kPages * page);
#endif
}

}  // namespace
}  // namespace recbase
