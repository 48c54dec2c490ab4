// Member sets: intrusive singly linked lists of live records, used to check
// that a handle given back by a caller is one the library made and has not
// yet released.
//
// Layout of a member: its first pointer-sized word is the link to the next
// member (null for the last); the set itself is one head word pointing at
// the most recently added member.
//
// Invariants:
//  1. Nothing is allocated; adding and removing cannot fail for lack of
//     memory.
//  2. Membership is pointer identity; the walk is linear from the head.
//  3. A null set pointer or a null object never reads memory: the call
//     answers 0 (or does nothing, for add_member).
//
// The link word is read and written with memcpy because members are records
// of many types whose first field merely has the size of a pointer.
#include "frame/registry.h"

#include <cstring>

#include "frame/alloc.h"

namespace {

// The retired handle records, oldest at g_retired_next once the ring has
// filled; null slots before that.
void *g_retired[recbase::kRetiredHandles] = {};
int g_retired_next = 0;

void *link_of(const void *obj) {
  void *next;
  std::memcpy(&next, obj, sizeof next);
  return next;
}

void set_link(void *obj, void *next) { std::memcpy(obj, &next, sizeof next); }

}  // namespace

extern "C" {

RBAPI void RBCALL add_member(void **set, void *obj) {
  if (set == nullptr || obj == nullptr) return;
  set_link(obj, *set);
  *set = obj;
}

RBAPI int32_t RBCALL is_member(void **set, void *obj) {
  if (set == nullptr || obj == nullptr) return 0;
  for (void *p = *set; p != nullptr; p = link_of(p)) {
    if (p == obj) return 1;
  }
  return 0;
}

RBAPI int32_t RBCALL del_member(void **set, void *obj) {
  if (set == nullptr || obj == nullptr) return 0;
  if (*set == obj) {
    *set = link_of(obj);
    set_link(obj, nullptr);
    return 1;
  }
  for (void *prev = *set; prev != nullptr; prev = link_of(prev)) {
    void *next = link_of(prev);
    if (next == obj) {
      set_link(prev, link_of(obj));
      set_link(obj, nullptr);
      return 1;
    }
  }
  return 0;
}

}  // extern "C"

namespace recbase {

void retire_handle(void *record) {
  if (record == nullptr) return;
  void *oldest = g_retired[g_retired_next];
  g_retired[g_retired_next] = record;
  g_retired_next = (g_retired_next + 1) % kRetiredHandles;
  rb_free(oldest);
}

}  // namespace recbase
