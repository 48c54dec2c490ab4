// Modify: a pair replaced by itself, item-only and key changes against
// duplicates, refusals that leave the tree as it was (the new pair exists,
// the old one does not, an empty tree, a key too long, a read-only handle),
// the replacement inside one leaf that touches no other block, and the
// replacement across leaves made of a deletion and an insertion, each
// counted as a change of its own. Where a handle stands afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

// 20-byte keys: 28 bytes per leaf entry, 17 pairs to a 512-byte leaf.
std::string key(int n) { return numbered_key(n, 20); }

int32_t modify(CbTree *t, const std::string &old_key, int32_t old_item,
               const std::string &new_key, int32_t new_item, int32_t dup = 1) {
  return cbmodify(t, old_key.data(), static_cast<int32_t>(old_key.size()),
                  old_item, new_key.data(),
                  static_cast<int32_t>(new_key.size()), new_item, dup);
}
int32_t modify_n(CbTree *t, int old_n, int new_n, int32_t dup = 1) {
  return modify(t, key(old_n), old_n, key(new_n), new_n, dup);
}

class ModifyTest : public CbtTest {
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
  void fill(const PairList &pairs) {
    for (const auto &[k, item] : pairs) ASSERT_EQ(put(t_, k, item), 1);
  }
  CbTree *t_ = nullptr;
};

const PairList kSmall = {{"a", 1}, {"b", 5}, {"b", 7}, {"c", 2}};

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

TEST_F(ModifyTest, TheHandleOnTheOldPairMovesToItsSuccessorNotTheNewPair) {
  ASSERT_NO_FATAL_FAILURE(fill(kSmall));
  CbTree *other = cbopen(path("t").c_str(), nullptr);
  ASSERT_NE(other, nullptr);
  int32_t item = 0;
  ASSERT_EQ(cbfind(t_, "a", 1, &item), 2);
  ASSERT_EQ(cbfind(other, "a", 1, &item), 2);
  ASSERT_EQ(modify(t_, "a", 1, "d", 1), 1);
  cberrcode = 0;
  EXPECT_EQ(cbcurr(t_, &item), 1);
  EXPECT_EQ(item, 5);
  EXPECT_EQ(key_at(t_), "b");
  EXPECT_EQ(cberrcode, 0);
  // The other handle finds its pair gone on its next call.
  EXPECT_EQ(cbnext(other, &item), 1);
  EXPECT_EQ(item, 5);
  EXPECT_EQ(cberrcode, 31);
  EXPECT_EQ(walk_forward(t_),
            (PairList{{"b", 5}, {"b", 7}, {"c", 2}, {"d", 1}}));
  // The old pair was the last: the position goes past the end.
  ASSERT_EQ(cbtail(t_, &item), 1);
  ASSERT_EQ(modify(t_, "d", 1, "a", 1), 1);
  EXPECT_EQ(cbcurr(t_, &item), -3);
  EXPECT_EQ(cbclose(other), 1);
}

TEST_F(ModifyTest, TheItemAloneChangesEvenWhereDuplicatesAreRefused) {
  ASSERT_NO_FATAL_FAILURE(fill({{"k", 1}, {"k", 2}, {"k", 3}, {"m", 1}}));
  cberrcode = 0;
  EXPECT_EQ(modify(t_, "k", 2, "k", 9, 0), 1);
  EXPECT_EQ(cberrcode, 0);
  EXPECT_EQ(modify(t_, "k", 1, "K", -4, 0), 1);  // equal keys under cbkeycmp
  EXPECT_EQ(walk_forward(t_),
            (PairList{{"k", -4}, {"k", 3}, {"k", 9}, {"m", 1}}));
  expect_sound(t_);
}

