// Record and database locks of shared databases: locks held against another
// process, lock ids and their reuse, covered positions locked once, locks
// following a record that moves, and the database locks' own rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <new>
#include <string>

#include "frame/alloc.h"
#include "frame/platform.h"
#include "tests/isam/isam_support.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

class LocksTest : public IsamTest {
 protected:
  ~LocksTest() override { isam::g_record_lock_settings = LockSettings{}; }
  // The database t: name, id (L), a unique index on id and records 1..3,
  // closed; the library is left not set up.
  void make_database() {
    IsamDb *db = create_with("t", {"name", "id,L"}, {{"byId,U", {"id,L"}, 1}});
    ASSERT_NE(db, nullptr);
    for (int32_t id = 1; id <= 3; ++id) {
      const std::string v = stored(id);
      const char *f[] = {"someone", v.data(), nullptr};
      ASSERT_EQ(iaddrec(db, nullptr, const_cast<char **>(f)), 1);
    }
    ASSERT_EQ(isamexit(), 1);
  }
  IsamDb *open_shared() { return iopen_db_shared(path("t").c_str(), 1, 0); }
  static int32_t find(IsamDb *db, IsamIndex *ix, int32_t id) {
    const std::string v = stored(id);
    char *values[] = {const_cast<char *>(v.data()), nullptr};
    return ifindkey(db, ix, values);
  }
  // 1 when another open file description of t.db can lock the length word
  // at position (the lock is released again), else 0.
  int32_t lockable(int32_t position) {
    const int32_t h = sys_open(path("t.db").c_str(), 1, 1);
    EXPECT_NE(h, -1);
    const int32_t r = sys_lock(h, position, 2, 1, 0, 0);
    if (r == 1) sys_unlock(h, position, 2);
    sys_close(h);
    return r == 1 ? 1 : 0;
  }
};

// A child process that opens the database args[0] shared once the parent
// holds its locks, and tries to lock each record with a short time-out. Bit
// id of the result: refused at once as held by another process; bit id + 4:
// locked (with id 1) and released.
int child_lock_records(const std::vector<std::string> &args) {
  char go = 0;
  if (!parent_receive(&go, 1)) return 99;
  IsamDb *db = iopen_db_shared(args[0].c_str(), 1, 0);
  IsamIndex *ix = db != nullptr ? ihandle(db, "byId,U") : nullptr;
  if (ix == nullptr) return 100;
  ilock_timeout(2, 5, 50);
  int code = 0;
  for (int32_t id = 1; id <= 3; ++id) {
    const std::string v = stored(id);
    char *values[] = {const_cast<char *>(v.data()), nullptr};
    if (ifindkey(db, ix, values) != 2) return 101;
    int32_t lock = -1;
    const auto start = std::chrono::steady_clock::now();
    const int32_t r = ilock_rec(db, ix, &lock);
    const bool quick =
        std::chrono::steady_clock::now() - start < std::chrono::seconds(2);
    if (r == -4 && isam_errno == ISERR_LOCK_REC && quick) code |= 1 << id;
    if (r == 1 && lock == 1 && iunlock_rec(db, lock) == 1) code |= 16 << id;
  }
  return code;
}
const ChildRole kLockRecords("lock-records", child_lock_records);

