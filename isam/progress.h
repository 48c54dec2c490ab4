// The progress routine of the long operations (making and removing an
// index, copying a database): one process-wide pointer, null when off,
// called with the running count 1, 2, 3, ... of the operation.
//
// The routine may use the library, so it may make another database current
// or move cursors: after each call the operation makes its own database
// current again and goes on from positions it keeps itself. A routine that
// closes the database being worked on ends the operation with ISAM error 1.
#ifndef RECBASE_ISAM_PROGRESS_H
#define RECBASE_ISAM_PROGRESS_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

extern IsamProgress g_progress;

// Calls the routine (if set) with count and makes db current again. False
// when db is no longer open afterwards.
bool report_progress(IsamDb *db, int32_t count);

// Switches the routine off for the life of the object.
class ProgressPause {
 public:
  ProgressPause() : saved_(g_progress) { g_progress = nullptr; }
  ~ProgressPause() { g_progress = saved_; }
  ProgressPause(const ProgressPause &) = delete;
  ProgressPause &operator=(const ProgressPause &) = delete;

 private:
  IsamProgress saved_;
};

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_PROGRESS_H
