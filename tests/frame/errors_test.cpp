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

// Each table's last code has a text of its own; the codes around the table
// give the fallback.
TEST(MessagesTest, CodesOutsideEachTableGiveTheFallback) {
  struct Table {
    const char *(*lookup)(int32_t);
    int32_t last;
    const char *last_text, *fallback;
  } tables[] = {
      {isammsg, 41, "No Window created for output",
       "Unknown isam error number"},
      {cberrmsg, 32, "btree is read only", "Unknown cbt error number"},
      {cbfcnmsg, 30, "cbunlock", "Unknown cbt function number"},
      {cbconmsg, 56, "finding first key", "Unknown cbt context number"},
  };
  for (const Table &t : tables) {
    EXPECT_STREQ(t.lookup(t.last), t.last_text);
    for (int32_t code : {t.last + 1, -1, INT32_MIN, INT32_MAX}) {
      EXPECT_STREQ(t.lookup(code), t.fallback) << t.last << " " << code;
    }
  }
}

class PrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_printed.clear();
    g_fail_print_call = 0;
    previous_ = cbset_print(capture);
  }
  void TearDown() override {
    cbset_print(previous_);
    g_alloc_hook = nullptr;
    cbclear_error();
    isam_errno = 0;
    bufpool_err = 0;
  }
  void set_cb(int32_t err, int32_t fcn, int32_t con) {
    cberrcode = err;
    cbfcncode = fcn;
    cbconcode = con;
  }

  RbPrint previous_ = nullptr;
};

TEST_F(PrintTest, ErrorPrintsAsContextFunctionAndMessage) {
  struct Case {
    int32_t err, fcn, con;
    const char *text;
  } cases[] = {
      {0, 0, 0,
       "context: no context set, function: no function set\nno error\n"},
      {2, 8, 2,
       "context: opening btree file for read/write, function: "
       "cbopen_shared\ncannot open a btree file\n"},
      {-3, 99, 1000,
       "context: Unknown cbt context number, function: Unknown cbt "
       "function number\nUnknown cbt error number\n"},
  };
  for (const Case &c : cases) {
    g_printed.clear();
    set_cb(c.err, c.fcn, c.con);
    EXPECT_EQ(cbprterr(), 1);
    EXPECT_EQ(g_printed, std::vector<std::string>{c.text});
    EXPECT_EQ(cberrcode, c.err);  // printing changes no error variable
    EXPECT_EQ(cbconcode, c.con);
  }
  set_cb(5, 7, 9);
  cbclear_error();
  EXPECT_EQ(cbget_errcode() | cbget_fcncode() | cbget_concode(), 0);
}

// Without memory the seven pieces go out one by one; a failing piece fails
// the whole but the rest are still printed. No error variable changes.
TEST_F(PrintTest, WithoutMemoryThePiecesArePrintedSeparately) {
  set_cb(22, 16, 22);
  isam_errno = 20;
  bufpool_err = 7;
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
  g_printed.clear();
  g_fail_print_call = 4;
  EXPECT_EQ(cbprterr(), -1);
  EXPECT_EQ(g_printed, expected);
  EXPECT_EQ(iprterr(), 1);
  EXPECT_EQ(cberrcode, 22);
  EXPECT_EQ(cbfcncode, 16);
  EXPECT_EQ(cbconcode, 22);
  EXPECT_EQ(isam_errno, 20);
  EXPECT_EQ(bufpool_err, 7);
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

TEST_F(PrintTest, FailedOrMissingPrintRoutineIsReported) {
  g_fail_print_call = 1;
  EXPECT_EQ(cbprterr(), -1);
  g_printed.clear();
  EXPECT_EQ(iprterr(), -1);
  cbset_print(nullptr);
  EXPECT_EQ(cbprterr(), -1);
  EXPECT_EQ(iprterr(), -1);
}

}  // namespace
}  // namespace recbase
