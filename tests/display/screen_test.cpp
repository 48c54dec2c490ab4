// The output window's screen logic: writing (wrap, carriage return, line
// feed, scrolling, clamped cursor positions) with the cells each write
// reports changed, against a small row model too; and the view: resizing,
// scroll requests, keys, repaint rectangles, the cells a repaint draws and
// the scroll bars' thumbs.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "display/screen.h"

namespace recbase::display {
namespace {

std::string row_text(const char *cells, int32_t row) {
  std::string s(cells + row * kColumns, kColumns);
  return s.erase(s.find_last_not_of(' ') + 1);
}

// The four numbers of an area, a rectangle or a span, in their order.
template <typename T>
std::array<int32_t, 4> four(const T &v) {
  const auto [a, b, c, d] = v;
  return {a, b, c, d};
}

std::vector<std::string> numbered(const char *prefix, int from, int to) {
  std::vector<std::string> rows;
  for (int i = from; i < to; ++i) {
    rows.push_back(prefix + std::to_string(100 + i).substr(1));
  }
  return rows;
}

std::string lines(const char *prefix, int from, int to, const char *tail) {
  std::string text;
  for (const std::string &r : numbered(prefix, from, to)) text += r + "\n";
  return text + tail;
}

struct WriteCase {
  const char *name;
  int32_t column, row;  // cursor asked for before the write
  std::string text;
  std::vector<std::string> rows;  // rows from 0 on; the others blank
  int32_t cursor_row, cursor_column;
  CellArea area;
};

TEST(ScreenTest, WritesWrapAndScroll) {
  const std::string a80(80, 'a'), a85(85, 'a'), b80(80, 'b');
  std::vector<std::string> q_at_bottom(24, "");
  q_at_bottom.push_back("q");
  const CellArea whole{0, 24, 0, 79};
  std::vector<std::string> after_scroll = numbered("r", 1, 25);
  after_scroll.push_back("Z");
  const std::string padded_a = std::string(79, ' ') + "a";
  // clang-format off
  const WriteCase cases[] = {
      {"line feed", 0, 0, "abc\nd", {"abc", "d"}, 1, 1, {0, 1, 0, 2}},
      {"return overwrites", 0, 0, "abcdef\rXY", {"XYcdef"}, 0, 2, {0, 0, 0, 5}},
      {"return line feed", 0, 0, "abc\r\n", {"abc"}, 1, 0, {0, 1, 0, 2}},
      {"85 wrap", 0, 0, a85, {a80, "aaaaa"}, 1, 5, {0, 1, 0, 79}},
      {"80 then line feed", 0, 0, b80 + "\n", {b80}, 2, 0, {0, 2, 0, 79}},
      {"30 lines keep 25", 0, 0, lines("L", 0, 30, ""), numbered("L", 5, 30),
       25, 0, whole},
      {"scroll at row 24", 0, 0, lines("r", 0, 24, "r24\nZ"), after_scroll,
       24, 1, whole},
      {"at a cursor", 10, 3, "x", {"", "", "", "          x"}, 3, 11,
       {3, 3, 10, 10}},
      {"empty text", 7, 2, "", {}, 2, 7, {2, 2, 7, 7}},
      {"negative position", -5, -3, "x", {"x"}, 0, 1, {0, 0, 0, 0}},
      {"column past the end", 200, 3, "ab", {"", "", "", padded_a, "b"}, 4, 1,
       {3, 4, 0, 79}},
      {"row past the end", 5, 1000, "q", q_at_bottom, 24, 1, whole},
      {"row past the end, a return scrolls", 5, 1000, "\r", {}, 24, 0, whole},
      {"row past the end, nothing written", 5, 1000, "", {}, 25, 5,
       {24, 24, 5, 5}},
  };
  // clang-format on
  for (const WriteCase &c : cases) {
    SCOPED_TRACE(c.name);
    char cells[kScreenBytes];
    Cursor cursor;
    screen_clear(cells, &cursor);
    cursor = clamp_cursor(c.column, c.row);
    const CellArea area = screen_write(cells, &cursor, c.text.c_str());
    for (int32_t r = 0; r < kRows; ++r) {
      const std::string want =
          r < static_cast<int32_t>(c.rows.size()) ? c.rows[r] : "";
      EXPECT_EQ(row_text(cells, r), want) << "row " << r;
    }
    EXPECT_EQ(cursor.row, c.cursor_row);
    EXPECT_EQ(cursor.column, c.cursor_column);
    EXPECT_EQ(four(area), four(c.area));
  }
}

// Random writes against a model that keeps every row ever written: the
// screen is the model's last 25 rows, and every cell a write changed lies
// in the area it reports.
TEST(ScreenTest, MatchesARowModel) {
  std::mt19937 rng(17);
  char cells[kScreenBytes];
  Cursor cursor;
  screen_clear(cells, &cursor);
  std::deque<std::string> model(1, std::string(kColumns, ' '));
  size_t model_row = 0, model_column = 0;
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const int length = static_cast<int>(rng() % 120);
    for (int i = 0; i < length; ++i) {
      const unsigned pick = rng() % 20;
      text += pick == 0   ? '\n'
              : pick == 1 ? '\r'
                          : static_cast<char>('!' + rng() % 90);
    }
    const std::string before(cells, kScreenBytes);
    const CellArea area = screen_write(cells, &cursor, text.c_str());
    for (char ch : text) {
      if (ch == '\r') {
        model_column = 0;
        continue;
      }
      if (ch != '\n') model[model_row][model_column++] = ch;
      if (ch == '\n' || model_column == kColumns) {
        model.emplace_back(kColumns, ' ');
        ++model_row;
        model_column = 0;
      }
    }
    for (int32_t i = 0; i < kScreenBytes; ++i) {
      const int32_t r = i / kColumns, col = i % kColumns;
      if (before[i] != cells[i]) {
        ASSERT_TRUE(r >= area.low_row && r <= area.high_row &&
                    col >= area.low_column && col <= area.high_column)
            << "round " << round << " cell " << r << "," << col;
      }
    }
    // The model's last row may be a fresh one the screen has not scrolled
    // to yet (cursor row 25).
    const size_t last = model.size() - (cursor.row == kRows ? 1 : 0);
    const size_t first = last > kRows ? last - kRows : 0;
    for (size_t r = first; r < last; ++r) {
      ASSERT_EQ(std::string(cells + (r - first) * kColumns, kColumns), model[r])
          << "round " << round << " row " << r - first;
    }
    ASSERT_EQ(cursor.column, static_cast<int32_t>(model_column));
  }
}

// A client area of 50 columns of 6 pixels and 10 rows of 13 pixels.
View small_view() {
  View v;
  v.char_width = 6;
  v.line_height = 13;
  view_resize(&v, 300, 130);
  return v;
}

// Sizes in turn from the view at its maxima: partial cells do not count,
// and positions follow the maxima down, to 0 for the whole screen.
TEST(ScreenTest, ResizeSetsMaximaAndKeepsPositions) {
  View v = small_view();
  v.hpos = 30;
  v.vpos = 15;
  const std::array<int32_t, 6> sizes[] = {{300, 130, 30, 15, 30, 15},
                                          {305, 140, 30, 15, 30, 15},
                                          {420, 260, 10, 5, 10, 5},
                                          {480, 325, 0, 0, 0, 0}};
  for (const auto &[width, height, hmax, vmax, hpos, vpos] : sizes) {
    view_resize(&v, width, height);
    EXPECT_EQ((std::array{v.hmax, v.vmax, v.hpos, v.vpos}),
              (std::array{hmax, vmax, hpos, vpos}))
        << width << "x" << height;
  }
}

TEST(ScreenTest, ScrollRequestsAndKeys) {
  struct Case {
    bool vertical;
    int32_t request, thumb, from, move;
  };
  const Case cases[] = {
      {true, 1, 0, 0, 1},   {true, 0, 0, 0, 0},   {true, 0, 0, 4, -1},
      {true, 3, 0, 0, 10},  {true, 3, 0, 10, 5},  {true, 2, 0, 3, -3},
      {true, 5, 7, 0, 7},   {true, 5, 99, 2, 13}, {true, 5, -4, 2, -2},
      {true, 4, 7, 0, 0},   {true, 6, 0, 9, -9},  {true, 7, 0, 2, 13},
      {true, 8, 0, 2, 0},   {false, 1, 0, 0, 1},  {false, 3, 0, 0, 8},
      {false, 3, 0, 25, 5}, {false, 2, 0, 3, -3}, {false, 4, 12, 0, 12},
      {false, 5, 12, 0, 0}, {false, 6, 0, 9, 0},  {false, 7, 0, 9, 0},
      {false, -1, 0, 9, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.vertical ? "v" : "h") << c.request
                                    << " from " << c.from);
    View v = small_view();
    (c.vertical ? v.vpos : v.hpos) = c.from;
    const int32_t move = c.vertical ? scroll_vertical(&v, c.request, c.thumb)
                                    : scroll_horizontal(&v, c.request, c.thumb);
    EXPECT_EQ(move, c.move);
    EXPECT_EQ(c.vertical ? v.vpos : v.hpos, c.from + c.move);
  }
  // A client area lower than a row still pages by one row.
  View low = small_view();
  view_resize(&low, 300, 5);
  EXPECT_EQ(scroll_vertical(&low, 3, 0), 1);

