// recbase db destroy: the ISAM layer's whole-database call, with its errors
// worded by the library.
#include <cstdio>
#include <string>

#include "recbase/codes.h"
#include "recbase/isam.h"
#include "tools/db_cmd.h"
#include "tools/db_support.h"
#include "tools/tool_support.h"

namespace recbase::tool {

namespace {

// Errors that mean a file could not be found, opened or read.
int exit_code_of(int32_t code) {
  switch (code) {
    case ISERR_NOT_FOUND:
    case ISERR_IO:
    case ISERR_LOCK_REC:
    case ISERR_BAD_FILE_NAME:
      return kExitCannotRead;
    default:
      return kExitUnsound;
  }
}

int failed(const std::string &what) {
  const int code = exit_code_of(isam_errno);
  report_isam_error(what);
  return code;
}

}  // namespace

int db_destroy(const std::string &name) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  if (idestroy_db(name.c_str()) != 1) return failed(name);
  return kExitOk;
}

}  // namespace recbase::tool
