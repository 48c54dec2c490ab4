// Finding a record by all its values (ifindrec), and testing the current
// key of an index against given values (imatchkey, ipartialmatch).
//
// ifindrec searches the index for the key of the values and walks the
// entries whose keys compare equal to it (the whole key under the index's
// comparison, so an index on part of a text field compares only that part)
// until it reaches a record whose every field equals the values: S text
// without regard to case, C text byte for byte, numbers as numbers (a NaN
// equals nothing), binary fields bytewise.
#include <cstring>

#include "frame/bytes.h"
#include "isam/buffers.h"
#include "isam/current.h"
#include "isam/data_format.h"
#include "isam/error_state.h"
#include "isam/keys.h"
#include "isam/locks.h"
#include "isam/record_io.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

bool folded_equal(const char *a, const char *b) {
  for (;; ++a, ++b) {
    if (fold(static_cast<uint8_t>(*a)) != fold(static_cast<uint8_t>(*b))) {
      return false;
    }
    if (*a == '\0') return true;
  }
}

// Two values of field f in their stored form.
bool values_equal(const IsamDb *db, int32_t f, const char *a, const char *b) {
  const auto *x = reinterpret_cast<const uint8_t *>(a);
  const auto *y = reinterpret_cast<const uint8_t *>(b);
  switch (static_cast<FieldType>(db->field_types[f])) {
    case kText:
      return folded_equal(a, b);
    case kExactText:
      return std::strcmp(a, b) == 0;
    case kInt16:
    case kUInt16:
      return get_ne16(x) == get_ne16(y);
    case kInt32:
      return get_ne32s(x) == get_ne32s(y);
    case kFloat:
      return get_ne_f32(x) == get_ne_f32(y);
    case kDouble:
      return get_ne_f64(x) == get_ne_f64(y);
    case kBinary:
      return std::memcmp(a, b, static_cast<size_t>(binary_length(db, f))) == 0;
  }
  return false;
}

// The key under ix's cursor into out (cap bytes). 1, the cursor's state,
// or -1.
int32_t current_key(IsamIndex *ix, uint8_t *out, int32_t cap, int32_t *len) {
  const int32_t r = cbkeylen(ix->tree, len);
  if (r != 1) return r;
  if (*len > cap) *len = cap;
  return cbkey(ix->tree, out, cap);
}

// Walks the entries equal to key[0, len) from the one under the cursor:
// 2 on the record whose fields equal `fields`, 3 when the walk leaves the
// equal keys (or the index), -1 with *error.
int32_t walk_equal_keys(IsamDb *db, IsamIndex *ix, const uint8_t *key,
                        int32_t len, char *const *fields, IsamError *error) {
  uint8_t *at_cursor = spare_key_buffer();
  if (at_cursor == nullptr) {
    *error = kIsNoMemory;
    return -1;
  }
  for (;;) {
    int32_t cur_len = 0, position = 0;
    if (current_key(ix, at_cursor, g_key_buffer_size, &cur_len) != 1 ||
        cbcurr(ix->tree, &position) != 1) {
      *error = kIsCbt;
      return -1;
    }
    if (key_compare(key, len, at_cursor, cur_len) != 0) return 3;
    IsamError e = take_temp_record_lock(db, position);
    if (e == kIsOk) e = read_record(db, position, &g_replaced);
    const IsamError u = release_temp_record_lock(db);
    if (e == kIsOk) e = u;
    if (e != kIsOk) {
      *error = e;
      return -1;
    }
    bool same = true;
    for (int32_t f = 0; f < db->field_count && same; ++f) {
      same = fields[f] != nullptr &&
             values_equal(db, f, g_replaced.fields[f], fields[f]);
    }
    if (same) return 2;
    int32_t item = 0;
    const int32_t r = cbnext(ix->tree, &item);
    const int32_t state =
        state_after_move(ix, r, kAfterLast, kAfterLast, error);
    if (state == -1) return -1;
    if (state != kOnRecord) return 3;
  }
}

