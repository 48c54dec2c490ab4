// Entry keys byte by byte for every field type and partial specification,
// descriptor keys, and the order of index-file keys.
#include "isam/keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Strings kFields = {"name", "code,C", "i,I", "u,U",
                         "l,L",  "f,F",    "d,D", "bin,B3"};

class KeysTest : public IsamTest {
 protected:
  void SetUp() override {
    db_ = create_with("k", kFields,
                      {{"s", {"NAME"}, 1},
                       {"c", {"CODE,c"}, 2},
                       {"i", {"i,I"}, 3},
                       {"u", {"u,U"}, 4},
                       {"l", {"l,L"}, 5},
                       {"f", {"f,F"}, 6},
                       {"d", {"d,D"}, 7},
                       {"b", {"bin,B3"}, 8},
                       {"sl", {"name", "l,L"}, 9},
                       {"part", {"name:2,3", "code,C:2", "i,I"}, 10},
                       {"all", kFields, 11},
                       {"texts", {"name", "code,C", "name"}, 12}});
    ASSERT_NE(db_, nullptr);
    ASSERT_EQ(isam_errno, 0);
    ASSERT_EQ(db_->index_count, 13);
  }
  IsamIndex *ix(const char *name) { return ihandle(db_, name); }
  Bytes key(const char *index, const Strings &values) {
    return key_of(db_, ix(index), values);
  }
  int32_t cmp(const Bytes &a, const Bytes &b) {
    return isam::key_compare(a.data(), static_cast<int32_t>(a.size()), b.data(),
                             static_cast<int32_t>(b.size()));
  }

  IsamDb *db_ = nullptr;
};

Bytes cat(uint8_t number, const std::string &rest) {
  Bytes b(rest.size() + 1, number);
  std::copy(rest.begin(), rest.end(), b.begin() + 1);
  return b;
}

const std::string kBin("\x01\x00\x03", 3);

TEST_F(KeysTest, EntryKeysByFieldAndByKeyPosition) {
  const struct {
    const char *index;
    Strings fields;  // by field number
    Bytes key;
  } cases[] = {
      {"all",
       {"Ab", "Cd", stored<int16_t>(-2), stored<uint16_t>(65535),
        stored<int32_t>(7), stored(1.5f), stored(2.5), kBin},
       cat(11, std::string("Ab\0Cd\0", 6) + stored<int16_t>(-2) +
                   stored<uint16_t>(65535) + stored<int32_t>(7) + stored(1.5f) +
                   stored(2.5) + kBin)},
      {"part",
       {"abcdefg", "xyz", stored<int16_t>(5)},
       cat(10, std::string("cde\0xy\0", 7) + stored<int16_t>(5))},
      {"part",
       {"ab", "", stored<int16_t>(5)},
       cat(10, std::string("\0\0", 2) + stored<int16_t>(5))},
      {"part",
       {"abcd", "x", stored<int16_t>(5)},
       cat(10, std::string("cd\0x\0", 5) + stored<int16_t>(5))},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.index);
    Strings all = c.fields;
    all.resize(kFields.size(), "");
    IsamIndex *index = ix(c.index);
    uint8_t out[512];
    int32_t len = 0;
    ASSERT_EQ(isam::build_key_by_field(db_, index, Record(all).get(), out,
                                       sizeof out, &len),
              kIsOk);
    EXPECT_EQ(Bytes(out, out + len), c.key);
    Strings by_position;
    for (int32_t k = 0; k < index->key_count; ++k) {
      by_position.push_back(all[igetdesc_fldnbr(db_, index, k)]);
    }
    EXPECT_EQ(key_of(db_, index, by_position), c.key);
  }
  // A key stops at the first missing value, and must fit its buffer.
  EXPECT_EQ(key("sl", {"x"}), cat(9, std::string("x\0", 2)));
  uint8_t small[8];
  int32_t len = 0;
  EXPECT_EQ(isam::build_key_by_position(db_, ix("s"), Record({"1234567"}).get(),
                                        small, sizeof small, &len),
            kIsKeyTooLong);
  EXPECT_EQ(isam::build_key_by_position(db_, ix("l"), Record({"1234"}).get(),
                                        small, 4, &len),
            kIsKeyTooLong);
  uint8_t desc[32];
  ASSERT_EQ(isam::build_descriptor("byName", Record({"name", "l,L"}).get(),
                                   desc, sizeof desc, &len),
            kIsOk);
  EXPECT_EQ(Bytes(desc, desc + len),
            cat(0, std::string("byName\0name\0l,L\0", 16)));
}

