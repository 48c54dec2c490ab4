// The B-tree against a model: two handles on one file insert, delete,
// modify, search, walk and mark at random, and a std::set of pairs in the
// tree's order says what each call must answer. A handle whose own change
// removes the pair under its position or mark moves on to the pair that
// followed; one whose pair the other handle removed finds, at its next
// call, the pair that now follows (CBERR_DELETED) or, stepping back, the
// one before. Growing and shrinking phases alternate; after each the tree
// is walked both ways against the model and checked, every other phase also
// after reopening. At the end the tree is emptied, every block but block 0
// on the free chain, and refilled from the free chain before the file grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "cbt/record_calls.h"
#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

struct Config {
  const char *name;
  int32_t block_size, buffers;
  CbCompare cmp;  // null: cbkeycmp
  Alphabet alphabet;
  uint32_t seed;
};

void PrintTo(const Config &c, std::ostream *os) { *os << c.name; }

using PairSet = std::set<Pair, PairLess>;
using Iter = PairSet::const_iterator;

// Where a position or mark stands: on a pair (1), before the first (-2),
// after the last (-3), or for a mark, not set (-1).
struct Spot {
  int32_t state = -2;
  Pair pair;
};
struct Side {
  CbTree *tree = nullptr;
  Spot pos, mark{-1, {}};
};
// What the run met, so that the test can insist on the paths it is about.
struct Tally {
  int64_t deleted = 0, modified = 0, own_moves = 0, stale = 0, dup_keys = 0;
  int64_t depth_drops = 0, led = 0;
  int32_t max_depth = 0;
};

class ModelTest : public LibTest, public ::testing::WithParamInterface<Config> {
 protected:
  ModelTest() {
    pool_count_ = GetParam().buffers;
    pool_size_ = GetParam().block_size;
  }
  bool keys_equal(const std::string &a, const std::string &b) const {
    return cmp_(a.data(), static_cast<int32_t>(a.size()), b.data(),
                static_cast<int32_t>(b.size())) == 0;
  }
  bool same_pair(const Pair &a, const Pair &b) const {
    return keys_equal(a.first, b.first) && a.second == b.second;
  }
  bool has_key(const std::string &k) const {
    const Iter it = pairs_.lower_bound({k, INT32_MIN});
    return it != pairs_.end() && keys_equal(k, it->first);
  }
  // A present pair near a random one (a random pair in an empty tree).
  Pair near_pair() {
    Iter it = pairs_.lower_bound({g_.key(), g_.item()});
    if (pairs_.empty()) return {g_.key(), g_.item()};
    return it == pairs_.end() ? *std::prev(it) : *it;
  }
  // What a change aims at: its own position's pair, the other side's, a
  // present pair or a random one.
  Pair target(const Side &s, const Side &other) {
    const uint32_t r = g_.below(100);
    if (r < 35 && s.pos.state == 1) return s.pos.pair;
    if (r < 50 && other.pos.state == 1) return other.pos.pair;
    return r < 92 ? near_pair() : Pair{g_.key(), g_.item()};
  }
  void place(Spot &s, Iter it, int32_t end_state) const {
    s.state = it == pairs_.end() ? end_state : 1;
    if (it != pairs_.end()) s.pair = *it;
  }
  // Re-validation as the model sees it: 1 the pair is still there, 3 it
  // has gone and the spot is on its successor, -3 nothing follows.
  int32_t revalidate(Spot &s) const {
    if (s.state != 1 || pairs_.count(s.pair) != 0) return 1;
    place(s, pairs_.lower_bound(s.pair), -3);
    return s.state == 1 ? 3 : -3;
  }
  // A handle's own change that removes p moves its spots off p.
  void move_off(Side &s, const Pair &p) {
    for (Spot *spot : {&s.pos, &s.mark}) {
      if (spot->state == 1 && same_pair(spot->pair, p)) {
        place(*spot, pairs_.upper_bound(p), -3);
        ++tally_.own_moves;
      }
    }
  }
  // A call's result and item against the pair the model expects (or the
  // end result when none), and the key bytes at the position: the bytes
  // stored, or with case folded, the text of an equal neighbour.
  testing::AssertionResult lands(CbTree *t, const char *what, int32_t r,
                                 int32_t item, Iter want, int32_t end) const {
    if (want == pairs_.end()) {
      if (r == end) return testing::AssertionSuccess();
      return testing::AssertionFailure() << what << " gave " << r;
    }
    const std::string k = key_at(t);
    if (r != 1 || item != want->second || k.size() != want->first.size() ||
        !(k == want->first || (GetParam().alphabet == Alphabet::kMixedCase &&
                               keys_equal(k, want->first)))) {
      return testing::AssertionFailure()
             << what << " gave " << r << " item " << item << " key of "
             << k.size() << " bytes, expected item " << want->second;
    }
    return testing::AssertionSuccess();
  }

