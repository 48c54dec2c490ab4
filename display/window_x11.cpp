// The output window and the message box on Xlib. This file is the only one
// of the library that calls the windowing system; the text, the view and
// the scroll arithmetic it draws from are display/screen.h's.
//
// The window's client area is the text area (the view's client size) with a
// vertical scroll bar of kBar pixels on its right and a horizontal one below
// it; each bar is a trough with a thumb (a press before or after the thumb
// pages, dragging the thumb moves the view, the wheel moves a row). Its
// largest size is the whole screen of 80 x 25 cells and the bars. The font
// is the server's fixed-pitch "fixed".
//
// The display is the one that Xlib's XOpenDisplay(NULL) names (the DISPLAY
// variable of the environment). The message box makes its own connection for
// the time it is shown.
//
// X protocol errors on the library's own connections are ignored (a lost
// drawing request only loses pixels); errors of the application's other
// connections go on to the handler that was set before. A connection lost
// to the server ends the process as Xlib does by default.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstring>

#include "display/output_window.h"

namespace recbase::display {
namespace {

constexpr char kFontName[] = "fixed";
constexpr int kBar = 14;  // thickness of a scroll bar, pixels

struct Colors {
  unsigned long text, paper, trough, thumb, accent;
};

enum class DragBar { kNone, kVertical, kHorizontal };

// The window manager asks a window to close with a message of these atoms.
struct CloseAtoms {
  Atom protocols, delete_window;
};

struct XState {
  Display *dpy = nullptr;
  Window win = 0;
  GC text_gc = nullptr;  // clipped to the text area
  GC bar_gc = nullptr;
  XFontStruct *font = nullptr;
  CloseAtoms close{};
  Colors colors{};
  DragBar drag = DragBar::kNone;
  int grab = 0;  // pixel of the thumb where the drag took it
};
XState g_x;
Display *g_box_dpy = nullptr;

// --- Errors ----------------------------------------------------------------

XErrorHandler g_previous_handler = nullptr;
bool g_handler_set = false;
int g_errors = 0;

int on_error(Display *dpy, XErrorEvent *event) {
  if (dpy == g_x.dpy || dpy == g_box_dpy) {
    ++g_errors;
    return 0;
  }
  return g_previous_handler != nullptr ? g_previous_handler(dpy, event) : 0;
}

void watch_errors() {
  if (g_handler_set) return;
  g_previous_handler = XSetErrorHandler(on_error);
  g_handler_set = true;
}

void unwatch_errors() {
  if (!g_handler_set || g_x.dpy != nullptr || g_box_dpy != nullptr) return;
  XSetErrorHandler(g_previous_handler);
  g_handler_set = false;
}

// --- Shared pieces ---------------------------------------------------------

unsigned long color(Display *dpy, unsigned rgb, unsigned long fallback) {
  XColor c{};
  c.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 0x101);
  c.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 0x101);
  c.blue = static_cast<unsigned short>((rgb & 0xFF) * 0x101);
  c.flags = DoRed | DoGreen | DoBlue;
  return XAllocColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), &c) != 0
             ? c.pixel
             : fallback;
}

Colors colors_of(Display *dpy) {
  const int screen = DefaultScreen(dpy);
  const unsigned long black = BlackPixel(dpy, screen);
  const unsigned long white = WhitePixel(dpy, screen);
  return {black, white, color(dpy, 0xD8D8D8, white),
          color(dpy, 0x808080, black), color(dpy, 0x2060C0, black)};
}

