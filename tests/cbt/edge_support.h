// Helpers for the edge-case tests of the B-tree layer: fixtures, wrappers
// around the exported calls, and a reader that decodes tree files by their
// byte offsets, independently of the engine's code.
#ifndef RECBASE_TESTS_CBT_EDGE_SUPPORT_H
#define RECBASE_TESTS_CBT_EDGE_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase::test {

inline uint32_t le16_at(const std::vector<uint8_t> &b, size_t off) {
  return static_cast<uint32_t>(b.at(off)) | static_cast<uint32_t>(b.at(off + 1))
                                                << 8;
}
inline int32_t le16s_at(const std::vector<uint8_t> &b, size_t off) {
  return static_cast<int16_t>(le16_at(b, off));
}
inline uint32_t le32_at(const std::vector<uint8_t> &b, size_t off) {
  return le16_at(b, off) | le16_at(b, off + 2) << 16;
}

// Overwrites bytes of a file in place.
inline void patch_file(const std::string &path, size_t offset,
                       const std::vector<uint8_t> &bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char *>(bytes.data()),
          static_cast<std::streamsize>(bytes.size()));
}
inline void patch_le16(const std::string &path, size_t offset, int32_t v) {
  patch_file(path, offset,
             {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)});
}

// The control record of a tree file.
struct DiskControl {
  explicit DiskControl(const std::vector<uint8_t> &f)
      : block_size(le16s_at(f, 0)),
        root(le32_at(f, 2)),
        last_block(le32_at(f, 6)),
        first_leaf(le32_at(f, 10)),
        last_leaf(le32_at(f, 14)),
        free_head(le32_at(f, 18)),
        depth(le16s_at(f, 22)),
        change_counter(le32_at(f, 28)),
        key_count(le32_at(f, 32)) {}
  int32_t block_size;
  uint32_t root, last_block, first_leaf, last_leaf, free_head;
  int32_t depth;
  uint32_t change_counter, key_count;
};

// One node block of a tree file, decoded by offsets.
class DiskNode {
 public:
  DiskNode(const std::vector<uint8_t> &file, int32_t block_size, uint32_t n)
      : b_(file.begin() + static_cast<long>(n) * block_size,
           file.begin() + static_cast<long>(n + 1) * block_size) {}
  uint32_t low_path() const { return le32_at(b_, 0); }
  uint32_t left() const { return le32_at(b_, 4); }
  uint32_t right() const { return le32_at(b_, 8); }
  int32_t count() const { return le16s_at(b_, 12); }
  int32_t key_start() const { return le16s_at(b_, 14); }
  bool leaf() const { return low_path() == 0xFFFFFFFFu; }
  size_t entry(int32_t i) const { return 16 + i * (leaf() ? 8 : 12); }
  int32_t key_off(int32_t i) const { return le16s_at(b_, entry(i)); }
  int32_t key_len(int32_t i) const { return le16s_at(b_, entry(i) + 2); }
  int32_t item(int32_t i) const {
    return static_cast<int32_t>(le32_at(b_, entry(i) + 4));
  }
  uint32_t child(int32_t i) const { return le32_at(b_, entry(i) + 8); }
  std::string key(int32_t i) const {
    return std::string(b_.begin() + key_off(i),
                       b_.begin() + key_off(i) + key_len(i));
  }
  std::vector<int32_t> items() const {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < count(); ++i) out.push_back(item(i));
    return out;
  }
  const std::vector<uint8_t> &bytes() const { return b_; }

 private:
  std::vector<uint8_t> b_;
};

using PairList = std::vector<std::pair<std::string, int32_t>>;

inline int32_t put(CbTree *t, const std::string &key, int32_t item,
                   int32_t dup = 1) {
  return cbinsert(t, key.data(), static_cast<int32_t>(key.size()), item, dup);
}
inline int32_t del(CbTree *t, const std::string &key, int32_t item) {
  return cbdelete(t, key.data(), static_cast<int32_t>(key.size()), item);
}
inline int32_t modify(CbTree *t, const std::string &old_key, int32_t old_item,
                      const std::string &new_key, int32_t new_item,
                      int32_t dup = 1) {
  return cbmodify(t, old_key.data(), static_cast<int32_t>(old_key.size()),
                  old_item, new_key.data(),
                  static_cast<int32_t>(new_key.size()), new_item, dup);
}

