// Record slots of the data file: writing a record's values into a slot,
// reading a slot back, and splitting its content into field values.
//
// The slot layout and the stored form of each value are those of
// isam/data_format.h.
//
// Module work areas, one each for the whole library (no threads): a
// 512-byte write buffer through which slots are written, the replaced-record
// area holding the record that a modification or deletion replaces (and the
// record ifindrec compares), and the read area of the igetrec family. The
// areas grow to the largest slot met and are kept until isamexit.
#ifndef RECBASE_ISAM_RECORD_IO_H
#define RECBASE_ISAM_RECORD_IO_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

// A slot read from the data file: its content and length word, and (after
// split) pointers to its field values.
struct RecordArea {
  uint8_t *bytes = nullptr;  // the length word, then the content
  int32_t capacity = 0;
  int32_t slot_length = 0;
  char **fields = nullptr;  // field count + 1 entries
  int32_t field_capacity = 0;
  const uint8_t *content() const { return bytes + 2; }
};

// A record area of an operation's own, freed with it: a long operation
// whose progress routine may read records through the layer's shared
// areas, or a walk that prints records through the print routine.
struct OwnArea : RecordArea {
  OwnArea() = default;
  ~OwnArea();
  OwnArea(const OwnArea &) = delete;
  OwnArea &operator=(const OwnArea &) = delete;
};

extern RecordArea g_replaced;
extern RecordArea g_read_area;

// Frees the work areas (isamexit).
void free_record_areas();

// The data length of a record given by field number. kIsNullArg when a
// value is missing, kIsDataTooLarge when it exceeds what a slot holds.
IsamError data_length(const IsamDb *db, const char *const *fields,
                      int32_t *length);

// Writes the slot at position: the length word slot_length, then every
// value. kIsIo; kIsNoMemory when a page of the data file cache cannot be had.
IsamError write_slot(IsamDb *db, int32_t position, int32_t slot_length,
                     const char *const *fields);

// Reads the slot at position into area. kIsIndexCorrupt when no record
// starts there (before the data start, or a free area's word); kIsIo when
// the word or the content cannot be read (the file ends inside the slot);
// kIsNoMemory.
IsamError read_slot(IsamDb *db, int32_t position, RecordArea *area);

// A slot's content where it was read: in a page of the data file's cache,
// or in a record area.
struct SlotView {
  const uint8_t *content = nullptr;
  int32_t length = 0;
};

// read_slot, where the data file's cache holds the slot in place without
// copying it: area is then left as it was, and the view is good until the
// next read or write of the data file. Results and codes as read_slot.
IsamError view_slot(IsamDb *db, int32_t position, RecordArea *area,
                    SlotView *view);

// Reads the slot at position and points area->fields at its values.
// kIsIo also when the content does not hold every field. As read_slot.
IsamError read_record(IsamDb *db, int32_t position, RecordArea *area);

// Points fields[0 .. field count] at the values in content[0, n): each value
// that lies wholly inside (a text up to and including its NUL); the first
// that does not and every later entry, up to and including entry field
// count, are null. Returns the number of fields set.
int32_t split_fields(const IsamDb *db, const uint8_t *content, int32_t n,
                     char **fields);

// The stored size of field f's value at p (text: length and NUL).
int32_t value_size(const IsamDb *db, int32_t f, const char *p);

// A second buffer of the key buffer's size (null when memory runs out): a
// change builds an index's old and new key side by side.
uint8_t *spare_key_buffer();

// Reads the length word at position. kIsIo.
IsamError read_word(IsamDb *db, int32_t position, int32_t *word);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_RECORD_IO_H
