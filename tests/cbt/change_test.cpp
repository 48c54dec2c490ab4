// Changes as they land on disk: what refused changes still count, the
// neighbours a full leaf shifts into, duplicate keys across the ends of a
// leaf, joins at the underflow mark and the free chain as a stack, and
// replacements inside one leaf or across leaves. The random model test
// covers the contents; these pin the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cbt/delete.h"
#include "cbt/insert.h"
#include "cbt/node_ops.h"
#include "cbt/pair_in_place.h"
#include "cbt/record_calls.h"
#include "tests/support/fault_injection.h"
#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

class ChangeTest : public TreeTest {};

// A shared file writes its control record at the end of every change,
// which shows what each call counted.
TEST_F(ChangeTest, RefusedChangesCountOnlyWhereTheFormatSaysSo) {
  CbTree *s = cbscreate(path("s").c_str(), nullptr, 512, 1);
  ASSERT_NE(s, nullptr);
  const auto counters = [&] {
    const DiskControl c(read_file(path("s")));
    return std::pair{c.key_count, c.change_counter};
  };
  using Call = std::function<int32_t()>;
  const auto ins = [&](const char *k, int32_t i, int32_t dup = 1) -> Call {
    return [=] { return put(s, k, i, dup); };
  };
  const auto rm = [&](const char *k, int32_t i) -> Call {
    return [=] { return del(s, k, i); };
  };
  const auto mod = [&](const char *k, int32_t i, const char *nk, int32_t ni,
                       int32_t dup = 1) -> Call {
    return [=] { return modify(s, k, i, nk, ni, dup); };
  };
  // Every insert or delete attempt counts a change and moves key_count; a
  // modify refused before its change step counts nothing, one within a leaf
  // one change and no key.
  const struct {
    const char *what;
    Call call;
    int32_t err, ctx;
    std::pair<uint32_t, uint32_t> after;
  } steps[] = {
      // clang-format off
      {"delete from empty", rm("a", 1), CBERR_EMPTY_TREE, CBCTX_DELETE_EMPTY,
       {0xFFFFFFFFu, 1}},
      {"insert", ins("a", 1), 0, 0, {0, 2}},
      {"insert", ins("b", 5), 0, 0, {1, 3}},
      {"pair present", ins("B", 5), CBERR_DUP_PAIR, CBCTX_INSERT_KEY, {2, 4}},
      {"key present", ins("b", 7, 0), CBERR_DUP_KEY, CBCTX_INSERT_KEY, {3, 5}},
      {"item absent", rm("b", 6), CBERR_NOT_FOUND, CBCTX_DELETE_KEY, {2, 6}},
      {"key past all", rm("c", 1), CBERR_NOT_FOUND, CBCTX_DELETE_KEY, {1, 7}},
      {"delete", rm("B", 5), 0, 0, {0, 8}},
      {"modify to itself", mod("a", 1, "A", 1), 0, 0, {0, 8}},
      {"modify missing", mod("z", 1, "y", 1), CBERR_NOT_FOUND, CBCTX_FIND_LEAF,
       {0, 8}},
      {"insert", ins("c", 3), 0, 0, {1, 9}},
      {"modify to a present key", mod("a", 1, "C", 1, 0), CBERR_DUP_KEY,
       CBCTX_INSERT_KEY, {1, 9}},
      {"modify in place", mod("a", 1, "b", 2), 0, 0, {1, 10}},
      // clang-format on
  };
  for (const auto &step : steps) {
    cberrcode = cbconcode = 0;
    EXPECT_EQ(step.call(), step.err == 0 ? 1 : -1) << step.what;
    EXPECT_EQ(cberrcode, step.err) << step.what;
    EXPECT_EQ(cbconcode, step.ctx) << step.what;
    EXPECT_EQ(counters(), step.after) << step.what;
  }
  EXPECT_EQ(walk_forward(s), (PairList{{"b", 2}, {"c", 3}}));
  // Refused before the change begins: no code, no count.
  cberrcode = 77;
  EXPECT_EQ(put(s, std::string(512 - 27, 'q'), 1), -1);
  EXPECT_EQ(cberrcode, 77);
  EXPECT_EQ(cbfcncode, CBFN_INSERT);
  EXPECT_EQ(counters(), (std::pair<uint32_t, uint32_t>{1, 10}));
}

