// Whole-database utilities through the exported calls: a copy is the
// header and the record slots back to back in the chosen index's order,
// with indexes that walk like the source's; a progress routine that uses
// the library itself; renaming and destroying, and their refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/isam/mgmt_support.h"
#include "tests/support/fault_injection.h"

namespace recbase::test {
namespace {

// The progress routine of the tests: counts, and with a database name set
// opens that database, reads its first record and closes it again.
struct Progress {
  std::vector<int32_t> counts;
  std::string other;
  std::vector<std::string> read;
};
Progress g_progress;
void RBCALL on_progress(int32_t n) {
  g_progress.counts.push_back(n);
  if (g_progress.other.empty()) return;
  IsamDb *o = iopen_db(g_progress.other.c_str());
  if (o == nullptr) return;
  char buffer[256];
  char *f[4];
  if (ifindhead(o, ihandle(o, iphysical)) == 1 &&
      igetrec(o, ihandle(o, iphysical), f, buffer, sizeof buffer) == 1) {
    g_progress.read.push_back(f[0]);
  }
  iclose_db(o);
}

class UtilitiesTest : public MgmtTest {
 protected:
  void SetUp() override {
    // Durability is not under test; the many opens and closes of the
    // progress routine would spend their time in the OS flush.
    cb_set_flush(1, 1);
    g_progress = Progress{};
    IsamDb *db = create("src", fields());
    ASSERT_NE(db, nullptr);
    people_ = fill(db, 150, 7);
    for (const auto &[name, specs] :
         {std::pair<const char *, Strings>{"byName", {"name"}},
          {"byId,U", {"id,L"}},
          {"byCity", {"city,C", "id,L"}}}) {
      ASSERT_EQ(imkindex(db, name, Record(specs).get()), 1);
    }
    data_start_ = db->data_start;
    for (const char *ix : {"byName", "byId,U", "byCity", iphysical}) {
      walks_.push_back(walk(db, ix));
    }
    ASSERT_EQ(iclose_db(db), 1);
  }
  ~UtilitiesTest() override {
    iprogress(nullptr);
    cb_set_flush(1, 0);
  }
  std::string db(const std::string &name) const { return path(name) + ".db"; }

  // The slots of people in their order: length word and values.
  static std::string slots(const People &v) {
    std::string out;
    for (const Person &p : v) {
      const std::string values = p.name + '\0' + stored(p.id) + p.city + '\0';
      out += stored(static_cast<int16_t>(values.size())) + values;
    }
    return out;
  }
  std::string file(const std::string &name) {
    const std::vector<uint8_t> f = read_file(name);
    return std::string(f.begin(), f.end());
  }

