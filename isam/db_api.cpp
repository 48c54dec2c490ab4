// Finding an open database by name, and reading its field definitions.
#include "isam/data_format.h"
#include "isam/error_state.h"
#include "isam/names.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

// kIsOk, kIsBadDb, or kIsFieldNumber when n is not a field of db.
IsamError check_field(IsamDb *db, int32_t n) {
  if (!db_valid(db)) return kIsBadDb;
  return (n < 0 || n >= db->field_count) ? kIsFieldNumber : kIsOk;
}

}  // namespace

extern "C" {

// Leaves isam_errno alone unless it fails: callers test a name's openness
// between other calls.
RBAPI IsamDb *RBCALL idbhandle(const char *name) {
  if (name == nullptr) return fail_null<IsamDb>(kIsNullArg);
  char path[kPathBufferSize];
  if (const IsamError e = build_path(name, kDataExtension, path)) {
    return fail_null<IsamDb>(e);
  }
  return find_open_db(path);
}

RBAPI const char *RBCALL igetfilename(IsamDb *db) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail_null<const char>(kIsBadDb);
  return db->data_path;
}

RBAPI int32_t RBCALL igetfldcount(IsamDb *db) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail(kIsBadDb);
  return db->field_count;
}

RBAPI int32_t RBCALL igetfldtype(IsamDb *db, int32_t n) {
  set_error(kIsOk);
  if (const IsamError e = check_field(db, n)) return fail(e);
  return db->field_types[n];
}

RBAPI int32_t RBCALL igetfldlen(IsamDb *db, int32_t n) {
  set_error(kIsOk);
  if (const IsamError e = check_field(db, n)) return fail(e);
  return db->field_types[n] == kBinary ? binary_length(db, n) : 0;
}

RBAPI char **RBCALL igetfldnames(IsamDb *db) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail_null<char *>(kIsBadDb);
  return db->field_names;
}

}  // extern "C"
