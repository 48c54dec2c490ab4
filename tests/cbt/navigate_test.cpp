// Search and navigation: results on an empty tree, finding by key and by
// (key, item), walks in both directions and off both ends, reading keys,
// the mark, and positions that outlive changes made through another handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

constexpr int32_t kUntouched = 12345;

class NavigateTest : public TreeTest {
 protected:
  CbTree *open_again() { return cbopen(path("t").c_str(), nullptr); }
};

TEST_F(NavigateTest, EmptyTreeHasNothingToVisit) {
  int32_t item = kUntouched;
  EXPECT_EQ(cbhead(t_, &item), -3);
  EXPECT_EQ(cbtail(t_, &item), -2);
  EXPECT_EQ(cbfind(t_, "a", 1, &item), -3);
  EXPECT_EQ(cbfinditem(t_, "a", 1, &item), -3);
  EXPECT_EQ(item, kUntouched);

  CbTree *fresh = open_again();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(cbcurr(fresh, &item), -2);
  char buf[4];
  EXPECT_EQ(cbkey(fresh, buf, 4), -2);
  EXPECT_EQ(cbkeylen(fresh, &item), -2);
  EXPECT_EQ(cbnext(fresh, &item), -3);
  CbTree *other = open_again();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(cbprev(other, &item), -2);
  EXPECT_EQ(item, kUntouched);
  EXPECT_EQ(cbdepth(t_), 0);
}

TEST_F(NavigateTest, FindLandsOnTheFirstEqualKeyOrTheNextPair) {
  fill({{"a", 1}, {"b", 5}, {"b", 7}, {"c", 2}});
  int32_t item = 0;
  EXPECT_EQ(cbfind(t_, "b", 1, &item), 2);
  EXPECT_EQ(item, 5);
  EXPECT_EQ(cbfind(t_, "B", 1, &item), 2);  // the default compare folds case
  EXPECT_EQ(item, 5);
  item = 6;
  EXPECT_EQ(cbfinditem(t_, "b", 1, &item), 3);
  EXPECT_EQ(item, 7);
  item = 7;
  EXPECT_EQ(cbfinditem(t_, "b", 1, &item), 2);
  EXPECT_EQ(item, 7);
  item = 8;
  EXPECT_EQ(cbfinditem(t_, "b", 1, &item), 3);
  EXPECT_EQ(item, 2);
  EXPECT_EQ(cbfind(t_, "bb", 2, &item), 3);
  EXPECT_EQ(item, 2);
  EXPECT_EQ(key_at(t_), "c");
  item = kUntouched;
  EXPECT_EQ(cbfind(t_, "d", 1, &item), -3);
  EXPECT_EQ(item, kUntouched);
  EXPECT_EQ(cbcurr(t_, &item), -3);
  // The empty key sorts before every other.
  EXPECT_EQ(cbfind(t_, "", 0, &item), 3);
  EXPECT_EQ(item, 1);
}

TEST_F(NavigateTest, FindSkipsEqualKeysWithNegativeItems) {
  fill({{"a", 1}, {"b", -4}, {"b", 3}, {"c", 2}});
  int32_t item = 0;
  EXPECT_EQ(cbfind(t_, "b", 1, &item), 2);
  EXPECT_EQ(item, 3);
  item = INT32_MIN;
  EXPECT_EQ(cbfinditem(t_, "b", 1, &item), 3);
  EXPECT_EQ(item, -4);

  CbTree *only = create("only");
  ASSERT_NE(only, nullptr);
  ASSERT_EQ(put(only, "a", 1), 1);
  ASSERT_EQ(put(only, "b", -4), 1);
  ASSERT_EQ(put(only, "c", 2), 1);
  EXPECT_EQ(cbfind(only, "b", 1, &item), 3);
  EXPECT_EQ(item, 2);
  EXPECT_EQ(cbprev(only, &item), 1);
  EXPECT_EQ(item, -4);
}

// Enough pairs for a tree of three levels of 92-byte blocks.
class WalkTest : public CbtTest {
 protected:
  void SetUp() override {
    CbtTest::SetUp();
    t_ = create("t", 92);
    ASSERT_NE(t_, nullptr);
    // Inserted in a scattered order; 3 pairs per key.
    for (int i = 0; i < 120; ++i) {
      const int n = (i * 37) % 120;
      const std::string k = numbered_key(n / 3, 6);
      ASSERT_EQ(put(t_, k, n % 3 - 1), 1) << i;
      expected_.emplace_back(k, n % 3 - 1);
    }
    std::sort(expected_.begin(), expected_.end());
    ASSERT_GE(cbdepth(t_), 3);
    expect_sound(t_);
  }
  CbTree *t_ = nullptr;
  PairList expected_;
};

TEST_F(WalkTest, WalksVisitEveryPairOnceAndTurnAroundAtBothEnds) {
  EXPECT_EQ(walk_forward(t_), expected_);
  PairList back = walk_backward(t_);
  EXPECT_EQ(PairList(back.rbegin(), back.rend()), expected_);

  int32_t item = 0;
  ASSERT_EQ(cbtail(t_, &item), 1);
  EXPECT_EQ(cbnext(t_, &item), -3);
  EXPECT_EQ(cbnext(t_, &item), -3);
  EXPECT_EQ(cbcurr(t_, &item), -3);
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(std::make_pair(key_at(t_), item), expected_.back());
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(cbprev(t_, &item), -2);
  EXPECT_EQ(cbprev(t_, &item), -2);
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(std::make_pair(key_at(t_), item), expected_.front());
}