// A top-level window with a title, a class and the close protocol; the
// window manager may neither shrink it below min nor grow it beyond max.
Window make_window(Display *dpy, const char *title, int width, int height,
                   int min_width, int min_height, unsigned long paper,
                   long events, const CloseAtoms &close) {
  XSetWindowAttributes attrs{};
  attrs.background_pixel = paper;
  attrs.backing_store = WhenMapped;
  attrs.bit_gravity = NorthWestGravity;
  attrs.event_mask = events;
  const Window win = XCreateWindow(
      dpy, DefaultRootWindow(dpy), 0, 0, static_cast<unsigned>(width),
      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
      CopyFromParent, CWBackPixel | CWBackingStore | CWBitGravity | CWEventMask,
      &attrs);
  XStoreName(dpy, win, title);
  char class_name[sizeof kWindowClass];
  std::memcpy(class_name, kWindowClass, sizeof kWindowClass);
  XClassHint hint{class_name, class_name};
  XSetClassHint(dpy, win, &hint);
  XSizeHints size{};
  size.flags = PSize | PMinSize | PMaxSize;
  size.width = size.max_width = width;
  size.height = size.max_height = height;
  size.min_width = min_width;
  size.min_height = min_height;
  XSetWMNormalHints(dpy, win, &size);
  Atom protocol = close.delete_window;
  XSetWMProtocols(dpy, win, &protocol, 1);
  return win;
}

CloseAtoms close_atoms(Display *dpy) {
  return {XInternAtom(dpy, "WM_PROTOCOLS", False),
          XInternAtom(dpy, "WM_DELETE_WINDOW", False)};
}

bool is_close(const XEvent &event, const CloseAtoms &atoms) {
  return event.type == ClientMessage &&
         event.xclient.message_type == atoms.protocols &&
         static_cast<Atom>(event.xclient.data.l[0]) == atoms.delete_window;
}

// --- The output window -----------------------------------------------------

void clip_text_gc() {
  XRectangle area{0, 0, static_cast<unsigned short>(g_output.view.client_width),
                  static_cast<unsigned short>(g_output.view.client_height)};
  XSetClipRectangles(g_x.dpy, g_x.text_gc, 0, 0, &area, 1, YXBanded);
}

void draw_bars() {
  const View &v = g_output.view;
  GC gc = g_x.bar_gc;
  XSetForeground(g_x.dpy, gc, g_x.colors.trough);
  XFillRectangle(g_x.dpy, g_x.win, gc, v.client_width, 0, kBar,
                 static_cast<unsigned>(v.client_height + kBar));
  XFillRectangle(g_x.dpy, g_x.win, gc, 0, v.client_height,
                 static_cast<unsigned>(v.client_width), kBar);
  XSetForeground(g_x.dpy, gc, g_x.colors.thumb);
  const Thumb vt = thumb_of(v.client_height, kRows, v.vpos, v.vmax);
  XFillRectangle(g_x.dpy, g_x.win, gc, v.client_width + 2, vt.start, kBar - 4,
                 static_cast<unsigned>(vt.length));
  const Thumb ht = thumb_of(v.client_width, kColumns, v.hpos, v.hmax);
  XFillRectangle(g_x.dpy, g_x.win, gc, ht.start, v.client_height + 2,
                 static_cast<unsigned>(ht.length), kBar - 4);
}

void paint(const PixelRect &asked) {
  const View &v = g_output.view;
  PixelRect r{std::max(0, asked.left), std::max(0, asked.top),
              std::min(v.client_width, asked.right),
              std::min(v.client_height, asked.bottom)};
  if (r.left >= r.right || r.top >= r.bottom) return;
  const char *cells = screen_memory_lock(g_output.screen);
  if (cells == nullptr) return;
  XClearArea(g_x.dpy, g_x.win, r.left, r.top,
             static_cast<unsigned>(r.right - r.left),
             static_cast<unsigned>(r.bottom - r.top), False);
  const PaintSpan span = paint_span(v, r);
  for (int32_t row = span.first_row; span.count > 0 && row < span.end_row;
       ++row) {
    XDrawImageString(g_x.dpy, g_x.win, g_x.text_gc,
                     (span.first_column - v.hpos) * v.char_width,
                     (row - v.vpos) * v.line_height + g_x.font->ascent,
                     cells + row * kColumns + span.first_column, span.count);
  }
  screen_memory_unlock(g_output.screen);
}

void paint_all() {
  paint({0, 0, g_output.view.client_width, g_output.view.client_height});
  draw_bars();
}

void scroll(bool vertical, int32_t request, int32_t thumb) {
  View *v = &g_output.view;
  const int32_t move = vertical ? scroll_vertical(v, request, thumb)
                                : scroll_horizontal(v, request, thumb);
  if (move != 0) paint_all();
}

