// Index management through the exported calls: indexes made over existing
// records and walked, removed and made again, the order of the name list,
// a new index file with the indexes made again, and every refusal leaving
// the index file and the index list as they were.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/isam/mgmt_support.h"
#include "tests/support/fault_injection.h"

namespace recbase::test {
namespace {

std::vector<int32_t> g_counts;
void RBCALL count_progress(int32_t n) { g_counts.push_back(n); }
std::vector<int32_t> one_to(size_t n) {
  std::vector<int32_t> v;
  for (size_t i = 1; i <= n; ++i) v.push_back(static_cast<int32_t>(i));
  return v;
}

class IndexMgmtTest : public MgmtTest {
 protected:
  ~IndexMgmtTest() override { iprogress(nullptr); }
  int32_t make(IsamDb *db, const std::string &name, const Strings &specs) {
    return imkindex(db, name.c_str(), Record(specs).get());
  }
  // The walks of "byName" and "byId,U" match the people.
  static void expect_walks(IsamDb *db, const People &people) {
    const People names = walk(db, "byName");
    EXPECT_EQ(folded_names(names), folded_names(people, true));
    EXPECT_EQ(by_id(names), by_id(people));
    EXPECT_EQ(walk(db, "byId,U"), by_id(people));
    EXPECT_EQ(by_id(walk(db, iphysical)), by_id(people));
  }
};

TEST_F(IndexMgmtTest, IndexesMadeOverRecordsWalkInOrderAndSurviveReopen) {
  IsamDb *db = create("t", fields());
  ASSERT_NE(db, nullptr);
  People people = fill(db, 300, 1);
  g_counts.clear();
  iprogress(count_progress);
  ASSERT_EQ(make(db, "byName", {"name"}), 1) << isam_errno;
  EXPECT_EQ(g_counts, one_to(people.size()));
  // The new index is at its head.
  IsamIndex *names = ihandle(db, "byName");
  EXPECT_EQ(folded_names({current(db, names)}),
            Strings{folded_names(people, true).front()});
  iprogress(nullptr);
  ASSERT_EQ(make(db, "byId,U", {"id,L"}), 1) << isam_errno;
  expect_walks(db, people);

  ASSERT_EQ(iclose_db(db), 1);
  db = iopen_db(path("t").c_str());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(isam_errno, 0);
  people.push_back({"Zoe", 5000, "Oslo"});
  ASSERT_EQ(add(db, people.back()), 1);
  expect_walks(db, people);

  // An index of no key fields holds one equal key per record; unique, it
  // cannot be made over two records.
  ASSERT_EQ(make(db, "all", {}), 1);
  EXPECT_EQ(walk(db, "all").size(), people.size());
  EXPECT_EQ(make(db, "one,U", {}), -1);
  EXPECT_EQ(isam_errno, 9);
  EXPECT_EQ(cberrcode, 22);
}

TEST_F(IndexMgmtTest, RemovedIndexLeavesNoEntriesAndItsNumberIsGivenAgain) {
  IsamDb *db = create("t", fields());
  ASSERT_NE(db, nullptr);
  const People people = fill(db, 120, 2);
  ASSERT_EQ(make(db, "byName", {"name"}), 1);
  ASSERT_EQ(make(db, "byCity", {"city,C", "name:2"}), 1);
  g_counts.clear();
  iprogress(count_progress);
  ASSERT_EQ(irmindex(db, "BYNAME"), 1) << isam_errno;
  iprogress(nullptr);
  EXPECT_EQ(g_counts, one_to(people.size()));
  EXPECT_EQ(ihandle(db, "byName"), nullptr);
  EXPECT_EQ(isam_errno, 8);
  size_t city_entries = 0;
  for (const auto &[key, item] : index_file("t")) {
    EXPECT_NE(static_cast<uint8_t>(key[0]), 1) << "entry of the removed index";
    EXPECT_NE(key, std::string(1, '\0') + "byName" + '\0' + "name" + '\0');
    city_entries += static_cast<uint8_t>(key[0]) == 2;
  }
  EXPECT_EQ(city_entries, people.size());

  ASSERT_EQ(make(db, "byId,U", {"id,L"}), 1);
  EXPECT_EQ(ihandle(db, "byId,U")->number, 1);
  EXPECT_EQ(walk(db, "byId,U"), by_id(people));
  EXPECT_EQ(by_id(walk(db, "byCity")), by_id(people));
}

TEST_F(IndexMgmtTest, NamesListMadeNewestFirstThenLoadedInDescendingOrder) {
  IsamDb *db = create_with("t", fields(),
                           {{"zip", {"city,C"}, 1}, {"city", {"city,C"}, 2}});
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(names(db), (Strings{"zip", iphysical, "city"}));
  ASSERT_EQ(make(db, "name", {"name"}), 1);
  ASSERT_EQ(make(db, "Alpha", {"id,L"}), 1);
  EXPECT_EQ(names(db), (Strings{"Alpha", "name", "zip", iphysical, "city"}));
  ASSERT_EQ(irmindex(db, "zip"), 1);
  EXPECT_EQ(names(db), (Strings{"Alpha", "name", iphysical, "city"}));
  EXPECT_EQ(igetindexnames(nullptr), nullptr);
  EXPECT_EQ(isam_errno, 0);
}

TEST_F(IndexMgmtTest, RefusalsLeaveTheIndexFileAndListAsTheyWere) {
  IsamDb *db = create("t", fields());
  ASSERT_NE(db, nullptr);
  const People people = fill(db, 40, 3);
  ASSERT_EQ(make(db, "byName", {"name"}), 1);
  const IndexPairs file = index_file("t");
  const Strings list = names(db);
  int32_t not_a_db = 0;
  const std::string long_name(600, 'n');
  struct Case {
    const char *what;
    std::function<int32_t()> call;
    int32_t error;
  };
  const std::vector<Case> cases = {
      {"bad handle",
       [&] { return make(reinterpret_cast<IsamDb *>(&not_a_db), "x", {}); }, 1},
      {"null name", [&] { return imkindex(db, nullptr, nullptr); }, 35},
      {"duplicate name", [&] { return make(db, "BYNAME", {"id,L"}); }, 17},
      {"no such field",
       [&] {
         return make(db, "x", {"id,L", "nosuch"});
       },
       18},
      {"length 0", [&] { return make(db, "x", {"name:0"}); }, 18},
      {"too long", [&] { return make(db, long_name, {"name"}); }, 11},
      {"unique over equal", [&] { return make(db, "n,U", {"name:1"}); }, 9},
      {"remove physical", [&] { return irmindex(db, iphysical); }, 6},
      {"remove unknown", [&] { return irmindex(db, "nosuch"); }, 8},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.call(), -1) << c.what;
    EXPECT_EQ(isam_errno, c.error) << c.what;
    EXPECT_EQ(index_file("t"), file) << c.what;
    EXPECT_EQ(names(db), list) << c.what;
  }

