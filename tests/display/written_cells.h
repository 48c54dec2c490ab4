// What both window tests write into a fresh window, and which of its cells
// then show ink.
#ifndef RECBASE_TESTS_DISPLAY_WRITTEN_CELLS_H
#define RECBASE_TESTS_DISPLAY_WRITTEN_CELLS_H

namespace recbase::test {

constexpr char kWritten[] = "abc\nd";

struct WrittenCell {
  int row, column;
  bool ink;
};
constexpr WrittenCell kWrittenCells[] = {
    {0, 0, true},  {0, 2, true},    {1, 0, true},   {0, 3, false},
    {1, 1, false}, {12, 40, false}, {24, 79, false}};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_DISPLAY_WRITTEN_CELLS_H
