// The output window and the message box on Win32. This file is the only one
// of the library that calls the user-interface and graphics services; the
// text, the view and the scroll arithmetic it draws from are
// display/screen.h's, as for the Xlib window.
//
// The window belongs to the application's instance (isaminit_mswin hands
// it over) and is driven by the application's message loop: the library
// pumps no messages. A write stores its text in the text screen and
// invalidates the cells it changed; WM_PAINT draws them. The scroll bars
// and keys send the scroll requests of display/screen.h (the SB_* codes are
// the same numbers). Closing the window frees the text screen and forgets
// the window, so that the next iputs_win makes a new one; when it was the
// last top-level window of the instance, closing it also ends the
// application's message loop (WM_QUIT with code 0).
//
// The text screen is movable global memory, locked for each write and
// repaint. The end-session query frees it and leaves the window: writing
// and clearing then fail with "Out of memory".
#include <windows.h>

#include <algorithm>

#include "display/output_window.h"
#include "isam/window_link.h"

namespace recbase::display {
namespace {

constexpr char kDevice[] = "DISPLAY";
constexpr UINT kBoxFlags = MB_TASKMODAL | MB_ICONINFORMATION | MB_OK;
static_assert(kBoxFlags == 8256, "task-modal information box with OK");
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_HSCROLL | WS_VSCROLL;

HWND g_window = nullptr;

HINSTANCE app_instance() {
  return static_cast<HINSTANCE>(isam::g_window_instance);
}

// The cell of the stock fixed font on a device context: the average
// character width, and the height with the external leading.
void measure_font(HDC dc) {
  SelectObject(dc, GetStockObject(SYSTEM_FIXED_FONT));
  TEXTMETRICA metrics;
  if (GetTextMetricsA(dc, &metrics) == 0) return;
  View *v = &g_output.view;
  v->char_width = std::max<int32_t>(1, metrics.tmAveCharWidth);
  v->line_height =
      std::max<int32_t>(1, metrics.tmHeight + metrics.tmExternalLeading);
}

// The outer size of a window whose client area shows the whole screen:
// both frames, the scroll bar and (vertically) the caption around 80 x 25
// cells. It is also the largest the window can be made.
SIZE full_window_size() {
  const View &v = g_output.view;
  SIZE size;
  size.cx = 2 * GetSystemMetrics(SM_CXFRAME) + GetSystemMetrics(SM_CXVSCROLL) +
            kColumns * v.char_width;
  size.cy = 2 * GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYHSCROLL) +
            GetSystemMetrics(SM_CYCAPTION) + kRows * v.line_height;
  return size;
}

// A new client size: the maxima, the scroll ranges (no redraw) and the
// thumbs (redrawn). Hiding or showing a bar may resize the client area
// again from inside SetScrollRange; the view then already has the newer
// size, which the rest of this call uses.
void resized(HWND window, int32_t width, int32_t height) {
  View *v = &g_output.view;
  view_resize(v, width, height);
  SetScrollRange(window, SB_VERT, 0, v->vmax, FALSE);
  SetScrollPos(window, SB_VERT, v->vpos, TRUE);
  SetScrollRange(window, SB_HORZ, 0, v->hmax, FALSE);
  SetScrollPos(window, SB_HORZ, v->hpos, TRUE);
}

// Draws the cells under the update rectangle from the text screen.
void paint(HWND window) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  const char *cells = screen_memory_lock(g_output.screen);
  if (cells == nullptr) {
    EndPaint(window, &ps);
    return;
  }
  SelectObject(dc, GetStockObject(SYSTEM_FIXED_FONT));
  const View &v = g_output.view;
  const PaintSpan span = paint_span(v, {ps.rcPaint.left, ps.rcPaint.top,
                                        ps.rcPaint.right, ps.rcPaint.bottom});
  for (int32_t row = span.first_row; span.count > 0 && row < span.end_row;
       ++row) {
    TextOutA(dc, (span.first_column - v.hpos) * v.char_width,
             (row - v.vpos) * v.line_height,
             cells + row * kColumns + span.first_column, span.count);
  }
  EndPaint(window, &ps);
  screen_memory_unlock(g_output.screen);
}

// A scroll request from a bar or a key (thumb: the position that requests
// 4 and 5 carry). What stays in view is moved by ScrollWindow; the cells it
// uncovers are invalidated and repainted.
void scroll(HWND window, bool vertical, int32_t request, int32_t thumb) {
  View *v = &g_output.view;
  if (!vertical) {
    const int32_t move = scroll_horizontal(v, request, thumb);
    if (move == 0) return;
    SetScrollPos(window, SB_HORZ, v->hpos, TRUE);
    ScrollWindow(window, -move * v->char_width, 0, nullptr, nullptr);
    return;
  }
  const int32_t move = scroll_vertical(v, request, thumb);
  if (move == 0) return;
  ScrollWindow(window, 0, -move * v->line_height, nullptr, nullptr);
  SetScrollPos(window, SB_VERT, v->vpos, TRUE);
  UpdateWindow(window);
}