  // Numbers 1..253 all taken: the next index is refused.
  for (int i = 2; i <= 253; ++i) {
    ASSERT_EQ(make(db, "i" + std::to_string(i), {"id,L"}), 1) << i;
  }
  const IndexPairs full = index_file("t");
  EXPECT_EQ(make(db, "one too many", {"id,L"}), -1);
  EXPECT_EQ(isam_errno, 13);
  EXPECT_EQ(index_file("t"), full);
  EXPECT_EQ(names(db).size(), 254u);
  ASSERT_EQ(irmindex(db, "i253"), 1);
  const IndexPairs one_free = index_file("t");
  // Its entries and its descriptor are gone (253 read as unsigned).
  EXPECT_EQ(one_free.size(), full.size() - people.size() - 1);

  // A new index file that may not replace the old one: the indexes are
  // closed first, so none is left until the next open; the file stays.
  EXPECT_EQ(inew_index_file(db, 0, 0), -1);
  EXPECT_EQ(isam_errno, 21);
  EXPECT_EQ(names(db), Strings{});
  EXPECT_EQ(ihandle(db, iphysical), nullptr);
  ASSERT_EQ(iclose_db(db), 1);
  EXPECT_EQ(index_file("t"), one_free);
  // A block size over the pool's: "Physical Index" alone, the file kept.
  db = iopen_db(path("t").c_str());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(inew_index_file(db, 1024, 1), -1);
  EXPECT_EQ(isam_errno, 20);
  EXPECT_EQ(names(db), Strings{iphysical});
  ASSERT_EQ(iclose_db(db), 1);
  EXPECT_EQ(index_file("t"), one_free);

