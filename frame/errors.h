// The library's error codes as enums, generated from frame/error_tables.h,
// and the exported error state: the five error variables and the calls that
// read, clear and print them.
//
// Exported variables: cberrcode, cbfcncode, cbconcode, bufpool_err,
// isam_errno. Internal functions of the B-tree layer do not write them; they
// record a failure in their operation's status (the Op of cbt/tree.h) and
// the exported entry point publishes it. The buffer pool owns bufpool_err
// and writes it directly.
//
// The exported names below are the ones recbase/cbt.h and recbase/isam.h
// declare (with their contracts), declared again with the same C linkage and
// visibility because frame/ sits below the layers those headers belong to.
// cbt/decl_check.cpp compiles the B-tree ones next to recbase/cbt.h, so the
// compiler rejects any difference between the two.
#ifndef RECBASE_FRAME_ERRORS_H
#define RECBASE_FRAME_ERRORS_H

#include <cstdint>

#include "frame/error_tables.h"
#include "recbase/defs.h"

namespace recbase {

#define RB_ENUM_ROW(name, code, text) name = code,
enum IsamError : int32_t { RB_ISAM_ERRORS(RB_ENUM_ROW) };
enum CbError : int32_t { RB_CBT_ERRORS(RB_ENUM_ROW) };
enum CbFunction : int32_t { RB_CBT_FUNCTIONS(RB_ENUM_ROW) };
enum CbContext : int32_t { RB_CBT_CONTEXTS(RB_ENUM_ROW) };
#undef RB_ENUM_ROW

}  // namespace recbase

extern "C" {

RBAPI extern int32_t cberrcode;
RBAPI extern int32_t cbfcncode;
RBAPI extern int32_t cbconcode;
RBAPI extern int32_t bufpool_err;
RBAPI extern int32_t isam_errno;

RBAPI int32_t RBCALL cbget_errcode(void);
RBAPI int32_t RBCALL cbget_fcncode(void);
RBAPI int32_t RBCALL cbget_concode(void);
RBAPI void RBCALL cbclear_error(void);
RBAPI const char *RBCALL cberrmsg(int32_t code);
RBAPI const char *RBCALL cbfcnmsg(int32_t code);
RBAPI const char *RBCALL cbconmsg(int32_t code);
RBAPI int32_t RBCALL cbprterr(void);
RBAPI int32_t RBCALL cbget_syserr(void);
RBAPI void RBCALL cbclear_syserr(void);

RBAPI const char *RBCALL isammsg(int32_t code);
RBAPI int32_t RBCALL iprterr(void);
RBAPI int32_t RBCALL iget_errno(void);
RBAPI void RBCALL iset_errno(int32_t code);

}  // extern "C"

#endif  // RECBASE_FRAME_ERRORS_H
