// Indexes read from their descriptors: lookup by name, definitions read
// back, unique names, key field numbers, and index files that cannot be
// used.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

class IndexApiTest : public IsamTest {};

Strings desc_texts(IsamDb *db, IsamIndex *ix) {
  Strings texts;
  char **list = igetdesc(db, ix);
  for (int32_t k = 0; list != nullptr && list[k] != nullptr; ++k) {
    texts.push_back(list[k]);
  }
  return texts;
}

TEST_F(IndexApiTest, DefinitionsReadBackAsTheHeaderNamesTheFields) {
  IsamDb *db =
      create_with("t", {"lastname", "city,S", "zip,L"},
                  {{"byCity", {"LASTNAME", "city,S:0,2"}, 1},
                   {"code,U", {"ZIP,l", "city,s:3,40", "lastname:5"}, 2},
                   {"plain", {}, 3}});
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(isam_errno, 0);
  IsamIndex *by_city = ihandle(db, "BYCITY");
  ASSERT_NE(by_city, nullptr);
  EXPECT_EQ(ihandle(db, "bycity"), by_city);
  EXPECT_STREQ(iindexname(db, by_city), "byCity");
  EXPECT_EQ(desc_texts(db, by_city), (Strings{"lastname", "city,S:2"}));
  IsamIndex *code = ihandle(db, "Code,u");
  ASSERT_NE(code, nullptr);
  EXPECT_NE(code->unique, 0);
  EXPECT_EQ(by_city->unique, 0);
  EXPECT_EQ(desc_texts(db, code),
            (Strings{"zip,L", "city,S:3,40", "lastname:5"}));
  const int32_t nbr[] = {2, 1, 0}, start[] = {0, 3, 0}, len[] = {0, 40, 5};
  ASSERT_EQ(igetdesc_count(db, code), 3);
  for (int32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(igetdesc_fldnbr(db, code, k), nbr[k]);
    EXPECT_EQ(igetdesc_fldstart(db, code, k), start[k]);
    EXPECT_EQ(igetdesc_fldlen(db, code, k), len[k]);
  }
  IsamIndex *physical = ihandle(db, iphysical);
  EXPECT_EQ(desc_texts(db, physical), (Strings{"lastname", "city,S", "zip,L"}));
  EXPECT_EQ(igetdesc_fldlen(db, physical, 2), 0);
  EXPECT_EQ(desc_texts(db, ihandle(db, "plain")), Strings{});

  // Loaded descriptors come newest first: in descending name order.
  std::string order;
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    order += ix->name + std::string(";");
  }
  EXPECT_EQ(order, "plain;Physical Index;code,U;byCity;");
  EXPECT_EQ(ihandle(db, "code"), nullptr);
  EXPECT_EQ(isam_errno, ISERR_UNKNOWN_INDEX);
  EXPECT_EQ(igetdesc(nullptr, nullptr), nullptr);
  EXPECT_EQ(isam_errno, 0);
}

// Key field numbers outside the descriptor are refused (bad handles are
// the misuse test's).
TEST_F(IndexApiTest, KeyFieldNumbersAreChecked) {
  IsamDb *db = create_with("t", {"a"}, {{"x", {"a"}, 1}});
  ASSERT_NE(db, nullptr);
  IsamIndex *ix = ihandle(db, "x");
  using Call = int32_t(RBCALL *)(IsamDb *, IsamIndex *, int32_t);
  for (Call call : {static_cast<Call>(igetdesc_fldnbr),
                    static_cast<Call>(igetdesc_fldstart),
                    static_cast<Call>(igetdesc_fldlen)}) {
    for (const int32_t k : {1, -1}) {
      EXPECT_EQ(call(db, ix, k), -1) << k;
      EXPECT_EQ(isam_errno, ISERR_KEY_NUMBER) << k;
    }
    EXPECT_EQ(call(db, ix, 0), 0);
  }
}

// An index file that cannot be used leaves the database open with the
// physical index alone and the reason in isam_errno.
TEST_F(IndexApiTest, AnUnusableIndexFileLeavesOnlyThePhysicalIndex) {
  const struct {
    const char *what;
    std::vector<std::pair<std::string, int32_t>> keys;  // descriptors
    int32_t error;
  } cases[] = {
      {"a field that does not exist",
       {{std::string("\0x\0nosuch\0", 10), 1}},
       ISERR_INDEX_CORRUPT},
      {"LEN 0 keeps the colon",
       {{std::string("\0x\0a:0\0", 7), 1}},
       ISERR_INDEX_CORRUPT},
      {"no terminating NUL",
       {{std::string("\0x\0a", 4), 1}},
       ISERR_INDEX_CORRUPT},
      {"number 254", {{std::string("\0x\0a\0", 5), 254}}, ISERR_INDEX_CORRUPT},
      {"a number twice",
       {{std::string("\0x\0a\0", 5), 1}, {std::string("\0y\0a\0", 5), 1}},
       ISERR_INDEX_CORRUPT},
      {"no index file", {}, ISERR_INDEX_CORRUPT},
      {"an index file of junk", {}, ISERR_INDEX_CORRUPT},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    IsamDb *db = create("t", {"a"});
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(iclose_db(db), 1);
    for (const auto &[key, item] : c.keys) ASSERT_TRUE(add_key("t", key, item));
    if (std::string(c.what) == "no index file") {
      ASSERT_EQ(std::remove(path("t.idx").c_str()), 0);
    } else if (std::string(c.what) == "an index file of junk") {
      write_file(path("t.idx"), std::vector<uint8_t>(1024, 0x5A));
    }
    db = iopen_db(path("t").c_str());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(isam_errno, c.error);
    EXPECT_EQ(db->index_count, 1);
    EXPECT_EQ(db->desc_tree, nullptr);
    IsamIndex *physical = ihandle(db, "PHYSICAL INDEX");
    ASSERT_NE(physical, nullptr);
    EXPECT_EQ(physical->tree, nullptr);
    EXPECT_EQ(igetdesc_count(db, physical), 1);
    EXPECT_EQ(ihandle(db, "x"), nullptr);
    EXPECT_EQ(isam_errno, ISERR_INDEX_CORRUPT);
    EXPECT_EQ(iclose_db(db), 1);
  }
}

}  // namespace
}  // namespace recbase::test