  void change(Side &s, Side &other, uint32_t ins, uint32_t dele);
  void navigate(Side &s);
  void verify(Side &s, Side &other);
  void reopen();
  void drain();

  // A position's item as the record layer asks for it: from the cursor
  // where current_lead (step: next_lead) answers, else cbcurr (cbnext). An
  // answer must leave cbfcncode as cbkey does and give its key's first byte.
  int32_t led(CbTree *t, bool step, int32_t *item) {
    uint8_t first = 0;
    const bool answered = step ? cbt::next_lead(t, item, &first)
                               : cbt::current_lead(t, item, &first);
    if (!answered) return step ? cbnext(t, item) : cbcurr(t, item);
    EXPECT_EQ(cbfcncode, CBFN_KEY);
    const std::string k = key_at(t);
    EXPECT_EQ(first, k.empty() ? 0 : static_cast<uint8_t>(k[0]));
    ++tally_.led;
    return 1;
  }

  CbCompare cmp_ = GetParam().cmp != nullptr ? GetParam().cmp : cbkeycmp;
  RandomPairs g_{GetParam().seed, GetParam().block_size - 28,
                 GetParam().alphabet};
  PairSet pairs_{PairLess{cmp_}};
  Side a_, b_;
  Tally tally_;
  int64_t curr_calls_ = 0, next_calls_ = 0, twin_calls_ = 0;
};

