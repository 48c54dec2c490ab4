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
#ifndef RECBASE_FRAME_REGISTRY_H
#define RECBASE_FRAME_REGISTRY_H

#include <cstdint>

#include "recbase/defs.h"

extern "C" {

RBAPI void RBCALL add_member(void **set, void *obj);
RBAPI int32_t RBCALL is_member(void **set, void *obj);
RBAPI int32_t RBCALL del_member(void **set, void *obj);

}  // extern "C"

#endif  // RECBASE_FRAME_REGISTRY_H