TEST_F(ChangeTest, KeyLengthsAreLimitedByTheBuffersAndTheTreesBlocks) {
  // A tree of smaller blocks than the buffers has a limit of its own.
  CbTree *small = create("small", 256);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(put(small, std::string(256 - 28, 'k'), 1), 1);
  const std::function<int32_t()> too_long[] = {
      [&] { return put(small, std::string(256 - 27, 'k'), 2); },
      [&] { return modify(small, "k", 1, std::string(256 - 27, 'k'), 2); }};
  for (const auto &call : too_long) {
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(cberrcode, CBERR_KEY_LENGTH);
    EXPECT_EQ(cbconcode, CBCTX_INSERT_KEY);
  }
}

class TwoLeavesTest : public ChangeTest {
 protected:
  void SetUp() override {
    ChangeTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(build_two_leaves(t_));
  }
  // Replaces the root's separator by (key(n), item) on disk and reopens: a
  // separator below the right leaf's smallest pair is what a deletion of
  // that pair leaves behind.
  void lower_separator(int n, int32_t item) {
    ASSERT_EQ(cbclose(t_), 1);
    const DiskNode root = node(read_file(path("t")), 3);
    const std::string k = key(n);
    patch_file(path("t"), 3 * 512 + root.key_off(0), {k.begin(), k.end()});
    patch_file(path("t"), 3 * 512 + root.entry(0) + 4, le_bytes(item, 4));
    ASSERT_EQ(cbt::check_tree_file(path("t").c_str(), nullptr), "");
    t_ = open("t");
    ASSERT_NE(t_, nullptr);
  }
};

