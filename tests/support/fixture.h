// The library fixture of the tests and wrappers around the exported calls:
// a pool of chosen buffers and size, a temporary directory, trees created
// with chosen block sizes, walks through the exported calls, and cbexit at
// the end, which closes whatever a test left open.
#ifndef RECBASE_TESTS_SUPPORT_FIXTURE_H
#define RECBASE_TESTS_SUPPORT_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/files.h"
#include "tests/support/keys.h"
#include "tests/support/tree_file.h"

namespace recbase::test {

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

// Every pair by cbhead/cbnext (ending with -3), or in reverse by
// cbtail/cbprev (ending with -2).
inline PairList walk(CbTree *t, bool forward = true) {
  PairList out;
  int32_t item = 0;
  int32_t r = forward ? cbhead(t, &item) : cbtail(t, &item);
  for (; r == 1 && out.size() < 1000000;) {
    out.emplace_back(key_at(t), item);
    r = forward ? cbnext(t, &item) : cbprev(t, &item);
  }
  EXPECT_EQ(r, forward ? -3 : -2) << "walk ended with code " << cberrcode;
  return out;
}
inline PairList walk_forward(CbTree *t) { return walk(t, true); }

// A temporary directory and a pool of pool_count_ buffers of pool_size_
// bytes (a derived fixture may set both in its constructor).
class LibTest : public ::testing::Test {
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
    cblock_timeout(25, 50, 10000);
    cbclear_error();
  }
  std::string path(const std::string &name) const { return dir_.file(name); }
  CbTree *create(const std::string &name, int32_t block_size = 512,
                 CbCompare cmp = nullptr) {
    return cbcreate(path(name).c_str(), cmp, block_size);
  }
  CbTree *open(const std::string &name, CbCompare cmp = nullptr) {
    return cbopen(path(name).c_str(), cmp);
  }
  static void expect_sound(CbTree *t) { EXPECT_EQ(cbt::check_tree(t), ""); }
  // The file of tree t after cbflush.
  std::vector<uint8_t> flushed(CbTree *t, const std::string &name) {
    EXPECT_EQ(cbflush(t), 1);
    return read_file(path(name));
  }
  // Keys 10, 20, .., 170 (item = number) fill a 512-byte root leaf and 175
  // splits it: leaf 1 holds 10..90, leaf 2 100..175, root 3 lists leaf 2
  // under (100, 100).
  static void build_two_leaves(CbTree *t) {
    for (int n = 10; n <= 170; n += 10) ASSERT_EQ(put(t, key(n), n), 1);
    ASSERT_EQ(put(t, key(175), 175), 1);
    ASSERT_EQ(cbdepth(t), 2);
  }

  int32_t pool_count_ = 16;
  int32_t pool_size_ = 512;
  TempDir dir_;
};

// A LibTest with the tree "t" of 512-byte blocks open as t_.
class TreeTest : public LibTest {
 protected:
  void SetUp() override {
    LibTest::SetUp();
    t_ = create("t");
    ASSERT_NE(t_, nullptr);
  }
  using LibTest::flushed;
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

#endif  // RECBASE_TESTS_SUPPORT_FIXTURE_H
