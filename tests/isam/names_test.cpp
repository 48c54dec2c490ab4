// Database names to file names: full paths from the current directory, the
// extension rule, the length limit, and finding open databases by name.
#include "isam/names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "frame/platform.h"
#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

class NamesTest : public IsamTest {};

std::string built(const std::string &name, const char *ext) {
  char out[isam::kPathBufferSize];
  return isam::build_path(name.c_str(), ext, out) == kIsOk ? out : "<16>";
}
// The system's full path of a name.
std::string full(const std::string &name) {
  char out[1024];
  return platform_full_path(name.c_str(), out, sizeof out) > 0 ? out : "<->";
}

// Full paths come from the current directory; the extension replaces what
// follows the last '.' of the last component, and is appended otherwise.
TEST_F(NamesTest, ExtensionsAreAppendedOrReplaceTheLastOne) {
  const std::filesystem::path here = std::filesystem::current_path();
  EXPECT_EQ(full("cust"), (here / "cust").string());
  EXPECT_EQ(full("./a//b/../cust"), (here / "a" / "cust").string());
  EXPECT_EQ(full("../cust"), (here.parent_path() / "cust").string());
  // A full path of 256 characters leaves room for ".db" but not for ".idx".
  const std::string root = full("/");
  const std::string longest = "/" + std::string(256 - root.size(), 'a');
  const struct {
    std::string name, data;
  } cases[] = {
      {"cust", full("cust") + ".db"},
      {"cust.db", full("cust") + ".db"},
      {"cust.xyz", full("cust") + ".db"},
      {"dir.old/cust", full("dir.old/cust") + ".db"},
      {"dir.old/cust.x.y", full("dir.old/cust.x") + ".db"},
      {"/d/a.b:c", full("/d/a.b:c") + ".db"},
      {"/d/a.b\\c", full("/d/a.b\\c") + ".db"},
      {"/d/.hidden", full("/d/") + ".db"},
      {"/..", root + ".db"},
      {"", "<16>"},
      {longest, full(longest) + ".db"},
      {longest + "a", "<16>"},
      {std::string(300, 'a'), "<16>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(built(c.name, isam::kDataExtension), c.data);
  }
  EXPECT_EQ(built("cust.xyz", isam::kIndexExtension), full("cust") + ".idx");
  EXPECT_EQ(built(longest, isam::kIndexExtension), "<16>");
  EXPECT_EQ(icreate_db(longest.c_str(), 0, Record({"f"}).get()), nullptr);
  EXPECT_EQ(isam_errno, ISERR_BAD_FILE_NAME);
}

TEST_F(NamesTest, AnOpenDatabaseIsFoundUnderEverySpellingOfItsPath) {
  ASSERT_TRUE(std::filesystem::create_directory(path("dir.old")));
  IsamDb *db = create("dir.old/cust", {"name"});
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(file_exists(path("dir.old/cust.db")));
  EXPECT_TRUE(file_exists(path("dir.old/cust.idx")));
  EXPECT_EQ(igetfilename(db), full(path("dir.old/cust.db")));
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
