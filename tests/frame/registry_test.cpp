// Member sets through the exported add/is/del calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "recbase/cbt.h"

namespace {

struct Record {
  void *link;  // the set's link word
  int id;
};

// The members of a set from head to tail, by walking the link words.
std::vector<int> walk(void *head) {
  std::vector<int> ids;
  for (auto *r = static_cast<Record *>(head); r != nullptr;
       r = static_cast<Record *>(r->link)) {
    ids.push_back(r->id);
  }
  return ids;
}

TEST(RegistryTest, AddPutsTheNewestFirstAndDeleteRelinks) {
  void *set = nullptr;
  Record a{nullptr, 1}, b{nullptr, 2}, c{nullptr, 3}, d{nullptr, 4};
  EXPECT_EQ(is_member(&set, &a), 0);
  EXPECT_EQ(del_member(&set, &a), 0);
  for (Record *r : {&a, &b, &c, &d}) add_member(&set, r);
  EXPECT_EQ(walk(set), (std::vector<int>{4, 3, 2, 1}));
  // Head, middle and last member; a second delete finds nothing.
  for (Record *r : {&d, &b, &a}) {
    EXPECT_EQ(del_member(&set, r), 1) << r->id;
    EXPECT_EQ(r->link, nullptr) << r->id;
    EXPECT_EQ(is_member(&set, r), 0) << r->id;
    EXPECT_EQ(del_member(&set, r), 0) << r->id;
  }
  EXPECT_EQ(walk(set), (std::vector<int>{3}));
}

TEST(RegistryTest, ForeignAndNullObjectsAndSetsAreRefused) {
  void *set = nullptr;
  Record a{nullptr, 1}, stranger{&a, 9};  // link looks plausible
  add_member(&set, &a);
  for (Record *r : {&stranger, static_cast<Record *>(nullptr)}) {
    EXPECT_EQ(is_member(&set, r), 0);
    EXPECT_EQ(del_member(&set, r), 0);
  }
  EXPECT_EQ(walk(set), (std::vector<int>{1}));
  EXPECT_EQ(stranger.link, &a);
  // An address that must not be dereferenced: answered without reading it.
  auto **bogus = reinterpret_cast<void **>(uintptr_t{8});
  EXPECT_EQ(del_member(bogus, nullptr), 0);
  EXPECT_EQ(is_member(bogus, nullptr), 0);
  Record b{nullptr, 2};
  add_member(nullptr, &b);
  EXPECT_EQ(b.link, nullptr);
  EXPECT_EQ(is_member(nullptr, &b), 0);
  EXPECT_EQ(del_member(nullptr, &b), 0);
}

// Random adds and deletes against a std::set of the live records.
TEST(RegistryTest, AgreesWithAModelUnderRandomChurn) {
  std::vector<Record> records(200);
  for (int i = 0; i < 200; ++i) records[i] = Record{nullptr, i};
  std::set<int> live;
  void *set = nullptr;
  std::mt19937 rng(12345);
  for (int step = 0; step < 5000; ++step) {
    const int i = static_cast<int>(rng() % records.size());
    if (live.count(i) == 0) {
      add_member(&set, &records[i]);
      live.insert(i);
    } else {
      ASSERT_EQ(del_member(&set, &records[i]), 1);
      live.erase(i);
    }
    const int probe = static_cast<int>(rng() % records.size());
    ASSERT_EQ(is_member(&set, &records[probe]), live.count(probe) ? 1 : 0);
  }
  std::vector<int> members = walk(set);
  std::sort(members.begin(), members.end());
  EXPECT_EQ(members, std::vector<int>(live.begin(), live.end()));
}

}  // namespace