// The key at the position (through cbkeylen and cbkey).
inline std::string key_at(CbTree *t) {
  int32_t len = -1;
  if (cbkeylen(t, &len) != 1 || len < 0) return "<no key>";
  std::string k(static_cast<size_t>(len), '\0');
  if (len > 0 && cbkey(t, k.data(), len) != 1) return "<no key>";
  return k;
}

// Every pair, by cbhead/cbnext, then checks that cbnext ended with -3.
inline PairList walk_forward(CbTree *t) {
  PairList out;
  int32_t item = 0;
  int32_t r = cbhead(t, &item);
  while (r == 1) {
    out.emplace_back(key_at(t), item);
    r = cbnext(t, &item);
  }
  EXPECT_EQ(r, -3);
  return out;
}

// Every pair in reverse, by cbtail/cbprev, ending with -2.
inline PairList walk_backward(CbTree *t) {
  PairList out;
  int32_t item = 0;
  int32_t r = cbtail(t, &item);
  while (r == 1) {
    out.emplace_back(key_at(t), item);
    r = cbprev(t, &item);
  }
  EXPECT_EQ(r, -2);
  return out;
}

// A key of `len` bytes that sorts by n under every byte order (n in
// 0..9999): four digits, then filler.
inline std::string numbered_key(int n, size_t len) {
  std::string k = std::to_string(10000 + n).substr(1);
  k.resize(len, 'x');
  return k;
}
// 20-byte keys: 28 bytes per leaf entry, so a 512-byte leaf holds 17 pairs.
inline std::string key(int n) { return numbered_key(n, 20); }

// A temporary directory and a pool of pool_count_ buffers of pool_size_
// bytes (a derived fixture may change both in its constructor); cbexit at
// the end closes whatever a test left open.
class CbtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cbclear_error();
    // Durability is not under test here; the OS flush only costs time.
    cb_set_flush(1, 1);
    ASSERT_EQ(cbinit(pool_count_, pool_size_), 1);
  }
  void TearDown() override {
    if (cbbufsize() != 0) cbexit();
    cb_set_flush(1, 0);
    cbclear_error();
  }
  std::string path(const std::string &name) const { return dir_.file(name); }
  CbTree *create(const std::string &name, int32_t block_size = 512,
                 CbCompare cmp = nullptr) {
    return cbcreate(path(name).c_str(), cmp, block_size);
  }
  // Checks the tree's invariants as this process sees it.
  static void expect_sound(CbTree *t) { EXPECT_EQ(cbt::check_tree(t), ""); }

  // The file of tree t, named `name`, after cbflush.
  std::vector<uint8_t> flushed(CbTree *t, const std::string &name) {
    EXPECT_EQ(cbflush(t), 1);
    return read_file(path(name));
  }
  // Keys 10, 20, .., 170 (item = number) fill a root leaf and 175 splits
  // it: leaf 1 holds 10..90, leaf 2 holds 100..170 and 175, root 3 lists
  // leaf 2 under (100, 100).
  static void build_two_leaves(CbTree *t) {
    for (int n = 10; n <= 170; n += 10) ASSERT_EQ(put(t, key(n), n), 1);
    ASSERT_EQ(put(t, key(175), 175), 1);
    ASSERT_EQ(cbdepth(t), 2);
  }

  int32_t pool_count_ = 16;
  int32_t pool_size_ = 512;
  TempDir dir_;
};

// A CbtTest with the tree "t" of 512-byte blocks open as t_.
class TreeTest : public CbtTest {
 protected:
  void SetUp() override {
    CbtTest::SetUp();
    t_ = create("t");
    ASSERT_NE(t_, nullptr);
  }
  using CbtTest::flushed;
  std::vector<uint8_t> flushed() { return flushed(t_, "t"); }
  void fill(const PairList &pairs) {
    for (const auto &[k, item] : pairs) ASSERT_EQ(put(t_, k, item), 1);
  }
  static DiskNode node(const std::vector<uint8_t> &f, uint32_t b) {
    return DiskNode(f, 512, b);
  }
  CbTree *t_ = nullptr;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CBT_EDGE_SUPPORT_H
