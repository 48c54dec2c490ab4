// Modify: a pair replaced by itself, item-only and key changes against
// duplicates, refusals that leave the file as it was, the replacement
// inside one leaf that touches no other block, and the replacement across
// leaves made of a deletion and an insertion, each counted as a change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

using Pair = std::pair<std::string, int32_t>;
const PairList kSmall = {{"a", 1}, {"b", 5}, {"b", 7}, {"c", 2}};

class ModifyTest : public TreeTest {};

TEST_F(ModifyTest, APairReplacedByItselfOnlyMovesTheHandleOn) {
  ASSERT_NO_FATAL_FAILURE(fill(kSmall));
  const std::vector<uint8_t> before = flushed();
  int32_t item = 0;
  ASSERT_EQ(cbfind(t_, "b", 1, &item), 2);  // (b, 5)
  ASSERT_EQ(cbmark(t_), 1);
  // "B" equals "b" under the compare function: the same pair.
  EXPECT_EQ(modify(t_, "b", 5, "B", 5), 1);
  cberrcode = 0;
  EXPECT_EQ(cbcurr(t_, &item), 1);
  EXPECT_EQ(item, 7);
  EXPECT_EQ(cberrcode, 0);
  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 7);
  // Not even the change counter moved, and the key bytes are the old ones.
  EXPECT_EQ(flushed(), before);
  EXPECT_EQ(walk_forward(t_), kSmall);
  // A handle elsewhere stays where it is.
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(modify(t_, "c", 2, "c", 2), 1);
  EXPECT_EQ(cbcurr(t_, &item), 1);
  EXPECT_EQ(item, 1);
  EXPECT_EQ(flushed(), before);
  // The next real change is the first one counted since the fill.
  ASSERT_EQ(put(t_, "d", 1), 1);
  const DiskControl was(before), now(flushed());
  EXPECT_EQ(now.change_counter, was.change_counter + 1);
  EXPECT_EQ(now.key_count, was.key_count + 1);
}

