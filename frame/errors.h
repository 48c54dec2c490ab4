// The library's error codes as enums, generated from frame/error_tables.h,
// and the internal side of the exported error variables.
//
// Exported variables (declared in the public headers): cberrcode, cbfcncode,
// cbconcode, bufpool_err, isam_errno. Internal functions of the B-tree layer
// do not write them; they record a failure in their operation's status (the
// Op of cbt/tree.h) and the exported entry point publishes it. The buffer
// pool owns bufpool_err and writes it directly.
#ifndef RECBASE_FRAME_ERRORS_H
#define RECBASE_FRAME_ERRORS_H

#include <cstdint>

#include "frame/error_tables.h"
#include "recbase/cbt.h"
#include "recbase/isam.h"

namespace recbase {

#define RB_ENUM_ROW(name, code, text) name = code,
enum IsamError : int32_t { RB_ISAM_ERRORS(RB_ENUM_ROW) };
enum CbError : int32_t { RB_CBT_ERRORS(RB_ENUM_ROW) };
enum CbFunction : int32_t { RB_CBT_FUNCTIONS(RB_ENUM_ROW) };
enum CbContext : int32_t { RB_CBT_CONTEXTS(RB_ENUM_ROW) };
#undef RB_ENUM_ROW

}  // namespace recbase

#endif  // RECBASE_FRAME_ERRORS_H
