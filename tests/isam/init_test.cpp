// Setting the library up (explicitly, on the first open, or with a display
// function) and ending it with every database closed.
#include <gtest/gtest.h>

#include <string>

#include "tests/isam/isam_support.h"
#include "tests/support/fault_injection.h"

namespace recbase::test {
namespace {

class InitTest : public IsamTest {
 protected:
  ~InitTest() override { isam::g_window_routines = {}; }
};

std::string g_printed;
int32_t RBCALL show(const char *text) {
  g_printed += text;
  return 1;
}
int32_t RBCALL window(const char *) { return 1; }
int32_t RBCALL box(const char *) { return 1; }

RbPrint print_routine() {
  const RbPrint current = cbset_print(nullptr);
  cbset_print(current);
  return current;
}

TEST_F(InitTest, SetUpOnceThenEndEverything) {
  EXPECT_EQ(isamexit(), 1);  // nothing set up
  ASSERT_EQ(isaminit(0, 0), 1);
  EXPECT_EQ(cbbufcnt(), 16);
  EXPECT_EQ(cbbufsize(), 512);
  EXPECT_EQ(isam::g_byte_order, 0);  // x86-64 is little-endian
  EXPECT_EQ(isaminit(32, 1024), -1);
  EXPECT_EQ(isam_errno, ISERR_ALREADY_INIT);
  EXPECT_EQ(cbbufsize(), 512);

  IsamDb *a = create("a", {"x"});
  IsamDb *b = create_with("b", {"y"}, {{"i", {"y"}, 1}});
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(igetdesc(b, ihandle(b, "i")), nullptr);
  EXPECT_EQ(isamexit(), 1);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(cbbufsize(), 0);
  EXPECT_EQ(isam::g_open_dbs, nullptr);
  EXPECT_EQ(isam::g_key_buffer, nullptr);
  EXPECT_EQ(isam::g_desc_buffer, nullptr);
  EXPECT_EQ(iclose_db(a), -1);
  EXPECT_EQ(isam_errno, ISERR_BAD_DB);
  EXPECT_EQ(isamexit(), 1);

  // The first open sets the library up again, with 16 buffers of 512.
  IsamDb *again = iopen_db(path("b").c_str());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(cbbufcnt(), 16);
  EXPECT_EQ(again->index_count, 2);
}

TEST_F(InitTest, ExitReleasesEveryDatabaseEvenWhenClosingFails) {
  ASSERT_NE(create("a", {"x"}), nullptr);
  ASSERT_NE(create("b", {"x"}), nullptr);
  {
    FaultInjector faults;
    faults.fail_io_at(1, EIO, true, "flush");
    EXPECT_EQ(isamexit(), -1);
    EXPECT_EQ(isam_errno, ISERR_IO);
  }
  EXPECT_EQ(isam::g_open_dbs, nullptr);
  EXPECT_EQ(cbbufsize(), 0);
  EXPECT_NE(iopen_db(path("a").c_str()), nullptr);
}

TEST_F(InitTest, WindowSetUpInstallsTheDisplayFunction) {
  isam::g_window_routines = {window, box};
  EXPECT_EQ(isaminit_mswin(0, 0, window, nullptr), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_WIN_INSTANCE);
  EXPECT_EQ(cbbufsize(), 512);  // set up all the same
  EXPECT_EQ(print_routine(), platform_native().sys_print);
  ASSERT_EQ(isamexit(), 1);

  ASSERT_EQ(isaminit_mswin(0, 0, show, &g_printed), 1);
  EXPECT_EQ(isam::g_window_instance, &g_printed);
  g_printed.clear();
  iprterr();
  EXPECT_EQ(g_printed, "No error\n");
  // A second set-up fails, the message box left printing.
  EXPECT_EQ(isaminit_mswin(0, 0, show, nullptr), -1);
  EXPECT_EQ(isam_errno, ISERR_ALREADY_INIT);
  EXPECT_EQ(print_routine(), box);
}

}  // namespace
}  // namespace recbase::test
