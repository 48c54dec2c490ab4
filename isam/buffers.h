// The ISAM layer's work buffers, one each for the whole process (no
// threads): the key buffer in which keys and descriptors are built, and the
// result lists that igetdesc and igetindexnames hand out. Each grows to the
// largest need met and lives until isamexit (or a call with a NULL handle
// frees its list).
#ifndef RECBASE_ISAM_BUFFERS_H
#define RECBASE_ISAM_BUFFERS_H

#include <cstddef>
#include <cstdint>

#include "frame/errors.h"
#include "recbase/isam.h"

namespace recbase::isam {

extern uint8_t *g_key_buffer;  // keys and descriptors are built here
extern int32_t g_key_buffer_size;
extern char *g_desc_buffer;  // igetdesc's result: pointers, then texts
extern size_t g_desc_buffer_size;
extern char **g_index_names;        // igetindexnames's result
extern int32_t g_index_names_size;  // pointers it has room for
// 1: the machine stores 0x01020304 as 01 02 03 04; 0: as 04 03 02 01; -1:
// any other order. Set by isaminit.
extern int32_t g_byte_order;

// Makes sure the key buffer exists, sized to the pool's buffers.
IsamError ensure_key_buffer();
// Frees the key buffer and both result lists.
void free_layer_buffers();

// Sets the library up as the first create or open of a process does when
// nobody called isaminit: ISAM_AUTO_BUFFERS buffers of
// ISAM_AUTO_BUFFER_SIZE bytes. True when it is set up (already, or now);
// false with isaminit's error in isam_errno.
bool ensure_set_up();

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_BUFFERS_H
