// Walks with igetrec, interleaved with changes through other handles: a
// database not shared answers its common steps from the tree cursor and
// reads records in place in its data cache, a shared one takes the general
// path of every call. The same script on both must give the same results,
// error codes and values at every call, over records of many lengths (slots
// that cross cache pages, slots longer than the read's probe, slots near the
// end of the file) and a pool small enough that walks leave their leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

const Strings kFields = {"name", "id,L", "city,C"};
constexpr int32_t kRecords = 160;

// What is done to the database every `every` steps of the walk, through a
// handle other than the walking one unless said.
enum class Change {
  kNone,
  kDeleteCurrent,  // the walk's current record
  kDeleteAhead,    // the record two ids on
  kGrowCurrent,    // longer, so that it moves to a new slot
  kShrinkAhead,    // shorter, in place
  kRecityAhead,    // its city key changes: it moves in the city order
  kAdd,            // a new record, in the middle of the city order
  kDeleteHere,     // the current record, through the walking index itself
};

struct Case {
  const char *label;
  int walk;  // 0 physical, 1 by id, 2 by city
  Change change;
  int every;
};

const Case kCases[] = {
    {"id_plain", 1, Change::kNone, 1},
    {"city_plain", 2, Change::kNone, 1},
    {"physical_plain", 0, Change::kNone, 1},
    {"city_delete_current", 2, Change::kDeleteCurrent, 5},
    {"id_delete_ahead", 1, Change::kDeleteAhead, 4},
    {"city_grow_current", 2, Change::kGrowCurrent, 3},
    {"id_grow_current", 1, Change::kGrowCurrent, 7},
    {"city_shrink_ahead", 2, Change::kShrinkAhead, 4},
    {"city_recity_ahead", 2, Change::kRecityAhead, 3},
    {"id_add", 1, Change::kAdd, 6},
    {"city_delete_here", 2, Change::kDeleteHere, 4},
    {"physical_grow_current", 0, Change::kGrowCurrent, 5},
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.label; }

// Record i: names from 3 to 72 bytes, some of 700 (more than a read's
// probe) and of 3,000 (across a cache page), cities from a few.
std::string name_of(int32_t i, int32_t extra = 0) {
  size_t n = 3 + static_cast<size_t>((i * 37) % 70);
  if (i % 40 == 7) n = 700;
  if (i % 53 == 11) n = 3000;
  return std::string(n + static_cast<size_t>(extra),
                     static_cast<char>('a' + i % 26));
}
std::string city_of(int32_t i) { return "c" + std::to_string(i % 9); }
Record record(int32_t i, const std::string &name, const std::string &city) {
  return {name, stored(i * 3), city};
}

class WalkTest : public IsamTest, public ::testing::WithParamInterface<Case> {
 protected:
  struct Db {
    IsamDb *db = nullptr;
    IsamIndex *ix[3] = {};
    std::vector<std::string> trace;
  };

  ~WalkTest() override { cb_set_flush(1, 0); }
  void SetUp() override {
    // Durability is not under test: the shared database skips the OS
    // flushes.
    cb_set_flush(1, 1);
    ASSERT_EQ(isaminit(24, 512), 1);
    open("x", false, &x_);
    open("s", true, &s_);
  }

  void open(const std::string &name, bool shared, Db *d) {
    IsamDb *db = create_with(
        name, kFields,
        {{"byId,U", {"id,L"}, 1}, {"byCity", {"city,C", "id,L"}, 2}});
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(iclose_db(db), 1);
    d->db = iopen_db_shared(path(name).c_str(), shared ? 1 : 0, 0);
    ASSERT_NE(d->db, nullptr);
    d->ix[0] = ihandle(d->db, iphysical);
    d->ix[1] = ihandle(d->db, "byId,U");
    d->ix[2] = ihandle(d->db, "byCity");
    for (int32_t i = 0; i < kRecords; ++i) {
      ASSERT_EQ(
          iaddrec(d->db, nullptr, record(i, name_of(i), city_of(i)).get()), 1);
    }
  }

  // A text as its length and a hash of its bytes (names run to 3,000).
  static std::string brief(const char *text) {
    const std::string s = text != nullptr ? text : "-";
    return std::to_string(s.size()) + ":" +
           std::to_string(std::hash<std::string>{}(s));
  }

  // The record's values as text, and its id; or the call's failure.
  static std::string show(int32_t r, char **f, int32_t *id) {
    std::string out =
        "r" + std::to_string(r) + " e" + std::to_string(isam_errno);
    if (r != 1) return out;
    std::memcpy(id, f[1], 4);
    return out + " " + brief(f[0]) + " " + std::to_string(*id) + " " + f[2];
  }