bool key_of(KeySym sym, Key *key) {
  struct Binding {
    KeySym sym, keypad;
    Key key;
  };
  static const Binding kBindings[] = {{XK_Prior, XK_KP_Prior, Key::kPageUp},
                                      {XK_Next, XK_KP_Next, Key::kPageDown},
                                      {XK_Home, XK_KP_Home, Key::kHome},
                                      {XK_End, XK_KP_End, Key::kEnd},
                                      {XK_Up, XK_KP_Up, Key::kUp},
                                      {XK_Down, XK_KP_Down, Key::kDown},
                                      {XK_Left, XK_KP_Left, Key::kLeft},
                                      {XK_Right, XK_KP_Right, Key::kRight}};
  for (const Binding &b : kBindings) {
    if (sym == b.sym || sym == b.keypad) {
      *key = b.key;
      return true;
    }
  }
  return false;
}

void press(const XButtonEvent &b) {
  const View &v = g_output.view;
  if (b.button == Button4 || b.button == Button5) {
    scroll(true, b.button == Button4 ? 0 : 1, 0);
  } else if (b.button != Button1) {
    return;
  } else if (b.x >= v.client_width && b.y < v.client_height) {
    const Thumb t = thumb_of(v.client_height, kRows, v.vpos, v.vmax);
    const int32_t request = trough_request(t, b.y);
    if (request == 5) {
      g_x.drag = DragBar::kVertical;
      g_x.grab = b.y - t.start;
    } else {
      scroll(true, request, 0);
    }
  } else if (b.y >= v.client_height && b.x < v.client_width) {
    const Thumb t = thumb_of(v.client_width, kColumns, v.hpos, v.hmax);
    const int32_t request = trough_request(t, b.x);
    if (request == 5) {
      g_x.drag = DragBar::kHorizontal;
      g_x.grab = b.x - t.start;
    } else {
      scroll(false, request, 0);
    }
  }
}

// The horizontal direction takes the thumb's place as request 4.
void drag_to(int x, int y) {
  const View &v = g_output.view;
  if (g_x.drag == DragBar::kVertical) {
    scroll(true, 5,
           thumb_position(v.client_height, kRows, v.vmax, y - g_x.grab));
  } else if (g_x.drag == DragBar::kHorizontal) {
    scroll(false, 4,
           thumb_position(v.client_width, kColumns, v.hmax, x - g_x.grab));
  }
}

// Handles one event; false once the window is gone.
bool handle(XEvent &event) {
  switch (event.type) {
    case Expose: {
      const XExposeEvent &e = event.xexpose;
      paint({e.x, e.y, e.x + e.width, e.y + e.height});
      if (e.count == 0) draw_bars();
      break;
    }
    case ConfigureNotify: {
      const int width = std::max(0, event.xconfigure.width - kBar);
      const int height = std::max(0, event.xconfigure.height - kBar);
      View *v = &g_output.view;
      if (width != v->client_width || height != v->client_height) {
        view_resize(v, width, height);
        clip_text_gc();
        XClearWindow(g_x.dpy, g_x.win);
        paint_all();
      }
      break;
    }
    case KeyPress: {
      Key key;
      if (key_of(XLookupKeysym(&event.xkey, 0), &key)) {
        const KeyAction a = key_action(key);
        scroll(a.vertical, a.request, 0);
      }
      break;
    }
    case ButtonPress:
      press(event.xbutton);
      break;
    case MotionNotify:
      drag_to(event.xmotion.x, event.xmotion.y);
      break;
    case ButtonRelease:
      g_x.drag = DragBar::kNone;
      break;
    default:
      if (is_close(event, g_x.close)) {
        window_destroy();
        output_closed();
        return false;
      }
      break;
  }
  return true;
}

// --- The message box -------------------------------------------------------

struct Line {
  const char *text;
  int length;
};

struct BoxLayout {
  int width, height;
  int text_x, line_height, ascent;
  int button_x, button_y, button_width, button_height;
};

constexpr int kMargin = 12;
constexpr int kIcon = 24;