TEST_F(KeysTest, OrderOfEntryKeys) {
  const float fnan = std::nanf("");
  const double dnan = std::nan("");
  const struct {
    const char *index;
    Strings a, b;
    int32_t expected;
  } cases[] = {
      {"s", {"abc"}, {"ABC"}, 0},
      {"s", {"abd"}, {"ABC"}, 1},
      {"c", {"ABC"}, {"abc"}, -1},
      {"c", {"ABCDEFGHIJKLMNOPq"}, {"ABCDEFGHIJKLMNOPr"}, -1},
      {"s", {"abcdefghijKLMNOP"}, {"ABCDEFGHIJklmnop"}, 0},
      {"i", {stored<int16_t>(-1)}, {stored<int16_t>(0)}, -1},
      {"u", {stored<uint16_t>(65535)}, {stored<uint16_t>(0)}, 1},
      {"l", {stored<int32_t>(-5)}, {stored<int32_t>(3)}, -1},
      {"d", {stored(-2.5)}, {stored(1e-300)}, -1},
      {"f", {stored(fnan)}, {stored(1.0f)}, 1},
      {"f", {stored(1.0f)}, {stored(fnan)}, 1},
      {"d", {stored(dnan)}, {stored(dnan)}, 1},
      {"d", {stored(-0.0)}, {stored(0.0)}, 0},
      {"b", {std::string("\xff\0\0", 3)}, {"\x01\xff\xff"}, 1},
      {"sl", {"x"}, {"x", stored<int32_t>(5)}, -1},
      {"sl", {"x", stored<int32_t>(5)}, {"x"}, 1},
      {"sl", {"x", stored<int32_t>(5)}, {"X", stored<int32_t>(5)}, 0},
      {"sl", {"x", stored<int32_t>(9)}, {"y", stored<int32_t>(1)}, -1},
      {"sl", {"abcdefg", stored(-1)}, {"abcdefg", stored(1)}, -1},
      {"s", {}, {}, 0},
      {"s", {}, {""}, -1},
      {"s", {""}, {}, 1},
  };
  // Each case twice: the second time its index is the one compared last.
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.index << " " << c.expected);
    EXPECT_EQ(cmp(key(c.index, c.a), key(c.index, c.b)), c.expected);
    EXPECT_EQ(cmp(key(c.index, c.a), key(c.index, c.b)), c.expected);
  }
}

TEST_F(KeysTest, OrderOfDescriptorsFreeSpaceAndUnreadableKeys) {
  const struct {
    Bytes a, b;
    int32_t expected;
  } cases[] = {
      {cat(0, std::string("byCity\0", 7)),
       cat(0, std::string("BYCITY\0x\0", 9)), 0},
      {cat(0, std::string("a\0", 2)), {1}, -1},
      {{2, 'a', 0}, cat(1, "zzz"), 1},
      {{254, 0, 0, 1, 0}, {254, 0, 0, 0, 255}, 1},
      {{255, 0, 5}, {255, 1, 0}, -1},
      {{255, 0, 5, 9}, {255, 0, 5, 1}, 0},
      {{254, 0, 0, 0, 1, 9}, {254, 0, 0, 0, 1}, 0},
      {{254, 1}, {254, 1, 0, 0, 0}, -1},
      {{200, 1, 2}, {200, 1, 2, 0}, -1},  // no index 200: bytes
      {{}, {1}, -1},
      {{}, {}, 0},
      // An L value cut short is compared bytewise; what follows the last
      // key field does not count.
      {cat(9, std::string("x\0\x01", 3)), key("sl", {"x", stored(1)}), -1},
      {cat(5, stored<int32_t>(7) + "zz"), key("l", {stored<int32_t>(7)}), 0},
      {cat(1, "abc"), cat(1, std::string("ABC\0", 4)), 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a));
    EXPECT_EQ(cmp(c.a, c.b), c.expected);
  }
}

// Entries whose key fields are all texts take a path of their own once
// their index is the one compared last; it must order every pair of keys
// as the field-by-field path does, keys cut short, without NULs or with
// bytes after the last field included.
TEST_F(KeysTest, TextEntriesOrderAsFieldByField) {
  std::mt19937 rng(7);
  auto text = [&] {
    std::string s(rng() % 12, 'a');
    for (char &c : s) c = "aAbB\x01\xff"[rng() % 6];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    Bytes k[2];
    for (Bytes &key : k) {
      const std::string v[] = {text(), text(), text()};
      key = key_of(db_, ix("texts"), {v[0], v[1], v[2]});
      if (round % 7 == 0) key.resize(1 + rng() % key.size());
      if (round % 5 == 0) key.push_back(static_cast<uint8_t>(rng()));
    }
    if (round % 3 == 0) k[1] = k[0], k[1][rng() % k[1].size()] ^= 0x20;
    isam::forget_compare_cache();
    const int32_t by_field = cmp(k[0], k[1]);
    SCOPED_TRACE(testing::PrintToString(k[0]) + testing::PrintToString(k[1]));
    ASSERT_EQ(cmp(k[0], k[1]), by_field);
    ASSERT_EQ(cmp(k[1], k[0]), -by_field);
  }
}

TEST_F(KeysTest, TheComparisonFollowsTheCurrentDatabase) {
  // Index 1 of the other database is over its field 1, an I field; field
  // 1 here is a C field.
  IsamDb *other = create_with("o", {"pad", "n,I"}, {{"n", {"n,I"}, 1}});
  ASSERT_NE(other, nullptr);
  const Bytes b = cat(1, std::string("B\0", 2));
  const Bytes a = cat(1, std::string("a\0", 2));
  EXPECT_EQ(cmp(b, a), -1);  // 'B' 0 and 'a' 0 as 16-bit numbers
  isam::make_current(db_);
  EXPECT_EQ(cmp(b, a), 1);  // texts without regard to case
  // Closing drops the cached index; the database opened again is used.
  ASSERT_EQ(iclose_db(other), 1);
  ASSERT_EQ(iclose_db(db_), 1);
  db_ = iopen_db(path("o").c_str());
  ASSERT_NE(db_, nullptr);
  EXPECT_EQ(cmp(b, a), -1);
}

}  // namespace
}  // namespace recbase::test
