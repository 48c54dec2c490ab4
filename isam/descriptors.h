// Open-index records (IsamIndex) built from descriptor keys, and released.
//
// A descriptor (layout in isam/keys.h) names an index and lists its key
// field specifications: FIELD, FIELD:LEN or FIELD:START,LEN. FIELD is
// matched against the whole field definitions without regard to case. The
// text is cut at its first ':' only when LEN is not 0, so a specification
// with LEN 0 keeps its ':' and names no field. START and LEN only matter
// for text fields.
#ifndef RECBASE_ISAM_DESCRIPTORS_H
#define RECBASE_ISAM_DESCRIPTORS_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

// Builds the IsamIndex of the descriptor key[0, len) whose item is number,
// for db (field definitions read, index file open). An index other than
// number 0 gets its own tree handle on the index file, opened with the
// database's shared and read-only flags. kIsIndexCorrupt for a descriptor
// that is not sound (no terminating NUL, a number outside 0..253 or already
// used) or names no field; kIsCbt when the tree handle cannot be opened;
// kIsNoMemory. Nothing is left allocated on failure.
IsamError build_index(IsamDb *db, const uint8_t *key, int32_t len,
                      int32_t number, IsamIndex **out);
// "Physical Index" built in memory, for a database opened without its index
// file: number 0, every field in field order, no tree handle. kIsNoMemory.
IsamError build_physical_index(IsamDb *db, IsamIndex **out);
// Closes ix's tree handle and frees it (already unlinked from its list),
// forgetting the comparison's cache. kIsCbt when the close failed; ix is
// freed all the same.
IsamError release_index(IsamIndex *ix);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_DESCRIPTORS_H
