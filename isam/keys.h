// The keys of an index file and their order. Every index of a database
// lives in the one B-tree of its index file; the first byte of a key says
// what it is:
//
//   first byte  key                                      item
//   0           descriptor: 0, name, NUL, then each key  the index number
//               field specification and its NUL
//   1..253      entry of the index with that number:     the record's
//               the number, then each key field's value  position
//   254         position key of a free area: 254, its    the area's size
//               position (4 bytes, most significant
//               first); unique
//   255         size key of a free area: 255, its size   the area's position
//               (2 bytes, most significant first);
//               several areas of one size have one each
//
// The numbers of the free-space keys are written most significant byte
// first so that key order is numeric order; 255 sorts after every other
// class, so the tree's last key is the size key of the largest free area.
//
// An entry key holds, per key field in key order, the value as stored in the
// record: text (S, C) and its NUL, or with a partial specification START,LEN
// (LEN not 0) at most LEN characters from character START and a NUL (a lone
// NUL when the text has no more than START characters); I and U 2 bytes, L
// and F 4, D 8, B its n bytes (1 when the database declares no binary
// lengths). A key may stop after any whole field: a partial key, used to
// search.
//
// Order (key_compare), bytes unsigned:
//  1. By the first byte. A key that is only that byte sorts before every
//     longer key of its class. An empty key sorts before every other key.
//  2. Descriptors: by name, ASCII letters folded to lower case; the key field
//     specifications take no part, so names equal but for case are equal.
//  3. Free-space keys: by their number's bytes.
//  4. Entries: field by field under the index's field types (the index is
//     found by its number in the current database): S text without regard
//     to case, C text exactly, I and L signed, U unsigned, F and D as
//     numbers with a NaN on either side sorting the first key after, B
//     bytewise. Values equal at the last key field make the keys equal,
//     whatever follows. A key used up before the other sorts first (a
//     partial key before every key that begins with its values).
//  5. A key of a number that names no index of the current database (one
//     left behind by an interrupted index operation, or no current database)
//     is ordered by its bytes after the first, the shorter first on a
//     common prefix; so is the rest of an entry key that ends inside a
//     number or binary field.
#ifndef RECBASE_ISAM_KEYS_H
#define RECBASE_ISAM_KEYS_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

constexpr uint8_t kDescriptorClass = 0;
constexpr uint8_t kPositionKeyClass = 254;
constexpr uint8_t kSizeKeyClass = 255;
constexpr uint8_t kSizeKeyLength = 3;
constexpr uint8_t kPositionKeyLength = 5;

// ASCII capitals to lower case; every other byte as it is.
inline uint8_t fold(uint8_t c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 0x20) : c;
}
// True when the first n bytes of a and b are equal without regard to case.
bool equal_folded(const char *a, const char *b, size_t n);

// Builds the entry key of ix into out (cap bytes), taking key field k's
// value from fields[ix->key_fields[k]] (values by field number); stops at
// the first key field whose value is null. kIsKeyTooLong when it does not
// fit.
IsamError build_key_by_field(const IsamDb *db, const IsamIndex *ix,
                             const char *const *fields, uint8_t *out,
                             int32_t cap, int32_t *len);
// As build_key_by_field, key field k's value from values[k] (values by key
// field).
IsamError build_key_by_position(const IsamDb *db, const IsamIndex *ix,
                                const char *const *values, uint8_t *out,
                                int32_t cap, int32_t *len);
// The descriptor key of an index named name over the NULL-terminated
// specs (NULL: none). kIsKeyTooLong.
IsamError build_descriptor(const char *name, const char *const *specs,
                           uint8_t *out, int32_t cap, int32_t *len);

// The compare function of every index file: -1, 0 or 1. Allocates nothing;
// finds an entry's index through a one-entry cache.
int32_t RBCALL key_compare(const void *a, int32_t alen, const void *b,
                           int32_t blen);
// Forgets the cached index; called whenever an IsamIndex is released.
void forget_compare_cache();

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_KEYS_H
