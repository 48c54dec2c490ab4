// Insertion: duplicate pairs and keys (also across the ends of a leaf),
// item order of equal keys, the key length limit, shifting into a
// neighbour instead of splitting, growth of the root, the key count, and
// read-only handles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

std::string key(int n) { return numbered_key(n, 20); }

int32_t put_n(CbTree *t, int n, int32_t item, int32_t dup = 1) {
  return put(t, key(n), item, dup);
}

class InsertTest : public CbtTest {
 protected:
  void SetUp() override {
    CbtTest::SetUp();
    t_ = create("t");
    ASSERT_NE(t_, nullptr);
  }
  std::vector<uint8_t> flushed() {
    EXPECT_EQ(cbflush(t_), 1);
    return read_file(path("t"));
  }
  CbTree *t_ = nullptr;
};

TEST_F(InsertTest, APairIsStoredOnce) {
  ASSERT_EQ(put(t_, "a", 1), 1);
  for (int32_t dup : {0, 1}) {
    EXPECT_EQ(put(t_, "a", 1, dup), -1);
    EXPECT_EQ(cberrcode, 23);
    EXPECT_EQ(cbconcode, 22);
    EXPECT_EQ(put(t_, "A", 1, dup), -1);  // equal under the compare
    EXPECT_EQ(cberrcode, 23);
  }
  EXPECT_EQ(put(t_, "a", 2, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(walk_forward(t_), (PairList{{"a", 1}}));
}

TEST_F(InsertTest, EqualKeysAreOrderedByTheirSignedItems) {
  for (int32_t item : {5, -1, INT32_MAX, 0, INT32_MIN, -2}) {
    ASSERT_EQ(put(t_, "k", item), 1);
  }
  ASSERT_EQ(put(t_, "j", 9), 1);
  EXPECT_EQ(walk_forward(t_), (PairList{{"j", 9},
                                        {"k", INT32_MIN},
                                        {"k", -2},
                                        {"k", -1},
                                        {"k", 0},
                                        {"k", 5},
                                        {"k", INT32_MAX}}));
}

TEST_F(InsertTest, KeysUpToTheBufferLimitAreAccepted) {
  const std::string longest(512 - 28, 'q');
  // Each such key fills a node on its own, so the tree grows a level for
  // almost every pair.
  for (int i = 0; i < 6; ++i) {
    std::string k = longest;
    k[0] = static_cast<char>('a' + i);
    ASSERT_EQ(put(t_, k, i), 1) << i;
  }
  EXPECT_GE(cbdepth(t_), 3);
  expect_sound(t_);
  const PairList pairs = walk_forward(t_);
  ASSERT_EQ(pairs.size(), 6u);
  EXPECT_EQ(pairs[5].first, "f" + longest.substr(1));

  const uint32_t count = DiskControl(flushed()).key_count;
  const std::string too_long(512 - 27, 'q');
  cberrcode = 77;
  cbconcode = 78;
  EXPECT_EQ(put(t_, too_long, 1), -1);
  EXPECT_EQ(cberrcode, 77);
  EXPECT_EQ(cbconcode, 78);
  EXPECT_EQ(cbfcncode, 16);
  // Refused before the change began: not counted.
  EXPECT_EQ(DiskControl(flushed()).key_count, count);
}

TEST_F(InsertTest, KeysLongerThanTheTreesOwnBlocksAllowAreRefused) {
  CbTree *small = create("small", 256);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(put(small, std::string(256 - 28, 'k'), 1), 1);
  EXPECT_EQ(put(small, std::string(256 - 27, 'k'), 2), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(walk_forward(small).size(), 1u);
}

TEST_F(InsertTest, AFailedInsertIsStillCounted) {
  ASSERT_EQ(put(t_, "a", 1), 1);
  ASSERT_EQ(put(t_, "a", 1), -1);
  ASSERT_EQ(put(t_, "a", 2, 0), -1);
  const std::vector<uint8_t> f = flushed();
  EXPECT_EQ(le32_at(f, 32), 3u);
  EXPECT_EQ(le32_at(f, 28), 3u);  // and each one is a change
}

TEST_F(InsertTest, ReadOnlyHandlesCannotInsert) {
  ASSERT_EQ(put(t_, "a", 1), 1);
  const std::string name = path("t");
  CbTree *ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  cbconcode = 44;
  EXPECT_EQ(put(ro, "b", 2), -1);
  EXPECT_EQ(cberrcode, 32);
  EXPECT_EQ(cbconcode, 44);
  int32_t item = 0;
  EXPECT_EQ(cbfind(ro, "a", 1, &item), 2);
  // The flag belongs to the handle: the writable one still inserts.
  EXPECT_EQ(put(t_, "b", 2), 1);
  EXPECT_EQ(cbfind(ro, "b", 1, &item), 2);
  ASSERT_EQ(cbexit(), 1);

  ASSERT_EQ(cbinit(0, 0), 1);
  ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(put(ro, "c", 3), -1);
  EXPECT_EQ(cberrcode, 32);
  EXPECT_EQ(cbclose(ro), 1);
  EXPECT_EQ(DiskControl(read_file(name)).key_count, 2u);
}

TEST_F(InsertTest, EachSplitOfTheRootAddsOneLevel) {
  CbTree *t = create("small", 92);
  ASSERT_NE(t, nullptr);
  int32_t depth = cbdepth(t);
  uint32_t root = 0;
  int levels_added = 0;
  for (int i = 0; i < 400 && depth < 4; ++i) {
    ASSERT_EQ(put(t, numbered_key((i * 7919) % 400, 8), i), 1);
    const int32_t now = cbdepth(t);
    ASSERT_GE(now, depth);
    if (now == depth) continue;
    ASSERT_EQ(now, depth + 1);
    ASSERT_EQ(cbflush(t), 1);
    const DiskControl c(read_file(path("small")));
    EXPECT_EQ(c.depth, now);
    EXPECT_NE(c.root, root);
    if (now > 1) {
      // The old root is now the new root's low_path child.
      const DiskNode top(read_file(path("small")), 92, c.root);
      EXPECT_EQ(top.low_path(), root);
      EXPECT_GE(top.count(), 1);
    }
    root = c.root;
    depth = now;
    ++levels_added;
    expect_sound(t);
  }
  EXPECT_EQ(levels_added, 4);
}

// Two leaves under one root, from a root leaf of 17 keys 10, 20, .., 170
// that split when 175 arrived: leaf 1 holds 10..90, leaf 2 holds 100..170
// and 175, each with room for 8 more; root 3 lists leaf 2 under (100, 100).
class TwoLeavesTest : public InsertTest {
 protected:
  void SetUp() override {
    InsertTest::SetUp();
    for (int n = 10; n <= 170; n += 10) ASSERT_EQ(put_n(t_, n, n), 1);
    ASSERT_EQ(put_n(t_, 175, 175), 1);
    const std::vector<uint8_t> f = flushed();
    ASSERT_EQ(DiskControl(f).root, 3u);
    ASSERT_EQ(DiskNode(f, 512, 1).count(), 9);
    ASSERT_EQ(DiskNode(f, 512, 2).count(), 9);
  }

  // Closes the tree, replaces the root's separator by (key(n), item) on
  // disk and opens the tree again. A separator below the right leaf's
  // smallest pair is what a deletion of that pair leaves behind; the tree
  // stays sound as long as it is above every pair of the left leaf.
  void lower_separator(int n, int32_t item) {
    ASSERT_EQ(cbclose(t_), 1);
    const std::string name = path("t");
    const DiskNode root(read_file(name), 512, 3);
    ASSERT_EQ(root.key_len(0), 20);
    const size_t text = 3 * 512 + root.key_off(0);
    const std::string k = key(n);
    patch_file(name, text, std::vector<uint8_t>(k.begin(), k.end()));
    patch_file(name, 3 * 512 + root.entry(0) + 4,
               {static_cast<uint8_t>(item), 0, 0, 0});
    ASSERT_EQ(cbt::check_tree_file(name.c_str(), nullptr), "");
    t_ = cbopen(name.c_str(), nullptr);
    ASSERT_NE(t_, nullptr);
  }
};

TEST_F(TwoLeavesTest, AnEqualKeyAtTheStartOfTheRightLeafIsFound) {
  // (100, 1) belongs at the end of leaf 1; leaf 2 starts with key 100.
  EXPECT_EQ(put_n(t_, 100, 1, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(put_n(t_, 90, 1, 0), -1);  // and inside the leaf
  EXPECT_EQ(cberrcode, 22);
  ASSERT_EQ(put_n(t_, 100, 1, 1), 1);
  const std::vector<uint8_t> f = flushed();
  const DiskNode left(f, 512, 1);
  EXPECT_EQ(left.items().back(), 1);
  EXPECT_EQ(left.key(left.count() - 1), key(100));
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AnEqualKeyAtTheEndOfTheLeftLeafIsFound) {
  lower_separator(90, 200);
  // (90, 250) now belongs at position 0 of leaf 2; leaf 1 ends with key 90.
  EXPECT_EQ(put_n(t_, 90, 250, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(cbconcode, 22);
  ASSERT_EQ(put_n(t_, 90, 250, 1), 1);
  const std::vector<uint8_t> f = flushed();
  EXPECT_EQ(DiskNode(f, 512, 2).items().front(), 250);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AFullLeafPassesAPairAtItsEndToTheRightNeighbour) {
  for (int n = 11; n <= 18; ++n) ASSERT_EQ(put_n(t_, n, n), 1);
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(DiskNode(before, 512, 1).count(), 17);  // full

  ASSERT_EQ(put_n(t_, 95, 95), 1);
  const std::vector<uint8_t> after = flushed();
  EXPECT_EQ(DiskControl(after).last_block, 3u);  // no split
  EXPECT_EQ(DiskNode(after, 512, 1).bytes(), DiskNode(before, 512, 1).bytes());
  const DiskNode right(after, 512, 2);
  EXPECT_EQ(right.items(), (std::vector<int32_t>{95, 100, 110, 120, 130, 140,
                                                 150, 160, 170, 175}));
  const DiskNode root(after, 512, 3);
  ASSERT_EQ(root.count(), 1);
  EXPECT_EQ(root.key(0), key(95));
  EXPECT_EQ(root.item(0), 95);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AFullLastChildPassesAPairAtItsStartToTheLeft) {
  for (int n = 176; n <= 183; ++n) ASSERT_EQ(put_n(t_, n, n), 1);
  lower_separator(95, 95);
  const std::vector<uint8_t> before = read_file(path("t"));
  ASSERT_EQ(DiskNode(before, 512, 2).count(), 17);  // full

  // (97, 97) belongs at position 0 of leaf 2, which has no right neighbour
  // under the root.
  ASSERT_EQ(put_n(t_, 97, 97), 1);
  const std::vector<uint8_t> after = flushed();
  EXPECT_EQ(DiskControl(after).last_block, 3u);  // no split
  EXPECT_EQ(DiskNode(after, 512, 2).bytes(), DiskNode(before, 512, 2).bytes());
  EXPECT_EQ(DiskNode(after, 512, 1).items(),
            (std::vector<int32_t>{10, 20, 30, 40, 50, 60, 70, 80, 90, 97}));
  // The root lists leaf 2 again, under its smallest pair.
  const DiskNode root(after, 512, 3);
  ASSERT_EQ(root.count(), 1);
  EXPECT_EQ(root.key(0), key(100));
  EXPECT_EQ(root.item(0), 100);
  expect_sound(t_);
}

}  // namespace
}  // namespace recbase::test
