// The tree checker: a sound tree passes with exact statistics, and each kind
// of damage to a closed file (control record, node layout, order, bounds,
// links, free chain) is named; random damage never crashes it, and whatever
// it passes the engine reads consistently. An open handle is checked through
// the pool, unwritten changes included.
#include "cbt/checker.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bufpool/bufpool.h"
#include "cbt/node_format.h"
#include "cbt/node_ops.h"
#include "cbt/tree.h"
#include "frame/bytes.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase::cbt {
namespace {

constexpr int32_t kBlock = 512;
constexpr int32_t kPairs = 2000;

std::string key_of(int32_t i) {
  char text[16];
  std::snprintf(text, sizeof text, "k%05d", i);
  return text;
}

// A file image with helpers to find and change its parts.
struct Image {
  std::vector<uint8_t> bytes;

  ControlRecord cr() const { return decode_control(bytes.data()); }
  // Rewrites the control record with a correct parity.
  void set_cr(ControlRecord rec) { encode_control(rec, bytes.data()); }
  Node node(BlockNo b) {
    return Node(bytes.data() + static_cast<size_t>(b) * kBlock, kBlock);
  }
  // The n-th leaf from the left.
  BlockNo leaf(int n) {
    BlockNo b = cr().first_leaf;
    for (int i = 0; i < n; ++i) b = node(b).right();
    return b;
  }
};

class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(cbinit(16, kBlock), 1);
    path_ = dir_.file("tree.cbt");
    CbTree *t = cbcreate(path_.c_str(), nullptr, kBlock);
    ASSERT_NE(t, nullptr);
    for (int32_t i = 0; i < kPairs; ++i) {
      const std::string k = key_of((i * 7919) % kPairs);
      ASSERT_EQ(cbinsert(t, k.data(), 6, i, 1), 1);
    }
    // Deleting a run of pairs frees leaves: the file gets a free chain.
    for (int32_t i = 0; i < kPairs; ++i) {
      const int32_t k = (i * 7919) % kPairs;
      if (k >= 500 && k < 800) {
        ASSERT_EQ(cbdelete(t, key_of(k).data(), 6, i), 1);
      }
    }
    ASSERT_EQ(cbclose(t), 1);
    sound_.bytes = test::read_file(path_);
    ASSERT_NE(sound_.cr().free_head, 0u);
    ASSERT_GE(sound_.cr().depth, 2);
  }
  void TearDown() override { cbexit(); }

  // Writes the damaged image and returns what the checker says of it.
  std::string check(const Image &img) {
    test::write_file(path_, img.bytes);
    return check_tree_file(path_.c_str(), nullptr);
  }
  // Applies damage to a copy of the sound image; the checker must name it.
  void expect_fault(const char *words, const std::function<void(Image &)> &f) {
    Image img = sound_;
    f(img);
    const std::string fault = check(img);
    EXPECT_NE(fault.find(words), std::string::npos)
        << "expected \"" << words << "\", got \"" << fault << "\"";
  }

  test::TempDir dir_;
  std::string path_;
  Image sound_;
};

TEST_F(CheckerTest, SoundFileAndOpenHandleGiveTheSameExactStatistics) {
  TreeStats file_stats;
  ASSERT_EQ(check_tree_file(path_.c_str(), nullptr, &file_stats), "");
  const ControlRecord cr = sound_.cr();
  EXPECT_EQ(file_stats.block_size, kBlock);
  EXPECT_EQ(file_stats.depth, cr.depth);
  EXPECT_EQ(file_stats.entries, static_cast<uint64_t>(kPairs - 300));
  ASSERT_EQ(file_stats.levels.size(), static_cast<size_t>(cr.depth));
  EXPECT_EQ(file_stats.levels[0].nodes, 1u);
  EXPECT_EQ(file_stats.levels.back().entries, file_stats.entries);
  EXPECT_EQ(file_stats.blocks_in_tree + file_stats.free_blocks, cr.last_block);
  EXPECT_GT(file_stats.free_blocks, 0u);
  // Each level below the root has one node per entry or low_path above.
  for (size_t i = 1; i < file_stats.levels.size(); ++i) {
    EXPECT_EQ(file_stats.levels[i].nodes, file_stats.levels[i - 1].entries +
                                              file_stats.levels[i - 1].nodes);
  }
  // Leaves: 16 header bytes each, 8 per entry, 6 key bytes per entry.
  const LevelStats &leaves = file_stats.levels.back();
  EXPECT_EQ(leaves.bytes_used, 16u * leaves.nodes + 14u * leaves.entries);

  CbTree *t = cbopen(path_.c_str(), nullptr);
  ASSERT_NE(t, nullptr);
  TreeStats open_stats;
  EXPECT_EQ(check_tree(t, &open_stats), "");
  EXPECT_EQ(open_stats.entries, file_stats.entries);
  EXPECT_EQ(open_stats.blocks_in_tree, file_stats.blocks_in_tree);
  // Held exclusively by this process, the file cannot be read by name.
  EXPECT_NE(check_tree_file(path_.c_str(), nullptr).find("exclusive"),
            std::string::npos);
  EXPECT_EQ(cbclose(t), 1);
}

