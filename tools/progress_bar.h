// Progress of the tool's long commands (load, copy, reindex, check), drawn
// on standard error as one line rewritten in place:
//
//   copy people  [##########..........]  48%  480000/1000000
//
// or, when the total is not known, the count alone. Nothing is drawn when
// standard error is not a terminal (a pipe, a file, a test) or when the
// user asked for quiet; the line is cleared when the work ends, so that
// what the command prints afterwards starts at the left margin.
#ifndef RECBASE_TOOLS_PROGRESS_BAR_H
#define RECBASE_TOOLS_PROGRESS_BAR_H

#include <chrono>
#include <cstdint>
#include <string>

#include "recbase/defs.h"

namespace recbase::tool {

class ProgressBar {
 public:
  // A bar for work of total steps (0: not known). Drawn only when shown is
  // true and standard error is a terminal.
  ProgressBar(std::string label, int64_t total, bool shown);
  ~ProgressBar() { finish(); }
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  bool shown() const { return shown_; }
  // Steps done so far. Redraws at most every 100 ms.
  void update(int64_t done);
  // Starts again with another label and total (a command with phases).
  void restart(std::string label, int64_t total);
  // Clears the line (once).
  void finish();

  // For the library's progress routine (iprogress): the running count of
  // the call in progress goes to this bar until the object ends.
  class Routine {
   public:
    explicit Routine(ProgressBar &bar);
    ~Routine();
    Routine(const Routine &) = delete;
    Routine &operator=(const Routine &) = delete;

   private:
    ProgressBar *saved_;
  };

 private:
  void draw(int64_t done);
  static void RBCALL library_progress(int32_t count);
  static ProgressBar *current_;

  std::string label_;
  int64_t total_;
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_PROGRESS_BAR_H
