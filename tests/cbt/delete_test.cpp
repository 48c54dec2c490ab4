// Deletion: failed deletions (still counted), the last pair, a leaf emptied
// between neighbours or as its parent's low_path child, joins below the
// underflow mark and the root removal that follows, the free chain as a
// stack, where handles stand afterwards, and nodes found on the free chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

// With 20-byte keys the underflow mark of a 512-byte leaf is
// (3 * 512 - 48) / 4 = 372 bytes.
int32_t del_n(CbTree *t, int n, int32_t item) { return del(t, key(n), item); }

PairList numbered(const std::vector<int> &ns) {
  PairList out;
  for (int n : ns) out.emplace_back(key(n), n);
  return out;
}

// True when every byte of a freed block after its 16-byte header is zero.
bool zero_after_header(const DiskNode &n) {
  const std::vector<uint8_t> &b = n.bytes();
  return std::all_of(b.begin() + 16, b.end(), [](uint8_t x) { return x == 0; });
}

class DeleteTest : public TreeTest {
 protected:
  // The leaves from first_leaf along the right_sibling chain.
  std::vector<uint32_t> leaf_chain(const std::vector<uint8_t> &f) const {
    std::vector<uint32_t> out;
    for (uint32_t b = DiskControl(f).first_leaf; b != 0 && out.size() < 100;
         b = node(f, b).right()) {
      out.push_back(b);
    }
    return out;
  }
};

// A shared file writes its control record at the end of every change; one
// that is not shared writes it with its next changed block.
TEST_F(DeleteTest, FailedDeletionsChangeOnlyTheCounters) {
  const std::string name = path("shared");
  CbTree *s = cbscreate(name.c_str(), nullptr, 512, 1);
  ASSERT_NE(s, nullptr);
  cberrcode = cbconcode = 0;
  EXPECT_EQ(del(s, "a", 1), -1);  // the empty tree
  EXPECT_EQ(cberrcode, 24);
  EXPECT_EQ(cbconcode, 26);
  EXPECT_EQ(cbfcncode, 17);
  std::vector<uint8_t> f = flushed(s, "shared");
  EXPECT_EQ(le32_at(f, 32), 0xFFFFFFFFu);  // key_count below zero
  EXPECT_EQ(DiskControl(f).change_counter, 1u);
  EXPECT_EQ(DiskControl(f).root, 0u);
  ASSERT_EQ(put(s, "a", 1), 1);
  f = flushed(s, "shared");
  EXPECT_EQ(le32_at(f, 32), 0u);
  EXPECT_EQ(DiskControl(f).change_counter, 2u);

  ASSERT_EQ(put(s, "b", 5), 1);
  ASSERT_EQ(put(s, "b", 7), 1);
  const std::vector<uint8_t> before = read_file(name);
  // The key is there with other items; the item is part of the pair.
  for (int32_t item : {6, -5, 0, 8}) {
    cberrcode = cbconcode = 0;
    EXPECT_EQ(del(s, "b", item), -1) << item;
    EXPECT_EQ(cberrcode, 26);
    EXPECT_EQ(cbconcode, 28);
  }
  EXPECT_EQ(del(s, "c", 1), -1);  // past every pair
  EXPECT_EQ(cberrcode, 26);
  EXPECT_EQ(del(s, "", 1), -1);  // before every pair
  EXPECT_EQ(cberrcode, 26);
  EXPECT_EQ(walk_forward(s), (PairList{{"a", 1}, {"b", 5}, {"b", 7}}));
  const std::vector<uint8_t> after = flushed(s, "shared");
  // Six attempts, six changes, and no other byte moved.
  EXPECT_EQ(DiskControl(after).key_count, DiskControl(before).key_count - 6);
  EXPECT_EQ(DiskControl(after).change_counter,
            DiskControl(before).change_counter + 6);
  EXPECT_EQ(node(after, 1).bytes(), node(before, 1).bytes());
  expect_sound(s);

  EXPECT_EQ(del(t_, "a", 1), -1);
  EXPECT_EQ(cberrcode, 24);
  ASSERT_EQ(put(t_, "a", 1), 1);
  EXPECT_EQ(le32_at(flushed(), 32), 0u);
  EXPECT_EQ(DiskControl(flushed()).change_counter, 2u);
}