TEST_F(CheckerTest, OpenHandleIsCheckedThroughThePool) {
  CbTree *t = cbopen(path_.c_str(), nullptr);
  ASSERT_NE(t, nullptr);
  // Changes not yet written back count: new pairs and the pool's blocks.
  for (int32_t i = 0; i < 300; ++i) {
    const std::string k = "n" + key_of(i);
    ASSERT_EQ(cbinsert(t, k.data(), 7, i, 1), 1);
  }
  TreeStats stats;
  EXPECT_EQ(check_tree(t, &stats), "");
  EXPECT_EQ(stats.entries, static_cast<uint64_t>(kPairs));
  const BlockNo root = t->file->cr.root;
  uint8_t *data = get_block(t->file->lru, root);
  ASSERT_NE(data, nullptr);
  Node(data, kBlock).set_left(root);
  put_block(t->file->lru, data, 0);
  EXPECT_NE(check_tree(t).find("left_sibling"), std::string::npos);
  data = get_block(t->file->lru, root);
  ASSERT_NE(data, nullptr);
  Node(data, kBlock).set_left(0);
  put_block(t->file->lru, data, 0);
  EXPECT_EQ(check_tree(t), "");
  EXPECT_EQ(cbclose(t), 1);

  int32_t not_a_tree = 0;
  EXPECT_EQ(check_tree(reinterpret_cast<CbTree *>(&not_a_tree)),
            "not an open tree handle");
  EXPECT_NE(check_tree_file(dir_.file("missing").c_str(), nullptr), "");
}

TEST_F(CheckerTest, DamagedControlRecordIsNamed) {
  expect_fault("parity", [](Image &img) { img.bytes[3] ^= 0x10; });
  expect_fault("root", [](Image &img) {
    ControlRecord cr = img.cr();
    cr.root = cr.last_block + 1;
    img.set_cr(cr);
  });
  expect_fault("depth", [](Image &img) {
    ControlRecord cr = img.cr();
    cr.depth = 0;
    img.set_cr(cr);
  });
  // One level too many: the leaves turn up above the bottom level.
  expect_fault("leaf on level", [](Image &img) {
    ControlRecord cr = img.cr();
    cr.depth += 1;
    img.set_cr(cr);
  });
  expect_fault("first_leaf", [](Image &img) {
    ControlRecord cr = img.cr();
    cr.first_leaf = img.leaf(1);
    img.set_cr(cr);
  });
  expect_fault("needs a file of",
               [](Image &img) { img.bytes.resize(img.bytes.size() - kBlock); });
  expect_fault("needs a file of",
               [](Image &img) { img.bytes.resize(img.bytes.size() + 1); });
  expect_fault("lock region", [](Image &img) { img.bytes[kBlock - 1] = 1; });
  expect_fault("no control record", [](Image &img) { img.bytes.resize(20); });
}

TEST_F(CheckerTest, DamagedNodesAreNamed) {
  // Layout faults come from the node layout check, with the block number.
  expect_fault("key text", [](Image &img) {
    Node n = img.node(img.leaf(2));
    n.set_key_off(1, n.key_off(1) + 1);
  });
  expect_fault("out of order", [](Image &img) {
    Node n = img.node(img.leaf(2));
    std::swap(n.data()[n.key_off(0) + 5], n.data()[n.key_off(1) + 5]);
  });
  expect_fault("not below its bound", [](Image &img) {
    Node n = img.node(img.leaf(2));
    n.data()[n.key_off(n.count() - 1) + 1] = '9';
  });
  expect_fault("below its bound", [](Image &img) {
    Node n = img.node(img.leaf(3));
    for (int32_t i = 1; i < 6; ++i) n.data()[n.key_off(0) + i] = '0';
  });
  expect_fault("reached a second time", [](Image &img) {
    Node root = img.node(img.cr().root);
    root.set_child(0, root.low_path());
  });
  // A child dropped from its parent but still on its level's chain.
  expect_fault("listed by no parent",
               [](Image &img) { remove_entry(img.node(img.cr().root), 0); });
  expect_fault("right_sibling", [](Image &img) {
    img.node(img.leaf(4)).set_right(img.leaf(6));
  });
  expect_fault("left_sibling",
               [](Image &img) { img.node(img.leaf(4)).set_left(0); });
  expect_fault("unused block in the tree", [](Image &img) {
    Node root = img.node(img.cr().root);
    root.set_child(0, img.cr().free_head);
  });
  expect_fault("not a block of the file", [](Image &img) {
    Node root = img.node(img.cr().root);
    root.set_child(0, img.cr().last_block + 7);
  });
}

