// The output window on Win32 (run under Wine on a virtual X server by
// scripts/test-window-win32.sh): its class, title and size, the cells it
// paints read back as pixels, the scroll requests of the bars and the keys,
// a close with and without another window of the application, the
// end-session query, and the message box dismissed by posted messages. The
// test is its own message loop: pump() dispatches what the window was sent.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

#include "display/output_window.h"
#include "isam/window_link.h"
#include "recbase/isam.h"
#include "tests/display/written_cells.h"

namespace recbase::test {
namespace {

using display::g_output;

// Dispatches every queued message; true when one of them was WM_QUIT with
// code 0.
bool pump() {
  bool quit = false;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    quit = quit || (msg.message == WM_QUIT && msg.wParam == 0);
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return quit;
}

HWND output_window() {
  return FindWindowA("cbt_iputs_dflt", "Ledgerwick Output");
}

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { isam::g_window_instance = GetModuleHandleA(nullptr); }
  void TearDown() override {
    display::output_window_close();
    isam::g_window_instance = nullptr;
    pump();
  }

  // Whether the cell at (row, column) of the screen, where the view shows
  // it, has a pixel that is not the white background.
  static bool inked(HWND window, int row, int column) {
    const display::View &v = g_output.view;
    HDC dc = GetDC(window);
    bool ink = false;
    for (int y = 0; y < v.line_height; ++y) {
      for (int x = 0; x < v.char_width; ++x) {
        const COLORREF c = GetPixel(dc, (column - v.hpos) * v.char_width + x,
                                    (row - v.vpos) * v.line_height + y);
        ink = ink || (c != CLR_INVALID && c != RGB(255, 255, 255));
      }
    }
    ReleaseDC(window, dc);
    return ink;
  }
};

TEST_F(Win32WindowTest, PaintsScrollsAndComesBackAfterAClose) {
  isam_errno = ISERR_IO;  // a print routine leaves it alone
  ASSERT_EQ(iputs_win(kWritten), 1);
  EXPECT_EQ(isam_errno, ISERR_IO);
  HWND window = output_window();
  ASSERT_NE(window, nullptr);
  pump();
  const display::View &v = g_output.view;
  RECT client;
  GetClientRect(window, &client);
  std::printf("cell %dx%d pixels, client %ldx%ld\n", v.char_width,
              v.line_height, client.right, client.bottom);
  EXPECT_GE(client.right, 80 * v.char_width);
  EXPECT_GE(client.bottom, 25 * v.line_height);
  EXPECT_EQ(v.client_width, client.right);
  EXPECT_EQ(v.client_height, client.bottom);
  EXPECT_EQ(v.hmax, 0);
  EXPECT_EQ(v.vmax, 0);
  for (const WrittenCell &c : kWrittenCells) {
    EXPECT_EQ(inked(window, c.row, c.column), c.ink)
        << c.row << "," << c.column;
  }

  // Half the screen each way, the bars shown: the scroll requests and the
  // keys move the view by the rows, columns and pages the client shows.
  RECT outer{0, 0, 40 * v.char_width + GetSystemMetrics(SM_CXVSCROLL),
             10 * v.line_height + GetSystemMetrics(SM_CYHSCROLL)};
  AdjustWindowRectEx(&outer, GetWindowLongA(window, GWL_STYLE), FALSE, 0);
  SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left,
               outer.bottom - outer.top, SWP_NOMOVE | SWP_NOZORDER);
  pump();
  ASSERT_EQ(v.hmax, 40);
  ASSERT_EQ(v.vmax, 15);
  struct Request {
    UINT message;
    WPARAM wparam;
    int vpos, hpos;
  };
  const Request requests[] = {
      {WM_KEYDOWN, VK_DOWN, 1, 0},
      {WM_KEYDOWN, VK_END, 15, 0},
      {WM_KEYDOWN, VK_PRIOR, 5, 0},
      {WM_KEYDOWN, VK_NEXT, 15, 0},
      {WM_KEYDOWN, VK_HOME, 0, 0},
      {WM_KEYDOWN, VK_RIGHT, 0, 8},
      {WM_KEYDOWN, VK_LEFT, 0, 0},
      {WM_KEYDOWN, VK_UP, 0, 0},
      {WM_KEYDOWN, 'A', 0, 0},
      {WM_VSCROLL, MAKEWPARAM(5, 7), 7, 0},
      {WM_VSCROLL, MAKEWPARAM(4, 2), 7, 0},  // position: vertical ignores
      {WM_HSCROLL, MAKEWPARAM(4, 33), 7, 33},
      {WM_HSCROLL, MAKEWPARAM(5, 9), 7, 33},
      {WM_HSCROLL, MAKEWPARAM(4, 99), 7, 40},
      {WM_HSCROLL, MAKEWPARAM(1, 0), 7, 40},
      {WM_HSCROLL, MAKEWPARAM(6, 0), 7, 40},
      {WM_HSCROLL, MAKEWPARAM(2, 0), 7, 32},
      {WM_VSCROLL, MAKEWPARAM(7, 0), 15, 32},
      {WM_VSCROLL, MAKEWPARAM(2, 0), 5, 32},
      {WM_VSCROLL, MAKEWPARAM(8, 0), 5, 32},
      {WM_VSCROLL, MAKEWPARAM(6, 0), 0, 32},
      {WM_HSCROLL, MAKEWPARAM(4, 0), 0, 0},
      {WM_VSCROLL, MAKEWPARAM(1, 0), 1, 0}};
  for (const Request &r : requests) {
    PostMessageA(window, r.message, r.wparam, 0);
    pump();
    EXPECT_EQ(GetScrollPos(window, SB_VERT), r.vpos)
        << r.message << " " << r.wparam;
    EXPECT_EQ(GetScrollPos(window, SB_HORZ), r.hpos)
        << r.message << " " << r.wparam;
    EXPECT_EQ(v.vpos, r.vpos);
    EXPECT_EQ(v.hpos, r.hpos);
  }
  EXPECT_TRUE(inked(window, 1, 0));  // "d", now in the top row of the view
  EXPECT_FALSE(inked(window, 1, 1));

