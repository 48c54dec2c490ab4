// Tree handles and bad input: create, open, close and exit, read-only and
// share modes (in this process and between processes), names that cannot
// be tree files, handles that are not open trees, impossible keys, broken
// compare functions, and control records that cannot describe their file.
// Every refusal gives its codes; none may crash or change the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "frame/platform.h"
#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

class HandlesTest : public LibTest {};

TEST_F(HandlesTest, CreateRefusesWhatItCannotMakeAndLeavesOldFilesAlone) {
  write_file(path("kept"), {1, 2, 3});
  const struct {
    std::string name;
    int32_t block_size, err, ctx;
  } cases[] = {
      {path("kept"), 1024, CBERR_BLOCK_SIZE, CBCTX_NEW_CONTROL},  // > buffers
      {path("absent"), 1024, CBERR_BLOCK_SIZE, CBCTX_NEW_CONTROL},
      {"", 0, CBERR_CREATE, CBCTX_CREATE},
      {path(""), 0, CBERR_CREATE, CBCTX_CREATE},  // a directory
  };
  for (const auto &c : cases) {
    EXPECT_EQ(cbcreate(c.name.c_str(), nullptr, c.block_size), nullptr);
    EXPECT_EQ(cberrcode, c.err) << c.name;
    EXPECT_EQ(cbconcode, c.ctx) << c.name;
  }
  EXPECT_EQ(cbcreate(nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(cberrcode, CBERR_CREATE);
  EXPECT_EQ(open("absent"), nullptr);
  EXPECT_EQ(cberrcode, CBERR_OPEN);
  EXPECT_EQ(cbconcode, CBCTX_OPEN);
  EXPECT_EQ(read_file(path("kept")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(file_exists(path("absent")));
  EXPECT_TRUE(file_exists(path("")));
  // A name open here is not created again, under any spelling.
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "kept", 1), 1);
  for (const std::string &name : {path("t"), path("") + "/./t"}) {
    EXPECT_EQ(cbcreate(name.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(cberrcode, CBERR_CREATE);
  }
  EXPECT_EQ(walk_forward(t), (PairList{{"kept", 1}}));
}

TEST_F(HandlesTest, HandlesShareTheFileUntilTheLastClosesButNotModes) {
  ASSERT_EQ(cbclose(create("t")), 1);
  const std::string name = path("t");
  CbTree *shared = cbopen_shared(name.c_str(), nullptr, 1, 0);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(open("t"), nullptr);
  EXPECT_EQ(cberrcode, CBERR_SHARE_CONFLICT);
  EXPECT_EQ(cbconcode, CBCTX_OPEN);
  ASSERT_EQ(cbclose(shared), 1);
  CbTree *a = open("t");
  CbTree *b = open("t");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(put(a, "x", 1), 1);
  int32_t item = 0;
  EXPECT_EQ(cbfind(b, "X", 1, &item), 2);  // cbkeycmp folds case
  EXPECT_EQ(cbcurr(a, &item), -2);         // each handle its own position
  EXPECT_EQ(cbopen_shared(name.c_str(), nullptr, 1, 0), nullptr);
  EXPECT_EQ(cberrcode, CBERR_SHARE_CONFLICT);
  ASSERT_EQ(cbclose(a), 1);
  // A closed handle stays refused while new handles are opened after it.
  std::vector<CbTree *> closed{a};
  for (int i = 0; i < 20; ++i) {
    closed.push_back(open("t"));
    ASSERT_EQ(cbclose(closed.back()), 1);
  }
  CbTree *fresh = open("t");
  for (CbTree *old : closed) {
    EXPECT_EQ(put(old, "y", 2), -1);
    EXPECT_EQ(cberrcode, CBERR_BAD_TREE);
  }
  ASSERT_EQ(cbclose(fresh), 1);
  ASSERT_EQ(put(b, "y", 2), 1);
  EXPECT_EQ(create("t"), nullptr);  // still open through b
  ASSERT_EQ(cbclose(b), 1);
  patch_file(name, 24, {0xFF});  // closed for good: damage is now noticed
  EXPECT_EQ(open("t"), nullptr);
  EXPECT_EQ(cberrcode, CBERR_PARITY);
}

// The default order folds the ASCII capitals alone, whatever the byte's
// place in a long key: bytes around 'A'..'Z' and their images with the top
// bit set, at the first, a middle and the last byte of a key's first eight
// and past them. Walks and finds follow a plain reference.
TEST_F(HandlesTest, TheDefaultOrderFoldsOnlyAsciiCapitals) {
  auto folded = [](std::string k) {
    for (char &c : k) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return k;
  };
  auto less = [&](const Pair &a, const Pair &b) {
    const std::string x = folded(a.first), y = folded(b.first);
    const int c = std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
    if (c != 0) return c < 0;
    return x.size() != y.size() ? x.size() < y.size() : a.second < b.second;
  };
  const uint8_t bytes[] = {0x00, 0x40, 'A', 'M', 'Z', 0x5B, 0x60, 'a',
                           'm',  'z',  0x7B, 0xC1, 0xDA, 0xE1, 0xFA, 0xFF};
  PairList pairs;
  for (size_t at : {0, 3, 7, 9}) {
    for (uint8_t b : bytes) {
      std::string k = "mmmmmmmmmmmm";
      k[at] = static_cast<char>(b);
      pairs.emplace_back(k, static_cast<int32_t>(pairs.size()));
      pairs.emplace_back(k.substr(0, at + 1), static_cast<int32_t>(pairs.size()));
    }
  }
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  for (const Pair &p : pairs) ASSERT_EQ(put(t, p.first, p.second), 1);
  ASSERT_GE(cbdepth(t), 2);
  std::sort(pairs.begin(), pairs.end(), less);
  // Equal neighbours share the text of one of them: compare folded keys.
  PairList walked = walk_forward(t), want = pairs;
  for (PairList *l : {&walked, &want}) {
    for (Pair &p : *l) p.first = folded(p.first);
  }
  EXPECT_EQ(walked, want);
  for (const Pair &p : pairs) {
    int32_t item = p.second;
    EXPECT_EQ(cbfinditem(t, p.first.data(), static_cast<int32_t>(p.first.size()),
                         &item), 2) << p.second;
  }
}

// Insert, delete and modify through a read-only handle: refused with
// CBERR_READ_ONLY, the context untouched, the position kept, the file
// unchanged; the writable handle beside it still changes the tree.
TEST_F(HandlesTest, ReadOnlyHandlesCannotChangeTheTree) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  for (int n = 0; n < 40; ++n) ASSERT_EQ(put(t, key(n), n), 1);
  CbTree *ro = cbopen_shared(path("t").c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  int32_t item = 0;
  ASSERT_EQ(cbfind(ro, key(5).data(), 20, &item), 2);
  const std::vector<uint8_t> before = flushed(t, "t");
  const std::function<int32_t()> changes[] = {
      [&] { return put(ro, "c", 3); }, [&] { return del(ro, key(5), 5); },
      [&] { return modify(ro, key(5), 5, "z", 1); },
      [&] { return modify(ro, key(5), 5, key(5), 5); },  // even to itself
  };
  for (const auto &change : changes) {
    cbconcode = 44;
    EXPECT_EQ(change(), -1);
    EXPECT_EQ(cberrcode, CBERR_READ_ONLY);
    EXPECT_EQ(cbconcode, 44);
    EXPECT_EQ(cbcurr(ro, &item), 1);
    EXPECT_EQ(item, 5);
  }
  EXPECT_EQ(flushed(t, "t"), before);
  EXPECT_EQ(put(t, "b", 2), 1);
  EXPECT_EQ(cbfind(ro, "b", 1, &item), 2);
}

// Exit closes (and writes back) every handle; without a pool nothing
// opens, and old handles died with the library.
TEST_F(HandlesTest, ExitClosesEveryHandleAndNothingWorksWithoutAPool) {
  CbTree *a = create("a", 92);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(put(a, "in a", 1), 1);
  EXPECT_EQ(cbexit(), 1);
  EXPECT_EQ(cbexit(), -1);
  EXPECT_EQ(cberrcode, CBERR_NO_POOL);
  EXPECT_EQ(open("a"), nullptr);
  EXPECT_EQ(cberrcode, CBERR_NO_POOL);
  ASSERT_EQ(cbinit(0, 0), 1);
  EXPECT_EQ(cbdepth(a), -1);
  EXPECT_EQ(cbblksize(path("a").c_str()), 92);
  EXPECT_EQ(walk_forward(open("a")), (PairList{{"in a", 1}}));
}

TEST_F(HandlesTest, KeysMustHaveBytesAndALengthButTheEmptyKeyNeedsNone) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "a", 1), 1);
  int32_t item = 0;
  for (const auto &[key, len] : {std::pair<const char *, int32_t>{nullptr, 3},
                                 {"abc", -1},
                                 {"abc", INT32_MIN}}) {
    const std::function<int32_t()> calls[] = {
        [&] { return cbfind(t, key, len, &item); },
        [&] { return cbfinditem(t, key, len, &item); },
        [&] { return cbinsert(t, key, len, 1, 1); },
        [&] { return cbdelete(t, key, len, 1); },
        [&] { return cbmodify(t, key, len, 1, "b", 1, 1, 1); },
        [&] { return cbmodify(t, "a", 1, 1, key, len, 1, 1); },
    };
    for (const auto &call : calls) {
      cberrcode = cbconcode = 0;
      EXPECT_EQ(call(), -1) << len;
      EXPECT_EQ(cberrcode, CBERR_KEY_LENGTH) << len;
      EXPECT_EQ(cbconcode, CBCTX_VALIDATE) << len;
    }
  }
  EXPECT_EQ(cbhead(t, &item), 1);
  EXPECT_EQ(cbkey(t, nullptr, 4), -1);
  EXPECT_EQ(cberrcode, CBERR_KEY_LENGTH);
  char buf[4] = {'*', '*', '*', '*'};
  EXPECT_EQ(cbkey(t, buf, -5), 1);  // a copy up to the buffer's size
  EXPECT_EQ(cbkey(t, buf, 4), 1);
  EXPECT_EQ(std::string(buf, 4), "a***");
  EXPECT_EQ(cbinsert(t, nullptr, 0, 7, 1), 1);
  EXPECT_EQ(cbfind(t, nullptr, 0, nullptr), 2);
  EXPECT_EQ(cbhead(t, nullptr), 1);
  EXPECT_EQ(cbkey(t, nullptr, 0), 1);
  EXPECT_EQ(cbnext(t, nullptr), 1);
  EXPECT_EQ(cbmodify(t, "a", 1, 1, nullptr, 0, 1, 1), 1);
  EXPECT_EQ(walk_forward(t), (PairList{{"", 1}, {"", 7}}));
}

// Disk space for blocks beyond a file's end, as the platform gives it:
// held (the new block waits in the pool for write-back), not held by this
// file system (the block is written at once, the file grows at the call),
// or not to be had (the call that needs the block fails with 8 and the
// native error, and the tree stays as it was).
int32_t g_reserve_result = 1;
int32_t stub_reserve(int32_t, uint32_t, uint32_t) {
  if (g_reserve_result < 0) g_sys_last_error = 28;  // ENOSPC
  return g_reserve_result;
}

TEST_F(HandlesTest, ANewBlockWaitsOnlyWhereItsDiskSpaceIsHeld) {
  struct Case {
    const char *name;
    int32_t reserve;
    int32_t insert, code, syserr;
    size_t size_before_flush;
  };
  const Case kCases[] = {
      {"held", 1, 1, 0, 0, 512},
      {"cannot hold", 0, 1, 0, 0, 1024},
      {"disk full", -1, -1, 8, 28, 512},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("grow ") + c.name;
    CbTree *t = create(name, 512);
    ASSERT_NE(t, nullptr);
    const PlatformFiles native = g_platform_files;
    g_platform_files.reserve = stub_reserve;
    g_reserve_result = c.reserve;
    cbclear_error();
    cbclear_syserr();
    EXPECT_EQ(put(t, key(1), 1), c.insert);
    EXPECT_EQ(cberrcode, c.code);
    EXPECT_EQ(cbget_syserr(), c.syserr);
    EXPECT_EQ(read_file(path(name)).size(), c.size_before_flush);
    g_platform_files = native;
    // Space to be had again: the next insert grows the file.
    EXPECT_EQ(put(t, key(2), 2), 1);
    expect_sound(t);
    EXPECT_EQ(cbclose(t), 1);
    EXPECT_EQ(read_file(path(name)).size(), 1024u);
    t = open(name);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(walk(t).size(), c.insert == 1 ? 2u : 1u);
    EXPECT_EQ(cbclose(t), 1);
  }
}

// A compare function that changes its answer, so that the room test and
// the insertion after it disagree about shared text: nonsense results, but
// every refusal has a code and no key text overruns a node.
int32_t RBCALL fickle(const void *, int32_t, const void *, int32_t) {
  static uint32_t calls = 0;
  return (++calls % 2) ? 0 : 1;
}

TEST_F(HandlesTest, ACompareFunctionThatChangesItsAnswerCannotOverrunANode) {
  for (int32_t bs : {92, 128}) {
    CbTree *t = create("t" + std::to_string(bs), bs, fickle);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 200; ++i) {
      if (put(t, std::string(30, 'k'), i) != 1) {
        EXPECT_NE(cberrcode, 0);
      }
    }
    int32_t item = 0, steps = 0, r = cbhead(t, &item);
    while (r == 1 && ++steps < 1000) r = cbnext(t, &item);
    EXPECT_TRUE(r == -3 || (r == -1 && cberrcode == CBERR_CORRUPT)) << r;
    EXPECT_EQ(cbclose(t), 1);
  }
}

