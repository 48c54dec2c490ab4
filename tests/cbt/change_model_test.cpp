// Deletion and modify against an in-memory model: two handles on one file
// change, search, walk and mark at random, and the model says where each
// must stand. A handle whose own change removes the pair under its position
// or mark moves on to the pair that followed; one whose pair another handle
// removed finds, on its next call, the pair that now follows (cberrcode 31)
// or, stepping back, the one before. At the end the tree is emptied and
// refilled, which must take blocks from the free chain first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"
#include "tests/cbt/model.h"

namespace recbase {
namespace {

using test::memcmp_order;
using test::ModelLess;
using test::ModelPair;
using test::reverse_order;
using test::TreeModel;

using PairSet = TreeModel::Set;
using Iter = PairSet::const_iterator;

struct Config {
  const char *name;
  int32_t block_size;
  int32_t buffers;
  CbCompare cmp;    // null: cbkeycmp
  bool mixed_case;  // letters of both cases, which cbkeycmp equates
  uint32_t seed;
};

// Six phases of 5600 operations for every configuration.
constexpr int32_t kPhases = 6;
constexpr int32_t kOpsPerPhase = 5600;

// Keys and items biased towards collisions: a vocabulary of keys used over
// and over with items from a small range, so that runs of equal keys span
// several leaves; lengths from 0 to the limit.
class Gen {
 public:
  Gen(uint32_t seed, int32_t limit, bool mixed_case)
      : rng_(seed), limit_(limit), mixed_(mixed_case) {
    for (int i = 0; i < 160; ++i) vocab_.push_back(fresh_key());
  }

  uint32_t below(uint32_t n) { return rng_() % n; }
  bool chance(uint32_t percent) { return below(100) < percent; }
  std::mt19937 &rng() { return rng_; }

  std::string fresh_key() {
    const uint32_t r = below(100);
    const uint32_t third = static_cast<uint32_t>(std::max(1, limit_ / 3));
    int32_t len = static_cast<int32_t>(
        r < 6 ? below(3) : r < 60 ? 3 + below(10) : r < 88 ? 13 + below(third) : 0);
    if (r >= 88) len = limit_ - static_cast<int32_t>(below(4));
    len = std::clamp(len, 0, limit_);
    std::string key(static_cast<size_t>(len), '\0');
    for (char &c : key) c = letter();
    return key;
  }