  // Closed by the user: with another window of the application left the
  // loop goes on, without one it ends; either way the window is gone and
  // the next write makes a fresh one.
  HWND other =
      CreateWindowExA(0, "STATIC", "other", WS_OVERLAPPED, 0, 0, 50, 50,
                      nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  for (bool last : {false, true}) {
    SCOPED_TRACE(last ? "last window" : "another window");
    if (last) DestroyWindow(other);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(pump(), last);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(g_output.exists);
    ASSERT_EQ(iputs_win("y"), 1);
    window = output_window();
    ASSERT_NE(window, nullptr);
    pump();
    EXPECT_EQ(g_output.cursor.row, 0);
    EXPECT_EQ(g_output.cursor.column, 1);
    EXPECT_TRUE(inked(window, 0, 0));
    EXPECT_FALSE(inked(window, 0, 1));
    EXPECT_FALSE(inked(window, 1, 0));
  }

  // The session ends: the text screen goes, the window stays.
  EXPECT_EQ(SendMessageA(window, WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_EQ(iputs_win("z"), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_MEMORY);
  EXPECT_EQ(iputs_win_clear(), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_MEMORY);
  pump();  // a repaint without a screen paints nothing
  display::output_window_close();
  EXPECT_FALSE(IsWindow(window));

  isam::g_window_instance = nullptr;
  EXPECT_EQ(iputs_win("x"), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_WIN_INSTANCE);
}

// The box runs its own modal loop, which also runs the thread's timer: the
// timer finds the box by its title and text and posts the message that
// dismisses it. A box that never appears ends the program rather than let
// it wait for ever.
struct Dismissal {
  const char *name;
  UINT message;
  WPARAM wparam;
  bool to_button;
};
const Dismissal *g_dismissal = nullptr;
int g_ticks = 0;
bool g_found = false;

void CALLBACK dismiss(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = FindWindowA(nullptr, "Ledgerwick");
  if (box == nullptr) {
    if (++g_ticks > 400) {
      std::fprintf(stderr, "the message box did not appear\n");
      ExitProcess(1);
    }
    return;
  }
  KillTimer(nullptr, timer);
  g_found =
      FindWindowExA(box, nullptr, "Static", "Rebuilt.\nAll kept.") != nullptr;
  const Dismissal &d = *g_dismissal;
  PostMessageA(d.to_button ? GetDlgItem(box, IDOK) : box, d.message, d.wparam,
               0);
}

TEST_F(Win32WindowTest, MessageBoxReturnsOneWhenDismissed) {
  const Dismissal dismissals[] = {{"Return", WM_KEYDOWN, VK_RETURN, false},
                                  {"OK clicked", BM_CLICK, 0, true},
                                  {"OK command", WM_COMMAND, IDOK, false}};
  for (const Dismissal &d : dismissals) {
    SCOPED_TRACE(d.name);
    g_dismissal = &d;
    g_ticks = 0;
    g_found = false;
    ASSERT_NE(SetTimer(nullptr, 0, 25, dismiss), 0u);
    EXPECT_EQ(iputs_winbox("Rebuilt.\nAll kept."), 1);
    EXPECT_TRUE(g_found);
    EXPECT_EQ(FindWindowA(nullptr, "Ledgerwick"), nullptr);
  }
}

}  // namespace
}  // namespace recbase::test
