// Randomized tests of the B-tree against an in-memory model: inserts,
// finds, walks and marks over block sizes 92, 512 and 4096, tiny pools that
// force evictions, three compare functions, many equal keys, negative items,
// keys up to the length limit; the duplicate-key refusal; and a walker that
// keeps its place while a second handle inserts around it. After every
// phase the whole tree is walked both ways against the model and checked
// with the tree checker, and again after closing and reopening the file.
#include "tests/cbt/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cbt/checker.h"
#include "cbt/tree.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase {
namespace {

using test::memcmp_order;
using test::ModelPair;
using test::reverse_order;
using test::TreeModel;

enum class Alphabet {
  kFoldFree,   // bytes that cbkeycmp does not fold: equal means identical
  kMixedCase,  // letters of both cases: cbkeycmp equates case variants
  kAnyByte,    // every byte value, for byte-order compare functions
};

struct Config {
  const char *name;
  int32_t block_size;
  int32_t buffer_size;
  int32_t buffers;
  CbCompare cmp;  // null: cbkeycmp
  Alphabet alphabet;
  int32_t phases;
  int32_t ops_per_phase;
  uint32_t seed;
};

std::ostream &operator<<(std::ostream &os, const Config &c) {
  return os << c.name << " (seed " << c.seed << ")";
}

// Random keys and items with a bias towards collisions: keys come from a
// fixed vocabulary most of the time, items from a small range around 0.
class Source {
 public:
  Source(uint32_t seed, int32_t limit, Alphabet alphabet, size_t vocab_size)
      : rng_(seed), limit_(limit), alphabet_(alphabet) {
    for (size_t i = 0; i < vocab_size; ++i) vocab_.push_back(fresh_key());
  }

  uint32_t below(uint32_t n) { return rng_() % n; }
  bool chance(uint32_t percent) { return below(100) < percent; }

  // Lengths: mostly short, some middling, some at or just below the limit.
  std::string fresh_key() {
    const uint32_t r = below(100);
    int32_t len;
    if (r < 5) {
      len = static_cast<int32_t>(below(3));
    } else if (r < 70) {
      len = 3 + static_cast<int32_t>(below(10));
    } else if (r < 92) {
      len = 13 + static_cast<int32_t>(
                     below(static_cast<uint32_t>(std::max(1, limit_ / 3))));
    } else {
      len = limit_ - static_cast<int32_t>(below(3));
    }
    len = std::clamp(len, 0, limit_);
    std::string key(static_cast<size_t>(len), '\0');
    for (char &c : key) c = static_cast<char>(byte());
    return key;
  }

