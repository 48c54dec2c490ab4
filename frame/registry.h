// Member sets: intrusive singly linked lists of live records, with which
// every layer checks that a pointer given back by a caller is one the
// library made and has not yet released (see frame/registry.cpp for the
// layout and invariants).
//
// These three calls are exported; recbase/cbt.h declares them with their
// contracts. They are declared again here, with the same C linkage and
// visibility, because frame/ and bufpool/ sit below the layer that header
// belongs to. cbt/decl_check.cpp compiles both declarations together, so the
// compiler rejects any difference between them.
//
// Stale handles. A handle is a pointer to its record, and a member set
// decides by pointer identity, so a handle kept after its close is caught
// only while no new record sits at its address; the allocator, left alone,
// hands a just-freed block to the next record of its size, so that a
// close followed by an open would bring the old handle back to life on the
// new database or tree. The records of handles given to callers (CbTree,
// IsamDb, IsamIndex) are therefore freed through retire_handle, which keeps
// the last kRetiredHandles of them allocated in a ring and frees the oldest
// as a newer one comes in: an address comes back only after that many
// handle records have been released since. The other way, handles drawn
// from a table of slots with a generation count, would catch every stale
// handle for ever, but makes a handle something other than the pointer to
// its record (which the member sets link, and the exported calls take), and
// costs a table lookup on every call. The ring costs nothing on the call
// path: only the freeing of a record changes, and memory of at most
// kRetiredHandles records stays held (80 to 152 bytes each on x86-64).
#ifndef RECBASE_FRAME_REGISTRY_H
#define RECBASE_FRAME_REGISTRY_H

#include <cstdint>

#include "recbase/defs.h"

extern "C" {

RBAPI void RBCALL add_member(void **set, void *obj);
RBAPI int32_t RBCALL is_member(void **set, void *obj);
RBAPI int32_t RBCALL del_member(void **set, void *obj);

}  // extern "C"

namespace recbase {

// How many released handle records are kept from reuse.
constexpr int kRetiredHandles = 512;

// Frees the record of a released handle (already out of its member set,
// its destructor run) once kRetiredHandles more have been retired. Null is
// ignored. The ring is never emptied, isamexit and cbexit included: the
// handles of before stay stale after the library is set up again.
void retire_handle(void *record);

}  // namespace recbase

#endif  // RECBASE_FRAME_REGISTRY_H
