// Tree handles: create, open, close, flush, exit and the small queries, the
// error-state protocol of the exported calls, and share modes between
// handles of one process and between processes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

class HandlesTest : public CbtTest {};

TEST_F(HandlesTest, CreateUsesDefaultsAndRefusesBlocksLargerThanTheBuffers) {
  CbTree *t = create("t", 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(cbblksize(path("t").c_str()), 512);
  EXPECT_EQ(cbdepth(t), 0);
  ASSERT_EQ(put(t, "ABC", 4), 1);
  EXPECT_EQ(cbdepth(t), 1);
  int32_t item = 0;
  // Letters compare without regard to case under the default function.
  EXPECT_EQ(cbfind(t, "abc", 3, &item), 2);
  EXPECT_EQ(item, 4);
  ASSERT_NE(create("small", 50), nullptr);
  EXPECT_EQ(cbblksize(path("small").c_str()), 92);

  const std::string kept = path("kept");
  write_file(kept, {1, 2, 3});
  EXPECT_EQ(cbcreate(kept.c_str(), nullptr, 1024), nullptr);
  EXPECT_EQ(cberrcode, 17);
  EXPECT_EQ(cbconcode, 9);
  EXPECT_EQ(read_file(kept), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(create("absent", 1024), nullptr);
  EXPECT_FALSE(file_exists(path("absent")));
}

class BigBufferTest : public CbtTest {
 protected:
  BigBufferTest() {
    pool_count_ = 6;
    pool_size_ = 40000;
  }
};

TEST_F(BigBufferTest, BlockSizeMustFitItsSixteenBitField) {
  EXPECT_EQ(create("t", 32768), nullptr);
  EXPECT_EQ(cberrcode, 17);
  EXPECT_FALSE(file_exists(path("t")));
  ASSERT_NE(create("t", 32767), nullptr);
  EXPECT_EQ(cbblksize(path("t").c_str()), 32767);
}

TEST_F(HandlesTest, CreateOfANameOpenHereFailsUnderAnySpelling) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "kept", 1), 1);
  EXPECT_EQ(create("t"), nullptr);
  EXPECT_EQ(cberrcode, 1);
  // Another spelling is not found by name, so it reaches the OS, where the
  // exclusive open holds.
  const std::string other = path("") + "/./t";
  EXPECT_EQ(cbopen(other.c_str(), nullptr), nullptr);
  EXPECT_EQ(cberrcode, 2);
  EXPECT_EQ(cbconcode, 2);
  EXPECT_EQ(cbcreate(other.c_str(), nullptr, 0), nullptr);
  EXPECT_EQ(cberrcode, 1);
  int32_t item = 0;
  EXPECT_EQ(cbfind(t, "kept", 4, &item), 2);
  ASSERT_EQ(cbclose(t), 1);

  // Once closed, the file is replaced by an empty tree.
  CbTree *again = create("t");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(cbhead(again, &item), -3);
  EXPECT_EQ(read_file(path("t")).size(), 512u);
}

TEST_F(HandlesTest, HandlesShareTheFileUntilTheLastClosesButNotModes) {
  ASSERT_EQ(cbclose(create("t")), 1);
  const std::string name = path("t");
  CbTree *shared = cbopen_shared(name.c_str(), nullptr, 1, 0);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(cbopen(name.c_str(), nullptr), nullptr);
  EXPECT_EQ(cberrcode, 28);
  EXPECT_EQ(cbconcode, 2);
  ASSERT_EQ(cbclose(shared), 1);

  CbTree *a = cbopen(name.c_str(), nullptr);
  CbTree *b = cbopen(name.c_str(), nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(a, b);
  ASSERT_EQ(put(a, "x", 1), 1);
  int32_t item = 0;
  EXPECT_EQ(cbfind(b, "x", 1, &item), 2);
  // Each handle has its own position.
  EXPECT_EQ(cbcurr(a, &item), -2);
  EXPECT_EQ(cbopen_shared(name.c_str(), nullptr, 1, 0), nullptr);
  EXPECT_EQ(cberrcode, 28);
  EXPECT_EQ(cbconcode, 2);

  ASSERT_EQ(cbclose(a), 1);
  EXPECT_EQ(cbinsert(a, "y", 1, 2, 1), -1);
  EXPECT_EQ(cberrcode, 19);
  ASSERT_EQ(put(b, "y", 2), 1);
  EXPECT_EQ(create("t"), nullptr);  // still open through b
  ASSERT_EQ(cbclose(b), 1);

  // Closed for good: a damaged control record on disk is now noticed.
  patch_file(name, 24, {0xFF});
  EXPECT_EQ(cbopen(name.c_str(), nullptr), nullptr);
  EXPECT_EQ(cberrcode, 16);
}

TEST_F(HandlesTest, AFileFirstOpenedReadOnlyIsNeverWritten) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "a", 1), 1);
  ASSERT_EQ(cbclose(t), 1);
  const std::string name = path("t");
  const std::vector<uint8_t> before = read_file(name);
  CbTree *ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  // A later writable handle shares the first open's read-only OS handle:
  // its changes cannot be written back, and that is reported.
  CbTree *rw = cbopen_shared(name.c_str(), nullptr, 0, 0);
  ASSERT_NE(rw, nullptr);
  int32_t r = 1;
  for (int i = 0; i < 40 && r == 1; ++i) r = put(rw, numbered_key(i, 20), i);
  EXPECT_EQ(r, -1);  // a new block must be written at once
  EXPECT_EQ(cberrcode, 8);
  EXPECT_EQ(cbflush(rw), -1);
  EXPECT_EQ(cberrcode, 11);
  EXPECT_EQ(cbconcode, 50);
  cbclose(rw);
  EXPECT_EQ(cbclose(ro), -1);
  EXPECT_EQ(read_file(name), before);
}

