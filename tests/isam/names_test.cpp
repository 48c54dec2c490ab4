// Database names to file names: full paths from the current directory, the
// extension rule, the length limit, and finding open databases by name.
#include "isam/names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

class NamesTest : public IsamTest {};

std::string built(const std::string &name, const char *ext) {
  char out[isam::kPathBufferSize];
  return isam::build_path(name.c_str(), ext, out) == kIsOk ? out : "<16>";
}

TEST_F(NamesTest, ExtensionsAreAppendedOrReplaceTheLastOne) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string here = cwd;
  const std::string up = here.substr(0, here.rfind('/'));
  const struct {
    std::string name, data;
  } cases[] = {
      {"cust", here + "/cust.db"},
      {"cust.db", here + "/cust.db"},
      {"cust.xyz", here + "/cust.db"},
      {"dir.old/cust", here + "/dir.old/cust.db"},
      {"dir.old/cust.x.y", here + "/dir.old/cust.x.db"},
      {"./a//b/../cust", here + "/a/cust.db"},
      {"../cust", up + "/cust.db"},
      {"/d/a.b:c", "/d/a.b:c.db"},
      {"/d/a.b\\c", "/d/a.b\\c.db"},
      {"/d/.hidden", "/d/.db"},
      {"/..", "/.db"},
      {"", "<16>"},
      {"/" + std::string(255, 'a'), "/" + std::string(255, 'a') + ".db"},
      {"/" + std::string(256, 'a'), "<16>"},
      {std::string(300, 'a'), "<16>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(built(c.name, isam::kDataExtension), c.data);
  }
  EXPECT_EQ(built("cust.xyz", isam::kIndexExtension), here + "/cust.idx");
  // 256 characters leave room for ".db" but not for ".idx".
  EXPECT_EQ(built("/" + std::string(255, 'a'), isam::kIndexExtension), "<16>");
  EXPECT_EQ(
      icreate_db(("/" + std::string(255, 'a')).c_str(), 0, Record({"f"}).get()),
      nullptr);
  EXPECT_EQ(isam_errno, ISERR_BAD_FILE_NAME);
}

TEST_F(NamesTest, AnOpenDatabaseIsFoundUnderEverySpellingOfItsPath) {
  ASSERT_EQ(mkdir(path("dir.old").c_str(), 0700), 0);
  IsamDb *db = create("dir.old/cust", {"name"});
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(file_exists(path("dir.old/cust.db")));
  EXPECT_TRUE(file_exists(path("dir.old/cust.idx")));
  EXPECT_STREQ(igetfilename(db), path("dir.old/cust.db").c_str());
  for (const char *spelling : {"dir.old/cust", "dir.old/cust.db",
                               "dir.old/cust.xyz", "dir.old/../dir.old/cust"}) {
    SCOPED_TRACE(spelling);
    isam_errno = 99;
    EXPECT_EQ(idbhandle(path(spelling).c_str()), db);
    EXPECT_EQ(isam_errno, 99);  // left alone when it does not fail
    EXPECT_EQ(iopen_db(path(spelling).c_str()), nullptr);
    EXPECT_EQ(isam_errno, ISERR_DB_IN_USE);
  }
  // The comparison is exact: another case is another file here.
  EXPECT_EQ(idbhandle(path("dir.old/CUST").c_str()), nullptr);
  EXPECT_EQ(create("dir.old/cust", {"other"}), nullptr);
  EXPECT_EQ(isam_errno, ISERR_DB_IN_USE);
  EXPECT_EQ(idbhandle(""), nullptr);
  EXPECT_EQ(isam_errno, ISERR_BAD_FILE_NAME);
}

}  // namespace
}  // namespace recbase::test
