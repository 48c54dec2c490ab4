// The tree checker names each kind of damage to a closed file: the control
// record, node layout and order, bounds inherited from the parents, sibling
// links, and the free chain. (The model test runs it on open handles, the
// corruption sweeps on every damaged byte.)
#include "cbt/checker.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  const std::pair<const char *, std::function<void(Image &)>> cases[] = {
      {"parity", [](Image &img) { img.bytes[3] ^= 0x10; }},
      {"root", control([](Image &, ControlRecord &cr) {
         cr.root = cr.last_block + 1;
       })},
      {"depth", control([](Image &, ControlRecord &cr) { cr.depth = 0; })},
      {"leaf on level",  // one level too many
       control([](Image &, ControlRecord &cr) { cr.depth += 1; })},
      {"first_leaf", control([](Image &img, ControlRecord &cr) {
         cr.first_leaf = img.leaf(1);
       })},
      {"needs a file of",
       [](Image &img) { img.bytes.resize(img.bytes.size() - kBlock); }},
      {"needs a file of", [](Image &img) { img.bytes.push_back(0); }},
      {"lock region", [](Image &img) { img.bytes[kBlock - 1] = 1; }},
      {"no control record", [](Image &img) { img.bytes.resize(20); }},
      {"key text",  // from the node layout check
       [](Image &img) {
         Node n = img.node(img.leaf(2));
         n.set_key_off(1, n.key_off(1) + 1);
       }},
      {"out of order",
       [](Image &img) {
         Node n = img.node(img.leaf(2));
         std::swap_ranges(n.data() + n.key_off(0), n.data() + n.key_off(1),
                          n.data() + n.key_off(1));
       }},
      {"not below its bound",
       [](Image &img) {
         Node n = img.node(img.leaf(2));
         n.data()[n.key_off(n.count() - 1) + 1] = '9';
       }},
      {"below its bound",
       [](Image &img) {
         Node n = img.node(img.leaf(3));
         for (int32_t i = 1; i < 4; ++i) n.data()[n.key_off(0) + i] = '0';
       }},
      {"reached a second time",
       [](Image &img) {
         Node root = img.node(img.cr().root);
         root.set_child(0, root.low_path());
       }},
      {"listed by no parent",  // dropped by its parent, still on the chain
       [](Image &img) { remove_entry(img.node(img.cr().root), 0); }},
      {"right_sibling",
       [](Image &img) { img.node(img.leaf(4)).set_right(img.leaf(6)); }},
      {"left_sibling", [](Image &img) { img.node(img.leaf(4)).set_left(0); }},
      {"unused block in the tree",
       [](Image &img) {
         img.node(img.cr().root).set_child(0, img.cr().free_head);
       }},
      {"not a block of the file",
       [](Image &img) {
         img.node(img.cr().root).set_child(0, img.cr().last_block + 7);
       }},
      {"cycle",
       [](Image &img) {
         img.node(img.cr().free_head).set_left(img.cr().free_head);
       }},
      {"on the free chain and in the tree",
       control([](Image &, ControlRecord &cr) { cr.free_head = cr.first_leaf; })},
      {"neither in the tree nor on the free chain",
       control([](Image &, ControlRecord &cr) { cr.free_head = 0; })},
      {"not zero",
       [](Image &img) { img.node(img.cr().free_head).data()[kBlock - 1] = 7; }},
      {"on the free chain but low_path",
       [](Image &img) { img.node(img.cr().free_head).set_count(1); }},
      {"beyond last_block",
       [](Image &img) {
         img.node(img.cr().free_head).set_left(img.cr().last_block + 1);
       }},
  };
  for (const auto &[words, damage] : cases) {
    Image img = sound_;
    damage(img);
    const std::string fault = check(img);
    EXPECT_NE(fault.find(words), std::string::npos)
        << "expected \"" << words << "\", got \"" << fault << "\"";
  }
}

}  // namespace
}  // namespace recbase::cbt