  std::string key() {
    if (chance(12)) return fresh_key();
    std::string k = vocab_[below(static_cast<uint32_t>(vocab_.size()))];
    if (mixed_ && chance(30)) {
      for (char &c : k) {
        if (chance(50) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
    }
    return k;
  }

  int32_t item() {
    if (chance(75)) return static_cast<int32_t>(below(15)) - 7;
    return static_cast<int32_t>(rng_());
  }

 private:
  char letter() {
    static const char kLower[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static const char kMixed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ";
    if (mixed_) return kMixed[below(sizeof kMixed - 1)];
    // A few bytes above 0x7F, which sort after ASCII and are not folded.
    if (chance(8)) return static_cast<char>(0x80 + below(128));
    return kLower[below(sizeof kLower - 1)];
  }

  std::mt19937 rng_;
  int32_t limit_;
  bool mixed_;
  std::vector<std::string> vocab_;
};

// Where the model says a position or mark stands: on a pair (1), before
// the first pair (-2), after the last (-3), or, for a mark, not set (-1).
struct Spot {
  int32_t state = -2;
  ModelPair pair{"", 0};
};

struct Side {
  explicit Side(const char *n) : name(n) {}
  const char *name;
  CbTree *tree = nullptr;
  Spot pos;
  Spot mark{-1, {"", 0}};
};

// What the exercise met, so that the test can insist on the paths it is about.
struct Tally {
  int64_t ops = 0;
  int64_t deleted = 0;
  int64_t modified = 0;
  int64_t own_moves = 0;    // a handle's own change moved its position
  int64_t stale_seen = 0;   // a call found its pair gone (result 3 / 31)
  int64_t depth_drops = 0;  // a deletion removed a level
  int32_t max_depth = 0;
};

class ChangeModelTest : public test::CbtTest,
                        public ::testing::WithParamInterface<Config> {
 protected:
  ChangeModelTest() {
    pool_count_ = GetParam().buffers;
    pool_size_ = GetParam().block_size;
    path_ = path("change.cbt");
  }

  CbCompare cmp() const {
    return GetParam().cmp != nullptr ? GetParam().cmp : cbkeycmp;
  }
  bool equiv(const ModelPair &a, const ModelPair &b) const {
    const ModelLess less{cmp()};
    return !less(a, b) && !less(b, a);
  }
  bool has_key(const std::string &key) const {
    const Iter it = pairs_.lower_bound({key, INT32_MIN});
    return it != pairs_.end() && keys_.keys_equal(key, it->key);
  }

  // A pair near a random key (a present one when there is any).
  ModelPair near_pair(Gen &g) const {
    Iter it = pairs_.lower_bound({g.key(), g.item()});
    if (it == pairs_.end()) {
      if (pairs_.empty()) return {g.key(), g.item()};
      it = std::prev(it);
    }
    return *it;
  }

  // The target of a deletion or modify by side s: its own pair, the other
  // side's pair, a present pair, or a random one.
  ModelPair target(Gen &g, const Side &s, const Side &other) const {
    const uint32_t r = g.below(100);
    if (r < 35 && s.pos.state == 1) return s.pos.pair;
    if (r < 50 && other.pos.state == 1) return other.pos.pair;
    if (r < 55 && s.mark.state == 1) return s.mark.pair;
    if (r < 92) return near_pair(g);
    return {g.key(), g.item()};
  }

  // Re-validation of a spot as the model sees it: 1 when its pair is still
  // there, 3 when the pair has gone and the spot moved to the pair that now
  // follows it, -3 when nothing follows.
  int32_t revalidate(Spot &s) const {
    if (s.state != 1 || pairs_.count(s.pair) != 0) return 1;
    const Iter it = pairs_.lower_bound(s.pair);
    if (it == pairs_.end()) {
      s.state = -3;
      return -3;
    }
    s.pair = *it;
    return 3;
  }
  static void place(Spot &s, const PairSet &set, Iter it, int32_t end_state) {
    if (it == set.end()) {
      s.state = end_state;
    } else {
      s.state = 1;
      s.pair = *it;
    }
  }
  // A change by the handle itself that removes p takes its position and
  // mark, when they stand on p, to the pair that followed it.
  void move_off(Side &s, const ModelPair &p, Tally &tally) const {
    for (Spot *spot : {&s.pos, &s.mark}) {
      if (spot->state == 1 && equiv(spot->pair, p)) {
        place(*spot, pairs_, pairs_.upper_bound(p), -3);
        ++tally.own_moves;
      }
    }
  }

  // A step's result and item against the pair the model expects (or the
  // end result when it expects none), and the key at the position.
  testing::AssertionResult lands(CbTree *t, const char *what, int32_t r,
                                 int32_t item, Iter want,
                                 int32_t end_result) const {
    if (want == pairs_.end()) {
      if (r == end_result) return testing::AssertionSuccess();
      return testing::AssertionFailure()
             << what << " gave " << r << ", expected " << end_result;
    }
    if (r != 1 || item != want->item) {
      return testing::AssertionFailure()
             << what << " gave " << r << " item " << item << ", expected item "
             << want->item << " of a " << want->key.size() << "-byte key";
    }
    return keys_.key_at(t, *want);
  }

  void do_insert(Gen &g, Side &s);
  void do_delete(Gen &g, Side &s, Side &other, Tally &tally);
  void do_modify(Gen &g, Side &s, Side &other, Tally &tally);
  void do_navigate(Gen &g, Side &s, Tally &tally);

  // Walks both ways through side s (which ends before the first pair) and
  // runs the checker on the open tree.
  void verify(Side &s) {
    TreeModel snapshot(GetParam().cmp, exact_);
    for (const ModelPair &p : pairs_) snapshot.add(p.key, p.item);
    ASSERT_TRUE(snapshot.walk_forward(s.tree));
    ASSERT_TRUE(snapshot.walk_backward(s.tree));
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

  void open_sides(Side &a, Side &b) {
    a.tree = cbopen(path_.c_str(), GetParam().cmp);
    ASSERT_NE(a.tree, nullptr);
    b.tree = cbopen(path_.c_str(), GetParam().cmp);
    ASSERT_NE(b.tree, nullptr);
    a.pos = b.pos = Spot{};
    a.mark = b.mark = Spot{-1, {"", 0}};
  }
  // Closes both handles, checks the closed file, reopens and compares.
  void reopen(Side &a, Side &b) {
    ASSERT_EQ(cbclose(b.tree), 1);
    ASSERT_EQ(cbclose(a.tree), 1);
    cbt::TreeStats stats;
    ASSERT_EQ(cbt::check_tree_file(path_.c_str(), GetParam().cmp, &stats), "");
    EXPECT_EQ(stats.entries, pairs_.size());
    ASSERT_NO_FATAL_FAILURE(open_sides(a, b));
    ASSERT_NO_FATAL_FAILURE(verify(a));
  }

  // Deletes every pair in random order, checking the tree now and then;
  // the tree must then be empty in every respect.
  void drain(Gen &g, Side &a);
  // Inserts the pairs in the order given.
  void refill(Side &a, const std::vector<ModelPair> &order);

  std::string path_;
  PairSet pairs_{ModelLess{cbkeycmp}};
  bool exact_ = true;
  // Used only for its key checks (key_at, keys_equal); its set stays empty.
  TreeModel keys_{nullptr, true};
};

void ChangeModelTest::do_insert(Gen &g, Side &s) {
  ModelPair p{g.key(), g.item()};
  if (g.chance(20) && s.pos.state == 1) {
    // Right next to the position's pair (items wrap around).
    const uint32_t step = g.chance(50) ? 1u : 0xFFFFFFFFu;
    p = {s.pos.pair.key,
         static_cast<int32_t>(static_cast<uint32_t>(s.pos.pair.item) + step)};
  }
  const int32_t dup = g.chance(20) ? 0 : 1;
  int32_t want = 1;
  int32_t err = 0;
  if (pairs_.count(p) != 0) {
    want = -1;
    err = 23;
  } else if (dup == 0 && has_key(p.key)) {
    want = -1;
    err = 22;
  }
  cberrcode = 0;
  const int32_t r = cbinsert(s.tree, p.key.data(),
                             static_cast<int32_t>(p.key.size()), p.item, dup);
  ASSERT_EQ(r, want) << s.name << " insert of a " << p.key.size()
                     << "-byte key, item " << p.item << ", err " << cberrcode;
  if (r == 1) {
    pairs_.insert(p);
  } else {
    ASSERT_EQ(cberrcode, err);
  }
}

void ChangeModelTest::do_delete(Gen &g, Side &s, Side &other, Tally &tally) {
  const ModelPair p = target(g, s, other);
  const int32_t depth_before = cbdepth(s.tree);
  move_off(s, p, tally);
  int32_t want = 1, err = 0, ctx = 0;
  if (pairs_.empty()) {
    want = -1, err = 24, ctx = 26;
  } else if (pairs_.count(p) == 0) {
    want = -1, err = 26, ctx = 28;
  }
  cberrcode = cbconcode = 0;
  const int32_t r = cbdelete(s.tree, p.key.data(),
                             static_cast<int32_t>(p.key.size()), p.item);
  ASSERT_EQ(r, want) << s.name << " delete of a " << p.key.size()
                     << "-byte key, item " << p.item << ", err " << cberrcode;
  ASSERT_EQ(cberrcode, err);
  ASSERT_EQ(cbconcode, ctx);
  if (r == 1) {
    pairs_.erase(p);
    ++tally.deleted;
    const int32_t depth = cbdepth(s.tree);
    if (depth < depth_before) ++tally.depth_drops;
    tally.max_depth = std::max(tally.max_depth, depth_before);
  }
}

void ChangeModelTest::do_modify(Gen &g, Side &s, Side &other, Tally &tally) {
  const ModelPair old = target(g, s, other);
  ModelPair neu{g.key(), g.item()};
  const uint32_t r = g.below(100);
  if (r < 30) {
    neu.key = old.key;  // only the item changes
  } else if (r < 38) {
    neu = old;  // the pair itself
  } else if (r < 46 && !pairs_.empty()) {
    neu = near_pair(g);  // a pair that is there
  }
  const bool keys_same = keys_.keys_equal(old.key, neu.key);
  // dup_allowed 0 only where the key changes. An item-only change that is
  // carried out as a deletion and an insertion (the new pair belongs in
  // another leaf) now fails in the insertion with 22 when other pairs keep
  // the key, after the old pair is gone; that case stays out of this test.
  const int32_t dup = !keys_same && g.chance(50) ? 0 : 1;
  int32_t want = 1, err = 0, ctx = 0;
  if (keys_same && old.item == neu.item) {
    move_off(s, old, tally);  // and nothing else happens
  } else if (pairs_.empty()) {
    want = -1, err = 24, ctx = 21;
  } else if (pairs_.count(neu) != 0) {
    want = -1, err = 23, ctx = 22;
  } else if (!keys_same && dup == 0 && has_key(neu.key)) {
    want = -1, err = 22, ctx = 22;
  } else if (pairs_.count(old) == 0) {
    want = -1, err = 26, ctx = 21;
  } else {
    move_off(s, old, tally);
  }
  cberrcode = cbconcode = 0;
  const int32_t got = cbmodify(
      s.tree, old.key.data(), static_cast<int32_t>(old.key.size()), old.item,
      neu.key.data(), static_cast<int32_t>(neu.key.size()), neu.item, dup);
  ASSERT_EQ(got, want) << s.name << " modify of (" << old.key.size()
                       << "-byte key, " << old.item << ") to ("
                       << neu.key.size() << "-byte key, " << neu.item
                       << "), dup " << dup << ", err " << cberrcode;
  ASSERT_EQ(cberrcode, err);
  ASSERT_EQ(cbconcode, ctx);
  if (got == 1 && !(keys_same && old.item == neu.item)) {
    pairs_.erase(old);
    pairs_.insert(neu);
    ++tally.modified;
  }
}

void ChangeModelTest::do_navigate(Gen &g, Side &s, Tally &tally) {
  CbTree *t = s.tree;
  int32_t item = 0;
  cberrcode = 0;
  switch (g.below(11)) {
    case 0: {  // cbnext
      Iter want = pairs_.end();
      int32_t rv = 1;
      if (s.pos.state == -2) {
        want = pairs_.begin();
      } else if (s.pos.state == 1) {
        rv = revalidate(s.pos);
        if (rv == 1) want = pairs_.upper_bound(s.pos.pair);
        if (rv == 3) want = pairs_.find(s.pos.pair);
      }
      const int32_t r = cbnext(t, &item);
      ASSERT_TRUE(lands(t, "cbnext", r, item, want, -3)) << s.name;
      ASSERT_EQ(cberrcode, rv == 3 ? 31 : 0) << s.name << " cbnext";
      if (rv == 3) ++tally.stale_seen;
      place(s.pos, pairs_, want, -3);
      break;
    }
    case 1: {  // cbprev: onto the pair before the position's pair, gone
               // or not
      Iter at = pairs_.end();
      if (s.pos.state == -2) at = pairs_.begin();
      if (s.pos.state == 1) at = pairs_.lower_bound(s.pos.pair);
      const Iter want = at == pairs_.begin() ? pairs_.end() : std::prev(at);
      const int32_t r = cbprev(t, &item);
      ASSERT_TRUE(lands(t, "cbprev", r, item, want, -2)) << s.name;
      ASSERT_EQ(cberrcode, 0) << s.name << " cbprev";
      place(s.pos, pairs_, want, -2);
      break;
    }
    case 2:    // cbcurr
    case 3: {  // cbkeylen
      const bool curr = g.below(2) == 0;
      if (s.pos.state != 1) {
        int32_t len = 0;
        const int32_t r = curr ? cbcurr(t, &item) : cbkeylen(t, &len);
        ASSERT_EQ(r, s.pos.state) << s.name;
        break;
      }
      const int32_t rv = revalidate(s.pos);
      int32_t len = -1;
      const int32_t r = curr ? cbcurr(t, &item) : cbkeylen(t, &len);
      if (rv == -3) {
        ASSERT_EQ(r, -3) << s.name << (curr ? " cbcurr" : " cbkeylen");
        break;
      }
      ASSERT_EQ(r, 1) << s.name << (curr ? " cbcurr" : " cbkeylen");
      ASSERT_EQ(cberrcode, rv == 3 ? 31 : 0) << s.name;
      if (curr) {
        ASSERT_EQ(item, s.pos.pair.item) << s.name << " cbcurr";
      } else {
        ASSERT_EQ(len, static_cast<int32_t>(s.pos.pair.key.size()))
            << s.name << " cbkeylen";
      }
      if (rv == 3) ++tally.stale_seen;
      break;
    }
    case 4: {  // cbkey into a buffer of exactly the key's length
      if (s.pos.state != 1) {
        char c;
        ASSERT_EQ(cbkey(t, &c, 1), s.pos.state) << s.name;
        break;
      }
      const int32_t rv = revalidate(s.pos);
      const std::string want =
          rv == -3 ? std::string() : std::string(s.pos.pair.key);
      std::string buf(want.size() + 1, '\x5a');
      const int32_t r = cbkey(t, buf.data(), static_cast<int32_t>(want.size()));
      ASSERT_EQ(cberrcode, rv == 1 ? 0 : 31) << s.name << " cbkey";
      if (rv == -3) {
        ASSERT_EQ(r, -3) << s.name << " cbkey";
        break;
      }
      ASSERT_EQ(r, 1) << s.name << " cbkey";
      ASSERT_EQ(buf.back(), '\x5a') << "cbkey wrote past the buffer";
      buf.pop_back();
      if (exact_) {
        ASSERT_EQ(buf, want) << s.name << " cbkey";
      } else {
        ASSERT_TRUE(keys_.keys_equal(buf, want)) << s.name << " cbkey";
      }
      if (rv == 3) ++tally.stale_seen;
      break;
    }
    case 5: {  // cbfind
      const std::string key =
          g.chance(50) && s.pos.state == 1 ? s.pos.pair.key : g.key();
      const Iter want = pairs_.lower_bound({key, 0});
      int32_t expect = -3;
      if (want != pairs_.end()) {
        expect = keys_.keys_equal(key, want->key) ? 2 : 3;
      }
      const int32_t r =
          cbfind(t, key.data(), static_cast<int32_t>(key.size()), &item);
      ASSERT_EQ(r, expect) << s.name << " cbfind";
      if (want != pairs_.end()) {
        ASSERT_EQ(item, want->item) << s.name << " cbfind";
        ASSERT_TRUE(keys_.key_at(t, *want)) << s.name << " cbfind";
      }
      place(s.pos, pairs_, want, -3);
      break;
    }
    case 6: {  // cbfinditem
      const ModelPair p =
          g.chance(50) ? near_pair(g) : ModelPair{g.key(), g.item()};
      const Iter want = pairs_.lower_bound(p);
      int32_t expect = -3;
      if (want != pairs_.end()) expect = equiv(p, *want) ? 2 : 3;
      item = p.item;
      const int32_t r = cbfinditem(t, p.key.data(),
                                   static_cast<int32_t>(p.key.size()), &item);
      ASSERT_EQ(r, expect) << s.name << " cbfinditem";
      if (want != pairs_.end()) {
        ASSERT_EQ(item, want->item) << s.name << " cbfinditem";
        ASSERT_TRUE(keys_.key_at(t, *want)) << s.name << " cbfinditem";
      }
      place(s.pos, pairs_, want, -3);
      break;
    }
    case 7: {  // cbhead or cbtail
      if (g.chance(50)) {
        const int32_t r = cbhead(t, &item);
        ASSERT_TRUE(lands(t, "cbhead", r, item, pairs_.begin(), -3));
        place(s.pos, pairs_, pairs_.begin(), -3);
      } else {
        const Iter last =
            pairs_.empty() ? pairs_.end() : std::prev(pairs_.end());
        const int32_t r = cbtail(t, &item);
        ASSERT_TRUE(lands(t, "cbtail", r, item, last, -2));
        place(s.pos, pairs_, last, -2);
      }
      break;
    }
    case 8:
    case 9: {  // cbmark
      ASSERT_EQ(cbmark(t), 1);
      s.mark = s.pos;
      break;
    }
    default: {  // cbfindmark
      if (s.mark.state == -1) {
        ASSERT_EQ(cbfindmark(t, &item), -1);
        ASSERT_EQ(cberrcode, 27);
        break;
      }
      const int32_t rv = revalidate(s.mark);
      const int32_t r = cbfindmark(t, &item);
      s.pos = s.mark;
      if (s.mark.state != 1) {
        // A mark before the first or after the last pair comes back as it
        // was; a mark whose pair went with nothing after it gives -3.
        ASSERT_EQ(r, rv == -3 ? -3 : 1) << s.name << " cbfindmark";
        break;
      }
      ASSERT_EQ(r, rv) << s.name << " cbfindmark";
      ASSERT_EQ(item, s.mark.pair.item) << s.name << " cbfindmark";
      ASSERT_EQ(cberrcode, 0) << s.name << " cbfindmark";
      ASSERT_TRUE(keys_.key_at(t, s.mark.pair)) << s.name << " cbfindmark";
      if (rv == 3) ++tally.stale_seen;
      break;
    }
  }
}

void ChangeModelTest::drain(Gen &g, Side &a) {
  std::vector<ModelPair> all(pairs_.begin(), pairs_.end());
  std::shuffle(all.begin(), all.end(), g.rng());
  const size_t check_every = std::max<size_t>(1, all.size() / 6);
  for (size_t i = 0; i < all.size(); ++i) {
    const ModelPair &p = all[i];
    ASSERT_EQ(cbdelete(a.tree, p.key.data(), static_cast<int32_t>(p.key.size()),
                       p.item),
              1)
        << "draining, pair " << i << " of " << all.size() << ", err "
        << cberrcode;
    pairs_.erase(p);
    if (i % check_every == check_every - 1) {
      ASSERT_EQ(cbt::check_tree(a.tree), "") << "draining, pair " << i;
    }
  }
  int32_t item = 0;
  EXPECT_EQ(cbhead(a.tree, &item), -3);
  EXPECT_EQ(cbtail(a.tree, &item), -2);
  a.pos.state = -2;
  EXPECT_EQ(cbdepth(a.tree), 0);
  ASSERT_EQ(cbflush(a.tree), 1);
  const test::DiskControl c(test::read_file(path_));
  EXPECT_EQ(c.root, 0u);
  EXPECT_EQ(c.first_leaf, 0u);
  EXPECT_EQ(c.last_leaf, 0u);
  EXPECT_EQ(c.depth, 0);
  cbt::TreeStats stats;
  ASSERT_EQ(cbt::check_tree(a.tree, &stats), "");
  EXPECT_EQ(stats.entries, 0u);
  // Every block but the control record is on the free chain.
  EXPECT_EQ(stats.free_blocks, stats.last_block);
}

void ChangeModelTest::refill(Side &a, const std::vector<ModelPair> &order) {
  for (const ModelPair &p : order) {
    ASSERT_EQ(cbinsert(a.tree, p.key.data(), static_cast<int32_t>(p.key.size()),
                       p.item, 1),
              1)
        << "refilling, err " << cberrcode;
    pairs_.insert(p);
  }
}

TEST_P(ChangeModelTest, TwoHandlesChangeAndWalkAgainstTheModel) {
  const Config &c = GetParam();
  SCOPED_TRACE(::testing::Message() << c.name << " (seed " << c.seed << ")");
  pairs_ = PairSet(ModelLess{cmp()});
  exact_ = !c.mixed_case;
  keys_ = TreeModel(c.cmp, exact_);
  Gen g(c.seed, c.block_size - 28, c.mixed_case);
  CbTree *created = cbcreate(path_.c_str(), c.cmp, c.block_size);
  ASSERT_NE(created, nullptr);
  ASSERT_EQ(cbclose(created), 1);
  Side a("A");
  Side b("B");
  ASSERT_NO_FATAL_FAILURE(open_sides(a, b));
  Tally tally;
  size_t largest = 0;
  for (int32_t phase = 0; phase < kPhases; ++phase) {
    SCOPED_TRACE(::testing::Message() << "phase " << phase);
    // Growing and shrinking phases alternate, so that the tree gains and
    // loses levels again and again.
    const bool grow = phase % 2 == 0;
    const uint32_t ins = grow ? 42 : 16;
    const uint32_t del = ins + (grow ? 18 : 44);
    const uint32_t mod = del + 14;
    for (int32_t i = 0; i < kOpsPerPhase; ++i, ++tally.ops) {
      // Handle A makes most changes; B makes some, so that A too finds its
      // pairs gone.
      const bool on_a = g.chance(70);
      Side &s = on_a ? a : b;
      Side &other = on_a ? b : a;
      const uint32_t r = g.below(100);
      if (r < ins) {
        ASSERT_NO_FATAL_FAILURE(do_insert(g, s)) << "op " << i;
      } else if (r < del) {
        ASSERT_NO_FATAL_FAILURE(do_delete(g, s, other, tally)) << "op " << i;
      } else if (r < mod) {
        ASSERT_NO_FATAL_FAILURE(do_modify(g, s, other, tally)) << "op " << i;
      } else {
        ASSERT_NO_FATAL_FAILURE(do_navigate(g, s, tally)) << "op " << i;
      }
      largest = std::max(largest, pairs_.size());
    }
    ASSERT_NO_FATAL_FAILURE(verify(a));
    if (phase % 2 == 1) {
      ASSERT_NO_FATAL_FAILURE(reopen(a, b));
    }
  }
  // The paths under test were all taken.
  EXPECT_GT(largest, 600u);
  EXPECT_GE(tally.max_depth, 4);
  EXPECT_GT(tally.deleted, tally.ops / 10);
  EXPECT_GT(tally.modified, tally.ops / 40);
  EXPECT_GT(tally.own_moves, 100);
  EXPECT_GT(tally.stale_seen, 50);
  EXPECT_GT(tally.depth_drops, 0);

  // B stands on a pair that is about to go; emptying the tree leaves it
  // with nothing to move to.
  int32_t item = 0;
  ASSERT_EQ(cbhead(b.tree, &item), pairs_.empty() ? -3 : 1);
  b.pos.state = -3;
  const std::vector<ModelPair> before(pairs_.begin(), pairs_.end());
  ASSERT_NO_FATAL_FAILURE(drain(g, a));
  EXPECT_EQ(cbcurr(b.tree, &item), -3);
  cbt::TreeStats empty1;
  ASSERT_EQ(cbt::check_tree(a.tree, &empty1), "");

  // Refilling takes blocks from the free chain first: the file grows only
  // once the chain is used up.
  std::vector<ModelPair> order = before;
  std::shuffle(order.begin(), order.end(), g.rng());
  ASSERT_NO_FATAL_FAILURE(refill(a, order));
  cbt::TreeStats full1;
  ASSERT_EQ(cbt::check_tree(a.tree, &full1), "");
  if (full1.last_block > empty1.last_block) {
    EXPECT_EQ(full1.free_blocks, 0u);
  }
  ASSERT_NO_FATAL_FAILURE(verify(a));

  // Emptied and refilled the same way again, the tree takes exactly the
  // blocks it had: the file keeps its length.
  ASSERT_NO_FATAL_FAILURE(drain(g, a));
  ASSERT_EQ(cbflush(a.tree), 1);
  const size_t drained_size = test::read_file(path_).size();
  ASSERT_NO_FATAL_FAILURE(refill(a, order));
  ASSERT_EQ(cbflush(a.tree), 1);
  EXPECT_EQ(test::read_file(path_).size(), drained_size);
  cbt::TreeStats full2;
  ASSERT_EQ(cbt::check_tree(a.tree, &full2), "");
  EXPECT_EQ(full2.last_block, full1.last_block);
  EXPECT_EQ(full2.free_blocks, full1.free_blocks);
  ASSERT_NO_FATAL_FAILURE(reopen(a, b));
  EXPECT_EQ(cbclose(b.tree), 1);
  EXPECT_EQ(cbclose(a.tree), 1);
}

const Config kConfigs[] = {
    {"b92_pool6_keycmp", 92, 6, nullptr, false, 9211},
    {"b92_pool64_memcmp", 92, 64, memcmp_order, false, 9212},
    {"b512_pool6_mixedcase", 512, 6, nullptr, true, 51211},
    {"b512_pool64_reverse", 512, 64, reverse_order, false, 51212},
    {"b4096_pool6_memcmp", 4096, 6, memcmp_order, false, 409611},
    {"b4096_pool64_keycmp", 4096, 64, nullptr, false, 409612},
};

INSTANTIATE_TEST_SUITE_P(Configs, ChangeModelTest,
                         ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace recbase