// (100, 1) belongs at the end of leaf 1 while leaf 2 starts with key 100;
// with the separator lowered, (90, 250) belongs at the start of leaf 2
// while leaf 1 ends with key 90.
TEST_F(TwoLeavesTest, AnEqualKeyInTheNeighbouringLeafIsFound) {
  const std::function<int32_t(int32_t)> calls[] = {
      [&](int32_t dup) { return put(t_, key(100), 1, dup); },
      [&](int32_t dup) { return modify(t_, key(20), 20, key(100), 1, dup); }};
  for (const auto &call : calls) {
    EXPECT_EQ(call(0), -1);
    EXPECT_EQ(cberrcode, CBERR_DUP_KEY);
    EXPECT_EQ(put(t_, key(90), 1, 0), -1);  // and inside the leaf
    ASSERT_EQ(call(1), 1);
    EXPECT_EQ(node(flushed(), 1).items().back(), 1);
    ASSERT_EQ(del(t_, key(100), 1), 1);
  }
  ASSERT_NO_FATAL_FAILURE(lower_separator(90, 200));
  EXPECT_EQ(put(t_, key(90), 250, 0), -1);
  EXPECT_EQ(cberrcode, CBERR_DUP_KEY);
  ASSERT_EQ(put(t_, key(90), 250, 1), 1);
  EXPECT_EQ(node(flushed(), 2).items().front(), 250);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AFullLeafShiftsIntoItsNeighbourInsteadOfSplitting) {
  // Leaf 1 full: its last pair moves right, and the root lists leaf 2 under
  // it.
  for (int n = 11; n <= 18; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  std::vector<uint8_t> before = flushed();
  ASSERT_EQ(node(before, 1).count(), 17);
  ASSERT_EQ(put(t_, key(95), 95), 1);
  std::vector<uint8_t> after = flushed();
  EXPECT_EQ(DiskControl(after).last_block, 3u);  // no split
  EXPECT_EQ(node(after, 1).bytes(), node(before, 1).bytes());
  EXPECT_EQ(
      node(after, 2).items(),
      (std::vector<int32_t>{95, 100, 110, 120, 130, 140, 150, 160, 170, 175}));
  EXPECT_EQ(node(after, 3).key(0), key(95));
  EXPECT_EQ(node(after, 3).item(0), 95);
  expect_sound(t_);
  // The last child full: a pair for its start moves left.
  for (int n = 11; n <= 18; ++n) ASSERT_EQ(del(t_, key(n), n), 1);
  ASSERT_EQ(del(t_, key(95), 95), 1);
  for (int n = 176; n <= 183; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  ASSERT_NO_FATAL_FAILURE(lower_separator(95, 95));
  before = read_file(path("t"));
  ASSERT_EQ(node(before, 2).count(), 17);
  ASSERT_EQ(put(t_, key(97), 97), 1);
  after = flushed();
  EXPECT_EQ(DiskControl(after).last_block, 3u);
  EXPECT_EQ(node(after, 2).bytes(), node(before, 2).bytes());
  EXPECT_EQ(node(after, 1).items().back(), 97);
  ASSERT_EQ(node(after, 3).count(), 1);  // leaf 2 listed under its smallest
  EXPECT_EQ(node(after, 3).item(0), 100);
  expect_sound(t_);
}

TEST_F(TwoLeavesTest, AReplacementInsideOneLeafTouchesNoOtherBlock) {
  const std::vector<uint8_t> before = flushed();
  ASSERT_EQ(modify(t_, key(30), 30, key(85), 85), 1);
  const std::vector<uint8_t> after = flushed();
  ASSERT_EQ(after.size(), before.size());
  // Block 0 differs only in the change counter (bytes 28..31).
  for (size_t i = 0; i < 512; ++i) {
    if (i < 28 || i >= 32) {
      EXPECT_EQ(after[i], before[i]) << "byte " << i;
    }
  }
  for (uint32_t b = 2; b <= 3; ++b) {
    EXPECT_EQ(node(after, b).bytes(), node(before, b).bytes()) << b;
  }
  EXPECT_EQ(DiskControl(after).change_counter,
            DiskControl(before).change_counter + 1);
  EXPECT_EQ(node(after, 1).items(),
            (std::vector<int32_t>{10, 20, 40, 50, 60, 70, 80, 85, 90}));
  EXPECT_EQ(node(after, 1).key_start(), 512 - 9 * 20);
  // Across leaves: a deletion and an insertion, each counted, then the
  // modify's own change; their key counts cancel.
  ASSERT_EQ(modify(t_, key(85), 85, key(150), 151), 1);
  const DiskControl was(after), now(flushed());
  EXPECT_EQ(now.key_count, was.key_count);
  EXPECT_EQ(now.change_counter, was.change_counter + 3);
  const DiskNode right = node(flushed(), 2);
  EXPECT_EQ(right.items()[6], 151);
  EXPECT_EQ(right.key_off(5), right.key_off(6));  // (150, 150) shares text
  // The item alone changes across leaves although duplicates are refused:
  // the key's other pairs do not count against the insertion.
  ASSERT_EQ(put(t_, key(100), 99), 1);
  ASSERT_EQ(modify(t_, key(100), 100, key(100), 5, 0), 1);
  const std::vector<int32_t> left = node(flushed(), 1).items();
  EXPECT_EQ(std::vector<int32_t>(left.end() - 3, left.end()),
            (std::vector<int32_t>{90, 5, 99}));
  expect_sound(t_);
}

// Root 3 over leaf A = 1 (its low_path child) and leaf B = 2 from
// build_two_leaves; A topped up to a_pairs with keys of first_len bytes,
// and B cut down to 160, 170, 175. With 20-byte keys the underflow mark of
// a 512-byte leaf is (3 * 512 - 48) / 4 = 372 bytes.
class JoinTest : public ChangeTest {
 protected:
  void build(int a_pairs, size_t first_len) {
    ASSERT_EQ(cbclose(t_), 1);
    t_ = create("t");
    ASSERT_NE(t_, nullptr);
    ASSERT_NO_FATAL_FAILURE(build_two_leaves(t_));
    for (int n = 11; n < 2 + a_pairs; ++n) {
      ASSERT_EQ(put(t_, numbered_key(n, first_len), n), 1);
    }
    for (int n = 100; n <= 150; n += 10) ASSERT_EQ(del(t_, key(n), n), 1);
    const std::vector<uint8_t> f = flushed();
    ASSERT_EQ(node(f, 1).count(), a_pairs);
    ASSERT_EQ(node(f, 2).items(), (std::vector<int32_t>{160, 170, 175}));
  }
};

TEST_F(JoinTest, LeavesJoinOnlyBelowTheMark) {
  const struct {
    int a_pairs;
    size_t first_len;
    bool joins;
  } cases[] = {
      {11, 20, false},  // 11 * 28 + 2 * 28 + 16 = 380
      {10, 40, false},  // 9 * 28 + 48 + 2 * 28 + 16 = 372, the mark itself
      {10, 39, true},   // one byte less
  };
  // The pair deleted: 170 from B, which is offered to its left neighbour
  // A, or 30 from A, the low_path child, offered to its right neighbour B;
  // either way the two leaves hold 28 bytes less than with both of them.
  for (const auto &c : cases) {
    for (int gone : {170, 30}) {
      ASSERT_NO_FATAL_FAILURE(build(c.a_pairs, c.first_len));
      ASSERT_EQ(del(t_, key(gone), gone), 1);
      const std::vector<uint8_t> f = flushed();
      EXPECT_EQ(DiskControl(f).depth, c.joins ? 1 : 2) << c.first_len << gone;
      // Joined, A holds every pair left of both.
      EXPECT_EQ(node(f, 1).count(),
                c.joins ? c.a_pairs + 2 : c.a_pairs - (gone == 30 ? 1 : 0));
      expect_sound(t_);
    }
  }
}

TEST_F(JoinTest, TheRightLeafMovesIntoTheLeftAndTheRootGoes) {
  ASSERT_NO_FATAL_FAILURE(build(10, 20));
  ASSERT_EQ(del(t_, key(170), 170), 1);  // 10 * 28 + 2 * 28 + 16 = 352
  const std::vector<uint8_t> f = flushed();
  const DiskControl c(f);
  // One leaf, root and first and last leaf; the file never shrinks.
  EXPECT_EQ(std::tie(c.root, c.depth, c.first_leaf, c.last_leaf, c.last_block),
            std::make_tuple(1u, 1, 1u, 1u, 3u));
  const DiskNode a = node(f, 1);
  EXPECT_TRUE(a.leaf());
  EXPECT_EQ(a.left() | a.right(), 0u);
  EXPECT_EQ(a.items(), (std::vector<int32_t>{10, 11, 20, 30, 40, 50, 60, 70, 80,
                                             90, 160, 175}));
  EXPECT_EQ(a.key(11), key(175));
  EXPECT_EQ(a.key_start(), 512 - 12 * 20);
  // B was freed first, then the root: the chain is a stack, root on top.
  EXPECT_EQ(c.free_head, 3u);
  for (uint32_t b : {3u, 2u}) {
    EXPECT_EQ(node(f, b).low_path(), 0u) << b;
    EXPECT_EQ(node(f, b).left(), b == 3 ? 2u : 0u) << b;
    EXPECT_EQ(node(f, b).count(), 0) << b;
    EXPECT_TRUE(node(f, b).zero_body()) << b;
  }
  EXPECT_EQ(walk(t_, false).size(), 12u);
  // The next new block comes from the top of the chain.
  for (int n = 200; n < 207; ++n) ASSERT_EQ(put(t_, key(n), n), 1);
  const DiskControl grown(flushed());
  EXPECT_EQ(grown.last_block, 3u);
  EXPECT_EQ(grown.free_head, 0u);
  expect_sound(t_);
}

// The edits that stand for a removal and an insertion in one leaf must leave
// the bytes that removing the entry and inserting the new pair leave
// (remove_entry, then insert_entry): a replacement whose place is the old
// pair's (same key length, no shared text), and a full leaf's shift of its
// last entry or its first entry with the pair going in (no text shared by
// the pair or by the leaving entry). Random leaves with runs of equal keys
// of several lengths, random pairs at random places; the leaves are built by
// appends, which leave them open, and compared as they would be written.
TEST(LeafEdits, LeaveTheBytesOfARemovalAndAnInsertion) {
  constexpr int32_t kBs = 512;
  enum Edit { kInPlace, kLast, kFirst };
  cbt::Op op;
  op.cmp = cbkeycmp;
  op.bs = kBs;
  std::mt19937 rng(11);
  const auto key = [&] {
    return std::string(1 + rng() % 3, "abcd"[rng() % 4]);
  };
  const auto less = [](const Pair &a, const Pair &b) {
    const int32_t c = cbkeycmp(a.first.data(), int32_t(a.first.size()),
                               b.first.data(), int32_t(b.first.size()));
    return c != 0 ? c < 0 : a.second < b.second;
  };
  const auto desc = [](const Pair &p) {
    cbt::Pair d;
    d.key = reinterpret_cast<const uint8_t *>(p.first.data());
    d.len = int32_t(p.first.size());
    d.item = p.second;
    return d;
  };
  // The bytes as they would be written: a leaf the appends left open,
  // closed.
  const auto closed = [](std::vector<uint8_t> bytes) {
    cbt::close_text(cbt::Node(bytes.data(), kBs));
    return bytes;
  };
  int edited[3] = {};
  for (int round = 0; round < 9000; ++round) {
    const Edit edit = static_cast<Edit>(round % 3);
    std::vector<Pair> pairs(60);
    for (Pair &p : pairs) p = {key() + key(), int32_t(rng() % 9)};
    std::sort(pairs.begin(), pairs.end(), less);
    std::vector<uint8_t> block(kBs, 0), copy;
    cbt::Node x(block.data(), kBs);
    x.set_low_path(cbt::kLeafMark);
    x.set_key_start(kBs);
    std::vector<Pair> in;
    for (const Pair &p : pairs) {
      if ((in.empty() || less(in.back(), p)) &&
          cbt::room_test(op, desc(p), x, x.count()) == 0) {
        ASSERT_EQ(cbt::insert_entry(op, desc(p), x, x.count()), 1);
        in.push_back(p);
      }
    }
    const int32_t n = int32_t(in.size());
    // at: the entry replaced in place, or the new pair's place among the
    // entries as they stand; the removed entry is `at`, the last or 0.
    int32_t at = int32_t(rng() % n);
    Pair neu;
    if (edit == kInPlace) {
      // The old key, a neighbour's (to be shared) or another.
      const int32_t from = at + int32_t(rng() % 4) - 1;
      neu = {from >= 0 && from <= at + 1 && from < n ? in[from].first
                                                     : key() + key(),
             int32_t(rng() % 9)};
      if ((at > 0 && !less(in[at - 1], neu)) ||
          (at + 1 < n && !less(neu, in[at + 1]))) {
        continue;
      }
    } else {
      neu = {key() + key(), int32_t(rng() % 9)};
      at = int32_t(std::lower_bound(in.begin(), in.end(), neu, less) -
                   in.begin());
      if ((at < n && !less(neu, in[at])) || at == (edit == kLast ? n : 0)) {
        continue;
      }
    }
    const int32_t gone = edit == kInPlace ? at : edit == kLast ? n - 1 : 0;
    copy = block;
    cbt::Node y(copy.data(), kBs);
    if (edit == kInPlace) {
      if (!cbt::replace_in_place(op, y, at, desc(neu))) {
        ASSERT_EQ(copy, block);
        continue;
      }
    } else {
      cbt::TextPlan plan;
      cbt::room_test(op, desc(neu), x, at, &plan);
      const int32_t neighbour = edit == kLast ? n - 1 : 1;
      if (plan.share_off >= 0 || plan.unshare ||
          cbt::shared_with_prev(x, neighbour)) {
        continue;
      }
    }
    cbt::remove_entry(x, gone);
    const int32_t place = edit == kFirst ? at - 1 : at;
    if (edit != kInPlace && cbt::room_test(op, desc(neu), x, place) != 0) {
      continue;
    }
    ASSERT_EQ(cbt::insert_entry(op, desc(neu), x, place), 1);
    if (edit == kLast) cbt::replace_last(desc(neu), y, at);
    if (edit == kFirst) cbt::replace_first(desc(neu), y, at);
    ++edited[edit];
    ASSERT_EQ(closed(copy), closed(block))
        << "round " << round << " edit " << edit;
  }
  for (const int count : edited) EXPECT_GT(count, 300);
}

// The record layer's changes at a position (cbt/record_calls.h) try the
// position's leaf before the descent, and must leave what the descent
// leaves. Two trees take the same changes, one through cbinsert and
// cbdelete, the other through the position calls, after a search that sets
// the position as the record layer's does: on the pair before the new one
// (a free area's position key), or on the pair to delete (a record's entry
// in the index it was found through); some with another change between the
// search and the call (a stale position, whose chain of parents from the
// search may no longer hold). Deletions that fall below the underflow mark
// and insertions into full leaves take the search's parents for their joins
// and shifts. Results, codes, the positions that follow and the files agree;
// the tree grows to three levels and shrinks.
class PositionCallsTest : public LibTest {
 protected:
  PositionCallsTest() { pool_count_ = 256; }
};

TEST_F(PositionCallsTest, LeaveTheResultsAndBytesOfTheExportedCalls) {
  CbTree *trees[2] = {create("plain"), create("near")};
  ASSERT_NE(trees[0], nullptr);
  ASSERT_NE(trees[1], nullptr);
  std::mt19937 rng(5);
  std::set<int> in;  // the pairs present: (k(n), n)
  int32_t depth = 0;
  const auto k = [](int n) { return numbered_key(n, 8 + n % 13); };
  for (int step = 0; step < 12000; ++step) {
    const bool growing = rng() % 10 < (step < 6000 ? 7u : 3u);
    const bool stale = rng() % 4 == 0;
    const int other = int(rng() % 3000);
    const int32_t dup = int32_t(rng() % 2);
    int n = int(rng() % 3000);
    if (!growing && !in.empty()) {
      n = *std::next(in.begin(), long(rng() % in.size()));
    }
    const std::string key = k(n);
    const auto len = int32_t(key.size());
    std::vector<int32_t> got[2];
    for (int side = 0; side < 2; ++side) {
      CbTree *t = trees[side];
      int32_t item = 0;
      got[side].push_back(cbfind(t, key.data(), len, &item));
      if (growing) got[side].push_back(cbprev(t, &item));
      // Another change between the search and the call.
      if (stale) got[side].push_back(put(t, k(other), other));
      cberrcode = cbconcode = 0;
      if (growing) {
        got[side].push_back(
            side == 0 ? put(t, key, n, dup)
                      : cbt::insert_after_position(t, key.data(), len, n, dup));
      } else {
        got[side].push_back(
            side == 0 ? del(t, key, n)
                      : cbt::delete_at_position(t, key.data(), len, n));
      }
      got[side].push_back(cberrcode * 1000 + cbconcode);
      got[side].push_back(cbt::current_item(t, &item));
      got[side].push_back(item);
    }
    ASSERT_EQ(got[1], got[0]) << "step " << step;
    if (stale) in.insert(other);
    const bool done = got[0][got[0].size() - 4] == 1;
    if (done && growing) in.insert(n);
    if (done && !growing) in.erase(n);
    if (step % 3000 == 2999) {
      ASSERT_EQ(flushed(trees[1], "near"), flushed(trees[0], "plain"))
          << "step " << step;
      expect_sound(trees[1]);
    }
    depth = std::max(depth, cbdepth(trees[1]));
  }
  EXPECT_EQ(depth, 3);
  EXPECT_EQ(walk_forward(trees[1]).size(), in.size());
}

// Shortcuts that must leave what the general steps leave: a shift between
// leaves may rewrite the parent's stale separator in place instead of
// dropping it and listing the leaf again; a removal that leaves its leaf
// below the underflow mark, where no join follows, is made without a
// before-image, its parent and neighbour looked at in place; a key appended
// after a leaf's last entry is written where the leaf's text ends, the leaf
// left open in the pool and closed when it is written. With each off
// and on, the same calls must give the same results, the same file (at
// every 100th call and at the end) and,
// through a pool of 16 buffers, the same platform calls (which blocks are
// replaced when).
struct Shortcut {
  const char *name;
  int64_t (*set)(bool on);  // returns how often it was taken
  int64_t taken_more_than;  // in every load it applies to
};
constexpr Shortcut kShortcuts[] = {
    {"relist", cbt::set_relist_in_place, 50},
    {"sealed_underflow", cbt::set_sealed_underflow, 20},
    {"open_leaves", cbt::set_open_leaves, 5},
};
struct Load {
  const char *name;
  int32_t block_size;
  CbCompare cmp;
  // 1 ascending, -1 descending, 0 random with deletes, 2 random pairs of
  // run_keys keys (runs of one key over many leaves, whose separators equal
  // their neighbours' keys)
  int order;
  Alphabet alphabet;
  uint32_t run_keys = 20;
};
class ShortcutTest : public LibTest,
                     public ::testing::WithParamInterface<Load> {
 protected:
  std::vector<int32_t> run(const std::string &name, const Shortcut &s,
                           bool on, int64_t *taken) {
    const Load &l = GetParam();
    FaultInjector io;
    io.fail_io_at(INT64_MAX);
    s.set(on);
    CbTree *t = create(name, l.block_size, l.cmp);
    EXPECT_NE(t, nullptr);
    RandomPairs g(7, 20, l.alphabet, 400);
    std::vector<int32_t> results;
    PairList done;
    for (int i = 0; i < 3000; ++i) {
      if (l.order == 0 && !done.empty() && g.chance(30)) {
        const Pair &p = done[g.below(static_cast<uint32_t>(done.size()))];
        results.push_back(del(t, p.first, p.second) * 100 + cberrcode);
        continue;
      }
      const int n = l.order >= 0 ? i : 9999 - i;
      Pair p = l.order == 0 ? Pair{g.key(), g.item()}
               : l.order == 2
                   ? Pair{numbered_key(g.below(l.run_keys), 6), g.item()}
                   : Pair{numbered_key(n, 4 + i % 7), n};
      results.push_back(
          put(t, p.first, p.second, l.order == 2 || g.chance(80)) * 100 +
          cberrcode);
      done.push_back(p);
      // The file as written at a flush, every 100 calls: a difference that
      // later calls would write over still shows.
      if (i % 100 == 99) {
        EXPECT_EQ(cbflush(t), 1);
        const std::vector<uint8_t> bytes = read_file(path(name));
        uint32_t hash = 2166136261u;
        for (uint8_t b : bytes) hash = (hash ^ b) * 16777619u;
        results.push_back(static_cast<int32_t>(hash));
      }
    }
    expect_sound(t);
    EXPECT_EQ(cbclose(t), 1);
    *taken = s.set(true);
    results.push_back(static_cast<int32_t>(io.io_calls()));
    return results;
  }
};

TEST_P(ShortcutTest, SameResultsBytesAndPlatformCallsAsTheGeneralSteps) {
  for (const Shortcut &s : kShortcuts) {
    // Loads in one order delete nothing.
    if (GetParam().order != 0 && s.set == cbt::set_sealed_underflow) continue;
    // Loads in descending order never append after a leaf's last entry.
    if (GetParam().order < 0 && s.set == cbt::set_open_leaves) continue;
    const std::string general = std::string(s.name) + "_general";
    const std::string taken = std::string(s.name) + "_taken";
    int64_t off_count = 0;
    int64_t on_count = 0;
    const std::vector<int32_t> expected = run(general, s, false, &off_count);
    EXPECT_EQ(run(taken, s, true, &on_count), expected) << s.name;
    EXPECT_EQ(off_count, 0) << s.name;
    EXPECT_GT(on_count, s.taken_more_than) << s.name;
    EXPECT_EQ(read_file(path(taken)), read_file(path(general))) << s.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Loads, ShortcutTest,
    ::testing::Values(
        Load{"ascending", 128, nullptr, 1, Alphabet::kFoldFree},
        Load{"descending", 512, nullptr, -1, Alphabet::kFoldFree},
        // With 20 keys a new separator comes to equal the next entry's key,
        // with 30 the previous entry's: both cases the in-place rewrite
        // must leave to the general step.
        Load{"random_runs", 128, nullptr, 2, Alphabet::kFoldFree},
        Load{"random_runs_30", 128, nullptr, 2, Alphabet::kFoldFree, 30},
        Load{"random_mixed_case", 512, nullptr, 0, Alphabet::kMixedCase},
        Load{"random_any_byte", 128, memcmp_order, 0, Alphabet::kAnyByte},
        Load{"random_reversed", 256, reverse_order, 0, Alphabet::kFoldFree}),
    [](const auto &info) { return std::string(info.param.name); });


// Keys in ascending order fill the last leaf and then shift its first entry
// into its left neighbour, which the insertion may do through the parent it
// remembered, without a descent. Between the ascending inserts come the
// changes that make the remembered parent stale: deletes, modifies, refused
// inserts, inserts through a second handle on the file and changes of
// another file. The same calls with the shortcut off must give the same
// results, the same file and the same checker verdict.
class RecentParentTest : public LibTest,
                         public ::testing::WithParamInterface<int32_t> {
 protected:
  RecentParentTest() { pool_size_ = 4096; }
  struct Run {
    std::vector<int32_t> results;
    std::vector<uint8_t> file;
    std::string check;
    int64_t shifted = 0;
  };
  Run run(const std::string &name, bool on) {
    cbt::set_recent_parent(on);
    CbTree *t = create(name, GetParam());
    CbTree *same = open(name);
    CbTree *other = create(name + "_other", GetParam());
    EXPECT_TRUE(t != nullptr && same != nullptr && other != nullptr);
    RandomPairs g(11, 20, Alphabet::kFoldFree, 200);
    Run out;
    PairList done;
    int n = 0;
    for (int i = 0; i < 4000; ++i) {
      const uint32_t what = g.below(100);
      const Pair old = done.empty() ? Pair{key(0), 0}
                                    : done[g.below(static_cast<uint32_t>(
                                          done.size()))];
      int32_t r;
      if (what < 8) {
        r = del(t, old.first, old.second);
      } else if (what < 12) {
        r = modify(t, old.first, old.second, old.first, old.second + 5000);
      } else if (what < 15) {
        // To the end of the tree, as the next ascending insert would go.
        r = modify(t, old.first, old.second, numbered_key(n, 9), n);
        ++n;
      } else if (what < 18) {
        r = put(t, old.first, old.second, 0);  // refused: pair or key there
      } else if (what < 22) {
        r = put(other, g.key(), g.item());
      } else {
        // Ascending; now and then the previous key again (shared text).
        CbTree *via = what < 27 ? same : t;
        const bool again = n > 0 && what >= 90;
        const int k = again ? n - 1 : n++;
        Pair p{numbered_key(k, 4 + k % 7), k + (again ? 20000 : 0)};
        r = put(via, p.first, p.second, g.chance(90));
        done.push_back(p);
      }
      out.results.push_back(r * 100 + cberrcode);
    }
    out.check = cbt::check_tree(t);
    out.file = flushed(t, name);
    EXPECT_EQ(cbclose(other), 1);
    EXPECT_EQ(cbclose(same), 1);
    EXPECT_EQ(cbclose(t), 1);
    out.shifted = cbt::set_recent_parent(true);
    return out;
  }
};

TEST_P(RecentParentTest, SameResultsBytesAndVerdictAsTheDescent) {
  const Run off = run("descent", false);
  const Run on = run("remembered", true);
  EXPECT_EQ(off.shifted, 0);
  EXPECT_GT(on.shifted, 100);
  EXPECT_EQ(on.results, off.results);
  EXPECT_EQ(on.check, "");
  EXPECT_EQ(on.check, off.check);
  EXPECT_EQ(on.file, off.file);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, RecentParentTest,
                         ::testing::Values(128, 512, 4096));

}  // namespace
}  // namespace recbase::test