// An insert, delete or modify by s, its result and codes predicted.
void ModelTest::change(Side &s, Side &other, uint32_t ins, uint32_t dele) {
  const uint32_t r = g_.below(74);
  int32_t want = 1, err = 0, ctx = 0, got = 0;
  if (r < ins) {
    Pair p{g_.key(), g_.item()};
    if (g_.chance(20) && s.pos.state == 1) {  // right next to its pair
      p = {s.pos.pair.first,
           static_cast<int32_t>(static_cast<uint32_t>(s.pos.pair.second) +
                                (g_.chance(50) ? 1u : 0xFFFFFFFFu))};
    }
    const int32_t dup = g_.chance(25) ? 0 : 1;
    if (pairs_.count(p) != 0) {
      want = -1, err = CBERR_DUP_PAIR, ctx = CBCTX_INSERT_KEY;
    } else if (dup == 0 && has_key(p.first)) {
      want = -1, err = CBERR_DUP_KEY, ctx = CBCTX_INSERT_KEY;
      ++tally_.dup_keys;
    }
    cberrcode = cbconcode = 0;
    // Every other one through the record layer's twin, which tries the
    // leaf of the position first.
    got = (++twin_calls_ & 1) != 0
              ? put(s.tree, p.first, p.second, dup)
              : cbt::insert_after_position(s.tree, p.first.data(),
                                           int32_t(p.first.size()), p.second,
                                           dup);
    if (got == 1) pairs_.insert(p);
  } else if (r < dele) {
    const Pair p = target(s, other);
    const int32_t depth = cbdepth(s.tree);
    move_off(s, p);
    if (pairs_.empty()) {
      want = -1, err = CBERR_EMPTY_TREE, ctx = CBCTX_DELETE_EMPTY;
    } else if (pairs_.count(p) == 0) {
      want = -1, err = CBERR_NOT_FOUND, ctx = CBCTX_DELETE_KEY;
    }
    cberrcode = cbconcode = 0;
    got = (++twin_calls_ & 1) != 0
              ? del(s.tree, p.first, p.second)
              : cbt::delete_at_position(s.tree, p.first.data(),
                                        int32_t(p.first.size()), p.second);
    if (got == 1) {
      pairs_.erase(p);
      ++tally_.deleted;
      tally_.depth_drops += cbdepth(s.tree) < depth;
      tally_.max_depth = std::max(tally_.max_depth, depth);
    }
  } else {
    const Pair old = target(s, other);
    const uint32_t kind = g_.below(100);
    Pair neu = kind < 30   ? Pair{old.first, g_.item()}  // only the item
               : kind < 38 ? old                         // the pair itself
               : kind < 46 ? near_pair()                 // a present pair
                           : Pair{g_.key(), g_.item()};
    const bool same_key = keys_equal(old.first, neu.first);
    // dup_allowed 0 only where the key changes: an item-only change done as
    // a deletion and an insertion refuses an equal key after the old pair
    // is gone, which the model does not follow.
    const int32_t dup = !same_key && g_.chance(50) ? 0 : 1;
    const bool itself = same_key && old.second == neu.second;
    if (itself) {
      move_off(s, old);  // and nothing else happens
    } else if (pairs_.empty()) {
      want = -1, err = CBERR_EMPTY_TREE, ctx = CBCTX_FIND_LEAF;
    } else if (pairs_.count(neu) != 0) {
      want = -1, err = CBERR_DUP_PAIR, ctx = CBCTX_INSERT_KEY;
    } else if (!same_key && dup == 0 && has_key(neu.first)) {
      want = -1, err = CBERR_DUP_KEY, ctx = CBCTX_INSERT_KEY;
    } else if (pairs_.count(old) == 0) {
      want = -1, err = CBERR_NOT_FOUND, ctx = CBCTX_FIND_LEAF;
    } else {
      move_off(s, old);
    }
    cberrcode = cbconcode = 0;
    got = modify(s.tree, old.first, old.second, neu.first, neu.second, dup);
    if (got == 1 && !itself) {
      pairs_.erase(old);
      pairs_.insert(neu);
      ++tally_.modified;
    }
  }
  ASSERT_EQ(got, want) << "change " << r << ", err " << cberrcode;
  ASSERT_EQ(cberrcode, err);
  ASSERT_EQ(cbconcode, ctx);
}