TEST_F(HandlesTest, ExitStopsAtTheFirstFailingCloseAndCanBeRepeated) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "kept", 1), 1);
  ASSERT_EQ(cbclose(t), 1);
  const std::string name = path("t");
  const std::vector<uint8_t> before = read_file(name);
  CbTree *ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  CbTree *rw = cbopen_shared(name.c_str(), nullptr, 0, 0);
  ASSERT_NE(ro, nullptr);
  ASSERT_NE(rw, nullptr);
  ASSERT_EQ(put(rw, "lost", 1), 1);  // held in the pool; the disk refuses it
  EXPECT_EQ(cbexit(), -1);
  EXPECT_EQ(cberrcode, 11);
  EXPECT_EQ(cbconcode, 50);
  EXPECT_EQ(cbbufsize(), 512);  // the pool stays
  EXPECT_EQ(cbdepth(ro), 1);    // and so does the handle not yet reached
  EXPECT_EQ(cbdepth(rw), -1);   // the failed one is gone all the same
  EXPECT_EQ(cbexit(), -1);
  EXPECT_EQ(cberrcode, 12);
  EXPECT_EQ(cbconcode, 19);
  EXPECT_EQ(cbexit(), 1);
  EXPECT_EQ(cbbufsize(), 0);
  EXPECT_EQ(read_file(name), before);
}

TEST_F(HandlesTest, DefaultCompareFoldsLettersAndPutsShortKeysFirst) {
  const struct {
    std::string a, b;
    int32_t want;
  } cases[] = {
      {"ab", "abc", -1},  {"abc", "ab", 1},     {"b", "abc", 1},
      {"", "", 0},        {"", "a", -1},        {"a", "", 1},
      {"", std::string(1, '\0'), -1},          {"ABC", "abc", 0},
      {"aBc", "AbC", 0},  {"_", "A", -1},  // 0x5F against 'a' (0x61)
      {"Z", "[", 1},                       // 'z' (0x7A) against 0x5B
      {"@", "a", -1},     {"\x80", "\x7F", 1},  // unsigned bytes
      {"\xC1", "\xE1", -1},                    // only ASCII letters fold
  };
  cberrcode = 5;
  for (const auto &c : cases) {
    EXPECT_EQ(cbkeycmp(c.a.data(), static_cast<int32_t>(c.a.size()),
                       c.b.data(), static_cast<int32_t>(c.b.size())),
              c.want)
        << c.a << " against " << c.b;
  }
  EXPECT_EQ(cberrcode, 5);
}