// The keys send the window the scroll request that display/screen.h gives
// them.
void key_down(HWND window, WPARAM virtual_key) {
  struct Binding {
    WPARAM virtual_key;
    Key key;
  };
  static constexpr Binding kBindings[] = {
      {VK_PRIOR, Key::kPageUp}, {VK_NEXT, Key::kPageDown},
      {VK_END, Key::kEnd},      {VK_HOME, Key::kHome},
      {VK_UP, Key::kUp},        {VK_DOWN, Key::kDown},
      {VK_LEFT, Key::kLeft},    {VK_RIGHT, Key::kRight}};
  for (const Binding &b : kBindings) {
    if (b.virtual_key != virtual_key) continue;
    const KeyAction action = key_action(b.key);
    SendMessageA(window, action.vertical ? WM_VSCROLL : WM_HSCROLL,
                 MAKEWPARAM(action.request, 0), 0);
  }
}

// Whether window is a top-level window of this process and of the
// application's instance.
bool of_the_application(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process == GetCurrentProcessId() &&
         reinterpret_cast<HINSTANCE>(
             GetWindowLongPtrA(window, GWLP_HINSTANCE)) == app_instance();
}

// Another top-level window of the application: first among those after
// window in the window order, then among those before it.
bool another_window(HWND window) {
  for (UINT direction : {GW_HWNDNEXT, GW_HWNDPREV}) {
    for (HWND w = GetWindow(window, direction); w != nullptr;
         w = GetWindow(w, direction)) {
      if (of_the_application(w)) return true;
    }
  }
  return false;
}

// The user closes the window. The default procedure destroys it afterwards
// (if it is still there).
void closing(HWND window) {
  output_closed();  // frees the text screen
  if (another_window(window)) {
    DestroyWindow(window);
  } else {
    PostQuitMessage(0);
  }
  g_window = nullptr;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam) {
  switch (message) {
    case WM_CREATE: {
      HDC dc = GetDC(window);
      measure_font(dc);
      ReleaseDC(window, dc);
      return 0;
    }
    case WM_SIZE:
      resized(window, LOWORD(lparam), HIWORD(lparam));
      return 0;
    case WM_PAINT:
      paint(window);
      return 0;
    case WM_GETMINMAXINFO: {
      auto *info = reinterpret_cast<MINMAXINFO *>(lparam);
      const SIZE full = full_window_size();
      info->ptMaxSize.x = std::min(info->ptMaxSize.x, full.cx);
      info->ptMaxSize.y = std::min(info->ptMaxSize.y, full.cy);
      info->ptMaxTrackSize.x = std::min(info->ptMaxTrackSize.x, full.cx);
      info->ptMaxTrackSize.y = std::min(info->ptMaxTrackSize.y, full.cy);
      return 0;
    }
    case WM_HSCROLL:
    case WM_VSCROLL:
      scroll(window, message == WM_VSCROLL, LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_KEYDOWN:
      key_down(window, wparam);
      return 0;
    case WM_CLOSE:
      closing(window);
      break;
    case WM_QUERYENDSESSION:
      screen_memory_free(g_output.screen);
      g_output.screen = nullptr;
      return 1;
    default:
      break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

ScreenMemory screen_memory_alloc() {
  return GlobalAlloc(GMEM_MOVEABLE, kScreenBytes);
}

char *screen_memory_lock(ScreenMemory memory) {
  return memory != nullptr ? static_cast<char *>(GlobalLock(memory)) : nullptr;
}

void screen_memory_unlock(ScreenMemory memory) {
  if (memory != nullptr) GlobalUnlock(memory);
}

void screen_memory_free(ScreenMemory memory) {
  if (memory != nullptr) GlobalFree(memory);
}

bool window_open() {
  WNDCLASSA window_class{};
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = app_instance();
  window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  window_class.lpszClassName = kWindowClass;
  RegisterClassA(&window_class);  // fails harmlessly when still registered

  if (HDC context = CreateICA(kDevice, nullptr, nullptr, nullptr)) {
    measure_font(context);
    DeleteDC(context);
  }
  const SIZE full = full_window_size();
  const int width =
      full.cx > GetSystemMetrics(SM_CXFULLSCREEN) ? CW_USEDEFAULT : full.cx;
  const int height =
      full.cy > GetSystemMetrics(SM_CYFULLSCREEN) ? CW_USEDEFAULT : full.cy;
  g_window = CreateWindowExA(0, kWindowClass, kWindowTitle, kStyle,
                             CW_USEDEFAULT, CW_USEDEFAULT, width, height,
                             nullptr, nullptr, app_instance(), nullptr);
  if (g_window == nullptr) return false;
  ShowWindow(g_window, SW_SHOWNORMAL);
  UpdateWindow(g_window);
  return true;
}

// Messages come through the application's loop.
void window_events() {}

void window_destroy() {
  if (g_window == nullptr) return;
  HWND window = g_window;
  g_window = nullptr;
  DestroyWindow(window);
}

void window_repaint(const PixelRect &rect) {
  if (g_window == nullptr) return;
  const RECT area{rect.left, rect.top, rect.right, rect.bottom};
  InvalidateRect(g_window, &area, TRUE);
}

int32_t window_message_box(const char *text) {
  return MessageBoxA(nullptr, text, kBoxTitle, kBoxFlags) != 0 ? 1 : 0;
}

}  // namespace recbase::display
