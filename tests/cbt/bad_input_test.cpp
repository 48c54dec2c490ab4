// Bad input to the B-tree layer: missing names, handles that are not open
// trees, impossible keys, and damaged or truncated tree files. Every case
// must give its error code; none may crash, hang or leave a block pinned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

class BadInputTest : public CbtTest {};

TEST_F(BadInputTest, NamesThatCannotBeTreeFiles) {
  EXPECT_EQ(cbcreate(nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(cberrcode, 1);
  EXPECT_EQ(cbscreate(nullptr, nullptr, 0, 1), nullptr);
  EXPECT_EQ(cberrcode, 1);
  EXPECT_EQ(cbcreate("", nullptr, 0), nullptr);
  EXPECT_EQ(cberrcode, 1);
  for (const std::string &name : {std::string(), path("missing"), path("")}) {
    EXPECT_EQ(cbopen(name.c_str(), nullptr), nullptr) << name;
    EXPECT_EQ(cberrcode, 2);
    EXPECT_EQ(cbconcode, 2);
    EXPECT_EQ(cbblksize(name.c_str()), -1);
    EXPECT_EQ(cberrcode, 2);
    EXPECT_EQ(cbconcode, 7);
  }
  EXPECT_EQ(cbopen(nullptr, nullptr), nullptr);
  EXPECT_EQ(cberrcode, 2);
  EXPECT_EQ(cbopen_shared(nullptr, nullptr, 1, 1), nullptr);
  EXPECT_EQ(cberrcode, 2);
  EXPECT_EQ(cbblksize(nullptr), -1);
  // A directory is neither replaced nor opened.
  EXPECT_EQ(cbcreate(path("").c_str(), nullptr, 0), nullptr);
  EXPECT_EQ(cberrcode, 1);
  EXPECT_TRUE(file_exists(path("")));
}

// Every exported call that takes a tree handle, with valid other arguments.
std::vector<std::pair<const char *, std::function<int32_t(CbTree *)>>>
handle_calls() {
  static int32_t item;
  static char buf[8];
  return {
      {"cbclose", [](CbTree *t) { return cbclose(t); }},
      {"cbflush", [](CbTree *t) { return cbflush(t); }},
      {"cbdepth", [](CbTree *t) { return cbdepth(t); }},
      {"cbfind", [](CbTree *t) { return cbfind(t, "a", 1, &item); }},
      {"cbfinditem", [](CbTree *t) { return cbfinditem(t, "a", 1, &item); }},
      {"cbhead", [](CbTree *t) { return cbhead(t, &item); }},
      {"cbtail", [](CbTree *t) { return cbtail(t, &item); }},
      {"cbnext", [](CbTree *t) { return cbnext(t, &item); }},
      {"cbprev", [](CbTree *t) { return cbprev(t, &item); }},
      {"cbcurr", [](CbTree *t) { return cbcurr(t, &item); }},
      {"cbkey", [](CbTree *t) { return cbkey(t, buf, 8); }},
      {"cbkeylen", [](CbTree *t) { return cbkeylen(t, &item); }},
      {"cbmark", [](CbTree *t) { return cbmark(t); }},
      {"cbfindmark", [](CbTree *t) { return cbfindmark(t, &item); }},
      {"cbinsert", [](CbTree *t) { return cbinsert(t, "a", 1, 1, 1); }},
      {"cblock", [](CbTree *t) { return cblock(t, 1); }},
      {"cbunlock", [](CbTree *t) { return cbunlock(t, 1); }},
  };
}

TEST_F(BadInputTest, CallsRefuseHandlesThatAreNotOpenTrees) {
  CbTree *closed = create("closed");
  ASSERT_NE(closed, nullptr);
  ASSERT_EQ(put(closed, "a", 1), 1);
  CbTree *open = create("open");  // keeps the pool busy with a live file
  ASSERT_NE(open, nullptr);
  ASSERT_EQ(cbclose(closed), 1);
  alignas(8) uint8_t junk[256];
  for (uint8_t &b : junk) b = 0xA5;
  auto *fake = reinterpret_cast<CbTree *>(junk);

  for (CbTree *bad : {static_cast<CbTree *>(nullptr), fake, closed}) {
    for (const auto &call : handle_calls()) {
      cberrcode = 0;
      cbconcode = 0;
      EXPECT_EQ(call.second(bad), -1) << call.first;
      EXPECT_EQ(cberrcode, 19) << call.first;
      EXPECT_EQ(cbconcode, 10) << call.first;
    }
  }
  EXPECT_EQ(put(open, "still", 1), 1);
  EXPECT_EQ(walk_forward(open), (PairList{{"still", 1}}));
}

TEST_F(BadInputTest, KeysMustHaveBytesAndALength) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "a", 1), 1);
  int32_t item = 0;
  const std::vector<std::pair<const void *, int32_t>> bad_keys = {
      {nullptr, 3}, {"abc", -1}, {nullptr, -1}, {"abc", INT32_MIN}};
  for (const auto &bad : bad_keys) {
    const void *key = bad.first;
    const int32_t len = bad.second;
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
      EXPECT_EQ(cberrcode, 21) << len;
      EXPECT_EQ(cbconcode, 10) << len;
    }
  }
  char buf[4];
  EXPECT_EQ(cbhead(t, &item), 1);
  EXPECT_EQ(cbkey(t, nullptr, 4), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbkey(t, buf, 4), 1);

  // No bytes are needed for the empty key, and out-parameters may be null.
  EXPECT_EQ(cbinsert(t, nullptr, 0, 7, 1), 1);
  EXPECT_EQ(cbfind(t, nullptr, 0, nullptr), 2);
  EXPECT_EQ(cbfinditem(t, nullptr, 0, nullptr), 3);
  EXPECT_EQ(cbhead(t, nullptr), 1);
  EXPECT_EQ(cbkeylen(t, nullptr), 1);
  EXPECT_EQ(cbkey(t, nullptr, 0), 1);
  EXPECT_EQ(cbnext(t, nullptr), 1);
  EXPECT_EQ(cbfindmark(t, nullptr), -1);
  EXPECT_EQ(walk_forward(t), (PairList{{"", 7}, {"a", 1}}));
  expect_sound(t);
}

