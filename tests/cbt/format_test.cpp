// The B-tree file format as it lands on disk: the bytes of a new file, of
// the first leaf, of a leaf's packed key area, shared key text, the control
// record's parity, and the two halves of a split root leaf.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/cbt/edge_support.h"

namespace recbase::test {
namespace {

class FormatTest : public CbtTest {};

TEST_F(FormatTest, NewFileIsOneBlockOfControlRecordAndZeros) {
  ASSERT_NE(create("t512", 0), nullptr);
  std::vector<uint8_t> f = read_file(path("t512"));
  ASSERT_EQ(f.size(), 512u);
  EXPECT_EQ(f[0], 0x00);
  EXPECT_EQ(f[1], 0x02);
  for (size_t i = 2; i < 24; ++i) EXPECT_EQ(f[i], 0) << "byte " << i;
  // Parity: block size XOR eleven zero words.
  EXPECT_EQ(f[24], 0x00);
  EXPECT_EQ(f[25], 0x02);
  EXPECT_EQ(f[26], 0x2C);  // stamp 300
  EXPECT_EQ(f[27], 0x01);
  for (size_t i = 28; i < f.size(); ++i) EXPECT_EQ(f[i], 0) << "byte " << i;

  // A block size below the minimum is raised to 92.
  ASSERT_NE(create("t92", 50), nullptr);
  f = read_file(path("t92"));
  ASSERT_EQ(f.size(), 92u);
  EXPECT_EQ(le16_at(f, 0), 92u);
  EXPECT_EQ(le16_at(f, 24), 92u);
  EXPECT_EQ(le16_at(f, 26), 300u);
  for (size_t i = 36; i < f.size(); ++i) EXPECT_EQ(f[i], 0) << "byte " << i;
}

TEST_F(FormatTest, FirstInsertMakesBlockOneARootLeaf) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "abc", 77), 1);
  const std::vector<uint8_t> f = flushed(t, "t");
  ASSERT_EQ(f.size(), 1024u);
  const DiskControl c(f);
  EXPECT_EQ(c.root, 1u);
  EXPECT_EQ(c.first_leaf, 1u);
  EXPECT_EQ(c.last_leaf, 1u);
  EXPECT_EQ(c.last_block, 1u);
  EXPECT_EQ(c.free_head, 0u);
  EXPECT_EQ(c.depth, 1);
  EXPECT_EQ(c.key_count, 1u);
  EXPECT_EQ(c.change_counter, 1u);
  uint32_t parity = 0;
  for (size_t off = 0; off <= 24; off += 2) parity ^= le16_at(f, off);
  EXPECT_EQ(parity, 0u);

  const DiskNode leaf(f, 512, 1);
  EXPECT_EQ(leaf.low_path(), 0xFFFFFFFFu);
  EXPECT_EQ(leaf.left(), 0u);
  EXPECT_EQ(leaf.right(), 0u);
  EXPECT_EQ(leaf.count(), 1);
  EXPECT_EQ(leaf.key_start(), 509);
  EXPECT_EQ(leaf.key_off(0), 509);
  EXPECT_EQ(leaf.key_len(0), 3);
  EXPECT_EQ(leaf.item(0), 77);
  EXPECT_EQ(leaf.key(0), "abc");
  // Nothing between the entry array and the key text.
  for (size_t i = 24; i < 509; ++i) EXPECT_EQ(leaf.bytes()[i], 0) << i;
}

TEST_F(FormatTest, KeyTextIsPackedInEntryOrderAtTheEndOfTheLeaf) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  // Inserted out of order, so that text moves to stay in entry order.
  ASSERT_EQ(put(t, "cd", 3), 1);
  ASSERT_EQ(put(t, "abc", 1), 1);
  ASSERT_EQ(put(t, "bcdef", 2), 1);
  const std::vector<uint8_t> f = flushed(t, "t");
  const DiskNode leaf(f, 512, 1);
  ASSERT_EQ(leaf.count(), 3);
  EXPECT_EQ(leaf.key_start(), 502);
  EXPECT_EQ(leaf.key_off(0), 502);
  EXPECT_EQ(leaf.key_off(1), 505);
  EXPECT_EQ(leaf.key_off(2), 510);
  EXPECT_EQ(leaf.items(), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(std::string(f.begin() + 512 + 502, f.begin() + 1024), "abcbcdefcd");
  const int32_t used = 16 + leaf.count() * 8 + (512 - leaf.key_start());
  EXPECT_EQ(512 - used, 462);
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

TEST_F(FormatTest, EqualNeighboursShareOneCopyOfTheirText) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "Key", 5), 1);
  ASSERT_EQ(put(t, "KEY", 9), 1);
  ASSERT_EQ(put(t, "key", 0), 1);
  ASSERT_EQ(put(t, "zz", 1), 1);
  std::vector<uint8_t> f = flushed(t, "t");
  DiskNode leaf(f, 512, 1);
  ASSERT_EQ(leaf.count(), 4);
  EXPECT_EQ(leaf.key_start(), 512 - 3 - 2);
  EXPECT_EQ(leaf.key_off(0), leaf.key_off(1));
  EXPECT_EQ(leaf.key_off(1), leaf.key_off(2));
  EXPECT_EQ(leaf.key(0), "Key");
  // Reading back gives the bytes stored first, whatever each insert passed.
  EXPECT_EQ(walk_forward(t),
            (PairList{{"Key", 0}, {"Key", 5}, {"Key", 9}, {"zz", 1}}));

  // Keys that compare equal but differ in length keep their own text.
  CbTree *p = create("p", 512, first_two);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(put(p, "abc", 1), 1);
  ASSERT_EQ(put(p, "abd", 2), 1);
  ASSERT_EQ(put(p, "ab", 3), 1);
  f = flushed(p, "p");
  leaf = DiskNode(f, 512, 1);
  ASSERT_EQ(leaf.count(), 3);
  EXPECT_EQ(leaf.key_off(0), leaf.key_off(1));
  EXPECT_NE(leaf.key_off(2), leaf.key_off(1));
  EXPECT_EQ(leaf.key_start(), 512 - 3 - 2);
  EXPECT_EQ(walk_forward(p), (PairList{{"abc", 1}, {"abc", 2}, {"ab", 3}}));
  expect_sound(t);
  expect_sound(p);
}

