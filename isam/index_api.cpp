// Looking up an index by name and reading its definition back.
#include <cstring>

#include "frame/alloc.h"
#include "isam/buffers.h"
#include "isam/error_state.h"
#include "isam/keys.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// Room igetdesc gives a key field's ":START,LEN": two numbers of up to ten
// digits, ':' and ','.
constexpr size_t kPartialRoom = 22;

bool has_length(const IsamIndex *ix, int32_t k) {
  return ix->partial != nullptr && ix->partial[k].length > 0;
}

// Writes n in decimal at out; returns the end.
char *put_decimal(char *out, int32_t n) {
  char digits[12];
  int32_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n > 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

// Makes the result buffer hold at least `need` bytes. It grows by a fresh
// allocation and never shrinks.
IsamError reserve_desc_buffer(size_t need) {
  if (need <= g_desc_buffer_size) return kIsOk;
  rb_free(g_desc_buffer);
  g_desc_buffer = static_cast<char *>(rb_malloc(need));
  g_desc_buffer_size = g_desc_buffer != nullptr ? need : 0;
  return g_desc_buffer != nullptr ? kIsOk : kIsNoMemory;
}

// kIsOk, the handle errors, or kIsKeyNumber when k is not a key field.
IsamError check_key_field(IsamDb *db, IsamIndex *ix, int32_t k) {
  if (const IsamError e = check_handles(db, ix)) return e;
  return (k < 0 || k >= ix->key_count) ? kIsKeyNumber : kIsOk;
}

}  // namespace

extern "C" {

RBAPI IsamIndex *RBCALL ihandle(IsamDb *db, const char *name) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail_null<IsamIndex>(kIsBadDb);
  if (name == nullptr) return fail_null<IsamIndex>(kIsNullArg);
  if (IsamIndex *ix = index_named(db, name)) return ix;
  // Without its index file a database knows no index but the physical one.
  return fail_null<IsamIndex>(db->index_path != nullptr ? kIsUnknownIndex
                                                        : kIsIndexCorrupt);
}

RBAPI const char *RBCALL iindexname(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = check_handles(db, ix)) {
    return fail_null<const char>(e);
  }
  return ix->name;
}

RBAPI char **RBCALL igetdesc(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (db == nullptr) {
    rb_free(g_desc_buffer);
    g_desc_buffer = nullptr;
    g_desc_buffer_size = 0;
    return nullptr;
  }
  if (const IsamError e = check_handles(db, ix)) return fail_null<char *>(e);
  const size_t pointers =
      sizeof(char *) * (static_cast<size_t>(ix->key_count) + 1);
  size_t need = pointers;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    need += std::strlen(db->field_names[ix->key_fields[k]]) + 1 +
            (has_length(ix, k) ? kPartialRoom : 0);
  }
  if (const IsamError e = reserve_desc_buffer(need)) {
    return fail_null<char *>(e);
  }
  auto **list = reinterpret_cast<char **>(g_desc_buffer);
  char *text = g_desc_buffer + pointers;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    list[k] = text;
    const char *def = db->field_names[ix->key_fields[k]];
    const size_t len = std::strlen(def);
    std::memcpy(text, def, len);
    text += len;
    if (has_length(ix, k)) {
      *text++ = ':';
      if (ix->partial[k].start > 0) {
        text = put_decimal(text, ix->partial[k].start);
        *text++ = ',';
      }
      text = put_decimal(text, ix->partial[k].length);
    }
    *text++ = '\0';
  }
  list[ix->key_count] = nullptr;
  return list;
}

RBAPI int32_t RBCALL igetdesc_count(IsamDb *db, IsamIndex *ix) {
  set_error(kIsOk);
  if (const IsamError e = check_handles(db, ix)) return fail(e);
  return ix->key_count;
}

RBAPI int32_t RBCALL igetdesc_fldnbr(IsamDb *db, IsamIndex *ix, int32_t k) {
  set_error(kIsOk);
  if (const IsamError e = check_key_field(db, ix, k)) return fail(e);
  return ix->key_fields[k];
}

RBAPI int32_t RBCALL igetdesc_fldstart(IsamDb *db, IsamIndex *ix, int32_t k) {
  set_error(kIsOk);
  if (const IsamError e = check_key_field(db, ix, k)) return fail(e);
  return ix->partial != nullptr ? ix->partial[k].start : 0;
}

RBAPI int32_t RBCALL igetdesc_fldlen(IsamDb *db, IsamIndex *ix, int32_t k) {
  set_error(kIsOk);
  if (const IsamError e = check_key_field(db, ix, k)) return fail(e);
  return ix->partial != nullptr ? ix->partial[k].length : 0;
}

}  // extern "C"