class DamagedFileTest : public LibTest {
 protected:
  // A closed tree of depth 2 with 60 pairs of 20-byte keys.
  void SetUp() override {
    LibTest::SetUp();
    CbTree *t = create("t");
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(put(t, key(i * 2), i), 1);
    ASSERT_EQ(cbclose(t), 1);
    good_ = read_file(path("t"));
  }
  void expect_open_fails(int32_t err, int32_t ctx, const std::string &what) {
    EXPECT_EQ(open("t"), nullptr) << what;
    EXPECT_EQ(cberrcode, err) << what;
    EXPECT_EQ(cbconcode, ctx) << what;
    write_file(path("t"), good_);
  }
  std::vector<uint8_t> good_;
};

TEST_F(DamagedFileTest, ControlRecordsThatCannotDescribeTheFileAreRefused) {
  const DiskControl c(good_);
  const struct {
    size_t off;
    int width;
    uint32_t value;
    int32_t err, ctx;
  } fields[] = {
      {0, 2, 1024, CBERR_BLOCK_SIZE, CBCTX_OPEN},  // larger than the buffers
      {0, 2, 64, CBERR_BLOCK_SIZE, CBCTX_READ_CONTROL},  // below the minimum
      {0, 2, 0x8000, CBERR_BLOCK_SIZE, CBCTX_READ_CONTROL},  // negative
      {0, 2, 0, CBERR_BLOCK_SIZE, CBCTX_READ_CONTROL},       // none at all
      {2, 4, c.last_block + 1, CBERR_CORRUPT, CBCTX_READ_CONTROL},  // root
      {10, 4, c.last_block + 5, CBERR_CORRUPT, CBCTX_READ_CONTROL},
      {14, 4, 0, CBERR_CORRUPT, CBCTX_READ_CONTROL},  // no last leaf
      {18, 4, 0xFFFFFFFFu, CBERR_CORRUPT, CBCTX_READ_CONTROL},
      {6, 4, c.last_block + 1, CBERR_CORRUPT, CBCTX_READ_CONTROL},
      {6, 4, 0xFFFFFFFFu, CBERR_CORRUPT, CBCTX_READ_CONTROL},
      {22, 2, 0, CBERR_CORRUPT, CBCTX_READ_CONTROL},  // depth 0 with a root
      {22, 2, 0xFFFF, CBERR_CORRUPT, CBCTX_READ_CONTROL},
      {22, 2, 1000, CBERR_CORRUPT, CBCTX_READ_CONTROL},
  };
  for (const auto &f : fields) {
    set_control_field(path("t"), f.off, f.width, f.value);
    expect_open_fails(f.err, f.ctx, "field at " + std::to_string(f.off));
  }
  // A flipped bit is a parity error, in the block size too (before the
  // size is trusted, even when it leaves no usable size); cbblksize cannot
  // read such a record.
  for (const auto &[off, flip] : {std::pair<size_t, uint8_t>{5, 0x10},
                                 {1, 0x01}, {1, 0x02}, {1, 0x80}}) {
    patch_file(path("t"), off, {static_cast<uint8_t>(good_[off] ^ flip)});
    EXPECT_EQ(cbblksize(path("t").c_str()), -1);
    EXPECT_EQ(std::make_pair(cberrcode, cbconcode),
              std::make_pair(int32_t{CBERR_GET_BLOCK},
                             int32_t{CBCTX_READ_CONTROL}));
    expect_open_fails(CBERR_PARITY, CBCTX_READ_CONTROL, "flipped bit");
  }
  const struct {
    size_t size;
    int32_t err, ctx;
  } cuts[] = {
      {good_.size() - 512, CBERR_CORRUPT, CBCTX_READ_CONTROL},  // a block short
      {good_.size() - 612, CBERR_CORRUPT, CBCTX_READ_CONTROL},
      {20, CBERR_GET_BLOCK, CBCTX_READ_CONTROL},  // no whole control record
      {0, CBERR_OPEN, CBCTX_OPEN},
  };
  for (const auto &cut : cuts) {
    write_file(path("t"), {good_.begin(), good_.begin() + cut.size});
    expect_open_fails(cut.err, cut.ctx, "cut to " + std::to_string(cut.size));
  }
  CbTree *t = open("t");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(walk_forward(t).size(), 60u);
}

// Reading does not touch the free chain; the first new block does, and the
// refusal comes before the block is changed.
TEST_F(DamagedFileTest, AFreeChainThatNamesANodeInUseIsNotTrusted) {
  set_control_field(path("t"), 18, 4, DiskControl(good_).first_leaf);
  CbTree *t = open("t");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(walk_forward(t).size(), 60u);
  int32_t r = 1;
  size_t added = 0;
  for (int i = 0; i < 200 && r == 1; ++i) {
    r = put(t, key(i * 2 + 1), i);
    added += r == 1;
  }
  EXPECT_EQ(r, -1);
  EXPECT_EQ(cberrcode, CBERR_CORRUPT);
  EXPECT_EQ(cbconcode, CBCTX_NEW_BLOCK);
  ASSERT_EQ(cbclose(t), 1);
  t = open("t");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(walk_forward(t).size(), 60u + added);
}

}  // namespace
}  // namespace recbase::test