// Insert, delete and modify through a read-only handle: refused with 32,
// the context code untouched, the position kept, the file unchanged.
TEST_F(HandlesTest, ReadOnlyHandlesCannotChangeTheTree) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  for (int n = 0; n < 40; ++n) ASSERT_EQ(put(t, key(n), n), 1);
  const std::string name = path("t");
  CbTree *ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  cbconcode = 44;
  EXPECT_EQ(put(ro, "b", 2), -1);
  EXPECT_EQ(cberrcode, 32);
  EXPECT_EQ(cbconcode, 44);
  // The flag belongs to the handle: the writable one still inserts.
  EXPECT_EQ(put(t, "b", 2), 1);
  int32_t item = 0;
  EXPECT_EQ(cbfind(ro, "b", 1, &item), 2);
  ASSERT_EQ(cbexit(), 1);

  // The read-only handle alone on the file.
  ASSERT_EQ(cbinit(0, 0), 1);
  const std::vector<uint8_t> before = read_file(name);
  ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  ASSERT_EQ(cbfind(ro, key(5).data(), 20, &item), 2);
  const std::function<int32_t()> changes[] = {
      [&] { return put(ro, "c", 3); },
      [&] { return del(ro, key(5), 5); },
      [&] { return modify(ro, key(5), 5, "z", 1); },
      [&] { return modify(ro, key(5), 5, key(5), 5); },  // even to itself
  };
  for (const auto &change : changes) {
    cbconcode = 44;
    EXPECT_EQ(change(), -1);
    EXPECT_EQ(cberrcode, 32);
    EXPECT_EQ(cbconcode, 44);
    EXPECT_EQ(cbcurr(ro, &item), 1);
    EXPECT_EQ(item, 5);
  }
  EXPECT_EQ(cbt::check_tree(ro), "");
  EXPECT_EQ(walk_forward(ro).size(), 41u);
  EXPECT_EQ(cbclose(ro), 1);
  EXPECT_EQ(read_file(name), before);
  EXPECT_EQ(cbt::check_tree_file(name.c_str(), nullptr), "");
}

TEST_F(HandlesTest, ExitClosesEveryHandleAndWritesItBack) {
  CbTree *a = create("a");
  CbTree *b = create("b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(cbopen(path("a").c_str(), nullptr), nullptr);
  ASSERT_EQ(put(a, "in a", 1), 1);
  ASSERT_EQ(put(b, "in b", 2), 1);
  EXPECT_EQ(cbexit(), 1);
  EXPECT_EQ(cbfcncode, 3);  // it closed handles
  EXPECT_EQ(cbbufsize(), 0);
  EXPECT_EQ(cbexit(), -1);
  EXPECT_EQ(cberrcode, 3);
  EXPECT_EQ(cbconcode, 3);
  EXPECT_EQ(cbfcncode, 2);

  ASSERT_EQ(cbinit(0, 0), 1);
  EXPECT_EQ(cbdepth(a), -1);  // old handles died with the library
  CbTree *ra = cbopen(path("a").c_str(), nullptr);
  CbTree *rb = cbopen(path("b").c_str(), nullptr);
  ASSERT_NE(ra, nullptr);
  ASSERT_NE(rb, nullptr);
  EXPECT_EQ(walk_forward(ra), (PairList{{"in a", 1}}));
  EXPECT_EQ(walk_forward(rb), (PairList{{"in b", 2}}));
  EXPECT_EQ(DiskControl(read_file(path("a"))).key_count, 1u);
}

TEST_F(HandlesTest, OpenAndBlockSizeNeedAPool) {
  ASSERT_EQ(cbclose(create("t", 92)), 1);
  const std::string name = path("t");
  EXPECT_EQ(cbblksize(name.c_str()), 92);  // read from the closed file
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbopen(name.c_str(), nullptr), nullptr);
  EXPECT_EQ(cberrcode, 3);
  // Without a pool the buffers are 0 bytes: too small for any block.
  EXPECT_EQ(create("u"), nullptr);
  EXPECT_EQ(cberrcode, 17);
  EXPECT_FALSE(file_exists(path("u")));
  EXPECT_EQ(cbblksize(name.c_str()), -1);
  EXPECT_EQ(cberrcode, 3);
}

