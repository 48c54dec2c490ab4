// Searching and walking where the random model test does not reach: an
// empty tree, partial key copies, a mark taken before the first pair, and
// a walk that crosses every leaf of a three-level tree both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

class NavigateTest : public TreeTest {};

TEST_F(NavigateTest, EmptyTreeHasNothingToVisitAndOutputsStayUntouched) {
  constexpr int32_t kUntouched = 12345;
  int32_t item = kUntouched;
  char buf[4];
  CbTree *fresh = open("t");
  ASSERT_NE(fresh, nullptr);
  const struct {
    const char *what;
    int32_t result;
    std::function<int32_t()> call;
  } calls[] = {
      {"cbcurr", -2, [&] { return cbcurr(fresh, &item); }},
      {"cbkey", -2, [&] { return cbkey(fresh, buf, 4); }},
      {"cbkeylen", -2, [&] { return cbkeylen(fresh, &item); }},
      {"cbprev", -2, [&] { return cbprev(fresh, &item); }},
      {"cbhead", -3, [&] { return cbhead(t_, &item); }},
      {"cbtail", -2, [&] { return cbtail(t_, &item); }},
      {"cbfind", -3, [&] { return cbfind(t_, "a", 1, &item); }},
      {"cbfinditem", -3, [&] { return cbfinditem(t_, "a", 1, &item); }},
      {"cbnext", -3, [&] { return cbnext(fresh, &item); }},
      {"cbdepth", 0, [&] { return cbdepth(t_); }},
  };
  for (const auto &c : calls) EXPECT_EQ(c.call(), c.result) << c.what;
  EXPECT_EQ(item, kUntouched);
}

TEST_F(NavigateTest, KeysAreCopiedUpToTheBufferAndAMarkKeepsItsState) {
  const std::string longest(512 - 28, 'm');
  fill({{"", 1}, {"a", 2}, {longest, 3}, {"hello", 6}});
  int32_t item = 0;
  ASSERT_EQ(cbmark(t_), 1);  // before the first pair
  item = 6;
  ASSERT_EQ(cbfinditem(t_, "hello", 5, &item), 2);
  char buf[8] = {'*', '*', '*', '*', '*', '*', '*', '*'};
  EXPECT_EQ(cbkey(t_, buf, 2), 1);
  EXPECT_EQ(cbkey(t_, buf, -5), 1);
  EXPECT_EQ(std::string(buf, 8), "he******");
  EXPECT_EQ(cbkey(t_, buf, 8), 1);
  EXPECT_EQ(std::string(buf, 8), "hello***");
  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(cbcurr(t_, &item), -2);
  EXPECT_EQ(cbnext(t_, &item), 1);
  EXPECT_EQ(key_at(t_), "");
  item = 3;
  ASSERT_EQ(cbfinditem(t_, longest.data(), 484, &item), 2);
  ASSERT_EQ(cbmark(t_), 1);
  ASSERT_EQ(cbhead(t_, &item), 1);
  EXPECT_EQ(cbfindmark(t_, &item), 1);
  EXPECT_EQ(item, 3);
  EXPECT_EQ(key_at(t_), longest);
}

TEST_F(NavigateTest, WalksCrossEveryLeafOfADeepTreeAndTurnAtBothEnds) {
  CbTree *t = create("deep", 92);
  ASSERT_NE(t, nullptr);
  PairList expected;
  for (int i = 0; i < 120; ++i) {  // scattered, three pairs per key
    const int n = (i * 37) % 120;
    expected.emplace_back(numbered_key(n / 3, 6), n % 3 - 1);
    ASSERT_EQ(put(t, expected.back().first, expected.back().second), 1);
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_GE(cbdepth(t), 3);
  EXPECT_EQ(walk_forward(t), expected);
  const PairList back = walk_backward(t);
  EXPECT_EQ(PairList(back.rbegin(), back.rend()), expected);
  int32_t item = 0;
  for (int end = 0; end < 2; ++end) {
    const bool tail = end == 0;
    ASSERT_EQ(tail ? cbtail(t, &item) : cbhead(t, &item), 1);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(tail ? cbnext(t, &item) : cbprev(t, &item), tail ? -3 : -2);
    }
    EXPECT_EQ(tail ? cbprev(t, &item) : cbnext(t, &item), 1);
    EXPECT_EQ(Pair(key_at(t), item), tail ? expected.back() : expected.front());
  }
}

}  // namespace
}  // namespace recbase::test
