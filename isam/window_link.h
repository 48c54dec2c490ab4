// The output window's link to the ISAM layer's set-up. The window belongs
// to the display layer above this one, which makes its two print routines
// known here when it is linked in; isaminit_mswin compares a display
// function with them and keeps the application's instance handle that the
// window needs.
#ifndef RECBASE_ISAM_WINDOW_LINK_H
#define RECBASE_ISAM_WINDOW_LINK_H

#include "recbase/isam.h"

namespace recbase::isam {

// Null while no window layer is linked in.
struct WindowRoutines {
  RbPrint window = nullptr;  // writes into the output window
  RbPrint box = nullptr;     // shows a message box
};

extern void *g_window_instance;
extern WindowRoutines g_window_routines;

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_WINDOW_LINK_H