TEST_F(WalkTest, FindThenStepCrossesLeaves) {
  for (size_t i = 0; i + 1 < expected_.size(); i += 7) {
    int32_t item = expected_[i].second;
    const std::string &k = expected_[i].first;
    ASSERT_EQ(cbfinditem(t_, k.data(), static_cast<int32_t>(k.size()), &item),
              2);
    ASSERT_EQ(cbnext(t_, &item), 1);
    EXPECT_EQ(key_at(t_), expected_[i + 1].first);
    EXPECT_EQ(item, expected_[i + 1].second);
    ASSERT_EQ(cbprev(t_, &item), 1);
    ASSERT_EQ(cbprev(t_, &item), i == 0 ? -2 : 1);
    if (i > 0) {
      EXPECT_EQ(key_at(t_), expected_[i - 1].first);
      EXPECT_EQ(item, expected_[i - 1].second);
    }
  }
}

TEST_F(NavigateTest, MarkSavesAPositionToReturnTo) {
  fill({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}, {"f", 6}});
  int32_t item = 0;
  EXPECT_EQ(cbfindmark(t_, &item), -1);
  EXPECT_EQ(cberrcode, 27);
  EXPECT_EQ(cbconcode, 51);

  // A mark taken before the first pair restores that state.
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbfind(t_, "c", 1, &item), 2);
  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(cbcurr(t_, &item), -2);
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(item, 1);

  ASSERT_EQ(cbnext(t_, &item), 1);
  ASSERT_EQ(cbmark(t_), 1);  // on (b, 2)
  for (int i = 0; i < 3; ++i) ASSERT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(item, 5);
  for (int round = 0; round < 2; ++round) {
    item = 0;
    EXPECT_EQ(cbfindmark(t_, &item), 1);
    EXPECT_EQ(item, 2);
    EXPECT_EQ(key_at(t_), "b");
    EXPECT_EQ(cbnext(t_, &item), 1);
    EXPECT_EQ(item, 3);
  }
}

TEST_F(NavigateTest, KeysOfEveryLengthAreCopiedUpToTheBufferSize) {
  const std::string longest(512 - 28, 'm');
  fill({{"", 1}, {"a", 2}, {longest, 3}, {"n", 4}, {std::string(200, 'z'), 5},
        {"hello", 6}});
  PairList back = walk_backward(t_);
  EXPECT_EQ(walk_forward(t_), PairList(back.rbegin(), back.rend()));
  ASSERT_EQ(back.size(), 6u);
  EXPECT_EQ(back[2].first, longest);

  int32_t item = 6;
  ASSERT_EQ(cbfinditem(t_, "hello", 5, &item), 2);
  char buf[8] = {'*', '*', '*', '*', '*', '*', '*', '*'};
  EXPECT_EQ(cbkey(t_, buf, 2), 1);
  EXPECT_EQ(std::string(buf, 8), "he******");
  EXPECT_EQ(cbkey(t_, buf, 0), 1);
  EXPECT_EQ(cbkey(t_, buf, -5), 1);
  EXPECT_EQ(std::string(buf, 8), "he******");
  EXPECT_EQ(cbkey(t_, buf, 8), 1);
  EXPECT_EQ(std::string(buf, 8), "hello***");
  int32_t len = 0;
  EXPECT_EQ(cbkeylen(t_, &len), 1);
  EXPECT_EQ(len, 5);

  item = 3;
  ASSERT_EQ(cbfinditem(t_, longest.data(), 484, &item), 2);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbhead(t_, &item), 1);  // the empty key
  EXPECT_EQ(cbkeylen(t_, &len), 1);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 3);
  EXPECT_EQ(key_at(t_), longest);
}

TEST_F(NavigateTest, PositionsSurviveInsertsThroughAnotherHandle) {
  fill({{"b", 5}, {"b", 7}, {"d", 1}});
  CbTree *other = open_again();
  ASSERT_NE(other, nullptr);
  int32_t item = 0;
  ASSERT_EQ(cbfind(t_, "b", 1, &item), 2);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbnext(t_, &item), 1);  // on (b, 7)

  // Enough pairs on both sides to split the leaf several times, so that
  // both saved positions name stale blocks and indexes.
  ASSERT_EQ(put(other, "b", 6), 1);
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(put(other, "a" + numbered_key(i, 20), i), 1);
    ASSERT_EQ(put(other, "c" + numbered_key(i, 20), i), 1);
  }
  ASSERT_GE(cbdepth(t_), 2);
  cberrcode = 0;
  EXPECT_EQ(cbcurr(t_, &item), 1);
  EXPECT_EQ(item, 7);
  EXPECT_EQ(key_at(t_), "b");
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(key_at(t_), "c" + numbered_key(0, 20));
  EXPECT_EQ(item, 0);

  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 5);
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(item, 6);  // inserted after the mark was taken
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(key_at(t_), "a" + numbered_key(59, 20));
  EXPECT_EQ(cberrcode, 0);  // nothing was deleted
  expect_sound(t_);
}

TEST_F(NavigateTest, InsertDoesNotMoveTheInsertingHandle) {
  fill({{"m", 1}});
  int32_t item = 0;
  ASSERT_EQ(cbhead(t_, &item), 1);
  ASSERT_EQ(put(t_, "a", 2), 1);
  ASSERT_EQ(put(t_, "z", 3), 1);
  EXPECT_EQ(cbcurr(t_, &item), 1);
  EXPECT_EQ(item, 1);
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(item, 3);
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(cbprev(t_, &item), 1);
  EXPECT_EQ(item, 2);
}

}  // namespace
}  // namespace recbase::test
