// What the display routines (display/show.cpp, display/show_db.cpp) share.
#ifndef RECBASE_DISPLAY_SHOW_H
#define RECBASE_DISPLAY_SHOW_H

#include "isam/db.h"

namespace recbase::display {

// The index a display routine works on: ix, or "Physical Index" (index
// number 0) when ix is null. db must be a live database.
IsamIndex *show_index(IsamDb *db, IsamIndex *ix);

}  // namespace recbase::display

#endif  // RECBASE_DISPLAY_SHOW_H