TEST_F(ModifyTest, ANewKeyPresentWithAnotherItemNeedsDuplicatesAllowed) {
  ASSERT_NO_FATAL_FAILURE(fill({{"a", 1}, {"b", 5}}));
  cberrcode = cbconcode = 0;
  EXPECT_EQ(modify(t_, "a", 1, "b", 6, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(cbfcncode, 18);
  EXPECT_EQ(walk_forward(t_), (PairList{{"a", 1}, {"b", 5}}));
  EXPECT_EQ(modify(t_, "a", 1, "b", 6, 1), 1);
  EXPECT_EQ(walk_forward(t_), (PairList{{"b", 5}, {"b", 6}}));
  expect_sound(t_);
}

TEST_F(ModifyTest, RefusalsLeaveTheFileAsItWas) {
  // A shared file, whose control record is written at the end of every
  // change: a refusal that counted a change would show on disk.
  const std::string name = path("shared");
  CbTree *s = cbscreate(name.c_str(), nullptr, 512, 1);
  ASSERT_NE(s, nullptr);
  cberrcode = cbconcode = 0;
  EXPECT_EQ(modify(s, "a", 1, "b", 1), -1);
  EXPECT_EQ(cberrcode, 24);
  EXPECT_EQ(cbconcode, 21);
  const std::vector<uint8_t> empty = read_file(name);
  EXPECT_EQ(DiskControl(empty).change_counter, 0u);
  for (const auto &[k, item] : kSmall) ASSERT_EQ(put(s, k, item), 1);
  const std::vector<uint8_t> before = read_file(name);

  struct Case {
    const char *what;
    std::string old_key;
    int32_t old_item;
    std::string new_key;
    int32_t new_item;
    int32_t dup;
    int32_t err, ctx;
  };
  const Case cases[] = {
      {"new pair present", "a", 1, "b", 7, 1, 23, 22},
      {"new pair present, equal key", "b", 5, "B", 7, 0, 23, 22},
      {"new key present, dup 0", "a", 1, "c", 3, 0, 22, 22},
      {"old pair missing", "a", 2, "z", 1, 1, 26, 21},
      {"old key missing", "x", 1, "y", 1, 1, 26, 21},
      {"old pair missing, item-only change", "b", 6, "b", 8, 0, 26, 21},
      {"old key longer than any key", std::string(4000, 'a'), 1, "z", 1, 1, 26,
       21},
  };
  for (const Case &c : cases) {
    cberrcode = cbconcode = 0;
    EXPECT_EQ(modify(s, c.old_key, c.old_item, c.new_key, c.new_item, c.dup),
              -1)
        << c.what;
    EXPECT_EQ(cberrcode, c.err) << c.what;
    EXPECT_EQ(cbconcode, c.ctx) << c.what;
    ASSERT_EQ(cbflush(s), 1);
    EXPECT_EQ(read_file(name), before) << c.what;
  }
  EXPECT_EQ(walk_forward(s), kSmall);
  expect_sound(s);
  // Nor was any of them counted in memory: the next insert is the first
  // change since the fill.
  ASSERT_EQ(put(s, "d", 1), 1);
  ASSERT_EQ(cbflush(s), 1);
  const DiskControl was(before), now(read_file(name));
  EXPECT_EQ(now.change_counter, was.change_counter + 1);
  EXPECT_EQ(now.key_count, was.key_count + 1);
}

TEST_F(ModifyTest, BadArgumentsAreRefusedBeforeAnythingChanges) {
  ASSERT_NO_FATAL_FAILURE(fill(kSmall));
  const std::vector<uint8_t> before = flushed();
  // Longer than the pool's buffers allow: -1 and no code at all.
  const std::string too_long(512 - 27, 'z');
  cberrcode = 77;
  cbconcode = 78;
  EXPECT_EQ(modify(t_, "a", 1, too_long, 1), -1);
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
  // Null keys with a length, negative lengths.
  EXPECT_EQ(cbmodify(t_, nullptr, 1, 1, "b", 1, 1, 1), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbconcode, 10);
  EXPECT_EQ(cbmodify(t_, "a", 1, 1, nullptr, 1, 1, 1), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbconcode, 10);
  EXPECT_EQ(cbmodify(t_, "a", -1, 1, "b", 1, 1, 1), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(cbmodify(t_, "a", 1, 1, "b", -1, 1, 1), -1);
  EXPECT_EQ(cberrcode, 21);
  EXPECT_EQ(flushed(), before);
  // A null key of length 0 is the empty key.
  EXPECT_EQ(cbmodify(t_, "a", 1, 1, nullptr, 0, 1, 1), 1);
  EXPECT_EQ(walk_forward(t_).front(), (std::pair<std::string, int32_t>("", 1)));
}

TEST_F(ModifyTest, ReadOnlyHandlesCannotModify) {
  ASSERT_NO_FATAL_FAILURE(fill(kSmall));
  ASSERT_EQ(cbclose(t_), 1);
  const std::string name = path("t");
  const std::vector<uint8_t> before = read_file(name);
  CbTree *ro = cbopen_shared(name.c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  cbconcode = 44;
  EXPECT_EQ(modify(ro, "a", 1, "z", 1), -1);
  EXPECT_EQ(cberrcode, 32);
  EXPECT_EQ(cbconcode, 44);
  EXPECT_EQ(modify(ro, "a", 1, "a", 1), -1);  // even the pair itself
  EXPECT_EQ(cberrcode, 32);
  EXPECT_EQ(walk_forward(ro), kSmall);
  EXPECT_EQ(cbt::check_tree(ro), "");
  ASSERT_EQ(cbclose(ro), 1);
  EXPECT_EQ(read_file(name), before);
}

// Two leaves under one root: leaf 1 holds 10, 20, .., 90 and leaf 2 holds
// 100, 110, .., 170 and 175 (a root leaf of 17 keys split when 175
// arrived), each with room for 8 more pairs; root 3.
class TwoLeavesTest : public ModifyTest {
 protected:
  void SetUp() override {
    ModifyTest::SetUp();
    for (int n = 10; n <= 170; n += 10) ASSERT_EQ(put(t_, key(n), n), 1);
    ASSERT_EQ(put(t_, key(175), 175), 1);
    const std::vector<uint8_t> f = flushed();
    ASSERT_EQ(DiskControl(f).root, 3u);
    ASSERT_EQ(DiskNode(f, 512, 1).count(), 9);
    ASSERT_EQ(DiskNode(f, 512, 2).count(), 9);
  }
  std::vector<int32_t> items_of(const std::vector<uint8_t> &f, uint32_t b) {
    return DiskNode(f, 512, b).items();
  }
};

TEST_F(TwoLeavesTest, AReplacementInsideOneLeafTouchesNoOtherBlock) {
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(modify_n(t_, 30, 85), 1);
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
    EXPECT_EQ(DiskNode(after, 512, b).bytes(), DiskNode(before, 512, b).bytes())
        << "block " << b;
  }
  const DiskControl was(before), now(after);
  EXPECT_EQ(now.key_count, was.key_count);
  EXPECT_EQ(now.change_counter, was.change_counter + 1);
  EXPECT_EQ(now.root, was.root);
  EXPECT_EQ(now.free_head, was.free_head);
  EXPECT_EQ(now.last_block, was.last_block);
  EXPECT_EQ(items_of(after, 1),
            (std::vector<int32_t>{10, 20, 40, 50, 60, 70, 80, 85, 90}));
  const DiskNode leaf(after, 512, 1);
  EXPECT_EQ(leaf.key(7), key(85));
  EXPECT_EQ(leaf.key_start(), 512 - 9 * 20);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AReplacementAcrossLeavesIsADeletionAndAnInsertion) {
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(modify_n(t_, 30, 150), -1);  // (150, 150) is there
  ASSERT_EQ(cberrcode, 23);
  ASSERT_EQ(modify(t_, key(30), 30, key(150), 151), 1);
  const std::vector<uint8_t> after = flushed();
  const DiskControl was(before), now(after);
  // The inner deletion and insertion count a change each, and so does the
  // modify at its end; their key counts cancel.
  EXPECT_EQ(now.key_count, was.key_count);
  EXPECT_EQ(now.change_counter, was.change_counter + 3);
  EXPECT_EQ(items_of(after, 1),
            (std::vector<int32_t>{10, 20, 40, 50, 60, 70, 80, 90}));
  EXPECT_EQ(
      items_of(after, 2),
      (std::vector<int32_t>{100, 110, 120, 130, 140, 150, 151, 160, 170, 175}));
  // Equal neighbouring keys share their text.
  const DiskNode right(after, 512, 2);
  EXPECT_EQ(right.key_off(5), right.key_off(6));
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, ADuplicateKeyIsFoundInTheNeighbouringLeaf) {
  // (100, 5) belongs at the end of leaf 1; key 100 starts leaf 2.
  cberrcode = 0;
  EXPECT_EQ(modify(t_, key(20), 20, key(100), 5, 0), -1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(modify(t_, key(20), 20, key(100), 5, 1), 1);
  const std::vector<uint8_t> f = flushed();
  EXPECT_EQ(items_of(f, 1).back(), 5);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, TheItemAloneChangesAcrossLeavesWhereDuplicatesAreRefused) {
  // Key 90 also ends leaf 1 with item 90; (90, 200) belongs after it, at
  // the end of leaf 1, and (90, -1) before it. Moving (90, 90) to an item
  // that sorts into leaf 2's range goes by deletion and insertion, and the
  // other pairs of the key must not make that insertion refuse.
  ASSERT_EQ(put(t_, key(90), 95), 1);
  ASSERT_EQ(put(t_, key(100), 99), 1);  // (100, 99) starts leaf 2
  cberrcode = 0;
  ASSERT_EQ(modify(t_, key(100), 100, key(100), 5, 0), 1);
  EXPECT_EQ(cberrcode, 0);
  ASSERT_EQ(modify(t_, key(90), 95, key(90), -7, 0), 1);
  const PairList pairs = walk_forward(t_);
  ASSERT_EQ(pairs.size(), 20u);
  EXPECT_EQ(pairs[8], (std::pair<std::string, int32_t>(key(90), -7)));
  EXPECT_EQ(pairs[9], (std::pair<std::string, int32_t>(key(90), 90)));
  EXPECT_EQ(pairs[10], (std::pair<std::string, int32_t>(key(100), 5)));
  EXPECT_EQ(pairs[11], (std::pair<std::string, int32_t>(key(100), 99)));
  EXPECT_EQ(DiskControl(flushed()).key_count, 20u);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, ANewPairThatDoesNotFitItsLeafIsInserted) {
  // Fill leaf 1 up (17 pairs), then lengthen one of its keys: the leaf
  // has no room for the longer key once the old one is out.
  for (int n = 11; n <= 18; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  ASSERT_EQ(DiskNode(flushed(), 512, 1).count(), 17);
  const std::string longer = numbered_key(15, 60);
  ASSERT_EQ(modify(t_, key(15), 15, longer, 15), 1);
  const PairList pairs = walk_forward(t_);
  ASSERT_EQ(pairs.size(), 26u);
  EXPECT_EQ(pairs[4], (std::pair<std::string, int32_t>(key(14), 14)));
  EXPECT_EQ(pairs[5], (std::pair<std::string, int32_t>(longer, 15)));
  EXPECT_EQ(pairs[6], (std::pair<std::string, int32_t>(key(16), 16)));
  EXPECT_EQ(walk_backward(t_).size(), 26u);
  expect_sound(t_);
}

}  // namespace
}  // namespace recbase::test