TEST_F(DeleteTest, KeysAreMatchedByTheCompareFunctionAndChecked) {
  // Keys without bytes or length are refused with the other bad keys.
  ASSERT_NO_FATAL_FAILURE(fill({{"a", 1}, {"Key", 1}}));
  // A null key of length 0 is the empty key, which is simply not there.
  EXPECT_EQ(cbdelete(t_, nullptr, 0, 1), -1);
  EXPECT_EQ(cberrcode, 26);
  // A key longer than any key can be is just not found.
  EXPECT_EQ(del(t_, std::string(4000, 'a'), 1), -1);
  EXPECT_EQ(cberrcode, 26);
  EXPECT_EQ(cbconcode, 28);
  ASSERT_EQ(del(t_, "kEY", 1), 1);  // cbkeycmp folds case
  EXPECT_EQ(walk_forward(t_), (PairList{{"a", 1}}));
}

TEST_F(DeleteTest, TheLastPairFreesTheRootLeafForTheNextInsert) {
  ASSERT_EQ(put(t_, "only", 9), 1);
  ASSERT_EQ(DiskControl(flushed()).root, 1u);
  ASSERT_EQ(del(t_, "only", 9), 1);
  const std::vector<uint8_t> f = flushed();
  const DiskControl c(f);
  EXPECT_EQ(c.root, 0u);
  EXPECT_EQ(c.first_leaf, 0u);
  EXPECT_EQ(c.last_leaf, 0u);
  EXPECT_EQ(c.depth, 0);
  EXPECT_EQ(c.free_head, 1u);
  EXPECT_EQ(c.last_block, 1u);  // the file never shrinks
  EXPECT_EQ(f.size(), 2u * 512);
  const DiskNode freed = node(f, 1);
  EXPECT_EQ(freed.low_path(), 0u);
  EXPECT_EQ(freed.left(), 0u);  // the end of the chain
  EXPECT_EQ(freed.count(), 0);
  EXPECT_TRUE(zero_after_header(freed));
  int32_t item = 0;
  EXPECT_EQ(cbhead(t_, &item), -3);
  EXPECT_EQ(cbtail(t_, &item), -2);
  expect_sound(t_);

  ASSERT_EQ(put(t_, "again", 3), 1);
  const DiskControl again(flushed());
  EXPECT_EQ(again.root, 1u);
  EXPECT_EQ(again.free_head, 0u);
  EXPECT_EQ(again.last_block, 1u);
  EXPECT_EQ(again.depth, 1);
  EXPECT_EQ(walk_forward(t_), (PairList{{"again", 3}}));
}

