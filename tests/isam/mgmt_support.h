// Support of the index management and utility tests: a database of people
// (name S, id L, city C) filled with records in random order with some
// deleted again, walks of an index as records, and the whole index file
// as its pairs.
#ifndef RECBASE_TESTS_ISAM_MGMT_SUPPORT_H
#define RECBASE_TESTS_ISAM_MGMT_SUPPORT_H

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/isam/isam_support.h"
#include "tests/support/fixture.h"

namespace recbase::test {

struct Person {
  std::string name;
  int32_t id = 0;
  std::string city;
  bool operator==(const Person &o) const {
    return name == o.name && id == o.id && city == o.city;
  }
  bool operator<(const Person &o) const {
    return std::tie(id, name, city) < std::tie(o.id, o.name, o.city);
  }
};

using People = std::vector<Person>;
using IndexPairs = PairList;

class MgmtTest : public IsamTest {
 protected:
  static const Strings &fields() {
    static const Strings f = {"name", "id,L", "city,C"};
    return f;
  }

  static int32_t add(IsamDb *db, const Person &p, IsamIndex *ix = nullptr) {
    return iaddrec(db, ix, Record({p.name, stored(p.id), p.city}).get());
  }

  // Adds n people with distinct ids in random order and names that repeat
  // (some equal but for case), then deletes every fifth added, leaving free
  // areas. Returns the people kept.
  static People fill(IsamDb *db, int32_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> ids(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) ids[static_cast<size_t>(i)] = i * 7 - 50;
    std::shuffle(ids.begin(), ids.end(), rng);
    const char *names[] = {"Ada", "ada", "Bo", "Cy", "Dee", "eve", "Flo"};
    const char *cities[] = {"Oslo", "Bergen", "Molde", ""};
    People kept;
    IsamIndex *physical = ihandle(db, iphysical);
    for (int32_t i = 0; i < n; ++i) {
      Person p{std::string(names[rng() % 7]) + std::string(rng() % 20, 'x'),
               ids[static_cast<size_t>(i)], cities[rng() % 4]};
      EXPECT_EQ(add(db, p, physical), 1) << isam_errno;
      if (i % 5 == 2) {
        EXPECT_EQ(idelrec(db, physical), 1) << isam_errno;
      } else {
        kept.push_back(p);
      }
    }
    return kept;
  }

  static Person current(IsamDb *db, IsamIndex *ix) {
    char buffer[512];
    char *f[4];
    EXPECT_EQ(igetrec(db, ix, f, buffer, sizeof buffer), 1) << isam_errno;
    Person p;
    p.name = f[0];
    std::memcpy(&p.id, f[1], 4);
    p.city = f[2];
    return p;
  }

  // Every record in the order of the index name.
  static People walk(IsamDb *db, const char *name) {
    IsamIndex *ix = ihandle(db, name);
    EXPECT_NE(ix, nullptr) << name;
    People out;
    if (ix == nullptr) return out;
    int32_t r = ifindhead(db, ix);
    for (; r == 1 && out.size() < 100000; r = ifindnext(db, ix)) {
      out.push_back(current(db, ix));
    }
    EXPECT_EQ(r, -3) << isam_errno;
    return out;
  }

  static Strings names(IsamDb *db) {
    Strings out;
    char **list = igetindexnames(db);
    for (; list != nullptr && *list != nullptr; ++list) out.push_back(*list);
    return out;
  }

  // Every pair of the index file of the database name (open or not).
  IndexPairs index_file(const std::string &name) {
    CbTree *t = cbopen((path(name) + ".idx").c_str(), isam::key_compare);
    if (t == nullptr) return {};
    const IndexPairs out = test::walk(t);
    EXPECT_EQ(cbclose(t), 1);
    return out;
  }
  // The free-space pairs alone (first byte 254 or 255).
  IndexPairs free_keys(const std::string &name) {
    IndexPairs out;
    for (const auto &pair : index_file(name)) {
      if (!pair.first.empty() && static_cast<uint8_t>(pair.first[0]) >= 254) {
        out.push_back(pair);
      }
    }
    return out;
  }
};

// People ordered by id: how two walks are compared as sets.
inline People by_id(People v) {
  std::sort(v.begin(), v.end());
  return v;
}
// The names of the people folded, in their order, or sorted: what an index
// over the name alone decides (equal names may come in any order).
inline Strings folded_names(const People &v, bool sort = false) {
  Strings out;
  for (const Person &p : v) {
    std::string x = p.name;
    for (char &c : x)
      c = static_cast<char>(isam::fold(static_cast<uint8_t>(c)));
    out.push_back(x);
  }
  if (sort) std::sort(out.begin(), out.end());
  return out;
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_ISAM_MGMT_SUPPORT_H
