// The B-tree file format as it lands on disk: a new file, the first leaf
// and its packed key text with the control record and its parity, shared
// text of equal keys, and the two halves of a split root leaf.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/fixture.h"

namespace recbase::test {
namespace {

class FormatTest : public LibTest {};

TEST_F(FormatTest, NewFileIsOneBlockOfControlRecordAndZeros) {
  for (const auto &[size, want] : {std::pair{0, 512}, {50, 92}}) {
    const std::string name = "t" + std::to_string(size);
    ASSERT_NE(create(name, size), nullptr);
    const std::vector<uint8_t> f = read_file(path(name));
    ASSERT_EQ(f.size(), static_cast<size_t>(want));
    EXPECT_EQ(le16_at(f, 0), static_cast<uint32_t>(want));
    // Parity: the block size XOR eleven zero words; then the stamp 300.
    EXPECT_EQ(le16_at(f, 24), static_cast<uint32_t>(want));
    EXPECT_EQ(le16_at(f, 26), 300u);
    for (size_t i = 2; i < f.size(); ++i) {
      if (i < 24 || i >= 28) {
        EXPECT_EQ(f[i], 0) << "byte " << i;
      }
    }
  }
}

TEST_F(FormatTest, KeyTextIsPackedInEntryOrderAtTheEndOfTheRootLeaf) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  // Out of order, so that text moves to stay in entry order.
  ASSERT_EQ(put(t, "cd", 3), 1);
  ASSERT_EQ(put(t, "abc", 1), 1);
  ASSERT_EQ(put(t, "bcdef", -2), 1);
  const std::vector<uint8_t> f = flushed(t, "t");
  ASSERT_EQ(f.size(), 1024u);
  // One root leaf, no free block; three keys, three changes.
  const DiskControl c(f);
  EXPECT_EQ(std::tie(c.root, c.first_leaf, c.last_leaf, c.last_block,
                     c.free_head, c.depth, c.key_count, c.change_counter),
            std::make_tuple(1u, 1u, 1u, 1u, 0u, 1, 3u, 3u));
  uint32_t parity = 0;
  for (size_t off = 0; off <= 24; off += 2) parity ^= le16_at(f, off);
  EXPECT_EQ(parity, 0u);
  const DiskNode leaf(f, 512, 1);
  EXPECT_EQ(leaf.low_path(), 0xFFFFFFFFu);
  EXPECT_EQ(leaf.left() | leaf.right(), 0u);
  ASSERT_EQ(leaf.count(), 3);
  EXPECT_EQ(leaf.key_start(), 502);
  EXPECT_EQ(leaf.key_offs(), (std::vector<int32_t>{502, 505, 510}));
  EXPECT_EQ(leaf.key_len(1), 5);
  EXPECT_EQ(leaf.items(), (std::vector<int32_t>{1, -2, 3}));
  EXPECT_EQ(std::string(f.begin() + 512 + 502, f.end()), "abcbcdefcd");
  for (size_t i = 40; i < 502; ++i) EXPECT_EQ(leaf.bytes()[i], 0) << i;
}

// Compares only the first two bytes, so keys of different lengths can be
// equal.
int32_t RBCALL first_two(const void *a, int32_t alen, const void *b,
                         int32_t blen) {
  const int32_t n = std::min(2, std::min(alen, blen));
  const int c = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  if (alen >= 2 && blen >= 2) return 0;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

// Neighbours with equal keys of equal length share one copy of the text
// (the bytes stored first); equal keys of another length keep their own,
// and a key landing inside a shared run splits it around its own text.
TEST_F(FormatTest, EqualNeighboursShareOneCopyOfTheirText) {
  const struct {
    CbCompare cmp;
    PairList in, out;
    std::vector<int32_t> offsets;
    const char *text;
  } cases[] = {
      {nullptr,
       {{"Key", 5}, {"KEY", 9}, {"key", 0}, {"zz", 1}},
       {{"Key", 0}, {"Key", 5}, {"Key", 9}, {"zz", 1}},
       {507, 507, 507, 510},
       "Keyzz"},
      {first_two,
       {{"abc", 1}, {"abd", 2}, {"ab", 3}},
       {{"abc", 1}, {"abc", 2}, {"ab", 3}},
       {507, 507, 510},
       "abcab"},
      {first_two,
       {{"abc", 1}, {"abd", 3}, {"ab", 2}},
       {{"abc", 1}, {"ab", 2}, {"abc", 3}},
       {504, 507, 509},
       "abcababc"},
  };
  int n = 0;
  for (const auto &c : cases) {
    const std::string name = "t" + std::to_string(n++);
    CbTree *t = create(name, 512, c.cmp);
    ASSERT_NE(t, nullptr);
    for (const auto &[k, item] : c.in) ASSERT_EQ(put(t, k, item), 1);
    const std::vector<uint8_t> f = flushed(t, name);
    const DiskNode leaf(f, 512, 1);
    EXPECT_EQ(leaf.key_offs(), c.offsets) << name;
    EXPECT_EQ(std::string(f.begin() + 512 + leaf.key_start(), f.end()), c.text);
    EXPECT_EQ(walk_forward(t), c.out) << name;
    expect_sound(t);
  }
}

// 17 pairs with 20-byte keys fill a 512-byte root leaf (16 + 17 * 28 = 492
// bytes); an 18th splits it into the old leaf 1 and a new leaf 2 under a
// new root 3 that has leaf 1 as low_path and one entry for leaf 2.
TEST_F(FormatTest, ASplitRootLeafKeepsNineEntriesOnEachSide) {
  const struct {
    int n_new;
    std::vector<int32_t> left, right;
  } cases[] = {
      // A new first key stays left with eight old entries.
      {5,
       {5, 10, 20, 30, 40, 50, 60, 70, 80},
       {90, 100, 110, 120, 130, 140, 150, 160, 170}},
      // A new last key goes right with eight old entries.
      {175,
       {10, 20, 30, 40, 50, 60, 70, 80, 90},
       {100, 110, 120, 130, 140, 150, 160, 170, 175}},
      // A new middle key starts the right half.
      {95,
       {10, 20, 30, 40, 50, 60, 70, 80, 90},
       {95, 100, 110, 120, 130, 140, 150, 160, 170}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.n_new);
    const std::string name = "t" + std::to_string(c.n_new);
    CbTree *t = create(name);
    ASSERT_NE(t, nullptr);
    for (int n = 10; n <= 170; n += 10) ASSERT_EQ(put(t, key(n), n), 1);
    ASSERT_EQ(put(t, key(c.n_new), c.n_new), 1);
    expect_sound(t);
    const std::vector<uint8_t> f = flushed(t, name);
    ASSERT_EQ(f.size(), 4u * 512);
    const DiskControl ctl(f);
    EXPECT_EQ(std::tie(ctl.depth, ctl.root, ctl.first_leaf, ctl.last_leaf),
              std::make_tuple(2, 3u, 1u, 2u));
    const DiskNode l(f, 512, 1), r(f, 512, 2), root(f, 512, 3);
    EXPECT_EQ(l.items(), c.left);
    EXPECT_EQ(r.items(), c.right);
    // Siblings linked both ways; the root's low_path is leaf 1, its one
    // entry leaf 2 under the right half's first pair.
    EXPECT_EQ(std::make_tuple(l.right(), r.left(), root.low_path()),
              std::make_tuple(2u, 1u, 1u));
    EXPECT_EQ(r.right() | root.left() | root.right(), 0u);
    ASSERT_EQ(root.count(), 1);
    EXPECT_EQ(root.child(0), 2u);
    EXPECT_EQ(root.key(0), key(c.right.front()));
    EXPECT_EQ(root.item(0), c.right.front());
  }
}

}  // namespace
}  // namespace recbase::test