int32_t find_record(IsamDb *db, IsamIndex *ix, char *const *fields) {
  int32_t len = 0;
  if (const IsamError e = build_key_by_field(db, ix, fields, g_key_buffer,
                                             g_key_buffer_size, &len)) {
    return fail(e);
  }
  TempLock db_read(db);
  if (db_read.take_read() != kIsOk) {
    set_error(kIsLockRec);
    return lock_result();
  }
  int32_t item = 0;
  const int32_t r = cbfind(ix->tree, g_key_buffer, len, &item);
  IsamError e = kIsOk;
  int32_t result = 3;
  if (r == -1) {
    e = kIsCbt;
    result = -1;
  } else if (r == 2) {
    ix->state = kOnRecord;
    result = walk_equal_keys(db, ix, g_key_buffer, len, fields, &e);
  } else if (state_after_move(ix, r == 3 ? 1 : r, kAfterLast, kAfterLast, &e) ==
             -1) {
    result = -1;
  }
  const CbErrors kept;
  const IsamError u = db_read.release();
  kept.restore();
  if (result == -1) return fail(e);
  return u == kIsOk ? result : fail(u);
}

// The current key of ix into the spare key buffer: 1 with *key and *len, or
// -1 with isam_errno set.
int32_t read_current_key(IsamIndex *ix, uint8_t **key, int32_t *len) {
  if (ix->state != kOnRecord) return fail(kIsNoCurrent);
  *key = spare_key_buffer();
  if (*key == nullptr) return fail(kIsNoMemory);
  const int32_t r = current_key(ix, *key, g_key_buffer_size, len);
  if (r == -1) return fail(kIsCbt);
  return r == 1 ? 1 : fail(kIsNoCurrent);
}

// Whether the key part at p (bytes left: n) of key field k matches value.
bool part_matches(const IsamDb *db, const IsamIndex *ix, int32_t k,
                  const uint8_t *p, int32_t n, const char *value,
                  int32_t *step) {
  const int32_t f = ix->key_fields[k];
  const auto type = static_cast<FieldType>(db->field_types[f]);
  if (type == kText || type == kExactText) {
    const void *nul =
        n > 0 ? std::memchr(p, 0, static_cast<size_t>(n)) : nullptr;
    const int32_t text_len =
        nul != nullptr
            ? static_cast<int32_t>(static_cast<const uint8_t *>(nul) - p)
            : n;
    *step = text_len + 1;
    if (value == nullptr) return true;
    const size_t k_len = std::strlen(value);
    if (k_len == 0) return true;
    if (k_len > static_cast<size_t>(text_len)) return false;
    const auto *part = reinterpret_cast<const char *>(p);
    return type == kText ? equal_folded(part, value, k_len)
                         : std::memcmp(part, value, k_len) == 0;
  }
  *step = isam_field_size(type, binary_length(db, f));
  if (value == nullptr) return true;
  if (*step > n) return false;
  return values_equal(db, f, reinterpret_cast<const char *>(p), value);
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL ifindrec(IsamDb *db, IsamIndex *ix, char *const *fields) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix, IndexNeed::kTree)) return fail(e);
  if (fields == nullptr) return fail(kIsNullArg);
  // A NULL value ends the caller's array: the key fields past it would be
  // read from beyond its end, and no record could equal it anyway.
  for (int32_t f = 0; f < db->field_count; ++f) {
    if (fields[f] == nullptr) return fail(kIsNullArg);
  }
  return find_record(db, ix, fields);
}

RBAPI int32_t RBCALL imatchkey(IsamDb *db, IsamIndex *ix, char *const *values) {
  set_error(kIsOk);
  if (const IsamError e = enter_index(db, ix, IndexNeed::kTree)) return fail(e);
  if (values == nullptr) return fail(kIsNullArg);
  uint8_t *current = nullptr;
  int32_t current_len = 0, len = 0;
  if (read_current_key(ix, &current, &current_len) != 1) return -1;
  if (const IsamError e = build_key_by_position(db, ix, values, g_key_buffer,
                                                g_key_buffer_size, &len)) {
    return fail(e);
  }
  if (current_len > len) current_len = len;
  return key_compare(g_key_buffer, len, current, current_len) == 0 ? 1 : 0;
}

RBAPI int32_t RBCALL ipartialmatch(IsamDb *db, IsamIndex *ix,
                                   char *const *values) {
  set_error(kIsOk);
  if (const IsamError e = check_index(db, ix, IndexNeed::kTree)) return fail(e);
  if (values == nullptr) return fail(kIsNullArg);
  uint8_t *key = nullptr;
  int32_t len = 0;
  if (read_current_key(ix, &key, &len) != 1) return -1;
  int32_t at = 1;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    int32_t step = 0;
    const int32_t left = len > at ? len - at : 0;
    if (!part_matches(db, ix, k, key + at, left, values[k], &step)) return 0;
    at += step;
  }
  return 1;
}

}  // extern "C"