  // A vocabulary key (a case variant of one, for mixed-case keys) or, now
  // and then, a new one.
  std::string key() {
    if (chance(15)) return fresh_key();
    std::string k = vocab_[below(static_cast<uint32_t>(vocab_.size()))];
    if (alphabet_ == Alphabet::kMixedCase && chance(30)) {
      for (char &c : k) {
        if (chance(50) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
    }
    return k;
  }

  int32_t item() {
    if (chance(60)) return static_cast<int32_t>(below(41)) - 20;
    return static_cast<int32_t>(rng_());
  }

  const std::vector<std::string> &vocab() const { return vocab_; }

 private:
  uint8_t byte() {
    static const char kFoldFree[] = "abcdefghijklmnopqrstuvwxyz0123456789_-";
    static const char kMixed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQ";
    switch (alphabet_) {
      case Alphabet::kFoldFree:
        // Bytes above 0x7F sort after every ASCII byte, unfolded.
        if (chance(10)) return static_cast<uint8_t>(0x80 + below(128));
        return static_cast<uint8_t>(kFoldFree[below(sizeof kFoldFree - 1)]);
      case Alphabet::kMixedCase:
        return static_cast<uint8_t>(kMixed[below(sizeof kMixed - 1)]);
      case Alphabet::kAnyByte:
        break;
    }
    // Few distinct first bytes, so that keys share long prefixes.
    return static_cast<uint8_t>(chance(50) ? below(4) : below(256));
  }

  std::mt19937 rng_;
  int32_t limit_;
  Alphabet alphabet_;
  std::vector<std::string> vocab_;
};

// Opens a pool, a temporary directory and one tree file; checks the tree
// against the model.
class ModelTest : public ::testing::Test {
 protected:
  void start(int32_t buffers, int32_t buffer_size) {
    ASSERT_EQ(cbinit(buffers, buffer_size), 1);
    path_ = dir_.file("model.cbt");
  }
  void TearDown() override { cbexit(); }

  // Walks both ways, then runs the checker on the open tree.
  void verify(CbTree *tree, const TreeModel &model) {
    ASSERT_TRUE(model.walk_forward(tree));
    ASSERT_TRUE(model.walk_backward(tree));
    cbt::TreeStats stats;
    ASSERT_EQ(cbt::check_tree(tree, &stats), "");
    EXPECT_EQ(stats.entries, model.pairs().size());
    EXPECT_EQ(stats.depth, cbdepth(tree));
  }

  // Closes the tree, checks the file while it is closed, reopens it and
  // compares again. Returns the new handle.
  CbTree *reopen(CbTree *tree, const TreeModel &model, CbCompare cmp) {
    EXPECT_EQ(cbclose(tree), 1);
    cbt::TreeStats stats;
    EXPECT_EQ(cbt::check_tree_file(path_.c_str(), cmp, &stats), "");
    EXPECT_EQ(stats.entries, model.pairs().size());
    CbTree *again = cbopen(path_.c_str(), cmp);
    EXPECT_NE(again, nullptr);
    if (again != nullptr) verify(again, model);
    return again;
  }

  test::TempDir dir_;
  std::string path_;
};

// Inserts one pair and checks the result against the model.
void insert_one(CbTree *tree, TreeModel &model, const std::string &key,
                int32_t item, int32_t dup) {
  const TreeModel::Outcome want = model.expect_insert(key, item, dup);
  cberrcode = 0;
  const int32_t r =
      cbinsert(tree, key.data(), static_cast<int32_t>(key.size()), item, dup);
  ASSERT_EQ(r, want.result)
      << "insert of a " << key.size() << "-byte key, item " << item << ", err "
      << cberrcode;
  if (r == 1) {
    model.add(key, item);
  } else {
    ASSERT_EQ(cberrcode, want.err);
  }
}

// After a search: a step forward or back agrees with the model.
void step_after_search(CbTree *tree, const TreeModel &model, Source &src,
                       TreeModel::Iter at) {
  const auto &set = model.pairs();
  if (at == set.end()) return;
  int32_t item = 0;
  if (src.chance(50)) {
    const int32_t r = cbnext(tree, &item);
    ASSERT_TRUE(model.step_is(tree, "cbnext", r, item, std::next(at), -3));
  } else {
    const int32_t r = cbprev(tree, &item);
    if (at == set.begin()) {
      ASSERT_EQ(r, -2);
    } else {
      ASSERT_TRUE(model.step_is(tree, "cbprev", r, item, std::prev(at), -2));
    }
  }
}

class RandomModelTest : public ModelTest,
                        public ::testing::WithParamInterface<Config> {};

TEST_P(RandomModelTest, InsertsFindsWalksAndMarksMatchTheModel) {
  const Config &c = GetParam();
  SCOPED_TRACE(::testing::Message() << c);
  start(c.buffers, c.buffer_size);
  const int32_t limit = std::min(c.block_size, c.buffer_size) - 28;
  CbTree *tree = cbcreate(path_.c_str(), c.cmp, c.block_size);
  ASSERT_NE(tree, nullptr);
  TreeModel model(c.cmp, c.alphabet != Alphabet::kMixedCase);
  const size_t total = static_cast<size_t>(c.phases) * c.ops_per_phase;
  Source src(c.seed, limit, c.alphabet, total / 10 + 1);
  std::vector<ModelPair> inserted;  // for picking present pairs at random
  size_t shortest = SIZE_MAX;       // of the keys that went in
  size_t longest = 0;
  bool marked = false;
  ModelPair mark{};

  for (int32_t phase = 0; phase < c.phases; ++phase) {
    SCOPED_TRACE(::testing::Message() << "phase " << phase);
    for (int32_t op = 0; op < c.ops_per_phase; ++op) {
      const uint32_t kind = src.below(100);
      if (kind < 62) {
        const std::string key = src.key();
        const int32_t item = src.item();
        const size_t before = model.pairs().size();
        ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, key, item, 1));
        if (model.pairs().size() > before) {
          inserted.push_back({key, item});
          shortest = std::min(shortest, key.size());
          longest = std::max(longest, key.size());
        }
      } else if (kind < 68 && !inserted.empty()) {
        // A pair that is present: refused with 23.
        const ModelPair &p =
            inserted[src.below(static_cast<uint32_t>(inserted.size()))];
        ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, p.key, p.item, 1));
      } else if (kind < 98) {
        testing::AssertionResult ok = testing::AssertionSuccess();
        const std::string key = src.key();
        const TreeModel::Iter at =
            src.chance(50) ? model.expect_find(tree, key, &ok)
                           : model.expect_finditem(tree, key, src.item(), &ok);
        ASSERT_TRUE(ok);
        if (src.chance(30)) {
          ASSERT_NO_FATAL_FAILURE(step_after_search(tree, model, src, at));
        } else if (src.chance(5) && at != model.pairs().end()) {
          ASSERT_EQ(cbmark(tree), 1);
          marked = true;
          mark = *at;
        }
      } else if (marked) {
        // The marked pair is still there however much was inserted since.
        int32_t item = 0;
        ASSERT_EQ(cbfindmark(tree, &item), 1);
        ASSERT_EQ(item, mark.item);
        ASSERT_TRUE(model.key_at(tree, mark));
        const int32_t r = cbnext(tree, &item);
        ASSERT_TRUE(model.step_is(tree, "cbnext after cbfindmark", r, item,
                                  model.pairs().upper_bound(mark), -3));
      }
    }
    ASSERT_NO_FATAL_FAILURE(verify(tree, model));
  }
  // Keys of every length from empty to the limit went in.
  EXPECT_EQ(shortest, 0u);
  EXPECT_EQ(longest, static_cast<size_t>(limit));
  tree = reopen(tree, model, c.cmp);
  ASSERT_NE(tree, nullptr);
  // The same finds give the same answers from the file as read back.
  for (int32_t i = 0; i < c.ops_per_phase / 4; ++i) {
    testing::AssertionResult ok = testing::AssertionSuccess();
    model.expect_finditem(tree, src.key(), src.item(), &ok);
    ASSERT_TRUE(ok);
  }
  EXPECT_EQ(cbclose(tree), 1);
}

