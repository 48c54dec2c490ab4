// The output window's screen logic: text, cursor, scrolling and the
// arithmetic of the view (see display/screen.h).
#include "display/screen.h"

#include <algorithm>
#include <cstring>

namespace recbase::display {

namespace {

constexpr char kBlank = ' ';
constexpr char kLineFeed = 10;
constexpr char kCarriageReturn = 13;

// Requests that the scroll bars and keys send.
enum Request : int32_t {
  kLineBack = 0,
  kLineForward = 1,
  kPageBack = 2,
  kPageForward = 3,
  kThumbMoved = 4,
  kThumbDragged = 5,
  kToStart = 6,
  kToEnd = 7,
};

// Moves *pos by move, kept within 0..max; returns the move made.
int32_t move_within(int32_t *pos, int32_t max, int32_t move) {
  move = std::clamp(move, -*pos, max - *pos);
  *pos += move;
  return move;
}

// Largest useful position: how many of total units the client area, which
// shows pixels / unit of them, leaves out of view.
int32_t maximum(int32_t total, int32_t pixels, int32_t unit) {
  return std::max(0, total - pixels / unit);
}

}  // namespace

void screen_clear(char *cells, Cursor *cursor) {
  std::memset(cells, kBlank, kScreenBytes);
  *cursor = Cursor{};
}

Cursor clamp_cursor(int32_t column, int32_t row) {
  Cursor c;
  c.row = std::clamp(row, 0, kRows);
  c.column = std::clamp(column, 0, kColumns - 1);
  return c;
}

CellArea screen_write(char *cells, Cursor *cursor, const char *text) {
  int32_t row = cursor->row;
  int32_t column = cursor->column;
  CellArea area{row, row, column, column};
  for (const char *p = text; *p != '\0'; ++p) {
    if (row >= kRows) {
      // The text moves up a row; the old top row is lost.
      std::memmove(cells, cells + kColumns, kScreenBytes - kColumns);
      std::memset(cells + kScreenBytes - kColumns, kBlank, kColumns);
      row = kRows - 1;
      column = 0;
      area = CellArea{0, kRows - 1, 0, kColumns - 1};
    }
    bool line_feed = *p == kLineFeed;
    if (*p == kCarriageReturn) {
      column = 0;
      area.low_column = 0;
      continue;
    }
    if (!line_feed) {
      cells[row * kColumns + column] = *p;
      area.high_column = std::max(area.high_column, column);
      line_feed = ++column == kColumns;  // the row is full: wrap
    }
    if (line_feed) {
      ++row;
      column = 0;
      area.low_column = 0;
      area.high_row = std::max(area.high_row, std::min(row, kRows - 1));
    }
  }
  cursor->row = row;
  cursor->column = column;
  area.low_row = std::min(area.low_row, kRows - 1);
  area.high_row = std::min(area.high_row, kRows - 1);
  return area;
}

void view_resize(View *view, int32_t client_width, int32_t client_height) {
  view->client_width = client_width;
  view->client_height = client_height;
  view->hmax = maximum(kColumns, client_width, view->char_width);
  view->vmax = maximum(kRows, client_height, view->line_height);
  view->hpos = std::min(view->hpos, view->hmax);
  view->vpos = std::min(view->vpos, view->vmax);
}

PixelRect repaint_rect(const View &v, const CellArea &area) {
  PixelRect r;
  r.left = std::max(0, (area.low_column - v.hpos) * v.char_width);
  r.right = std::clamp((area.high_column + 1 - v.hpos) * v.char_width, 0,
                       v.client_width);
  r.top = std::max(0, (area.low_row - v.vpos) * v.line_height);
  r.bottom = std::clamp((area.high_row + 1 - v.vpos) * v.line_height, 0,
                        v.client_height);
  return r;
}

int32_t scroll_horizontal(View *view, int32_t request, int32_t thumb) {
  int32_t move = 0;
  switch (request) {
    case kLineBack: move = -1; break;
    case kLineForward: move = 1; break;
    case kPageBack: move = -kColumnPage; break;
    case kPageForward: move = kColumnPage; break;
    case kThumbMoved: move = thumb - view->hpos; break;
    default: break;
  }
  return move_within(&view->hpos, view->hmax, move);
}

int32_t scroll_vertical(View *view, int32_t request, int32_t thumb) {
  const int32_t page = std::max(1, view->client_height / view->line_height);
  int32_t move = 0;
  switch (request) {
    case kLineBack: move = -1; break;
    case kLineForward: move = 1; break;
    case kPageBack: move = -page; break;
    case kPageForward: move = page; break;
    case kThumbDragged: move = thumb - view->vpos; break;
    case kToStart: move = -view->vpos; break;
    case kToEnd: move = view->vmax - view->vpos; break;
    default: break;
  }
  return move_within(&view->vpos, view->vmax, move);
}

PaintSpan paint_span(const View &v, const PixelRect &rect) {
  PaintSpan s;
  s.first_column = v.hpos + rect.left / v.char_width;
  const int32_t last_column = std::min(
      kColumns, v.hpos + (rect.right + v.char_width - 1) / v.char_width);
  s.count = std::max(0, last_column - s.first_column);
  s.first_row = v.vpos + rect.top / v.line_height;
  s.end_row = s.first_row;
  while (s.end_row < kRows &&
         (s.end_row - v.vpos) * v.line_height < rect.bottom) {
    ++s.end_row;
  }
  return s;
}

KeyAction key_action(Key key) {
  switch (key) {
    case Key::kPageUp: return {true, kPageBack};
    case Key::kPageDown: return {true, kPageForward};
    case Key::kHome: return {true, kToStart};
    case Key::kEnd: return {true, kToEnd};
    case Key::kUp: return {true, kLineBack};
    case Key::kDown: return {true, kLineForward};
    case Key::kLeft: return {false, kPageBack};
    case Key::kRight: return {false, kPageForward};
  }
  return {true, -1};
}

Thumb thumb_of(int32_t trough, int32_t total, int32_t pos, int32_t max) {
  Thumb t;
  t.length = trough * (total - max) / total;
  if (t.length < kMinThumb) t.length = std::min(kMinThumb, trough);
  t.start = max > 0 ? (trough - t.length) * pos / max : 0;
  return t;
}

int32_t thumb_position(int32_t trough, int32_t total, int32_t max,
                       int32_t start) {
  const int32_t room = trough - thumb_of(trough, total, 0, max).length;
  if (room <= 0 || max == 0) return 0;
  return std::clamp((start * max + room / 2) / room, 0, max);
}

int32_t trough_request(const Thumb &thumb, int32_t p) {
  if (p < thumb.start) return kPageBack;
  if (p >= thumb.start + thumb.length) return kPageForward;
  return kThumbDragged;
}

}  // namespace recbase::display
