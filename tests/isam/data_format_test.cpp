// The data file's header: the bytes written for definition lists of every
// kind and what is read back from them, headers that are not sound, and
// definition lists too large for the header.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

class DataFormatTest : public IsamTest {};

// The header the definitions should give: N and the count (2 bytes each,
// the machine's order), then every definition and its NUL.
std::vector<uint8_t> header_of(const Strings &defs) {
  std::string body;
  for (const std::string &d : defs) body += d + '\0';
  return bytes_of(stored(static_cast<int16_t>(body.size())) +
                  stored(static_cast<int16_t>(defs.size())) + body);
}

TEST_F(DataFormatTest, HeaderBytesAndTheFieldsReadBack) {
  struct Case {
    Strings defs;
    std::vector<int32_t> types, lengths;
    int32_t min_record_length;
  } cases[] = {
      {{}, {}, {}, 2},
      {{"a", "a,s", "a,S", "a,x", "a,"}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, 5},
      {{"c,C", "i,I", "u,u", "l,L", "f,F", "d,d"},
       {1, 2, 3, 4, 5, 6},
       {0, 0, 0, 0, 0, 0},
       23},
      {{"t", "bin,B:3", "n,L"}, {0, 7, 4}, {0, 3, 0}, 10},
      {{"b,B", "b,B0", "b,b:16", "b,B16", "b,B7x", "b,B:40000",
        "b,B99999999999"},
       {7, 7, 7, 7, 7, 7, 7},
       {1, 1, 16, 16, 7, 32767, 32767},
       32},
      {{"x,B40"}, {7}, {40}, 32},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.defs));
    IsamDb *db = create("t", c.defs);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(read_file(path("t.db")), header_of(c.defs));
    ASSERT_EQ(iclose_db(db), 1);
    db = iopen_db(path("t").c_str());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(isam_errno, 0);
    ASSERT_EQ(igetfldcount(db), static_cast<int32_t>(c.defs.size()));
    char **names = igetfldnames(db);
    for (size_t f = 0; f < c.defs.size(); ++f) {
      const auto n = static_cast<int32_t>(f);
      EXPECT_STREQ(names[f], c.defs[f].c_str());
      EXPECT_EQ(igetfldtype(db, n), c.types[f]);
      EXPECT_EQ(igetfldlen(db, n), c.lengths[f]);
    }
    EXPECT_EQ(names[c.defs.size()], nullptr);
    EXPECT_EQ(db->min_record_length, c.min_record_length);
    EXPECT_EQ(db->data_start, static_cast<int32_t>(header_of(c.defs).size()));
    EXPECT_EQ(igetfldtype(db, igetfldcount(db)), -1);
    EXPECT_EQ(isam_errno, ISERR_FIELD_NUMBER);
    EXPECT_EQ(igetfldlen(db, -1), -1);
    EXPECT_EQ(isam_errno, ISERR_FIELD_NUMBER);
    ASSERT_EQ(iclose_db(db), 1);
  }
}

TEST_F(DataFormatTest, HeadersThatAreNotSoundFailTheOpenAndLeaveNothingOpen) {
  ASSERT_NE(create("t", {"a"}), nullptr);
  ASSERT_EQ(isamexit(), 1);
  const std::vector<std::vector<uint8_t>> headers = {
      {},                              // empty file
      {1, 0},                          // shorter than the counts
      {0xFF, 0xFF, 0, 0},              // N negative
      {2, 0, 0xFF, 0xFF, 'a', 0},      // count negative
      {10, 0, 1, 0, 'a', 0},           // N beyond the end of the file
      {2, 0, 3, 0, 'a', 0},            // more definitions than bytes
      {3, 0, 1, 0, 'a', 'b', 'c'},     // a definition without its NUL
      {4, 0, 2, 0, 'a', 0, 'b', 'c'},  // the second one without it
  };
  for (const std::vector<uint8_t> &h : headers) {
    SCOPED_TRACE(testing::PrintToString(h));
    write_file(path("t.db"), h);
    EXPECT_EQ(iopen_db(path("t").c_str()), nullptr);
    EXPECT_EQ(isam_errno, ISERR_IO);
    EXPECT_EQ(isam::g_open_dbs, nullptr);
  }
  // A sound header after them opens, and so does one whose N covers more
  // than its definitions.
  write_file(path("t.db"), {5, 0, 1, 0, 'a', 0, 'x', 'y', 'z'});
  IsamDb *db = iopen_db(path("t").c_str());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(igetfldcount(db), 1);
  EXPECT_EQ(db->data_start, 9);
}

TEST_F(DataFormatTest, DefinitionsMustFitTheSixteenBitCounts) {
  EXPECT_EQ(create("big", {std::string(32766, 'x'), ""}), nullptr);
  EXPECT_EQ(isam_errno, ISERR_RANGE);
  EXPECT_FALSE(file_exists(path("big.db")));
  EXPECT_FALSE(file_exists(path("big.idx")));
  IsamDb *db = create("big", {std::string(32766, 'x')});
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->data_start, 4 + 32767);
}

}  // namespace
}  // namespace recbase::test