const Config kConfigs[] = {
    {"b92_pool6_keycmp", 92, 92, 6, nullptr, Alphabet::kFoldFree, 4, 3500,
     9201},
    {"b92_pool6_memcmp", 92, 92, 6, memcmp_order, Alphabet::kAnyByte, 3, 3500,
     9202},
    {"b512_pool6_mixedcase", 512, 512, 6, nullptr, Alphabet::kMixedCase, 4,
     4000, 51201},
    {"b512_pool40_reverse", 512, 512, 40, reverse_order, Alphabet::kAnyByte, 4,
     4000, 51202},
    {"b4096_pool6_memcmp", 4096, 4096, 6, memcmp_order, Alphabet::kAnyByte, 3,
     4000, 409601},
    {"b4096_pool24_keycmp", 4096, 4096, 24, nullptr, Alphabet::kFoldFree, 3,
     4000, 409602},
    {"b512_in_2048_buffers", 512, 2048, 8, nullptr, Alphabet::kFoldFree, 3,
     3000, 51203},
};

INSTANTIATE_TEST_SUITE_P(Configs, RandomModelTest,
                         ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config> &info) {
                           return std::string(info.param.name);
                         });

// With dup_allowed 0 a key that is present refuses the insertion with 22,
// also when its pairs lie at the very end of the neighbouring leaf or the
// start of the next one; a present pair gives 23; new keys go in.
class NoDuplicatesTest : public ModelTest,
                         public ::testing::WithParamInterface<int32_t> {};

TEST_P(NoDuplicatesTest, EqualKeyRefusedWhereverItLies) {
  const int32_t bs = GetParam();
  const uint32_t seed = 7000 + static_cast<uint32_t>(bs);
  SCOPED_TRACE(::testing::Message() << "block " << bs << ", seed " << seed);
  start(6, bs);
  CbTree *tree = cbcreate(path_.c_str(), nullptr, bs);
  ASSERT_NE(tree, nullptr);
  TreeModel model(nullptr, true);
  Source src(seed, std::min(bs - 28, 24), Alphabet::kFoldFree, 600);
  for (int32_t i = 0; i < 3000; ++i) {
    ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, src.key(), src.item(), 1));
  }
  // Every present key, just below its smallest item and just above its
  // largest, and random pairs.
  int32_t first_in_leaf = 0;
  int32_t last_in_leaf = 0;
  for (const std::string &key : src.vocab()) {
    if (!model.has_key(key)) continue;
    const auto lo = model.lower(key, INT32_MIN);
    auto hi = model.lower(key, INT32_MAX);
    if (hi == model.pairs().end() || !model.keys_equal(key, hi->key)) --hi;
    testing::AssertionResult ok = testing::AssertionSuccess();
    if (lo->item > INT32_MIN) {
      model.expect_finditem(tree, key, lo->item - 1, &ok);
      ASSERT_TRUE(ok);
      if (tree->pos.index == 0) ++first_in_leaf;
      ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, key, lo->item - 1, 0));
    }
    if (hi->item < INT32_MAX) {
      const auto after = model.expect_finditem(tree, key, hi->item + 1, &ok);
      ASSERT_TRUE(ok);
      if (after != model.pairs().end() && tree->pos.index == 0) {
        ++last_in_leaf;
      }
      ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, key, hi->item + 1, 0));
    }
    ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, key, lo->item, 0));
  }
  // The runs of equal keys met leaf boundaries on both sides.
  EXPECT_GT(first_in_leaf, 0);
  EXPECT_GT(last_in_leaf, 0);
  for (int32_t i = 0; i < 3000; ++i) {
    ASSERT_NO_FATAL_FAILURE(insert_one(tree, model, src.key(), src.item(), 0));
  }
  ASSERT_NO_FATAL_FAILURE(verify(tree, model));
  tree = reopen(tree, model, nullptr);
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(cbclose(tree), 1);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, NoDuplicatesTest,
                         ::testing::Values(92, 512, 4096));

