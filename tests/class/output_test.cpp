// Output through the class: the error report's exact text for an object
// with a file name, for error 9 with the B-tree's codes (which the object
// keeps until cleared) and for the library's state on a temporary object;
// the display handler and the class's own std::cout display; the windowed
// set-up without an instance.
#include <iostream>
#include <sstream>
#include <string>

#include "tests/class/class_support.h"

namespace recbase::test {
namespace {

std::string g_printed;
int32_t RBCALL capture(const char *text) {
  g_printed += text;
  return 1;
}

class OutputTest : public ClassTest {
 protected:
  OutputTest() { g_printed.clear(); }
};

TEST_F(OutputTest, ShowErrReportsTheErrorTheFileAndTheBTreeCodes) {
  ISAM db;
  ASSERT_TRUE(make_people(db, {{"Ann", 30, "Rome"}}));
  ISAM::setDisplayHandler(capture);
  const std::string file = db.getFileName();

  ASSERT_EQ(db.selectIndex("nope"), -1);
  EXPECT_EQ(db.showErr(), 1);
  EXPECT_EQ(g_printed,
            "\n===> ISAM error: Unknown index name"
            "\n      data file: " +
                file + "\n");

  // A second Rome breaks the unique index: error 9 with the B-tree's codes,
  // the handler called once.
  g_printed.clear();
  handler_calls = 0;
  ASSERT_EQ(db.addRec(), -1);
  ASSERT_EQ(last_error(db), 9);
  EXPECT_EQ(handler_calls, 1);
  const int codes[] = {db.errnoCBT(-1), db.errnoCBT(0), db.errnoCBT(1)};
  EXPECT_NE(codes[0], 0);
  for (int which : {-1, 0, 1}) {
    EXPECT_EQ(codes[which + 1], ISAM::_errnoCBT(which));
  }
  // Later successes and the library's other errors leave them on the object.
  ASSERT_EQ(db.findHead(), 1);
  ISAM::_errClear();
  EXPECT_EQ(ISAM::_errnoCBT(-1), 0);
  EXPECT_EQ(last_error(db), 9);
  EXPECT_EQ(db.errnoCBT(-1), codes[0]);
  EXPECT_EQ(db.errnoCBT(1), codes[2]);
  EXPECT_EQ(db.showErr(), 1);
  EXPECT_EQ(g_printed,
            "\n===> ISAM error: Error from cbt level"
            "\n      data file: " +
                file + "\n      CBT error: " + cberrmsg(db.errnoCBT(-1)) +
                "\n       function: " + cbfcnmsg(db.errnoCBT(1)) +
                "\n        context: " + cbconmsg(db.errnoCBT(0)) + "\n");
  EXPECT_EQ(std::string(db.errmsgCBT(-1)), cberrmsg(db.errnoCBT(-1)));
  db.errClear();  // until cleared
  EXPECT_EQ(last_error(db), 0);
  for (int which : {-1, 0, 1}) EXPECT_EQ(db.errnoCBT(which), 0) << which;

  // The library's state, on an object without a file name.
  g_printed.clear();
  ISAM::_errClear();
  iset_errno(22);
  EXPECT_EQ(ISAM::_showErr(), 1);
  EXPECT_EQ(g_printed, "\n===> ISAM error: Isaminit already called\n");
  g_printed.clear();
  iset_errno(9);
  cberrcode = 5;
  cbfcncode = 3;
  cbconcode = 2;
  EXPECT_EQ(ISAM::_showErr(), 1);
  EXPECT_EQ(g_printed, std::string("\n===> ISAM error: Error from cbt level") +
                           "\n      CBT error: " + cberrmsg(5) +
                           "\n       function: " + cbfcnmsg(3) +
                           "\n        context: " + cbconmsg(2) + "\n");
  // A record and the records of the selected index, through the display.
  g_printed.clear();
  ASSERT_EQ(db.findHead(), 1);
  ASSERT_EQ(db.getRec(0), 1);
  EXPECT_EQ(db.showFields("|"), 1);
  EXPECT_NE(g_printed.find("Ann|"), std::string::npos);
  g_printed.clear();
  EXPECT_EQ(db.showFile("|"), 1);
  EXPECT_NE(g_printed.find("Rome"), std::string::npos);
}

TEST_F(OutputTest, TheDisplayHandlerReplacesTheClassStandardOutput) {
  std::ostringstream out;
  std::streambuf *saved = std::cout.rdbuf(out.rdbuf());
  ASSERT_EQ(ISAM::init(0, 0), 1);
  EXPECT_EQ(ISAM::puts("one "), 1);
  ISAM::setDisplayHandler(capture);
  EXPECT_EQ(ISAM::puts("two "), 1);
  ISAM::setDisplayHandler(nullptr);
  EXPECT_EQ(ISAM::puts("three"), 1);
  std::cout.rdbuf(saved);
  EXPECT_EQ(out.str(), "one three");
  EXPECT_EQ(g_printed, "two ");
}

TEST_F(OutputTest, WindowedSetUpWithoutAnInstanceStillSetsTheLibraryUp) {
  handler_calls = 0;
  EXPECT_EQ(ISAM::initWin(0, 0, ISAM::putsWin, nullptr), -1);
  EXPECT_EQ(ISAM::_errno(), 40);
  EXPECT_EQ(handler_calls, 1);
  EXPECT_EQ(cbbufsize(), 512);
  EXPECT_EQ(ISAM::initWin(0, 0, capture, nullptr), -1);
  EXPECT_EQ(ISAM::_errno(), 22);
}

}  // namespace
}  // namespace recbase::test