TEST_F(CheckerTest, DamagedFreeChainIsNamed) {
  expect_fault("cycle", [](Image &img) {
    const BlockNo head = img.cr().free_head;
    img.node(head).set_left(head);
  });
  expect_fault("on the free chain and in the tree", [](Image &img) {
    ControlRecord cr = img.cr();
    cr.free_head = cr.first_leaf;
    img.set_cr(cr);
  });
  expect_fault("neither in the tree nor on the free chain", [](Image &img) {
    ControlRecord cr = img.cr();
    cr.free_head = 0;
    img.set_cr(cr);
  });
  expect_fault("not zero", [](Image &img) {
    img.node(img.cr().free_head).data()[kBlock - 1] = 7;
  });
  expect_fault("on the free chain but low_path",
               [](Image &img) { img.node(img.cr().free_head).set_count(1); });
  expect_fault("beyond last_block", [](Image &img) {
    img.node(img.cr().free_head).set_left(img.cr().last_block + 1);
  });
}

// Random bytes of random blocks: the checker always answers, and when it
// passes the file, the engine walks exactly the pairs it counted, in order.
TEST_F(CheckerTest, RandomDamageNeverCrashesAndPassedFilesReadConsistently) {
  std::mt19937 rng(4242);
  int passed = 0;
  int named = 0;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(::testing::Message() << "seed 4242, round " << round);
    Image img = sound_;
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
      const size_t at = kBlock + rng() % (img.bytes.size() - kBlock);
      img.bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    TreeStats stats;
    test::write_file(path_, img.bytes);
    const std::string fault = check_tree_file(path_.c_str(), nullptr, &stats);
    if (!fault.empty()) {
      ++named;
      continue;
    }
    ++passed;
    CbTree *t = cbopen(path_.c_str(), nullptr);
    ASSERT_NE(t, nullptr);
    uint64_t seen = 0;
    std::string prev_key;
    int32_t prev_item = 0;
    int32_t item = 0;
    for (int32_t r = cbhead(t, &item); r == 1; r = cbnext(t, &item)) {
      std::string k(kBlock, '\0');
      int32_t len = 0;
      ASSERT_EQ(cbkeylen(t, &len), 1);
      ASSERT_EQ(cbkey(t, k.data(), kBlock), 1);
      ASSERT_LE(len, kBlock);
      k.resize(static_cast<size_t>(len));
      if (seen > 0) {
        const int32_t c =
            cbkeycmp(prev_key.data(), static_cast<int32_t>(prev_key.size()),
                     k.data(), len);
        ASSERT_TRUE(c < 0 || (c == 0 && prev_item < item));
      }
      prev_key = k;
      prev_item = item;
      ASSERT_LE(++seen, stats.entries);
    }
    EXPECT_EQ(seen, stats.entries);
    EXPECT_EQ(cbclose(t), 1);
  }
  // Both outcomes occurred: flips in free space are harmless, others not.
  EXPECT_GT(passed, 0);
  EXPECT_GT(named, 0);
}

// The exported form: verdict, codes and message for a sound file, a damaged
// one, one that cannot be read, no name, a message buffer too small for the
// words, and no pool.
TEST_F(CheckerTest, ExportedCheckGivesVerdictCodesAndMessage) {
  Image bad = sound_;
  bad.bytes[3] ^= 0x10;
  const std::string damaged = dir_.file("damaged.cbt");
  test::write_file(damaged, bad.bytes);
  const std::string missing = dir_.file("missing.cbt");
  const struct {
    const char *name;
    int32_t size;  // of the message buffer
    int32_t result, err;
    const char *says;
  } cases[] = {
      {missing.c_str(), 256, -1, CBERR_OPEN, ": cannot be opened"},
      {path_.c_str(), 64, 1, 0, ""},
      {damaged.c_str(), 64, 0, 0, "control record: parity error"},
      {damaged.c_str(), 8, 0, 0, "control"},
      {nullptr, 64, -1, CBERR_OPEN, "no file name"},
  };
  // The missing file's error stays in the operating system's slot: a check
  // that meets no failure of its own leaves the slot as it found it.
  cbclear_syserr();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.says);
    cbclear_error();
    CbCheckStats stats;
    char message[256];
    std::memset(message, 'x', sizeof message);
    EXPECT_EQ(cbcheck(c.name, nullptr, &stats, message, c.size), c.result);
    EXPECT_LT(std::strlen(message), static_cast<size_t>(c.size));
    EXPECT_NE(std::string(message).find(c.says), std::string::npos) << message;
    EXPECT_EQ(cberrcode, c.err);
    EXPECT_EQ(cbconcode, c.err != 0 ? CBCTX_READ_CONTROL : 0);
    EXPECT_EQ(cbfcncode, CBFN_NONE);
    EXPECT_EQ(cbget_syserr(), ENOENT);
    if (c.result == 1) {
      EXPECT_EQ(stats.entries, static_cast<uint64_t>(kPairs - 300));
      ASSERT_EQ(stats.level_count, sound_.cr().depth);
      EXPECT_EQ(stats.levels[stats.level_count - 1].entries, stats.entries);
    }
  }
  ASSERT_EQ(cbexit(), 1);
  EXPECT_EQ(cbcheck(path_.c_str(), nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(cberrcode, CBERR_NO_POOL);
}

}  // namespace
}  // namespace recbase::cbt