BoxLayout layout_box(XFontStruct *font, const Line *lines, int count,
                     Display *dpy) {
  BoxLayout b{};
  b.line_height = font->ascent + font->descent;
  b.ascent = font->ascent;
  b.text_x = 2 * kMargin + kIcon;
  int text_width = 0;
  for (int i = 0; i < count; ++i) {
    text_width =
        std::max(text_width, XTextWidth(font, lines[i].text, lines[i].length));
  }
  b.button_width = XTextWidth(font, "OK", 2) + 40;
  b.button_height = b.line_height + 10;
  const int screen = DefaultScreen(dpy);
  b.width = std::min(std::max(b.text_x + text_width + kMargin, 200),
                     DisplayWidth(dpy, screen));
  b.button_x = (b.width - b.button_width) / 2;
  b.button_y = kMargin + std::max(kIcon, count * b.line_height) + kMargin;
  b.height = std::min(b.button_y + b.button_height + kMargin,
                      DisplayHeight(dpy, screen));
  return b;
}

void draw_box(Display *dpy, Window win, GC gc, const BoxLayout &b,
              const Colors &c, const Line *lines, int count) {
  XSetForeground(dpy, gc, c.accent);
  XFillArc(dpy, win, gc, kMargin, kMargin, kIcon, kIcon, 0, 360 * 64);
  XSetForeground(dpy, gc, c.paper);
  XFillRectangle(dpy, win, gc, kMargin + kIcon / 2 - 1, kMargin + 10, 3, 9);
  XFillRectangle(dpy, win, gc, kMargin + kIcon / 2 - 1, kMargin + 5, 3, 3);
  XSetForeground(dpy, gc, c.text);
  for (int i = 0; i < count; ++i) {
    XDrawString(dpy, win, gc, b.text_x, kMargin + i * b.line_height + b.ascent,
                lines[i].text, lines[i].length);
  }
  XSetForeground(dpy, gc, c.trough);
  XFillRectangle(dpy, win, gc, b.button_x, b.button_y,
                 static_cast<unsigned>(b.button_width),
                 static_cast<unsigned>(b.button_height));
  XSetForeground(dpy, gc, c.text);
  XDrawRectangle(dpy, win, gc, b.button_x, b.button_y,
                 static_cast<unsigned>(b.button_width),
                 static_cast<unsigned>(b.button_height));
  XDrawString(dpy, win, gc, b.button_x + 20, b.button_y + 5 + b.ascent, "OK",
              2);
}

bool dismisses(const XEvent &event, const BoxLayout &b,
               const CloseAtoms &close) {
  if (event.type == KeyPress) {
    XKeyEvent key = event.xkey;
    const KeySym sym = XLookupKeysym(&key, 0);
    return sym == XK_Return || sym == XK_KP_Enter || sym == XK_space ||
           sym == XK_Escape;
  }
  if (event.type == ButtonRelease) {
    const XButtonEvent &p = event.xbutton;
    return p.button == Button1 && p.x >= b.button_x &&
           p.x <= b.button_x + b.button_width && p.y >= b.button_y &&
           p.y <= b.button_y + b.button_height;
  }
  return is_close(event, close);
}

// Splits text into its lines (without the line feeds) into lines, at most
// max; returns the count.
int split_lines(const char *text, Line *lines, int max) {
  int count = 0;
  const char *start = text;
  for (const char *p = text;; ++p) {
    if (*p == '\n' || *p == '\0') {
      if (count < max && (p > start || *p == '\n' || count == 0)) {
        lines[count++] = {start, static_cast<int>(p - start)};
      }
      if (*p == '\0') break;
      start = p + 1;
    }
  }
  return count;
}

}  // namespace

