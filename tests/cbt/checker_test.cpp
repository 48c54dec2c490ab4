// The tree checker names each kind of damage to a closed file: the control
// record, node layout and order, bounds inherited from the parents, sibling
// links, and the free chain. (The model test runs it on open handles, the
// corruption sweeps on every damaged byte.)
#include "cbt/checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cbt/node_format.h"
#include "cbt/node_ops.h"
#include "tests/support/fixture.h"

namespace recbase::cbt {
namespace {

constexpr int32_t kBlock = 512;
constexpr int32_t kPairs = 2000;

std::string key_of(int32_t i) { return test::numbered_key(i, 6); }

// A file image with helpers to find and change its parts.
struct Image {
  std::vector<uint8_t> bytes;
  ControlRecord cr() const { return decode_control(bytes.data()); }
  void set_cr(ControlRecord rec) { encode_control(rec, bytes.data()); }
  Node node(BlockNo b) {
    return Node(bytes.data() + size_t{b} * kBlock, kBlock);
  }
  BlockNo leaf(int n) {  // the n-th leaf from the left
    BlockNo b = cr().first_leaf;
    for (int i = 0; i < n; ++i) b = node(b).right();
    return b;
  }
};

class CheckerTest : public test::LibTest {
 protected:
  void SetUp() override {
    LibTest::SetUp();
    CbTree *t = create("tree");
    ASSERT_NE(t, nullptr);
    for (int32_t i = 0; i < kPairs; ++i) {
      ASSERT_EQ(test::put(t, key_of((i * 7919) % kPairs), i), 1);
    }
    // Deleting a run of pairs frees leaves: the file gets a free chain.
    for (int32_t i = 0; i < kPairs; ++i) {
      const int32_t k = (i * 7919) % kPairs;
      if (k >= 500 && k < 800) {
        ASSERT_EQ(test::del(t, key_of(k), i), 1);
      }
    }
    ASSERT_EQ(cbclose(t), 1);
    sound_.bytes = test::read_file(path("tree"));
    ASSERT_NE(sound_.cr().free_head, 0u);
  }
  std::string check(const Image &img, TreeStats *stats = nullptr) {
    test::write_file(path("tree"), img.bytes);
    return check_tree_file(path("tree").c_str(), nullptr, stats);
  }
  Image sound_;
};

TEST_F(CheckerTest, EachKindOfDamageIsNamed) {
  const auto control = [](auto change) {
    return [change](Image &img) {
      ControlRecord cr = img.cr();
      change(img, cr);
      img.set_cr(cr);
    };
  };
  // The root node, and the first block of the free chain.
  const auto root = [](Image &img) { return img.node(img.cr().root); };
  const auto freed = [](Image &img) { return img.node(img.cr().free_head); };
  // clang-format off
  const std::pair<const char *, std::function<void(Image &)>> cases[] = {
      {"parity", [](Image &img) { img.bytes[3] ^= 0x10; }},
      {"root", control([](Image &, ControlRecord &cr) {
         cr.root = cr.last_block + 1; })},
      {"depth", control([](Image &, ControlRecord &cr) { cr.depth = 0; })},
      {"leaf on level",  // one level too many
       control([](Image &, ControlRecord &cr) { cr.depth += 1; })},
      {"first_leaf", control([](Image &img, ControlRecord &cr) {
         cr.first_leaf = img.leaf(1); })},
      {"needs a file of",
       [](Image &img) { img.bytes.resize(img.bytes.size() - kBlock); }},
      {"needs a file of", [](Image &img) { img.bytes.push_back(0); }},
      {"lock region", [](Image &img) { img.bytes[kBlock - 1] = 1; }},
      {"no control record", [](Image &img) { img.bytes.resize(20); }},
      {"key text", [](Image &img) {  // from the node layout check
         Node n = img.node(img.leaf(2));
         n.set_key_off(1, n.key_off(1) + 1); }},
      {"out of order", [](Image &img) {
         Node n = img.node(img.leaf(2));
         std::swap_ranges(n.data() + n.key_off(0), n.data() + n.key_off(1),
                          n.data() + n.key_off(1)); }},
      {"not below its bound", [](Image &img) {
         Node n = img.node(img.leaf(2));
         n.data()[n.key_off(n.count() - 1) + 1] = '9'; }},
      {"below its bound", [](Image &img) {
         Node n = img.node(img.leaf(3));
         for (int32_t i = 1; i < 4; ++i) n.data()[n.key_off(0) + i] = '0'; }},
      {"reached a second time", [&](Image &img) {
         root(img).set_child(0, root(img).low_path()); }},
      {"listed by no parent",  // dropped by its parent, still on the chain
       [&](Image &img) { remove_entry(root(img), 0); }},
      {"right_sibling",
       [](Image &img) { img.node(img.leaf(4)).set_right(img.leaf(6)); }},
      {"left_sibling", [](Image &img) { img.node(img.leaf(4)).set_left(0); }},
      {"unused block in the tree",
       [&](Image &img) { root(img).set_child(0, img.cr().free_head); }},
      {"not a block of the file",
       [&](Image &img) { root(img).set_child(0, img.cr().last_block + 7); }},
      {"cycle", [&](Image &img) { freed(img).set_left(img.cr().free_head); }},
      {"on the free chain and in the tree", control(
         [](Image &, ControlRecord &cr) { cr.free_head = cr.first_leaf; })},
      {"neither in the tree nor on the free chain",
       control([](Image &, ControlRecord &cr) { cr.free_head = 0; })},
      {"not zero", [&](Image &img) { freed(img).data()[kBlock - 1] = 7; }},
      {"on the free chain but low_path",
       [&](Image &img) { freed(img).set_count(1); }},
      {"beyond last_block",
       [&](Image &img) { freed(img).set_left(img.cr().last_block + 1); }},
  };
  // clang-format on
  for (const auto &[words, damage] : cases) {
    Image img = sound_;
    damage(img);
    const std::string fault = check(img);
    EXPECT_NE(fault.find(words), std::string::npos)
        << "expected \"" << words << "\", got \"" << fault << "\"";
  }
}

// The exported form: verdict, codes and message for a sound file, a damaged
// one, one that cannot be read, no name, a message buffer too small for the
// words, and no pool.
TEST_F(CheckerTest, ExportedCheckGivesVerdictCodesAndMessage) {
  Image bad = sound_;
  bad.bytes[3] ^= 0x10;
  const std::string damaged = path("damaged.cbt");
  test::write_file(damaged, bad.bytes);
  const std::string missing = path("missing.cbt");
  const std::string sound = path("tree");
  const struct {
    const char *name;
    int32_t size;  // of the message buffer
    int32_t result, err;
    const char *says;
  } cases[] = {
      {missing.c_str(), 256, -1, CBERR_OPEN, ": cannot be opened"},
      {sound.c_str(), 64, 1, 0, ""},
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
  EXPECT_EQ(cbcheck(sound.c_str(), nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(cberrcode, CBERR_NO_POOL);
}

}  // namespace
}  // namespace recbase::cbt