// One successful call: its function code, and whether it cleared the error
// and context codes on entry.
struct Call {
  const char *name;
  int32_t fcn;
  bool clears;
  std::function<int32_t()> run;
};
TEST_F(HandlesTest, EveryCallStoresItsCodeAndOnlySomeClearErrors) {
  const std::string name = path("t");
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "a", 1), 1);
  ASSERT_EQ(put(t, "b", 2), 1);
  CbTree *second = nullptr;
  int32_t item = 0;
  char buf[4];
  auto ok = [](bool b) { return b ? 1 : -1; };
  const std::vector<Call> calls = {
      {"cbinsert", 16, false, [&] { return put(t, "c", 3); }},
      {"cbfind", 19, false, [&] { return ok(cbfind(t, "a", 1, &item) == 2); }},
      {"cbfinditem", 20, false,
       [&] {
         item = 2;
         return ok(cbfinditem(t, "b", 1, &item) == 2);
       }},
      {"cbhead", 9, false, [&] { return cbhead(t, &item); }},
      {"cbnext", 11, false, [&] { return cbnext(t, &item); }},
      {"cbprev", 12, false, [&] { return cbprev(t, &item); }},
      {"cbtail", 10, false, [&] { return cbtail(t, &item); }},
      {"cbcurr", 13, false, [&] { return cbcurr(t, &item); }},
      {"cbkey", 14, false, [&] { return cbkey(t, buf, 4); }},
      {"cbkeylen", 15, false, [&] { return cbkeylen(t, &item); }},
      {"cbmark", 21, false, [&] { return cbmark(t); }},
      {"cbfindmark", 22, false, [&] { return cbfindmark(t, &item); }},
      {"cbdepth", 27, false, [&] { return cbdepth(t); }},
      {"cbblksize", 28, false,
       [&] { return ok(cbblksize(name.c_str()) == 512); }},
      {"cbflush", 6, true, [&] { return cbflush(t); }},
      {"cbopen", 7, true,
       [&] { return ok((second = cbopen(name.c_str(), nullptr)) != nullptr); }},
      {"cbclose", 3, true, [&] { return cbclose(second); }},
      {"cbopen_shared", 8, true,
       [&] {
         return ok((second = cbopen_shared(name.c_str(), nullptr, 0, 1)) !=
                   nullptr);
       }},
      {"cbcreate", 4, true,
       [&] { return ok(cbcreate(path("c").c_str(), nullptr, 0) != nullptr); }},
      {"cbscreate", 4, true,
       [&] {
         return ok(cbscreate(path("s").c_str(), nullptr, 0, 0) != nullptr);
       }},
      {"cbexit", 3, true, [&] { return cbexit(); }},
  };
  for (const Call &c : calls) {
    cbclear_error();
    EXPECT_EQ(cbget_errcode() | cbget_concode() | cbget_fcncode(), 0);
    cberrcode = 99;
    cbconcode = 98;
    cbfcncode = 0;
    EXPECT_EQ(c.run(), 1) << c.name;
    EXPECT_EQ(cbfcncode, c.fcn) << c.name;
    EXPECT_EQ(cberrcode, c.clears ? 0 : 99) << c.name;
    EXPECT_EQ(cbconcode, c.clears ? 0 : 98) << c.name;
    EXPECT_EQ(cbget_errcode(), cberrcode);
    EXPECT_EQ(cbget_concode(), cbconcode);
    EXPECT_EQ(cbget_fcncode(), cbfcncode);
  }
}

// The child starts over with a library of its own, as another process
// would: "x" is open exclusively here and keeps it out in both share modes;
// "s" is open shared here and the child shares it too.
TEST_F(HandlesTest, ShareModesHoldBetweenProcesses) {
  CbTree *x = create("x");
  ASSERT_NE(x, nullptr);
  ASSERT_EQ(put(x, "a", 1), 1);
  ASSERT_EQ(cbflush(x), 1);
  ASSERT_EQ(cbclose(create("s")), 1);
  const std::string xname = path("x"), sname = path("s");
  CbTree *t = cbopen_shared(sname.c_str(), nullptr, 1, 0);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "parent", 1), 1);
  const int status = run_in_child([&] {
    if (cbexit() != 1 || cbinit(0, 0) != 1) return 10;
    if (cbopen(xname.c_str(), nullptr) != nullptr || cberrcode != 2) return 1;
    if (cbopen_shared(xname.c_str(), nullptr, 1, 0) != nullptr) return 2;
    if (cberrcode != 2) return 3;
    if (cbopen(sname.c_str(), nullptr) != nullptr) return 4;
    CbTree *c = cbopen_shared(sname.c_str(), nullptr, 1, 0);
    if (c == nullptr) return 5;
    int32_t item = 0;
    if (cbfind(c, "parent", 6, &item) != 2 || item != 1) return 6;
    if (put(c, "child", 2) != 1) return 7;
    return cbexit() == 1 ? 0 : 8;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(cbdepth(x), 1);
  // The child's pair reaches this process through the shared file.
  EXPECT_EQ(walk_forward(t), (PairList{{"child", 2}, {"parent", 1}}));
}

}  // namespace
}  // namespace recbase::test