TEST_F(ModifyTest, DuplicateKeysMatterOnlyWhenTheKeyChanges) {
  ASSERT_NO_FATAL_FAILURE(fill({{"k", 1}, {"k", 2}, {"k", 3}, {"m", 1}}));
  cberrcode = 0;
  EXPECT_EQ(modify(t_, "k", 2, "k", 9, 0), 1);
  EXPECT_EQ(cberrcode, 0);
  EXPECT_EQ(modify(t_, "k", 1, "K", -4, 0), 1);  // equal keys under cbkeycmp
  EXPECT_EQ(walk_forward(t_),
            (PairList{{"k", -4}, {"k", 3}, {"k", 9}, {"m", 1}}));
  // A new key present with another item needs duplicates allowed.
  cberrcode = cbconcode = 0;
  EXPECT_EQ(modify(t_, "m", 1, "k", 6, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(cbfcncode, 18);
  EXPECT_EQ(modify(t_, "m", 1, "k", 6, 1), 1);
  EXPECT_EQ(walk_forward(t_),
            (PairList{{"k", -4}, {"k", 3}, {"k", 6}, {"k", 9}}));
  expect_sound(t_);
}

// On a shared file, whose control record is written at the end of every
// change, a refusal that counted a change would show on disk.
TEST_F(ModifyTest, RefusalsLeaveTheFileAsItWas) {
  const std::string name = path("shared");
  CbTree *s = cbscreate(name.c_str(), nullptr, 512, 1);
  ASSERT_NE(s, nullptr);
  cberrcode = cbconcode = 0;
  EXPECT_EQ(modify(s, "a", 1, "b", 1), -1);
  EXPECT_EQ(cberrcode, 24);
  EXPECT_EQ(cbconcode, 21);
  EXPECT_EQ(DiskControl(read_file(name)).change_counter, 0u);
  for (const auto &[k, item] : kSmall) ASSERT_EQ(put(s, k, item), 1);
  const std::vector<uint8_t> before = read_file(name);
  const struct {
    const char *what;
    std::string old_key;
    int32_t old_item;
    std::string new_key;
    int32_t new_item, dup, err, ctx;
  } cases[] = {
      {"new pair present", "a", 1, "b", 7, 1, 23, 22},
      {"new pair present, equal key", "b", 5, "B", 7, 0, 23, 22},
      {"new key present, dup 0", "a", 1, "c", 3, 0, 22, 22},
      {"old pair missing", "a", 2, "z", 1, 1, 26, 21},
      {"old key missing", "x", 1, "y", 1, 1, 26, 21},
      {"old pair missing, item-only change", "b", 6, "b", 8, 0, 26, 21},
      {"old key longer than any key", std::string(4000, 'a'), 1, "z", 1, 1, 26,
       21},
  };
  for (const auto &c : cases) {
    cberrcode = cbconcode = 0;
    EXPECT_EQ(modify(s, c.old_key, c.old_item, c.new_key, c.new_item, c.dup),
              -1)
        << c.what;
    EXPECT_EQ(cberrcode, c.err) << c.what;
    EXPECT_EQ(cbconcode, c.ctx) << c.what;
    EXPECT_EQ(flushed(s, "shared"), before) << c.what;
  }
  EXPECT_EQ(walk_forward(s), kSmall);
  expect_sound(s);
  // Nor was any of them counted in memory.
  ASSERT_EQ(put(s, "d", 1), 1);
  const DiskControl was(before), now(flushed(s, "shared"));
  EXPECT_EQ(now.change_counter, was.change_counter + 1);
  EXPECT_EQ(now.key_count, was.key_count + 1);
}

TEST_F(ModifyTest, BadArgumentsAreRefusedBeforeAnythingChanges) {
  ASSERT_NO_FATAL_FAILURE(fill(kSmall));
  const std::vector<uint8_t> before = flushed();
  // Longer than the pool's buffers allow: -1 and no code at all.
  cberrcode = 77;
  cbconcode = 78;
  EXPECT_EQ(modify(t_, "a", 1, std::string(512 - 27, 'z'), 1), -1);
  EXPECT_EQ(cberrcode, 77);
  EXPECT_EQ(cbconcode, 78);
  EXPECT_EQ(cbfcncode, 18);
  // Within the pool's limit but too long for this tree's 256-byte blocks.
  CbTree *small = create("small", 256);
  ASSERT_NE(small, nullptr);
  ASSERT_EQ(put(small, "a", 1), 1);
  EXPECT_EQ(modify(small, "a", 1, std::string(256 - 27, 'z'), 1), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(modify(small, "a", 1, std::string(256 - 28, 'z'), 1), 1);
  // Keys without bytes or length are refused with the other bad keys.
  EXPECT_EQ(flushed(), before);
  // A null key of length 0 is the empty key.
  EXPECT_EQ(cbmodify(t_, "a", 1, 1, nullptr, 0, 1, 1), 1);
  EXPECT_EQ(walk_forward(t_).front(), Pair("", 1));
}

class TwoLeavesTest : public ModifyTest {
 protected:
  void SetUp() override {
    ModifyTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(build_two_leaves(t_));
  }
};

TEST_F(TwoLeavesTest, AReplacementInsideOneLeafTouchesNoOtherBlock) {
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(modify(t_, key(30), 30, key(85), 85), 1);
  const std::vector<uint8_t> after = flushed();
  ASSERT_EQ(after.size(), before.size());
  // Block 1 alone changed; in block 0 only the change counter (bytes
  // 28..31, outside the parity).
  for (size_t i = 0; i < 512; ++i) {
    if (i < 28 || i >= 32) {
      EXPECT_EQ(after[i], before[i]) << "byte " << i;
    }
  }
  for (uint32_t b = 2; b * 512 < after.size(); ++b) {
    EXPECT_EQ(node(after, b).bytes(), node(before, b).bytes()) << "block " << b;
  }
  const DiskControl was(before), now(after);
  EXPECT_EQ(now.key_count, was.key_count);
  EXPECT_EQ(now.change_counter, was.change_counter + 1);
  EXPECT_EQ(node(after, 1).items(),
            (std::vector<int32_t>{10, 20, 40, 50, 60, 70, 80, 85, 90}));
  EXPECT_EQ(node(after, 1).key(7), key(85));
  EXPECT_EQ(node(after, 1).key_start(), 512 - 9 * 20);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AReplacementAcrossLeavesIsADeletionAndAnInsertion) {
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(modify(t_, key(30), 30, key(150), 150), -1);  // it is there
  ASSERT_EQ(cberrcode, 23);
  ASSERT_EQ(modify(t_, key(30), 30, key(150), 151), 1);
  const std::vector<uint8_t> after = flushed();
  const DiskControl was(before), now(after);
  // The inner deletion and insertion count a change each, and so does the
  // modify at its end; their key counts cancel.
  EXPECT_EQ(now.key_count, was.key_count);
  EXPECT_EQ(now.change_counter, was.change_counter + 3);
  EXPECT_EQ(node(after, 1).items(),
            (std::vector<int32_t>{10, 20, 40, 50, 60, 70, 80, 90}));
  EXPECT_EQ(
      node(after, 2).items(),
      (std::vector<int32_t>{100, 110, 120, 130, 140, 150, 151, 160, 170, 175}));
  // Equal neighbouring keys share their text.
  EXPECT_EQ(node(after, 2).key_off(5), node(after, 2).key_off(6));
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, ADuplicateKeyIsFoundInTheNeighbouringLeaf) {
  // (100, 5) belongs at the end of leaf 1; key 100 starts leaf 2.
  EXPECT_EQ(modify(t_, key(20), 20, key(100), 5, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(modify(t_, key(20), 20, key(100), 5, 1), 1);
  EXPECT_EQ(node(flushed(), 1).items().back(), 5);
  expect_sound(t_);
}

// Moving a pair to an item that sorts into the other leaf goes by deletion
// and insertion, and the key's other pairs must not make that insertion
// refuse although duplicates are not allowed.
TEST_F(TwoLeavesTest, TheItemAloneChangesAcrossLeavesWhereDuplicatesAreRefused) {
  ASSERT_EQ(put(t_, key(90), 95), 1);   // (90, 95) ends leaf 1
  ASSERT_EQ(put(t_, key(100), 99), 1);  // (100, 99) in leaf 2
  cberrcode = 0;
  ASSERT_EQ(modify(t_, key(100), 100, key(100), 5, 0), 1);
  EXPECT_EQ(cberrcode, 0);
  ASSERT_EQ(modify(t_, key(90), 95, key(90), -7, 0), 1);
  const PairList pairs = walk_forward(t_);
  ASSERT_EQ(pairs.size(), 20u);
  EXPECT_EQ(PairList(pairs.begin() + 8, pairs.begin() + 12),
            (PairList{{key(90), -7}, {key(90), 90}, {key(100), 5},
                      {key(100), 99}}));
  EXPECT_EQ(DiskControl(flushed()).key_count, 20u);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, ANewPairThatDoesNotFitItsLeafIsInserted) {
  // Leaf 1 full (17 pairs), then one of its keys lengthened: the leaf has
  // no room for the longer key once the old one is out.
  for (int n = 11; n <= 18; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  ASSERT_EQ(node(flushed(), 1).count(), 17);
  const std::string longer = numbered_key(15, 60);
  ASSERT_EQ(modify(t_, key(15), 15, longer, 15), 1);
  const PairList pairs = walk_forward(t_);
  ASSERT_EQ(pairs.size(), 26u);
  EXPECT_EQ(PairList(pairs.begin() + 4, pairs.begin() + 7),
            (PairList{{key(14), 14}, {longer, 15}, {key(16), 16}}));
  EXPECT_EQ(walk_backward(t_).size(), 26u);
  expect_sound(t_);
}

}  // namespace
}  // namespace recbase::test