  // One step: move, then read the record whole, in a buffer too small
  // (every third step) and field by field (every fifth).
  int32_t step(Db &d, IsamIndex *ix, int n, bool first, int32_t *id) {
    const int32_t r = first ? ifindhead(d.db, ix) : ifindnext(d.db, ix);
    d.trace.push_back("n r" + std::to_string(r) + " e" +
                      std::to_string(isam_errno));
    const bool tree = ix->tree != nullptr;
    if (r == 1 && tree && &d == &x_) {
      EXPECT_EQ(cbfcncode, CBFN_KEY);
    }
    if (r != 1) return r;
    char buffer[4096];
    char *f[4];
    int32_t got = igetrec(d.db, ix, f, buffer, sizeof buffer);
    if (got == 1 && tree && &d == &x_) {
      EXPECT_EQ(cbfcncode, CBFN_KEY);
    }
    d.trace.push_back("g " + show(got, f, id));
    if (n % 3 == 0) {
      got = igetrec(d.db, ix, f, buffer, 40);
      d.trace.push_back("small r" + std::to_string(got) + " e" +
                        std::to_string(isam_errno) + " " + brief(f[0]));
    }
    if (n % 5 == 0) {
      std::string name(3100, '\0'), city(8, '\0');
      int32_t num = 0;
      char *own[] = {name.data(), reinterpret_cast<char *>(&num), city.data()};
      got = igetrec2(d.db, ix, own, nullptr);
      d.trace.push_back("get2 r" + std::to_string(got) + " e" +
                        std::to_string(isam_errno) + " " + brief(name.c_str()) +
                        " " + std::to_string(num) + " " + city.c_str());
    }
    return r;
  }

  // Applies the change for the walk's current record (id), through the
  // index that goes by id, or through the walking index.
  void change(Db &d, IsamIndex *walking, int32_t id, int n) {
    IsamIndex *by_id = d.ix[1];
    const Case &c = GetParam();
    const int32_t target = c.change == Change::kDeleteAhead ||
                                   c.change == Change::kShrinkAhead ||
                                   c.change == Change::kRecityAhead
                               ? id + 6
                               : id;
    const int32_t i = target / 3;
    int32_t r = 0;
    if (c.change == Change::kDeleteHere) {
      r = idelrec(d.db, walking);
    } else if (c.change == Change::kAdd) {
      r = iaddrec(d.db, nullptr,
                  record(kRecords + n, name_of(n, 5), city_of(i)).get());
    } else {
      r = ifindkey(d.db, by_id, Record({stored(target)}).get());
      if (r == 2) {
        if (c.change == Change::kDeleteCurrent ||
            c.change == Change::kDeleteAhead) {
          r = idelrec(d.db, by_id);
        } else if (c.change == Change::kGrowCurrent) {
          r = imodrec(d.db, by_id, record(i, name_of(i, 90), city_of(i)).get());
        } else if (c.change == Change::kShrinkAhead) {
          r = imodrec(d.db, by_id, record(i, "s", city_of(i)).get());
        } else {
          r = imodrec(d.db, by_id, record(i, name_of(i), city_of(i + 4)).get());
        }
      }
    }
    d.trace.push_back("change r" + std::to_string(r) + " e" +
                      std::to_string(isam_errno));
  }

  void run(Db &d) {
    const Case &c = GetParam();
    IsamIndex *ix = d.ix[c.walk];
    int32_t id = 0;
    int32_t r = 1;
    for (int n = 0; r == 1 && n < 3 * kRecords; ++n) {
      r = step(d, ix, n, n == 0, &id);
      if (r == 1 && c.change != Change::kNone && n % c.every == c.every - 1) {
        change(d, ix, id, n);
        // The walking index's record again, before it moves.
        char buffer[4096];
        char *f[4];
        int32_t ignored = 0;
        d.trace.push_back(
            "again " +
            show(igetrec(d.db, ix, f, buffer, sizeof buffer), f, &ignored));
      }
    }
    EXPECT_EQ(r, -3) << GetParam().label;
  }

  Db x_, s_;
};

TEST_P(WalkTest, NotSharedGivesWhatTheGeneralPathsGive) {
  run(x_);
  run(s_);
  ASSERT_FALSE(s_.trace.empty());
  const size_t n = std::min(x_.trace.size(), s_.trace.size());
  for (size_t i = 0; i < n; ++i) {
    ASSERT_EQ(x_.trace[i], s_.trace[i]) << "call " << i;
  }
  EXPECT_EQ(x_.trace.size(), s_.trace.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, WalkTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return info.param.label; });

}  // namespace
}  // namespace recbase::test