void ModelTest::navigate(Side &s) {
  CbTree *t = s.tree;
  int32_t item = 0;
  cberrcode = 0;
  switch (g_.below(10)) {
    case 0:
    case 1: {  // cbnext from a position that may have gone
      Iter want = s.pos.state == -2 ? pairs_.begin() : pairs_.end();
      const int32_t rv = revalidate(s.pos);
      if (s.pos.state == 1) {
        want =
            rv == 3 ? pairs_.find(s.pos.pair) : pairs_.upper_bound(s.pos.pair);
      }
      const int32_t r =
          (++next_calls_ & 1) != 0 ? cbnext(t, &item) : led(t, true, &item);
      ASSERT_TRUE(lands(t, "cbnext", r, item, want, -3));
      ASSERT_EQ(cberrcode, rv == 3 ? CBERR_DELETED : 0) << "cbnext";
      tally_.stale += rv == 3;
      place(s.pos, want, -3);
      break;
    }
    case 2: {  // cbprev: the pair before the position's pair, gone or not
      Iter at = s.pos.state == -2 ? pairs_.begin() : pairs_.end();
      if (s.pos.state == 1) at = pairs_.lower_bound(s.pos.pair);
      const Iter want = at == pairs_.begin() ? pairs_.end() : std::prev(at);
      const int32_t r = cbprev(t, &item);
      ASSERT_TRUE(lands(t, "cbprev", r, item, want, -2));
      ASSERT_EQ(cberrcode, 0) << "cbprev";
      place(s.pos, want, -2);
      break;
    }
    case 3: {  // cbcurr, or the record layer's twin, on a position that
               // may have gone
      const int32_t state = s.pos.state;
      const int32_t rv = revalidate(s.pos);
      const Iter want =
          s.pos.state == 1 ? pairs_.find(s.pos.pair) : pairs_.end();
      const int64_t turn = ++curr_calls_ % 3;
      const int32_t r = turn == 0   ? cbcurr(t, &item)
                        : turn == 1 ? cbt::current_item(t, &item)
                                    : led(t, false, &item);
      ASSERT_TRUE(lands(t, "cbcurr", r, item, want, state == 1 ? -3 : state));
      if (rv != -3) {
        ASSERT_EQ(cberrcode, rv == 1 ? 0 : CBERR_DELETED) << "cbcurr";
      }
      tally_.stale += rv == 3;
      break;
    }
    case 4:
    case 5: {  // cbfind (first item >= 0 of the key) or cbfinditem
      const bool by_item = g_.chance(50);
      Pair p = g_.chance(50) ? near_pair() : Pair{g_.key(), g_.item()};
      if (!by_item) p.second = 0;
      const Iter want = pairs_.lower_bound(p);
      int32_t expect = -3;
      if (want != pairs_.end()) {
        expect =
            (by_item ? same_pair(p, *want) : keys_equal(p.first, want->first))
                ? 2
                : 3;
      }
      item = p.second;
      const auto len = static_cast<int32_t>(p.first.size());
      const int32_t r = by_item ? cbfinditem(t, p.first.data(), len, &item)
                                : cbfind(t, p.first.data(), len, &item);
      ASSERT_EQ(r, expect) << (by_item ? "cbfinditem" : "cbfind");
      ASSERT_TRUE(lands(t, "find", r == -3 ? -3 : 1, item, want, -3));
      place(s.pos, want, -3);
      break;
    }
    case 6: {  // cbhead or cbtail
      const bool head = g_.chance(50);
      const Iter want =
          head || pairs_.empty() ? pairs_.begin() : std::prev(pairs_.end());
      const int32_t r = head ? cbhead(t, &item) : cbtail(t, &item);
      ASSERT_TRUE(lands(t, "cbhead/cbtail", r, item, want, head ? -3 : -2));
      place(s.pos, want, head ? -3 : -2);
      break;
    }
    case 7:
      ASSERT_EQ(cbmark(t), 1);
      s.mark = s.pos;
      break;
    default: {  // cbfindmark
      if (s.mark.state == -1) {
        ASSERT_EQ(cbfindmark(t, &item), -1);
        ASSERT_EQ(cberrcode, CBERR_NO_MARK);
        break;
      }
      const int32_t rv = revalidate(s.mark);
      const int32_t r = cbfindmark(t, &item);
      s.pos = s.mark;
      // A mark before the first or after the last pair comes back as it
      // was; a mark whose pair went with nothing after it gives -3.
      if (s.mark.state != 1) {
        ASSERT_EQ(r, rv == -3 ? -3 : 1) << "cbfindmark";
        break;
      }
      ASSERT_EQ(r, rv) << "cbfindmark";
      ASSERT_TRUE(lands(t, "cbfindmark", 1, item, pairs_.find(s.mark.pair), 0));
      tally_.stale += rv == 3;
      break;
    }
  }
}

// cbkey into a buffer shorter, as long or longer than the key at the
// position: the key's first bytes up to the buffer's size, nothing past
// them.
testing::AssertionResult partial_key(CbTree *t, int32_t size) {
  const std::string k = key_at(t);
  std::string buf(static_cast<size_t>(size) + 8, '\xA5');
  const int32_t r = cbkey(t, size > 0 ? buf.data() : nullptr, size);
  const size_t n = std::min(k.size(), static_cast<size_t>(size));
  if (r != 1 || buf.compare(0, n, k, 0, n) != 0 ||
      buf.find_first_not_of('\xA5', n) != std::string::npos) {
    return testing::AssertionFailure() << "cbkey of " << size << " bytes for "
                                       << k.size() << " gave " << r;
  }
  return testing::AssertionSuccess();
}

