// The output window's screen logic, apart from any windowing system: the
// text screen and its cursor, what a write changes, the rectangle to repaint,
// the scroll positions of the view and the cells a repaint draws, the scroll
// bars' thumbs and the keys. display/window_x11.cpp draws from it; the tests
// drive it directly.
//
// The text screen is kRows rows of kColumns characters, row after row, with
// no terminators; a blank cell holds a space. Cell (row, column) is byte
// row * kColumns + column.
//
// Invariants:
//  1. A write stores only inside the screen: a cursor row of kRows or more
//     scrolls the text up one row (row 0 is lost, the last row is blanked)
//     before the next character is stored, and a stored position is
//     clamped (clamp_cursor) so that no row or column is negative and no
//     column is kColumns or more.
//  2. After a write the cursor column is below kColumns: the character that
//     fills a row's last column moves the cursor to the next row (wrap).
//  3. 0 <= hpos <= hmax and 0 <= vpos <= vmax in a View; the maxima are how
//     far the view can move so that its last column and row are on the
//     screen's last (0 when the client area shows the whole screen).
//
// Scroll requests carry the numbers that the scroll bars and keys send:
//
//    0 line back     1 line forward    2 page back     3 page forward
//    4 thumb moved   5 thumb dragged   6 to the start  7 to the end
//
// The horizontal direction answers 0 to 4 (a page being 8 columns), the
// vertical one 0 to 3 and 5 to 7 (a page being the rows the client area
// shows, at least one); any other request moves nothing.
#ifndef RECBASE_DISPLAY_SCREEN_H
#define RECBASE_DISPLAY_SCREEN_H

#include <cstdint>

namespace recbase::display {

constexpr int32_t kColumns = 80;
constexpr int32_t kRows = 25;
constexpr int32_t kScreenBytes = kColumns * kRows;
// Columns that a horizontal page request moves.
constexpr int32_t kColumnPage = 8;

struct Cursor {
  int32_t row = 0;
  int32_t column = 0;
};

// The cells a write changed: rows low_row..high_row, and columns
// low_column..high_column of them (all inclusive). A scroll makes it the
// whole screen.
struct CellArea {
  int32_t low_row, high_row;
  int32_t low_column, high_column;
};

// A rectangle of client pixels: left <= x < right, top <= y < bottom
// (empty when either pair is not in order).
struct PixelRect {
  int32_t left, top, right, bottom;
};

// Fills the screen with spaces and puts the cursor at row 0, column 0.
void screen_clear(char *cells, Cursor *cursor);

// The position a caller asks for, made safe to write at: negative row or
// column become 0, a column past the last becomes the last, a row past the
// screen becomes kRows (the next character then scrolls the text once).
Cursor clamp_cursor(int32_t column, int32_t row);

// Writes text at the cursor: a line feed (10) ends the row, a carriage
// return (13) goes back to column 0 of it, other bytes are stored and the
// one that fills column kColumns - 1 moves the cursor to the next row; a
// character arriving with the cursor below the last row scrolls the text up
// one row first. Returns the cells changed.
CellArea screen_write(char *cells, Cursor *cursor, const char *text);

// The view of the screen that the window's client area shows.
struct View {
  int32_t char_width = 1;   // pixels per column
  int32_t line_height = 1;  // pixels per row
  int32_t client_width = 0, client_height = 0;
  int32_t hpos = 0, vpos = 0;  // first visible column and row
  int32_t hmax = 0, vmax = 0;  // largest useful hpos and vpos
};

// A new size of the client area: sets both maxima and keeps each position
// within its maximum.
void view_resize(View *view, int32_t client_width, int32_t client_height);

// Client pixels of a changed area, clipped to the client area.
PixelRect repaint_rect(const View &view, const CellArea &area);

// Applies a scroll request (thumb: the position of requests 4 and 5) and
// returns the move made, in columns or rows (0: nothing changed). The
// client area's contents move by -move * char_width (line_height) pixels.
int32_t scroll_horizontal(View *view, int32_t request, int32_t thumb);
int32_t scroll_vertical(View *view, int32_t request, int32_t thumb);

// The cells that repainting a rectangle of the client area draws: count
// characters from first_column, for rows first_row to end_row - 1.
struct PaintSpan {
  int32_t first_column, count;
  int32_t first_row, end_row;
};
PaintSpan paint_span(const View &view, const PixelRect &rect);

// Keys of the window and the scroll request each sends.
enum class Key { kPageUp, kPageDown, kHome, kEnd, kUp, kDown, kLeft, kRight };
struct KeyAction {
  bool vertical;
  int32_t request;
};
KeyAction key_action(Key key);

// The thumb of a scroll bar whose trough is `trough` pixels long, over
// `total` columns or rows with position pos of 0..max: its first pixel and
// its length (the trough's share that the client area shows, at least
// kMinThumb pixels while the trough has room).
struct Thumb {
  int32_t start, length;
};
constexpr int32_t kMinThumb = 8;
Thumb thumb_of(int32_t trough, int32_t total, int32_t pos, int32_t max);
// The position whose thumb starts at pixel start (clamped to 0..max).
int32_t thumb_position(int32_t trough, int32_t total, int32_t max,
                       int32_t start);
// The request a button press at pixel p of the trough makes: 2 before the
// thumb, 3 after it, 5 on it (the thumb is dragged from there).
int32_t trough_request(const Thumb &thumb, int32_t p);

}  // namespace recbase::display

#endif  // RECBASE_DISPLAY_SCREEN_H
