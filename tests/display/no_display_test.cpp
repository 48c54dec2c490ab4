// The output window's routines where no window can be made: no instance
// handle, no X display (or a build without Xlib), no memory for the text
// screen; and the message box printing through the default print routine
// instead.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "display/output_window.h"
#include "isam/window_link.h"
#include "recbase/isam.h"
#include "tests/support/fault_injection.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

// Runs the test without a display: DISPLAY unset, put back afterwards.
class NoDisplayTest : public ::testing::Test {
 protected:
  NoDisplayTest() {
    if (const char *d = std::getenv("DISPLAY")) saved_ = d, had_ = true;
    set_environment("DISPLAY", nullptr);
    isam::g_window_instance = &instance_;
  }
  ~NoDisplayTest() override {
    isamexit();
    display::output_window_close();
    isam::g_window_instance = nullptr;
    if (had_) set_environment("DISPLAY", saved_.c_str());
  }
  int instance_ = 0;
  std::string saved_;
  bool had_ = false;
};

TEST_F(NoDisplayTest, WindowRoutinesFailWithTheirCodes) {
  struct Case {
    const char *name;
    bool instance;
    int32_t (*call)();
    int32_t error;
  };
  const Case cases[] = {
      {"write without instance", false, [] { return iputs_win("x"); },
       ISERR_NO_WIN_INSTANCE},
      {"make without instance", false, [] { return iputs_win(nullptr); },
       ISERR_NO_WIN_INSTANCE},
      {"write", true, [] { return iputs_win("x"); }, ISERR_NO_WINDOW},
      {"make", true, [] { return iputs_win(nullptr); }, ISERR_NO_WINDOW},
      {"clear", true, [] { return iputs_win_clear(); }, ISERR_NO_WINDOW},
      {"set cursor", true, [] { return iputs_win_setcursor(-4, 99); },
       ISERR_NO_WINDOW},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    isam::g_window_instance = c.instance ? &instance_ : nullptr;
    isam_errno = 0;
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(isam_errno, c.error);
    EXPECT_FALSE(display::g_output.exists);
  }
  // The position is stored all the same, made safe.
  EXPECT_EQ(display::g_output.cursor.row, display::kRows);
  EXPECT_EQ(display::g_output.cursor.column, 0);

  // No memory for the text screen.
  isam::g_window_instance = &instance_;
  FaultInjector faults;
  faults.fail_alloc_at(1);
  EXPECT_EQ(iputs_win("x"), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_MEMORY);
}

TEST_F(NoDisplayTest, MessageBoxPrintsThroughTheDefaultRoutine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(iputs_winbox("first\nsecond"), 1);
  EXPECT_EQ(iputs_winbox(nullptr), 1);
  // Set up with the box as the print routine: the library's own messages
  // come out the same way.
  ASSERT_EQ(isaminit_mswin(0, 0, iputs_winbox, &instance_), 1);
  iset_errno(ISERR_NO_WINDOW);
  EXPECT_EQ(iprterr(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "first\nsecondNo Window created for output\n");
  ASSERT_EQ(isamexit(), 1);

  // The window routine is known to the set-up, which asks for an instance.
  EXPECT_EQ(isaminit_mswin(0, 0, iputs_win, nullptr), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_WIN_INSTANCE);
}

}  // namespace
}  // namespace recbase::test