// Walks both ways through side s against the model, then checks the tree.
// Between steps the other side looks keys up, which (with few buffers)
// takes the walker's leaf out of the pool and puts other blocks in its
// buffer without changing the tree; and the key is read into buffers of
// every size around its length.
void ModelTest::verify(Side &s, Side &other) {
  std::vector<Iter> order;
  for (Iter it = pairs_.begin(); it != pairs_.end(); ++it) order.push_back(it);
  for (bool forward : {true, false}) {
    int32_t item = 0;
    int32_t r = forward ? cbhead(s.tree, &item) : cbtail(s.tree, &item);
    for (size_t n = 0; n < order.size(); ++n) {
      const Iter want = order[forward ? n : order.size() - 1 - n];
      ASSERT_TRUE(lands(s.tree, "walk", r, item, want, 0)) << "pair " << n;
      const auto len = static_cast<int32_t>(want->first.size());
      ASSERT_TRUE(partial_key(s.tree, static_cast<int32_t>(g_.below(len + 2))));
      if (g_.chance(30)) {
        const Pair p{g_.key(), 0};
        int32_t found = 0;
        const int32_t fr = cbfind(other.tree, p.first.data(),
                                  static_cast<int32_t>(p.first.size()), &found);
        const Iter at = pairs_.lower_bound(p);
        ASSERT_TRUE(lands(other.tree, "find between steps", fr == -3 ? -3 : 1,
                          found, at, -3));
        place(other.pos, at, -3);
      }
      r = forward ? cbnext(s.tree, &item) : cbprev(s.tree, &item);
    }
    ASSERT_EQ(r, forward ? -3 : -2);
  }
  s.pos.state = -2;
  cbt::TreeStats stats;
  ASSERT_EQ(cbt::check_tree(s.tree, &stats), "");
  EXPECT_EQ(stats.entries, pairs_.size());
  EXPECT_EQ(stats.depth, cbdepth(s.tree));
  // A root left with its low_path child alone is removed at once.
  if (stats.depth >= 2) {
    EXPECT_GE(stats.levels.at(0).entries, 1u);
  }
}

// Closes both handles, checks the closed file, reopens and compares.
void ModelTest::reopen() {
  for (Side *s : {&a_, &b_}) {
    if (s->tree != nullptr) {
      ASSERT_EQ(cbclose(s->tree), 1);
    }
  }
  cbt::TreeStats stats;
  ASSERT_EQ(cbt::check_tree_file(path("m").c_str(), GetParam().cmp, &stats),
            "");
  EXPECT_EQ(stats.entries, pairs_.size());
  for (Side *s : {&a_, &b_}) {
    *s = Side();
    s->tree = open("m", GetParam().cmp);
    ASSERT_NE(s->tree, nullptr);
  }
  ASSERT_NO_FATAL_FAILURE(verify(a_, b_));
}

// Deletes every pair in random order; every block but block 0 must then
// be on the free chain.
void ModelTest::drain() {
  std::vector<Pair> all(pairs_.begin(), pairs_.end());
  std::shuffle(all.begin(), all.end(), g_.rng());
  for (size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(del(a_.tree, all[i].first, all[i].second), 1) << cberrcode;
    pairs_.erase(all[i]);
    if (i % 500 == 499) {
      ASSERT_EQ(cbt::check_tree(a_.tree), "") << i;
    }
  }
  EXPECT_EQ(cbdepth(a_.tree), 0);
  cbt::TreeStats stats;
  ASSERT_EQ(cbt::check_tree(a_.tree, &stats), "");
  EXPECT_EQ(stats.free_blocks, stats.last_block);
}