TEST_F(DeleteTest, TheDeletingHandleMovesOnAndAnotherHandleFindsTheGap) {
  ASSERT_NO_FATAL_FAILURE(fill({{"a", 1}, {"b", 5}, {"b", 7}, {"c", 2}}));
  CbTree *other = cbopen(path("t").c_str(), nullptr);
  ASSERT_NE(other, nullptr);
  int32_t item = 0;
  ASSERT_EQ(cbfind(t_, "b", 1, &item), 2);  // on (b, 5)
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbfind(other, "b", 1, &item), 2);
  ASSERT_EQ(del(t_, "b", 5), 1);
  // Its own position and mark stand on the pair that followed.
  cberrcode = 0;
  EXPECT_EQ(cbcurr(t_, &item), 1);
  EXPECT_EQ(item, 7);
  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 7);
  EXPECT_EQ(key_at(t_), "b");
  EXPECT_EQ(cberrcode, 0);
  // The other handle's next step lands on the successor and reports it.
  EXPECT_EQ(cbnext(other, &item), 1);
  EXPECT_EQ(item, 7);
  EXPECT_EQ(cberrcode, 31);
  cberrcode = 0;
  EXPECT_EQ(cbnext(other, &item), 1);  // and on from there as usual
  EXPECT_EQ(item, 2);
  EXPECT_EQ(cberrcode, 0);
  // Stepping back from a vanished pair lands on the one before it.
  ASSERT_EQ(cbfind(other, "b", 1, &item), 2);  // (b, 7)
  ASSERT_EQ(del(t_, "b", 7), 1);
  EXPECT_EQ(cbprev(other, &item), 1);
  EXPECT_EQ(item, 1);
  EXPECT_EQ(key_at(other), "a");
  // The last pair deleted under the position: past the end.
  ASSERT_EQ(cbtail(t_, &item), 1);
  ASSERT_EQ(cbtail(other, &item), 1);
  ASSERT_EQ(del(t_, "c", 2), 1);
  EXPECT_EQ(cbcurr(t_, &item), -3);
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(item, 1);
  char buf[4];
  cberrcode = 0;
  EXPECT_EQ(cbkey(other, buf, 4), -3);
  EXPECT_EQ(cberrcode, 31);
}

// A depth-2 tree whose leaves each hold 17 pairs, so full that no two of
// them can join: keys 100, 200, .. with items equal to their numbers, and
// each leaf topped up with the numbers right after its first key.
class FullLeavesTest : public DeleteTest {
 protected:
  void SetUp() override {
    DeleteTest::SetUp();
    for (int n = 100; n <= 6800; n += 100) ASSERT_EQ(put(t_, key(n), n), 1);
    std::vector<uint8_t> f = flushed();
    for (uint32_t b : leaf_chain(f)) {
      const int first = node(f, b).item(0);
      for (int n = first + 1; n < first + 18 - node(f, b).count(); ++n) {
        ASSERT_EQ(put(t_, key(n), n), 1);
      }
    }
    f = flushed();
    leaves_ = leaf_chain(f);
    ASSERT_GE(leaves_.size(), 4u);
    ASSERT_EQ(DiskControl(f).depth, 2);
    root_ = DiskControl(f).root;
    for (uint32_t b : leaves_) ASSERT_EQ(node(f, b).count(), 17) << b;
    ASSERT_EQ(node(f, root_).low_path(), leaves_[0]);
    ASSERT_EQ(static_cast<size_t>(node(f, root_).count()), leaves_.size() - 1);
    expect_sound(t_);
  }
  // Deletes every pair of leaf b, from its first.
  void empty_leaf(uint32_t b) {
    const DiskNode leaf = node(flushed(), b);
    for (int32_t i = 0; i < leaf.count(); ++i) {
      ASSERT_EQ(del(t_, leaf.key(i), leaf.item(i)), 1) << i;
    }
  }
  // Deletes pairs of leaf b from its end until `keep` are left.
  void trim(uint32_t b, int32_t keep) {
    const DiskNode leaf = node(flushed(), b);
    for (int32_t i = leaf.count() - 1; i >= keep; --i) {
      ASSERT_EQ(del(t_, leaf.key(i), leaf.item(i)), 1) << i;
    }
    ASSERT_EQ(node(flushed(), b).count(), keep);
  }
  // Leaves the second leaf m with a 200-byte key (208 bytes in a leaf)
  // after its first pair and 3 more (56 + 320 bytes), the third with 2
  // pairs, and the first with 2 when trim_left or else full. Returns the
  // long pair.
  std::pair<std::string, int32_t> shape(bool trim_left) {
    const uint32_t l = leaves_[0], m = leaves_[1], r = leaves_[2];
    EXPECT_NO_FATAL_FAILURE(trim(m, 10));
    const int32_t n = node(flushed(), m).item(0);
    EXPECT_EQ(put(t_, numbered_key(n, 200), n), 1);  // m: 280 + 208
    if (trim_left) {
      EXPECT_NO_FATAL_FAILURE(trim(l, 2));  // 56 + 488: no join
    }
    EXPECT_NO_FATAL_FAILURE(trim(r, 2));  // 488 + 56: no join
    EXPECT_NO_FATAL_FAILURE(trim(m, 5));
    EXPECT_EQ(node(flushed(), m).key_len(1), 200);
    return {numbered_key(n, 200), n};
  }
  std::vector<uint32_t> leaves_;
  uint32_t root_ = 0;
};