  // Read-only, then shared: refused before anything changes (the field
  // check comes first).
  for (const auto &[shared, read_only, error] :
       {std::tuple{0, 1, 31}, std::tuple{1, 0, 32}}) {
    db = iopen_db_shared(path("t").c_str(), shared, read_only);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(make(db, "x", {"nosuch"}), -1);
    EXPECT_EQ(isam_errno, shared != 0 ? 18 : 31);
    EXPECT_EQ(make(db, "x", {"name"}), -1);
    EXPECT_EQ(isam_errno, error);
    EXPECT_EQ(irmindex(db, "byName"), -1);
    EXPECT_EQ(isam_errno, error);
    EXPECT_EQ(inew_index_file(db, 0, 1), -1);
    EXPECT_EQ(isam_errno, error);
    ASSERT_EQ(iclose_db(db), 1);
    EXPECT_EQ(index_file("t"), one_free);
  }
}

TEST_F(IndexMgmtTest, NewIndexFileKeepsFreeSpaceAndIndexesMadeAgainWalkAlike) {
  ASSERT_EQ(isaminit(32, 1024), 1);
  IsamDb *db = create("t", fields());
  ASSERT_NE(db, nullptr);
  const People people = fill(db, 200, 4);
  ASSERT_EQ(make(db, "byName", {"name"}), 1);
  ASSERT_EQ(make(db, "byId,U", {"id,L"}), 1);
  const IndexPairs free_areas = free_keys("t");
  ASSERT_FALSE(free_areas.empty());

  ASSERT_EQ(inew_index_file(db, 1024, 1), 1) << isam_errno;
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(names(db), Strings{iphysical});
  EXPECT_EQ(free_keys("t"), free_areas);
  EXPECT_EQ(cbblksize((path("t") + ".idx").c_str()), 1024);
  ASSERT_EQ(make(db, "byName", {"name"}), 1);
  ASSERT_EQ(make(db, "byId,U", {"id,L"}), 1);
  expect_walks(db, people);
  // The free-space figures are the size keys summed; a rebuild keeps the
  // definitions (and their numbers), the block size and the map.
  IsamFreeSpace expected{}, got{};
  for (const auto &[key, item] : free_areas) {
    if (static_cast<uint8_t>(key[0]) != 255) continue;
    const int32_t size =
        static_cast<uint8_t>(key[1]) << 8 | static_cast<uint8_t>(key[2]);
    expected.bytes += size;
    expected.largest = std::max(expected.largest, size);
    ++expected.areas;
  }
  ASSERT_EQ(ifreespace(db, &got), 1);
  EXPECT_EQ(std::tie(got.areas, got.bytes, got.largest),
            std::tie(expected.areas, expected.bytes, expected.largest));
  const Strings list = names(db);
  const IndexPairs descriptors = index_file("t");
  ASSERT_EQ(irebuild_index_file(db, 0), 1) << isam_errno;
  EXPECT_EQ(names(db), list);
  EXPECT_EQ(index_file("t"), descriptors);
  EXPECT_EQ(cbblksize((path("t") + ".idx").c_str()), 1024);
  expect_walks(db, people);
  ASSERT_EQ(iclose_db(db), 1);

  // Without its index file the database opens with "Physical Index" alone;
  // a new index file needs no overwrite then.
  ASSERT_EQ(std::remove((path("t") + ".idx").c_str()), 0);
  db = iopen_db(path("t").c_str());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(isam_errno, 12);
  ASSERT_EQ(inew_index_file(db, 0, 0), 1) << isam_errno;
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(free_keys("t"), free_areas);
  EXPECT_EQ(cbblksize((path("t") + ".idx").c_str()), 512);
  EXPECT_EQ(by_id(walk(db, iphysical)), by_id(people));
}

// Every platform call and allocation of imkindex failed in turn: each
// failure leaves the index file and the list as they were (or the index is
// whole).
TEST_F(IndexMgmtTest, FailuresOfMakingAnIndexLeaveNoHalfBuiltIndex) {
  IsamDb *db = create("t", fields());
  ASSERT_NE(db, nullptr);
  const People people = fill(db, 60, 5);
  ASSERT_EQ(iflush_db(db), 1);
  const IndexPairs file = index_file("t");
  const Strings list = names(db);
  for (bool alloc : {false, true}) {
    for (int64_t n = 1;; ++n) {
      int32_t r = 0;
      bool fired = false;
      {
        FaultInjector faults;
        if (alloc) {
          faults.fail_alloc_at(n);
        } else {
          faults.fail_io_at(n);
        }
        r = make(db, "byName", {"name"});
        fired = alloc ? faults.alloc_fired() : faults.io_fired();
      }
      if (!fired) {
        ASSERT_EQ(r, 1) << n;
        break;
      }
      if (r == 1) {
        // A failure the call gets past (a read that is tried again).
        EXPECT_EQ(by_id(walk(db, "byName")), by_id(people)) << n;
        ASSERT_EQ(irmindex(db, "byName"), 1) << n;
        continue;
      }
      EXPECT_EQ(names(db), list) << n;
      EXPECT_EQ(index_file("t"), file)
          << (alloc ? "allocation " : "call ") << n;
    }
    ASSERT_EQ(irmindex(db, "byName"), 1);
  }
  EXPECT_EQ(index_file("t"), file);
}

}  // namespace
}  // namespace recbase::test