TEST_P(ModelTest, TwoHandlesChangeAndWalkAgainstTheModel) {
  const Config &c = GetParam();
  SCOPED_TRACE(::testing::Message() << c.name << " (seed " << c.seed << ")");
  ASSERT_EQ(cbclose(create("m", c.block_size, c.cmp)), 1);
  ASSERT_NO_FATAL_FAILURE(reopen());
  size_t largest = 0;
  for (int32_t phase = 0; phase < 6; ++phase) {
    SCOPED_TRACE(::testing::Message() << "phase " << phase);
    // Growing and shrinking phases alternate: levels come and go.
    const uint32_t ins = phase % 2 == 0 ? 42 : 16;
    const uint32_t dele = ins + (phase % 2 == 0 ? 18 : 44);
    for (int32_t i = 0; i < 4500; ++i) {
      // A makes most calls; B some, so that A too finds its pairs gone.
      const bool on_a = g_.chance(70);
      Side &s = on_a ? a_ : b_;
      if (g_.below(100) < 74) {
        ASSERT_NO_FATAL_FAILURE(change(s, on_a ? b_ : a_, ins, dele)) << i;
      } else {
        ASSERT_NO_FATAL_FAILURE(navigate(s)) << "op " << i;
      }
      largest = std::max(largest, pairs_.size());
    }
    ASSERT_NO_FATAL_FAILURE(verify(a_, b_));
    if (phase % 2 == 1) {
      ASSERT_NO_FATAL_FAILURE(reopen());
    }
  }
  // The paths under test were all taken.
  EXPECT_GT(largest, 500u);
  EXPECT_GE(tally_.max_depth, 3);
  EXPECT_GT(tally_.deleted, 2000);
  EXPECT_GT(tally_.modified, 500);
  EXPECT_GT(tally_.own_moves, 100);
  EXPECT_GT(tally_.stale, 50);
  EXPECT_GT(tally_.led, 50);
  EXPECT_GT(tally_.depth_drops, 0);
  EXPECT_GT(tally_.dup_keys, 100);
  // B stands on a pair about to go; emptied, the tree leaves it nothing.
  int32_t item = 0;
  ASSERT_EQ(cbhead(b_.tree, &item), pairs_.empty() ? -3 : 1);
  // Refilled at both ends: the lower half in falling order, then the upper
  // half in rising order.
  std::vector<Pair> order(pairs_.begin(), pairs_.end());
  std::reverse(order.begin(), order.begin() + order.size() / 2);
  ASSERT_NO_FATAL_FAILURE(drain());
  EXPECT_EQ(cbcurr(b_.tree, &item), -3);
  const size_t drained = flushed(a_.tree, "m").size();
  for (const Pair &p : order) {
    ASSERT_EQ(put(a_.tree, p.first, p.second), 1) << cberrcode;
    pairs_.insert(p);
  }
  cbt::TreeStats full;
  ASSERT_EQ(cbt::check_tree(a_.tree, &full), "");
  if (flushed(a_.tree, "m").size() > drained) {
    EXPECT_EQ(full.free_blocks, 0u);
  }
  ASSERT_NO_FATAL_FAILURE(reopen());
}

const Config kConfigs[] = {
    {"b92_pool6_keycmp", 92, 6, nullptr, Alphabet::kFoldFree, 9211},
    {"b92_pool64_memcmp", 92, 64, memcmp_order, Alphabet::kAnyByte, 9212},
    {"b512_pool6_mixedcase", 512, 6, nullptr, Alphabet::kMixedCase, 51211},
    {"b512_pool64_reverse", 512, 64, reverse_order, Alphabet::kAnyByte, 51212},
    {"b4096_pool6_memcmp", 4096, 6, memcmp_order, Alphabet::kAnyByte, 409611},
    {"b4096_pool64_keycmp", 4096, 64, nullptr, Alphabet::kFoldFree, 409612},
};

INSTANTIATE_TEST_SUITE_P(Configs, ModelTest, ::testing::ValuesIn(kConfigs),
                         [](const auto &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace recbase::test
