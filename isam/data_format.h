// The data file NAME.db of a database: a header that defines the fields,
// then record slots and free areas to the end of the file. Integers are in
// the machine's own byte order (frame/bytes.h, the ne helpers); there is no
// magic number, version or checksum, so the header's counts are all that
// identify the file and are checked against it before use.
//
// Header, at offset 0:
//
//   off   width  field        meaning
//   0     2 s    defs_len     N: bytes of the definitions below, each
//                             definition's text and its terminating NUL
//   2     2 s    field_count  number of definitions, 0..N
//   4     N      definitions  one NUL-terminated text per field, in field
//                             order; the first slot follows at 4 + N
//
//   +-----+-----+--------------------------------+--------+--------+----
//   |  N  |count| name\0 | name,L\0 | data,B:16\0 | slot   | slot   | ..
//   +-----+-----+--------------------------------+--------+--------+----
//   0     2     4                                4 + N
//
// A definition is the field's name, optionally followed by a comma and a
// type letter (either case); the whole text, suffix included, is the name
// by which the field is known.
//
//   definition             type            stored value        counted
//   name  or  name,S       0 text          text and its NUL    1
//   name,C                 1 exact text    text and its NUL    1
//   name,I                 2 16-bit signed   2 bytes           2
//   name,U                 3 16-bit unsigned 2 bytes           2
//   name,L                 4 32-bit signed   4 bytes           4
//   name,F                 5 float           4 bytes           4
//   name,D                 6 double          8 bytes           8
//   name,Bn  or  name,B:n  7 binary          n bytes           n
//   name,<other>           0 text          text and its NUL    0
//
// For B the digits are read up to the first non-digit: none or 0 give 1,
// more than 32767 give 32767. The minimum record length of the database is
// 2 plus the counted bytes of every field, stored as 32 when it is above 32.
//
// Record slots and free areas, at position P (P >= 4 + N):
//
//   off   width   field    meaning
//   0     2 s     length   >= 0: a record slot with that many content bytes
//                          (0..32767);
//                          < 0: a free area of -length content bytes
//   2     |length| content a record: the field values back to back in field
//                          order, each in its stored form, with no
//                          separators; slack may follow the last.
//                          A free area: unused bytes
//
//   P        P + 2                       P + 2 + |length|
//   +--------+---------------------------+
//   | length |  content                  |  next slot or free area ...
//   +--------+---------------------------+
//
// Stored form of a value: S and C text and its NUL; I, U, L, F, D and B the
// bytes the table above counts (B: its declared n bytes, 1 when the
// database declares no binary lengths). The data length of a record is the
// sum; a slot may be longer (slack after the last field), never shorter.
// The next slot starts at P + 2 + |length|; the last one ends at the end of
// the file. Free areas are listed in the index file (isam/freespace.h).
#ifndef RECBASE_ISAM_DATA_FORMAT_H
#define RECBASE_ISAM_DATA_FORMAT_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

constexpr int32_t kDefsLenOffset = 0;
constexpr int32_t kFieldCountOffset = 2;
constexpr int32_t kHeaderSize = 4;
// N and the field count are 16-bit signed.
constexpr int32_t kMaxDefinitionBytes = 32767;
constexpr int32_t kMaxBinaryLength = 32767;
constexpr int32_t kMaxMinRecordLength = 32;
constexpr int32_t kSlotWordSize = 2;
constexpr int32_t kMaxSlotLength = 32767;

// The type codes of the public header (IsamFieldType), as the layer names
// them; isam_field_size gives the stored size of each.
enum FieldType : uint8_t {
  kText = ISFIELD_TEXT,
  kExactText = ISFIELD_EXACT_TEXT,
  kInt16 = ISFIELD_INT16,
  kUInt16 = ISFIELD_UINT16,
  kInt32 = ISFIELD_INT32,
  kFloat = ISFIELD_FLOAT,
  kDouble = ISFIELD_DOUBLE,
  kBinary = ISFIELD_BINARY,
};

// What one definition text says.
struct FieldDef {
  FieldType type = kText;
  int32_t binary_length = 1;  // n for kBinary
  int32_t counted = 1;        // bytes towards the minimum record length
};
FieldDef parse_field_definition(const char *text);

// The header for the NULL-terminated definitions, in a new rb_malloc block
// of *size bytes. kIsRange when the definitions need more than 32767 bytes;
// kIsNoMemory.
IsamError encode_header(const char *const *fields, uint8_t **out,
                        int32_t *size);

// Reads the header of db's open data file (under a lock of its 4 bytes when
// the database is shared) and fills the field members of db: names, types,
// binary lengths, data start and minimum record length. kIsIo when it cannot
// be read or is not sound; kIsLockRec, kIsUnlockRec, kIsNoMemory. On failure
// what was allocated stays in db for release_db to free.
IsamError read_header(IsamDb *db);

// The declared length of binary field f, 1 when the database has none.
inline int32_t binary_length(const IsamDb *db, int32_t f) {
  return db->binary_lengths != nullptr ? db->binary_lengths[f] : 1;
}

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_DATA_FORMAT_H
