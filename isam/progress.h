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

#include "frame/alloc.h"
#include "isam/db.h"
#include "isam/record_io.h"

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

// A record area of a long operation's own, freed with it: the progress
// routine may read records through the layer's shared areas.
struct OwnArea : RecordArea {
  OwnArea() = default;
  ~OwnArea() {
    rb_free(bytes);
    rb_free(fields);
  }
  OwnArea(const OwnArea &) = delete;
  OwnArea &operator=(const OwnArea &) = delete;
};

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_PROGRESS_H