  struct KeyCase {
    Key key;
    bool vertical;
    int32_t move;
  };
  const KeyCase keys[] = {
      {Key::kPageUp, true, -10}, {Key::kPageDown, true, 5},
      {Key::kHome, true, -10},   {Key::kEnd, true, 5},
      {Key::kUp, true, -1},      {Key::kDown, true, 1},
      {Key::kLeft, false, -8},   {Key::kRight, false, 8},
  };
  for (const KeyCase &k : keys) {
    View v = small_view();
    v.vpos = v.hpos = 10;
    const KeyAction a = key_action(k.key);
    EXPECT_EQ(a.vertical, k.vertical);
    EXPECT_EQ(a.vertical ? scroll_vertical(&v, a.request, 0)
                         : scroll_horizontal(&v, a.request, 0),
              k.move)
        << static_cast<int>(k.key);
  }
}

TEST(ScreenTest, RepaintRectangleAndPaintSpan) {
  struct Case {
    int32_t hpos, vpos;
    CellArea area;
    PixelRect rect;
  };
  const Case cases[] = {
      {0, 0, {0, 1, 0, 2}, {0, 0, 18, 26}},
      {0, 0, {3, 3, 10, 10}, {60, 39, 66, 52}},
      {5, 2, {3, 3, 10, 10}, {30, 13, 36, 26}},
      {20, 0, {0, 0, 0, 9}, {0, 0, 0, 13}},      // left of the view
      {0, 0, {0, 24, 0, 79}, {0, 0, 300, 130}},  // clipped
      {0, 12, {0, 5, 0, 79}, {0, 0, 300, 0}},    // above the view
  };
  for (const Case &c : cases) {
    View v = small_view();
    v.hpos = c.hpos;
    v.vpos = c.vpos;
    EXPECT_EQ(four(repaint_rect(v, c.area)), four(c.rect));
  }

  struct SpanCase {
    int32_t hpos, vpos;
    PixelRect rect;
    PaintSpan span;
  };
  const SpanCase spans[] = {
      {0, 0, {0, 0, 300, 130}, {0, 50, 0, 10}},
      {30, 15, {0, 0, 300, 130}, {30, 50, 15, 25}},
      {0, 0, {7, 14, 13, 27}, {1, 2, 1, 3}},         // partial cells widen
      {30, 20, {0, 0, 300, 130}, {30, 50, 20, 25}},  // rows stop at 25
      {0, 0, {12, 0, 12, 13}, {2, 0, 0, 1}},         // no width
  };
  for (const SpanCase &c : spans) {
    View v = small_view();
    v.hpos = c.hpos;
    v.vpos = c.vpos;
    EXPECT_EQ(four(paint_span(v, c.rect)), four(c.span));
  }
}