// Contents in bytes (28 per short pair, 208 for the long one); two leaves
// join when their contents add up to less than 372 - 16 = 356.
TEST_F(FullLeavesTest, ALeafJoinsItsLeftNeighbourAndThenItsRightOne) {
  const uint32_t l = leaves_[0], m = leaves_[1], r = leaves_[2];
  const auto big = shape(true);
  ASSERT_FALSE(HasFailure());
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(leaf_chain(before)[1], m);
  const std::vector<int32_t> m_items = node(before, m).items();
  // m drops to 112: it joins l (168), which then also takes r (224).
  ASSERT_EQ(del(t_, big.first, big.second), 1);
  const std::vector<uint8_t> f = flushed();
  std::vector<int32_t> want = node(before, l).items();
  want.push_back(m_items[0]);
  want.insert(want.end(), m_items.begin() + 2, m_items.end());
  for (int32_t item : node(before, r).items()) want.push_back(item);
  const DiskNode joined = node(f, l);
  EXPECT_EQ(joined.items(), want);
  EXPECT_EQ(joined.key_start(), 512 - 8 * 20);
  EXPECT_EQ(joined.right(), leaves_[3]);
  EXPECT_EQ(node(f, leaves_[3]).left(), l);
  // r went last: the top of the free chain, with m below it.
  EXPECT_EQ(DiskControl(f).free_head, r);
  EXPECT_EQ(node(f, r).left(), m);
  EXPECT_EQ(node(f, root_).count(), node(before, root_).count() - 2);
  EXPECT_EQ(node(f, root_).child(0), leaves_[3]);
  expect_sound(t_);
}

TEST_F(FullLeavesTest, ALeafThatCannotJoinItsLeftNeighbourIsNotOfferedRight) {
  const uint32_t l = leaves_[0], m = leaves_[1], r = leaves_[2];
  const auto big = shape(false);
  ASSERT_FALSE(HasFailure());
  // m drops to 112 bytes: with r (56) it would fit, but l is full.
  ASSERT_EQ(del(t_, big.first, big.second), 1);
  const std::vector<uint8_t> f = flushed();
  EXPECT_EQ(leaf_chain(f), leaves_);
  EXPECT_EQ(node(f, l).count(), 17);
  EXPECT_EQ(node(f, m).count(), 4);
  EXPECT_EQ(node(f, r).count(), 2);
  EXPECT_EQ(DiskControl(f).free_head, 0u);
  expect_sound(t_);
}

TEST_F(FullLeavesTest, ALowPathChildTakesInItsRightNeighbour) {
  const uint32_t l = leaves_[0], m = leaves_[1];
  ASSERT_NO_FATAL_FAILURE(trim(m, 2));  // l is full: no join
  const std::vector<int32_t> m_items = node(flushed(), m).items();
  // l shrinks; at 10 pairs, 280 + 56 = 336 is below 356 and m moves in.
  const DiskNode full = node(flushed(), l);
  for (int32_t i = 16; i >= 11; --i) {
    ASSERT_EQ(del(t_, full.key(i), full.item(i)), 1);
    ASSERT_EQ(node(flushed(), m).count(), 2) << "joined too early, at " << i;
  }
  ASSERT_EQ(del(t_, full.key(10), full.item(10)), 1);
  const std::vector<uint8_t> f = flushed();
  std::vector<int32_t> want = full.items();
  want.resize(10);
  want.insert(want.end(), m_items.begin(), m_items.end());
  EXPECT_EQ(node(f, l).items(), want);
  EXPECT_EQ(node(f, l).right(), leaves_[2]);
  EXPECT_EQ(DiskControl(f).free_head, m);
  EXPECT_EQ(node(f, root_).low_path(), l);
  EXPECT_EQ(node(f, root_).child(0), leaves_[2]);
  expect_sound(t_);
}