TEST_F(LocksTest, RecordLocksHoldAgainstAnotherProcess) {
  make_database();
  Child child("lock-records", {path("t")});
  IsamDb *db = open_shared();
  ASSERT_NE(db, nullptr);
  IsamIndex *ix = ihandle(db, "byId,U");
  IsamIndex *physical = ihandle(db, iphysical);
  int32_t id = 0;
  // Ids: 1 for the first lock, 2 beside it, 1 again once it is free.
  ASSERT_EQ(find(db, ix, 1), 2);
  ASSERT_EQ(ilock_rec(db, ix, &id), 1);
  EXPECT_EQ(id, 1);
  ASSERT_EQ(find(db, ix, 2), 2);
  ASSERT_EQ(ilock_rec(db, ix, &id), 1);
  EXPECT_EQ(id, 2);
  ASSERT_EQ(iunlock_rec(db, 1), 1);
  EXPECT_EQ(iunlock_rec(db, 1), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_LOCKS);
  ASSERT_EQ(find(db, ix, 1), 2);
  ASSERT_EQ(ilock_rec(db, ix, &id), 1);
  EXPECT_EQ(id, 1);
  // Record 1 is also the physical index's current record: covered three
  // times, locked once, and locked until the last holder lets go.
  ASSERT_EQ(ifindhead(db, physical), 1);
  const int32_t first = db->physical_position;
  ASSERT_EQ(ilock_rec(db, physical, &id), 1);
  EXPECT_EQ(id, 3);
  ASSERT_EQ(iunlock_rec(db, 3), 1);
  ASSERT_EQ(iunlock_rec(db, 1), 1);
  EXPECT_EQ(lockable(first), 0);
  ASSERT_TRUE(child.send("g", 1));
  EXPECT_EQ(child.wait(), (1 << 1) | (1 << 2) | (16 << 3));
  ASSERT_EQ(ifindnext(db, physical), 1);
  EXPECT_EQ(lockable(first), 1);

  // Record 2, locked as id 2, grows and moves: its lock goes with it.
  ASSERT_EQ(find(db, ix, 2), 2);
  const int32_t old_position = db->record_locks->position;
  EXPECT_EQ(lockable(old_position), 0);
  const std::string v = stored(int32_t{2});
  const std::string longer(100, 'x');
  const char *f[] = {longer.c_str(), v.data(), nullptr};
  ASSERT_EQ(imodrec(db, ix, const_cast<char **>(f)), 1) << isam_errno;
  const int32_t new_position = db->record_locks->position;
  EXPECT_NE(new_position, old_position);
  EXPECT_EQ(lockable(old_position), 1);
  EXPECT_EQ(lockable(new_position), 0);
  ASSERT_EQ(iunlock_rec(db, 2), 1);
  EXPECT_EQ(lockable(new_position), 1);
}

TEST_F(LocksTest, LockIdsWrapAndDatabaseLocksCountOnce) {
  make_database();
  IsamDb *db = open_shared();
  ASSERT_NE(db, nullptr);
  IsamIndex *ix = ihandle(db, "byId,U");
  int32_t id = 0;
  EXPECT_EQ(ilock_rec(db, ix, &id), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_CURRENT);
  ASSERT_EQ(find(db, ix, 3), 2);
  ASSERT_EQ(ilock_rec(db, ix, &id), 1);
  ASSERT_EQ(ilock_rec(db, ix, &id), 1);
  ASSERT_EQ(id, 2);
  // Ids past 2147483646 start again from the smallest free one above 1,
  // up to 255; with all of those taken there is none.
  db->record_locks->id = 2147483646;
  ASSERT_EQ(ilock_rec(db, ix, &id), 1);
  EXPECT_EQ(id, 2);
  for (int32_t n = 3; n <= 255; ++n) {
    auto *e = new (rb_malloc(sizeof(isam::LockEntry))) isam::LockEntry;
    *e = isam::LockEntry{db->record_locks, n, db->record_locks->position};
    db->record_locks = e;
  }
  EXPECT_EQ(ilock_rec(db, ix, &id), -1);
  EXPECT_EQ(isam_errno, ISERR_TOO_MANY_LOCKS);
  EXPECT_EQ(lockable(db->lock_position), 0);

  struct Case {
    int32_t(RBCALL *call)(IsamDb *, int32_t);
    int32_t mode, result, error;
  };
  const Case cases[] = {
      {ilock_all, 1, 1, 0},
      {ilock_all, 1, -1, ISERR_DB_LOCKED},
      {ilock_all, 2, 1, 0},
      {iunlock_all, 1, 1, 0},
      {iunlock_all, 1, 1, 0},
      {iunlock_all, 2, 1, 0},
      {ilock_all, 2, 1, 0},  // the whole region, then a reader inside it
      {ilock_all, 1, 1, 0},
      {iunlock_all, 2, 1, 0},
      {iunlock_all, 1, 1, 0},
      {ilock_all, 3, -1, ISERR_LOCK_REC},
      {iunlock_all, 3, -1, ISERR_UNLOCK_REC},
  };
  for (const Case &c : cases) {
    isam_errno = 0;
    EXPECT_EQ(c.call(db, c.mode), c.result);
    EXPECT_EQ(isam_errno, c.error);
  }
  EXPECT_EQ(db->lock_state, 0u);
  ASSERT_EQ(iclose_db(db), 1);

  // Without sharing every lock call succeeds and hands out no id.
  db = iopen_db(path("t").c_str());
  ix = ihandle(db, "byId,U");
  ASSERT_EQ(find(db, ix, 1), 2);
  id = 77;
  EXPECT_EQ(ilock_rec(db, ix, &id), 1);
  EXPECT_EQ(id, 77);
  EXPECT_EQ(iunlock_rec(db, 5), 1);
  EXPECT_EQ(ilock_all(db, 2), 1);
  EXPECT_EQ(iunlock_all(db, 7), 1);
}

}  // namespace
}  // namespace recbase::test
