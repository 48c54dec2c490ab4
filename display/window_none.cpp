// The windowing side of a build without a windowing system: no window and
// no message box can be made, so iputs_win fails with "No Window created
// for output" and iputs_winbox prints its text instead. The screen logic is
// built all the same.
#include "display/output_window.h"

namespace recbase::display {

bool window_open() { return false; }
void window_events() {}
void window_destroy() {}
void window_repaint(const PixelRect &) {}
int32_t window_message_box(const char *) { return 0; }

}  // namespace recbase::display