TEST_F(FullLeavesTest, EmptiedLeavesAreFreedAndReusedLastFreedFirst) {
  const std::vector<uint8_t> before = flushed();
  const uint32_t left = leaves_[0], gone = leaves_[1], right = leaves_[2];
  const PairList all = walk_forward(t_);
  ASSERT_NO_FATAL_FAILURE(empty_leaf(gone));
  std::vector<uint8_t> f = flushed();
  EXPECT_EQ(DiskControl(f).free_head, gone);
  EXPECT_EQ(node(f, gone).low_path(), 0u);
  EXPECT_EQ(node(f, gone).left(), 0u);
  EXPECT_TRUE(zero_after_header(node(f, gone)));
  EXPECT_EQ(node(f, left).right(), right);
  EXPECT_EQ(node(f, right).left(), left);
  // The parent lost the entry for the freed leaf, nothing else.
  const DiskNode was = node(before, root_), now = node(f, root_);
  ASSERT_EQ(now.count(), was.count() - 1);
  EXPECT_EQ(now.low_path(), left);
  for (int32_t i = 0; i < now.count(); ++i) {
    EXPECT_EQ(now.child(i), was.child(i + 1)) << i;
    EXPECT_EQ(now.key(i), was.key(i + 1)) << i;
  }
  EXPECT_EQ(node(f, left).items(), node(before, left).items());
  EXPECT_EQ(node(f, right).items(), node(before, right).items());
  const std::vector<int32_t> removed = node(before, gone).items();
  PairList rest;
  for (const auto &p : all) {
    if (std::find(removed.begin(), removed.end(), p.second) == removed.end()) {
      rest.push_back(p);
    }
  }
  EXPECT_EQ(rest.size(), all.size() - 17);
  EXPECT_EQ(walk_forward(t_), rest);
  expect_sound(t_);

  // A second freed leaf goes on top of the chain.
  ASSERT_NO_FATAL_FAILURE(empty_leaf(right));
  f = flushed();
  EXPECT_EQ(DiskControl(f).free_head, right);
  EXPECT_EQ(node(f, right).left(), gone);
  EXPECT_EQ(node(f, left).right(), leaves_[3]);
  // The low_path leaf and its right neighbour are full: one more pair
  // there splits the leaf, which takes the top of the chain.
  ASSERT_EQ(put(t_, key(150), 150), 1);
  f = flushed();
  EXPECT_EQ(DiskControl(f).free_head, gone);
  EXPECT_EQ(DiskControl(f).last_block, DiskControl(before).last_block);
  EXPECT_TRUE(node(f, right).leaf());
  EXPECT_EQ(node(f, left).right(), right);
  expect_sound(t_);
}

TEST_F(FullLeavesTest, AnEmptiedLowPathChildHandsItsPlaceToTheNextChild) {
  const std::vector<uint8_t> before = flushed();
  const uint32_t gone = leaves_[0], next = leaves_[1];
  ASSERT_NO_FATAL_FAILURE(empty_leaf(gone));
  const std::vector<uint8_t> f = flushed();
  EXPECT_EQ(DiskControl(f).free_head, gone);
  EXPECT_EQ(DiskControl(f).first_leaf, next);
  EXPECT_EQ(node(f, next).left(), 0u);
  const DiskNode was = node(before, root_), now = node(f, root_);
  EXPECT_EQ(now.low_path(), next);
  ASSERT_EQ(now.count(), was.count() - 1);
  for (int32_t i = 0; i < now.count(); ++i) {
    EXPECT_EQ(now.child(i), was.child(i + 1)) << i;
  }
  int32_t item = 0;
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(item, node(f, next).item(0));
  expect_sound(t_);
}

