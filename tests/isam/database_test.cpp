// Creating, opening and closing databases: the files a create leaves, share
// modes between processes, the header lock of a shared open, the locks a
// close releases, and every failing platform call or allocation of an open
// and close.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "frame/alloc.h"
#include "tests/isam/isam_support.h"
#include "tests/support/fault_injection.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

class DatabaseTest : public IsamTest {
 protected:
  ~DatabaseTest() override {
    isam::g_record_lock_settings = LockSettings{};
    g_lock_settings = LockSettings{};
  }
  std::string name() const { return path("t"); }
};

TEST_F(DatabaseTest, CreateReplacesBothFilesWithAnEmptyDatabase) {
  write_file(path("t.db"), std::vector<uint8_t>(100, 1));
  write_file(path("t.idx"), std::vector<uint8_t>(100, 1));
  IsamDb *db = create("t", {"a", "b,L"});
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(db->index_count, 1);
  EXPECT_EQ(db->lock_state, isam::kExclusiveLocks);
  EXPECT_EQ(read_file(path("t.db")).size(), 4u + 2 + 4);
  ASSERT_EQ(iclose_db(db), 1);
  // The index file holds one key: the descriptor of "Physical Index".
  CbTree *t = cbopen(path("t.idx").c_str(), isam::key_compare);
  ASSERT_NE(t, nullptr);
  int32_t item = -1, len = 0;
  uint8_t key[32];
  ASSERT_EQ(cbhead(t, &item), 1);
  EXPECT_EQ(item, 0);
  ASSERT_EQ(cbkeylen(t, &len), 1);
  ASSERT_EQ(cbkey(t, key, sizeof key), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(key), len),
            std::string("\0Physical Index\0", 16));
  EXPECT_EQ(cbnext(t, &item), -3);
  ASSERT_EQ(cbclose(t), 1);
  // A flush writes the index file even with no index of its own.
  db = iopen_db(name().c_str());
  ASSERT_NE(db, nullptr);
  const uint8_t mark[] = {254, 0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(cbinsert(db->free_tree, mark, sizeof mark, 7, 0), 1);
  ASSERT_EQ(iflush_db(db), 1);
  const std::vector<uint8_t> disk = read_file(path("t.idx"));
  EXPECT_NE(std::search(disk.begin(), disk.end(), mark, mark + 5), disk.end());

  EXPECT_EQ(create("big", {"a"}, 1024), nullptr);
  EXPECT_EQ(isam_errno, ISERR_BLOCK_TOO_BIG);
  EXPECT_FALSE(file_exists(path("big.db")));
  EXPECT_FALSE(file_exists(path("big.idx")));
  EXPECT_EQ(iopen_db(path("none").c_str()), nullptr);
  EXPECT_EQ(isam_errno, ISERR_NOT_FOUND);
  const char *const no_fields[] = {nullptr};
  EXPECT_EQ(icreate_db(nullptr, 0, no_fields), nullptr);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);
  EXPECT_EQ(icreate_db(name().c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);
  EXPECT_EQ(iopen_db(nullptr), nullptr);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);
  EXPECT_EQ(idbhandle(nullptr), nullptr);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);
}

// A child process that opens the database args[0] with the flags args[1]
// (shared) and args[2] (read-only) once the parent says so; 0 when it could
// (and read the header), else isam_errno.
int child_open(const std::vector<std::string> &args) {
  char go = 0;
  if (!parent_receive(&go, 1)) return 100;
  IsamDb *db = iopen_db_shared(args[0].c_str(), std::stoi(args[1]),
                               std::stoi(args[2]));
  return db != nullptr && igetfldcount(db) == 1 ? 0 : isam_errno;
}
const ChildRole kOpen("open", child_open);

TEST_F(DatabaseTest, ShareModesHoldBetweenProcesses) {
  ASSERT_NE(create("t", {"a"}), nullptr);
  const struct {
    int32_t parent_shared, child_shared, child_read_only, child_result;
  } cases[] = {
      {0, 1, 0, ISERR_NOT_FOUND},
      {0, 0, 1, ISERR_NOT_FOUND},
      {1, 1, 1, 0},
      {1, 0, 0, ISERR_NOT_FOUND},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.parent_shared << c.child_shared << c.child_read_only);
    ASSERT_EQ(isamexit(), 1);
    Child child("open", {name(), std::to_string(c.child_shared),
                         std::to_string(c.child_read_only)});
    ASSERT_NE(iopen_db_shared(name().c_str(), c.parent_shared, 0), nullptr);
    ASSERT_TRUE(child.send("g", 1));
    EXPECT_EQ(child.wait(), c.child_result);
  }
}