TEST_F(FormatTest, AKeyInsideASharedRunGivesBothSidesTheirOwnText) {
  CbTree *t = create("t", 512, first_two);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(put(t, "abc", 1), 1);
  ASSERT_EQ(put(t, "abd", 3), 1);
  ASSERT_EQ(DiskNode(flushed(t, "t"), 512, 1).key_start(), 509);
  // Equal to both, but of another length: it cannot share, and the run it
  // lands in is split around its own text.
  ASSERT_EQ(put(t, "ab", 2), 1);
  const std::vector<uint8_t> f = flushed(t, "t");
  const DiskNode leaf(f, 512, 1);
  ASSERT_EQ(leaf.count(), 3);
  EXPECT_EQ(leaf.key_start(), 504);
  EXPECT_EQ(leaf.key_off(0), 504);
  EXPECT_EQ(leaf.key_off(1), 507);
  EXPECT_EQ(leaf.key_off(2), 509);
  EXPECT_EQ(std::string(f.begin() + 512 + 504, f.begin() + 1024), "abcababc");
  EXPECT_EQ(walk_forward(t), (PairList{{"abc", 1}, {"ab", 2}, {"abc", 3}}));
  expect_sound(t);
}

// Large buffers, so that a flipped block size still passes the pool's own
// size check and reaches the parity check.
class ParityTest : public FormatTest {
 protected:
  ParityTest() { pool_size_ = 32767; }
};

TEST_F(ParityTest, EveryBitOfTheCoveredWordsIsChecked) {
  const std::string name = path("t");
  CbTree *t = cbcreate(name.c_str(), nullptr, 512);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(put(t, numbered_key(i, 30), i), 1);
  ASSERT_EQ(cbclose(t), 1);
  const std::vector<uint8_t> good = read_file(name);
  ASSERT_GT(DiskControl(good).root, 0u);

  for (size_t byte = 0; byte < 36; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> bad = good;
      bad[byte] ^= static_cast<uint8_t>(1 << bit);
      patch_file(name, byte, {bad[byte]});
      CbTree *o = cbopen(name.c_str(), nullptr);
      if (byte >= 26) {
        EXPECT_NE(o, nullptr) << "byte " << byte << " bit " << bit;
        if (o != nullptr) {
          EXPECT_EQ(cbclose(o), 1);
        }
      } else {
        // The parity is checked before any field is trusted, the block size
        // included (a flipped sign bit leaves no usable size at all).
        EXPECT_EQ(o, nullptr) << "byte " << byte << " bit " << bit;
        EXPECT_EQ(cberrcode, CBERR_PARITY) << "byte " << byte << " bit " << bit;
        EXPECT_EQ(cbconcode, CBCTX_READ_CONTROL);
        EXPECT_EQ(cbblksize(name.c_str()), -1);
        EXPECT_EQ(cberrcode,
                  le16s_at(bad, 0) <= 0 ? CBERR_OPEN : CBERR_GET_BLOCK)
            << "byte " << byte << " bit " << bit;
      }
      patch_file(name, byte, {good[byte]});
    }
  }
  EXPECT_EQ(cbblksize(name.c_str()), 512);
}

// The worked example of a split: 17 pairs with 20-byte keys 10, 20, ..,
// 170 fill a 512-byte root leaf (16 + 17 * 28 = 492 bytes); an 18th splits
// it into the old leaf 1 and a new leaf 2 under a new root 3 that has leaf
// 1 as low_path and one entry for leaf 2.
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
    std::vector<uint8_t> f = flushed(t, name);
    ASSERT_EQ(DiskControl(f).last_block, 1u);
    ASSERT_EQ(DiskNode(f, 512, 1).count(), 17);
    ASSERT_EQ(put(t, key(c.n_new), c.n_new), 1);
    expect_sound(t);
    f = flushed(t, name);
    ASSERT_EQ(f.size(), 4u * 512);
    const DiskControl ctl(f);
    EXPECT_EQ(ctl.depth, 2);
    EXPECT_EQ(ctl.root, 3u);
    EXPECT_EQ(ctl.first_leaf, 1u);
    EXPECT_EQ(ctl.last_leaf, 2u);
    const DiskNode l(f, 512, 1), r(f, 512, 2), root(f, 512, 3);
    EXPECT_EQ(l.items(), c.left);
    EXPECT_EQ(r.items(), c.right);
    EXPECT_EQ(l.right(), 2u);
    EXPECT_EQ(r.left(), 1u);
    EXPECT_EQ(r.right(), 0u);
    EXPECT_EQ(root.low_path(), 1u);
    ASSERT_EQ(root.count(), 1);
    EXPECT_EQ(root.child(0), 2u);
    EXPECT_EQ(root.key(0), key(c.right.front()));
    EXPECT_EQ(root.item(0), c.right.front());
    EXPECT_EQ(root.left(), 0u);
    EXPECT_EQ(root.right(), 0u);
    EXPECT_EQ(cbclose(t), 1);
  }
}

}  // namespace
}  // namespace recbase::test