// The worked example of a join: root 3 over leaf A = 1 (its low_path
// child) and leaf B = 2, from build_two_leaves; A is then topped up to
// `a_pairs` and B cut down to 160, 170, 175.
class JoinTest : public DeleteTest {
 protected:
  // The pairs added to A have keys of first_len bytes; a tree built before
  // is replaced.
  void build(int a_pairs, size_t first_len = 20) {
    ASSERT_EQ(cbclose(t_), 1);
    t_ = create("t");
    ASSERT_NE(t_, nullptr);
    ASSERT_NO_FATAL_FAILURE(build_two_leaves(t_));
    for (int n = 11; n < 11 + a_pairs - 9; ++n) {
      ASSERT_EQ(put(t_, numbered_key(n, first_len), n), 1);
    }
    for (int n = 100; n <= 150; n += 10) ASSERT_EQ(del_n(t_, n, n), 1);
    const std::vector<uint8_t> f = flushed();
    ASSERT_EQ(DiskControl(f).root, 3u);
    ASSERT_EQ(DiskControl(f).depth, 2);
    ASSERT_EQ(node(f, 3).low_path(), 1u);
    ASSERT_EQ(node(f, 3).count(), 1);
    ASSERT_EQ(node(f, 3).child(0), 2u);
    ASSERT_EQ(node(f, 1).count(), a_pairs);
    ASSERT_EQ(node(f, 2).items(), (std::vector<int32_t>{160, 170, 175}));
    expect_sound(t_);
  }
};

TEST_F(JoinTest, LeavesJoinOnlyBelowTheMark) {
  ASSERT_NO_FATAL_FAILURE(build(11));
  const std::vector<uint8_t> before = flushed();
  // 11 * 28 + 2 * 28 + 16 = 380 is not below 372.
  ASSERT_EQ(del_n(t_, 170, 170), 1);
  std::vector<uint8_t> f = flushed();
  EXPECT_EQ(DiskControl(f).depth, 2);
  EXPECT_EQ(DiskControl(f).free_head, 0u);
  EXPECT_EQ(node(f, 1).bytes(), node(before, 1).bytes());
  EXPECT_EQ(node(f, 2).items(), (std::vector<int32_t>{160, 175}));
  EXPECT_EQ(node(f, 3).bytes(), node(before, 3).bytes());
  // A's tenth key has 40 bytes: 9 * 28 + 48 + 2 * 28 + 16 = 372 exactly.
  ASSERT_NO_FATAL_FAILURE(build(10, 40));
  ASSERT_EQ(del_n(t_, 170, 170), 1);
  f = flushed();
  EXPECT_EQ(DiskControl(f).depth, 2);
  EXPECT_EQ(node(f, 1).count(), 10);
  EXPECT_EQ(node(f, 2).count(), 2);
  // One byte less and they join.
  ASSERT_NO_FATAL_FAILURE(build(10, 39));
  ASSERT_EQ(del_n(t_, 170, 170), 1);
  f = flushed();
  EXPECT_EQ(DiskControl(f).depth, 1);
  EXPECT_EQ(node(f, 1).count(), 12);
  expect_sound(t_);
}

