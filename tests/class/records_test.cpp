// Records, indexes and locks through the class: which index is selected
// after opens, removals and a new index file; key parts that follow their
// growing field buffers; getRec's held lock as another process sees it.
#include <functional>
#include <string>

#include "tests/class/class_support.h"

namespace recbase::test {
namespace {

class RecordsTest : public ClassTest {
 protected:
  // First in the order of each index: "by name" Alice, "by age" Bob,
  // "City,U" Dan, "Physical Index" Carol.
  const std::vector<Person> rows_ = {{"Carol", 30, "Rome"},
                                     {"Alice", 41, "Wien"},
                                     {"Bob", 25, "Paris"},
                                     {"Dan", 50, "Athens"}};

  // The name of the first record of the selected index.
  static std::string first(ISAM &db) {
    if (db.findHead() != 1 || db.getRec(0) != 1) return "<none>";
    return db.getField(0);
  }
};

TEST_F(RecordsTest, SelectionFollowsOpensRemovalsAndANewIndexFile) {
  {
    ISAM made;
    ASSERT_TRUE(make_people(made, rows_));
    EXPECT_EQ(first(made), "Dan");  // the index made last is selected
  }
  ISAM db(path("people").c_str(), 0);
  const struct {
    const char *step;
    std::function<int(ISAM &)> call;
    std::string first;  // of the index selected afterwards
    int indexes;
  } steps[] = {
      {"open selects the first other than Physical Index",
       [](ISAM &) { return 1; }, "Bob", 4},
      {"select in other capitals",
       [](ISAM &o) { return o.selectIndex("BY NAME"); }, "Alice", 4},
      {"a rebuilt index file keeps the indexes and the selected one",
       [](ISAM &o) { return o.rebuildIndexFile(0); }, "Alice", 4},
      {"removing another keeps the selected",
       [](ISAM &o) { return o.removeIndex("by age"); }, "Alice", 3},
      {"removing the selected, in other capitals, selects the first left",
       [](ISAM &o) { return o.removeIndex("BY name"); }, "Dan", 2},
      {"an index made is selected",
       [](ISAM &o) {
         const char *const specs[] = {"age,I", nullptr};
         return o.index("Age", specs);
       },
       "Bob", 3},
      {"a new index file leaves Physical Index",
       [](ISAM &o) { return o.reindex(0, 1); }, "Carol", 1},
      {"an index made again",
       [](ISAM &o) {
         const char *const specs[] = {"name", nullptr};
         return o.index("names", specs);
       },
       "Alice", 2},
      {"removing the only other leaves Physical Index",
       [](ISAM &o) { return o.removeIndex("names"); }, "Carol", 1},
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.step);
    ASSERT_EQ(s.call(db), 1) << last_error(db);
    EXPECT_EQ(first(db), s.first);
    EXPECT_EQ(db.getIndexCount(), s.indexes);
  }
  // Physical Index, selected, refuses walking backwards.
  EXPECT_EQ(db.findTail(), -1);
  EXPECT_EQ(last_error(db), 6);
  // A failed removal changes nothing.
  EXPECT_EQ(db.removeIndex("nope"), -1);
  EXPECT_EQ(last_error(db), 8);
  EXPECT_EQ(db.getIndexCount(), 1);
  EXPECT_STREQ(db.getIndexNameList()[0], "Physical Index");
  EXPECT_EQ(db.getIndexNameList()[1], nullptr);
}

TEST_F(RecordsTest, KeyPartsFollowTheirGrowingBuffers) {
  ISAM db;
  ASSERT_TRUE(make_people(db, rows_));
  ASSERT_EQ(db.selectIndex("by age"), 1);
  ASSERT_EQ(db.getKeyCount(), 2);
  // A name longer than its buffer, stored and then found by the key parts
  // (age, name).
  const std::string longer = "Bartholomew Alexander Smith";
  ASSERT_EQ(db.setField(0, longer.c_str()), 1);
  ASSERT_EQ(db.setField(1, short{25}), 1);
  ASSERT_EQ(db.setField(2, "Lyon"), 1);
  ASSERT_EQ(db.addRec(), 1);
  ASSERT_EQ(db.setFieldClear(1), 1);  // texts back to one byte each
  ASSERT_EQ(db.setField(1, short{25}), 1);
  ASSERT_EQ(db.setField(0, longer.c_str()), 1);
  EXPECT_EQ(db.findKey(), 2);
  EXPECT_EQ(db.matchKey(), 1);
  // getRec grows the buffers it reads into; the key then is the record's.
  ASSERT_EQ(db.setFieldClear(1), 1);
  ASSERT_EQ(db.getRec(0), 1);
  EXPECT_EQ(db.getField(0), longer);
  EXPECT_EQ(db.getFieldLength(0), static_cast<int>(longer.size()) + 1);
  EXPECT_EQ(db.findHead(), 1);  // Bob, 25 comes before it
  EXPECT_EQ(db.findKey(), 2);
  EXPECT_EQ(db.matchKey(), 1);
  ASSERT_EQ(db.getRec(0), 1);
  EXPECT_EQ(db.getField(2), std::string("Lyon"));
  EXPECT_EQ(db.getRecLen(), static_cast<int>(longer.size() + 1 + 2 + 5));
}

// getRec(1) holds a lock on the record until the object's next find, walk,
// add, modify or delete; lockRec's lock is the caller's. A second process
// tells whether a record can be locked.
TEST_F(RecordsTest, GetRecHoldsItsLockUntilTheNextMove) {
  {
    ISAM made;
    ASSERT_TRUE(make_people(made, rows_));
  }
  ASSERT_EQ(ISAM::exit(), 1);               // the prober starts from nothing
  Prober other(path("people"), "by name");  // Alice, Bob, Carol, Dan
  ISAM db(path("people").c_str(), 1);
  ASSERT_EQ(db.selectIndex("by name"), 1);
  int id = 0;
  const struct {
    const char *step;
    std::function<int(ISAM &)> call;
    int result;
    int probe;     // record the other process tries
    int lockable;  // its answer: 1 or -4
  } steps[] = {
      {"getRec(0) never locks",
       [](ISAM &o) {
         o.findHead();
         return o.getRec(0);
       },
       1, 0, 1},
      {"getRec(1) locks", [](ISAM &o) { return o.getRec(1); }, 1, 0, -4},
      {"getRec(1) again", [](ISAM &o) { return o.getRec(1); }, 1, 0, -4},
      {"the next walk releases the one lock",
       [](ISAM &o) { return o.findNext(); }, 1, 0, 1},
      {"getRec(1) on Bob", [](ISAM &o) { return o.getRec(1); }, 1, 1, -4},
      {"a find releases it", [](ISAM &o) { return o.findHead(); }, 1, 1, 1},
      {"lockRec takes Alice", [&](ISAM &o) { return o.lockRec(id); }, 1, 0, -4},
      {"a walk keeps lockRec's lock", [](ISAM &o) { return o.findNext(); }, 1,
       0, -4},
      {"unlockRec releases it", [&](ISAM &o) { return o.unlockRec(id); }, 1, 0,
       1},
      {"getRec(1) on Bob", [](ISAM &o) { return o.getRec(1); }, 1, 1, -4},
      {"delRec releases it", [](ISAM &o) { return o.delRec(); }, 1, 1, 1},
      {"and holds no lock: getRec(1) locks Carol",
       [](ISAM &o) { return o.getRec(1); }, 1, 1, -4},
      {"modRec releases it", [](ISAM &o) { return o.modRec(); }, 1, 1, 1},
      {"getRec(1) on Carol",
       [](ISAM &o) {
         o.findHead();
         o.findNext();
         return o.getRec(1);
       },
       1, 1, -4},
      {"addRec releases it",
       [](ISAM &o) {
         o.setField(2, "Bergen");
         return o.addRec();
       },
       1, 1, 1},
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.step);
    EXPECT_EQ(s.call(db), s.result) << last_error(db);
    EXPECT_EQ(other.can_lock(s.probe), s.lockable);
  }
  // The other way round: a record the other process holds is -4 to
  // getRec(1), with no error recorded and no handler called.
  ASSERT_EQ(other.hold(0), 1);
  ASSERT_EQ(db.findHead(), 1);
  handler_calls = 0;
  EXPECT_EQ(db.getRec(1), -4);
  EXPECT_EQ(last_error(db), 0);
  EXPECT_EQ(handler_calls, 0);
  EXPECT_EQ(db.lockRec(id), -4);
  EXPECT_EQ(handler_calls, 0);
}

}  // namespace
}  // namespace recbase::test