bool window_open() {
  Display *dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return false;
  XFontStruct *font = XLoadQueryFont(dpy, kFontName);
  const int width = font != nullptr ? font->max_bounds.width : 0;
  const int height = font != nullptr ? font->ascent + font->descent : 0;
  if (width <= 0 || height <= 0) {
    if (font != nullptr) XFreeFont(dpy, font);
    XCloseDisplay(dpy);
    return false;
  }
  g_x = XState{};
  g_x.dpy = dpy;
  g_x.font = font;
  watch_errors();
  const int errors = g_errors;
  const int screen = DefaultScreen(dpy);
  const int full_width =
      std::min(kColumns * width + kBar, DisplayWidth(dpy, screen));
  const int full_height =
      std::min(kRows * height + kBar, DisplayHeight(dpy, screen));
  g_x.colors = colors_of(dpy);
  g_x.close = close_atoms(dpy);
  g_x.win = make_window(dpy, kWindowTitle, full_width, full_height,
                        8 * width + kBar, 2 * height + kBar, g_x.colors.paper,
                        ExposureMask | KeyPressMask | ButtonPressMask |
                            ButtonReleaseMask | Button1MotionMask |
                            StructureNotifyMask,
                        g_x.close);
  g_x.text_gc = XCreateGC(dpy, g_x.win, 0, nullptr);
  XSetFont(dpy, g_x.text_gc, font->fid);
  XSetForeground(dpy, g_x.text_gc, g_x.colors.text);
  XSetBackground(dpy, g_x.text_gc, g_x.colors.paper);
  g_x.bar_gc = XCreateGC(dpy, g_x.win, 0, nullptr);
  View *v = &g_output.view;
  v->char_width = width;
  v->line_height = height;
  view_resize(v, full_width - kBar, full_height - kBar);
  clip_text_gc();
  XMapWindow(dpy, g_x.win);
  XSync(dpy, False);
  if (g_errors != errors) {
    window_destroy();
    return false;
  }
  return true;
}

// As a write, what the events redrew is drawn when this returns.
void window_events() {
  bool handled = false;
  while (g_x.dpy != nullptr && XPending(g_x.dpy) > 0) {
    XEvent event;
    XNextEvent(g_x.dpy, &event);
    if (!handle(event)) return;
    handled = true;
  }
  if (handled) XSync(g_x.dpy, False);
}

void window_destroy() {
  if (g_x.dpy == nullptr) return;
  XFreeGC(g_x.dpy, g_x.text_gc);
  XFreeGC(g_x.dpy, g_x.bar_gc);
  XFreeFont(g_x.dpy, g_x.font);
  XDestroyWindow(g_x.dpy, g_x.win);
  XCloseDisplay(g_x.dpy);
  g_x = XState{};
  unwatch_errors();
}

// Waits for the server, so that a write has been drawn when it returns (a
// round trip, cheap beside the drawing on a local display).
void window_repaint(const PixelRect &rect) {
  if (g_x.dpy == nullptr) return;
  paint(rect);
  XSync(g_x.dpy, False);
}

int32_t window_message_box(const char *text) {
  Display *dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return 0;
  XFontStruct *font = XLoadQueryFont(dpy, kFontName);
  if (font == nullptr) {
    XCloseDisplay(dpy);
    return 0;
  }
  g_box_dpy = dpy;
  watch_errors();
  constexpr int kMaxLines = 64;
  Line lines[kMaxLines];
  const int count = split_lines(text, lines, kMaxLines);
  const BoxLayout b = layout_box(font, lines, count, dpy);
  const Colors colors = colors_of(dpy);
  const CloseAtoms close = close_atoms(dpy);
  const Window win = make_window(
      dpy, kBoxTitle, b.width, b.height, b.width, b.height, colors.paper,
      ExposureMask | KeyPressMask | ButtonReleaseMask | StructureNotifyMask,
      close);
  if (g_x.dpy != nullptr) XSetTransientForHint(dpy, win, g_x.win);
  GC gc = XCreateGC(dpy, win, 0, nullptr);
  XSetFont(dpy, gc, font->fid);
  XMapRaised(dpy, win);
  for (bool done = false; !done;) {
    XEvent event;
    XNextEvent(dpy, &event);
    if (event.type == Expose && event.xexpose.count == 0) {
      draw_box(dpy, win, gc, b, colors, lines, count);
    }
    done = dismisses(event, b, close);
  }
  XFreeGC(dpy, gc);
  XFreeFont(dpy, font);
  XDestroyWindow(dpy, win);
  XCloseDisplay(dpy);
  g_box_dpy = nullptr;
  unwatch_errors();
  return 1;
}

}  // namespace recbase::display
