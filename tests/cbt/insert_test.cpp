// Insertion: duplicate pairs and keys (also across the ends of a leaf),
// item order of equal keys, the key length limits, shifting into a
// neighbour instead of splitting, growth of the root, and the key count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

class InsertTest : public TreeTest {};

TEST_F(InsertTest, APairIsStoredOnceAndEveryAttemptIsCounted) {
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
  // Six attempts: each is counted in key_count and as a change.
  const std::vector<uint8_t> f = flushed();
  EXPECT_EQ(le32_at(f, 32), 6u);
  EXPECT_EQ(le32_at(f, 28), 6u);
}

TEST_F(InsertTest, EqualKeysAreOrderedByTheirSignedItems) {
  for (int32_t item : {5, -1, INT32_MAX, 0, INT32_MIN, -2}) {
    ASSERT_EQ(put(t_, "k", item), 1);
  }
  ASSERT_EQ(put(t_, "j", 9), 1);
  EXPECT_EQ(walk_forward(t_),
            (PairList{{"j", 9}, {"k", INT32_MIN}, {"k", -2}, {"k", -1},
                      {"k", 0}, {"k", 5}, {"k", INT32_MAX}}));
}

TEST_F(InsertTest, KeyLengthsAreLimitedByTheBuffersAndTheTreesBlocks) {
  // Each longest key fills a node on its own, so the tree grows a level for
  // almost every pair.
  const std::string longest(512 - 28, 'q');
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(put(t_, static_cast<char>('a' + i) + longest.substr(1), i), 1);
  }
  EXPECT_GE(cbdepth(t_), 3);
  expect_sound(t_);
  const PairList pairs = walk_forward(t_);
  ASSERT_EQ(pairs.size(), 6u);
  EXPECT_EQ(pairs[5].first, "f" + longest.substr(1));
  // One byte more is refused before the change begins: no code, no count.
  const uint32_t count = DiskControl(flushed()).key_count;
  cberrcode = 77;
  cbconcode = 78;
  EXPECT_EQ(put(t_, std::string(512 - 27, 'q'), 1), -1);
  EXPECT_EQ(cberrcode, 77);
  EXPECT_EQ(cbconcode, 78);
  EXPECT_EQ(cbfcncode, 16);
  EXPECT_EQ(DiskControl(flushed()).key_count, count);
  // A tree of smaller blocks than the buffers has a limit of its own.
  CbTree *small = create("small", 256);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(put(small, std::string(256 - 28, 'k'), 1), 1);
  EXPECT_EQ(put(small, std::string(256 - 27, 'k'), 2), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(walk_forward(small).size(), 1u);
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
    const std::vector<uint8_t> f = flushed(t, "small");
    const DiskControl c(f);
    EXPECT_EQ(c.depth, now);
    EXPECT_NE(c.root, root);
    if (now > 1) {
      // The old root is now the new root's low_path child.
      const DiskNode top(f, 92, c.root);
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

class TwoLeavesTest : public InsertTest {
 protected:
  void SetUp() override {
    InsertTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(build_two_leaves(t_));
  }
  // Closes the tree, replaces the root's separator by (key(n), item) on
  // disk and opens the tree again. A separator below the right leaf's
  // smallest pair is what a deletion of that pair leaves behind; the tree
  // stays sound as long as it is above every pair of the left leaf.
  void lower_separator(int n, int32_t item) {
    ASSERT_EQ(cbclose(t_), 1);
    const std::string name = path("t");
    const DiskNode root = node(read_file(name), 3);
    ASSERT_EQ(root.key_len(0), 20);
    const std::string k = key(n);
    patch_file(name, 3 * 512 + root.key_off(0),
               std::vector<uint8_t>(k.begin(), k.end()));
    patch_file(name, 3 * 512 + root.entry(0) + 4,
               {static_cast<uint8_t>(item), 0, 0, 0});
    ASSERT_EQ(cbt::check_tree_file(name.c_str(), nullptr), "");
    t_ = cbopen(name.c_str(), nullptr);
    ASSERT_NE(t_, nullptr);
  }
};

TEST_F(TwoLeavesTest, AnEqualKeyAtTheStartOfTheRightLeafIsFound) {
  // (100, 1) belongs at the end of leaf 1; leaf 2 starts with key 100.
  EXPECT_EQ(put(t_, key(100), 1, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(put(t_, key(90), 1, 0), -1);  // and inside the leaf
  EXPECT_EQ(cberrcode, 22);
  ASSERT_EQ(put(t_, key(100), 1, 1), 1);
  const DiskNode left = node(flushed(), 1);
  EXPECT_EQ(left.items().back(), 1);
  EXPECT_EQ(left.key(left.count() - 1), key(100));
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AnEqualKeyAtTheEndOfTheLeftLeafIsFound) {
  ASSERT_NO_FATAL_FAILURE(lower_separator(90, 200));
  // (90, 250) now belongs at position 0 of leaf 2; leaf 1 ends with key 90.
  EXPECT_EQ(put(t_, key(90), 250, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(cbconcode, 22);
  ASSERT_EQ(put(t_, key(90), 250, 1), 1);
  EXPECT_EQ(node(flushed(), 2).items().front(), 250);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AFullLeafPassesAPairAtItsEndToTheRightNeighbour) {
  for (int n = 11; n <= 18; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(node(before, 1).count(), 17);  // full
  ASSERT_EQ(put(t_, key(95), 95), 1);
  const std::vector<uint8_t> after = flushed();
  EXPECT_EQ(DiskControl(after).last_block, 3u);  // no split
  EXPECT_EQ(node(after, 1).bytes(), node(before, 1).bytes());
  EXPECT_EQ(node(after, 2).items(), (std::vector<int32_t>{95, 100, 110, 120,
                                                          130, 140, 150, 160,
                                                          170, 175}));
  ASSERT_EQ(node(after, 3).count(), 1);
  EXPECT_EQ(node(after, 3).key(0), key(95));
  EXPECT_EQ(node(after, 3).item(0), 95);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AFullLastChildPassesAPairAtItsStartToTheLeft) {
  for (int n = 176; n <= 183; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  ASSERT_NO_FATAL_FAILURE(lower_separator(95, 95));
  const std::vector<uint8_t> before = read_file(path("t"));
  ASSERT_EQ(node(before, 2).count(), 17);  // full
  // (97, 97) belongs at position 0 of leaf 2, which has no right neighbour
  // under the root.
  ASSERT_EQ(put(t_, key(97), 97), 1);
  const std::vector<uint8_t> after = flushed();
  EXPECT_EQ(DiskControl(after).last_block, 3u);  // no split
  EXPECT_EQ(node(after, 2).bytes(), node(before, 2).bytes());
  EXPECT_EQ(node(after, 1).items(),
            (std::vector<int32_t>{10, 20, 30, 40, 50, 60, 70, 80, 90, 97}));
  // The root lists leaf 2 again, under its smallest pair.
  ASSERT_EQ(node(after, 3).count(), 1);
  EXPECT_EQ(node(after, 3).key(0), key(100));
  EXPECT_EQ(node(after, 3).item(0), 100);
  expect_sound(t_);
}

}  // namespace
}  // namespace recbase::test