// Handle A walks the tree while handle B, on the same file, inserts pairs
// before it, after it and right next to it between A's steps. Every step of
// A must land on the neighbour of its pair in the tree as it is now: no
// pair skipped, none repeated, and none reported deleted.
class WalkerTest : public ModelTest,
                   public ::testing::WithParamInterface<int32_t> {};

TEST_P(WalkerTest, WalkerKeepsItsPlaceWhileAnotherHandleInserts) {
  const int32_t bs = GetParam();
  const uint32_t seed = 8000 + static_cast<uint32_t>(bs);
  SCOPED_TRACE(::testing::Message() << "block " << bs << ", seed " << seed);
  start(6, bs);
  CbTree *writer = cbcreate(path_.c_str(), nullptr, bs);
  ASSERT_NE(writer, nullptr);
  CbTree *walker = cbopen(path_.c_str(), nullptr);
  ASSERT_NE(walker, nullptr);
  TreeModel model(nullptr, true);
  Source src(seed, std::min(bs - 28, 40), Alphabet::kFoldFree, 300);
  for (int32_t i = 0; i < 1500; ++i) {
    ASSERT_NO_FATAL_FAILURE(
        insert_one(writer, model, src.key(), src.item(), 1));
  }
  int32_t item = 0;
  ASSERT_EQ(cbhead(walker, &item), 1);
  ModelPair at = *model.pairs().begin();
  ASSERT_EQ(item, at.item);
  ModelPair mark = at;
  ASSERT_EQ(cbmark(walker), 1);
  int32_t steps = 0;
  for (;; ++steps) {
    ASSERT_LT(steps, 20000) << "the walk does not end";
    // Inserts: random pairs, and pairs with the walker's own key just
    // before and after its item.
    for (uint32_t n = src.chance(40) ? 1 + src.below(2) : 0; n > 0; --n) {
      std::string key = src.key();
      int32_t new_item = src.item();
      if (src.chance(30)) {
        key = at.key;
        new_item = at.item + (src.chance(50) ? 1 : -1);
      }
      ASSERT_NO_FATAL_FAILURE(insert_one(writer, model, key, new_item, 1));
    }
    if (src.chance(1)) {
      // Back to the mark and on from there.
      ASSERT_EQ(cbfindmark(walker, &item), 1);
      ASSERT_EQ(item, mark.item);
      ASSERT_TRUE(model.key_at(walker, mark));
      at = mark;
    } else if (src.chance(10)) {
      ASSERT_EQ(cbmark(walker), 1);
      mark = at;
    }
    const auto &set = model.pairs();
    // Steps back only from where a pair lies before the walker.
    const bool back = src.chance(10) && set.lower_bound(at) != set.begin();
    cberrcode = 0;
    const int32_t r = back ? cbprev(walker, &item) : cbnext(walker, &item);
    EXPECT_NE(cberrcode, 31);
    const TreeModel::Iter want =
        back ? std::prev(set.lower_bound(at)) : set.upper_bound(at);
    ASSERT_TRUE(
        model.step_is(walker, back ? "cbprev" : "cbnext", r, item, want, -3));
    if (want == set.end()) break;
    at = *want;
  }
  EXPECT_GT(steps, 1000);
  ASSERT_NO_FATAL_FAILURE(verify(walker, model));
  EXPECT_EQ(cbclose(walker), 1);
  CbTree *again = reopen(writer, model, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(cbclose(again), 1);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, WalkerTest, ::testing::Values(92, 512));

}  // namespace
}  // namespace recbase
