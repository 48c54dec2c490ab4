// Message lookups and the two error printers, observed through a print
// routine of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/alloc.h"
#include "frame/platform.h"
#include "recbase/cbt.h"
#include "recbase/isam.h"

namespace recbase {
namespace {

std::vector<std::string> g_printed;
int g_fail_print_call = 0;  // 1-based call that returns -1; 0 for none

int32_t RBCALL capture(const char *text) {
  g_printed.emplace_back(text);
  return static_cast<int>(g_printed.size()) == g_fail_print_call ? -1 : 1;
}

bool refuse_allocation(std::size_t) { return false; }

// Installs the capturing print routine and restores the previous one and
// the error variables afterwards.
class PrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_printed.clear();
    g_fail_print_call = 0;
    previous_ = cbset_print(capture);
    saved_ = {cberrcode, cbfcncode, cbconcode, isam_errno};
  }
  void TearDown() override {
    cbset_print(previous_);
    g_alloc_hook = nullptr;
    cberrcode = saved_[0];
    cbfcncode = saved_[1];
    cbconcode = saved_[2];
    isam_errno = saved_[3];
  }
  void set_cb(int32_t err, int32_t fcn, int32_t con) {
    cberrcode = err;
    cbfcncode = fcn;
    cbconcode = con;
  }

  RbPrint previous_ = nullptr;
  std::vector<int32_t> saved_;
};

TEST(MessagesTest, OutOfRangeCodesGiveTheFallbackTexts) {
  EXPECT_STREQ(isammsg(-1), "Unknown isam error number");
  EXPECT_STREQ(isammsg(42), "Unknown isam error number");
  EXPECT_STREQ(isammsg(INT32_MIN), "Unknown isam error number");
  EXPECT_STREQ(cberrmsg(33), "Unknown cbt error number");
  EXPECT_STREQ(cberrmsg(-1), "Unknown cbt error number");
  EXPECT_STREQ(cbfcnmsg(31), "Unknown cbt function number");
  EXPECT_STREQ(cbfcnmsg(INT32_MAX), "Unknown cbt function number");
  EXPECT_STREQ(cbconmsg(57), "Unknown cbt context number");
  EXPECT_STREQ(cbconmsg(-57), "Unknown cbt context number");
}

TEST(MessagesTest, LastCodeOfEachTableHasItsOwnText) {
  EXPECT_STREQ(isammsg(41), "No Window created for output");
  EXPECT_STREQ(cberrmsg(32), "btree is read only");
  EXPECT_STREQ(cbfcnmsg(30), "cbunlock");
  EXPECT_STREQ(cbconmsg(56), "finding first key");
}

TEST(MessagesTest, FirstCodesAndKeptSpellings) {
  EXPECT_STREQ(isammsg(0), "No error");
  EXPECT_STREQ(cberrmsg(0), "no error");
  EXPECT_STREQ(cbfcnmsg(0), "no function set");
  EXPECT_STREQ(cbconmsg(0), "no context set");
  EXPECT_STREQ(isammsg(15), "Cannot rename data base");
  EXPECT_STREQ(cbconmsg(43), "re-syncronizing parent and child nodes");
  EXPECT_STREQ(cbconmsg(53), "resyncronizing buffers with disk");
}

TEST_F(PrintTest, ClearedErrorPrintsAsOneText) {
  set_cb(5, 7, 9);
  cbclear_error();
  EXPECT_EQ(cbget_errcode(), 0);
  EXPECT_EQ(cbget_fcncode(), 0);
  EXPECT_EQ(cbget_concode(), 0);
  EXPECT_EQ(cbprterr(), 1);
  ASSERT_EQ(g_printed.size(), 1u);
  EXPECT_EQ(g_printed[0],
            "context: no context set, function: no function set\nno error\n");
}

TEST_F(PrintTest, FailedSharedOpenReadsAsTwoLines) {
  set_cb(2, 8, 2);
  EXPECT_EQ(cbprterr(), 1);
  ASSERT_EQ(g_printed.size(), 1u);
  EXPECT_EQ(g_printed[0],
            "context: opening btree file for read/write, function: "
            "cbopen_shared\ncannot open a btree file\n");
}

TEST_F(PrintTest, UnknownCodesPrintTheirFallbacks) {
  set_cb(-3, 99, 1000);
  EXPECT_EQ(cbprterr(), 1);
  ASSERT_EQ(g_printed.size(), 1u);
  EXPECT_EQ(g_printed[0],
            "context: Unknown cbt context number, function: Unknown cbt "
            "function number\nUnknown cbt error number\n");
}

TEST_F(PrintTest, WithoutMemoryTheSevenPiecesArePrintedSeparately) {
  set_cb(22, 16, 22);
  g_alloc_hook = refuse_allocation;
  EXPECT_EQ(cbprterr(), 1);
  const std::vector<std::string> expected = {"context: ",
                                             "inserting key into node",
                                             ", function: ",
                                             "cbinsert",
                                             "\n",
                                             "duplicate key not allowed",
                                             "\n"};
  EXPECT_EQ(g_printed, expected);
}

TEST_F(PrintTest, PrintersChangeNoErrorVariable) {
  set_cb(17, 7, 2);
  isam_errno = 20;
  bufpool_err = 7;
  cbprterr();
  iprterr();
  g_alloc_hook = refuse_allocation;
  cbprterr();
  EXPECT_EQ(cberrcode, 17);
  EXPECT_EQ(cbfcncode, 7);
  EXPECT_EQ(cbconcode, 2);
  EXPECT_EQ(isam_errno, 20);
  EXPECT_EQ(bufpool_err, 7);
  bufpool_err = 0;
}

TEST_F(PrintTest, AFailedPrintIsReported) {
  g_fail_print_call = 1;
  EXPECT_EQ(cbprterr(), -1);
  // Piecewise: one failing piece among seven fails the whole.
  g_printed.clear();
  g_fail_print_call = 4;
  g_alloc_hook = refuse_allocation;
  EXPECT_EQ(cbprterr(), -1);
  EXPECT_EQ(g_printed.size(), 7u);  // the remaining pieces are still printed
  g_printed.clear();
  g_fail_print_call = 1;
  EXPECT_EQ(iprterr(), -1);
}

TEST_F(PrintTest, IsamErrorIsOneLineWithNewline) {
  iset_errno(9);
  EXPECT_EQ(iget_errno(), 9);
  EXPECT_EQ(iprterr(), 1);
  iset_errno(-4);
  EXPECT_EQ(iprterr(), 1);
  const std::vector<std::string> expected = {"Error from cbt level\n",
                                             "Unknown isam error number\n"};
  EXPECT_EQ(g_printed, expected);
}

TEST_F(PrintTest, NullPrintRoutineFailsInsteadOfCrashing) {
  cbset_print(nullptr);
  EXPECT_EQ(cbprterr(), -1);
  EXPECT_EQ(iprterr(), -1);
}

}  // namespace
}  // namespace recbase