TEST_F(JoinTest, TheRightLeafMovesIntoTheLeftAndTheRootGoes) {
  ASSERT_NO_FATAL_FAILURE(build(10));
  // 10 * 28 + 2 * 28 + 16 = 352, below 372: B's two pairs join A.
  ASSERT_EQ(del_n(t_, 170, 170), 1);
  const std::vector<uint8_t> f = flushed();
  const DiskControl c(f);
  EXPECT_EQ(c.root, 1u);
  EXPECT_EQ(c.depth, 1);
  EXPECT_EQ(c.first_leaf, 1u);
  EXPECT_EQ(c.last_leaf, 1u);
  EXPECT_EQ(c.last_block, 3u);
  const DiskNode a = node(f, 1);
  EXPECT_TRUE(a.leaf());
  EXPECT_EQ(a.left(), 0u);
  EXPECT_EQ(a.right(), 0u);
  const std::vector<int> all = {10, 11, 20, 30, 40, 50, 60, 70, 80, 90, 160, 175};
  EXPECT_EQ(a.items(), std::vector<int32_t>(all.begin(), all.end()));
  EXPECT_EQ(a.key(10), key(160));
  EXPECT_EQ(a.key(11), key(175));
  EXPECT_EQ(a.key_start(), 512 - 12 * 20);
  // B was freed first, then the root: the chain is root, then B.
  EXPECT_EQ(c.free_head, 3u);
  for (uint32_t b : {3u, 2u}) {
    EXPECT_EQ(node(f, b).low_path(), 0u) << b;
    EXPECT_EQ(node(f, b).left(), b == 3 ? 2u : 0u) << b;
    EXPECT_EQ(node(f, b).count(), 0) << b;
    EXPECT_TRUE(zero_after_header(node(f, b))) << b;
  }
  EXPECT_EQ(walk_forward(t_), numbered(all));
  EXPECT_EQ(walk_backward(t_).size(), 12u);
  expect_sound(t_);
}

TEST_F(DeleteTest, EmptyingADeepTreeLeavesEveryBlockFree) {
  // Long keys in small blocks: one pair per leaf, several levels.
  CbTree *deep = create("deep", 92);
  ASSERT_NE(deep, nullptr);
  const int kPairs = 40;
  for (int n = 0; n < kPairs; ++n) {
    ASSERT_EQ(put(deep, numbered_key(n, 60), n), 1);
  }
  ASSERT_GE(cbdepth(deep), 4);
  cbt::TreeStats full;
  ASSERT_EQ(cbt::check_tree(deep, &full), "");
  // From the middle outwards, so that both neighbours of a freed leaf are
  // live for most of the way.
  for (int i = 0; i < kPairs; ++i) {
    const int n = i % 2 == 0 ? kPairs / 2 + i / 2 : kPairs / 2 - 1 - i / 2;
    ASSERT_EQ(del(deep, numbered_key(n, 60), n), 1) << n;
    cbt::TreeStats stats;
    ASSERT_EQ(cbt::check_tree(deep, &stats), "") << "after deleting " << n;
    // No root is left with its low_path child alone.
    if (stats.depth >= 2) {
      ASSERT_GE(stats.levels.at(0).entries, 1u) << "after deleting " << n;
    }
  }
  EXPECT_EQ(cbdepth(deep), 0);
  cbt::TreeStats empty;
  ASSERT_EQ(cbt::check_tree(deep, &empty), "");
  EXPECT_EQ(empty.last_block, full.last_block);
  EXPECT_EQ(empty.free_blocks, full.last_block);
  EXPECT_EQ(empty.entries, 0u);
}

// A block on the free chain where the tree expects a node is damage, found
// before anything changes: as the root, and as a leaf under a sound root.
TEST_F(DeleteTest, ANodeOnTheFreeChainIsReportedAsDamage) {
  ASSERT_EQ(put(t_, "a", 1), 1);
  CbTree *two = create("two");
  ASSERT_NE(two, nullptr);
  ASSERT_NO_FATAL_FAILURE(build_two_leaves(two));
  const struct {
    const char *name;
    uint32_t block;
    std::string key;
    int32_t item, ctx;
  } cases[] = {{"t", 1, "a", 1, 27}, {"two", 2, key(100), 100, 28}};
  ASSERT_EQ(cbclose(t_), 1);
  ASSERT_EQ(cbclose(two), 1);
  for (const auto &c : cases) {
    patch_file(path(c.name), c.block * 512, std::vector<uint8_t>(512, 0));
    CbTree *t = cbopen(path(c.name).c_str(), nullptr);
    ASSERT_NE(t, nullptr);
    cberrcode = cbconcode = 0;
    EXPECT_EQ(del(t, c.key, c.item), -1) << c.name;
    EXPECT_EQ(cberrcode, 25) << c.name;
    EXPECT_EQ(cbconcode, c.ctx) << c.name;
  }
}

}  // namespace
}  // namespace recbase::test