// Inserts `count` (key, item, dup) made by next_insert; any refusal must be
// -1 with a code.
void insert_expecting_clean_refusals(
    CbTree *t, int count,
    const std::function<std::tuple<std::string, int32_t, int32_t>(int)>
        &next_insert) {
  for (int i = 0; i < count; ++i) {
    const auto [key, item, dup] = next_insert(i);
    const int32_t r = put(t, key, item, dup);
    if (r != 1) {
      EXPECT_EQ(r, -1);
      EXPECT_NE(cberrcode, 0);
    }
  }
}

// A compare function that breaks every rule of an order (not antisymmetric,
// not transitive) but answers the same for the same two keys.
int32_t RBCALL disorderly(const void *a, int32_t alen, const void *b,
                          int32_t blen) {
  uint32_t x = 2166136261u;
  for (int32_t i = 0; i < alen; ++i) {
    x = (x ^ static_cast<const uint8_t *>(a)[i]) * 16777619u;
  }
  for (int32_t i = 0; i < blen; ++i) {
    x = (x ^ static_cast<const uint8_t *>(b)[i]) * 31u;
  }
  return static_cast<int32_t>(x % 3) - 1;
}

TEST_F(BadInputTest, ABrokenCompareFunctionGivesNonsenseButNoCrash) {
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int32_t bs : {92, 128, 512}) {
    CbTree *t = create("t" + std::to_string(bs), bs, disorderly);
    ASSERT_NE(t, nullptr);
    insert_expecting_clean_refusals(t, 300, [&](int) {
      std::string k(next() % static_cast<uint32_t>(bs - 28), 'a');
      for (char &c : k) c = static_cast<char>('a' + next() % 3);
      const auto item = static_cast<int32_t>(next() % 100);
      return std::make_tuple(k, item, static_cast<int32_t>(next() % 2));
    });
    int32_t item = 0;
    int steps = 0;
    int32_t r = cbhead(t, &item);
    while (r == 1 && ++steps < 100000) r = cbnext(t, &item);
    EXPECT_EQ(r, -3) << bs;
    r = cbtail(t, &item);
    while (r == 1 && ++steps < 200000) r = cbprev(t, &item);
    EXPECT_EQ(r, -2) << bs;
    for (const char *k : {"", "a", "abc", "cab"}) {
      r = cbfind(t, k, static_cast<int32_t>(std::strlen(k)), &item);
      EXPECT_TRUE(r == 2 || r == 3 || r == -3) << r;
    }
    EXPECT_EQ(cbclose(t), 1);
  }
}