TEST(ScreenTest, ThumbsFollowPositions) {
  // 130 pixels over 25 rows of which 10 show: a thumb of 52 pixels.
  for (int32_t pos = 0; pos <= 15; ++pos) {
    const Thumb t = thumb_of(130, kRows, pos, 15);
    EXPECT_EQ(t.length, 52);
    EXPECT_EQ(t.start, 78 * pos / 15);
    EXPECT_EQ(thumb_position(130, kRows, 15, t.start), pos);
    EXPECT_EQ(trough_request(t, t.start - 1), 2);
    EXPECT_EQ(trough_request(t, t.start), 5);
    EXPECT_EQ(trough_request(t, t.start + t.length), 3);
  }
  EXPECT_EQ(thumb_position(130, kRows, 15, 500), 15);
  EXPECT_EQ(thumb_position(130, kRows, 15, -50), 0);
  const Thumb whole = thumb_of(130, kRows, 0, 0);
  EXPECT_EQ(whole.start, 0);
  EXPECT_EQ(whole.length, 130);
  EXPECT_EQ(thumb_position(130, kRows, 0, 40), 0);
  EXPECT_EQ(thumb_of(400, kColumns, 0, 79).length, kMinThumb);
  EXPECT_EQ(thumb_of(4, kColumns, 0, 79).length, 4);
}

}  // namespace
}  // namespace recbase::display
