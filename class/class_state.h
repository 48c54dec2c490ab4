// Process-wide state of the ISAM class and the helpers its files share.
//
// Invariants:
//  1. open_objects counts the objects between a successful open or create
//     and their close; exit refuses to shut the library down while it is
//     above 0.
//  2. handler_active is true exactly while the error handler runs; an error
//     recorded meanwhile does not call the handler again.
//  3. Every buffer an object owns comes from rb_malloc (plain malloc
//     underneath): igetrec3 enlarges text buffers with realloc.
#ifndef RECBASE_CLASS_CLASS_STATE_H
#define RECBASE_CLASS_CLASS_STATE_H

#include <cstdint>

#include "recbase/ISAM.hpp"

namespace recbase::binding {

struct ClassState {
  void (*error_handler)(ISAM &) = nullptr;
  bool handler_active = false;
  int32_t open_objects = 0;
  void (*progress)(long) = nullptr;  // the class's progress handler
};
extern ClassState g_class;

// ASCII letters compared without regard to case; <0, 0, >0 as strcmp.
int compare_folded(char const *a, char const *b);
// Sorts the n names without regard to case.
void sort_folded(char const **names, int32_t n);
// The first position of name among the n sorted names, or -1.
int32_t find_folded(char const *const *sorted, int32_t n, char const *name);

// The class's own print routine: writes text to std::cout (buffered, no
// newline, no flush); -1 when the stream failed.
int32_t RBCALL stdout_display(char const *text);

// Clamps a long to the 32-bit range.
int32_t clamp32(long v);

}  // namespace recbase::binding

#endif  // RECBASE_CLASS_CLASS_STATE_H
