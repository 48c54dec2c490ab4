// The output window on a real X server (xvfb-run in CI; skipped without a
// display): its title and size, the cells it paints read back as pixels,
// scrolling by keys after a resize, a close followed by a fresh window, and
// the message box dismissed by a key press sent from another connection.
#include <gtest/gtest.h>
// After GoogleTest, whose names Xlib's macros (None, Bool) would replace.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "display/output_window.h"
#include "isam/window_link.h"
#include "recbase/isam.h"
#include "tests/display/written_cells.h"

namespace recbase::test {
namespace {

using display::g_output;

// The top-level window titled title, or 0.
Window find_window(Display *dpy, const char *title) {
  Window root, parent, *children = nullptr, found = 0;
  unsigned count = 0;
  if (XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children,
                 &count) == 0) {
    return 0;
  }
  for (unsigned i = 0; i < count && found == 0; ++i) {
    char *name = nullptr;
    if (XFetchName(dpy, children[i], &name) != 0 && name != nullptr) {
      if (std::strcmp(name, title) == 0) found = children[i];
      XFree(name);
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

void send_key(Display *dpy, Window w, KeySym sym) {
  XEvent e{};
  e.xkey.type = KeyPress;
  e.xkey.display = dpy;
  e.xkey.window = w;
  e.xkey.root = DefaultRootWindow(dpy);
  e.xkey.keycode = XKeysymToKeycode(dpy, sym);
  e.xkey.same_screen = True;
  XSendEvent(dpy, w, True, KeyPressMask, &e);
  XSync(dpy, False);
}

// The test's own connections look at windows that may go away meanwhile
// (the box after its key): such errors are expected, not fatal.
int ignore_errors(Display *, XErrorEvent *) { return 0; }

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XSetErrorHandler(ignore_errors);
    // A server that resets when its last client leaves refuses connections
    // for a moment.
    for (int i = 0; i < 20 && dpy_ == nullptr; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (std::getenv("DISPLAY") == nullptr) break;
      dpy_ = XOpenDisplay(nullptr);
    }
    if (dpy_ == nullptr) GTEST_SKIP() << "no X display: run under xvfb-run";
    isam::g_window_instance = &instance_;
  }
  void TearDown() override {
    display::output_window_close();
    isam::g_window_instance = nullptr;
    if (dpy_ != nullptr) XCloseDisplay(dpy_);
  }

  // Whether the cell at (row, column) of the screen, as the view shows it,
  // has a pixel of text.
  bool inked(Window w, int row, int column) {
    const display::View &v = g_output.view;
    const int x = (column - v.hpos) * v.char_width;
    const int y = (row - v.vpos) * v.line_height;
    XImage *image = XGetImage(dpy_, w, x, y, v.char_width, v.line_height,
                              AllPlanes, ZPixmap);
    if (image == nullptr) {
      ADD_FAILURE() << "no image of cell " << row << "," << column;
      return false;
    }
    bool ink = false;
    for (int py = 0; py < v.line_height; ++py) {
      for (int px = 0; px < v.char_width; ++px) {
        ink = ink ||
              XGetPixel(image, px, py) == BlackPixel(dpy_, DefaultScreen(dpy_));
      }
    }
    XDestroyImage(image);
    return ink;
  }

  Display *dpy_ = nullptr;
  int instance_ = 0;
};

TEST_F(WindowTest, PaintsScrollsAndComesBackAfterAClose) {
  isam_errno = ISERR_IO;  // a print routine leaves it alone
  ASSERT_EQ(iputs_win(kWritten), 1);
  EXPECT_EQ(isam_errno, ISERR_IO);
  const Window w = find_window(dpy_, "Ledgerwick Output");
  ASSERT_NE(w, 0u);
  XWindowAttributes attrs;
  ASSERT_NE(XGetWindowAttributes(dpy_, w, &attrs), 0);
  const display::View &v = g_output.view;
  EXPECT_EQ(v.client_width, 80 * v.char_width);
  EXPECT_EQ(v.client_height, 25 * v.line_height);
  EXPECT_GT(attrs.width, v.client_width);  // the bars
  EXPECT_EQ(v.hmax, 0);
  EXPECT_EQ(v.vmax, 0);

  for (const WrittenCell &c : kWrittenCells) {
    EXPECT_EQ(inked(w, c.row, c.column), c.ink) << c.row << "," << c.column;
  }

  // Half the screen each way: the keys move the view and it repaints.
  XResizeWindow(dpy_, w, static_cast<unsigned>(40 * v.char_width + 14),
                static_cast<unsigned>(10 * v.line_height + 14));
  XSync(dpy_, False);
  ASSERT_EQ(iputs_win(nullptr), 1);
  EXPECT_EQ(v.hmax, 40);
  EXPECT_EQ(v.vmax, 15);
  struct Press {
    KeySym key;
    int vpos, hpos;
  };
  const Press presses[] = {{XK_Down, 1, 0},  {XK_End, 15, 0}, {XK_Prior, 5, 0},
                           {XK_Next, 15, 0}, {XK_Home, 0, 0}, {XK_Right, 0, 8},
                           {XK_Left, 0, 0},  {XK_Down, 1, 0}};
  for (const Press &p : presses) {
    send_key(dpy_, w, p.key);
    ASSERT_EQ(iputs_win(nullptr), 1);
    EXPECT_EQ(v.vpos, p.vpos) << XKeysymToString(p.key);
    EXPECT_EQ(v.hpos, p.hpos) << XKeysymToString(p.key);
  }
  EXPECT_TRUE(inked(w, 1, 0));  // "d", now in the top row of the view
  EXPECT_FALSE(inked(w, 1, 1));
  // A press in the vertical bar below its thumb pages down.
  XEvent click{};
  click.xbutton.type = ButtonPress;
  click.xbutton.window = w;
  click.xbutton.button = Button1;
  click.xbutton.x = v.client_width + 5;
  click.xbutton.y = v.client_height - 2;
  XSendEvent(dpy_, w, False, ButtonPressMask, &click);
  XSync(dpy_, False);
  ASSERT_EQ(iputs_win(nullptr), 1);
  EXPECT_EQ(v.vpos, 11);

  // Closed by the user: the next write makes a fresh window.
  XEvent close{};
  close.xclient.type = ClientMessage;
  close.xclient.window = w;
  close.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] =
      static_cast<long>(XInternAtom(dpy_, "WM_DELETE_WINDOW", False));
  XSendEvent(dpy_, w, False, NoEventMask, &close);
  XSync(dpy_, False);
  ASSERT_EQ(iputs_win("y"), 1);
  EXPECT_EQ(g_output.cursor.row, 0);
  EXPECT_EQ(g_output.cursor.column, 1);
  const Window again = find_window(dpy_, "Ledgerwick Output");
  ASSERT_NE(again, 0u);
  EXPECT_TRUE(inked(again, 0, 0));
  EXPECT_FALSE(inked(again, 0, 1));
  EXPECT_FALSE(inked(again, 1, 0));
}

// The box waits in its own event loop; a helper thread with its own
// connection finds it by its title and presses Return in it. A box that
// does not appear, or does not go, ends the test program rather than let it
// wait for ever.
TEST_F(WindowTest, MessageBoxIsDismissedByAKey) {
  bool found = false;
  std::thread helper([&found] {
    Display *dpy = XOpenDisplay(nullptr);
    const auto until = [](int seconds) {
      return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    };
    Window box = 0;
    for (auto end = until(20); dpy != nullptr && box == 0;) {
      if (std::chrono::steady_clock::now() > end) break;
      box = find_window(dpy, "Ledgerwick");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (box != 0) {
      found = true;
      send_key(dpy, box, XK_Return);
      for (auto end = until(20); find_window(dpy, "Ledgerwick") != 0;) {
        if (std::chrono::steady_clock::now() > end) {
          std::fprintf(stderr, "the message box did not go\n");
          std::_Exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (dpy != nullptr) XCloseDisplay(dpy);
    if (!found) {
      std::fprintf(stderr, "the message box did not appear\n");
      std::_Exit(1);
    }
  });
  EXPECT_EQ(iputs_winbox("The index was rebuilt.\nAll records kept."), 1);
  helper.join();
  EXPECT_TRUE(found);
  EXPECT_EQ(find_window(dpy_, "Ledgerwick"), 0u);  // gone again
}

}  // namespace
}  // namespace recbase::test
