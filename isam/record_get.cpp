// Reading the current record of an index: igetrec (into one caller
// buffer), igetrec2 (into a caller buffer per field), igetrec3 (the same,
// with text buffers the library enlarges) and igetreclen (the slot length).
//
// The slot is read whole into the module's read area under the temporary
// record lock, which goes as soon as the bytes are in memory, or looked at
// in place where an unshared database's data cache holds it; the values are
// copied from there.
#include <cstdlib>
#include <cstring>

#include "isam/current.h"
#include "isam/data_format.h"
#include "isam/error_state.h"
#include "isam/locks.h"
#include "isam/record_io.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// Finds the current record of ix and holds it with the temporary record
// lock: 1 with *position, the state (-2, -3), or -1/-4 with isam_errno set.
int32_t hold_current(IsamDb *db, IsamIndex *ix, int32_t *position) {
  IsamError e = kIsOk;
  const int32_t r = locate_current(db, ix, position, &e);
  if (r < 0 && e != kIsOk) set_error(e);
  return r;
}

// Reads the current record of ix: *view shows its content, in g_read_area
// or in place in the data file's cache (which only an unshared database
// has, and which the record lock's release does not touch). 1, the state
// (-2, -3), or -1/-4 with isam_errno set.
int32_t read_current(IsamDb *db, IsamIndex *ix, SlotView *view) {
  int32_t position = 0;
  const int32_t r = hold_current(db, ix, &position);
  if (r != 1) return r;
  IsamError e = view_slot(db, position, &g_read_area, view);
  const IsamError u = release_temp_record_lock(db);
  if (e == kIsOk) e = u;
  return e == kIsOk ? 1 : fail(e);
}

// igetrec2 and igetrec3: one value after another into the caller's buffers.
int32_t copy_fields(IsamDb *db, IsamIndex *ix, char **fields, int32_t *lengths,
                    bool grow) {
  SlotView view;
  const int32_t r = read_current(db, ix, &view);
  if (r != 1) return r;
  const uint8_t *content = view.content;
  const int32_t n = view.length;
  int32_t at = 0;
  for (int32_t f = 0; f < db->field_count; ++f) {
    const auto type = static_cast<FieldType>(db->field_types[f]);
    const bool text = type == kText || type == kExactText;
    int32_t z = 0;
    if (text) {
      const void *nul =
          at < n ? std::memchr(content + at, 0, static_cast<size_t>(n - at))
                 : nullptr;
      if (nul == nullptr) return fail(kIsIo);
      z = static_cast<int32_t>(static_cast<const uint8_t *>(nul) -
                               (content + at)) +
          1;
    } else {
      z = isam_field_size(type, binary_length(db, f));
      if (z > n - at) return fail(kIsIo);
    }
    if (grow && text && lengths[f] < z) {
      // The caller's buffers come from malloc, so they grow with realloc.
      void *bigger = std::realloc(fields[f], static_cast<size_t>(z));
      if (bigger == nullptr) return fail(kIsNoMemory);
      fields[f] = static_cast<char *>(bigger);
      lengths[f] = z;
    }
    if (lengths != nullptr && lengths[f] < z) return fail(kIsFieldTooLong);
    if (fields[f] == nullptr) return fail(kIsNullArg);
    std::memcpy(fields[f], content + at, static_cast<size_t>(z));
    at += z;
  }
  return 1;
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL igetrec(IsamDb *db, IsamIndex *ix, char **fields,
                             char *buffer, int32_t size) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (fields == nullptr || (buffer == nullptr && size > 0)) {
    return fail(kIsNullArg);
  }
  SlotView view;
  const int32_t r = read_current(db, ix, &view);
  if (r != 1) return r;
  const int32_t length = view.length;
  const uint8_t *content = view.content;
  if (length <= size) {
    std::memcpy(buffer, content, static_cast<size_t>(length));
    // A whole slot that does not hold every value is no record: the data
    // file is damaged, or the index entry does not point at a slot.
    const int32_t set =
        split_fields(db, reinterpret_cast<uint8_t *>(buffer), length, fields);
    return set == db->field_count ? 1 : fail(kIsIo);
  }
  // Too small: as much as fits before a terminating NUL.
  const int32_t part = size > 0 ? size - 1 : 0;
  if (size > 0) {
    std::memcpy(buffer, content, static_cast<size_t>(part));
    buffer[part] = '\0';
  }
  split_fields(db, reinterpret_cast<uint8_t *>(buffer), part, fields);
  return fail(kIsBufferSmall);
}

RBAPI int32_t RBCALL igetrec2(IsamDb *db, IsamIndex *ix, char *const *fields,
                              int32_t *lengths) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (fields == nullptr) return fail(kIsNullArg);
  return copy_fields(db, ix, const_cast<char **>(fields), lengths, false);
}

RBAPI int32_t RBCALL igetrec3(IsamDb *db, IsamIndex *ix, char **fields,
                              int32_t *lengths) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (fields == nullptr || lengths == nullptr) return fail(kIsNullArg);
  return copy_fields(db, ix, fields, lengths, true);
}

RBAPI int32_t RBCALL igetreclen(IsamDb *db, IsamIndex *ix, uint16_t *length) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix)) return fail(e);
  if (length == nullptr) return fail(kIsNullArg);
  *length = 0;
  int32_t position = 0;
  const int32_t r = hold_current(db, ix, &position);
  if (r != 1) return r;
  int32_t word = 0;
  const IsamError e = read_word(db, position, &word);
  const IsamError u = release_temp_record_lock(db);
  if (e != kIsOk) return fail(e);
  if (u != kIsOk) return fail(u);
  *length = static_cast<uint16_t>(word);
  return 1;
}

}  // extern "C"