TEST_F(DatabaseTest, SharedOpensLockTheHeaderAndClosesReleaseRecordLocks) {
  ASSERT_EQ(iclose_db(create("t", {"a"})), 1);
  const int32_t other = sys_open(path("t.db").c_str(), 1, 1);
  ASSERT_NE(other, -1);
  isam::g_record_lock_settings = LockSettings{1, 0, 0};
  ASSERT_EQ(sys_lock(other, 3, 1, 1, 0, 0), 1);
  EXPECT_EQ(iopen_db_shared(name().c_str(), 1, 0), nullptr);
  EXPECT_EQ(isam_errno, ISERR_LOCK_REC);
  EXPECT_EQ(isam::g_open_dbs, nullptr);
  ASSERT_EQ(sys_unlock(other, 3, 1), 1);
  {
    // The B-tree layer cannot lock the index file: no open either, and its
    // codes tell why.
    cblock_timeout(1, 0, 0);
    FaultInjector faults;
    faults.fail_io_at(2, EIO, true, "lock");
    EXPECT_EQ(iopen_db_shared(name().c_str(), 1, 0), nullptr);
    EXPECT_EQ(isam_errno, ISERR_LOCK_REC);
    EXPECT_EQ(cberrcode, CBERR_LOCK);
    EXPECT_EQ(isam::g_open_dbs, nullptr);
  }

  IsamDb *db = iopen_db_shared(name().c_str(), 1, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->lock_state, 0u);
  // Record locks as the lock calls leave them: the first at lock_position,
  // later ones in the list, one position held twice.
  for (int32_t p : {10, 20}) {
    ASSERT_EQ(sys_lock(db->data_handle, p, 2, 1, 0, 0), 1);
  }
  db->lock_position = 10;
  for (int32_t p : {20, 10}) {
    auto *e =
        static_cast<isam::LockEntry *>(rb_malloc(sizeof(isam::LockEntry)));
    *e = isam::LockEntry{db->record_locks, p / 10 + 1, p};
    db->record_locks = e;
  }
  EXPECT_EQ(sys_lock(other, 10, 2, 1, 0, 0), -1);
  {
    // Each position is unlocked once; a failure is reported, and the
    // database released all the same.
    FaultInjector faults;
    faults.fail_io_at(1, EIO, false, "unlock");
    EXPECT_EQ(iclose_db(db), -1);
    EXPECT_EQ(isam_errno, ISERR_UNLOCK_REC);
    EXPECT_EQ(faults.io_calls(), 2);
  }
  EXPECT_EQ(isam::g_open_dbs, nullptr);
  EXPECT_EQ(sys_lock(other, 10, 2, 1, 0, 0), 1);
  EXPECT_EQ(sys_lock(other, 20, 2, 1, 0, 0), 1);
  sys_close(other);
}

// Each operation runs with call (or allocation) n failing, for n = 1, 2,
// ... until it no longer reaches call n; then nothing may stay open, and the
// operation must work again.
TEST_F(DatabaseTest,
       EveryFailingCallOfCreateOpenAndCloseIsReportedAndReleased) {
  ASSERT_EQ(iclose_db(create_with("t", {"a", "b,L"},
                                  {{"x", {"a"}, 1}, {"y", {"b,L", "a:1"}, 2}})),
            1);
  const struct {
    std::function<IsamDb *()> run;
    int32_t indexes;
  } ops[] = {{[&] { return iopen_db_shared(name().c_str(), 1, 0); }, 3},
             {[&] {
                return create("c", {"a", "b,B4"});
              },
              1}};
  const std::set<int32_t> failed = {5, 7, 9, 10, 26, 27};
  const std::set<int32_t> opened = {0, 5, 9, 12};
  for (const auto &op : ops) {
    for (bool alloc : {false, true}) {
      for (int64_t n = 1;; ++n) {
        SCOPED_TRACE(testing::Message()
                     << op.indexes << (alloc ? " allocation " : " call ") << n);
        bool fired = false;
        {
          FaultInjector faults;
          alloc ? faults.fail_alloc_at(n) : faults.fail_io_at(n);
          IsamDb *db = op.run();
          EXPECT_EQ((db == nullptr ? failed : opened).count(isam_errno), 1u)
              << isam_errno;
          if (isam_errno == ISERR_CBT) {
            EXPECT_NE(cberrcode, 0);  // the B-tree cause is kept
          }
          if (db != nullptr) iclose_db(db);
          fired = alloc ? faults.alloc_fired() : faults.io_fired();
        }
        EXPECT_EQ(isam::g_open_dbs, nullptr);
        IsamDb *db = op.run();
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(isam_errno, 0);
        EXPECT_EQ(db->index_count, op.indexes);
        ASSERT_EQ(iclose_db(db), 1);
        if (!fired) break;
      }
    }
  }
}

}  // namespace
}  // namespace recbase::test