  People people_;
  int32_t data_start_ = 0;
  std::vector<People> walks_;  // byName, byId,U, byCity, physical
};

TEST_F(UtilitiesTest, CopyHoldsSlotsInIndexOrderAndIndexesWalkLikeTheSource) {
  iprogress(on_progress);
  ASSERT_EQ(icopy_db(path("src").c_str(), path("dst").c_str(), "byCity", 0), 1)
      << isam_errno;
  EXPECT_EQ(isam_errno, 0);
  std::vector<int32_t> expected;
  for (size_t i = 1; i <= people_.size(); ++i) {
    expected.push_back(static_cast<int32_t>(i));
  }
  EXPECT_EQ(g_progress.counts, expected);
  const std::string header = file(db("src")).substr(0, data_start_);
  const std::string copied = file(db("dst"));
  EXPECT_EQ(copied, header + slots(walks_[2]));
  EXPECT_LT(copied.size(), file(db("src")).size());
  EXPECT_EQ(cbblksize((path("dst") + ".idx").c_str()), 512);

  IsamDb *dst = iopen_db(path("dst").c_str());
  ASSERT_NE(dst, nullptr);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(names(dst), (Strings{iphysical, "byName", "byId,U", "byCity"}));
  const People by_names = walk(dst, "byName");
  EXPECT_EQ(folded_names(by_names), folded_names(walks_[0]));
  EXPECT_EQ(by_id(by_names), by_id(people_));
  EXPECT_EQ(walk(dst, "byId,U"), walks_[1]);
  EXPECT_EQ(walk(dst, "byCity"), walks_[2]);
  EXPECT_EQ(walk(dst, iphysical), walks_[2]);
  ASSERT_EQ(iclose_db(dst), 1);

  // No index named: the source's file order; another block size; and the
  // shared copy gives the same file.
  ASSERT_EQ(icopy_db(path("src").c_str(), path("dst").c_str(), nullptr, 256),
            1);
  EXPECT_EQ(file(db("dst")), header + slots(walks_[3]));
  EXPECT_EQ(cbblksize((path("dst") + ".idx").c_str()), 256);
  ASSERT_EQ(
      icopy_db_shared(path("src").c_str(), path("cp").c_str(), nullptr, 0), 1)
      << isam_errno;
  EXPECT_EQ(file(db("cp")), file(db("dst")));

  // A source without its index file is copied in file order whatever index
  // is asked for, into a database with "Physical Index" alone.
  ASSERT_EQ(std::remove((path("src") + ".idx").c_str()), 0);
  ASSERT_EQ(icopy_db(path("src").c_str(), path("cp").c_str(), "byName", 0), 1)
      << isam_errno;
  EXPECT_EQ(file(db("cp")), header + slots(walks_[3]));
  IsamDb *cp = iopen_db(path("cp").c_str());
  ASSERT_NE(cp, nullptr);
  EXPECT_EQ(names(cp), Strings{iphysical});
}

TEST_F(UtilitiesTest, ProgressRoutineMayOpenAndReadAnotherDatabase) {
  IsamDb *other = create("other", fields());
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(add(other, {"Zed", 99, "Rome"}), 1);
  ASSERT_EQ(iclose_db(other), 1);
  g_progress.other = path("other");
  iprogress(on_progress);

  ASSERT_EQ(icopy_db(path("src").c_str(), path("dst").c_str(), "byId,U", 0), 1)
      << isam_errno;
  EXPECT_EQ(g_progress.read, Strings(people_.size(), "Zed"));
  IsamDb *dst = iopen_db(path("dst").c_str());
  ASSERT_NE(dst, nullptr);
  EXPECT_EQ(walk(dst, iphysical), walks_[1]);

  g_progress.read.clear();
  ASSERT_EQ(irmindex(dst, "byName"), 1) << isam_errno;
  const char *spec[] = {"name", nullptr};
  ASSERT_EQ(imkindex(dst, "byName", spec), 1) << isam_errno;
  EXPECT_EQ(g_progress.read, Strings(2 * people_.size(), "Zed"));
  EXPECT_EQ(folded_names(walk(dst, "byName")), folded_names(walks_[0]));
}

TEST_F(UtilitiesTest, RenameDestroyAndCopyRefuseWhatTheyCannotDo) {
  const std::string src = path("src"), other = path("other");
  ASSERT_EQ(icopy_db(src.c_str(), other.c_str(), nullptr, 0), 1);
  const std::string bad(300, 'a');
  IsamDb *open = iopen_db(src.c_str());
  ASSERT_NE(open, nullptr);
  auto files = [&] {
    Strings out;
    for (const char *name : {"src", "other", "new", "x"}) {
      for (const char *ext : {".db", ".idx"}) {
        const std::string f = path(name) + ext;
        out.push_back(file_exists(f) ? f + ":" + file(f) : f + " missing");
      }
    }
    return out;
  };
  struct Case {
    const char *what;
    std::function<int32_t()> call;
    int32_t error;
  };
  const char *x = "x";
  const std::vector<Case> cases = {
      {"rename open", [&] { return irename_db(src.c_str(), x); }, 3},
      {"rename onto open",
       [&] { return irename_db(other.c_str(), src.c_str()); }, 3},
      {"destroy open", [&] { return idestroy_db(src.c_str()); }, 3},
      {"copy onto itself",
       [&] { return icopy_db(src.c_str(), (src + ".xyz").c_str(), 0, 0); }, 19},
      {"copy onto open",
       [&] { return icopy_db(other.c_str(), src.c_str(), nullptr, 0); }, 3},
      {"copy bad name", [&] { return icopy_db(bad.c_str(), x, nullptr, 0); },
       16},
      {"rename bad name",
       [&] { return irename_db(other.c_str(), bad.c_str()); }, 16},
      {"destroy bad name", [&] { return idestroy_db(bad.c_str()); }, 16},
      {"copy unknown index",
       [&] { return icopy_db(other.c_str(), path("new").c_str(), "no", 0); },
       8},
      {"rename onto existing",
       [&] {
         iclose_db(open);
         return irename_db(other.c_str(), src.c_str());
       },
       15},
      {"rename, second file fails",
       [&] {
         FaultInjector faults;
         faults.fail_io_at(2, EIO, false, "rename");
         return irename_db(other.c_str(), path("new").c_str());
       },
       15},
      {"destroy of no files", [&] { return idestroy_db(path("x").c_str()); },
       10},
  };
  const Strings before = files();
  for (const Case &c : cases) {
    EXPECT_EQ(c.call(), -1) << c.what;
    EXPECT_EQ(isam_errno, c.error) << c.what;
    EXPECT_EQ(files(), before) << c.what;
  }

  // Without its index file a database cannot be renamed.
  ASSERT_EQ(std::remove((other + ".idx").c_str()), 0);
  EXPECT_EQ(irename_db(other.c_str(), x), -1);
  EXPECT_EQ(isam_errno, 15);
  EXPECT_TRUE(file_exists(other + ".db"));

  ASSERT_EQ(irename_db(src.c_str(), path("new").c_str()), 1);
  EXPECT_FALSE(file_exists(db("src")) || file_exists(src + ".idx"));
  IsamDb *moved = iopen_db(path("new").c_str());
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(walk(moved, "byId,U"), walks_[1]);
  ASSERT_EQ(iclose_db(moved), 1);
  ASSERT_EQ(idestroy_db(path("new").c_str()), 1);
  EXPECT_FALSE(file_exists(db("new")) || file_exists(path("new") + ".idx"));
}

}  // namespace
}  // namespace recbase::test