// A compare function that answers differently each time it is asked about
// the same keys: the room test and the insertion that follows it may then
// disagree about sharing key text. The insertion must notice that the entry
// does not fit rather than run the key text into the entry array.
int32_t RBCALL fickle(const void *, int32_t, const void *, int32_t) {
  static uint32_t calls = 0;
  return (++calls % 2) ? 0 : 1;
}

TEST_F(BadInputTest, ACompareFunctionThatChangesItsAnswerCannotOverrunANode) {
  for (int32_t bs : {92, 128}) {
    CbTree *t = create("f" + std::to_string(bs), bs, fickle);
    ASSERT_NE(t, nullptr);
    insert_expecting_clean_refusals(t, 200, [](int i) {
      return std::make_tuple(std::string(30, 'k'), i, 1);
    });
    int32_t item = 0;
    int steps = 0;
    int32_t r = cbhead(t, &item);
    while (r == 1 && ++steps < 1000) r = cbnext(t, &item);
    EXPECT_TRUE(r == -3 || r == -1) << r;
    EXPECT_EQ(cbclose(t), 1);
  }
}

// Writes a 16- or 32-bit control record field and makes the parity right
// again, so that only the field itself is wrong.
void set_control_field(const std::string &name, size_t off, int width,
                       uint32_t value) {
  std::vector<uint8_t> v;
  for (int i = 0; i < width; ++i) v.push_back((value >> (8 * i)) & 0xFF);
  patch_file(name, off, v);
  const std::vector<uint8_t> f = read_file(name);
  uint32_t parity = 0;
  for (size_t w = 0; w < 24; w += 2) parity ^= le16_at(f, w);
  patch_le16(name, 24, static_cast<int32_t>(parity));
}

class DamagedFileTest : public CbtTest {
 protected:
  // A closed tree of depth 2 with 60 pairs of 20-byte keys; returns its
  // path.
  std::string make_tree() {
    CbTree *t = create("t");
    EXPECT_NE(t, nullptr);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(put(t, key(i), i), 1);
    EXPECT_EQ(cbdepth(t), 2);
    EXPECT_EQ(cbclose(t), 1);
    return path("t");
  }
  static std::string key(int i) { return numbered_key(i * 2, 20); }

  void expect_open_fails(const std::string &name, int32_t err, int32_t ctx) {
    EXPECT_EQ(cbopen(name.c_str(), nullptr), nullptr);
    EXPECT_EQ(cberrcode, err);
    EXPECT_EQ(cbconcode, ctx);
  }
};

TEST_F(DamagedFileTest, ControlRecordsThatCannotDescribeTheFile) {
  const std::string name = make_tree();
  const std::vector<uint8_t> good = read_file(name);
  auto restore = [&] { write_file(name, good); };

  patch_file(name, 5, {static_cast<uint8_t>(good[5] ^ 0x10)});
  expect_open_fails(name, 16, 7);
  EXPECT_EQ(cbblksize(name.c_str()), -1);
  EXPECT_EQ(cberrcode, 6);
  EXPECT_EQ(cbconcode, 7);
  restore();
  // Damage to the block size itself is a parity error too, even when it
  // leaves no usable size.
  patch_file(name, 1, {static_cast<uint8_t>(good[1] ^ 0x02)});
  expect_open_fails(name, 16, 7);
  restore();

  set_control_field(name, 0, 2, 1024);  // larger than the pool's buffers
  EXPECT_EQ(cbblksize(name.c_str()), -1);
  restore();

  const DiskControl c(good);
  const struct {
    size_t off;
    int width;
    uint32_t value;
    int32_t err, ctx;
  } fields[] = {
      {0, 2, 1024, 17, 2},               // block larger than the buffers
      {0, 2, 64, 17, 7},                 // below the smallest block size
      {0, 2, 0x8000, 17, 7},             // negative block size
      {0, 2, 0, 17, 7},                  // no block size at all
      {2, 4, c.last_block + 1, 25, 7},   // root beyond the file
      {10, 4, c.last_block + 5, 25, 7},  // first leaf beyond the file
      {14, 4, 0, 25, 7},                 // no last leaf in a tree with a root
      {18, 4, 0xFFFFFFFFu, 25, 7},       // free chain head beyond the file
      {6, 4, c.last_block + 1, 25, 7},   // more blocks than the file holds
      {6, 4, 0xFFFFFFFFu, 25, 7},        // more blocks than any file holds
      {22, 2, 0, 25, 7},                 // depth 0 with a root
      {22, 2, 0xFFFF, 25, 7},            // negative depth
      {22, 2, 1000, 25, 7},              // deeper than any tree
  };
  for (const auto &f : fields) {
    set_control_field(name, f.off, f.width, f.value);
    expect_open_fails(name, f.err, f.ctx);
    restore();
  }
  CbTree *t = cbopen(name.c_str(), nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(walk_forward(t).size(), 60u);
}

TEST_F(DamagedFileTest, AFreeChainThatNamesANodeInUseIsNotTrusted) {
  const std::string name = make_tree();
  const DiskControl c(read_file(name));
  set_control_field(name, 18, 4, c.first_leaf);
  CbTree *t = cbopen(name.c_str(), nullptr);
  ASSERT_NE(t, nullptr);
  // Reading does not touch the free chain; the first new block does.
  EXPECT_EQ(walk_forward(t).size(), 60u);
  int32_t r = 1;
  size_t added = 0;
  for (int i = 0; i < 200 && r == 1; ++i) {
    r = put(t, key(i), 1000 + i);
    if (r == 1) ++added;
  }
  EXPECT_EQ(r, -1);
  EXPECT_EQ(cberrcode, 25);
  EXPECT_EQ(cbconcode, 24);
  // The refusal came before the block was touched.
  ASSERT_EQ(cbclose(t), 1);
  t = cbopen(name.c_str(), nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(walk_forward(t).size(), 60u + added);
}

TEST_F(DamagedFileTest, TruncatedFiles) {
  const std::string name = make_tree();
  std::vector<uint8_t> bytes = read_file(name);
  ASSERT_GE(bytes.size(), 3u * 512);
  const struct {
    size_t size;
    int32_t err, ctx;
  } cuts[] = {
      {bytes.size() - 512, 25, 7},  // a block short
      {bytes.size() - 612, 25, 7},  // not even whole blocks
      {20, 6, 7},                   // not even a whole control record
      {0, 2, 2},
  };
  for (const auto &cut : cuts) {
    bytes.resize(cut.size);
    write_file(name, bytes);
    expect_open_fails(name, cut.err, cut.ctx);
    if (cut.err == 6) {
      EXPECT_EQ(cbblksize(name.c_str()), -1);
      EXPECT_EQ(cberrcode, 6);
    }
  }
}

// One damaged field of one node block.
struct NodeDamage {
  const char *what;
  bool in_root;  // else in the first leaf
  size_t off;    // within the block
  int width;
  uint32_t value;  // ~0u - k means "the root's block number minus k"
};

constexpr uint32_t kRootBlock = 0xFFFFFFF0u;

// Runs the calls that read the tree and collects what they return; every
// failure must be 25, and the damage must be noticed at least once.
void exercise_damaged_tree(CbTree *t, const std::vector<std::string> &keys,
                           const char *what) {
  int failures = 0;
  auto check = [&](int32_t r, std::initializer_list<int32_t> ok,
                   const char *call) {
    if (r == -1) {
      ++failures;
      EXPECT_EQ(cberrcode, 25) << what << ": " << call;
      return false;
    }
    EXPECT_TRUE(std::find(ok.begin(), ok.end(), r) != ok.end())
        << what << ": " << call << " gave " << r;
    return true;
  };
  int32_t item = 0;
  int steps = 0;
  if (check(cbhead(t, &item), {1, -3}, "cbhead")) {
    int32_t r = 1;
    while (r == 1 && ++steps < 1000) r = cbnext(t, &item);
    check(r, {-3}, "cbnext");
  }
  if (check(cbtail(t, &item), {1, -2}, "cbtail")) {
    int32_t r = 1;
    while (r == 1 && ++steps < 2000) r = cbprev(t, &item);
    check(r, {-2}, "cbprev");
  }
  EXPECT_LT(steps, 2000) << what << ": a walk did not end";
  for (const std::string &k : keys) {
    check(cbfind(t, k.data(), static_cast<int32_t>(k.size()), &item),
          {2, 3, -3}, "cbfind");
  }
  for (const std::string &k :
       {std::string("0000"), std::string("0061"), std::string("zzzz")}) {
    check(put(t, k, 1000), {1}, "cbinsert");
  }
  EXPECT_GT(failures, 0) << what << ": damage went unnoticed";
}

TEST_F(DamagedFileTest, DamagedNodesGiveCorruptionNeverACrash) {
  const std::string name = make_tree();
  const std::vector<uint8_t> good = read_file(name);
  const DiskControl c(good);
  std::vector<std::string> keys;
  for (int i = 0; i < 60; ++i) keys.push_back(key(i));
  const NodeDamage damages[] = {
      {"root entry_count far too large", true, 12, 2, 0x7FFF},
      {"root entry_count negative", true, 12, 2, 0xFFFB},
      {"root low_path names no block", true, 0, 4, 0},
      {"root low_path is the root", true, 0, 4, kRootBlock},
      {"root child beyond the file", true, 16 + 8, 4, 9999},
      {"root child is block 0", true, 16 + 8, 4, 0},
      {"root key_area_start inside the entries", true, 14, 2, 20},
      {"leaf entry_count above what fits", false, 12, 2, 200},
      {"leaf key_area_start past the block", false, 14, 2, 600},
      {"leaf key offset past the block", false, 16, 2, 600},
      {"leaf key offset inside the header", false, 16, 2, 3},
      {"leaf key length past the block", false, 18, 2, 1000},
      {"leaf key length negative", false, 18, 2, 0xFFFF},
      {"leaf marked unused", false, 0, 4, 0},
      {"leaf right sibling is the root", false, 8, 4, kRootBlock},
      {"leaf right sibling beyond the file", false, 8, 4, 70000},
  };
  for (const NodeDamage &d : damages) {
    write_file(name, good);
    const uint32_t block = d.in_root ? c.root : c.first_leaf;
    std::vector<uint8_t> v;
    const uint32_t value = d.value == kRootBlock ? c.root : d.value;
    for (int i = 0; i < d.width; ++i) v.push_back((value >> (8 * i)) & 0xFF);
    patch_file(name, block * 512 + d.off, v);
    EXPECT_NE(cbt::check_tree_file(name.c_str(), nullptr), "") << d.what;

    CbTree *t = cbopen(name.c_str(), nullptr);
    ASSERT_NE(t, nullptr) << d.what;
    exercise_damaged_tree(t, keys, d.what);
    // Nothing stays pinned: the pool can be taken down and made again.
    EXPECT_EQ(cbexit(), 1) << d.what;
    ASSERT_EQ(cbinit(pool_count_, pool_size_), 1);
  }
}

}  // namespace
}  // namespace recbase::test
